# Events per second from a logged event to its committed raw-event row, next to plain SQLite
# inserts of the same rows, and their ratio.
if(TARGET analytics)
  add_executable(analytics_engine_bench ${CMAKE_CURRENT_LIST_DIR}/analytics_engine_bench.cpp)
  target_link_libraries(analytics_engine_bench PRIVATE analytics benchmark::benchmark)
endif()

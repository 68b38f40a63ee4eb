# Audience evaluation cost per event with 100 audiences of realistic filters.
if(TARGET analytics)
  add_executable(analytics_audiences_bench ${CMAKE_CURRENT_LIST_DIR}/analytics_audiences_bench.cpp)
  target_link_libraries(analytics_audiences_bench PRIVATE analytics benchmark::benchmark
                        benchmark::benchmark_main)
endif()

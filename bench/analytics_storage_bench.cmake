# Raw-event inserts per second through the analytics database, empty and with 100,000 stored
# rows, and the time to trim 100,000 rows to the storage limit.
if(TARGET analytics)
  add_executable(analytics_storage_bench ${CMAKE_CURRENT_LIST_DIR}/analytics_storage_bench.cpp)
  target_link_libraries(analytics_storage_bench PRIVATE analytics benchmark::benchmark
                        benchmark::benchmark_main)
endif()

# Encoding and decoding of an upload batch: MB/s and events/s.
if(TARGET analytics)
  add_executable(analytics_proto_bench ${CMAKE_CURRENT_LIST_DIR}/analytics_proto_bench.cpp)
  target_link_libraries(analytics_proto_bench PRIVATE analytics benchmark::benchmark
                        benchmark::benchmark_main)
endif()

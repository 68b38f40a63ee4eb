# Throughput of serial queues, the main queue and the manual clock.
if(TARGET platform_dispatch)
  add_executable(dispatch_queue_bench ${CMAKE_CURRENT_LIST_DIR}/dispatch_queue_bench.cpp)
  target_link_libraries(dispatch_queue_bench PRIVATE platform_dispatch benchmark::benchmark_main)
endif()

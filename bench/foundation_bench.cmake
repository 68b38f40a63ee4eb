# Property-list serialisation, text lengths and regular expressions of platform/foundation.
if(TARGET platform_foundation)
  add_executable(foundation_bench ${CMAKE_CURRENT_LIST_DIR}/foundation_bench.cpp)
  target_link_libraries(foundation_bench PRIVATE platform_foundation benchmark::benchmark_main)
endif()

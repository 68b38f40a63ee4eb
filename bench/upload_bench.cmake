# Bundling, upload preparation and gzip of 100,000 stored events next to plain nanopb encoding of
# the same events (bench/plain_nanopb.cmake), and the time to drain 100,000 stored events to the
# loopback collector.
if(TARGET analytics AND TARGET quellmark_collector_core)
  add_executable(upload_bench ${CMAKE_CURRENT_LIST_DIR}/upload_bench.cpp)
  target_link_libraries(upload_bench PRIVATE analytics quellmark_collector_core
                        platform_vendor_utilities benchmark::benchmark)
  quellmark_link_plain_nanopb(upload_bench)
endif()

# Encoding and decoding of upload batches, next to plain nanopb code generated at build time from
# the same .proto files (bench/plain_nanopb.cmake).
if(TARGET analytics)
  add_executable(analytics_proto_bench ${CMAKE_CURRENT_LIST_DIR}/analytics_proto_bench.cpp)
  target_link_libraries(analytics_proto_bench PRIVATE analytics benchmark::benchmark)
  quellmark_link_plain_nanopb(analytics_proto_bench)
endif()

# Encoding and decoding of upload batches, next to plain nanopb code generated at build time from
# the same .proto files (every field a pointer field, package renamed so that its symbols do not
# meet the analytics library's own tables).
if(TARGET analytics)
  find_program(BENCH_PROTOC protoc REQUIRED)
  find_program(BENCH_NANOPB_GENERATOR nanopb_generator.py REQUIRED)
  set(plain_src ${PROJECT_SOURCE_DIR}/analytics/proto/duvudiredururo)
  set(plain_dir ${CMAKE_CURRENT_BINARY_DIR}/plainpb)
  set(plain_names measurement audiences)
  set(plain_protos)
  set(plain_outputs)
  foreach(name ${plain_names})
    add_custom_command(
      OUTPUT ${plain_dir}/${name}.proto
      COMMAND ${CMAKE_COMMAND} -E make_directory ${plain_dir}
      COMMAND sed "s/duvudiredururo/plainpb/g" ${plain_src}/${name}.proto > ${plain_dir}/${name}.proto
      DEPENDS ${plain_src}/${name}.proto
      VERBATIM)
    list(APPEND plain_protos ${plain_dir}/${name}.proto)
    list(APPEND plain_outputs ${plain_dir}/${name}.pb.c ${plain_dir}/${name}.pb.h)
  endforeach()
  add_custom_command(
    OUTPUT ${plain_outputs}
    COMMAND ${BENCH_NANOPB_GENERATOR} -q -I ${plain_dir} -D ${plain_dir} -s type:FT_POINTER
            ${plain_protos}
    DEPENDS ${plain_protos}
    COMMENT "Generating plain nanopb code for the wire benchmark"
    VERBATIM)
  add_executable(analytics_proto_bench ${CMAKE_CURRENT_LIST_DIR}/analytics_proto_bench.cpp
                 ${plain_outputs})
  target_include_directories(analytics_proto_bench PRIVATE ${plain_dir})
  target_link_libraries(analytics_proto_bench PRIVATE analytics benchmark::benchmark)
endif()

# Plain nanopb code generated at build time from the analytics .proto files, for benchmarks that
# compare with it: every field a pointer field (nanopb allocates what it decodes), package renamed
# `plainpb` so that its symbols do not meet the analytics library's own tables. One static library,
# `bench_plainpb`, made on first use; its headers are `measurement.pb.h` and `audiences.pb.h`.
function(quellmark_link_plain_nanopb target)
  if(NOT TARGET bench_plainpb)
    find_program(BENCH_PROTOC protoc REQUIRED)
    find_program(BENCH_NANOPB_GENERATOR nanopb_generator.py REQUIRED)
    set(plain_src ${PROJECT_SOURCE_DIR}/analytics/proto/duvudiredururo)
    set(plain_dir ${CMAKE_CURRENT_BINARY_DIR}/plainpb)
    set(plain_protos)
    set(plain_outputs)
    foreach(name measurement audiences)
      add_custom_command(
        OUTPUT ${plain_dir}/${name}.proto
        COMMAND ${CMAKE_COMMAND} -E make_directory ${plain_dir}
        COMMAND sed "s/duvudiredururo/plainpb/g" ${plain_src}/${name}.proto >
                ${plain_dir}/${name}.proto
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
      COMMENT "Generating plain nanopb code for the benchmarks"
      VERBATIM)
    add_library(bench_plainpb STATIC ${plain_outputs})
    target_include_directories(bench_plainpb PUBLIC ${plain_dir})
    target_link_libraries(bench_plainpb PUBLIC quellmark_nanopb)
  endif()
  target_link_libraries(${target} PRIVATE bench_plainpb)
endfunction()

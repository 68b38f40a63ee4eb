# Decodes arbitrary bytes as the messages that arrive from outside (configuration, experiments
# response, upload batch, program) and checks that what decodes re-encodes stably.
# Seed corpus: fuzz/corpus/analytics_proto.
if(TARGET analytics)
  # The message layer is built with coverage instrumentation so that libFuzzer can steer into it.
  file(GLOB proto_sources ${PROJECT_SOURCE_DIR}/analytics/proto/*.cpp)
  list(FILTER proto_sources EXCLUDE REGEX "_test\\.cpp$")
  set(proto_generated_dir ${PROJECT_BINARY_DIR}/analytics/proto/generated)
  list(APPEND proto_sources ${proto_generated_dir}/apmpb_messages.cpp
       ${proto_generated_dir}/measurement.pb.c ${proto_generated_dir}/audiences.pb.c
       ${proto_generated_dir}/experiments.pb.c ${proto_generated_dir}/measurement_config.pb.c
       ${proto_generated_dir}/program.pb.c)
  set_source_files_properties(${proto_sources} DIRECTORY ${PROJECT_SOURCE_DIR}/analytics
                              PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
  quellmark_fuzzer(analytics_proto_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_proto_fuzz.cpp analytics)
endif()

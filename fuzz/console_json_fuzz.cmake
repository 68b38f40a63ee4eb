# The Dart console's JSON notation and its codec.
if(TARGET quellmark_runner)
  quellmark_fuzzer(console_json_fuzz ${CMAKE_CURRENT_LIST_DIR}/console_json_fuzz.cpp quellmark_runner)
endif()

# Loads arbitrary bytes as a program message into event editing and runs it on a few events
# under the runtime's limits: nothing may crash, hang, or grow without bound.
# Seed corpus: fuzz/corpus/analytics_script.
if(TARGET analytics)
  file(GLOB script_sources ${PROJECT_SOURCE_DIR}/analytics/script/*.cpp)
  list(FILTER script_sources EXCLUDE REGEX "_test\\.cpp$")
  set_source_files_properties(${script_sources} DIRECTORY ${PROJECT_SOURCE_DIR}/analytics
                              PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
  quellmark_fuzzer(analytics_script_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_script_fuzz.cpp
                   analytics)
endif()

# Feeds arbitrary audience definitions (as a measurement configuration) and a run of events and
# user properties to the audience evaluator, then builds the bundle results and clears the
# session-scoped ones. Nothing may crash, hang or grow without bound.
# Seed corpus: fuzz/corpus/analytics_audiences.
if(TARGET analytics)
  file(GLOB audience_sources ${PROJECT_SOURCE_DIR}/analytics/audiences/*.cpp)
  list(FILTER audience_sources EXCLUDE REGEX "_test\\.cpp$")
  set_source_files_properties(${audience_sources} DIRECTORY ${PROJECT_SOURCE_DIR}/analytics
                              PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
  quellmark_fuzzer(analytics_audiences_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_audiences_fuzz.cpp
                   analytics)
endif()

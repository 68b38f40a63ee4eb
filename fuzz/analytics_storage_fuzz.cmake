# Feeds arbitrary bytes to the analytics database wherever a stored blob is read back: a raw event
# row, a queued bundle (as stored and gzip-compressed), the measurement configuration, a stored
# audience filter and a conditional property's event. Nothing may crash; bad blobs are refused.
# Seed corpus: fuzz/corpus/analytics_storage.
if(TARGET analytics)
  file(GLOB storage_sources ${PROJECT_SOURCE_DIR}/analytics/storage/*.cpp)
  list(FILTER storage_sources EXCLUDE REGEX "_test\\.cpp$")
  list(APPEND storage_sources ${PROJECT_SOURCE_DIR}/analytics/engine/event.cpp
       ${PROJECT_SOURCE_DIR}/analytics/foundation/value.cpp)
  set_source_files_properties(${storage_sources} DIRECTORY ${PROJECT_SOURCE_DIR}/analytics
                              PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
  quellmark_fuzzer(analytics_storage_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_storage_fuzz.cpp
                   analytics)
endif()

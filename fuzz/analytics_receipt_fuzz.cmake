# Reads arbitrary bytes as a store receipt (container, attributes, purchase items, device and
# version checks). Seed corpus: fuzz/corpus/analytics_receipt (signed receipts, a bare attribute
# set and truncations of both).
if(TARGET analytics)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/analytics/attribution/receipt_parser.cpp
                              DIRECTORY ${PROJECT_SOURCE_DIR}/analytics
                              PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
  quellmark_fuzzer(analytics_receipt_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_receipt_fuzz.cpp
                   analytics)
endif()

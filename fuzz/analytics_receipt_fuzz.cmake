# Reads arbitrary bytes as a store receipt (container, attributes, purchase items, device and
# version checks). Seeds: signed receipts, a bare attribute set and truncations of both.
if(TARGET analytics)
  quellmark_fuzzer(analytics_receipt_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_receipt_fuzz.cpp
                   analytics)
endif()

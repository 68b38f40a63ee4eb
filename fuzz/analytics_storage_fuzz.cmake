# Feeds arbitrary bytes to the analytics database wherever a stored blob is read back: a raw event
# row, a queued bundle (as stored and gzip-compressed), the measurement configuration, a stored
# audience filter and a conditional property's event. Nothing may crash; bad blobs are refused.
if(TARGET analytics)
  quellmark_fuzzer(analytics_storage_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_storage_fuzz.cpp
                   analytics)
endif()

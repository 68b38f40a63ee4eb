# The experiments reply: gunzip, decode, snapshots built, stored and read back.
if(TARGET analytics)
  quellmark_fuzzer(experiments_reply_fuzz ${CMAKE_CURRENT_LIST_DIR}/experiments_reply_fuzz.cpp
                   analytics)
endif()

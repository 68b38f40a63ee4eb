# Loads arbitrary bytes as a program message into event editing and runs it on a few events
# under the runtime's limits: nothing may crash, hang, or grow without bound.
# Seed corpus: fuzz/corpus/analytics_script.
if(TARGET analytics)
  quellmark_fuzzer(analytics_script_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_script_fuzz.cpp
                   analytics)
endif()

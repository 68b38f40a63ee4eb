# Feeds arbitrary audience definitions (as a measurement configuration) and a run of events and
# user properties to the audience evaluator, then builds the bundle results and clears the
# session-scoped ones. Nothing may crash, hang or grow without bound.
if(TARGET analytics)
  quellmark_fuzzer(analytics_audiences_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_audiences_fuzz.cpp
                   analytics)
endif()

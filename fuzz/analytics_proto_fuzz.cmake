# Decodes arbitrary bytes as the messages that arrive from outside (configuration, experiments
# response, upload batch, program) and checks that what decodes re-encodes stably.
if(TARGET analytics)
  quellmark_fuzzer(analytics_proto_fuzz ${CMAKE_CURRENT_LIST_DIR}/analytics_proto_fuzz.cpp analytics)
endif()

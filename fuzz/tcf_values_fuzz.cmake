# TCF values as a consent-management platform stores them in the preferences.
if(TARGET analytics)
  quellmark_fuzzer(tcf_values_fuzz ${CMAKE_CURRENT_LIST_DIR}/tcf_values_fuzz.cpp analytics)
endif()

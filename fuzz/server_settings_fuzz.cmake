# A measurement configuration decoded and interpreted by the server settings.
if(TARGET analytics)
  quellmark_fuzzer(server_settings_fuzz ${CMAKE_CURRENT_LIST_DIR}/server_settings_fuzz.cpp analytics)
endif()

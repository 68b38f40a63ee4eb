# Stored files read back: keychain, preferences, persistent dictionary, options file.
if(TARGET analytics)
  quellmark_fuzzer(stored_files_fuzz ${CMAKE_CURRENT_LIST_DIR}/stored_files_fuzz.cpp analytics
                   platform_security platform_vendor_core platform_foundation)
endif()

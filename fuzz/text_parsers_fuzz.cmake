# ISO 8601 dates, UUIDs, hexadecimal text and decimal numbers.
if(TARGET analytics AND TARGET platform_storekit)
  quellmark_fuzzer(text_parsers_fuzz ${CMAKE_CURRENT_LIST_DIR}/text_parsers_fuzz.cpp analytics
                   platform_storekit platform_security platform_foundation)
endif()

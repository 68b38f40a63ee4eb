# Property-list parsing; seeds in corpus/property_list.
quellmark_fuzzer(property_list_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/property_list_fuzz.cpp
                 platform_foundation)

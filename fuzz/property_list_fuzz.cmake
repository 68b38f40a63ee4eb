# Property-list parsing (XML and binary).
quellmark_fuzzer(property_list_fuzz ${CMAKE_CURRENT_LIST_DIR}/property_list_fuzz.cpp
                 platform_foundation)

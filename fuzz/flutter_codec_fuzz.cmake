# The Flutter standard codec.
quellmark_fuzzer(flutter_codec_fuzz ${CMAKE_CURRENT_LIST_DIR}/flutter_codec_fuzz.cpp
                 platform_flutter)

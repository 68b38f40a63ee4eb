# The Flutter standard codec; seeds in corpus/flutter_codec.
quellmark_fuzzer(flutter_codec_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/flutter_codec_fuzz.cpp
                 platform_flutter)

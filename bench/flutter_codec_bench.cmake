# Encoding and decoding a large message with the Flutter standard codec.
if(TARGET platform_flutter)
  add_executable(flutter_codec_bench ${CMAKE_CURRENT_LIST_DIR}/flutter_codec_bench.cpp)
  target_link_libraries(flutter_codec_bench PRIVATE platform_flutter benchmark::benchmark_main)
endif()

# Encoding and decoding with the Flutter standard codec: the small messages that travel and a
# large map; prints decode / encode time per message.
if(TARGET platform_flutter)
  add_executable(flutter_codec_bench ${CMAKE_CURRENT_LIST_DIR}/flutter_codec_bench.cpp)
  target_link_libraries(flutter_codec_bench PRIVATE platform_flutter benchmark::benchmark)
endif()

# The nanopb runtime (pb_common, pb_decode, pb_encode) as the target `quellmark_nanopb`.
#
# Normal builds link the distribution's static library. Fuzz and sanitizer builds given
# QUELLMARK_NANOPB_SOURCE (the unpacked Debian source package, fetched by
# `scripts/setup.sh --nanopb-source DIR`) compile the runtime from that source with the options of
# the packaged library instead, so that the decoder carries the same coverage and sanitizer
# instrumentation as our own code.
#
# The packaged library is built with PB_ENABLE_MALLOC and nothing else (16-bit pb_size_t, no
# PB_FIELD_32BIT, no PB_NO_ERRMSG); every user of pb.h must see that configuration, and
# analytics/proto checks it at compile time.
set(QUELLMARK_NANOPB_SOURCE "" CACHE PATH
    "Unpacked nanopb source package; used by fuzz and sanitizer builds")

find_package(nanopb REQUIRED CONFIG)
add_library(quellmark_nanopb INTERFACE)
target_compile_definitions(quellmark_nanopb INTERFACE PB_ENABLE_MALLOC)

set(nanopb_instrumented OFF)
if(QUELLMARK_FUZZ OR QUELLMARK_ASAN OR QUELLMARK_TSAN)
  if(QUELLMARK_NANOPB_SOURCE)
    set(nanopb_instrumented ON)
  else()
    message(WARNING "nanopb is the packaged, uninstrumented library; run "
                    "scripts/setup.sh --nanopb-source DIR and configure with "
                    "-DQUELLMARK_NANOPB_SOURCE=DIR to compile it with this build's options")
  endif()
endif()

if(nanopb_instrumented)
  set(src ${QUELLMARK_NANOPB_SOURCE})
  foreach(f pb.h pb_common.c pb_decode.c pb_encode.c)
    if(NOT EXISTS ${src}/${f})
      message(FATAL_ERROR "QUELLMARK_NANOPB_SOURCE=${src} has no ${f}")
    endif()
  endforeach()
  # The source must be the release whose headers everything else includes.
  set(version_regex "#define NANOPB_VERSION \"?[^\n\"]*")
  file(STRINGS ${src}/pb.h source_version REGEX "${version_regex}")
  file(STRINGS /usr/include/pb.h packaged_version REGEX "${version_regex}")
  if(NOT source_version STREQUAL packaged_version)
    message(FATAL_ERROR "nanopb source (${source_version}) is not the packaged release "
                        "(${packaged_version}); fetch it again with scripts/setup.sh")
  endif()
  add_library(nanopb_runtime STATIC ${src}/pb_common.c ${src}/pb_decode.c ${src}/pb_encode.c)
  target_include_directories(nanopb_runtime SYSTEM PUBLIC ${src})
  target_compile_definitions(nanopb_runtime PUBLIC PB_ENABLE_MALLOC)
  # The upstream code is not ours to keep free of warnings.
  target_compile_options(nanopb_runtime PRIVATE -w)
  target_link_libraries(quellmark_nanopb INTERFACE nanopb_runtime)
  message(STATUS "nanopb runtime compiled from ${src}")
else()
  target_link_libraries(quellmark_nanopb INTERFACE nanopb::protobuf-nanopb-static)
endif()

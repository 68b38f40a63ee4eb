// The codecs of the Dart console: the standard format plus every custom type byte (128-255), read
// as a TypedRecord of the byte and the one value that follows it, and written back the same way.
// The console does not know the host's message classes; this keeps their bytes intact both ways.
//
// Thread safety: the codecs are immutable and made once.
#pragma once

#include <memory>

#include "platform/flutter/standard_codec.h"

namespace runner {

std::shared_ptr<const flutter::FlutterStandardMessageCodec> ConsoleMessageCodec();
std::shared_ptr<const flutter::FlutterStandardMethodCodec> ConsoleMethodCodec();

}  // namespace runner

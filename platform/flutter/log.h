// The log of the Flutter layer: one line on standard error, prefixed "flutter: ".
#pragma once

#include <string>

namespace flutter {

void FlutterLog(const std::string& line);

}  // namespace flutter

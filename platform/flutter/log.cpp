#include "platform/flutter/log.h"

#include <cstdio>

namespace flutter {

void FlutterLog(const std::string& line) { std::fprintf(stderr, "flutter: %s\n", line.c_str()); }

}  // namespace flutter

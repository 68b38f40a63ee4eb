// The monitor's console writer: turns a monitor line into one console line (see console_log.h)
// with the message code written as "I-ACS%06ld" and the monitor level mapped to a console level.
//
// Thread safety: every method may be called from any thread; the monitor calls it from its own
// queue.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "analytics/foundation/console_log.h"

class APMASLLogger {
 public:
  // A writer to `console`, by default the process's console.
  explicit APMASLLogger(std::shared_ptr<ZIVConsoleLog> console = ZIVConsoleLog::shared());

  // The console this writer writes to; its level is the console logger level the monitor sets.
  ZIVConsoleLog& console() const { return *console_; }

  // Writes `message` literally (each "%" is doubled before it reaches the console's format),
  // under `logTag` as category and kZIVLogSubsystem, at the console level of the monitor level
  // `logLevel`; forced exactly when `logLevel` is 7.
  void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                  int64_t logLevel) const;

  // The console level of a monitor level: 0 to 2 error (3), 3 to 5 warning (4), 6 notice (5),
  // 7 and 8 debug (7); any other level warning (4).
  static int RVLLoggerLevelFromLogLevel(int64_t logLevel);

 private:
  // Constant after construction.
  const std::shared_ptr<ZIVConsoleLog> console_;
};

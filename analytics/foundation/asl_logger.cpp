#include "analytics/foundation/asl_logger.h"

#include <utility>

APMASLLogger::APMASLLogger(std::shared_ptr<ZIVConsoleLog> console)
    : console_(console ? std::move(console) : ZIVConsoleLog::shared()) {}

int APMASLLogger::RVLLoggerLevelFromLogLevel(int64_t logLevel) {
  static constexpr int kLevels[] = {
      kZIVConsoleLevelError,   kZIVConsoleLevelError,   kZIVConsoleLevelError,
      kZIVConsoleLevelWarning, kZIVConsoleLevelWarning, kZIVConsoleLevelWarning,
      kZIVConsoleLevelNotice,  kZIVConsoleLevelDebug,   kZIVConsoleLevelDebug,
  };
  if (logLevel < 0 || logLevel > 8) return kZIVConsoleLevelWarning;
  return kLevels[logLevel];
}

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag,
                              int64_t messageCode, int64_t logLevel) const {
  std::string format;
  format.reserve(message.size());
  for (char c : message) {
    format += c;
    if (c == '%') format += '%';
  }
  console_->logBasic(RVLLoggerLevelFromLogLevel(logLevel), kZIVLogSubsystem, logTag, logLevel == 7,
                     ZIVConsoleLog::MessageCodeString(messageCode), format);
}

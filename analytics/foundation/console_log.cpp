#include "analytics/foundation/console_log.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

const std::shared_ptr<ZIVConsoleLog>& ZIVConsoleLog::shared() {
  static const std::shared_ptr<ZIVConsoleLog>& console =
      *new std::shared_ptr<ZIVConsoleLog>(std::make_shared<ZIVConsoleLog>());
  return console;
}

ZIVConsoleLog::ZIVConsoleLog() : level_(kZIVConsoleLevelNotice) {}

std::string ZIVConsoleLog::MessageCodeString(int64_t messageCode) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "I-ACS%06" PRId64, messageCode);
  return buffer;
}

void ZIVConsoleLog::logBasic(int level, const std::string& subsystem, const std::string& category,
                             bool force, const std::string& code, const std::string& format) {
  if (!force && !isLoggableLevel(level)) return;
  // The format has no arguments, so the only directive it can hold is "%%".
  std::string message;
  message.reserve(format.size());
  for (size_t i = 0; i < format.size(); ++i) {
    message += format[i];
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') ++i;
  }
  write(ZIVConsoleLine{level, subsystem, category, code, std::move(message)});
}

void ZIVConsoleLog::logMessage(int level, const std::string& category, int64_t messageCode,
                               const std::string& message) {
  if (!isLoggableLevel(level)) return;
  write(ZIVConsoleLine{level, kZIVLogSubsystem, category, MessageCodeString(messageCode), message});
}

void ZIVConsoleLog::setSink(Sink sink) {
  std::lock_guard<std::mutex> lock(mu_);
  sink_ = std::move(sink);
}

namespace {

const char* LevelName(int level) {
  switch (level) {
    case kZIVConsoleLevelError:
      return "Error";
    case kZIVConsoleLevelWarning:
      return "Warning";
    case kZIVConsoleLevelNotice:
      return "Notice";
    case kZIVConsoleLevelInfo:
      return "Info";
    case kZIVConsoleLevelDebug:
      return "Debug";
    default:
      return "Default";
  }
}

}  // namespace

void ZIVConsoleLog::write(ZIVConsoleLine line) {
  std::lock_guard<std::mutex> lock(mu_);
  if (sink_) {
    sink_(line);
    return;
  }
  // One message, one line: line breaks inside the message are written as "\n".
  std::string text;
  text.reserve(line.message.size());
  for (char c : line.message) {
    if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else {
      text += c;
    }
  }
  std::fprintf(stderr, "<%s> [%s:%s][%s] %s\n", LevelName(line.level), line.subsystem.c_str(),
               line.category.c_str(), line.code.c_str(), text.c_str());
}

void ZIVStoreLogWarning(int64_t messageCode, const std::string& message) {
  ZIVConsoleLog::shared()->logMessage(kZIVConsoleLevelWarning, kZIVStoreConsoleCategory,
                                      messageCode, message);
}

void ZIVStoreLogError(int64_t messageCode, const std::string& message) {
  ZIVConsoleLog::shared()->logMessage(kZIVConsoleLevelError, kZIVStoreConsoleCategory, messageCode,
                                      message);
}

ZIVScopedConsoleCapture::ZIVScopedConsoleCapture(std::shared_ptr<ZIVConsoleLog> console)
    : console_(std::move(console)) {
  console_->setSink([this](const ZIVConsoleLine& line) {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back(line);
  });
}

ZIVScopedConsoleCapture::~ZIVScopedConsoleCapture() { console_->setSink(nullptr); }

std::vector<ZIVConsoleLine> ZIVScopedConsoleCapture::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<ZIVConsoleLine> ZIVScopedConsoleCapture::linesWithCode(int64_t messageCode) const {
  const std::string code = ZIVConsoleLog::MessageCodeString(messageCode);
  std::vector<ZIVConsoleLine> out;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& line : lines_) {
    if (line.code == code) out.push_back(line);
  }
  return out;
}

void ZIVScopedConsoleCapture::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

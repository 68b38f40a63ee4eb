// DEVExceptionModel and DEVStackFrame: what the crash-reporting SDK records for an exception that
// the app reports itself (a name, a reason, a stack trace and two flags). Plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class DEVStackFrame {
 public:
  static DEVStackFrame stackFrameWithSymbol(std::string symbol, std::optional<std::string> file,
                                            int64_t line);

  const std::string& symbol() const { return symbol_; }
  const std::optional<std::string>& file() const { return file_; }
  int64_t line() const { return line_; }

  bool operator==(const DEVStackFrame&) const = default;

 private:
  std::string symbol_;
  std::optional<std::string> file_;
  int64_t line_ = 0;
};

class DEVExceptionModel {
 public:
  static DEVExceptionModel exceptionModelWithName(std::string name,
                                                  std::optional<std::string> reason);

  const std::string& name() const { return name_; }
  const std::optional<std::string>& reason() const { return reason_; }

  const std::vector<DEVStackFrame>& stackTrace() const { return stackTrace_; }
  void setStackTrace(std::vector<DEVStackFrame> frames) { stackTrace_ = std::move(frames); }
  // Whether the report was asked for by the app rather than caught by the SDK.
  bool onDemand() const { return onDemand_; }
  void setOnDemand(bool onDemand) { onDemand_ = onDemand; }
  bool isFatal() const { return isFatal_; }
  void setIsFatal(bool fatal) { isFatal_ = fatal; }

 private:
  std::string name_;
  std::optional<std::string> reason_;
  std::vector<DEVStackFrame> stackTrace_;
  bool onDemand_ = false;
  bool isFatal_ = false;
};

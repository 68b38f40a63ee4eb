// The console that the engine's log lines reach: the stand-in for the system's unified log and
// for the vendor logger's level switch. Each line goes to standard error as one line of text, or,
// while a test has installed a sink, to that sink instead.
//
// A line carries a console level (3 error, 4 warning, 5 notice, 6 info, 7 debug), the log
// subsystem, a category, a message code text ("I-ACS002002") and the message. A line is written
// when its level is at or below the console's level, or when it is forced.
//
// Thread safety: every method may be called from any thread. The sink is called on the writing
// thread, one line at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Console levels of the vendor logger.
inline constexpr int kZIVConsoleLevelError = 3;
inline constexpr int kZIVConsoleLevelWarning = 4;
inline constexpr int kZIVConsoleLevelNotice = 5;
inline constexpr int kZIVConsoleLevelInfo = 6;
inline constexpr int kZIVConsoleLevelDebug = 7;

// The log subsystem of every engine line.
inline constexpr const char* kZIVLogSubsystem = "com.rivado.measurement";

// One line as written.
struct ZIVConsoleLine {
  int level = kZIVConsoleLevelNotice;
  std::string subsystem;
  std::string category;
  std::string code;     // "I-ACS%06ld" of the message code.
  std::string message;  // The rendered text.
};

class ZIVConsoleLog {
 public:
  using Sink = std::function<void(const ZIVConsoleLine& line)>;

  // The process's console, alive for the whole process.
  static const std::shared_ptr<ZIVConsoleLog>& shared();

  // A console at level notice, writing to standard error.
  ZIVConsoleLog();
  ZIVConsoleLog(const ZIVConsoleLog&) = delete;
  ZIVConsoleLog& operator=(const ZIVConsoleLog&) = delete;

  int level() const { return level_.load(); }
  void setLevel(int level) { level_.store(level); }
  // True when a line of `level` would be written without force.
  bool isLoggableLevel(int level) const { return level <= level_.load(); }

  // Writes a line whose message is a format without arguments: every "%%" stands for one "%"
  // (the writer doubles each "%" of its text). Dropped unless loggable or `force`.
  void logBasic(int level, const std::string& subsystem, const std::string& category, bool force,
                const std::string& code, const std::string& format);

  // Writes a plain message (no format) under kZIVLogSubsystem; dropped unless loggable.
  void logMessage(int level, const std::string& category, int64_t messageCode,
                  const std::string& message);

  // Sends every later line to `sink` instead of standard error; an empty sink restores standard
  // error.
  void setSink(Sink sink);

  // "I-ACS%06ld" of the code: 2002 gives "I-ACS002002".
  static std::string MessageCodeString(int64_t messageCode);

 private:
  void write(ZIVConsoleLine line);

  std::atomic<int> level_;
  std::mutex mu_;
  Sink sink_;  // Guarded by mu_.
};

// The foundation stores that sit below the monitor (ZIVUserDefaults, ZIVPersistentDictionary)
// write their lines straight to the shared console under this category, since the monitor itself
// stands on them.
inline constexpr const char* kZIVStoreConsoleCategory = "DuvUdiredururo";

// A warning or an error line of those stores on the shared console.
void ZIVStoreLogWarning(int64_t messageCode, const std::string& message);
void ZIVStoreLogError(int64_t messageCode, const std::string& message);

// Installs a sink on a console for its lifetime and collects every line; restores standard error
// at the end. For tests.
class ZIVScopedConsoleCapture {
 public:
  explicit ZIVScopedConsoleCapture(
      std::shared_ptr<ZIVConsoleLog> console = ZIVConsoleLog::shared());
  ~ZIVScopedConsoleCapture();
  ZIVScopedConsoleCapture(const ZIVScopedConsoleCapture&) = delete;
  ZIVScopedConsoleCapture& operator=(const ZIVScopedConsoleCapture&) = delete;

  // The lines written so far, in order.
  std::vector<ZIVConsoleLine> lines() const;
  // The lines of one message code.
  std::vector<ZIVConsoleLine> linesWithCode(int64_t messageCode) const;
  void clear();

 private:
  const std::shared_ptr<ZIVConsoleLog> console_;
  mutable std::mutex mu_;
  std::vector<ZIVConsoleLine> lines_;  // Guarded by mu_.
};

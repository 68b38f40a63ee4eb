// ZIVMonitor: the one log sink of the analytics engine. Every engine class logs through the
// shared instance (ZIVMeasurement::monitor()) with a level, a numeric message code, a message and
// up to three context objects (see monitor_context.h for errors and exceptions).
//
// Levels 0 to 8:
//   level  name       silent  monitorable  console level
//   0      "ERROR"    no      no           error (3)
//   1      "ERROR"    no      yes          error (3)
//   2      "ERROR"    yes     yes          error (3)
//   3      "WARNING"  no      no           warning (4)
//   4      "WARNING"  no      yes          warning (4)
//   5      "WARNING"  yes     yes          warning (4)
//   6      "NOTICE"   no      no           notice (5)
//   7      "DEBUG"    no      no           debug (7)
//   8      (none)     no      no           debug (7)
// Any other level has no name, is silent and monitorable, and maps to warning.
//
// A line is printed (through the APMASLLogger to the console, with the code as "I-ACS%06ld")
// when its level is not silent and the console logger's level lets its console level through;
// level 8 also needs verbose logging. A monitorable entry is counted in the health record
// (monitoring_sampled_data.h), which is persisted in the monitor's own preference suite and
// dispatched with uploads as one URL parameter. The record reaches the suite's file at once for
// the first entry, then at most once per kZIVMonitorHealthWriteInterval: a burst of warnings
// costs one file write, not one per line. A write put off that way is done by flush() and
// therefore at process exit; the store's readers see every update at once.
//
// Debug and verbose logging are switched by setDebugModeEnabled() / setVerboseLoggingEnabled(),
// persisted in the application's preferences, and read with the launch arguments once at
// creation; a store-distributed build (APMAEU::isFAS()) ignores all of them.
//
// Thread safety: log from any thread. Level tests and line building run on the caller's thread;
// console writes and all health-record work run on the serial queue "ZIVMonitorQueue".
// monitoringDataForDispatch(), clearMonitoringData() and flush() wait for that queue, so they
// must not be called from a block running on it. Lines still queued at normal process exit are
// written before the process ends (platform/foundation/flush_at_exit.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/foundation/asl_logger.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/monitoring_sampled_data.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

class ZIVUserDefaults;

// Persisted keys of the monitor. In the application's own preferences:
inline constexpr const char* ZIVPersistedConfigDebugModeKey = "/rivado/measurement/debug_mode";
inline constexpr const char* ZIVPersistedConfigVerboseLoggingKey =
    "/rivado/measurement/verbose_logging";
// In the monitor's suite:
inline constexpr const char* ZIVUserDefaultsHealthMonitorKey = "/rivado/measurement/health_monitor";
inline constexpr const char* ZIVUserDefaultsMonitorMigrationStateKey =
    "/rivado/measurement/monitor_migration_state";

// States of the move of the health record from the application's preferences to the suite.
inline constexpr int64_t ZIVMonitorMigrationStateNone = 0;
inline constexpr int64_t ZIVMonitorMigrationStateCopied = 1;
inline constexpr int64_t ZIVMonitorMigrationStateComplete = 2;

// The monitor's preference suite.
inline constexpr const char* kZIVMonitorSuiteName = "com.rivado.measurement.monitor";

// Seconds of the monitor's clock (boot time) between two writes of the health record's file.
inline constexpr double kZIVMonitorHealthWriteInterval = 1.0;

// One call of logWithLevel(), as seen by a log listener.
struct ZIVLogEntry {
  int64_t level = 0;
  int64_t messageCode = 0;
  std::string message;
  fnd::Array contexts;
};

// What the monitor reads from its surroundings; each member left empty takes the process's
// own (shown in brackets).
struct ZIVMonitorEnvironment {
  // Health timestamps [dispatch::Clock::current() at creation].
  std::shared_ptr<dispatch::Clock> clock;
  // Launch arguments [fnd::ProcessInfo::processInfo().arguments()].
  std::function<std::vector<std::string>()> launchArguments;
  // Whether this is a store-distributed build [APMAEU::isFAS()].
  std::function<bool()> isStoreBuild;
  // Whether the vendor core's configuration class is present, which then owns the console
  // logger's level [never on this platform].
  std::function<bool()> hasVendorConfiguration;
  // The application's preferences [ZIVUserDefaults::sharedUserDefaults()].
  ZIVUserDefaults* applicationDefaults = nullptr;
  // The monitor's own suite [kZIVMonitorSuiteName].
  std::string monitorSuiteName;
  // Uniform draws for health sampling [the secure random source].
  ZIVMonitoringSampledData::RandomBelow randomBelow;
};

class ZIVMonitor : public std::enable_shared_from_this<ZIVMonitor> {
 public:
  using Environment = ZIVMonitorEnvironment;

  // A monitor at level 6 with a new logger on the process's console.
  static std::shared_ptr<ZIVMonitor> create(int64_t libraryVersion);
  // A monitor with the given level, logger and surroundings. After the fields are set, the
  // monitor queue migrates and loads the health record and, unless this is a store build,
  // applies the launch arguments and persisted flags (see the .cpp for the rules).
  static std::shared_ptr<ZIVMonitor> create(int64_t logLevel, std::shared_ptr<APMASLLogger> logger,
                                            int64_t libraryVersion, Environment environment = {});

  ~ZIVMonitor();
  ZIVMonitor(const ZIVMonitor&) = delete;
  ZIVMonitor& operator=(const ZIVMonitor&) = delete;

  // Logs with no, one, two or three contexts, or a list of them. A null context stands for nil
  // and is described as "(nil)". Never fails towards the caller.
  void logWithLevel(int64_t level, int64_t messageCode, const std::string& message);
  void logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                    const fnd::Value& context);
  void logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                    const fnd::Value& context1, const fnd::Value& context2);
  void logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                    const fnd::Value& context1, const fnd::Value& context2,
                    const fnd::Value& context3);
  void logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                    const fnd::Array& contexts);

  int64_t logLevel() const { return logLevel_.load(); }
  void setLogLevel(int64_t level) { logLevel_.store(level); }
  bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
  bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_.load(); }
  // False in a store-distributed build. Known once the creation work on the monitor queue has run.
  bool isDebugModeAllowed() const { return debugModeAllowed_.load(); }
  bool encodeContexts() const { return encodeContexts_.load(); }
  void setEncodeContexts(bool encode) { encodeContexts_.store(encode); }
  std::string logTag() const;
  void setLogTag(std::string tag);
  int64_t libraryVersion() const { return libraryVersion_; }
  const APMASLLogger& logger() const { return *logger_; }

  // Debug mode on (when allowed): level 7, console logger at debug, the flag persisted. Off (or
  // not allowed): level 6, console logger at notice, the flag removed.
  void setDebugModeEnabled(bool enabled);
  // Server-side tag-manager debug mode: level 7 / console debug, or level 6 / console notice,
  // without the allowed check and without persisting; logs 24006 or 24007 at level 7.
  void setSGTMDebugModeEnabled(bool enabled);
  // Verbose logging on (when allowed): level 8, console logger at debug, the flag persisted. Off:
  // level 7 with debug mode on, else 6, console logger at that level's console level, the flag
  // removed.
  void setVerboseLoggingEnabled(bool enabled);

  // The health record's URL parameter for a sample period (seconds) and the time of the last
  // sampling (seconds since 1970), or nullopt; see ZIVMonitoringSampledData::dataForDispatch().
  // Runs on the monitor queue and waits for it.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Removes the debug-mode flag and the health record everywhere. Waits for the monitor queue.
  void clearMonitoringData();

  // Waits until every console write and health update queued so far has run, and writes a
  // health record whose file write was put off.
  void flush();

  // Calls `listener` for every logWithLevel() call, on the caller's thread, before any filtering;
  // a null listener removes it. For diagnostics and tests.
  void setLogListener(std::function<void(const ZIVLogEntry&)> listener);

  // Class helpers.
  // "ERROR", "WARNING", "NOTICE", "DEBUG", or "" for a level without a name.
  static std::string logLevelDescriptionFromLogLevel(int64_t level);
  static bool isSilentLevel(int64_t level);
  static bool isMonitorableLevel(int64_t level);
  // The contexts' encodings joined by ", " (insertSpaces) or ","; "" for no contexts.
  static std::string encodedStringWithContextArray(const fnd::Array& contexts, bool insertSpaces);
  // For the health record: "" for null, "-" for a string, a number's value up to 99 in absolute
  // value, else its decade range ("100...999", "-999...-100"), an exception's last engine symbol
  // or "-", an error's domain or "-", "?" for anything else.
  static std::string encodedStringWithContextObject(const fnd::Value& context);
  // The printed line: the message ("(Message was empty)" for an empty one), then ": " and the
  // contexts, encoded with spaces or described and joined by ", ".
  static std::string stringWithLogMessage(const std::string& message, int64_t level,
                                          const fnd::Array& contexts, bool encodeContexts);
  // The first frame of the exception's call stack (from the third line on) whose symbol contains
  // "ZIV" in any case, else the exception's name.
  static std::string lastZIVSymbolFromException(const ZIVExceptionRecord& exception);
  // "1" + level letter ('E' 0-2, 'W' 3-5, '?' otherwise) + "_" + version + ":" + message.
  static std::string monitoringDataKeyWithMessage(const std::string& message, int64_t level,
                                                  int64_t libraryVersion);

 private:
  ZIVMonitor(int64_t logLevel, std::shared_ptr<APMASLLogger> logger, int64_t libraryVersion,
             Environment environment);

  // The creation work. REQUIRES: on the monitor queue.
  void startOnQueue();
  void migrateOnQueue();
  void processLaunchArgumentsOnQueue();
  // Stores the sample in the suite and writes the suite's file now, or once the write interval
  // since the last write has passed.
  void persistSampleOnQueue();
  // Writes the suite's file now.
  void writeSampleOnQueue();
  // Writes the suite's file if a write was put off.
  void writePendingSampleOnQueue();
  void setConsoleLevel(int level);

  // Constant after construction.
  const int64_t libraryVersion_;
  const std::shared_ptr<APMASLLogger> logger_;
  const Environment environment_;  // Every member filled.
  ZIVUserDefaults& applicationDefaults_;
  const std::unique_ptr<ZIVUserDefaults> monitorDefaults_;
  const std::shared_ptr<dispatch::Queue> queue_;

  // Plain fields written by the switches.
  std::atomic<int64_t> logLevel_;
  std::atomic<bool> firConfigurationControlsLogger_{false};
  std::atomic<bool> debugModeAllowed_{false};
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
  std::atomic<bool> encodeContexts_{false};

  mutable std::mutex mu_;
  std::string logTag_;                                                 // Guarded by mu_.
  std::shared_ptr<std::function<void(const ZIVLogEntry&)>> listener_;  // Guarded by mu_.

  // Owned by the monitor queue.
  ZIVMonitoringSampledData sampledData_;
  bool sampleWritePending_ = false;
  double lastSampleWrite_;  // Uptime of the last write of the suite's file.
};

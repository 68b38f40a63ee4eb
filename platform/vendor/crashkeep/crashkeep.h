// DEVCrashkeep: the crash-reporting vendor SDK, as an in-memory simulation. It keeps the user id,
// custom values and log lines that go into the next report, records exception models as reports,
// and holds reports back as "unsent" while collection is switched off.
//
// A recorded report is sent at once (kept in sentReports()) when collection is enabled, else it
// waits in unsentReports() until sendUnsentReports() or deleteUnsentReports(). Each report keeps
// a snapshot of the user id, custom values and log lines of the moment it was recorded.
//
// Tests build their own instance and script what the SDK would find at launch
// (setDidCrashDuringPreviousExecution, addUnsentReport).
//
// Thread safety: every method may be called from any thread. checkForUnsentReportsWithCompletion
// calls its completion on the SDK's own serial queue, never on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"
#include "platform/vendor/crashkeep/exception_model.h"

// The custom key under which an on-demand fatal report carries the time of the fatal error
// (whole seconds since 1970).
inline constexpr const char* kDEVCrashkeepOnDemandFatalTimeKey =
    "com.zudiroru.crashkeep.internal.on_demand_fatal_time";

class DEVCrashkeep {
 public:
  // One recorded exception, with the context that went with it.
  struct Report {
    DEVExceptionModel model;
    bool onDemand = false;  // Recorded with recordOnDemandExceptionModel.
    std::optional<std::string> userID;
    fnd::Dictionary customValues;
    std::vector<std::string> logs;
  };

  // The process's SDK object, made on first use.
  static DEVCrashkeep& crashkeep();

  // Collection enabled; no user id, values, logs or reports. Completions run on `callbackQueue`
  // (a new serial queue when null).
  explicit DEVCrashkeep(std::shared_ptr<dispatch::Queue> callbackQueue = nullptr);
  DEVCrashkeep(const DEVCrashkeep&) = delete;
  DEVCrashkeep& operator=(const DEVCrashkeep&) = delete;

  // Which cross-platform layer reports (e.g. "Flutter") and its version.
  void setDevelopmentPlatformName(std::string name);
  void setDevelopmentPlatformVersion(std::string version);
  std::optional<std::string> developmentPlatformName() const;
  std::optional<std::string> developmentPlatformVersion() const;

  // The user id of later reports; nullopt clears it.
  void setUserID(std::optional<std::string> userID);
  std::optional<std::string> userID() const;

  // Sets a custom value for later reports; a null value removes the key, an absent key is ignored.
  void setCustomValue(const fnd::Value& value, const std::optional<std::string>& key);
  fnd::Dictionary customValues() const;

  // Adds one log line made from `format` and `arguments`: "%@" takes the next argument's text
  // (strings as they are, null as "(null)"), "%%" is "%", anything else is kept literally. The
  // arguments are never read as formats.
  void logWithFormat(std::string_view format, std::initializer_list<fnd::Value> arguments);
  std::vector<std::string> logs() const;

  // The collection switch. Switching it on sends the unsent reports.
  void setCrashkeepCollectionEnabled(bool enabled);
  bool isCrashkeepCollectionEnabled() const;

  // Records a report of a non-fatal (recordExceptionModel) or on-demand (recordOnDemand...)
  // exception.
  void recordExceptionModel(const DEVExceptionModel& model);
  void recordOnDemandExceptionModel(const DEVExceptionModel& model);

  // Calls `completion` on the SDK's queue with whether unsent reports wait.
  void checkForUnsentReportsWithCompletion(std::function<void(bool hasUnsentReports)> completion);
  void sendUnsentReports();
  void deleteUnsentReports();

  bool didCrashDuringPreviousExecution() const;

  // Reports recorded so far.
  std::vector<Report> sentReports() const;
  std::vector<Report> unsentReports() const;

  // Test hooks: what the SDK found at launch.
  void setDidCrashDuringPreviousExecution(bool crashed);
  void addUnsentReport(Report report);

 private:
  void record(const DEVExceptionModel& model, bool onDemand);

  // Constant after construction.
  const std::shared_ptr<dispatch::Queue> callbackQueue_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::optional<std::string> platformName_;
  std::optional<std::string> platformVersion_;
  std::optional<std::string> userID_;
  fnd::Dictionary customValues_;
  std::vector<std::string> logs_;
  bool collectionEnabled_ = true;
  bool crashedBefore_ = false;
  std::vector<Report> sent_;
  std::vector<Report> unsent_;
};

// The text that "%@" makes of a value: strings as they are, null as "(null)", booleans as 1 or 0,
// numbers in decimal, anything else by its description.
std::string DEVCrashkeepObjectText(const fnd::Value& value);

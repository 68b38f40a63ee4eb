#include "platform/vendor/crashkeep/crashkeep.h"

#include <utility>

std::string DEVCrashkeepObjectText(const fnd::Value& value) {
  switch (value.kind()) {
    case fnd::Value::Kind::kNull:
      return "(null)";
    case fnd::Value::Kind::kString:
      return value.asString();
    case fnd::Value::Kind::kBool:
      return value.asBool() ? "1" : "0";
    case fnd::Value::Kind::kInt:
      return std::to_string(value.asInt());
    default:
      return value.description();
  }
}

DEVCrashkeep& DEVCrashkeep::crashkeep() {
  static DEVCrashkeep* instance = new DEVCrashkeep();
  return *instance;
}

DEVCrashkeep::DEVCrashkeep(std::shared_ptr<dispatch::Queue> callbackQueue)
    : callbackQueue_(callbackQueue ? std::move(callbackQueue)
                                   : dispatch::Queue::create("com.zudiroru.crashkeep.callbacks")) {}

void DEVCrashkeep::setDevelopmentPlatformName(std::string name) {
  std::lock_guard<std::mutex> lock(mu_);
  platformName_ = std::move(name);
}

void DEVCrashkeep::setDevelopmentPlatformVersion(std::string version) {
  std::lock_guard<std::mutex> lock(mu_);
  platformVersion_ = std::move(version);
}

std::optional<std::string> DEVCrashkeep::developmentPlatformName() const {
  std::lock_guard<std::mutex> lock(mu_);
  return platformName_;
}

std::optional<std::string> DEVCrashkeep::developmentPlatformVersion() const {
  std::lock_guard<std::mutex> lock(mu_);
  return platformVersion_;
}

void DEVCrashkeep::setUserID(std::optional<std::string> userID) {
  std::lock_guard<std::mutex> lock(mu_);
  userID_ = std::move(userID);
}

std::optional<std::string> DEVCrashkeep::userID() const {
  std::lock_guard<std::mutex> lock(mu_);
  return userID_;
}

void DEVCrashkeep::setCustomValue(const fnd::Value& value, const std::optional<std::string>& key) {
  if (!key) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (value.isNull()) {
    customValues_.erase(*key);
  } else {
    customValues_.set(*key, value);
  }
}

fnd::Dictionary DEVCrashkeep::customValues() const {
  std::lock_guard<std::mutex> lock(mu_);
  return customValues_;
}

void DEVCrashkeep::logWithFormat(std::string_view format,
                                 std::initializer_list<fnd::Value> arguments) {
  std::string line;
  auto next = arguments.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == '@') {
        line += next != arguments.end() ? DEVCrashkeepObjectText(*next++) : "(null)";
        ++i;
        continue;
      }
      if (format[i + 1] == '%') {
        line += '%';
        ++i;
        continue;
      }
    }
    line += format[i];
  }
  std::lock_guard<std::mutex> lock(mu_);
  logs_.push_back(std::move(line));
}

std::vector<std::string> DEVCrashkeep::logs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return logs_;
}

void DEVCrashkeep::setCrashkeepCollectionEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  collectionEnabled_ = enabled;
  if (enabled) {
    for (Report& report : unsent_) sent_.push_back(std::move(report));
    unsent_.clear();
  }
}

bool DEVCrashkeep::isCrashkeepCollectionEnabled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return collectionEnabled_;
}

void DEVCrashkeep::recordExceptionModel(const DEVExceptionModel& model) { record(model, false); }

void DEVCrashkeep::recordOnDemandExceptionModel(const DEVExceptionModel& model) {
  record(model, true);
}

void DEVCrashkeep::record(const DEVExceptionModel& model, bool onDemand) {
  std::lock_guard<std::mutex> lock(mu_);
  Report report{model, onDemand, userID_, customValues_, logs_};
  (collectionEnabled_ ? sent_ : unsent_).push_back(std::move(report));
}

void DEVCrashkeep::checkForUnsentReportsWithCompletion(
    std::function<void(bool hasUnsentReports)> completion) {
  bool waiting;
  {
    std::lock_guard<std::mutex> lock(mu_);
    waiting = !unsent_.empty();
  }
  if (!completion) return;
  callbackQueue_->async([completion = std::move(completion), waiting] { completion(waiting); });
}

void DEVCrashkeep::sendUnsentReports() {
  std::lock_guard<std::mutex> lock(mu_);
  for (Report& report : unsent_) sent_.push_back(std::move(report));
  unsent_.clear();
}

void DEVCrashkeep::deleteUnsentReports() {
  std::lock_guard<std::mutex> lock(mu_);
  unsent_.clear();
}

bool DEVCrashkeep::didCrashDuringPreviousExecution() const {
  std::lock_guard<std::mutex> lock(mu_);
  return crashedBefore_;
}

std::vector<DEVCrashkeep::Report> DEVCrashkeep::sentReports() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sent_;
}

std::vector<DEVCrashkeep::Report> DEVCrashkeep::unsentReports() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unsent_;
}

void DEVCrashkeep::setDidCrashDuringPreviousExecution(bool crashed) {
  std::lock_guard<std::mutex> lock(mu_);
  crashedBefore_ = crashed;
}

void DEVCrashkeep::addUnsentReport(Report report) {
  std::lock_guard<std::mutex> lock(mu_);
  unsent_.push_back(std::move(report));
}

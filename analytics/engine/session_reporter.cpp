#include "analytics/engine/session_reporter.h"

#include <cmath>
#include <utility>

#include "analytics/config/remote_config.h"
#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/event.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/screen_view_reporter.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/value.h"

namespace {

constexpr const char* kAutoOrigin = "auto";

ZIVSessionReporterEnvironment Complete(ZIVSessionReporterEnvironment environment) {
  if (!environment.clock) environment.clock = dispatch::Clock::current();
  if (!environment.uptime) {
    environment.uptime = [clock = environment.clock] { return clock->uptime(); };
  }
  if (!environment.monitor) environment.monitor = ZIVMeasurement::monitor();
  if (!environment.remoteConfig)
    environment.remoteConfig = [] { return ZIVMeasurement::remoteConfig(); };
  if (!environment.isAppActive) environment.isAppActive = [] { return ZIVIsAppActive(); };
  if (!environment.timerQueue) environment.timerQueue = dispatch::Queue::main();
  if (!environment.notificationCenter) {
    environment.notificationCenter = &fnd::NotificationCenter::defaultCenter();
  }
  if (!environment.logInternalEvent) {
    environment.logInternalEvent = [](const std::string& origin, const std::string& name,
                                      const fnd::Dictionary& parameters) {
      ZIVAnalytics::sharedInstance().logInternalEventWithOrigin(origin, name, parameters);
    };
  }
  if (!environment.setInternalUserProperty) {
    environment.setInternalUserProperty = [](const std::optional<fnd::Value>& value,
                                             const std::string& name, const std::string& origin) {
      ZIVAnalytics::sharedInstance().setInternalUserProperty(value, name, origin);
    };
  }
  return environment;
}

}  // namespace

std::shared_ptr<ZIVSessionReporter> ZIVSessionReporter::initWithPersistedConfig(
    std::shared_ptr<ZIVPersistedConfig> persistedConfig, Environment environment) {
  if (!persistedConfig) return nullptr;
  return std::shared_ptr<ZIVSessionReporter>(
      new ZIVSessionReporter(std::move(persistedConfig), Complete(std::move(environment))));
}

ZIVSessionReporter::ZIVSessionReporter(std::shared_ptr<ZIVPersistedConfig> persistedConfig,
                                       Environment environment)
    : persistedConfig_(std::move(persistedConfig)),
      environment_(std::move(environment)),
      monitor_(environment_.monitor),
      userEngagementTimer_(std::make_shared<ZIVAlarm>(environment_.timerQueue,
                                                      ZIVSessionReporterEngagementTimerName,
                                                      monitor_, environment_.clock)) {
  std::optional<fnd::Value> stored = persistedConfig_->sessionTimeoutValue();
  if (stored && stored->isNumber()) {
    timeoutSessionInterval_ = stored->asDouble();
    persistedConfig_->setSessionTimeoutValue(std::nullopt);
    // A damaged stored value is treated as the setter treats it.
    if (!(timeoutSessionInterval_ >= 0)) {
      monitor_->logWithLevel(3, 33001,
                             "Received negative timeout session duration. Setting to 0.0 instead.");
      timeoutSessionInterval_ = 0;
    }
  } else {
    std::shared_ptr<ZIVRemoteConfig> rc = settings();
    timeoutSessionInterval_ = rc ? rc->sessionDefaultTimeoutInterval() : 1800;
  }
  const double now = currentUptime();
  engagementStartUptime_ = now;
  freerideEngagementStartUptime_ = now;
}

// The alarm goes with the reporter and cancels itself.
ZIVSessionReporter::~ZIVSessionReporter() = default;

bool ZIVSessionReporter::isAppActive() const { return environment_.isAppActive(); }

std::shared_ptr<ZIVRemoteConfig> ZIVSessionReporter::settings() const {
  return environment_.remoteConfig();
}

bool ZIVSessionReporter::efficientEngagementReportingEnabled() const {
  std::shared_ptr<ZIVRemoteConfig> rc = settings();
  return rc && rc->efficientEngagementReportingEnabled();
}

void ZIVSessionReporter::logInternalEvent(const std::string& name,
                                          const fnd::Dictionary& parameters) {
  environment_.logInternalEvent(kAutoOrigin, name, parameters);
}

double ZIVSessionReporter::currentUptime() const { return environment_.uptime(); }

double ZIVSessionReporter::currentClockTime() const { return environment_.clock->wallTime(); }

// ---- Settings.

bool ZIVSessionReporter::reportingEnabled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return reportingEnabled_;
}

void ZIVSessionReporter::setReportingEnabled(bool enabled) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    reportingEnabled_ = enabled;
  }
  if (!enabled) {
    userEngagementTimer_->cancel();
  } else if (isAppActive() && !userEngagementTimer_->hasActiveTimer()) {
    rescheduleUserEngagementTimer();
  }
}

double ZIVSessionReporter::timeoutSessionInterval() const {
  std::lock_guard<std::mutex> lock(mu_);
  return timeoutSessionInterval_;
}

void ZIVSessionReporter::setTimeoutSessionInterval(double seconds) {
  // Not a number is refused like a negative value: it would make every timeout test false.
  if (!(seconds >= 0)) {
    monitor_->logWithLevel(3, 33001,
                           "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0;
  }
  // A session that ran out under the old interval stays ended.
  (void)isSessionExpired();
  std::lock_guard<std::mutex> lock(mu_);
  timeoutSessionInterval_ = seconds;
}

// ---- Session state.

bool ZIVSessionReporter::hasReachedSessionTimeout() {
  const double last = persistedConfig_->lastSessionActivityClockTime();
  return std::fabs(currentClockTime() - last) > timeoutSessionInterval();
}

bool ZIVSessionReporter::shouldStartNewSession() { return hasReachedSessionTimeout(); }

bool ZIVSessionReporter::isSessionExpired() {
  if (isAppActive() || !hasReachedSessionTimeout()) return false;
  if (persistedConfig_->lastSessionActivityClockTime() > 0) {
    persistedConfig_->setLastSessionActivityClockTime(0);
  }
  return true;
}

bool ZIVSessionReporter::extendSession() {
  if (isSessionExpired()) return false;
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

std::shared_ptr<ZIVUserAttribute> ZIVSessionReporter::sessionIDPropertyWithTimestamp(
    double timestamp) {
  return ZIVUserAttribute::initWithOrigin(
      kAutoOrigin, "_sid", ZIVValue::initWithInt64(static_cast<int64_t>(timestamp)), timestamp);
}

std::shared_ptr<ZIVUserAttribute> ZIVSessionReporter::sessionNumberProperty() {
  return ZIVUserAttribute::initWithOrigin(
      kAutoOrigin, "_sno", ZIVValue::initWithInt64(persistedConfig_->sessionNumber()),
      currentClockTime());
}

void ZIVSessionReporter::updatePropertiesForNewSessionStart() {
  persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

void ZIVSessionReporter::setSessionID(const std::optional<fnd::Value>& sessionID,
                                      const std::optional<fnd::Value>& sessionNumber) {
  environment_.setInternalUserProperty(sessionID, "_sid", kAutoOrigin);
  environment_.setInternalUserProperty(sessionNumber, "_sno", kAutoOrigin);
}

// ---- Events.

void ZIVSessionReporter::logSessionStartEvent() {
  if (!isAppActive()) {
    monitor_->logWithLevel(7, 33005, "Session start event not logged. Application is not active");
    return;
  }
  if (!reportingEnabled()) return;
  updatePropertiesForNewSessionStart();
  const fnd::Value sessionID = fnd::Value::Int64(static_cast<int64_t>(currentClockTime()));
  const fnd::Value sessionNumber = fnd::Value::Int64(persistedConfig_->sessionNumber());
  setSessionID(sessionID, sessionNumber);
  logInternalEvent("_s", fnd::Dictionary{{"_sid", sessionID}, {"_sno", sessionNumber}});
}

void ZIVSessionReporter::logUserEngagementEvent() {
  (void)logEngagementEventAndReturnTimeWithScreen(nullptr, false);
}

int64_t ZIVSessionReporter::logEngagementEventAndReturnTimeWithScreen(const ZIVScreenPtr& screen,
                                                                      bool isRedundant) {
  if (!isAppActive()) {
    monitor_->logWithLevel(7, 33006, "User engagement event not logged. Application is not active");
    return 0;
  }
  const bool efficient = efficientEngagementReportingEnabled();
  int64_t engagementMillis = 0;
  if (reportingEnabled()) {
    double seconds = incurredEngagementTime();
    if (seconds > ZIVSessionReporterMaxEngagementTime)
      seconds = ZIVSessionReporterMaxEngagementTime;
    engagementMillis = static_cast<int64_t>(seconds * 1000);
    fnd::Dictionary parameters{{"_et", fnd::Value::Int64(engagementMillis)}};
    if (screen) {
      for (const auto& [key, value] : ZIVScreenParameters(screen, monitor_.get())) {
        parameters.set(key, value);
      }
    }
    if (isRedundant && efficient) parameters.set("_fr", fnd::Value::Int64(1));
    logInternalEvent("_e", parameters);
  }
  const double now = currentUptime();
  {
    std::lock_guard<std::mutex> lock(mu_);
    engagementStartUptime_ = now;
    if (!isRedundant && efficient) freerideEngagementStartUptime_ = now;
  }
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  rescheduleUserEngagementTimer();
  return engagementMillis;
}

// ---- Application and screens.

void ZIVSessionReporter::handleAppDidBecomeActive() {
  const double now = currentUptime();
  {
    std::lock_guard<std::mutex> lock(mu_);
    engagementStartUptime_ = now;
    freerideEngagementStartUptime_ = now;
  }
  rescheduleUserEngagementTimer();
  if (isAppActive() && shouldStartNewSession() && reportingEnabled()) {
    setSessionID(std::nullopt, std::nullopt);
    logSessionStartEvent();
  }
}

void ZIVSessionReporter::handleAppWillResignActiveWithScreen(const ZIVScreenPtr& screen) {
  (void)logEngagementEventAndReturnTimeWithScreen(screen, false);
  userEngagementTimer_->cancel();
}

void ZIVSessionReporter::handleScreenDidChangeFromScreen(const ZIVScreenPtr& from,
                                                         const ZIVScreenPtr& /*to*/) {
  if (!from || incurredEngagementTime() < 1) return;
  if (efficientEngagementReportingEnabled()) {
    std::shared_ptr<ZIVRemoteConfig> rc = settings();
    if (rc && rc->redundantEngagementRemovalEnabled()) return;
    (void)logEngagementEventAndReturnTimeWithScreen(from, true);
  } else {
    (void)logEngagementEventAndReturnTimeWithScreen(from, false);
  }
}

// ---- Timer and engagement time.

void ZIVSessionReporter::rescheduleUserEngagementTimer() {
  std::shared_ptr<ZIVRemoteConfig> rc = settings();
  const double interval = rc ? rc->sessionEventUserEngagementInterval() : 3600;
  // A timer of no length would re-arm itself at once from its own block and flood "_e".
  if (!(interval > 0)) {
    userEngagementTimer_->cancel();
    return;
  }
  std::weak_ptr<ZIVSessionReporter> weak = weak_from_this();
  userEngagementTimer_->runAfterDelay(interval, [weak] {
    std::shared_ptr<ZIVSessionReporter> self = weak.lock();
    if (!self) return;
    self->environment_.notificationCenter->post(kZIVSessionReporterEngagementTimerDidFire);
    self->logUserEngagementEvent();
  });
}

bool ZIVSessionReporter::hasActiveEngagementTimer() const {
  return userEngagementTimer_->hasActiveTimer();
}

double ZIVSessionReporter::incurredEngagementTime() {
  const bool efficient = efficientEngagementReportingEnabled();
  const double now = currentUptime();
  double start;
  {
    std::lock_guard<std::mutex> lock(mu_);
    start = efficient ? freerideEngagementStartUptime_ : engagementStartUptime_;
  }
  const double seconds = now - start;
  if (seconds < 0) {
    monitor_->logWithLevel(4, 33004,
                           "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0;
  }
  return seconds;
}

int64_t ZIVSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!efficientEngagementReportingEnabled()) return 0;
  const int64_t millis = static_cast<int64_t>(incurredEngagementTime() * 1000);
  const double now = currentUptime();
  std::lock_guard<std::mutex> lock(mu_);
  freerideEngagementStartUptime_ = now;
  return millis;
}

std::shared_ptr<ZIVEvent> ZIVCreateSessionStartEvent(int64_t sessionNumber, bool appInBackground,
                                                     double timestamp,
                                                     const fnd::Dictionary& screenParameters) {
  fnd::Dictionary parameters{{"_sid", fnd::Value::Int64(static_cast<int64_t>(timestamp))},
                             {"_sno", fnd::Value::Int64(sessionNumber)}};
  if (appInBackground) parameters.set("_aib", fnd::Value::Int64(1));
  std::shared_ptr<ZIVEvent> event =
      ZIVEvent::initWithOrigin(kAutoOrigin, false, "_s", timestamp, 0, parameters);
  if (event && !appInBackground && !screenParameters.empty()) {
    event->addScreenParameters(screenParameters);
  }
  return event;
}

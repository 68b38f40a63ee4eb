#include "analytics/engine/screen_view_reporter.h"

#include <utility>

#include "analytics/config/remote_config.h"
#include "analytics/engine/ad_exposure_reporter.h"
#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/event_util.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/numeric_util.h"

namespace {

constexpr const char* kQueueLabel = "ZIVScreenViewReporter";

ZIVScreenViewReporterEnvironment Complete(ZIVScreenViewReporterEnvironment environment) {
  if (!environment.monitor) environment.monitor = ZIVMeasurement::monitor();
  if (!environment.notificationCenter) {
    environment.notificationCenter = &fnd::NotificationCenter::defaultCenter();
  }
  if (!environment.randomInt64)
    environment.randomInt64 = [] { return ZIVNumericUtil::randomInt64(); };
  if (!environment.sessionReporter) {
    environment.sessionReporter = []() -> std::shared_ptr<ZIVSessionReporter> {
      // Asked first so that an application active before analytics starts draws no warning.
      if (!ZIVMeasurement::hasSharedInstance()) return nullptr;
      std::shared_ptr<ZIVMeasurement> engine = ZIVMeasurement::sharedInstance();
      if (!engine || !engine->didInitializeComponents()) return nullptr;
      return std::dynamic_pointer_cast<ZIVSessionReporter>(engine->sessionReporter());
    };
  }
  if (!environment.adExposureReporter) {
    environment.adExposureReporter = [] { return ZIVAdExposureReporter::sharedInstance(); };
  }
  if (!environment.remoteConfig)
    environment.remoteConfig = [] { return ZIVMeasurement::remoteConfig(); };
  if (!environment.logInternalEvent) {
    environment.logInternalEvent = [](const std::string& origin, const std::string& name,
                                      const fnd::Dictionary& parameters) {
      ZIVAnalytics::sharedInstance().logInternalEventWithOrigin(origin, name, parameters);
    };
  }
  if (!environment.logInternalEventAtTime) {
    environment.logInternalEventAtTime = [](const std::string& origin, const std::string& name,
                                            double timestamp, const fnd::Dictionary& parameters) {
      ZIVAnalytics::sharedInstance().logInternalEventWithOrigin(origin, name, timestamp,
                                                                parameters);
    };
  }
  return environment;
}

// The screen's name or class as given in a "screen_view" event: a string, else nothing.
std::optional<std::string> TextOf(const fnd::Value* value) {
  if (!value || !value->isString()) return std::nullopt;
  return value->asString();
}

}  // namespace

bool ZIVIsAppActive() { return ZIVScreenViewReporter::sharedInstance()->isAppActive(); }

bool ZIVIsScreenReportingEnabled() { return false; }

const std::shared_ptr<ZIVScreenViewReporter>& ZIVScreenViewReporter::sharedInstance() {
  // Never destroyed: notifications and other reporters may reach it until the process ends.
  static const std::shared_ptr<ZIVScreenViewReporter>& instance =
      *new std::shared_ptr<ZIVScreenViewReporter>(create());
  return instance;
}

std::shared_ptr<ZIVScreenViewReporter> ZIVScreenViewReporter::create(Environment environment) {
  std::shared_ptr<ZIVScreenViewReporter> reporter(
      new ZIVScreenViewReporter(Complete(std::move(environment))));
  reporter->observe();
  return reporter;
}

ZIVScreenViewReporter::ZIVScreenViewReporter(Environment environment)
    : environment_(std::move(environment)),
      monitor_(environment_.monitor),
      queue_(dispatch::Queue::create(kQueueLabel)) {
  currentScreenInstanceID_.store(environment_.randomInt64());
}

ZIVScreenViewReporter::~ZIVScreenViewReporter() {
  for (auto& observer : observers_) observer.remove();
}

void ZIVScreenViewReporter::observe() {
  fnd::NotificationCenter& center = *environment_.notificationCenter;
  std::weak_ptr<ZIVScreenViewReporter> weak = weak_from_this();
  auto route = [weak](void (ZIVScreenViewReporter::*handler)(const fnd::Notification&)) {
    return [weak, handler](const fnd::Notification& notification) {
      if (auto self = weak.lock()) ((*self).*handler)(notification);
    };
  };
  observers_.push_back(center.addObserver(ZIVApplicationDidBecomeActiveNotification(), nullptr,
                                          route(&ZIVScreenViewReporter::handleAppDidBecomeActive)));
  observers_.push_back(
      center.addObserver(ZIVApplicationWillResignActiveNotification(), nullptr,
                         route(&ZIVScreenViewReporter::handleAppWillResignActive)));
  observers_.push_back(center.addObserver(ZIVApplicationWindowDidResignKeyNotification(), nullptr,
                                          route(&ZIVScreenViewReporter::handleWindowDidResign)));
}

std::shared_ptr<ZIVSessionReporter> ZIVScreenViewReporter::sessionReporter() const {
  return environment_.sessionReporter();
}

std::shared_ptr<ZIVAdExposureReporter> ZIVScreenViewReporter::adExposureReporter() const {
  return environment_.adExposureReporter();
}

void ZIVScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) {
  if (!screenName && !screenClass) return;
  ZIVScreenPtr screen = currentScreen();
  if (screenName) *screenName = screen ? screen->name() : std::nullopt;
  if (screenClass) *screenClass = screen ? screen->className() : std::nullopt;
}

ZIVScreenPtr ZIVScreenViewReporter::currentScreen() {
  ZIVScreenPtr screen;
  queue_->sync([&] { screen = currentScreen_; });
  return screen;
}

ZIVScreenPtr ZIVScreenViewReporter::previousScreen() {
  ZIVScreenPtr screen;
  queue_->sync([&] { screen = previousScreen_; });
  return screen;
}

int64_t ZIVScreenViewReporter::incrementScreenInstanceID() {
  // Wraps like the platform's integers instead of overflowing.
  int64_t current = currentScreenInstanceID_.load();
  int64_t next;
  do {
    next = static_cast<int64_t>(static_cast<uint64_t>(current) + 1);
  } while (!currentScreenInstanceID_.compare_exchange_weak(current, next));
  return next;
}

void ZIVScreenViewReporter::trackScreenWithParameters(const fnd::Dictionary& parameters,
                                                      double timestamp) {
  if (refusesInactive()) {
    monitor_->logWithLevel(3, 31026, "Cannot log screen view event when the app is not active");
    return;
  }
  const fnd::Value* nameValue = parameters.find(fnd::Value("screen_name"));
  const fnd::Value* classValue = parameters.find(fnd::Value("screen_class"));
  if (nameValue && !nameValue->isNull() &&
      !ZIVDataTypeValidator::isValidScreenParameterValue(*nameValue)) {
    monitor_->logWithLevel(3, 31027, "Received invalid name for screen", *nameValue);
    return;
  }
  if (classValue && !classValue->isNull() &&
      !ZIVDataTypeValidator::isValidScreenParameterValue(*classValue)) {
    monitor_->logWithLevel(3, 31028, "Received invalid class for screen", *classValue);
    return;
  }
  auto screen = std::make_shared<ZIVScreen>(TextOf(nameValue), TextOf(classValue),
                                            incrementScreenInstanceID());
  screen->setIsManuallyTracked(true);
  screen->setEventTimestamp(timestamp);
  monitor_->logWithLevel(7, 31029, "Logging screen view with screen name and screen class",
                         nameValue ? *nameValue : fnd::Value(),
                         classValue ? *classValue : fnd::Value());

  ZIVScreenPtr newScreen = screen;
  ZIVScreenPtr oldScreen;
  // Reading the old screen and installing the new one in one step keeps two concurrent views from
  // both naming the same predecessor.
  queue_->sync([&] {
    oldScreen = currentScreen_;
    currentScreen_ = newScreen;
  });

  std::weak_ptr<ZIVScreenViewReporter> weak = weak_from_this();
  queue_->async([weak, oldScreen, newScreen, parameters] {
    std::shared_ptr<ZIVScreenViewReporter> self = weak.lock();
    if (!self) return;
    self->postScreenDidChangeNotificationWithPreviousScreen(oldScreen, newScreen);
    fnd::Dictionary eventParameters =
        ZIVNormalizedParametersForParametersAndEventName(parameters, std::string("screen_view"),
                                                         /*isPublic=*/true, /*isNested=*/false)
            .value_or(fnd::Dictionary());
    eventParameters.erase(fnd::Value("screen_name"));
    eventParameters.erase(fnd::Value("screen_class"));
    self->logViewScreenEventWithPreviousScreen(oldScreen, newScreen, eventParameters);
  });
}

fnd::Dictionary ZIVScreenViewReporter::screenParameters() {
  fnd::Dictionary parameters;
  if (refusesInactive()) return parameters;
  queue_->sync([&] {
    if (!currentScreen_ || !allowScreenParameters()) return;
    parameters.set("_si", fnd::Value::Int64(currentScreen_->instanceID()));
    if (const auto& className = currentScreen_->className(); className && !className->empty()) {
      parameters.set("_sc", *className);
    }
    if (const auto& name = currentScreen_->name(); name && !name->empty()) {
      parameters.set("_sn", *name);
    }
  });
  return parameters;
}

void ZIVScreenViewReporter::setScreenName(const std::optional<std::string>& /*screenName*/,
                                          const std::optional<std::string>& /*screenClass*/) {
  monitor_->logWithLevel(
      3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
}

void ZIVScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(
    const ZIVScreenPtr& previous, const ZIVScreenPtr& newScreen) {
  if (!isAppActive()) return;
  if (previous) {
    if (std::shared_ptr<ZIVSessionReporter> sessions = sessionReporter()) {
      sessions->handleScreenDidChangeFromScreen(previous, newScreen);
    }
  }
  if (std::shared_ptr<ZIVAdExposureReporter> ads = adExposureReporter()) {
    ads->handleScreenDidChangeFromScreen(previous, newScreen);
  }
}

void ZIVScreenViewReporter::logViewScreenEventWithPreviousScreen(
    const ZIVScreenPtr& previous, const ZIVScreenPtr& newScreen,
    const fnd::Dictionary& parameters) {
  if (!newScreen) return;
  if (refusesInactive()) {
    monitor_->logWithLevel(7, 31013, "Screen view event not logged. App is not active.");
    return;
  }
  fnd::Dictionary eventParameters = parameters;
  for (const auto& [key, value] : ZIVScreenParameters(newScreen, monitor_.get())) {
    eventParameters.set(key, value);
  }
  if (previous) {
    for (const auto& [key, value] : ZIVPreviousScreenParameters(previous)) {
      eventParameters.set(key, value);
    }
    std::shared_ptr<ZIVRemoteConfig> settings = environment_.remoteConfig();
    if (settings && settings->efficientEngagementReportingEnabled()) {
      if (std::shared_ptr<ZIVSessionReporter> sessions = sessionReporter()) {
        const int64_t millis = sessions->cutFreerideEngagementTimeMillis();
        if (millis > 0) eventParameters.set("_et", fnd::Value::Int64(millis));
      }
    }
  }
  eventParameters.set("_mst", fnd::Value::Int64(1));
  if (!ZIVHasScreenParameters(eventParameters)) {
    monitor_->logWithLevel(1, 31012, "Screen view event not logged. Screen parameters were empty");
    return;
  }
  previousScreen_ = newScreen;
  if (newScreen->isManuallyTracked()) {
    environment_.logInternalEventAtTime("app", "_vs", newScreen->eventTimestamp(), eventParameters);
  } else {
    environment_.logInternalEvent("auto", "_vs", eventParameters);
  }
}

void ZIVScreenViewReporter::handleAppDidBecomeActive(const fnd::Notification& /*notification*/) {
  isAppActive_.store(true);
  appHasBeenInitialized_.store(true);
  if (std::shared_ptr<ZIVSessionReporter> sessions = sessionReporter()) {
    sessions->handleAppDidBecomeActive();
  }
  if (std::shared_ptr<ZIVAdExposureReporter> ads = adExposureReporter()) {
    ads->handleAppDidBecomeActive();
  }
}

void ZIVScreenViewReporter::handleAppWillResignActive(const fnd::Notification& /*notification*/) {
  if (std::shared_ptr<ZIVSessionReporter> sessions = sessionReporter()) {
    sessions->handleAppWillResignActiveWithScreen(nullptr);
  }
  if (std::shared_ptr<ZIVAdExposureReporter> ads = adExposureReporter()) {
    ads->handleAppWillResignActiveWithScreen(nullptr);
  }
}

void ZIVScreenViewReporter::handleWindowDidResign(const fnd::Notification& /*notification*/) {}

void ZIVScreenViewReporter::handleApplicationDidEnterBackground(
    const fnd::Notification& /*notification*/) {
  isAppActive_.store(false);
}

void ZIVScreenViewReporter::flush() {
  queue_->sync([] {});
}

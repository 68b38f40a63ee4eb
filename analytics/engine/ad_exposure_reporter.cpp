#include "analytics/engine/ad_exposure_reporter.h"

#include <utility>

#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/screen_view_reporter.h"
#include "analytics/foundation/monitor.h"

namespace {

constexpr const char* kQueueLabel = "ZIVAdExposureReporter";
constexpr const char* kAdMeasurementOrigin = "am";

ZIVAdExposureReporterEnvironment Complete(ZIVAdExposureReporterEnvironment environment) {
  if (!environment.monitor) environment.monitor = ZIVMeasurement::monitor();
  if (!environment.uptime) {
    environment.uptime = [clock = dispatch::Clock::current()] { return clock->uptime(); };
  }
  if (!environment.notificationCenter) {
    environment.notificationCenter = &fnd::NotificationCenter::defaultCenter();
  }
  if (!environment.currentScreenParameters) {
    environment.currentScreenParameters = [] {
      return ZIVScreenViewReporter::sharedInstance()->screenParameters();
    };
  }
  if (!environment.isAppActive) environment.isAppActive = [] { return ZIVIsAppActive(); };
  if (!environment.logInternalEvent) {
    environment.logInternalEvent = [](const std::string& origin, const std::string& name,
                                      const fnd::Dictionary& parameters) {
      ZIVAnalytics::sharedInstance().logInternalEventWithOrigin(origin, name, parameters);
    };
  }
  return environment;
}

// Exposure in whole milliseconds.
int64_t ExposureMillis(double endTime, double startTime) {
  return static_cast<int64_t>((endTime - startTime) * 1000);
}

}  // namespace

const std::shared_ptr<ZIVAdExposureReporter>& ZIVAdExposureReporter::sharedInstance() {
  // Never destroyed: the screen reporter may reach it until the process ends.
  static const std::shared_ptr<ZIVAdExposureReporter>& instance =
      *new std::shared_ptr<ZIVAdExposureReporter>(create());
  return instance;
}

std::shared_ptr<ZIVAdExposureReporter> ZIVAdExposureReporter::create(Environment environment) {
  std::shared_ptr<ZIVAdExposureReporter> reporter(
      new ZIVAdExposureReporter(Complete(std::move(environment))));
  std::weak_ptr<ZIVAdExposureReporter> weak = reporter;
  reporter->engagementObserver_ = reporter->environment_.notificationCenter->addObserver(
      kZIVSessionReporterEngagementTimerDidFire, nullptr, [weak](const fnd::Notification& n) {
        if (auto self = weak.lock()) self->handleEngagementTimer(n);
      });
  return reporter;
}

ZIVAdExposureReporter::ZIVAdExposureReporter(Environment environment)
    : environment_(std::move(environment)),
      monitor_(environment_.monitor),
      queue_(dispatch::Queue::create(kQueueLabel)) {
  adExposureStartTime_ = currentTime();
}

ZIVAdExposureReporter::~ZIVAdExposureReporter() { engagementObserver_.remove(); }

double ZIVAdExposureReporter::currentTime() const { return environment_.uptime(); }

void ZIVAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    monitor_->logWithLevel(5, 1000,
                           "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  std::weak_ptr<ZIVAdExposureReporter> weak = weak_from_this();
  queue_->async([weak, adUnitID, time] {
    std::shared_ptr<ZIVAdExposureReporter> self = weak.lock();
    if (!self) return;
    const bool isOpen = self->adUnitCounts_.count(adUnitID) != 0;
    // Only a new ID can push the open units over the limit.
    if (!isOpen && self->adUnitCounts_.size() >= ZIVAdExposureReporterMaxAdUnits) {
      self->monitor_->logWithLevel(5, 1002, "Reached limit on ad units. Ignoring ad unit with ID",
                                   fnd::Value(adUnitID));
      return;
    }
    if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = time;
    if (!isOpen) self->adUnitStartTimes_[adUnitID] = time;
    self->adUnitCounts_[adUnitID] += 1;
  });
}

void ZIVAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    monitor_->logWithLevel(5, 1003,
                           "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  const fnd::Dictionary screenParameters = environment_.currentScreenParameters();
  PendingEvents events;
  queue_->sync([&] {
    auto count = adUnitCounts_.find(adUnitID);
    if (count == adUnitCounts_.end()) {
      monitor_->logWithLevel(5, 1004, "Unknown ad unit. Ignoring ad unit with ID",
                             fnd::Value(adUnitID));
      return;
    }
    if (count->second >= 2) {
      count->second -= 1;
      return;
    }
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, time, screenParameters, &events);
    adUnitCounts_.erase(count);
    adUnitStartTimes_.erase(adUnitID);
    if (adUnitCounts_.empty()) {
      logAdExposureEventOnSerialQueueWithEndTime(time, screenParameters, &events);
      adExposureStartTime_ = time;
    }
  });
  logEvents(events);
}

void ZIVAdExposureReporter::logExposureEventsWithScreenParameters(
    const fnd::Dictionary& screenParameters) {
  reportAllWithScreenParameters(screenParameters);
}

void ZIVAdExposureReporter::reportAllWithScreenParameters(const fnd::Dictionary& screenParameters) {
  const double time = currentTime();
  PendingEvents events;
  queue_->sync([&] { logExposureEventsOnSerialQueueWithEndTime(time, screenParameters, &events); });
  logEvents(events);
}

void ZIVAdExposureReporter::handleScreenDidChangeFromScreen(const ZIVScreenPtr& from,
                                                            const ZIVScreenPtr& /*to*/) {
  if (!from) return;
  reportAllWithScreenParameters(ZIVScreenParameters(from, monitor_.get()));
}

void ZIVAdExposureReporter::handleEngagementTimer(const fnd::Notification& /*notification*/) {
  reportAllWithScreenParameters(environment_.currentScreenParameters());
}

void ZIVAdExposureReporter::handleAppDidBecomeActive() {
  const double time = currentTime();
  queue_->sync([&] { updateStartTimesOnSerialQueue(time); });
}

void ZIVAdExposureReporter::handleAppWillResignActiveWithScreen(const ZIVScreenPtr& screen) {
  fnd::Dictionary screenParameters;
  if (screen) screenParameters = ZIVScreenParameters(screen, monitor_.get());
  if (screenParameters.empty()) screenParameters = environment_.currentScreenParameters();
  reportAllWithScreenParameters(screenParameters);
}

int ZIVAdExposureReporter::adUnitCount(const std::string& adUnitID) {
  int count = 0;
  queue_->sync([&] {
    auto it = adUnitCounts_.find(adUnitID);
    if (it != adUnitCounts_.end()) count = it->second;
  });
  return count;
}

size_t ZIVAdExposureReporter::openAdUnitCount() {
  size_t count = 0;
  queue_->sync([&] { count = adUnitCounts_.size(); });
  return count;
}

// ---- On the queue.

void ZIVAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(
    double endTime, const fnd::Dictionary& screenParameters, PendingEvents* out) {
  for (const auto& [adUnitID, count] : adUnitCounts_) {
    (void)count;
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, screenParameters, out);
  }
  if (!adUnitCounts_.empty()) {
    logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters, out);
  }
  updateStartTimesOnSerialQueue(endTime);
}

void ZIVAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
  if (adUnitCounts_.empty()) return;
  for (auto& [adUnitID, start] : adUnitStartTimes_) {
    (void)adUnitID;
    start = time;
  }
  adExposureStartTime_ = time;
}

void ZIVAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(
    const std::string& adUnitID, double endTime, const fnd::Dictionary& screenParameters,
    PendingEvents* out) {
  if (!isReportingEnabled()) {
    monitor_->logWithLevel(5, 1007, "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    monitor_->logWithLevel(5, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!environment_.isAppActive()) {
    monitor_->logWithLevel(8, 1011, "Ad unit exposure not logged. App is not active.");
    return;
  }
  auto start = adUnitStartTimes_.find(adUnitID);
  const double startTime = start != adUnitStartTimes_.end() ? start->second : endTime;
  const int64_t exposure = ExposureMillis(endTime, startTime);
  if (exposure > 999) {
    fnd::Dictionary parameters = screenParameters;
    parameters.set("_ai", adUnitID);
    parameters.set("_xt", fnd::Value::Int64(exposure));
    out->push_back({"_xu", std::move(parameters)});
  } else {
    monitor_->logWithLevel(8, 1009,
                           "Ad unit exposure not logged. Exposure time was less than 1 sec");
  }
}

void ZIVAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(
    double endTime, const fnd::Dictionary& screenParameters, PendingEvents* out) {
  if (!isReportingEnabled()) {
    monitor_->logWithLevel(5, 1005, "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!environment_.isAppActive()) {
    monitor_->logWithLevel(8, 1010, "Ad exposure not logged. App is not active.");
    return;
  }
  const int64_t exposure = ExposureMillis(endTime, adExposureStartTime_);
  if (exposure > 999) {
    fnd::Dictionary parameters = screenParameters;
    parameters.set("_xt", fnd::Value::Int64(exposure));
    out->push_back({"_xa", std::move(parameters)});
  } else {
    monitor_->logWithLevel(8, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
  }
}

void ZIVAdExposureReporter::logEvents(const PendingEvents& events) {
  for (const PendingEvent& event : events) {
    environment_.logInternalEvent(kAdMeasurementOrigin, event.name, event.parameters);
  }
}

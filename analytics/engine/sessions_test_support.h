// Test support for sessions, screens and ad exposure: a rig that runs the real reporters against a
// real engine (a real database in the test's home, a manual clock) through a real facade, so that
// every event they log takes the public road into the raw events table. The rig's notification
// centre carries the application notifications, and the main run loop the engagement timer. Not
// for production code.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/attribution/in_app_purchase_transaction_reporter.h"
#include "analytics/engine/ad_exposure_reporter.h"
#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/facade_link.h"
#include "analytics/engine/measurement_test_support.h"
#include "analytics/engine/screen_view_reporter.h"
#include "analytics/engine/session_reporter.h"
#include "analytics/engine/sessions_component.h"
#include "platform/dispatch/run_loop.h"

namespace sessions_test {

using measurement_test::EngineHarness;
using measurement_test::IntParameter;
using measurement_test::StringParameter;

// The first instance ID of the rig's screens is kFirstInstanceID + 1.
inline constexpr int64_t kFirstInstanceID = 100;

class SessionsRig {
 public:
  SessionsRig() {
    ZIVAnalytics::Environment facade;
    facade.clock = h.sharedClock();
    facade.monitor = h.monitor().get();
    facade.suiteName = "test.facade";
    facade.consent = &h.consent;
    facade.notificationCenter = &h.center;
    facade.screenReporting = std::make_shared<ScreenReporting>(this);
    facade.identity = [] { return std::shared_ptr<ZIVIdentity>(); };
    facade.persistedConfig = [this] { return h.sharedConfig(); };
    facade.reportTransaction = [this](const ZIVStoreKit2Transaction& t) {
      transactions.push_back(t);
    };
    analytics = std::make_unique<ZIVAnalytics>(std::move(facade));

    auto log = [this](const std::string& origin, const std::string& name,
                      const fnd::Dictionary& parameters) {
      analytics->logInternalEventWithOrigin(origin, name, parameters);
    };
    auto settings = [this] {
      std::shared_ptr<ZIVMeasurement> engine = h.sharedEngine();
      return engine ? engine->settingsOrDefaults() : ZIVRemoteConfig::defaultInstance();
    };
    auto uptime = [this] { return uptimeOverride ? *uptimeOverride : h.clock().uptime(); };

    ZIVAdExposureReporter::Environment adEnvironment;
    adEnvironment.monitor = h.monitor().get();
    adEnvironment.uptime = uptime;
    adEnvironment.notificationCenter = &h.center;
    adEnvironment.currentScreenParameters = [this] { return screen->screenParameters(); };
    adEnvironment.isAppActive = [this] { return screen->isAppActive(); };
    adEnvironment.logInternalEvent = log;
    ads = ZIVAdExposureReporter::create(std::move(adEnvironment));

    ZIVScreenViewReporter::Environment screenEnvironment;
    screenEnvironment.monitor = h.monitor().get();
    screenEnvironment.notificationCenter = &h.center;
    screenEnvironment.randomInt64 = [] { return kFirstInstanceID; };
    screenEnvironment.sessionReporter = [this] { return sessionReporter(); };
    screenEnvironment.adExposureReporter = [this] { return ads; };
    screenEnvironment.remoteConfig = settings;
    screenEnvironment.logInternalEvent = log;
    screenEnvironment.logInternalEventAtTime = [this](const std::string& origin,
                                                      const std::string& name, double timestamp,
                                                      const fnd::Dictionary& parameters) {
      analytics->logInternalEventWithOrigin(origin, name, timestamp, parameters);
    };
    screen = ZIVScreenViewReporter::create(std::move(screenEnvironment));

    ZIVSessionReporter::Environment sessionEnvironment;
    sessionEnvironment.clock = h.sharedClock();
    sessionEnvironment.uptime = uptime;
    sessionEnvironment.monitor = h.monitor().get();
    sessionEnvironment.remoteConfig = settings;
    sessionEnvironment.isAppActive = [this] { return screen->isAppActive(); };
    sessionEnvironment.timerQueue = dispatch::Queue::main();
    sessionEnvironment.notificationCenter = &h.center;
    sessionEnvironment.logInternalEvent = log;
    sessionEnvironment.setInternalUserProperty = [this](const std::optional<fnd::Value>& value,
                                                        const std::string& name,
                                                        const std::string& origin) {
      analytics->setInternalUserProperty(value, name, origin);
    };
    h.sessionsComponent = std::make_shared<ZIVSessionsMeasurementComponent>(
        [this] { return screen; }, std::move(sessionEnvironment));
  }

  ~SessionsRig() {
    Drain();
    h.Close();
    analytics.reset();
    dispatch::RunLoop::main().runUntilIdle();
  }

  // Starts the engine over the rig's database and lets the facade deliver to it.
  void Open(const std::vector<std::pair<std::string, std::string>>& serverSettings = {}) {
    h.Open();
    if (!serverSettings.empty()) h.SetServerSettings(serverSettings);
    analytics->setEngine(std::make_shared<ZIVMeasurementAnalyticsEngine>(h.engine));
    analytics->setAnalyticsEnabled(true);
    analytics->unsuspendOperationQueue();
    Drain();
  }

  // The engine's session reporter (null before the engine has started its components).
  std::shared_ptr<ZIVSessionReporter> sessionReporter() {
    std::shared_ptr<ZIVMeasurement> engine = h.sharedEngine();
    if (!engine || !engine->didInitializeComponents()) return nullptr;
    return std::dynamic_pointer_cast<ZIVSessionReporter>(engine->sessionReporter());
  }

  void Activate() {
    h.center.post(ZIVApplicationDidBecomeActiveNotification());
    Drain();
  }
  void ResignActive() {
    h.center.post(ZIVApplicationWillResignActiveNotification());
    Drain();
  }
  // Moves the clock and runs what came due (the engagement timer on the main queue).
  void Advance(double seconds) {
    h.clock().advance(seconds);
    Drain();
  }
  void ScreenView(const fnd::Dictionary& parameters) {
    analytics->logEventWithName("screen_view", parameters);
    Drain();
  }

  // Lets everything queued so far reach the database: the reporters' queues, the main queue, the
  // facade's queues and the engine's worker queue, a few rounds deep.
  void Drain() {
    for (int round = 0; round < 3; ++round) {
      screen->flush();
      (void)ads->openAdUnitCount();
      dispatch::RunLoop::main().runUntilIdle();
      if (analytics) {
        std::promise<void> done;
        analytics->queueOperationWithBlock([&done] { done.set_value(); });
        done.get_future().wait();
        analytics->queue()->sync([] {});
      }
      h.Drain();
    }
  }

  // The stored raw events of one name, in the order stored.
  std::vector<std::shared_ptr<ZIVEvent>> Events(const std::string& name) {
    std::vector<std::shared_ptr<ZIVEvent>> out;
    for (const auto& raw : h.RawEvents()) {
      if (raw->rawEvent()->name() == name) out.push_back(raw->rawEvent());
    }
    return out;
  }

  EngineHarness h;
  std::unique_ptr<ZIVAnalytics> analytics;
  std::shared_ptr<ZIVScreenViewReporter> screen;
  std::shared_ptr<ZIVAdExposureReporter> ads;
  std::vector<ZIVStoreKit2Transaction> transactions;
  // When set, the reporters' seconds since boot.
  std::optional<double> uptimeOverride;

 private:
  class ScreenReporting : public ZIVAnalyticsScreenReporting {
   public:
    explicit ScreenReporting(SessionsRig* rig) : rig_(rig) {}
    fnd::Dictionary screenParameters() override { return rig_->screen->screenParameters(); }
    void trackScreenWithParameters(const fnd::Dictionary& parameters, double timestamp) override {
      rig_->screen->trackScreenWithParameters(parameters, timestamp);
    }

   private:
    SessionsRig* rig_;
  };
};

}  // namespace sessions_test

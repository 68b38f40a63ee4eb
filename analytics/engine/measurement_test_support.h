// Test support for the measurement engine's tests: stand-ins for the facade, sessions and
// attribution whose answers a test sets and whose calls it reads back, and a harness that makes
// an engine over a real database file in the test's own home with a manual clock. Not for
// production code.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_test_support.h"
#include "analytics/engine/environment_info.h"
#include "analytics/engine/event.h"
#include "analytics/engine/event_util.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/identity_test_support.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/test_support.h"
#include "analytics/foundation/user_defaults.h"
#include "analytics/storage/database.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"

namespace measurement_test {

// 2023-11-14 10:20:30 UTC.
inline constexpr double kLaunchTime = 1699957230.0;

// The facade: preference-suite values in memory, and a record of what the engine handed over.
class FakeFacade : public ZIVMeasurementFacade {
 public:
  std::optional<double> loadTimestamp() const override { return load; }
  int64_t resetRetryCount() const override { return retries; }
  void setResetRetryCount(int64_t count) override { retries = count; }
  bool needFirstOpenAfterReset() const override { return needFirstOpen; }
  void removeNeedFirstOpenAfterReset() override { needFirstOpen = false; }
  std::optional<std::string> appInstanceIDAfterReset() const override { return idAfterReset; }
  void setAppInstanceIDAfterReset(const std::optional<std::string>& v) override {
    idAfterReset = v;
  }
  std::optional<fnd::Value> deferredAnalyticsCollection() const override { return deferred; }
  void setDeferredAnalyticsCollection(const std::optional<fnd::Value>& v) override { deferred = v; }
  std::optional<fnd::Dictionary> consentSettingsTCF() const override { return tcfConsent; }
  std::optional<fnd::Dictionary> consentSettings3P() const override { return thirdPartyConsent; }
  std::optional<fnd::Dictionary> consentSettings1PStart() const override { return startConsent; }
  void removeStartUpConsentSettings() override { startConsent.reset(); }
  void persistConsentSettings(const fnd::Dictionary& settings, int64_t source) override {
    persistedConsent.emplace_back(settings, source);
  }
  void notifyEventListeners(const std::shared_ptr<ZIVEvent>& event) override {
    std::lock_guard<std::mutex> lock(mu);
    notified.push_back(event->name());
  }
  bool logInternalEvent(const std::string& origin, const std::string& name,
                        const fnd::Dictionary& parameters) override {
    std::lock_guard<std::mutex> lock(mu);
    internalEvents.push_back({origin, name, parameters});
    return true;
  }
  bool queueOperationWithBlock(std::function<void()> block) override {
    std::lock_guard<std::mutex> lock(mu);
    operations.push_back(std::move(block));
    return true;
  }
  std::vector<std::string> notifiedNames() {
    std::lock_guard<std::mutex> lock(mu);
    return notified;
  }

  struct InternalEvent {
    std::string origin;
    std::string name;
    fnd::Dictionary parameters;
  };
  std::optional<double> load;
  int64_t retries = 0;
  bool needFirstOpen = false;
  std::optional<std::string> idAfterReset;
  std::optional<fnd::Value> deferred;
  // Consent of the suite, and what the engine persisted (settings, source).
  std::optional<fnd::Dictionary> tcfConsent;
  std::optional<fnd::Dictionary> thirdPartyConsent;
  std::optional<fnd::Dictionary> startConsent;
  std::vector<std::pair<fnd::Dictionary, int64_t>> persistedConsent;
  std::mutex mu;
  std::vector<std::string> notified;              // Guarded by mu.
  std::vector<InternalEvent> internalEvents;      // Guarded by mu.
  std::vector<std::function<void()>> operations;  // Guarded by mu.
};

// A session reporter whose answers the test sets.
class FakeSessionReporter : public ZIVMeasurementSessionReporter {
 public:
  explicit FakeSessionReporter(std::shared_ptr<ZIVPersistedConfig> config)
      : config_(std::move(config)) {}
  void setReportingEnabled(bool enabled) override { reporting = enabled; }
  void setTimeoutSessionInterval(double seconds) override { timeout = seconds; }
  bool shouldStartNewSession() override { return startNew; }
  bool isSessionExpired() override { return expired; }
  bool extendSession() override {
    ++extensions;
    return !expired;
  }
  void updatePropertiesForNewSessionStart() override {
    config_->setSessionNumber(config_->sessionNumber() + 1);
    startNew = false;
  }
  std::shared_ptr<ZIVUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) override {
    return ZIVUserAttribute::initWithOrigin(
        "auto", "_sid", ZIVValue::initWithInt64(static_cast<int64_t>(timestamp)), timestamp);
  }
  std::shared_ptr<ZIVUserAttribute> sessionNumberProperty() override {
    return ZIVUserAttribute::initWithOrigin("auto", "_sno",
                                            ZIVValue::initWithInt64(config_->sessionNumber()), 0);
  }

  bool reporting = false;
  double timeout = -1;
  bool startNew = true;
  bool expired = false;
  int extensions = 0;

 private:
  std::shared_ptr<ZIVPersistedConfig> config_;
};

class FakeSessions : public ZIVMeasurementSessions {
 public:
  std::shared_ptr<ZIVMeasurementSessionReporter> makeSessionReporter(
      const std::shared_ptr<ZIVPersistedConfig>& config) override {
    reporter = std::make_shared<FakeSessionReporter>(config);
    return reporter;
  }
  std::shared_ptr<ZIVEvent> makeSessionStartEvent(int64_t sessionNumber, bool appInBackground,
                                                  double timestamp) override {
    fnd::Dictionary parameters{{"_sid", fnd::Value::Int64(static_cast<int64_t>(timestamp))},
                               {"_sno", fnd::Value::Int64(sessionNumber)}};
    if (appInBackground) parameters.set("_aib", fnd::Value::Int64(1));
    return ZIVEvent::initWithOrigin("auto", false, "_s", timestamp, 0, parameters);
  }
  std::optional<bool> isAppActive() override { return active; }

  std::shared_ptr<FakeSessionReporter> reporter;
  bool active = true;
};

class FakeAttribution : public ZIVMeasurementAttribution {
 public:
  bool isAttributionCacheExpired(double ttl) override {
    lastTTL = ttl;
    return cacheExpired;
  }
  void clearAttributionCache() override { ++cacheClears; }
  void handleOpenURL(const std::string& url, std::optional<int64_t> click, double eventTime,
                     const fnd::Dictionary& extra) override {
    openedURLs.push_back({url, click, eventTime, extra});
  }
  struct OpenedURL {
    std::string url;
    std::optional<int64_t> click;
    double eventTime;
    fnd::Dictionary extra;
  };
  bool cacheExpired = false;
  double lastTTL = 0;
  int cacheClears = 0;
  std::vector<OpenedURL> openedURLs;
};

// An engine over the test's home. Everything it makes lives in that home; the clock stands at
// kLaunchTime until the test moves it.
class EngineHarness {
 public:
  EngineHarness() : preferences_("test.application"), shared_("test.shared") {
    bundlePath_ = fnd::JoinPath(home_.path(), "Bundle");
    EXPECT_TRUE(fnd::CreateDirectories(bundlePath_));
    EXPECT_TRUE(fnd::PropertyList::WriteFile(
        fnd::Dictionary{{"CFBundleIdentifier", "com.example.quellmark"},
                        {"CFBundleShortVersionString", "2.0"}},
        fnd::JoinPath(bundlePath_, "Info.plist")));
    EXPECT_TRUE(
        fnd::PropertyList::WriteFile(fnd::Dictionary{{"RIVADO_APP_ID", appID}},
                                     fnd::JoinPath(bundlePath_, "RivadoService-Info.plist")));
    clock_->setWallTime(kLaunchTime);
    facade->load = kLaunchTime;
    ZIVEnvironmentInfoSources sources;
    sources.deviceModel = [] { return std::string("Model1,1"); };
    sources.systemVersion = [this] { return osVersion; };
    sources.preferredLanguages = [] { return std::vector<std::string>{"en-GB"}; };
    sources.clock = clock_;
    sources.monitor = monitor_.get();
    environmentInfo_ = std::make_unique<ZIVEnvironmentInfo>(std::move(sources));
  }
  ~EngineHarness() { Close(); }

  // Makes the engine (a new one each call, as a new process would) and waits for its start.
  std::shared_ptr<ZIVMeasurement> Open(bool enabled = true, bool deactivated = false,
                                       std::vector<std::string> safelist = {}) {
    Close();
    config_ = ZIVPersistedConfig::create("test.measurement", clock_, &preferences_, monitor_.get());
    if (beforeOpen) beforeOpen(*config_);
    bundle_ = std::make_unique<fnd::Bundle>(bundlePath_);
    ZIVIdentityEnvironment identityEnvironment;
    identityEnvironment.clock = clock_;
    identityEnvironment.consent = &consent;
    identityEnvironment.identitySupport = support;
    identityEnvironment.bundle = bundle_.get();
    identityEnvironment.isFromAppStore = [] { return false; };
    identityEnvironment.monitor = monitor_.get();
    identity_ = ZIVIdentity::create(config_, std::move(identityEnvironment));

    ZIVMeasurement::Environment environment;
    environment.clock = clock_;
    environment.monitor = monitor_.get();
    environment.identity = [this] { return identity_; };
    environment.consent = &consent;
    environment.infoDictionaryValue = [this](const std::string& key) -> std::optional<fnd::Value> {
      const fnd::Value* value = info.find(fnd::Value(key));
      if (!value) return std::nullopt;
      return *value;
    };
    environment.remoteConfigInfoValue = environment.infoDictionaryValue;
    environment.classExists = [](const std::string&) { return false; };
    environment.notificationCenter = &center;
    environment.userDefaults = &shared_;
    environment.environmentInfo = environmentInfo_.get();
    environment.identitySupport = support;
    environment.openDatabase = [this](const std::string& name,
                                      const std::shared_ptr<ZIVPersistedConfig>& config,
                                      const std::shared_ptr<const ZIVDatabaseSettings>& settings,
                                      fnd::Error* error) -> std::shared_ptr<ZIVDatabase> {
      ++openAttempts;
      if (failOpens > 0) {
        --failOpens;
        return nullptr;
      }
      ZIVDatabase::Environment dbEnvironment;
      dbEnvironment.clock = clock_;
      dbEnvironment.settings = settings;
      return ZIVDatabase::initWithDatabaseName(name, config, error, dbEnvironment);
    };
    environment.components.facade = facade;
    environment.components.sessions =
        sessionsComponent ? sessionsComponent
                          : std::static_pointer_cast<ZIVMeasurementSessions>(sessions);
    environment.components.attribution = componentMaker ? nullptr : attribution;
    environment.componentMaker = componentMaker;
    auto scheduler =
        std::make_shared<ZIVScheduler>("test.measurement.worker", monitor_.get(), clock_);
    auto alarm = std::make_shared<ZIVAlarm>(scheduler->workerQueue(), ZIVMeasurementTimerName,
                                            monitor_.get(), clock_);
    auto made = ZIVMeasurement::initWithDatabaseName(ZIVMeasurementDatabaseName, config_, nullptr,
                                                     scheduler, alarm, appID, enabled, deactivated,
                                                     safelist, nullptr, std::move(environment));
    {
      // The engine's worker may already ask for it (through sharedEngine()).
      std::lock_guard<std::mutex> lock(engineMu_);
      engine = made;
    }
    Drain();
    return engine;
  }

  // Lets every block queued so far (and what they queue in turn) run.
  void Drain() {
    if (!engine) return;
    for (int i = 0; i < 4; ++i)
      engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [] {});
  }

  // Runs `block` on the worker queue and waits for it.
  void OnWorker(const std::function<void()>& block) {
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", block);
  }

  // Applies server settings (key, value) and waits.
  void SetServerSettings(const std::vector<std::pair<std::string, std::string>>& settings) {
    OnWorker([&] {
      ASSERT_TRUE(engine->remoteConfigInstance()->updateMeasurementConfig(
          rc_test::Config(appID, settings)));
    });
  }

  // Logs an event as the facade does, then waits for the pipeline.
  void Log(const std::string& name, const fnd::Dictionary& parameters = {},
           const std::string& origin = "app", bool isPublic = true) {
    engine->logEventWithOrigin(origin, isPublic, name, parameters, clock_->wallTime(), true, false,
                               false, nullptr, {});
    Drain();
  }

  std::vector<std::shared_ptr<ZIVRawEventData>> RawEvents() {
    std::vector<std::shared_ptr<ZIVRawEventData>> out;
    OnWorker([&] {
      auto all = engine->database()->allRawEventsWithError();
      ASSERT_TRUE(all.has_value());
      out = *all;
    });
    return out;
  }
  std::vector<std::string> RawEventNames() {
    std::vector<std::string> names;
    for (const auto& raw : RawEvents()) names.push_back(raw->rawEvent()->name());
    return names;
  }
  std::shared_ptr<ZIVUserAttribute> UserProperty(const std::string& name) {
    std::shared_ptr<ZIVUserAttribute> out;
    OnWorker([&] { out = engine->database()->userAttributeWithName(name); });
    return out;
  }
  void SetUserProperty(const std::string& origin, const std::string& name, ZIVValuePtr value) {
    auto attribute = ZIVUserAttribute::initWithOrigin(origin, name, std::move(value), Now());
    ASSERT_NE(attribute, nullptr);
    engine->setUserAttribute(attribute);
    Drain();
  }
  ZIVDailyCounts DailyCounts() {
    ZIVDailyCounts counts;
    OnWorker([&] {
      auto c = engine->database()->dailyCounts();
      ASSERT_TRUE(c.has_value());
      counts = *c;
    });
    return counts;
  }

  void Close() {
    if (!engine) return;
    Drain();
    std::shared_ptr<ZIVMeasurement> closing;
    {
      std::lock_guard<std::mutex> lock(engineMu_);
      closing.swap(engine);
    }
    closing.reset();
    identity_.reset();
    sessions->reporter.reset();
    // Off the main thread the pending values are written at once, as a process's last flush
    // would have written them.
    if (config_) std::thread([this] { config_->synchronizeToDisk(); }).join();
    monitor_->flush();
  }

  double Now() const { return clock_->wallTime(); }
  dispatch::ManualClock& clock() { return *clock_; }
  std::shared_ptr<dispatch::ManualClock> sharedClock() { return clock_; }
  ZIVLogCapture& log() { return log_; }
  ZIVPersistedConfig& config() { return *config_; }
  std::shared_ptr<ZIVPersistedConfig> sharedConfig() { return config_; }
  std::shared_ptr<ZIVIdentity> identity() { return identity_; }
  ZIVUserDefaults& sharedDefaults() { return shared_; }
  ZIVTestMonitor& monitor() { return monitor_; }

  const std::string appID = "1:1234:ios:abcd";
  std::string osVersion = "14.1";
  fnd::Dictionary info;
  // Called with the persisted settings before each engine is made.
  std::function<void(ZIVPersistedConfig&)> beforeOpen;
  int failOpens = 0;
  int openAttempts = 0;
  fnd::NotificationCenter center;
  ZIVConsentSettingsUtil consent;
  std::shared_ptr<FakeIdentitySupport> support = std::make_shared<FakeIdentitySupport>();
  std::shared_ptr<FakeFacade> facade = std::make_shared<FakeFacade>();
  std::shared_ptr<FakeSessions> sessions = std::make_shared<FakeSessions>();
  // When set, the engine takes this sessions component instead of `sessions`.
  std::shared_ptr<ZIVMeasurementSessions> sessionsComponent;
  std::shared_ptr<FakeAttribution> attribution = std::make_shared<FakeAttribution>();
  // When set, makes the engine's own components (then `attribution` is not used).
  ZIVMeasurementComponentMaker componentMaker;
  // The engine as the test's thread sees it; it alone changes it (in Open() and Close()).
  std::shared_ptr<ZIVMeasurement> engine;
  // The engine, for code that runs on another thread (the engine's worker, a queue).
  std::shared_ptr<ZIVMeasurement> sharedEngine() const {
    std::lock_guard<std::mutex> lock(engineMu_);
    return engine;
  }

 private:
  mutable std::mutex engineMu_;  // Guards writes of `engine` and reads off the test's thread.
  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  ZIVTestMonitor monitor_{clock_};
  ZIVLogCapture log_{monitor_.get()};
  ZIVUserDefaults preferences_;
  ZIVUserDefaults shared_;
  std::string bundlePath_;
  std::unique_ptr<fnd::Bundle> bundle_;
  std::unique_ptr<ZIVEnvironmentInfo> environmentInfo_;
  std::shared_ptr<ZIVPersistedConfig> config_;
  std::shared_ptr<ZIVIdentity> identity_;
};

// Captures the "_err" events that the rules log, for the life of the object.
class ErrorEventCapture {
 public:
  ErrorEventCapture() {
    ZIVSetInternalEventLogger(
        [this](const std::string&, const std::string& name, const fnd::Dictionary& parameters) {
          std::lock_guard<std::mutex> lock(mu_);
          if (name == "_err") codes_.push_back(parameters.get(fnd::Value("_err")).asInt());
        });
  }
  ~ErrorEventCapture() { ZIVSetInternalEventLogger(nullptr); }
  std::vector<int64_t> codes() {
    std::lock_guard<std::mutex> lock(mu_);
    return codes_;
  }

 private:
  std::mutex mu_;
  std::vector<int64_t> codes_;
};

// The value of an event parameter as an int64 (nullopt when absent or of another kind).
inline std::optional<int64_t> IntParameter(const ZIVEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  if (it == event.parameters().end() || !it->second || !it->second->isInt64()) return std::nullopt;
  return it->second->int64Value();
}
inline std::optional<std::string> StringParameter(const ZIVEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  if (it == event.parameters().end() || !it->second) return std::nullopt;
  return it->second->stringValue();
}

}  // namespace measurement_test

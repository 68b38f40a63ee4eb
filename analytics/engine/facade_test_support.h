// Test support for the facade, the public interface, the interop connector and the analytics
// bridge: an engine stand-in that records what reaches it, and a fixture that builds a facade of
// its own (fresh home, manual clock, own consent state, own preference suite, own class registry
// and notification centre) and drains its queues. Not for production code.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/consent_settings_util.h"
#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/event_util.h"
#include "analytics/engine/identifiers.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/runtime_class_registry.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/test_support.h"
#include "analytics/foundation/value.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/test_home.h"

// Records every call; answers what the test sets.
class FakeAnalyticsEngine : public ZIVAnalyticsEngine {
 public:
  struct Init {
    std::string appID;
    bool enabled = false;
    bool deactivated = false;
    std::optional<fnd::Array> safelist;
  };

  // Every call by name, in order ("init", "logEvent:NAME", "setUserAttribute:NAME", ...).
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mu);
    return calls_;
  }
  std::vector<ZIVFacadeEvent> events() const {
    std::lock_guard<std::mutex> lock(mu);
    return events_;
  }
  std::vector<std::shared_ptr<ZIVUserAttribute>> setAttributes() const {
    std::lock_guard<std::mutex> lock(mu);
    return set_;
  }
  std::vector<std::shared_ptr<ZIVUserAttribute>> removedAttributes() const {
    std::lock_guard<std::mutex> lock(mu);
    return removed_;
  }

  void initializeSharedInstance(const std::string& appID, bool enabled, bool deactivated,
                                const std::optional<fnd::Array>& safelist) override {
    std::lock_guard<std::mutex> lock(mu);
    calls_.push_back("init");
    init = Init{appID, enabled, deactivated, safelist};
    exists = !appID.empty();
  }
  bool hasSharedInstance() override {
    std::lock_guard<std::mutex> lock(mu);
    return exists;
  }
  bool wasEnabledDuringInitialization() override {
    std::lock_guard<std::mutex> lock(mu);
    return init && init->enabled && !init->deactivated;
  }
  bool didInitializeComponents() override {
    std::lock_guard<std::mutex> lock(mu);
    return componentsReady;
  }
  void setEnabled(bool enabled) override { record(enabled ? "setEnabled:1" : "setEnabled:0"); }
  void logEvent(const ZIVFacadeEvent& event) override {
    std::lock_guard<std::mutex> lock(mu);
    calls_.push_back("logEvent:" + event.name);
    events_.push_back(event);
  }
  void setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters) override {
    std::lock_guard<std::mutex> lock(mu);
    calls_.push_back("setDefaultEventParameters");
    defaultParameters = parameters;
  }
  void setUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute) override {
    std::lock_guard<std::mutex> lock(mu);
    calls_.push_back("setUserAttribute:" + attribute->name());
    set_.push_back(attribute);
  }
  void removeUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute) override {
    std::lock_guard<std::mutex> lock(mu);
    calls_.push_back("removeUserAttribute:" + attribute->name());
    removed_.push_back(attribute);
  }
  std::optional<int64_t> shouldDisableAdPersonalization() override { return npa; }
  void setSessionTimeoutInterval(double interval) override {
    record("setSessionTimeoutInterval:" + std::to_string(static_cast<int64_t>(interval)));
  }
  void sessionIDWithCompletion(ZIVSessionIDCompletion completion) override {
    record("sessionID");
    completion(sessionID, std::nullopt);
  }
  void userPropertiesIncludingInternal(
      bool, std::function<void(const fnd::Dictionary&)> callback) override {
    record("userProperties");
    callback(userProperties);
  }
  void maxUserPropertiesForOrigin(const std::string& origin,
                                  std::function<void(int64_t)> callback) override {
    record("maxUserProperties:" + origin);
    callback(maxUserProperties);
  }
  void setUserData(const fnd::Dictionary& userData) override {
    std::lock_guard<std::mutex> lock(mu);
    calls_.push_back("setUserData");
    this->userData.push_back(userData);
  }
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& id) override {
    std::lock_guard<std::mutex> lock(mu);
    calls_.push_back("reset");
    resetIDs.push_back(id);
    return resetSucceeds;
  }
  void handleNonFirstOpenEventURL(const std::string& url, double,
                                  const std::optional<std::string>&) override {
    record("openURL:" + url);
  }
  std::optional<std::string> deepLinkFromUserActivity(const ZIVUserActivity& activity) override {
    return activity.webpageURL();
  }
  void handleSGTMDebugModeWithURL(const std::string&) override {}
  // Keeps every transaction; the callback runs at once.
  void filterPurchaseTransactions(
      std::vector<SKPaymentTransactionPtr> transactions,
      std::function<void(std::vector<SKPaymentTransactionPtr>)> callback) override {
    record("filterPurchaseTransactions");
    callback(std::move(transactions));
  }
  fnd::Dictionary consentDefaults() override {
    std::lock_guard<std::mutex> lock(mu);
    return serverConsentDefaults;
  }

  void record(std::string call) {
    std::lock_guard<std::mutex> lock(mu);
    calls_.push_back(std::move(call));
  }

  mutable std::mutex mu;
  // Set by the test (under mu when other threads run).
  bool componentsReady = true;
  bool resetSucceeds = true;
  std::optional<int64_t> npa;
  int64_t sessionID = 1700000000;
  fnd::Dictionary userProperties;
  int64_t maxUserProperties = 25;
  fnd::Dictionary serverConsentDefaults;
  // Recorded.
  std::optional<Init> init;
  bool exists = false;
  std::optional<std::optional<fnd::Dictionary>> defaultParameters;
  std::vector<fnd::Dictionary> userData;
  std::vector<std::optional<std::string>> resetIDs;

 private:
  std::vector<std::string> calls_;
  std::vector<ZIVFacadeEvent> events_;
  std::vector<std::shared_ptr<ZIVUserAttribute>> set_;
  std::vector<std::shared_ptr<ZIVUserAttribute>> removed_;
};

// A runtime class present by name only, optionally claiming one selector.
class FakeRuntimeClass : public ZIVRuntimeClass {
 public:
  explicit FakeRuntimeClass(std::string name, std::string selector = {}, bool implemented = true)
      : name_(std::move(name)), selector_(std::move(selector)), implemented_(implemented) {}
  std::string className() const override { return name_; }
  bool respondsToSelector(std::string_view selector) const override {
    return !selector_.empty() && selector == selector_;
  }
  bool invokeClassMethod(std::string_view selector) override {
    if (selector != selector_ || !implemented_) return false;
    ++invocations;
    return true;
  }
  int invocations = 0;

 private:
  const std::string name_;
  const std::string selector_;
  const bool implemented_;
};

// A facade of the test's own over a fake engine.
// Puts the shared monitor's log tag back as it was, whatever a test's starts set it to.
class ScopedMonitorLogTag {
 public:
  ScopedMonitorLogTag() : tag_(ZIVMeasurement::monitor()->logTag()) {}
  ~ScopedMonitorLogTag() { ZIVMeasurement::monitor()->setLogTag(tag_); }
  ScopedMonitorLogTag(const ScopedMonitorLogTag&) = delete;
  ScopedMonitorLogTag& operator=(const ScopedMonitorLogTag&) = delete;

 private:
  const std::string tag_;
};

class FacadeTest : public ::testing::Test {
 protected:
  FacadeTest() {
    ZIVSetInternalEventLogger([this](const std::string& origin, const std::string& name,
                                     const fnd::Dictionary& parameters) {
      analytics().logInternalEventWithOrigin(origin, name, parameters);
    });
  }
  ~FacadeTest() override {
    clock_->advance(1);  // Ends a pause after a waiting call, so that draining cannot stall.
    if (analytics_) drain();
    ZIVSetInternalEventLogger(nullptr);
    dispatch::RunLoop::main().runUntilIdle();
    analytics_.reset();
    ZIVMeasurement::monitor()->flush();
    // A started facade sets the shared monitor's log tag; the next test finds the one it had.
    ZIVMeasurement::monitor()->setLogTag(sharedLogTag_);
  }

  // The facade, made on first use with the fixture's surroundings (change env_ before).
  ZIVAnalytics& analytics() {
    if (!analytics_) {
      ZIVAnalytics::Environment env = env_;
      env.clock = clock_;
      env.monitor = ZIVMeasurement::monitor();
      env.suiteName = suiteName_;
      env.consent = consent_.get();
      env.engine = engine_;
      env.classes = &classes_;
      env.notificationCenter = &center_;
      env.identity = [] { return std::shared_ptr<ZIVIdentity>(); };
      env.identifiers = &identifiers_;
      env.persistedConfig = [this] { return persistedConfig_; };
      analytics_ = std::make_unique<ZIVAnalytics>(std::move(env));
    }
    return *analytics_;
  }

  // A second launch: a new facade and consent state over the same suite.
  void relaunch() {
    drain();
    analytics_.reset();
    consent_ = std::make_unique<ZIVConsentSettingsUtil>();
  }

  void start(fnd::Dictionary options = {}) {
    analytics().startWithAppID("1:1234567890:ios:abcdef", "fa", options);
  }

  // Waits until everything queued so far has run on "ZIVAnalyticsQueue". REQUIRES: started.
  void drain() {
    if (!analytics_ || !analytics_->isStarted()) {
      if (analytics_) analytics_->queue()->sync([] {});
      return;
    }
    std::promise<void> done;
    analytics_->queueOperationWithBlock([&done] { done.set_value(); });
    done.get_future().wait();
    analytics_->queue()->sync([] {});
  }

  // The "_err" events that reached the engine, as their "_err" codes.
  std::vector<int64_t> errorEventCodes() const {
    std::vector<int64_t> codes;
    for (const auto& e : engine_->events()) {
      if (e.name != "_err") continue;
      fnd::Value code = e.parameters.get(fnd::Value("_err"));
      auto typed = code.recordAs<ZIVValue>();
      codes.push_back(typed ? typed->int64Value() : code.asInt());
    }
    return codes;
  }

  ScopedMonitorLogTag logTag_;  // First member: restored after everything else is gone.
  fnd::ScopedTestHome home_;
  const std::string sharedLogTag_ = ZIVMeasurement::monitor()->logTag();
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  dispatch::ScopedClock scopedClock_{clock_};
  ZIVLogCapture log_{ZIVMeasurement::monitor()};
  std::string suiteName_ = "ZIVAnalyticsSuiteName";
  std::unique_ptr<ZIVConsentSettingsUtil> consent_ = std::make_unique<ZIVConsentSettingsUtil>();
  std::shared_ptr<FakeAnalyticsEngine> engine_ = std::make_shared<FakeAnalyticsEngine>();
  ZIVRuntimeClassRegistry classes_;
  fnd::NotificationCenter center_;
  ZIVIdentifiers identifiers_;
  std::shared_ptr<ZIVPersistedConfig> persistedConfig_ =
      ZIVPersistedConfig::create("com.rivado.measurement.test", clock_);
  ZIVAnalytics::Environment env_;
  std::unique_ptr<ZIVAnalytics> analytics_;
};

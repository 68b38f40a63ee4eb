// Test support for the attribution tests: a fake engine over a real database, persisted
// configuration, server settings and worker queue in the test's own home with a manual clock; a
// network transport that answers with scripted replies and records what was sent.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/attribution/attribution_engine.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_test_support.h"
#include "analytics/engine/event.h"
#include "analytics/engine/runtime_class_registry.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/test_support.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/user_defaults.h"
#include "analytics/storage/database.h"
#include "platform/vendor/utilities/network.h"

namespace attribution_test {

// Answers every request with the next scripted reply (an error when none is left).
class ScriptedTransport : public ZUZOzuriviTransport {
 public:
  struct Reply {
    int64_t status = 200;
    std::string body;
    bool transportError = false;
  };
  void performRequest(ZUZOzuriviRequest request, Done done) override {
    Reply reply;
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(request);
      if (replies_.empty()) {
        reply.transportError = true;
      } else {
        reply = replies_.front();
        replies_.pop_front();
      }
    }
    ZUZOzuriviTransportResult result;
    if (reply.transportError) {
      result.error = fnd::Error(kZUZOzuriviErrorDomain, kZUZOzuriviErrorTransport);
    } else {
      result.response = ZUZOzuriviHTTPResponse{reply.status, request.url, {}};
      result.body.assign(reply.body.begin(), reply.body.end());
    }
    done(std::move(result));
  }
  void add(Reply reply) {
    std::lock_guard<std::mutex> lock(mu_);
    replies_.push_back(std::move(reply));
  }
  std::vector<ZUZOzuriviRequest> requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  mutable std::mutex mu_;
  std::deque<Reply> replies_;
  std::vector<ZUZOzuriviRequest> requests_;
};

struct LoggedEvent {
  std::string origin;
  std::string name;
  fnd::Dictionary parameters;
};

class FakeEngine : public ZIVAttributionEngine {
 public:
  FakeEngine(std::shared_ptr<dispatch::ManualClock> clock,
             const std::vector<std::pair<std::string, std::string>>& settings)
      : clock_(std::move(clock)),
        scheduler_("com.example.attribution.worker", nullptr, clock_),
        transport_(std::make_shared<ScriptedTransport>()),
        network_(std::make_shared<ZUZOzurivi>("attribution.example", transport_)),
        userDefaults_("com.example.attribution.defaults") {
    persisted_ = ZIVPersistedConfig::create("com.example.attribution.test", clock_);
    fnd::Error error;
    database_ =
        ZIVDatabase::initWithDatabaseName("attribution.sql", persisted_, &error, {nullptr, clock_});
    ZIVRemoteConfigEnvironment environment;
    environment.clock = clock_;
    environment.infoDictionaryValue = [](const std::string&) { return std::nullopt; };
    environment.bundleIdentifier = [] { return std::string("com.example.app"); };
    settings_ = ZIVRemoteConfig::initWithAppID(
        "1:123:ios:abc", std::shared_ptr<ZIVDatabase>(), rc_test::Config("1:123:ios:abc", settings),
        persisted_, std::shared_ptr<APMEManager>(), environment);
  }
  ~FakeEngine() override { drain(); }

  // Runs everything queued on the worker queue so far.
  void drain() {
    scheduler_.dispatchSyncOnWorkerQueueBlockID("drain", [] {});
  }
  // Runs the block on the worker queue and waits for it.
  void onWorker(const std::function<void()>& block) {
    scheduler_.dispatchSyncOnWorkerQueueBlockID("test", block);
  }

  // ZIVAttributionEngine.
  std::shared_ptr<dispatch::Clock> clock() const override { return clock_; }
  ZIVScheduler& scheduler() override { return scheduler_; }
  std::shared_ptr<ZIVDatabase> database() override { return database_; }
  std::shared_ptr<ZIVRemoteConfig> remoteConfig() override { return settings_; }
  std::shared_ptr<ZIVPersistedConfig> persistedConfig() override { return persisted_; }
  ZIVUserDefaults& userDefaults() override { return userDefaults_; }
  ZIVRuntimeClassRegistry& classRegistry() override { return registry_; }
  std::shared_ptr<ZUZOzurivi> network() override { return network_; }
  std::shared_ptr<ZUZOzurivi> makeNetwork() override {
    return std::make_shared<ZUZOzurivi>("attribution.example", transport_);
  }
  bool hasUploadInProgress(const ZUZOzurivi&) override { return uploadInProgress; }
  void setNetworkTimeout(double seconds) override { timeout_ = seconds; }
  double networkTimeout() const override { return timeout_; }
  void setIsNetworkRequestPending(bool pending) override {
    pending_ = pending;
    pendingHistory.push_back(pending);
  }
  void updateSchedule() override { ++updateScheduleCount; }
  bool isAdStorageDenied() override { return adStorageDenied; }
  bool isAdUserDataDenied() override { return adUserDataDenied; }
  std::optional<int64_t> adPersonalization() override { return adPersonalizationValue; }
  std::string consentSignals() override { return "G111"; }
  bool hasLimitedAdTracking() override { return knowsLimitedAdTracking; }
  bool limitedAdTracking() override { return limitedAdTrackingOn; }
  std::optional<std::string> resettableDeviceID() override { return deviceID; }
  std::optional<std::string> appID() override { return std::string("1:123:ios:abc"); }
  uint64_t appleConsentStatus() override { return consentStatus; }
  int64_t libraryVersion() override { return 120500; }
  double initializationTimestamp() override { return initTime; }
  bool isFromAppStore() override { return fromAppStore; }
  std::vector<std::string> launchArguments() override { return arguments; }
  std::optional<fnd::Value> infoDictionaryValue(const std::string& key) override {
    auto found = info.find(key);
    if (found == info.end()) return std::nullopt;
    return found->second;
  }
  void handleInternalEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override {
    internalEvents.push_back(event);
  }
  void notifyEventListeners(const std::shared_ptr<ZIVEvent>& event) override {
    listenerEvents.push_back(event);
  }
  void writeEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override {
    writtenEvents.push_back(event);
  }
  void setUserAttributeOnWorkerQueue(const std::shared_ptr<ZIVUserAttribute>& attribute) override {
    EXPECT_TRUE(database_->updateUserAttribute(attribute));
  }
  void removeUserAttributeOnWorkerQueue(const std::string& name) override {
    EXPECT_TRUE(database_->deleteUserAttributeWithName(name));
  }
  fnd::Dictionary paramsWithAddedFirstOpenConsentedEventParams(
      const fnd::Dictionary& parameters) override {
    fnd::Dictionary out = parameters;
    out.set("_fot_test", fnd::Value::Int64(1));
    return out;
  }
  void logInternalEvent(const std::string& origin, const std::string& name,
                        const fnd::Dictionary& parameters) override {
    std::lock_guard<std::mutex> lock(mu_);
    loggedEvents_.push_back({origin, name, parameters});
  }
  bool sendDeepLinkURLToAppDelegateOnMainThread(
      const std::string& url, const std::optional<fnd::Dictionary>& extraInfo) override {
    deliveredLinks.push_back({url, extraInfo});
    return appTakesDeepLinks;
  }

  std::vector<LoggedEvent> loggedEvents() const {
    std::lock_guard<std::mutex> lock(mu_);
    return loggedEvents_;
  }
  std::optional<int64_t> intAttribute(const std::string& name) {
    auto attribute = database_->userAttributeWithName(name);
    if (!attribute || !attribute->value()) return std::nullopt;
    return attribute->value()->int64Value();
  }

  ScriptedTransport& transport() { return *transport_; }
  bool pending() const { return pending_; }

  // Scripted surroundings.
  bool adStorageDenied = false;
  bool adUserDataDenied = false;
  std::optional<int64_t> adPersonalizationValue;
  bool knowsLimitedAdTracking = true;
  bool limitedAdTrackingOn = false;
  std::optional<std::string> deviceID = std::string("AAAA-BBBB");
  uint64_t consentStatus = 0;
  double initTime = 1700000000.0;
  bool fromAppStore = false;
  bool uploadInProgress = false;
  bool appTakesDeepLinks = false;
  std::vector<std::string> arguments;
  std::map<std::string, fnd::Value> info;

  // What the engine was asked to do.
  std::vector<std::shared_ptr<ZIVEvent>> internalEvents;
  std::vector<std::shared_ptr<ZIVEvent>> listenerEvents;
  std::vector<std::shared_ptr<ZIVEvent>> writtenEvents;
  std::vector<bool> pendingHistory;
  int updateScheduleCount = 0;
  std::vector<std::pair<std::string, std::optional<fnd::Dictionary>>> deliveredLinks;

 private:
  std::shared_ptr<dispatch::ManualClock> clock_;
  ZIVScheduler scheduler_;
  std::shared_ptr<ScriptedTransport> transport_;
  std::shared_ptr<ZUZOzurivi> network_;
  ZIVUserDefaults userDefaults_;
  ZIVRuntimeClassRegistry registry_;
  std::shared_ptr<ZIVPersistedConfig> persisted_;
  std::shared_ptr<ZIVDatabase> database_;
  std::shared_ptr<ZIVRemoteConfig> settings_;
  double timeout_ = 60;
  bool pending_ = false;
  mutable std::mutex mu_;
  std::vector<LoggedEvent> loggedEvents_;
};

// A fixture with a fake engine; `Settings()` gives the server settings it starts with.
class AttributionTest : public ZIVFoundationTest {
 protected:
  void SetUp() override { engine_ = std::make_shared<FakeEngine>(clock_, Settings()); }
  void TearDown() override { engine_->drain(); }
  virtual std::vector<std::pair<std::string, std::string>> Settings() { return {}; }

  std::shared_ptr<FakeEngine> engine_;
};

inline std::optional<std::string> StringParameter(const ZIVEvent& event, const std::string& name) {
  auto found = event.parameters().find(name);
  if (found == event.parameters().end() || !found->second) return std::nullopt;
  return found->second->stringValue();
}
inline std::optional<int64_t> IntParameter(const ZIVEvent& event, const std::string& name) {
  auto found = event.parameters().find(name);
  if (found == event.parameters().end() || !found->second || !found->second->isInt64()) {
    return std::nullopt;
  }
  return found->second->int64Value();
}

}  // namespace attribution_test

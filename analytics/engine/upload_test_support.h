// Test support for bundling and upload: a fresh home, a manual clock, a real analytics database,
// server settings built from a configuration message, a consent state of the test's own, and
// helpers that store raw events under a metadata bundle. Not for production code.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_test_support.h"
#include "analytics/engine/bundler.h"
#include "analytics/engine/event.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/test_support.h"
#include "analytics/foundation/value.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "platform/dispatch/manual_clock.h"

namespace upload_test {

inline constexpr const char* kAppID = "1:111:macos:aaa";
// 2023-11-14 22:13:20 UTC; the hour starts at 1699999200.
inline constexpr double kNow = 1700000000.0;

class Fixture : public ::testing::Test {
 protected:
  Fixture() : clock_(std::make_shared<dispatch::ManualClock>(kNow)), monitor_(clock_) {
    persisted_ =
        ZIVPersistedConfig::create("com.rivado.measurement.test", clock_, nullptr, monitor_.get());
    services_ = std::make_shared<rc_test::TestServices>();
    services_->internalNames = {{"in_app_purchase", "_iap"}, {"ad_impression", "_ai"}};
    fnd::Error error;
    database_ = ZIVDatabase::initWithDatabaseName(ZIVDatabaseFileName, persisted_, &error,
                                                  {nullptr, clock_});
    EXPECT_NE(database_, nullptr) << error.description();
    Configure({});
  }

  // Replaces the server settings with a configuration holding `settings` (and event rules).
  void Configure(const std::vector<std::pair<std::string, std::string>>& settings,
                 const std::vector<rc_test::EventRule>& rules = {}) {
    auto config = rc_test::Config(kAppID, settings);
    if (!rules.empty()) rc_test::SetEventRules(config.get(), rules);
    Install(config);
  }

  // Replaces the server settings with `config`.
  void Install(const std::shared_ptr<APMPBMeasurementConfig>& config) {
    ZIVRemoteConfigEnvironment environment;
    environment.monitor = monitor_.get();
    environment.clock = clock_;
    environment.services = services_;
    settings_ =
        ZIVRemoteConfig::initWithAppID(kAppID, database_, config, persisted_, nullptr, environment);
    ASSERT_NE(settings_, nullptr);
  }

  ZIVBundlerEnvironment BundlerEnvironment() {
    ZIVBundlerEnvironment environment;
    environment.database = database_;
    environment.settings = settings_;
    environment.persistedConfig = persisted_;
    environment.monitor = monitor_.get();
    environment.clock = clock_;
    environment.consent = &consent_;
    environment.appID = [] { return std::string(kAppID); };
    environment.randomBelow = [this](uint64_t bound) {
      const uint64_t draw = draws_.empty() ? 0 : draws_.front();
      if (!draws_.empty()) draws_.erase(draws_.begin());
      return draw % bound;
    };
    return environment;
  }
  std::unique_ptr<ZIVBundler> MakeBundler() {
    return std::make_unique<ZIVBundler>(BundlerEnvironment());
  }

  // A metadata bundle (app ID, consent signals) stored once; answers its fingerprint.
  int64_t StoreMetadata(const std::string& consentSignals = "G111",
                        const std::string& osVersion = "14.1") {
    auto bundle = APMPBMeasurementBundle::initWithBuffer(nullptr);
    NANOSetString(bundle.get(), APMPBMeasurementBundle::kAppId, kAppID);
    NANOSetString(bundle.get(), APMPBMeasurementBundle::kOsVersion, osVersion);
    if (!consentSignals.empty()) {
      NANOSetString(bundle.get(), APMPBMeasurementBundle::kConsentSignals, consentSignals);
    }
    EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(*bundle));
    return static_cast<int64_t>(ziv_64LSBMD5(*bundle->protoBuffer()));
  }

  static std::shared_ptr<ZIVEvent> Event(const std::string& name, double timestamp,
                                         const fnd::Dictionary& parameters = {},
                                         const std::string& origin = "app") {
    auto event = ZIVEvent::initWithOrigin(origin, false, name, timestamp, 0, parameters);
    EXPECT_NE(event, nullptr) << name;
    return event;
  }
  void StoreEvent(const std::shared_ptr<ZIVEvent>& event, int64_t fingerprint,
                  bool realtime = false) {
    ASSERT_TRUE(database_->insertRawEvent(event, fingerprint, realtime));
  }

  // Every queued bundle, oldest first.
  std::vector<std::shared_ptr<APMPBMeasurementBundle>> Queued() {
    std::vector<std::shared_ptr<APMPBMeasurementBundle>> bundles;
    auto rows = database_->queryBundlesWithCountLimit(1000, 1 << 30);
    for (const auto& [bundle, rowID] : rows.value_or(std::vector<ZIVDatabase::BundleAndRowID>())) {
      bundles.push_back(bundle);
    }
    return bundles;
  }
  int64_t RawCount() {
    return database_->sqliteStore()->rowCountForTableWithName("raw_events").value_or(-1);
  }
  int64_t Count(const std::string& table) {
    return database_->sqliteStore()->rowCountForTableWithName(table).value_or(-1);
  }
  void Exec(const std::string& sql) {
    ASSERT_TRUE(database_->sqliteStore()->executeSQL(sql)) << sql;
  }

  static std::vector<std::shared_ptr<APMPBEvent>> Events(const APMPBMeasurementBundle& bundle) {
    std::vector<std::shared_ptr<APMPBEvent>> events;
    auto items =
        NANOGetArray(&bundle, APMPBMeasurementBundle::kEvents, &APMPBEvent::messageClass());
    for (const fnd::Value& item : items.value_or(fnd::Array())) {
      events.push_back(item.recordAs<APMPBEvent>());
    }
    return events;
  }
  static std::vector<std::string> Names(const APMPBMeasurementBundle& bundle) {
    std::vector<std::string> names;
    for (const auto& event : Events(bundle)) {
      names.push_back(NANOGetString(event.get(), APMPBEvent::kName).value_or(""));
    }
    return names;
  }
  // The parameter of an Event message, or null.
  static std::shared_ptr<APMPBEventParam> Param(const APMPBEvent& event, const std::string& name) {
    auto items = NANOGetArray(&event, APMPBEvent::kParams, &APMPBEventParam::messageClass());
    for (const fnd::Value& item : items.value_or(fnd::Array())) {
      auto param = item.recordAs<APMPBEventParam>();
      if (NANOGetString(param.get(), APMPBEventParam::kName).value_or("") == name) return param;
    }
    return nullptr;
  }
  static std::optional<int64_t> IntParam(const APMPBEvent& event, const std::string& name) {
    auto param = Param(event, name);
    if (!param) return std::nullopt;
    return NANOGetInt64(param.get(), APMPBEventParam::kIntValue);
  }
  static std::shared_ptr<APMPBUserAttribute> Property(const APMPBMeasurementBundle& bundle,
                                                      const std::string& name) {
    auto items = NANOGetArray(&bundle, APMPBMeasurementBundle::kUserAttributes,
                              &APMPBUserAttribute::messageClass());
    for (const fnd::Value& item : items.value_or(fnd::Array())) {
      auto property = item.recordAs<APMPBUserAttribute>();
      if (NANOGetString(property.get(), APMPBUserAttribute::kName).value_or("") == name) {
        return property;
      }
    }
    return nullptr;
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_;
  ZIVTestMonitor monitor_;
  ZIVLogCapture logs_{monitor_.get()};
  ZIVConsentSettingsUtil consent_;
  std::shared_ptr<ZIVPersistedConfig> persisted_;
  std::shared_ptr<rc_test::TestServices> services_;
  std::shared_ptr<ZIVDatabase> database_;
  std::shared_ptr<ZIVRemoteConfig> settings_;
  std::vector<uint64_t> draws_;  // Sampling draws, in order; 0 when none are left.
};

}  // namespace upload_test

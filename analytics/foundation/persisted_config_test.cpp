#include "analytics/foundation/persisted_config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>
#include <thread>

#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/persistent_dictionary.h"
#include "analytics/foundation/test_support.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"

namespace {

class PersistedConfigTest : public ZIVFoundationTest {
 protected:
  PersistedConfigTest()
      : preferences_("test.application"),
        config_(ZIVPersistedConfig::create("test.config", clock_, &preferences_)) {}

  // The value stored under the key's full name, or null.
  fnd::Value Stored(const std::string& key) {
    return config_->backingStore()
        ->objectForKey("/rivado/measurement/" + key)
        .value_or(fnd::Value());
  }
  // Moves time on and runs what came due on the settings queue.
  void Advance(double seconds) {
    clock_->advance(seconds);
    config_->int64ForKey("drain");
  }

  ZIVUserDefaults preferences_;
  std::shared_ptr<ZIVPersistedConfig> config_;
};

using Config = ZIVPersistedConfig;

TEST_F(PersistedConfigTest, EveryValueHasItsKeyTypeAndNeverSetDefault) {
  ASSERT_NE(config_, nullptr);
  const fnd::Value data(fnd::Data{9, 8});
  auto d = [](double (Config::*get)(), void (Config::*set)(double), double v) {
    return std::make_pair(
        std::function<fnd::Value(Config&)>([get](Config& c) { return fnd::Value((c.*get)()); }),
        std::function<void(Config&)>([set, v](Config& c) { (c.*set)(v); }));
  };
  auto i = [](int64_t (Config::*get)(), void (Config::*set)(int64_t), int64_t v) {
    return std::make_pair(std::function<fnd::Value(Config&)>(
                              [get](Config& c) { return fnd::Value::Int64((c.*get)()); }),
                          std::function<void(Config&)>([set, v](Config& c) { (c.*set)(v); }));
  };
  using OptString = std::optional<std::string>;
  auto s = [](OptString (Config::*get)(), void (Config::*set)(const OptString&), std::string v) {
    return std::make_pair(std::function<fnd::Value(Config&)>([get](Config& c) {
                            auto r = (c.*get)();
                            return r ? fnd::Value(*r) : fnd::Value();
                          }),
                          std::function<void(Config&)>([set, v](Config& c) { (c.*set)(v); }));
  };
  using OptValue = std::optional<fnd::Value>;
  auto o = [](OptValue (Config::*get)(), void (Config::*set)(const OptValue&), fnd::Value v) {
    return std::make_pair(std::function<fnd::Value(Config&)>(
                              [get](Config& c) { return (c.*get)().value_or(fnd::Value()); }),
                          std::function<void(Config&)>([set, v](Config& c) { (c.*set)(v); }));
  };
  struct Row {
    std::string key;
    std::pair<std::function<fnd::Value(Config&)>, std::function<void(Config&)>> accessors;
    fnd::Value stored;
    fnd::Value neverSet;
  };
  const fnd::Value zero(0.0), none;
  const fnd::Value zero64 = fnd::Value::Int64(0);
  const std::vector<Row> rows = {
      {"last_delete_stale",
       d(&Config::lastDeleteStaleBundlesTimestamp, &Config::setLastDeleteStaleBundlesTimestamp,
         1.5),
       fnd::Value(1.5), zero},
      {"is_search_ad_campaign",
       o(&Config::searchAdCampaignValue, &Config::setSearchAdCampaignValue, fnd::Value(true)),
       fnd::Value(true), none},
      {"search_ad_last_attempt_timestamp",
       d(&Config::lastSearchAdLookUpTimestamp, &Config::setLastSearchAdLookUpTimestamp, 2.5),
       fnd::Value(2.5), zero},
      {"search_ad_number_of_retries",
       i(&Config::searchAdRetryCount, &Config::setSearchAdRetryCount, 3), fnd::Value::Int64(3),
       zero64},
      {"app_instance_id", s(&Config::appInstanceID, &Config::setAppInstanceID, "aiid"),
       fnd::Value("aiid"), none},
      {"zuz_app_id", s(&Config::appIDFromZUZ, &Config::setAppIDFromZUZ, "1:2"), fnd::Value("1:2"),
       none},
      {"vazuv_app_id", s(&Config::appIDFromVaZuv, &Config::setAppIDFromVaZuv, "v"), fnd::Value("v"),
       none},
      {"hashed_idfa",
       s(&Config::hashedResettableDeviceID, &Config::setHashedResettableDeviceID, "h"),
       fnd::Value("h"), none},
      {"diversion_key", s(&Config::diversionKey, &Config::setDiversionKey, "dk"), fnd::Value("dk"),
       none},
      {"last_backoff", d(&Config::lastBackoffTimestamp, &Config::setLastBackoffTimestamp, 4),
       fnd::Value(4.0), zero},
      {"last_successful_upload",
       d(&Config::lastSuccessfulUploadTimestamp, &Config::setLastSuccessfulUploadTimestamp, 5),
       fnd::Value(5.0), zero},
      {"last_failed_upload",
       d(&Config::lastFailedUploadTimestamp, &Config::setLastFailedUploadTimestamp, 6),
       fnd::Value(6.0), zero},
      {"app_version", s(&Config::appVersion, &Config::setAppVersion, "1.0"), fnd::Value("1.0"),
       none},
      {"os_version", s(&Config::osVersion, &Config::setOsVersion, "6.1"), fnd::Value("6.1"), none},
      {"last_monitor_data_sampled_timestamp",
       d(&Config::lastMonitorDataSampledTimestamp, &Config::setLastMonitorDataSampledTimestamp, 7),
       fnd::Value(7.0), zero},
      {"first_open_timestamp_ms",
       i(&Config::firstOpenTimestampMilliseconds, &Config::setFirstOpenTimestampMilliseconds,
         1700000000123),
       fnd::Value::Int64(1700000000123), zero64},
      {"last_modified_since_key",
       s(&Config::configServerLastModifiedString, &Config::setConfigServerLastModifiedString,
         "Tue"),
       fnd::Value("Tue"), none},
      {"config_etag", s(&Config::configServerETag, &Config::setConfigServerETag, "etag"),
       fnd::Value("etag"), none},
      {"config_zuz_version", i(&Config::configZUZVersion, &Config::setConfigZUZVersion, 8),
       fnd::Value::Int64(8), zero64},
      {"load_timestamp",
       o(&Config::loadTimestampValue, &Config::setLoadTimestampValue, fnd::Value(9.5)),
       fnd::Value(9.5), none},
      {"allow_personalized_ads",
       o(&Config::allowPersonalizedAds, &Config::setAllowPersonalizedAds, fnd::Value(false)),
       fnd::Value(false), none},
      {"zudiroru_feature_rollouts",
       s(&Config::zudiroruFeatureRollouts, &Config::setZudiroruFeatureRollouts, "r"),
       fnd::Value("r"), none},
      {"deep_link_retrieval_complete",
       o(&Config::deferredDeepLinkRetrievalComplete, &Config::setDeferredDeepLinkRetrievalComplete,
         fnd::Value(true)),
       fnd::Value(true), none},
      {"deep_link_retry_count",
       i(&Config::deferredDeepLinkRetryCount, &Config::setDeferredDeepLinkRetryCount, 2),
       fnd::Value::Int64(2), zero64},
      {"unmatched_first_open",
       i(&Config::unmatchedFirstOpenWithoutIDFA, &Config::setUnmatchedFirstOpenWithoutIDFA, 1),
       fnd::Value::Int64(1), zero64},
      {"previous_first_open_count",
       o(&Config::previousFirstOpenCount, &Config::setPreviousFirstOpenCount, fnd::Value(3)),
       fnd::Value(3), none},
      {"previous_bundled_consent_signals",
       s(&Config::previousBundledConsentSignals, &Config::setPreviousBundledConsentSignals, "G1"),
       fnd::Value("G1"), none},
      {"ad_campaign_info_buffer",
       o(&Config::adCampaignInfoBuffer, &Config::setAdCampaignInfoBuffer, data), data, none},
      {"psm_hashed_input_data",
       o(&Config::PSMHashedInputData, &Config::setPSMHashedInputData, data), data, none},
      {"psm_input_type", i(&Config::PSMInputType, &Config::setPSMInputType, 2),
       fnd::Value::Int64(2), zero64},
      {"psm_current_day", o(&Config::PSMCurrentDay, &Config::setPSMCurrentDay, fnd::Value(19000)),
       fnd::Value(19000), none},
      {"last_engagement_end",
       d(&Config::lastSessionActivityClockTime, &Config::setLastSessionActivityClockTime, 10),
       fnd::Value(10.0), zero},
      {"session_number", i(&Config::sessionNumber, &Config::setSessionNumber, 11),
       fnd::Value::Int64(11), zero64},
      {"session_timeout",
       o(&Config::sessionTimeoutValue, &Config::setSessionTimeoutValue, fnd::Value(1800)),
       fnd::Value(1800), none},
      {"last_uploaded_event_millis",
       i(&Config::lastUploadedEventTimestampMillis, &Config::setLastUploadedEventTimestampMillis,
         12),
       fnd::Value::Int64(12), zero64},
      {"skan_evaluation_event_time_millis",
       i(&Config::SKANEvaluationEventTimeMillis, &Config::setSKANEvaluationEventTimeMillis, 13),
       fnd::Value::Int64(13), zero64},
      {"skan_evaluation_update_backoff_millis",
       i(&Config::SKANEvaluationUpdateBackoffMillis, &Config::setSKANEvaluationUpdateBackoffMillis,
         14),
       fnd::Value::Int64(14), zero64},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    EXPECT_EQ(row.accessors.first(*config_), row.neverSet);
    row.accessors.second(*config_);
    EXPECT_EQ(Stored(row.key), row.stored);
    EXPECT_EQ(row.accessors.first(*config_), row.stored);
  }

  // The rest: the flag kept as an integer, the dictionary, the preference-store value and the
  // offset drawn on first read (four more keys, 41 in all).
  EXPECT_FALSE(config_->shouldSetLastAdvertisingIDResetUserProperty());
  config_->setShouldSetLastAdvertisingIDResetUserProperty(true);
  EXPECT_EQ(Stored("set_last_advertising_id_reset"), fnd::Value::Int64(1));
  EXPECT_TRUE(config_->shouldSetLastAdvertisingIDResetUserProperty());

  EXPECT_EQ(config_->defaultEventParameters(), std::nullopt);
  fnd::Dictionary parameters{{"p", "v"}, {"n", 1}};
  config_->setDefaultEventParameters(parameters);
  EXPECT_EQ(Stored("default_event_parameters"), fnd::Value(parameters));
  EXPECT_EQ(config_->defaultEventParameters(), parameters);

  EXPECT_EQ(config_->measurementEnabledState(), 0);
  config_->setMeasurementEnabledState(2);
  EXPECT_EQ(config_->measurementEnabledState(), 2);
  EXPECT_EQ(Stored("measurement_enabled_state"), fnd::Value()) << "kept in the preferences";

  EXPECT_EQ(Stored("midnight_offset"), fnd::Value());
  config_->midnightOffset();
  EXPECT_TRUE(Stored("midnight_offset").isDouble());
}

TEST_F(PersistedConfigTest, TypedReadsGiveTheNeverSetValueForAnotherKind) {
  config_->setString("text", "k");
  EXPECT_EQ(config_->int64ForKey("k"), 0);
  EXPECT_EQ(config_->doubleForKey("k"), 0.0);
  EXPECT_FALSE(config_->boolForKey("k"));
  EXPECT_EQ(config_->numberForKey("k"), std::nullopt);
  EXPECT_EQ(config_->dictionaryForKey("k"), std::nullopt);
  config_->setInt64(5, "n");
  EXPECT_EQ(config_->stringForKey("n"), std::nullopt);
  config_->setString(std::nullopt, "k");
  EXPECT_EQ(config_->backingStore()->objectForKey("k"), std::nullopt);
}

TEST_F(PersistedConfigTest, SearchAdCampaignSetterTakesNumbersOnly) {
  config_->setSearchAdCampaignValue(fnd::Value(1));
  config_->setSearchAdCampaignValue(fnd::Value("yes"));
  config_->setSearchAdCampaignValue(std::nullopt);
  EXPECT_EQ(config_->searchAdCampaignValue(), fnd::Value(1));
}

TEST_F(PersistedConfigTest, MidnightOffsetIsDrawnOnceInMillisecondStepsBelowADay) {
  const double offset = config_->midnightOffset();
  EXPECT_GE(offset, 0.0);
  EXPECT_LE(offset, 86399.999);
  EXPECT_NEAR(offset * 1000, std::round(offset * 1000), 1e-6);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(config_->midnightOffset(), offset);
  // A new instance over the same file reads the same offset.
  config_->backingStore()->synchronize();
  auto again = ZIVPersistedConfig::create("test.config", clock_, &preferences_);
  EXPECT_EQ(again->midnightOffset(), offset);
}

TEST_F(PersistedConfigTest, ConcurrentFirstReadsOfTheMidnightOffsetAgree) {
  for (int round = 0; round < 20; ++round) {
    auto config = ZIVPersistedConfig::create("race" + std::to_string(round), clock_, &preferences_);
    std::vector<double> seen(8);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) {
      threads.emplace_back([&, t] { seen[t] = config->midnightOffset(); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(std::set<double>(seen.begin(), seen.end()).size(), 1u) << "round " << round;
  }
}

TEST_F(PersistedConfigTest, TenWritesWithinASecondGiveOneFlushASecondAfterTheLast) {
  for (int i = 0; i < 10; ++i) {
    config_->setSessionNumber(i);
    if (i < 9) Advance(0.1);
  }
  EXPECT_TRUE(config_->hasScheduledSynchronize());
  Advance(0.999);
  EXPECT_EQ(config_->synchronizeCount(), 0u);
  EXPECT_TRUE(config_->hasScheduledSynchronize());
  Advance(0.001);
  EXPECT_EQ(config_->synchronizeCount(), 1u);
  EXPECT_FALSE(config_->hasScheduledSynchronize());
  Advance(10);
  EXPECT_EQ(config_->synchronizeCount(), 1u);

  auto file = fnd::PropertyList::ReadFile(config_->backingStore()->path());
  ASSERT_TRUE(file && file->isDictionary());
  EXPECT_EQ(file->dictionary()->get("/rivado/measurement/session_number").asInt(), 9);
}

TEST_F(PersistedConfigTest, OnlySomeObjectSettersArmAFlush) {
  config_->setLoadTimestampValue(fnd::Value(1.0));
  config_->setAllowPersonalizedAds(fnd::Value(true));
  config_->setDeferredDeepLinkRetrievalComplete(fnd::Value(true));
  config_->setConfigServerLastModifiedString("Mon");
  EXPECT_FALSE(config_->hasScheduledSynchronize());
  config_->setPSMHashedInputData(fnd::Value(fnd::Data{1}));
  EXPECT_TRUE(config_->hasScheduledSynchronize());
  config_->cancelScheduledSynchronize();
  config_->setAdCampaignInfoBuffer(fnd::Value(fnd::Data{2}));
  EXPECT_TRUE(config_->hasScheduledSynchronize());
}

TEST_F(PersistedConfigTest, AnUnsupportedDictionaryIsLoggedAndArmsNothing) {
  ZIVLogCapture log(ZIVMeasurement::monitor());
  config_->setDefaultEventParameters(fnd::Dictionary{{"bad", fnd::Value()}});
  ExpectLogged(log, 1, 27002, "Unsupported value passed in dictionary");
  EXPECT_FALSE(config_->hasScheduledSynchronize());
  EXPECT_EQ(config_->defaultEventParameters(), std::nullopt);
}

TEST_F(PersistedConfigTest, ClearValuesLeavesTheMeasurementStateInThePreferences) {
  config_->setMeasurementEnabledState(1);
  config_->setSessionNumber(4);
  config_->clearValues();
  EXPECT_EQ(config_->sessionNumber(), 0);
  EXPECT_EQ(config_->measurementEnabledState(), 1);
  // Synchronised at once: the preference file holds it.
  fnd::PreferencesResetCacheForTesting();
  EXPECT_EQ(fnd::PreferencesCopyAppValue("/rivado/measurement/measurement_enabled_state",
                                         "test.application"),
            fnd::Value::Int64(1));
}

TEST_F(PersistedConfigTest, SynchronizeToDiskWritesOffTheMainThreadAndDefersOnIt) {
  config_->setAppInstanceID("id");
  config_->cancelScheduledSynchronize();
  ASSERT_TRUE(dispatch::isMainThread());
  config_->synchronizeToDisk();
  EXPECT_TRUE(config_->hasScheduledSynchronize());
  EXPECT_FALSE(fnd::FileExists(config_->backingStore()->path()));

  std::thread([this] { config_->synchronizeToDisk(); }).join();
  auto file = fnd::PropertyList::ReadFile(config_->backingStore()->path());
  ASSERT_TRUE(file && file->isDictionary());
  EXPECT_EQ(file->dictionary()->get("/rivado/measurement/app_instance_id"), fnd::Value("id"));
}

TEST_F(PersistedConfigTest, AnOldPreferenceFileMovesIntoTheEngineFolder) {
  const std::string old = ZIVFilePathForPreferencesName("legacy.suite");
  fnd::Dictionary contents{{"/rivado/measurement/session_number", fnd::Value::Int64(6)}};
  ASSERT_TRUE(fnd::PropertyList::WriteFile(fnd::Value(contents), old));
  auto config = ZIVPersistedConfig::create("legacy.suite", clock_, &preferences_);
  ASSERT_NE(config, nullptr);
  EXPECT_FALSE(fnd::FileExists(old));
  EXPECT_EQ(config->backingStore()->path(), ZIVFilePathForPersistentDictionaryName("legacy.suite"));
  EXPECT_EQ(config->sessionNumber(), 6);
  EXPECT_EQ(ZIVPersistedConfig::create("", clock_, &preferences_), nullptr);
}

TEST_F(PersistedConfigTest, SharedInstanceIsMadeOnce) {
  auto shared = ZIVPersistedConfig::sharedInstance();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared, ZIVPersistedConfig::sharedInstance());
  EXPECT_EQ(shared->suiteName(), kZIVPersistedConfigSuiteName);
  EXPECT_TRUE(sharedLog_.withCode(27001).empty());
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_test_support.h"
#include "analytics/foundation/test_support.h"

namespace {

enum class Form { kInterval, kInt32, kInt64, kBool };

struct Row {
  const char* getter;
  const char* key;
  Form form;
  double defaultValue;
  double minimum;  // Unused for flags.
  double maximum;
  std::function<double(const ZIVRemoteConfig&)> read;
};

#define ROW(getter, key, form, def, min, max)                                    \
  Row {                                                                          \
#getter, key, form, def, min, max,                                           \
        [](const ZIVRemoteConfig& c) { return static_cast<double>(c.getter()); } \
  }
#define FLAG(getter, key, def) ROW(getter, key, Form::kBool, def, 0, 1)

// Every row of the settings table, written out independently of the code.
const std::vector<Row>& Table() {
  static const std::vector<Row> rows = {
      ROW(uploadingBackoffInterval, "measurement.upload.backoff_period", Form::kInterval, 43200,
          3600, 604800),
      ROW(maxAudienceCount, "measurement.audience.max_count", Form::kInt32, 100, 0, 500),
      ROW(maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", Form::kInt32,
          10, 0, 100),
      ROW(maxFilterResultCount, "measurement.audience.filter_result_max_count", Form::kInt32, 200,
          0, 2000),
      ROW(maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", Form::kInt32,
          25, 0, 250),
      ROW(databaseDeleteStaleBundlesInterval, "measurement.upload.stale_data_deletion_interval",
          Form::kInterval, 86400, 3600, 604800),
      ROW(maxQueueTime, "measurement.upload.max_queue_time", Form::kInterval, 2419200, 604800,
          7862400),
      ROW(adIDCacheTime, "measurement.ad_id_cache_time", Form::kInterval, 1, 0, 86400),
      FLAG(gateIDFAOnATTMASEnabled, "measurement.attmas_gate", 0),
      ROW(monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", Form::kInterval,
          86400, 0, 604800),
      FLAG(isNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled", 0),
      ROW(networkTimeout, "measurement.network.network_timeout", Form::kInterval, 60, 30, 3600),
      ROW(sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval",
          Form::kInterval, 1800, 0, 86400),
      ROW(sessionEventUserEngagementInterval, "measurement.session.event_user_engagement_interval",
          Form::kInterval, 3600, 0, 86400),
      FLAG(efficientEngagementReportingEnabled,
           "measurement.collection.efficient_engagement_reporting_enabled", 0),
      FLAG(redundantEngagementRemovalEnabled,
           "measurement.collection.redundant_engagement_removal_enabled", 0),
      ROW(maxConversionsPerDay, "measurement.upload.max_conversions_per_day", Form::kInt32, 10000,
          0, 1000000),
      ROW(maxEventsPerDay, "measurement.upload.max_events_per_day", Form::kInt32, 100000, 0,
          1000000),
      ROW(maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", Form::kInt32,
          50000, 0, 1000000),
      ROW(maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", Form::kInt32, 1000,
          0, 1000000),
      ROW(maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", Form::kInt32, 4,
          1, 100),
      ROW(maxPublicUserProperties, "measurement.upload.max_public_user_properties", Form::kInt32,
          100, 25, 100),
      ROW(maxEventNameCardinality, "measurement.upload.max_event_name_cardinality", Form::kInt32,
          2000, 500, 2000),
      ROW(maxPublicEventParams, "measurement.upload.max_public_event_params", Form::kInt32, 100, 25,
          100),
      ROW(maxEventsStored, "measurement.store.max_stored_events_per_app", Form::kInt32, 100000, 0,
          1000000),
      ROW(uploadingInterval, "measurement.upload.interval", Form::kInterval, 3600, 15, 86400),
      ROW(uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time",
          Form::kInterval, 15, 1, 86400),
      ROW(uploadMaxBundlesLimit, "measurement.upload.max_bundles", Form::kInt64, 100, 1, 10000),
      ROW(uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", Form::kInt64, 1000,
          1, 1000000),
      ROW(uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", Form::kInt64, 65536, 0,
          10485760),
      ROW(uploadingRetryCount, "measurement.upload.retry_count", Form::kInt32, 6, 1, 24),
      ROW(uploadingRetryInterval, "measurement.upload.retry_time", Form::kInterval, 1800, 60,
          86400),
      ROW(maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day",
          Form::kInt32, 10, 0, 10),
      ROW(uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", Form::kInterval,
          1, 1, 15),
      ROW(uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", Form::kInterval,
          10, 10, 15),
      FLAG(blocklistInternal, "measurement.upload.blacklist_internal", 0),
      FLAG(blocklistPublic, "measurement.upload.blacklist_public", 0),
      FLAG(isEventSamplingEnabled, "measurement.event_sampling_enabled", 0),
      ROW(analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes",
          Form::kInt32, 0, -900, 900),
      FLAG(checksumEnabled, "measurement.quality.checksum", 0),
      FLAG(appInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter", 1),
      ROW(maxItemScopedCustomParameters, "measurement.upload.max_item_scoped_custom_parameters",
          Form::kInt32, 27, 10, 35),
      ROW(maxPublicEventParameterValueLength, "measurement.upload.max_event_parameter_value_length",
          Form::kInt32, 500, 100, 500),
      ROW(maxRealtimeDCUEventCountPerDay, "measurement.dma.dcu_event_max_realtime_daily_count",
          Form::kInt32, 1, 0, 10),
      ROW(maxPSMStartCount, "measurement.psm_start_count", Form::kInt32, 3, 0, 10),
      ROW(maxPSMRetryCount, "measurement.psm_retry_count", Form::kInt32, 5, 0, 10),
      ROW(PSMRetryInterval, "measurement.psm_retry_interval", Form::kInterval, 300, 30, 1800),
      ROW(hashPrefixBitLengthEmail, "measurement.psm_prefix_email", Form::kInt32, 14, 6, 20),
      ROW(hashPrefixBitLengthPhone, "measurement.psm_prefix_phone", Form::kInt32, 11, 6, 18),
      ROW(maxSignInDelayInDays, "measurement.psm_signin_delay", Form::kInt32, 60, 7, 90),
      FLAG(PSMSessionStartEnabled, "measurement.psm_session_start_enabled", 1),
      ROW(PSMSessionStartHashPrefixBitLengthEmail, "measurement.psm_session_prefix_email",
          Form::kInt32, 13, 6, 20),
      ROW(PSMSessionStartHashPrefixBitLengthPhone, "measurement.psm_session_prefix_phone",
          Form::kInt32, 11, 6, 18),
      FLAG(PSMGroupIDEnabled, "measurement.psm_group_id_enabled", 1),
      ROW(PSMGroupIDHashPrefixBitLengthEmail, "measurement.psm_group_id_prefix_email", Form::kInt32,
          22, 6, 30),
      FLAG(adsOnDeviceConversionFeatureEnabled, "measurement.odm2_enabled", 0),
      FLAG(isDeferredDeepLinkEnabled, "measurement.ddl.enabled", 1),
      ROW(maxDeferredDeepLinkRetryCount, "measurement.ddl.retry_count", Form::kInt32, 5, 0, 10),
      ROW(attributionCacheTTLInterval, "measurement.attribution.cache.ttl", Form::kInterval, 604800,
          86400, 2592000),
      ROW(remoteConfigCacheTimeInterval, "measurement.config.cache_time", Form::kInterval, 3600, 60,
          86400),
      FLAG(sessionStitchingTokenFeatureEnabled, "measurement.session_stitching_token_enabled", 0),
      FLAG(SKANUpdateConversionValueEnabled, "measurement.skan.update_conversion_value_enabled", 0),
      ROW(SKANInitialCVFetchDelay, "measurement.skan.initial_cv_fetch_delay_sec", Form::kInterval,
          120, 30, 3600),
      ROW(SKANCVFetchRetryInterval, "measurement.skan.cv_fetch_retry_interval_sec", Form::kInterval,
          120, 30, 3600),
      ROW(SKANCVFetchRetryLimit, "measurement.skan.cv_fetch_retry_limit", Form::kInt32, 4, 1, 10),
      ROW(SKANFirstWindowCVFetchDelay, "measurement.skan.first_window.initial_cv_fetch_delay_sec",
          Form::kInterval, 20, 1, 3600),
      ROW(SKANFirstWindowCVFetchRetryInterval,
          "measurement.skan.first_window.cv_fetch_retry_interval_sec", Form::kInterval, 120, 30,
          3600),
      ROW(SKANFirstWindowCVFetchRetryLimit, "measurement.skan.first_window.cv_fetch_retry_limit",
          Form::kInt32, 4, 1, 10),
      ROW(SKANFirstWindowUploadInterval, "measurement.skan.first_window.upload_interval_sec",
          Form::kInterval, 1800, 15, 86400),
      FLAG(customerTypeEnabled, "measurement.customer_type_enabled", 1),
  };
  return rows;
}

#undef ROW
#undef FLAG

std::string Text(double value) {
  if (value == std::trunc(value)) return std::to_string(static_cast<int64_t>(value));
  return std::to_string(value);
}

class RemoteConfigTableTest : public ZIVFoundationTest {
 protected:
  std::shared_ptr<ZIVRemoteConfig> Make(ZIVRemoteConfigEnvironment environment = {}) {
    if (!environment.services) environment.services = services_;
    auto config = ZIVRemoteConfig::initWithAppID(
        "app", std::shared_ptr<ZIVDatabase>(), rc_test::Config("app"),
        std::shared_ptr<ZIVPersistedConfig>(), std::shared_ptr<APMEManager>(), environment);
    EXPECT_TRUE(config);
    return config;
  }
  // The getter's answer after the server sent `text` under the key.
  static double ReadAfter(ZIVRemoteConfig& config, const Row& row, const std::string& text) {
    config.cacheValue(fnd::Value(text), row.key);
    return row.read(config);
  }

  std::shared_ptr<rc_test::TestServices> services_ = std::make_shared<rc_test::TestServices>();
};

TEST_F(RemoteConfigTableTest, EverySettingAnswersItsDefaultWithinItsBounds) {
  auto config = Make();
  for (const Row& row : Table()) {
    SCOPED_TRACE(std::string(row.getter) + " " + row.key);
    EXPECT_EQ(row.read(*config), row.defaultValue) << "unset";
    EXPECT_EQ(ReadAfter(*config, row, "abc"), row.defaultValue) << "unparsable";
    EXPECT_EQ(ReadAfter(*config, row, "1e3"), row.defaultValue) << "exponent";
    EXPECT_EQ(ReadAfter(*config, row, " 1"), row.defaultValue) << "space";

    if (row.form == Form::kBool) {
      EXPECT_EQ(ReadAfter(*config, row, "1"), 1);
      EXPECT_EQ(ReadAfter(*config, row, "0"), 0);
      EXPECT_EQ(ReadAfter(*config, row, "+1"), 1);
      EXPECT_EQ(ReadAfter(*config, row, "2"), row.defaultValue);
      EXPECT_EQ(ReadAfter(*config, row, "-1"), row.defaultValue);
      EXPECT_EQ(ReadAfter(*config, row, "true"), row.defaultValue);
      continue;
    }
    // The server sends intervals in milliseconds; bounds hold in seconds.
    const double scale = row.form == Form::kInterval ? 1000 : 1;
    EXPECT_EQ(ReadAfter(*config, row, Text(row.minimum * scale)), row.minimum) << "minimum";
    EXPECT_EQ(ReadAfter(*config, row, Text(row.maximum * scale)), row.maximum) << "maximum";
    EXPECT_EQ(ReadAfter(*config, row, Text((row.minimum - 1) * scale)), row.defaultValue)
        << "below the minimum gives the default, not the bound";
    EXPECT_EQ(ReadAfter(*config, row, Text((row.maximum + 1) * scale)), row.defaultValue)
        << "above the maximum gives the default, not the bound";
    const double middle = std::floor((row.minimum + row.maximum) / 2);
    if (row.form == Form::kInterval) {
      // Milliseconds are whole: a fraction of a millisecond is dropped.
      EXPECT_EQ(ReadAfter(*config, row, Text(middle * 1000) + ".9"), middle);
      if (row.maximum - row.minimum >= 1) {
        EXPECT_EQ(ReadAfter(*config, row, Text(row.minimum * 1000 + 500)), row.minimum + 0.5);
      }
    } else {
      EXPECT_EQ(ReadAfter(*config, row, Text(middle) + ".9"), middle) << "fraction truncated";
    }
  }
}

TEST_F(RemoteConfigTableTest, ExportedConstantsMatchTheGetters) {
  auto config = Make();
  EXPECT_EQ(config->uploadingBackoffInterval(), kZIVConfigUploadingBackoffInterval);
  EXPECT_EQ(kZIVConfigUploadingBackoffIntervalMin, 3600);
  EXPECT_EQ(kZIVConfigUploadingBackoffIntervalMax, 604800);
  EXPECT_EQ(config->uploadMaxSizeLimitBytes(), kZIVConfigUploadMaxSizeLimitBytes);
  EXPECT_EQ(kZIVConfigAnalyticsAccountTimeZoneOffsetMinutesMin, -900);
  EXPECT_EQ(config->customerTypeEnabled(), kZIVConfigCustomerTypeEnabled);
  EXPECT_EQ(kZIVConfigMaxBundlesCreatedPerIterationMin, 1);
  EXPECT_EQ(kZIVConfigMaxBundlesCreatedPerIterationMax, 10000);
}

TEST_F(RemoteConfigTableTest, BundlesPerIterationIsACountSentThroughTheIntervalLookup) {
  auto config = Make();
  const char* key = "measurement.upload.max_bundles_created_per_iteration";
  struct Case {
    const char* sent;
    int32_t expected;
  } cases[] = {
      {nullptr, 100}, {"5000", 5},         {"5999", 5},       {"500", 100},
      {"1000", 1},    {"10000000", 10000}, {"10001000", 100}, {"x", 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent ? c.sent : "unset");
    if (c.sent) config->cacheValue(fnd::Value(c.sent), key);
    EXPECT_EQ(config->maxBundlesCreatedPerIteration(), c.expected);
  }
}

TEST_F(RemoteConfigTableTest, InternalParameterValuesAreNeverShorterThan256) {
  auto config = Make();
  const char* key = "measurement.upload.max_event_parameter_value_length";
  struct Case {
    const char* sent;
    int32_t publicLength;
    int32_t internalLength;
  } cases[] = {{"100", 100, 256}, {"256", 256, 256}, {"257", 257, 257}, {"500", 500, 500}};
  for (const Case& c : cases) {
    config->cacheValue(fnd::Value(c.sent), key);
    EXPECT_EQ(config->maxPublicEventParameterValueLength(), c.publicLength) << c.sent;
    EXPECT_EQ(config->maxInternalEventParameterValueLength(), c.internalLength) << c.sent;
  }
}

TEST_F(RemoteConfigTableTest, DebugModeLiftsThePSMStartCount) {
  ZIVTestMonitor monitor(clock_);
  ZIVRemoteConfigEnvironment environment;
  environment.monitor = monitor.get();
  auto config = Make(environment);
  config->cacheValue(fnd::Value("2"), "measurement.psm_start_count");
  EXPECT_EQ(config->maxPSMStartCount(), 2);
  monitor->setDebugModeEnabled(true);
  ASSERT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_EQ(config->maxPSMStartCount(), 10);
  monitor->setDebugModeEnabled(false);
  EXPECT_EQ(config->maxPSMStartCount(), 2);
}

TEST_F(RemoteConfigTableTest, ParsedValuesAreCachedAsNumbersAndNotCheckedAgain) {
  auto config = Make();
  const char* key = "measurement.upload.retry_time";
  config->cacheValue(fnd::Value("90000"), key);
  EXPECT_EQ(config->uploadingRetryInterval(), 90);
  // The cache now holds seconds; other bounds are not applied to a cached number.
  EXPECT_EQ(config->intValueFromCacheWithKey(key, 1, 10, 0), 90);

  config->cacheValue(fnd::Value("10"), key);  // 0.01 s, below the minimum of 60 s.
  EXPECT_EQ(config->uploadingRetryInterval(), 1800);

  const char* count = "measurement.audience.max_count";
  config->cacheValue(fnd::Value("abc"), count);
  EXPECT_EQ(config->maxAudienceCount(), 100);
  EXPECT_EQ(config->int64ValueFromCacheWithKey(count, 7), 100);

  // A value that is neither a string nor a number gives the default.
  sharedLog_.clear();
  config->cacheValue(fnd::Value(fnd::Data{1, 2}), count);
  EXPECT_EQ(config->maxAudienceCount(), 100);
  ExpectLogged(sharedLog_, 2, 29018, "Cannot parse number from non-string");
}

}  // namespace

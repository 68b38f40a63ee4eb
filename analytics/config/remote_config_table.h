// The server settings that ZIVRemoteConfig answers: one row per setting, with its key, default,
// minimum, maximum and kind (the row's value type). Each getter of remote_config.h reads its row in
// one line; a new setting is one row here and one getter there.
//
// A server value that cannot be parsed or lies outside the bounds yields the default, never the
// bound. A flag is true when the server value parses to 1, false when it parses to 0, and its
// default otherwise.
#pragma once

#include <cstdint>

// One row of the table. The value type says how the server's text is read: double is an interval
// in seconds (the server sends milliseconds), int32_t and int64_t are counts, bool is a flag
// (minimum and maximum unused).
template <typename T>
struct ZIVServerSetting {
  const char* key;
  T defaultValue;
  T minimum;
  T maximum;
};

// ZIV_SETTING(Name, type, key, default, minimum, maximum) makes the row kZIVSetting<Name> and
// exports kZIVConfig<Name>, kZIVConfig<Name>Max and kZIVConfig<Name>Min; ZIV_FLAG(Name, key,
// default) makes the row and kZIVConfig<Name>.
#define ZIV_SETTING(Name, Type, key, defaultValue, minimum, maximum)                              \
  inline constexpr ZIVServerSetting<Type> kZIVSetting##Name{key, defaultValue, minimum, maximum}; \
  inline constexpr Type kZIVConfig##Name = defaultValue;                                          \
  inline constexpr Type kZIVConfig##Name##Max = maximum;                                          \
  inline constexpr Type kZIVConfig##Name##Min = minimum
#define ZIV_FLAG(Name, key, defaultValue)                                                    \
  inline constexpr ZIVServerSetting<bool> kZIVSetting##Name{key, defaultValue, false, true}; \
  inline constexpr bool kZIVConfig##Name = defaultValue

// clang-format off

// Upload back-off after a 429/503 answer.
ZIV_SETTING(UploadingBackoffInterval, double, "measurement.upload.backoff_period", 43200, 3600, 604800);

// Audiences.
ZIV_SETTING(MaxAudienceCount, int32_t, "measurement.audience.max_count", 100, 0, 500);
ZIV_SETTING(MaxFiltersPerAudience, int32_t, "measurement.audience.filter_max_count_per_audience", 10, 0, 100);
ZIV_SETTING(MaxFilterResultCount, int32_t, "measurement.audience.filter_result_max_count", 200, 0, 2000);
ZIV_SETTING(MaxParametersPerFilter, int32_t, "measurement.audience.parameter_max_count_filter", 25, 0, 250);

// Stored data and queue time.
ZIV_SETTING(DatabaseDeleteStaleBundlesInterval, double, "measurement.upload.stale_data_deletion_interval", 86400, 3600, 604800);
ZIV_SETTING(MaxQueueTime, double, "measurement.upload.max_queue_time", 2419200, 604800, 7862400);

// Advertising identifier.
ZIV_SETTING(AdIDCacheTime, double, "measurement.ad_id_cache_time", 1, 0, 86400);
ZIV_FLAG(GateIDFAOnATTMASEnabled, "measurement.attmas_gate", false);

// Monitoring and network.
ZIV_SETTING(MonitoringSamplePeriod, double, "measurement.monitoring.sample_period_millis", 86400, 0, 604800);
ZIV_FLAG(IsNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled", false);
ZIV_SETTING(NetworkTimeout, double, "measurement.network.network_timeout", 60, 30, 3600);

// Sessions and engagement.
ZIV_SETTING(SessionDefaultTimeoutInterval, double, "measurement.session.default_timeout_interval", 1800, 0, 86400);
ZIV_SETTING(SessionEventUserEngagementInterval, double, "measurement.session.event_user_engagement_interval", 3600, 0, 86400);
ZIV_FLAG(EfficientEngagementReportingEnabled, "measurement.collection.efficient_engagement_reporting_enabled", false);
ZIV_FLAG(RedundantEngagementRemovalEnabled, "measurement.collection.redundant_engagement_removal_enabled", false);

// Daily caps and cardinality limits.
ZIV_SETTING(MaxConversionsPerDay, int32_t, "measurement.upload.max_conversions_per_day", 10000, 0, 1000000);
ZIV_SETTING(MaxEventsPerDay, int32_t, "measurement.upload.max_events_per_day", 100000, 0, 1000000);
ZIV_SETTING(MaxPublicEventsPerDay, int32_t, "measurement.upload.max_public_events_per_day", 50000, 0, 1000000);
ZIV_SETTING(MaxErrorEventsPerDay, int32_t, "measurement.upload.max_error_events_per_day", 1000, 0, 1000000);
ZIV_SETTING(MaxTrackedCurrencies, int32_t, "measurement.lifetimevalue.max_currency_tracked", 4, 1, 100);
ZIV_SETTING(MaxPublicUserProperties, int32_t, "measurement.upload.max_public_user_properties", 100, 25, 100);
ZIV_SETTING(MaxEventNameCardinality, int32_t, "measurement.upload.max_event_name_cardinality", 2000, 500, 2000);
ZIV_SETTING(MaxPublicEventParams, int32_t, "measurement.upload.max_public_event_params", 100, 25, 100);
ZIV_SETTING(MaxEventsStored, int32_t, "measurement.store.max_stored_events_per_app", 100000, 0, 1000000);

// Upload schedule and batch limits.
ZIV_SETTING(UploadingInterval, double, "measurement.upload.interval", 3600, 15, 86400);
ZIV_SETTING(UploadingInitialDelayInterval, double, "measurement.upload.initial_upload_delay_time", 15, 1, 86400);
ZIV_SETTING(UploadMaxBundlesLimit, int64_t, "measurement.upload.max_bundles", 100, 1, 10000);
ZIV_SETTING(UploadMaxEventsPerBundle, int64_t, "measurement.upload.max_events_per_bundle", 1000, 1, 1000000);
ZIV_SETTING(UploadMaxSizeLimitBytes, int64_t, "measurement.upload.max_batch_size", 65536, 0, 10485760);
ZIV_SETTING(UploadingRetryCount, int32_t, "measurement.upload.retry_count", 6, 1, 24);
ZIV_SETTING(UploadingRetryInterval, double, "measurement.upload.retry_time", 1800, 60, 86400);
// A count read through the interval lookup: the server value divided by 1000, truncated.
ZIV_SETTING(MaxBundlesCreatedPerIteration, double, "measurement.upload.max_bundles_created_per_iteration", 100, 1, 10000);
ZIV_SETTING(MaxRealtimeEventCountPerDay, int32_t, "measurement.upload.max_realtime_events_per_day", 10, 0, 10);
ZIV_SETTING(UploadingDebugModeInterval, double, "measurement.upload.debug_upload_interval", 1, 1, 15);
ZIV_SETTING(UploadingRealTimeInterval, double, "measurement.upload.realtime_upload_interval", 10, 10, 15);

// Event rules, sampling and checks.
ZIV_FLAG(BlocklistInternal, "measurement.upload.blacklist_internal", false);
ZIV_FLAG(BlocklistPublic, "measurement.upload.blacklist_public", false);
ZIV_FLAG(IsEventSamplingEnabled, "measurement.event_sampling_enabled", false);
ZIV_SETTING(AnalyticsAccountTimeZoneOffsetMinutes, int32_t, "measurement.account.time_zone_offset_minutes", 0, -900, 900);
ZIV_FLAG(ChecksumEnabled, "measurement.quality.checksum", false);
ZIV_FLAG(AppInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter", true);
ZIV_SETTING(MaxItemScopedCustomParameters, int32_t, "measurement.upload.max_item_scoped_custom_parameters", 27, 10, 35);
ZIV_SETTING(MaxPublicEventParameterValueLength, int32_t, "measurement.upload.max_event_parameter_value_length", 500, 100, 500);
// The floor of maxInternalEventParameterValueLength().
inline constexpr int32_t kZIVConfigMaxInternalEventParameterValueLength = 256;
ZIV_SETTING(MaxRealtimeDCUEventCountPerDay, int32_t, "measurement.dma.dcu_event_max_realtime_daily_count", 1, 0, 10);

// Privacy-safe matching.
ZIV_SETTING(MaxPSMStartCount, int32_t, "measurement.psm_start_count", 3, 0, 10);
// What maxPSMStartCount() answers while the monitor is in debug mode.
inline constexpr int32_t kZIVConfigMaxPSMStartCountDebugMode = 10;
ZIV_SETTING(MaxPSMRetryCount, int32_t, "measurement.psm_retry_count", 5, 0, 10);
ZIV_SETTING(PSMRetryInterval, double, "measurement.psm_retry_interval", 300, 30, 1800);
ZIV_SETTING(HashPrefixBitLengthEmail, int32_t, "measurement.psm_prefix_email", 14, 6, 20);
ZIV_SETTING(HashPrefixBitLengthPhone, int32_t, "measurement.psm_prefix_phone", 11, 6, 18);
ZIV_SETTING(MaxSignInDelayInDays, int32_t, "measurement.psm_signin_delay", 60, 7, 90);
ZIV_FLAG(PSMSessionStartEnabled, "measurement.psm_session_start_enabled", true);
ZIV_SETTING(PSMSessionStartHashPrefixBitLengthEmail, int32_t, "measurement.psm_session_prefix_email", 13, 6, 20);
ZIV_SETTING(PSMSessionStartHashPrefixBitLengthPhone, int32_t, "measurement.psm_session_prefix_phone", 11, 6, 18);
ZIV_FLAG(PSMGroupIDEnabled, "measurement.psm_group_id_enabled", true);
ZIV_SETTING(PSMGroupIDHashPrefixBitLengthEmail, int32_t, "measurement.psm_group_id_prefix_email", 22, 6, 30);

// On-device conversion, deferred deep links, attribution and configuration cache.
ZIV_FLAG(AdsOnDeviceConversionFeatureEnabled, "measurement.odm2_enabled", false);
ZIV_FLAG(IsDeferredDeepLinkEnabled, "measurement.ddl.enabled", true);
ZIV_SETTING(MaxDeferredDeepLinkRetryCount, int32_t, "measurement.ddl.retry_count", 5, 0, 10);
ZIV_SETTING(AttributionCacheTTLInterval, double, "measurement.attribution.cache.ttl", 604800, 86400, 2592000);
ZIV_SETTING(RemoteConfigCacheTimeInterval, double, "measurement.config.cache_time", 3600, 60, 86400);
ZIV_FLAG(SessionStitchingTokenFeatureEnabled, "measurement.session_stitching_token_enabled", false);

// Conversion-value updates.
ZIV_FLAG(SKANUpdateConversionValueEnabled, "measurement.skan.update_conversion_value_enabled", false);
ZIV_SETTING(SKANInitialCVFetchDelay, double, "measurement.skan.initial_cv_fetch_delay_sec", 120, 30, 3600);
ZIV_SETTING(SKANCVFetchRetryInterval, double, "measurement.skan.cv_fetch_retry_interval_sec", 120, 30, 3600);
ZIV_SETTING(SKANCVFetchRetryLimit, int32_t, "measurement.skan.cv_fetch_retry_limit", 4, 1, 10);
ZIV_SETTING(SKANFirstWindowCVFetchDelay, double, "measurement.skan.first_window.initial_cv_fetch_delay_sec", 20, 1, 3600);
ZIV_SETTING(SKANFirstWindowCVFetchRetryInterval, double, "measurement.skan.first_window.cv_fetch_retry_interval_sec", 120, 30, 3600);
ZIV_SETTING(SKANFirstWindowCVFetchRetryLimit, int32_t, "measurement.skan.first_window.cv_fetch_retry_limit", 4, 1, 10);
ZIV_SETTING(SKANFirstWindowUploadInterval, double, "measurement.skan.first_window.upload_interval_sec", 1800, 15, 86400);

ZIV_FLAG(CustomerTypeEnabled, "measurement.customer_type_enabled", true);

// Server-side tagging upload starts from this flag (see ZIVRemoteConfig::SGTMUploadEnabled()).
ZIV_FLAG(SGTMUploadEnabled, "measurement.sgtm_upload_enabled", true);
// clang-format on

#undef ZIV_SETTING
#undef ZIV_FLAG

// Per-event sampling rates (ZIVRemoteConfig::samplingRateForEvent()).
inline constexpr int32_t kZIVConfigSamplingRate = 1;
inline constexpr int32_t kZIVConfigSamplingRateMax = 65535;
inline constexpr int32_t kZIVConfigSamplingRateMin = 2;

// The defaults and bounds of every typed server setting that ZIVRemoteConfig answers (the getters
// are declared in remote_config.h and defined in remote_config_table.cpp).
//
// Each setting exports its default as kZIVConfig<Setting>, and, unless it is a flag, its bounds
// as kZIVConfig<Setting>Max and kZIVConfig<Setting>Min. Interval settings are in seconds (the
// server sends milliseconds); count settings are integers. A server value that cannot be parsed
// or lies outside the bounds yields the default, never the bound. A flag is true when the server
// value parses to 1, false when it parses to 0, and its default otherwise.
#pragma once

#include <cstdint>

// Upload back-off after a 429/503 answer.
inline constexpr double kZIVConfigUploadingBackoffInterval = 43200;
inline constexpr double kZIVConfigUploadingBackoffIntervalMax = 604800;
inline constexpr double kZIVConfigUploadingBackoffIntervalMin = 3600;

// Audiences.
inline constexpr int32_t kZIVConfigMaxAudienceCount = 100;
inline constexpr int32_t kZIVConfigMaxAudienceCountMax = 500;
inline constexpr int32_t kZIVConfigMaxAudienceCountMin = 0;
inline constexpr int32_t kZIVConfigMaxFiltersPerAudience = 10;
inline constexpr int32_t kZIVConfigMaxFiltersPerAudienceMax = 100;
inline constexpr int32_t kZIVConfigMaxFiltersPerAudienceMin = 0;
inline constexpr int32_t kZIVConfigMaxFilterResultCount = 200;
inline constexpr int32_t kZIVConfigMaxFilterResultCountMax = 2000;
inline constexpr int32_t kZIVConfigMaxFilterResultCountMin = 0;
inline constexpr int32_t kZIVConfigMaxParametersPerFilter = 25;
inline constexpr int32_t kZIVConfigMaxParametersPerFilterMax = 250;
inline constexpr int32_t kZIVConfigMaxParametersPerFilterMin = 0;

// Stored data and queue time.
inline constexpr double kZIVConfigDatabaseDeleteStaleBundlesInterval = 86400;
inline constexpr double kZIVConfigDatabaseDeleteStaleBundlesIntervalMax = 604800;
inline constexpr double kZIVConfigDatabaseDeleteStaleBundlesIntervalMin = 3600;
inline constexpr double kZIVConfigMaxQueueTime = 2419200;
inline constexpr double kZIVConfigMaxQueueTimeMax = 7862400;
inline constexpr double kZIVConfigMaxQueueTimeMin = 604800;

// Advertising identifier.
inline constexpr double kZIVConfigAdIDCacheTime = 1;
inline constexpr double kZIVConfigAdIDCacheTimeMax = 86400;
inline constexpr double kZIVConfigAdIDCacheTimeMin = 0;
inline constexpr bool kZIVConfigGateIDFAOnATTMASEnabled = false;

// Monitoring and network.
inline constexpr double kZIVConfigMonitoringSamplePeriod = 86400;
inline constexpr double kZIVConfigMonitoringSamplePeriodMax = 604800;
inline constexpr double kZIVConfigMonitoringSamplePeriodMin = 0;
inline constexpr bool kZIVConfigIsNetworkBackgroundSessionEnabled = false;
inline constexpr double kZIVConfigNetworkTimeout = 60;
inline constexpr double kZIVConfigNetworkTimeoutMax = 3600;
inline constexpr double kZIVConfigNetworkTimeoutMin = 30;

// Sessions and engagement.
inline constexpr double kZIVConfigSessionDefaultTimeoutInterval = 1800;
inline constexpr double kZIVConfigSessionDefaultTimeoutIntervalMax = 86400;
inline constexpr double kZIVConfigSessionDefaultTimeoutIntervalMin = 0;
inline constexpr double kZIVConfigSessionEventUserEngagementInterval = 3600;
inline constexpr double kZIVConfigSessionEventUserEngagementIntervalMax = 86400;
inline constexpr double kZIVConfigSessionEventUserEngagementIntervalMin = 0;
inline constexpr bool kZIVConfigEfficientEngagementReportingEnabled = false;
inline constexpr bool kZIVConfigRedundantEngagementRemovalEnabled = false;

// Daily caps and cardinality limits.
inline constexpr int32_t kZIVConfigMaxConversionsPerDay = 10000;
inline constexpr int32_t kZIVConfigMaxConversionsPerDayMax = 1000000;
inline constexpr int32_t kZIVConfigMaxConversionsPerDayMin = 0;
inline constexpr int32_t kZIVConfigMaxEventsPerDay = 100000;
inline constexpr int32_t kZIVConfigMaxEventsPerDayMax = 1000000;
inline constexpr int32_t kZIVConfigMaxEventsPerDayMin = 0;
inline constexpr int32_t kZIVConfigMaxPublicEventsPerDay = 50000;
inline constexpr int32_t kZIVConfigMaxPublicEventsPerDayMax = 1000000;
inline constexpr int32_t kZIVConfigMaxPublicEventsPerDayMin = 0;
inline constexpr int32_t kZIVConfigMaxErrorEventsPerDay = 1000;
inline constexpr int32_t kZIVConfigMaxErrorEventsPerDayMax = 1000000;
inline constexpr int32_t kZIVConfigMaxErrorEventsPerDayMin = 0;
inline constexpr int32_t kZIVConfigMaxTrackedCurrencies = 4;
inline constexpr int32_t kZIVConfigMaxTrackedCurrenciesMax = 100;
inline constexpr int32_t kZIVConfigMaxTrackedCurrenciesMin = 1;
inline constexpr int32_t kZIVConfigMaxPublicUserProperties = 100;
inline constexpr int32_t kZIVConfigMaxPublicUserPropertiesMax = 100;
inline constexpr int32_t kZIVConfigMaxPublicUserPropertiesMin = 25;
inline constexpr int32_t kZIVConfigMaxEventNameCardinality = 2000;
inline constexpr int32_t kZIVConfigMaxEventNameCardinalityMax = 2000;
inline constexpr int32_t kZIVConfigMaxEventNameCardinalityMin = 500;
inline constexpr int32_t kZIVConfigMaxPublicEventParams = 100;
inline constexpr int32_t kZIVConfigMaxPublicEventParamsMax = 100;
inline constexpr int32_t kZIVConfigMaxPublicEventParamsMin = 25;
inline constexpr int32_t kZIVConfigMaxEventsStored = 100000;
inline constexpr int32_t kZIVConfigMaxEventsStoredMax = 1000000;
inline constexpr int32_t kZIVConfigMaxEventsStoredMin = 0;

// Upload schedule and batch limits.
inline constexpr double kZIVConfigUploadingInterval = 3600;
inline constexpr double kZIVConfigUploadingIntervalMax = 86400;
inline constexpr double kZIVConfigUploadingIntervalMin = 15;
inline constexpr double kZIVConfigUploadingInitialDelayInterval = 15;
inline constexpr double kZIVConfigUploadingInitialDelayIntervalMax = 86400;
inline constexpr double kZIVConfigUploadingInitialDelayIntervalMin = 1;
inline constexpr int64_t kZIVConfigUploadMaxBundlesLimit = 100;
inline constexpr int64_t kZIVConfigUploadMaxBundlesLimitMax = 10000;
inline constexpr int64_t kZIVConfigUploadMaxBundlesLimitMin = 1;
inline constexpr int64_t kZIVConfigUploadMaxEventsPerBundle = 1000;
inline constexpr int64_t kZIVConfigUploadMaxEventsPerBundleMax = 1000000;
inline constexpr int64_t kZIVConfigUploadMaxEventsPerBundleMin = 1;
inline constexpr int64_t kZIVConfigUploadMaxSizeLimitBytes = 65536;
inline constexpr int64_t kZIVConfigUploadMaxSizeLimitBytesMax = 10485760;
inline constexpr int64_t kZIVConfigUploadMaxSizeLimitBytesMin = 0;
inline constexpr int32_t kZIVConfigUploadingRetryCount = 6;
inline constexpr int32_t kZIVConfigUploadingRetryCountMax = 24;
inline constexpr int32_t kZIVConfigUploadingRetryCountMin = 1;
inline constexpr double kZIVConfigUploadingRetryInterval = 1800;
inline constexpr double kZIVConfigUploadingRetryIntervalMax = 86400;
inline constexpr double kZIVConfigUploadingRetryIntervalMin = 60;
// A count read through the interval lookup: the server value divided by 1000, truncated.
inline constexpr double kZIVConfigMaxBundlesCreatedPerIteration = 100;
inline constexpr double kZIVConfigMaxBundlesCreatedPerIterationMax = 10000;
inline constexpr double kZIVConfigMaxBundlesCreatedPerIterationMin = 1;
inline constexpr int32_t kZIVConfigMaxRealtimeEventCountPerDay = 10;
inline constexpr int32_t kZIVConfigMaxRealtimeEventCountPerDayMax = 10;
inline constexpr int32_t kZIVConfigMaxRealtimeEventCountPerDayMin = 0;
inline constexpr double kZIVConfigUploadingDebugModeInterval = 1;
inline constexpr double kZIVConfigUploadingDebugModeIntervalMax = 15;
inline constexpr double kZIVConfigUploadingDebugModeIntervalMin = 1;
inline constexpr double kZIVConfigUploadingRealTimeInterval = 10;
inline constexpr double kZIVConfigUploadingRealTimeIntervalMax = 15;
inline constexpr double kZIVConfigUploadingRealTimeIntervalMin = 10;

// Event rules, sampling and checks.
inline constexpr bool kZIVConfigBlocklistInternal = false;
inline constexpr bool kZIVConfigBlocklistPublic = false;
inline constexpr bool kZIVConfigIsEventSamplingEnabled = false;
inline constexpr int32_t kZIVConfigAnalyticsAccountTimeZoneOffsetMinutes = 0;
inline constexpr int32_t kZIVConfigAnalyticsAccountTimeZoneOffsetMinutesMax = 900;
inline constexpr int32_t kZIVConfigAnalyticsAccountTimeZoneOffsetMinutesMin = -900;
inline constexpr bool kZIVConfigChecksumEnabled = false;
inline constexpr bool kZIVConfigAppInBackgroundParameterEnabled = true;
inline constexpr int32_t kZIVConfigMaxItemScopedCustomParameters = 27;
inline constexpr int32_t kZIVConfigMaxItemScopedCustomParametersMax = 35;
inline constexpr int32_t kZIVConfigMaxItemScopedCustomParametersMin = 10;
inline constexpr int32_t kZIVConfigMaxPublicEventParameterValueLength = 500;
inline constexpr int32_t kZIVConfigMaxPublicEventParameterValueLengthMax = 500;
inline constexpr int32_t kZIVConfigMaxPublicEventParameterValueLengthMin = 100;
// The floor of maxInternalEventParameterValueLength().
inline constexpr int32_t kZIVConfigMaxInternalEventParameterValueLength = 256;
inline constexpr int32_t kZIVConfigMaxRealtimeDCUEventCountPerDay = 1;
inline constexpr int32_t kZIVConfigMaxRealtimeDCUEventCountPerDayMax = 10;
inline constexpr int32_t kZIVConfigMaxRealtimeDCUEventCountPerDayMin = 0;

// Privacy-safe matching.
inline constexpr int32_t kZIVConfigMaxPSMStartCount = 3;
inline constexpr int32_t kZIVConfigMaxPSMStartCountMax = 10;
inline constexpr int32_t kZIVConfigMaxPSMStartCountMin = 0;
// What maxPSMStartCount() answers while the monitor is in debug mode.
inline constexpr int32_t kZIVConfigMaxPSMStartCountDebugMode = 10;
inline constexpr int32_t kZIVConfigMaxPSMRetryCount = 5;
inline constexpr int32_t kZIVConfigMaxPSMRetryCountMax = 10;
inline constexpr int32_t kZIVConfigMaxPSMRetryCountMin = 0;
inline constexpr double kZIVConfigPSMRetryInterval = 300;
inline constexpr double kZIVConfigPSMRetryIntervalMax = 1800;
inline constexpr double kZIVConfigPSMRetryIntervalMin = 30;
inline constexpr int32_t kZIVConfigHashPrefixBitLengthEmail = 14;
inline constexpr int32_t kZIVConfigHashPrefixBitLengthEmailMax = 20;
inline constexpr int32_t kZIVConfigHashPrefixBitLengthEmailMin = 6;
inline constexpr int32_t kZIVConfigHashPrefixBitLengthPhone = 11;
inline constexpr int32_t kZIVConfigHashPrefixBitLengthPhoneMax = 18;
inline constexpr int32_t kZIVConfigHashPrefixBitLengthPhoneMin = 6;
inline constexpr int32_t kZIVConfigMaxSignInDelayInDays = 60;
inline constexpr int32_t kZIVConfigMaxSignInDelayInDaysMax = 90;
inline constexpr int32_t kZIVConfigMaxSignInDelayInDaysMin = 7;
inline constexpr bool kZIVConfigPSMSessionStartEnabled = true;
inline constexpr int32_t kZIVConfigPSMSessionStartHashPrefixBitLengthEmail = 13;
inline constexpr int32_t kZIVConfigPSMSessionStartHashPrefixBitLengthEmailMax = 20;
inline constexpr int32_t kZIVConfigPSMSessionStartHashPrefixBitLengthEmailMin = 6;
inline constexpr int32_t kZIVConfigPSMSessionStartHashPrefixBitLengthPhone = 11;
inline constexpr int32_t kZIVConfigPSMSessionStartHashPrefixBitLengthPhoneMax = 18;
inline constexpr int32_t kZIVConfigPSMSessionStartHashPrefixBitLengthPhoneMin = 6;
inline constexpr bool kZIVConfigPSMGroupIDEnabled = true;
inline constexpr int32_t kZIVConfigPSMGroupIDHashPrefixBitLengthEmail = 22;
inline constexpr int32_t kZIVConfigPSMGroupIDHashPrefixBitLengthEmailMax = 30;
inline constexpr int32_t kZIVConfigPSMGroupIDHashPrefixBitLengthEmailMin = 6;

// On-device conversion, deferred deep links, attribution and configuration cache.
inline constexpr bool kZIVConfigAdsOnDeviceConversionFeatureEnabled = false;
inline constexpr bool kZIVConfigIsDeferredDeepLinkEnabled = true;
inline constexpr int32_t kZIVConfigMaxDeferredDeepLinkRetryCount = 5;
inline constexpr int32_t kZIVConfigMaxDeferredDeepLinkRetryCountMax = 10;
inline constexpr int32_t kZIVConfigMaxDeferredDeepLinkRetryCountMin = 0;
inline constexpr double kZIVConfigAttributionCacheTTLInterval = 604800;
inline constexpr double kZIVConfigAttributionCacheTTLIntervalMax = 2592000;
inline constexpr double kZIVConfigAttributionCacheTTLIntervalMin = 86400;
inline constexpr double kZIVConfigRemoteConfigCacheTimeInterval = 3600;
inline constexpr double kZIVConfigRemoteConfigCacheTimeIntervalMax = 86400;
inline constexpr double kZIVConfigRemoteConfigCacheTimeIntervalMin = 60;
inline constexpr bool kZIVConfigSessionStitchingTokenFeatureEnabled = false;

// Conversion-value updates.
inline constexpr bool kZIVConfigSKANUpdateConversionValueEnabled = false;
inline constexpr double kZIVConfigSKANInitialCVFetchDelay = 120;
inline constexpr double kZIVConfigSKANInitialCVFetchDelayMax = 3600;
inline constexpr double kZIVConfigSKANInitialCVFetchDelayMin = 30;
inline constexpr double kZIVConfigSKANCVFetchRetryInterval = 120;
inline constexpr double kZIVConfigSKANCVFetchRetryIntervalMax = 3600;
inline constexpr double kZIVConfigSKANCVFetchRetryIntervalMin = 30;
inline constexpr int32_t kZIVConfigSKANCVFetchRetryLimit = 4;
inline constexpr int32_t kZIVConfigSKANCVFetchRetryLimitMax = 10;
inline constexpr int32_t kZIVConfigSKANCVFetchRetryLimitMin = 1;
inline constexpr double kZIVConfigSKANFirstWindowCVFetchDelay = 20;
inline constexpr double kZIVConfigSKANFirstWindowCVFetchDelayMax = 3600;
inline constexpr double kZIVConfigSKANFirstWindowCVFetchDelayMin = 1;
inline constexpr double kZIVConfigSKANFirstWindowCVFetchRetryInterval = 120;
inline constexpr double kZIVConfigSKANFirstWindowCVFetchRetryIntervalMax = 3600;
inline constexpr double kZIVConfigSKANFirstWindowCVFetchRetryIntervalMin = 30;
inline constexpr int32_t kZIVConfigSKANFirstWindowCVFetchRetryLimit = 4;
inline constexpr int32_t kZIVConfigSKANFirstWindowCVFetchRetryLimitMax = 10;
inline constexpr int32_t kZIVConfigSKANFirstWindowCVFetchRetryLimitMin = 1;
inline constexpr double kZIVConfigSKANFirstWindowUploadInterval = 1800;
inline constexpr double kZIVConfigSKANFirstWindowUploadIntervalMax = 86400;
inline constexpr double kZIVConfigSKANFirstWindowUploadIntervalMin = 15;

inline constexpr bool kZIVConfigCustomerTypeEnabled = true;

// Server-side tagging upload starts from this flag (see ZIVRemoteConfig::SGTMUploadEnabled()).
inline constexpr bool kZIVConfigSGTMUploadEnabled = true;

// Per-event sampling rates (ZIVRemoteConfig::samplingRateForEvent()).
inline constexpr int32_t kZIVConfigSamplingRate = 1;
inline constexpr int32_t kZIVConfigSamplingRateMax = 65535;
inline constexpr int32_t kZIVConfigSamplingRateMin = 2;

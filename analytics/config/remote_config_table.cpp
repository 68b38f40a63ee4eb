// The typed getters of the settings table: each reads its key with its lookup form, default and
// bounds (remote_config_table.h).
#include <cmath>
#include <cstdint>

#include "analytics/config/remote_config.h"
#include "analytics/foundation/monitor.h"

namespace {

// A double as a 32-bit integer, truncated; NaN reads as 0 and values beyond the range saturate.
int32_t TruncatedInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

double ZIVRemoteConfig::uploadingBackoffInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.upload.backoff_period", kZIVConfigUploadingBackoffInterval,
      kZIVConfigUploadingBackoffIntervalMax, kZIVConfigUploadingBackoffIntervalMin);
}

int32_t ZIVRemoteConfig::maxAudienceCount() const {
  return intValueFromCacheWithKey("measurement.audience.max_count", kZIVConfigMaxAudienceCount,
                                  kZIVConfigMaxAudienceCountMax, kZIVConfigMaxAudienceCountMin);
}

int32_t ZIVRemoteConfig::maxFiltersPerAudience() const {
  return intValueFromCacheWithKey(
      "measurement.audience.filter_max_count_per_audience", kZIVConfigMaxFiltersPerAudience,
      kZIVConfigMaxFiltersPerAudienceMax, kZIVConfigMaxFiltersPerAudienceMin);
}

int32_t ZIVRemoteConfig::maxFilterResultCount() const {
  return intValueFromCacheWithKey("measurement.audience.filter_result_max_count",
                                  kZIVConfigMaxFilterResultCount, kZIVConfigMaxFilterResultCountMax,
                                  kZIVConfigMaxFilterResultCountMin);
}

int32_t ZIVRemoteConfig::maxParametersPerFilter() const {
  return intValueFromCacheWithKey(
      "measurement.audience.parameter_max_count_filter", kZIVConfigMaxParametersPerFilter,
      kZIVConfigMaxParametersPerFilterMax, kZIVConfigMaxParametersPerFilterMin);
}

double ZIVRemoteConfig::databaseDeleteStaleBundlesInterval() const {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.stale_data_deletion_interval",
                                               kZIVConfigDatabaseDeleteStaleBundlesInterval,
                                               kZIVConfigDatabaseDeleteStaleBundlesIntervalMax,
                                               kZIVConfigDatabaseDeleteStaleBundlesIntervalMin);
}

double ZIVRemoteConfig::maxQueueTime() const {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.max_queue_time",
                                               kZIVConfigMaxQueueTime, kZIVConfigMaxQueueTimeMax,
                                               kZIVConfigMaxQueueTimeMin);
}

double ZIVRemoteConfig::adIDCacheTime() const {
  return timeIntervalInSecondsFromCacheWithKey("measurement.ad_id_cache_time",
                                               kZIVConfigAdIDCacheTime, kZIVConfigAdIDCacheTimeMax,
                                               kZIVConfigAdIDCacheTimeMin);
}

bool ZIVRemoteConfig::gateIDFAOnATTMASEnabled() const {
  return boolValueFromCacheWithKey("measurement.attmas_gate", kZIVConfigGateIDFAOnATTMASEnabled);
}

double ZIVRemoteConfig::monitoringSamplePeriod() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.monitoring.sample_period_millis", kZIVConfigMonitoringSamplePeriod,
      kZIVConfigMonitoringSamplePeriodMax, kZIVConfigMonitoringSamplePeriodMin);
}

bool ZIVRemoteConfig::isNetworkBackgroundSessionEnabled() const {
  return boolValueFromCacheWithKey("measurement.network.background_session_enabled",
                                   kZIVConfigIsNetworkBackgroundSessionEnabled);
}

double ZIVRemoteConfig::networkTimeout() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.network.network_timeout", kZIVConfigNetworkTimeout, kZIVConfigNetworkTimeoutMax,
      kZIVConfigNetworkTimeoutMin);
}

double ZIVRemoteConfig::sessionDefaultTimeoutInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.session.default_timeout_interval", kZIVConfigSessionDefaultTimeoutInterval,
      kZIVConfigSessionDefaultTimeoutIntervalMax, kZIVConfigSessionDefaultTimeoutIntervalMin);
}

double ZIVRemoteConfig::sessionEventUserEngagementInterval() const {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.event_user_engagement_interval",
                                               kZIVConfigSessionEventUserEngagementInterval,
                                               kZIVConfigSessionEventUserEngagementIntervalMax,
                                               kZIVConfigSessionEventUserEngagementIntervalMin);
}

bool ZIVRemoteConfig::efficientEngagementReportingEnabled() const {
  return boolValueFromCacheWithKey("measurement.collection.efficient_engagement_reporting_enabled",
                                   kZIVConfigEfficientEngagementReportingEnabled);
}

bool ZIVRemoteConfig::redundantEngagementRemovalEnabled() const {
  return boolValueFromCacheWithKey("measurement.collection.redundant_engagement_removal_enabled",
                                   kZIVConfigRedundantEngagementRemovalEnabled);
}

int32_t ZIVRemoteConfig::maxConversionsPerDay() const {
  return intValueFromCacheWithKey("measurement.upload.max_conversions_per_day",
                                  kZIVConfigMaxConversionsPerDay, kZIVConfigMaxConversionsPerDayMax,
                                  kZIVConfigMaxConversionsPerDayMin);
}

int32_t ZIVRemoteConfig::maxEventsPerDay() const {
  return intValueFromCacheWithKey("measurement.upload.max_events_per_day",
                                  kZIVConfigMaxEventsPerDay, kZIVConfigMaxEventsPerDayMax,
                                  kZIVConfigMaxEventsPerDayMin);
}

int32_t ZIVRemoteConfig::maxPublicEventsPerDay() const {
  return intValueFromCacheWithKey(
      "measurement.upload.max_public_events_per_day", kZIVConfigMaxPublicEventsPerDay,
      kZIVConfigMaxPublicEventsPerDayMax, kZIVConfigMaxPublicEventsPerDayMin);
}

int32_t ZIVRemoteConfig::maxErrorEventsPerDay() const {
  return intValueFromCacheWithKey("measurement.upload.max_error_events_per_day",
                                  kZIVConfigMaxErrorEventsPerDay, kZIVConfigMaxErrorEventsPerDayMax,
                                  kZIVConfigMaxErrorEventsPerDayMin);
}

int32_t ZIVRemoteConfig::maxTrackedCurrencies() const {
  return intValueFromCacheWithKey("measurement.lifetimevalue.max_currency_tracked",
                                  kZIVConfigMaxTrackedCurrencies, kZIVConfigMaxTrackedCurrenciesMax,
                                  kZIVConfigMaxTrackedCurrenciesMin);
}

int32_t ZIVRemoteConfig::maxPublicUserProperties() const {
  return intValueFromCacheWithKey(
      "measurement.upload.max_public_user_properties", kZIVConfigMaxPublicUserProperties,
      kZIVConfigMaxPublicUserPropertiesMax, kZIVConfigMaxPublicUserPropertiesMin);
}

int32_t ZIVRemoteConfig::maxEventNameCardinality() const {
  return intValueFromCacheWithKey(
      "measurement.upload.max_event_name_cardinality", kZIVConfigMaxEventNameCardinality,
      kZIVConfigMaxEventNameCardinalityMax, kZIVConfigMaxEventNameCardinalityMin);
}

int32_t ZIVRemoteConfig::maxPublicEventParams() const {
  return intValueFromCacheWithKey("measurement.upload.max_public_event_params",
                                  kZIVConfigMaxPublicEventParams, kZIVConfigMaxPublicEventParamsMax,
                                  kZIVConfigMaxPublicEventParamsMin);
}

int64_t ZIVRemoteConfig::maxEventsStored() const {
  return intValueFromCacheWithKey("measurement.store.max_stored_events_per_app",
                                  kZIVConfigMaxEventsStored, kZIVConfigMaxEventsStoredMax,
                                  kZIVConfigMaxEventsStoredMin);
}

double ZIVRemoteConfig::uploadingInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.upload.interval", kZIVConfigUploadingInterval, kZIVConfigUploadingIntervalMax,
      kZIVConfigUploadingIntervalMin);
}

double ZIVRemoteConfig::uploadingInitialDelayInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.upload.initial_upload_delay_time", kZIVConfigUploadingInitialDelayInterval,
      kZIVConfigUploadingInitialDelayIntervalMax, kZIVConfigUploadingInitialDelayIntervalMin);
}

int64_t ZIVRemoteConfig::uploadMaxBundlesLimit() const {
  return int64ValueFromCacheWithKey(
      "measurement.upload.max_bundles", kZIVConfigUploadMaxBundlesLimit,
      kZIVConfigUploadMaxBundlesLimitMax, kZIVConfigUploadMaxBundlesLimitMin);
}

int64_t ZIVRemoteConfig::uploadMaxEventsPerBundle() const {
  return int64ValueFromCacheWithKey(
      "measurement.upload.max_events_per_bundle", kZIVConfigUploadMaxEventsPerBundle,
      kZIVConfigUploadMaxEventsPerBundleMax, kZIVConfigUploadMaxEventsPerBundleMin);
}

int64_t ZIVRemoteConfig::uploadMaxSizeLimitBytes() const {
  return int64ValueFromCacheWithKey(
      "measurement.upload.max_batch_size", kZIVConfigUploadMaxSizeLimitBytes,
      kZIVConfigUploadMaxSizeLimitBytesMax, kZIVConfigUploadMaxSizeLimitBytesMin);
}

int32_t ZIVRemoteConfig::uploadingRetryCount() const {
  return intValueFromCacheWithKey("measurement.upload.retry_count", kZIVConfigUploadingRetryCount,
                                  kZIVConfigUploadingRetryCountMax,
                                  kZIVConfigUploadingRetryCountMin);
}

double ZIVRemoteConfig::uploadingRetryInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.upload.retry_time", kZIVConfigUploadingRetryInterval,
      kZIVConfigUploadingRetryIntervalMax, kZIVConfigUploadingRetryIntervalMin);
}

// A count sent through the interval lookup: the server value divided by 1000, truncated.
int32_t ZIVRemoteConfig::maxBundlesCreatedPerIteration() const {
  return TruncatedInt32(timeIntervalInSecondsFromCacheWithKey(
      "measurement.upload.max_bundles_created_per_iteration",
      kZIVConfigMaxBundlesCreatedPerIteration, kZIVConfigMaxBundlesCreatedPerIterationMax,
      kZIVConfigMaxBundlesCreatedPerIterationMin));
}

int32_t ZIVRemoteConfig::maxRealtimeEventCountPerDay() const {
  return intValueFromCacheWithKey(
      "measurement.upload.max_realtime_events_per_day", kZIVConfigMaxRealtimeEventCountPerDay,
      kZIVConfigMaxRealtimeEventCountPerDayMax, kZIVConfigMaxRealtimeEventCountPerDayMin);
}

double ZIVRemoteConfig::uploadingDebugModeInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.upload.debug_upload_interval", kZIVConfigUploadingDebugModeInterval,
      kZIVConfigUploadingDebugModeIntervalMax, kZIVConfigUploadingDebugModeIntervalMin);
}

double ZIVRemoteConfig::uploadingRealTimeInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.upload.realtime_upload_interval", kZIVConfigUploadingRealTimeInterval,
      kZIVConfigUploadingRealTimeIntervalMax, kZIVConfigUploadingRealTimeIntervalMin);
}

bool ZIVRemoteConfig::blocklistInternal() const {
  return boolValueFromCacheWithKey("measurement.upload.blacklist_internal",
                                   kZIVConfigBlocklistInternal);
}

bool ZIVRemoteConfig::blocklistPublic() const {
  return boolValueFromCacheWithKey("measurement.upload.blacklist_public",
                                   kZIVConfigBlocklistPublic);
}

bool ZIVRemoteConfig::isEventSamplingEnabled() const {
  return boolValueFromCacheWithKey("measurement.event_sampling_enabled",
                                   kZIVConfigIsEventSamplingEnabled);
}

int32_t ZIVRemoteConfig::analyticsAccountTimeZoneOffsetMinutes() const {
  return intValueFromCacheWithKey("measurement.account.time_zone_offset_minutes",
                                  kZIVConfigAnalyticsAccountTimeZoneOffsetMinutes,
                                  kZIVConfigAnalyticsAccountTimeZoneOffsetMinutesMax,
                                  kZIVConfigAnalyticsAccountTimeZoneOffsetMinutesMin);
}

bool ZIVRemoteConfig::checksumEnabled() const {
  return boolValueFromCacheWithKey("measurement.quality.checksum", kZIVConfigChecksumEnabled);
}

bool ZIVRemoteConfig::appInBackgroundParameterEnabled() const {
  return boolValueFromCacheWithKey("measurement.lifecycle.app_in_background_parameter",
                                   kZIVConfigAppInBackgroundParameterEnabled);
}

int32_t ZIVRemoteConfig::maxItemScopedCustomParameters() const {
  return intValueFromCacheWithKey("measurement.upload.max_item_scoped_custom_parameters",
                                  kZIVConfigMaxItemScopedCustomParameters,
                                  kZIVConfigMaxItemScopedCustomParametersMax,
                                  kZIVConfigMaxItemScopedCustomParametersMin);
}

int32_t ZIVRemoteConfig::maxPublicEventParameterValueLength() const {
  return intValueFromCacheWithKey("measurement.upload.max_event_parameter_value_length",
                                  kZIVConfigMaxPublicEventParameterValueLength,
                                  kZIVConfigMaxPublicEventParameterValueLengthMax,
                                  kZIVConfigMaxPublicEventParameterValueLengthMin);
}

int32_t ZIVRemoteConfig::maxRealtimeDCUEventCountPerDay() const {
  return intValueFromCacheWithKey("measurement.dma.dcu_event_max_realtime_daily_count",
                                  kZIVConfigMaxRealtimeDCUEventCountPerDay,
                                  kZIVConfigMaxRealtimeDCUEventCountPerDayMax,
                                  kZIVConfigMaxRealtimeDCUEventCountPerDayMin);
}

// Debug mode lifts the limit so that a developer can try matching repeatedly.
int32_t ZIVRemoteConfig::maxPSMStartCount() const {
  if (monitor().isDebugModeEnabled()) return kZIVConfigMaxPSMStartCountDebugMode;
  return intValueFromCacheWithKey("measurement.psm_start_count", kZIVConfigMaxPSMStartCount,
                                  kZIVConfigMaxPSMStartCountMax, kZIVConfigMaxPSMStartCountMin);
}

int32_t ZIVRemoteConfig::maxPSMRetryCount() const {
  return intValueFromCacheWithKey("measurement.psm_retry_count", kZIVConfigMaxPSMRetryCount,
                                  kZIVConfigMaxPSMRetryCountMax, kZIVConfigMaxPSMRetryCountMin);
}

double ZIVRemoteConfig::PSMRetryInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.psm_retry_interval", kZIVConfigPSMRetryInterval, kZIVConfigPSMRetryIntervalMax,
      kZIVConfigPSMRetryIntervalMin);
}

int32_t ZIVRemoteConfig::hashPrefixBitLengthEmail() const {
  return intValueFromCacheWithKey(
      "measurement.psm_prefix_email", kZIVConfigHashPrefixBitLengthEmail,
      kZIVConfigHashPrefixBitLengthEmailMax, kZIVConfigHashPrefixBitLengthEmailMin);
}

int32_t ZIVRemoteConfig::hashPrefixBitLengthPhone() const {
  return intValueFromCacheWithKey(
      "measurement.psm_prefix_phone", kZIVConfigHashPrefixBitLengthPhone,
      kZIVConfigHashPrefixBitLengthPhoneMax, kZIVConfigHashPrefixBitLengthPhoneMin);
}

int32_t ZIVRemoteConfig::maxSignInDelayInDays() const {
  return intValueFromCacheWithKey("measurement.psm_signin_delay", kZIVConfigMaxSignInDelayInDays,
                                  kZIVConfigMaxSignInDelayInDaysMax,
                                  kZIVConfigMaxSignInDelayInDaysMin);
}

bool ZIVRemoteConfig::PSMSessionStartEnabled() const {
  if (auto flag = experimentFlag(ZIVExperimentFlagPSMSessionStartEnabled)) return *flag;
  return boolValueFromCacheWithKey("measurement.psm_session_start_enabled",
                                   kZIVConfigPSMSessionStartEnabled);
}

int32_t ZIVRemoteConfig::PSMSessionStartHashPrefixBitLengthEmail() const {
  return intValueFromCacheWithKey("measurement.psm_session_prefix_email",
                                  kZIVConfigPSMSessionStartHashPrefixBitLengthEmail,
                                  kZIVConfigPSMSessionStartHashPrefixBitLengthEmailMax,
                                  kZIVConfigPSMSessionStartHashPrefixBitLengthEmailMin);
}

int32_t ZIVRemoteConfig::PSMSessionStartHashPrefixBitLengthPhone() const {
  return intValueFromCacheWithKey("measurement.psm_session_prefix_phone",
                                  kZIVConfigPSMSessionStartHashPrefixBitLengthPhone,
                                  kZIVConfigPSMSessionStartHashPrefixBitLengthPhoneMax,
                                  kZIVConfigPSMSessionStartHashPrefixBitLengthPhoneMin);
}

bool ZIVRemoteConfig::PSMGroupIDEnabled() const {
  if (auto flag = experimentFlag(ZIVExperimentFlagPSMGroupIDEnabled)) return *flag;
  return boolValueFromCacheWithKey("measurement.psm_group_id_enabled", kZIVConfigPSMGroupIDEnabled);
}

int32_t ZIVRemoteConfig::PSMGroupIDHashPrefixBitLengthEmail() const {
  return intValueFromCacheWithKey("measurement.psm_group_id_prefix_email",
                                  kZIVConfigPSMGroupIDHashPrefixBitLengthEmail,
                                  kZIVConfigPSMGroupIDHashPrefixBitLengthEmailMax,
                                  kZIVConfigPSMGroupIDHashPrefixBitLengthEmailMin);
}

bool ZIVRemoteConfig::adsOnDeviceConversionFeatureEnabled() const {
  return boolValueFromCacheWithKey("measurement.odm2_enabled",
                                   kZIVConfigAdsOnDeviceConversionFeatureEnabled);
}

bool ZIVRemoteConfig::isDeferredDeepLinkEnabled() const {
  return boolValueFromCacheWithKey("measurement.ddl.enabled", kZIVConfigIsDeferredDeepLinkEnabled);
}

int32_t ZIVRemoteConfig::maxDeferredDeepLinkRetryCount() const {
  return intValueFromCacheWithKey(
      "measurement.ddl.retry_count", kZIVConfigMaxDeferredDeepLinkRetryCount,
      kZIVConfigMaxDeferredDeepLinkRetryCountMax, kZIVConfigMaxDeferredDeepLinkRetryCountMin);
}

double ZIVRemoteConfig::attributionCacheTTLInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.attribution.cache.ttl", kZIVConfigAttributionCacheTTLInterval,
      kZIVConfigAttributionCacheTTLIntervalMax, kZIVConfigAttributionCacheTTLIntervalMin);
}

double ZIVRemoteConfig::remoteConfigCacheTimeInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.config.cache_time", kZIVConfigRemoteConfigCacheTimeInterval,
      kZIVConfigRemoteConfigCacheTimeIntervalMax, kZIVConfigRemoteConfigCacheTimeIntervalMin);
}

bool ZIVRemoteConfig::sessionStitchingTokenFeatureEnabled() const {
  if (experimentClient_) {
    fnd::Value flag =
        experimentClient_->valueForFlag(ZIVExperimentFlagSessionStitchingTokenFeature);
    if (auto value = boolFromFlagValue(flag)) return *value;
  }
  return boolValueFromCacheWithKey("measurement.session_stitching_token_enabled",
                                   kZIVConfigSessionStitchingTokenFeatureEnabled);
}

bool ZIVRemoteConfig::SKANUpdateConversionValueEnabled() const {
  return boolValueFromCacheWithKey("measurement.skan.update_conversion_value_enabled",
                                   kZIVConfigSKANUpdateConversionValueEnabled);
}

double ZIVRemoteConfig::SKANInitialCVFetchDelay() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.skan.initial_cv_fetch_delay_sec", kZIVConfigSKANInitialCVFetchDelay,
      kZIVConfigSKANInitialCVFetchDelayMax, kZIVConfigSKANInitialCVFetchDelayMin);
}

double ZIVRemoteConfig::SKANCVFetchRetryInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.skan.cv_fetch_retry_interval_sec", kZIVConfigSKANCVFetchRetryInterval,
      kZIVConfigSKANCVFetchRetryIntervalMax, kZIVConfigSKANCVFetchRetryIntervalMin);
}

int32_t ZIVRemoteConfig::SKANCVFetchRetryLimit() const {
  return intValueFromCacheWithKey(
      "measurement.skan.cv_fetch_retry_limit", kZIVConfigSKANCVFetchRetryLimit,
      kZIVConfigSKANCVFetchRetryLimitMax, kZIVConfigSKANCVFetchRetryLimitMin);
}

double ZIVRemoteConfig::SKANFirstWindowCVFetchDelay() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.skan.first_window.initial_cv_fetch_delay_sec",
      kZIVConfigSKANFirstWindowCVFetchDelay, kZIVConfigSKANFirstWindowCVFetchDelayMax,
      kZIVConfigSKANFirstWindowCVFetchDelayMin);
}

double ZIVRemoteConfig::SKANFirstWindowCVFetchRetryInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.skan.first_window.cv_fetch_retry_interval_sec",
      kZIVConfigSKANFirstWindowCVFetchRetryInterval,
      kZIVConfigSKANFirstWindowCVFetchRetryIntervalMax,
      kZIVConfigSKANFirstWindowCVFetchRetryIntervalMin);
}

int32_t ZIVRemoteConfig::SKANFirstWindowCVFetchRetryLimit() const {
  return intValueFromCacheWithKey("measurement.skan.first_window.cv_fetch_retry_limit",
                                  kZIVConfigSKANFirstWindowCVFetchRetryLimit,
                                  kZIVConfigSKANFirstWindowCVFetchRetryLimitMax,
                                  kZIVConfigSKANFirstWindowCVFetchRetryLimitMin);
}

double ZIVRemoteConfig::SKANFirstWindowUploadInterval() const {
  return timeIntervalInSecondsFromCacheWithKey(
      "measurement.skan.first_window.upload_interval_sec", kZIVConfigSKANFirstWindowUploadInterval,
      kZIVConfigSKANFirstWindowUploadIntervalMax, kZIVConfigSKANFirstWindowUploadIntervalMin);
}

bool ZIVRemoteConfig::customerTypeEnabled() const {
  if (auto flag = experimentFlag(ZIVExperimentFlagCustomerTypeEnabled)) return *flag;
  return boolValueFromCacheWithKey("measurement.customer_type_enabled",
                                   kZIVConfigCustomerTypeEnabled);
}

int32_t ZIVRemoteConfig::maxInternalEventParameterValueLength() const {
  int32_t length = maxPublicEventParameterValueLength();
  return length <= kZIVConfigMaxInternalEventParameterValueLength
             ? kZIVConfigMaxInternalEventParameterValueLength
             : length;
}

#include "analytics/foundation/persisted_config.h"

#include <utility>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/numeric_util.h"
#include "analytics/foundation/persistent_dictionary.h"
#include "analytics/foundation/user_defaults.h"

namespace {

constexpr const char* kQueueLabel = "ZIVPersistedConfig";
constexpr double kFlushDelay = 1.0;

#define ZIV_KEY(name, text) constexpr const char* name = "/rivado/measurement/" text
ZIV_KEY(kLastDeleteStaleKey, "last_delete_stale");
ZIV_KEY(kSearchAdCampaignKey, "is_search_ad_campaign");
ZIV_KEY(kSearchAdLastAttemptKey, "search_ad_last_attempt_timestamp");
ZIV_KEY(kSearchAdRetriesKey, "search_ad_number_of_retries");
ZIV_KEY(kAppInstanceIDKey, "app_instance_id");
ZIV_KEY(kZUZAppIDKey, "zuz_app_id");
ZIV_KEY(kVaZuvAppIDKey, "vazuv_app_id");
ZIV_KEY(kHashedIDFAKey, "hashed_idfa");
ZIV_KEY(kDiversionKeyKey, "diversion_key");
ZIV_KEY(kMeasurementEnabledStateKey, "measurement_enabled_state");
ZIV_KEY(kLastBackoffKey, "last_backoff");
ZIV_KEY(kLastSuccessfulUploadKey, "last_successful_upload");
ZIV_KEY(kLastFailedUploadKey, "last_failed_upload");
ZIV_KEY(kAppVersionKey, "app_version");
ZIV_KEY(kOSVersionKey, "os_version");
ZIV_KEY(kMidnightOffsetKey, "midnight_offset");
ZIV_KEY(kLastMonitorSampledKey, "last_monitor_data_sampled_timestamp");
ZIV_KEY(kFirstOpenMillisKey, "first_open_timestamp_ms");
ZIV_KEY(kLastModifiedSinceKey, "last_modified_since_key");
ZIV_KEY(kConfigETagKey, "config_etag");
ZIV_KEY(kConfigZUZVersionKey, "config_zuz_version");
ZIV_KEY(kLoadTimestampKey, "load_timestamp");
ZIV_KEY(kAllowPersonalizedAdsKey, "allow_personalized_ads");
ZIV_KEY(kFeatureRolloutsKey, "zudiroru_feature_rollouts");
ZIV_KEY(kDeepLinkCompleteKey, "deep_link_retrieval_complete");
ZIV_KEY(kDeepLinkRetryCountKey, "deep_link_retry_count");
ZIV_KEY(kSetLastAdvertisingIDResetKey, "set_last_advertising_id_reset");
ZIV_KEY(kUnmatchedFirstOpenKey, "unmatched_first_open");
ZIV_KEY(kPreviousFirstOpenCountKey, "previous_first_open_count");
ZIV_KEY(kPreviousConsentSignalsKey, "previous_bundled_consent_signals");
ZIV_KEY(kAdCampaignInfoBufferKey, "ad_campaign_info_buffer");
ZIV_KEY(kPSMHashedInputDataKey, "psm_hashed_input_data");
ZIV_KEY(kPSMInputTypeKey, "psm_input_type");
ZIV_KEY(kPSMCurrentDayKey, "psm_current_day");
ZIV_KEY(kLastEngagementEndKey, "last_engagement_end");
ZIV_KEY(kSessionNumberKey, "session_number");
ZIV_KEY(kSessionTimeoutKey, "session_timeout");
ZIV_KEY(kDefaultEventParametersKey, "default_event_parameters");
ZIV_KEY(kLastUploadedEventMillisKey, "last_uploaded_event_millis");
ZIV_KEY(kSKANEvaluationEventTimeKey, "skan_evaluation_event_time_millis");
ZIV_KEY(kSKANEvaluationBackoffKey, "skan_evaluation_update_backoff_millis");
#undef ZIV_KEY

bool IsNumber(const fnd::Value& value) { return value.isNumber() || value.isBool(); }

std::optional<std::string> AsString(const std::optional<fnd::Value>& value) {
  if (!value || !value->isString()) return std::nullopt;
  return value->asString();
}

std::optional<fnd::Value> AsValue(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  return fnd::Value(*value);
}

}  // namespace

std::shared_ptr<ZIVPersistedConfig> ZIVPersistedConfig::sharedInstance() {
  static const std::shared_ptr<ZIVPersistedConfig>& shared =
      *new std::shared_ptr<ZIVPersistedConfig>(create(kZIVPersistedConfigSuiteName));
  if (!shared) {
    ZIVMeasurement::monitor()->logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
  }
  return shared;
}

std::shared_ptr<ZIVPersistedConfig> ZIVPersistedConfig::create(
    const std::string& suiteName, std::shared_ptr<dispatch::Clock> clock,
    ZIVUserDefaults* preferences, std::shared_ptr<ZIVMonitor> monitor) {
  if (suiteName.empty()) return nullptr;
  // Whether or not an old file was moved, the dictionary opens what is there now.
  ZIVMigrateUserDefaultsToPersistentDictionary(suiteName);
  std::shared_ptr<ZIVPersistentDictionary> store =
      ZIVPersistentDictionary::create(suiteName, clock);
  if (!store) return nullptr;
  return std::shared_ptr<ZIVPersistedConfig>(
      new ZIVPersistedConfig(suiteName, std::move(store), std::move(clock),
                             preferences ? *preferences : ZIVUserDefaults::sharedUserDefaults(),
                             monitor ? std::move(monitor) : ZIVMeasurement::monitor()));
}

ZIVPersistedConfig::ZIVPersistedConfig(std::string suiteName,
                                       std::shared_ptr<ZIVPersistentDictionary> store,
                                       std::shared_ptr<dispatch::Clock> clock,
                                       ZIVUserDefaults& preferences,
                                       std::shared_ptr<ZIVMonitor> monitor)
    : suiteName_(std::move(suiteName)),
      store_(std::move(store)),
      settingsQueue_(
          dispatch::Queue::create(kQueueLabel, dispatch::Qos::kUtility, std::move(clock))),
      preferences_(preferences),
      monitor_(std::move(monitor)) {}

ZIVPersistedConfig::~ZIVPersistedConfig() { cancelScheduledSynchronize(); }

std::optional<fnd::Value> ZIVPersistedConfig::objectForKey(const std::string& key) {
  std::optional<fnd::Value> result;
  settingsQueue_->sync([&] { result = store_->objectForKey(key); });
  return result;
}

bool ZIVPersistedConfig::setObject(const std::optional<fnd::Value>& value, const std::string& key,
                                   bool flush) {
  bool stored = false;
  settingsQueue_->sync([&] { stored = store_->setObject(value.value_or(fnd::Value()), key); });
  if (stored && flush) scheduleSynchronizeToDisk();
  return stored;
}

bool ZIVPersistedConfig::boolForKey(const std::string& key) {
  std::optional<fnd::Value> value = objectForKey(key);
  return value && IsNumber(*value) ? value->asBool() : false;
}

int64_t ZIVPersistedConfig::int64ForKey(const std::string& key) {
  return int64ForKey(key, nullptr);
}

int64_t ZIVPersistedConfig::int64ForKey(const std::string& key, ZIVUserDefaults* preferences) {
  std::optional<fnd::Value> value;
  settingsQueue_->sync(
      [&] { value = preferences ? preferences->objectForKey(key) : store_->objectForKey(key); });
  return value && IsNumber(*value) ? value->asInt() : 0;
}

double ZIVPersistedConfig::doubleForKey(const std::string& key) {
  std::optional<fnd::Value> value = objectForKey(key);
  return value && IsNumber(*value) ? value->asDouble() : 0.0;
}

std::optional<std::string> ZIVPersistedConfig::stringForKey(const std::string& key) {
  return AsString(objectForKey(key));
}

std::optional<fnd::Dictionary> ZIVPersistedConfig::dictionaryForKey(const std::string& key) {
  std::optional<fnd::Value> value = objectForKey(key);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->dictionary();
}

std::optional<fnd::Value> ZIVPersistedConfig::numberForKey(const std::string& key) {
  std::optional<fnd::Value> value = objectForKey(key);
  if (!value || !IsNumber(*value)) return std::nullopt;
  return value;
}

void ZIVPersistedConfig::setBool(bool value, const std::string& key) {
  setObject(fnd::Value(value), key, true);
}

void ZIVPersistedConfig::setInt64(int64_t value, const std::string& key) {
  setObject(fnd::Value::Int64(value), key, true);
}

void ZIVPersistedConfig::setDouble(double value, const std::string& key) {
  setObject(fnd::Value(value), key, true);
}

void ZIVPersistedConfig::setString(const std::optional<std::string>& value,
                                   const std::string& key) {
  setObject(AsValue(value), key, true);
}

void ZIVPersistedConfig::setDictionary(const std::optional<fnd::Dictionary>& value,
                                       const std::string& key) {
  if (!setObject(value ? std::optional<fnd::Value>(fnd::Value(*value)) : std::nullopt, key,
                 false)) {
    monitor_->logWithLevel(1, 27002, "Unsupported value passed in dictionary");
    return;
  }
  scheduleSynchronizeToDisk();
}

void ZIVPersistedConfig::setNumber(const std::optional<fnd::Value>& value, const std::string& key) {
  setObject(value, key, true);
}

void ZIVPersistedConfig::clearValues() {
  settingsQueue_->sync([&] { store_->clearAllData(); });
}

void ZIVPersistedConfig::cancelScheduledSynchronize() {
  std::lock_guard<std::mutex> lock(mu_);
  if (pendingFlush_) *pendingFlush_ = true;
  pendingFlush_.reset();
}

void ZIVPersistedConfig::scheduleSynchronizeToDisk() {
  cancelScheduledSynchronize();
  std::lock_guard<std::mutex> lock(mu_);
  auto cancelled = std::make_shared<bool>(false);
  pendingFlush_ = cancelled;
  std::weak_ptr<ZIVPersistedConfig> weak = weak_from_this();
  settingsQueue_->after(kFlushDelay, [weak, cancelled] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> lock(self->mu_);
      if (*cancelled) return;
      self->pendingFlush_.reset();
      ++self->synchronizeCount_;
    }
    self->synchronizeToDisk();
  });
}

void ZIVPersistedConfig::synchronizeToDisk() {
  if (dispatch::isMainThread()) {
    scheduleSynchronizeToDisk();
    return;
  }
  store_->synchronize();
}

bool ZIVPersistedConfig::hasScheduledSynchronize() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pendingFlush_ != nullptr;
}

uint64_t ZIVPersistedConfig::synchronizeCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return synchronizeCount_;
}

double ZIVPersistedConfig::midnightOffset() {
  // Read, draw and store in one block on the settings queue, so that two first reads cannot draw
  // two different offsets.
  double offset = 0;
  bool drawn = false;
  settingsQueue_->sync([&] {
    std::optional<fnd::Value> stored = store_->objectForKey(kMidnightOffsetKey);
    if (stored && IsNumber(*stored)) {
      offset = stored->asDouble();
      return;
    }
    offset = static_cast<double>(ZIVNumericUtil::randomUniform(86400000)) / 1000.0;
    drawn = store_->setObject(fnd::Value(offset), kMidnightOffsetKey);
  });
  if (drawn) scheduleSynchronizeToDisk();
  return offset;
}

// The accessors of the table.

#define ZIV_DOUBLE(getter, setter, key)                             \
  double ZIVPersistedConfig::getter() { return doubleForKey(key); } \
  void ZIVPersistedConfig::setter(double value) { setDouble(value, key); }
#define ZIV_INT64(getter, setter, key)                              \
  int64_t ZIVPersistedConfig::getter() { return int64ForKey(key); } \
  void ZIVPersistedConfig::setter(int64_t value) { setInt64(value, key); }
#define ZIV_STRING(getter, setter, key)                                                 \
  std::optional<std::string> ZIVPersistedConfig::getter() { return stringForKey(key); } \
  void ZIVPersistedConfig::setter(const std::optional<std::string>& value) {            \
    setString(value, key);                                                              \
  }
#define ZIV_NUMBER(getter, setter, key)                                                \
  std::optional<fnd::Value> ZIVPersistedConfig::getter() { return numberForKey(key); } \
  void ZIVPersistedConfig::setter(const std::optional<fnd::Value>& value) { setNumber(value, key); }
// Objects stored and returned as they are; `flush` says whether the setter arms a flush.
#define ZIV_OBJECT(getter, setter, key, flush)                                         \
  std::optional<fnd::Value> ZIVPersistedConfig::getter() { return objectForKey(key); } \
  void ZIVPersistedConfig::setter(const std::optional<fnd::Value>& value) {            \
    setObject(value, key, flush);                                                      \
  }

ZIV_DOUBLE(lastDeleteStaleBundlesTimestamp, setLastDeleteStaleBundlesTimestamp, kLastDeleteStaleKey)
ZIV_DOUBLE(lastSearchAdLookUpTimestamp, setLastSearchAdLookUpTimestamp, kSearchAdLastAttemptKey)
ZIV_INT64(searchAdRetryCount, setSearchAdRetryCount, kSearchAdRetriesKey)
ZIV_STRING(appInstanceID, setAppInstanceID, kAppInstanceIDKey)
ZIV_STRING(appIDFromZUZ, setAppIDFromZUZ, kZUZAppIDKey)
ZIV_STRING(appIDFromVaZuv, setAppIDFromVaZuv, kVaZuvAppIDKey)
ZIV_STRING(hashedResettableDeviceID, setHashedResettableDeviceID, kHashedIDFAKey)
ZIV_STRING(diversionKey, setDiversionKey, kDiversionKeyKey)
ZIV_DOUBLE(lastBackoffTimestamp, setLastBackoffTimestamp, kLastBackoffKey)
ZIV_DOUBLE(lastSuccessfulUploadTimestamp, setLastSuccessfulUploadTimestamp,
           kLastSuccessfulUploadKey)
ZIV_DOUBLE(lastFailedUploadTimestamp, setLastFailedUploadTimestamp, kLastFailedUploadKey)
ZIV_STRING(appVersion, setAppVersion, kAppVersionKey)
ZIV_STRING(osVersion, setOsVersion, kOSVersionKey)
ZIV_DOUBLE(lastMonitorDataSampledTimestamp, setLastMonitorDataSampledTimestamp,
           kLastMonitorSampledKey)
ZIV_INT64(firstOpenTimestampMilliseconds, setFirstOpenTimestampMilliseconds, kFirstOpenMillisKey)
ZIV_STRING(configServerETag, setConfigServerETag, kConfigETagKey)
ZIV_INT64(configZUZVersion, setConfigZUZVersion, kConfigZUZVersionKey)
ZIV_OBJECT(loadTimestampValue, setLoadTimestampValue, kLoadTimestampKey, false)
ZIV_OBJECT(allowPersonalizedAds, setAllowPersonalizedAds, kAllowPersonalizedAdsKey, false)
ZIV_STRING(zudiroruFeatureRollouts, setZudiroruFeatureRollouts, kFeatureRolloutsKey)
ZIV_OBJECT(deferredDeepLinkRetrievalComplete, setDeferredDeepLinkRetrievalComplete,
           kDeepLinkCompleteKey, false)
ZIV_INT64(deferredDeepLinkRetryCount, setDeferredDeepLinkRetryCount, kDeepLinkRetryCountKey)
ZIV_INT64(unmatchedFirstOpenWithoutIDFA, setUnmatchedFirstOpenWithoutIDFA, kUnmatchedFirstOpenKey)
ZIV_NUMBER(previousFirstOpenCount, setPreviousFirstOpenCount, kPreviousFirstOpenCountKey)
ZIV_STRING(previousBundledConsentSignals, setPreviousBundledConsentSignals,
           kPreviousConsentSignalsKey)
ZIV_OBJECT(adCampaignInfoBuffer, setAdCampaignInfoBuffer, kAdCampaignInfoBufferKey, true)
ZIV_OBJECT(PSMHashedInputData, setPSMHashedInputData, kPSMHashedInputDataKey, true)
ZIV_INT64(PSMInputType, setPSMInputType, kPSMInputTypeKey)
ZIV_NUMBER(PSMCurrentDay, setPSMCurrentDay, kPSMCurrentDayKey)
ZIV_DOUBLE(lastSessionActivityClockTime, setLastSessionActivityClockTime, kLastEngagementEndKey)
ZIV_INT64(sessionNumber, setSessionNumber, kSessionNumberKey)
ZIV_NUMBER(sessionTimeoutValue, setSessionTimeoutValue, kSessionTimeoutKey)
ZIV_INT64(lastUploadedEventTimestampMillis, setLastUploadedEventTimestampMillis,
          kLastUploadedEventMillisKey)
ZIV_INT64(SKANEvaluationEventTimeMillis, setSKANEvaluationEventTimeMillis,
          kSKANEvaluationEventTimeKey)
ZIV_INT64(SKANEvaluationUpdateBackoffMillis, setSKANEvaluationUpdateBackoffMillis,
          kSKANEvaluationBackoffKey)

#undef ZIV_DOUBLE
#undef ZIV_INT64
#undef ZIV_STRING
#undef ZIV_NUMBER
#undef ZIV_OBJECT

std::optional<fnd::Value> ZIVPersistedConfig::searchAdCampaignValue() {
  return store_->objectForKey(kSearchAdCampaignKey);
}

void ZIVPersistedConfig::setSearchAdCampaignValue(const std::optional<fnd::Value>& value) {
  if (!value || !IsNumber(*value)) return;
  setNumber(value, kSearchAdCampaignKey);
}

int64_t ZIVPersistedConfig::measurementEnabledState() {
  return int64ForKey(kMeasurementEnabledStateKey, &preferences_);
}

void ZIVPersistedConfig::setMeasurementEnabledState(int64_t value) {
  settingsQueue_->sync([&] {
    preferences_.setInteger(value, kMeasurementEnabledStateKey);
    preferences_.synchronize();
  });
}

std::optional<std::string> ZIVPersistedConfig::configServerLastModifiedString() {
  return AsString(objectForKey(kLastModifiedSinceKey));
}

void ZIVPersistedConfig::setConfigServerLastModifiedString(
    const std::optional<std::string>& value) {
  setObject(AsValue(value), kLastModifiedSinceKey, false);
}

bool ZIVPersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() {
  return int64ForKey(kSetLastAdvertisingIDResetKey) != 0;
}

void ZIVPersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  setInt64(value ? 1 : 0, kSetLastAdvertisingIDResetKey);
}

std::optional<fnd::Dictionary> ZIVPersistedConfig::defaultEventParameters() {
  return dictionaryForKey(kDefaultEventParametersKey);
}

void ZIVPersistedConfig::setDefaultEventParameters(const std::optional<fnd::Dictionary>& value) {
  setDictionary(value, kDefaultEventParametersKey);
}

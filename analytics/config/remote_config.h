// ZIVRemoteConfig: the server-driven settings of the analytics engine.
//
// It takes a measurement configuration message (fetched by the engine, or stored in the analytics
// database), parses it into in-memory caches and answers typed questions, each with a default, a
// minimum and a maximum (the getters of the settings table, remote_config_table.h). It also holds
// the per-event rules, the upload endpoints, the data controls, the consent configuration sent by
// the server, the experiments client registered for this engine ("duv_udiredururo"), and the
// event-editing runtime built from the configuration's programs.
//
// Settings arrive as strings; a typed read parses the string, checks it against the bounds (a
// value that cannot be parsed or lies outside them gives the DEFAULT, never the bound) and caches
// the result as a number, which later reads return as it is. Interval settings are sent in
// milliseconds and answered in seconds.
//
// What the settings need of the measurement engine and of the scripting runtime is reached through
// ZIVRemoteConfigServices, installed once by the engine (ZIVRemoteConfigSetServices); until then
// the answers are those of an engine that is not running.
//
// Thread safety: created and updated on the engine's worker queue; updateMeasurementConfig() and
// measurementConfigFromDatabase() log when called on the main thread (and go on). The caches are
// thread-safe, so the getters may be called from any thread. The database is touched only by
// the configuration and expiry methods, which must run on the worker queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/config/experiments_manager.h"
#include "analytics/config/remote_config_table.h"
#include "analytics/proto/messages.h"
#include "analytics/script/dynamic_provider.h"
#include "analytics/storage/database.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/utilities/mutable_dictionary.h"

class ZIVMonitor;
class ZIVPersistedConfig;

// The experiments SDK name under which the settings register.
inline constexpr const char* ZIVRemoteConfigExperimentSDKName = "duv_udiredururo";

// Hosts of the upload and configuration endpoints. The second upload host serves apps whose data
// consent status is ZIVAppDataConsentStatusSecondHost. Both URLs pass through ZIVServiceURL()
// (analytics/foundation/service_url.h), so a launch argument or the environment can point them
// at a local collector.
inline constexpr const char* ZIVRemoteConfigUploadHost = "measurement.quellmark.example";
inline constexpr const char* ZIVRemoteConfigSecondUploadHost = "analytics.quellmark.example";
inline constexpr int64_t ZIVAppDataConsentStatusSecondHost = 3;

// Experiment flags that override settings. The first three are copied from the client when a
// snapshot is activated; the last is read from the client at each call.
inline constexpr const char* ZIVExperimentFlagCustomerTypeEnabled = "customer_type_enabled";
inline constexpr const char* ZIVExperimentFlagPSMSessionStartEnabled = "psm_session_start_enabled";
inline constexpr const char* ZIVExperimentFlagPSMGroupIDEnabled = "psm_group_id_enabled";
inline constexpr const char* ZIVExperimentFlagSessionStitchingTokenFeature =
    "session_stitching_token_feature_enabled";

// The event-editing runtime as the settings use it: three host modules are installed, then the
// first program is loaded.
class ZIVRemoteConfigEventEditing {
 public:
  virtual ~ZIVRemoteConfigEventEditing() = default;
  // Installs or replaces the creator of a module.
  virtual void setModuleCreator(APMPModuleCreator creator, const std::string& name) = 0;
  // Loads a program; false (with *error when given) when it cannot be run.
  virtual bool loadProgram(const APMPBProgram& program, fnd::Error* error) = 0;
};

// What the settings read of the measurement engine and of the scripting runtime. Apart from
// makeEventEditing(), each default answers as an engine that does not exist yet.
class ZIVRemoteConfigServices {
 public:
  virtual ~ZIVRemoteConfigServices() = default;
  // Whether the engine's shared instance exists.
  virtual bool hasSharedInstance() const { return false; }
  // Whether the engine's shared instance is enabled (asked only when it exists).
  virtual bool isEnabled() const { return false; }
  // The server-side tagging preview headers, or nullopt.
  virtual std::optional<fnd::Dictionary> SGTMPreviewHeaders() const { return std::nullopt; }
  // The app version the engine's identity knows, or nullopt.
  virtual std::optional<std::string> identityAppVersion() const { return std::nullopt; }
  // The default identity support's app data consent status.
  virtual int64_t appDataConsentStatus() const { return 0; }
  // The library version (ZIVMeasurement::libraryVersion()).
  virtual int64_t libraryVersion() const;
  // The internal name of a public event name (the engine's name table), or nullopt.
  virtual std::optional<std::string> internalEventNameForPublicName(const std::string& name) const {
    (void)name;
    return std::nullopt;
  }
  // A new event-editing runtime, or null when none can be made. The default is a
  // ZIVScriptEventEditing over the scripting runtime (remote_config_event_editing.h).
  virtual std::shared_ptr<ZIVRemoteConfigEventEditing> makeEventEditing() const;
};

// Installs the process's services (null goes back to the defaults). The engine calls it once.
void ZIVRemoteConfigSetServices(std::shared_ptr<const ZIVRemoteConfigServices> services);
// The installed services, or the defaults.
std::shared_ptr<const ZIVRemoteConfigServices> ZIVRemoteConfigCurrentServices();

// True for a public event name: non-empty, first character not "_".
bool ZIVRemoteConfigIsPublicEventName(std::string_view name);

// What a ZIVRemoteConfig reads from its surroundings; empty members take the process's own.
struct ZIVRemoteConfigEnvironment {
  // Log sink [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // Now, for expiry [dispatch::Clock::current() at each use].
  std::shared_ptr<dispatch::Clock> clock;
  // Engine and scripting services [ZIVRemoteConfigCurrentServices() at each use].
  std::shared_ptr<const ZIVRemoteConfigServices> services;
  // An Info.plist value [the main bundle's].
  std::function<std::optional<fnd::Value>(const std::string& key)> infoDictionaryValue;
  // The main bundle identifier [the main bundle's].
  std::function<std::string()> bundleIdentifier;
};

class ZIVRemoteConfig : public APMEExperimentObserverDelegate,
                        public APMESDKPropertyDelegate,
                        public ZIVDatabaseSettings,
                        public std::enable_shared_from_this<ZIVRemoteConfig> {
 public:
  using Environment = ZIVRemoteConfigEnvironment;

  // ---- Construction.

  // The process's instance with every argument absent, made once. It answers only defaults until
  // the engine has its own.
  static const std::shared_ptr<ZIVRemoteConfig>& defaultInstance();

  // Designated: every argument may be absent. With a manager, registers as an experiments SDK and
  // activates the latest snapshot. Unless both the app ID and the database are absent, applies
  // `measurementConfig` (as updateMeasurementConfig() does) or, without one, the configuration
  // stored in the database.
  static std::shared_ptr<ZIVRemoteConfig> initWithAppID(
      const std::string& appID, const std::shared_ptr<ZIVDatabase>& database,
      const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig,
      const std::shared_ptr<ZIVPersistedConfig>& persistedConfig,
      const std::shared_ptr<APMEManager>& experimentManager, Environment environment = {});
  // Null for an empty app ID (29000) or an absent database (29001); else the designated form
  // without a configuration.
  static std::shared_ptr<ZIVRemoteConfig> initWithAppID(
      const std::string& appID, const std::shared_ptr<ZIVDatabase>& database,
      const std::shared_ptr<ZIVPersistedConfig>& persistedConfig,
      const std::shared_ptr<APMEManager>& experimentManager, Environment environment = {});
  // The checked form above without a persisted configuration.
  static std::shared_ptr<ZIVRemoteConfig> initWithAppID(
      const std::string& appID, const std::shared_ptr<ZIVDatabase>& database,
      const std::shared_ptr<APMEManager>& experimentManager, Environment environment = {});
  // The designated form without a persisted configuration.
  static std::shared_ptr<ZIVRemoteConfig> initWithAppID(
      const std::string& appID, const std::shared_ptr<ZIVDatabase>& database,
      const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig,
      const std::shared_ptr<APMEManager>& experimentManager, Environment environment = {});

  ~ZIVRemoteConfig() override;
  ZIVRemoteConfig(const ZIVRemoteConfig&) = delete;
  ZIVRemoteConfig& operator=(const ZIVRemoteConfig&) = delete;

  const std::string& appID() const { return appID_; }
  bool isDefaultInstance() const { return isDefaultInstance_; }

  // ---- Configuration. REQUIRES: on the worker queue.

  // Stores the configuration in the database and applies it. False for the default instance
  // (29002), an absent message (29003), another app ID (29004) or a failed store (29005).
  bool updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig);
  // The stored configuration, or null (29015 default instance, 29016 error, 29017 none stored).
  std::shared_ptr<APMPBMeasurementConfig> measurementConfigFromDatabase();
  // Refills the caches from the message when it has a settings list (else 29012) and is for this
  // app ID (else silently nothing).
  void parseRemoteConfigFromMeasurementConfig(
      const std::shared_ptr<const APMPBMeasurementConfig>& measurementConfig);
  // Empties every cache, drops the kept message (not on the default instance) and resets the
  // experiments manager. The event-editing runtime stays.
  void reset();
  // The kept message's version, or -1.
  int64_t version() const;
  // True when remoteConfigCacheTimeInterval() is at most |now - last update|. False (29007) on
  // the default instance.
  bool isExpired();
  // The stored configuration's update time in seconds since 1970; 0 when unknown (29008 default
  // instance, 29009 query error).
  double lastRemoteConfigUpdateTimestamp();
  // https://<upload host>/config/app/<app ID>?platform=..&runtime_version=..&zuz_version=..; null
  // for an empty app ID (29021) or an absent platform (29010).
  std::optional<std::string> remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                                         int64_t SDKVersion,
                                                         int64_t runtimeVersion) const;
  // The last applied message (a copy), or null.
  std::shared_ptr<APMPBMeasurementConfig> measurementConfig() const;

  // ---- Lookup.

  using ConversionBlock = std::function<std::optional<fnd::Value>(const fnd::Value& number)>;
  // The number cached under the key; see the file comment. Absent bounds are not checked. An
  // empty key gives nullopt (29020).
  std::optional<fnd::Value> numberFromCacheWithKey(const std::string& key,
                                                   const fnd::Value& defaultValue,
                                                   const std::optional<fnd::Value>& maxValue,
                                                   const std::optional<fnd::Value>& minValue,
                                                   const ConversionBlock& block = nullptr) const;
  // Seconds: the server value is milliseconds (truncated to an integer, then divided by 1000).
  double timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue,
                                               double maxValue, double minValue) const;
  // 32-bit and 64-bit forms (a fraction is truncated). The last form has no bounds.
  int32_t intValueFromCacheWithKey(const std::string& key, int32_t defaultValue, int32_t maxValue,
                                   int32_t minValue) const;
  int64_t int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue, int64_t maxValue,
                                     int64_t minValue) const;
  int64_t int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue) const;
  // True exactly when the value reads as 1 (bounds 0 and 1).
  bool boolValueFromCacheWithKey(const std::string& key, bool defaultValue) const;
  // Caches a value; a null value or an empty key is skipped (29019).
  void cacheValue(const fnd::Value& value, const std::string& key) const;
  // The number a decimal text stands for (an integer when it has no fraction), or nullopt.
  static std::optional<fnd::Value> numberFromString(const std::string& string);

  // ---- Events.

  // The rule for an event name, looked up as given; null for an empty name (29006) or none.
  std::shared_ptr<const APMPBEventConfig> eventConfigWithName(const std::string& name) const;
  // The rule's blocklisted flag; without it, blocklistPublic() for a public name and
  // blocklistInternal() for any other.
  bool isEventBlocklisted(const std::string& name) const;
  bool isEventCustomConversion(const std::string& name) const;
  bool eventHasSamplingRate(const std::string& name) const;
  // The rule's rate when it lies in 2..65535, else 1.
  int32_t samplingRateForEvent(const std::string& name) const;

  // ---- Endpoints and controls.

  std::optional<std::string> uploadSubdomain() const;
  // https://[<subdomain>.]<upload host>/a.
  std::string uploadURL() const;
  bool SGTMUploadEnabled() const;
  std::optional<std::string> SGTMUploadURL() const;
  // {"x-sgtm-server-info": info} when the configuration sends server info; else nullopt.
  std::optional<fnd::Dictionary> SGTMUploadHTTPHeaders() const;
  std::vector<std::string> dataControls() const;
  // Type -> status, type -> delegated type, type -> status (copies).
  fnd::Dictionary consentDefaults() const;
  fnd::Dictionary consentDelegations() const;
  fnd::Dictionary regionalDefaults() const;
  std::set<std::string> corePlatformServices() const;
  bool isDMARegion() const { return isDMARegion_.load(); }

  // ---- Experiments.

  const std::shared_ptr<APMEClient>& experimentClient() const { return experimentClient_; }
  const std::shared_ptr<APMEManager>& experimentManager() const { return experimentManager_; }
  // The manager's activated experiment IDs (empty without a manager).
  std::vector<int64_t> experimentIDs() const;
  // Activates the snapshot announced by clientDidReceiveNewSnapshot(); false when none was
  // announced or activation failed (29024, the announcement stays).
  bool activateNewSnapshot();
  // Copies the three experiment flags of the client into the cache.
  void updateCachedExperimentFlags();
  bool hasNewSnapshot() const;

  // APMEExperimentObserverDelegate.
  bool respondsToClientDidReceiveNewSnapshot() const override { return true; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override;
  bool respondsToClientDidReceiveFetchError() const override { return true; }
  void clientDidReceiveFetchError(const std::shared_ptr<APMEClient>& client,
                                  const fnd::Error& error) override;
  std::optional<bool> shouldFetchExperimentsForClient(const APMEClient& client) override;

  // APMESDKPropertyDelegate: the settings add no dynamic properties.
  std::optional<APMECustomProperties> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty& property) override;

  // ---- Event editing.

  std::shared_ptr<ZIVRemoteConfigEventEditing> eventEditing() const;

  // ---- The settings table (remote_config_table.h; the getters that do more than read their row
  // are in remote_config_table.cpp).

  // A row's value, read with the lookup of its kind.
  double settingValue(const ZIVServerSetting<double>& s) const {
    return timeIntervalInSecondsFromCacheWithKey(s.key, s.defaultValue, s.maximum, s.minimum);
  }
  int32_t settingValue(const ZIVServerSetting<int32_t>& s) const {
    return intValueFromCacheWithKey(s.key, s.defaultValue, s.maximum, s.minimum);
  }
  int64_t settingValue(const ZIVServerSetting<int64_t>& s) const {
    return int64ValueFromCacheWithKey(s.key, s.defaultValue, s.maximum, s.minimum);
  }
  bool settingValue(const ZIVServerSetting<bool>& s) const {
    return boolValueFromCacheWithKey(s.key, s.defaultValue);
  }

  double uploadingBackoffInterval() const {
    return settingValue(kZIVSettingUploadingBackoffInterval);
  }
  int32_t maxAudienceCount() const { return settingValue(kZIVSettingMaxAudienceCount); }
  int32_t maxFiltersPerAudience() const { return settingValue(kZIVSettingMaxFiltersPerAudience); }
  int32_t maxFilterResultCount() const { return settingValue(kZIVSettingMaxFilterResultCount); }
  int32_t maxParametersPerFilter() const { return settingValue(kZIVSettingMaxParametersPerFilter); }
  double databaseDeleteStaleBundlesInterval() const override {
    return settingValue(kZIVSettingDatabaseDeleteStaleBundlesInterval);
  }
  double maxQueueTime() const override { return settingValue(kZIVSettingMaxQueueTime); }
  double adIDCacheTime() const { return settingValue(kZIVSettingAdIDCacheTime); }
  bool gateIDFAOnATTMASEnabled() const { return settingValue(kZIVSettingGateIDFAOnATTMASEnabled); }
  double monitoringSamplePeriod() const { return settingValue(kZIVSettingMonitoringSamplePeriod); }
  bool isNetworkBackgroundSessionEnabled() const {
    return settingValue(kZIVSettingIsNetworkBackgroundSessionEnabled);
  }
  double networkTimeout() const { return settingValue(kZIVSettingNetworkTimeout); }
  double sessionDefaultTimeoutInterval() const {
    return settingValue(kZIVSettingSessionDefaultTimeoutInterval);
  }
  double sessionEventUserEngagementInterval() const {
    return settingValue(kZIVSettingSessionEventUserEngagementInterval);
  }
  bool efficientEngagementReportingEnabled() const {
    return settingValue(kZIVSettingEfficientEngagementReportingEnabled);
  }
  bool redundantEngagementRemovalEnabled() const {
    return settingValue(kZIVSettingRedundantEngagementRemovalEnabled);
  }
  int32_t maxConversionsPerDay() const { return settingValue(kZIVSettingMaxConversionsPerDay); }
  int32_t maxEventsPerDay() const { return settingValue(kZIVSettingMaxEventsPerDay); }
  int32_t maxPublicEventsPerDay() const { return settingValue(kZIVSettingMaxPublicEventsPerDay); }
  int32_t maxErrorEventsPerDay() const { return settingValue(kZIVSettingMaxErrorEventsPerDay); }
  int32_t maxTrackedCurrencies() const { return settingValue(kZIVSettingMaxTrackedCurrencies); }
  int32_t maxPublicUserProperties() const {
    return settingValue(kZIVSettingMaxPublicUserProperties);
  }
  int32_t maxEventNameCardinality() const {
    return settingValue(kZIVSettingMaxEventNameCardinality);
  }
  int32_t maxPublicEventParams() const { return settingValue(kZIVSettingMaxPublicEventParams); }
  // Also answers the database's ZIVDatabaseSettings::maxEventsStored().
  int64_t maxEventsStored() const override { return settingValue(kZIVSettingMaxEventsStored); }
  double uploadingInterval() const { return settingValue(kZIVSettingUploadingInterval); }
  double uploadingInitialDelayInterval() const {
    return settingValue(kZIVSettingUploadingInitialDelayInterval);
  }
  int64_t uploadMaxBundlesLimit() const { return settingValue(kZIVSettingUploadMaxBundlesLimit); }
  int64_t uploadMaxEventsPerBundle() const {
    return settingValue(kZIVSettingUploadMaxEventsPerBundle);
  }
  int64_t uploadMaxSizeLimitBytes() const {
    return settingValue(kZIVSettingUploadMaxSizeLimitBytes);
  }
  int32_t uploadingRetryCount() const { return settingValue(kZIVSettingUploadingRetryCount); }
  double uploadingRetryInterval() const { return settingValue(kZIVSettingUploadingRetryInterval); }
  int32_t maxBundlesCreatedPerIteration() const;
  int32_t maxRealtimeEventCountPerDay() const {
    return settingValue(kZIVSettingMaxRealtimeEventCountPerDay);
  }
  double uploadingDebugModeInterval() const {
    return settingValue(kZIVSettingUploadingDebugModeInterval);
  }
  double uploadingRealTimeInterval() const {
    return settingValue(kZIVSettingUploadingRealTimeInterval);
  }
  bool blocklistInternal() const { return settingValue(kZIVSettingBlocklistInternal); }
  bool blocklistPublic() const { return settingValue(kZIVSettingBlocklistPublic); }
  bool isEventSamplingEnabled() const { return settingValue(kZIVSettingIsEventSamplingEnabled); }
  int32_t analyticsAccountTimeZoneOffsetMinutes() const {
    return settingValue(kZIVSettingAnalyticsAccountTimeZoneOffsetMinutes);
  }
  bool checksumEnabled() const { return settingValue(kZIVSettingChecksumEnabled); }
  bool appInBackgroundParameterEnabled() const {
    return settingValue(kZIVSettingAppInBackgroundParameterEnabled);
  }
  int32_t maxItemScopedCustomParameters() const {
    return settingValue(kZIVSettingMaxItemScopedCustomParameters);
  }
  int32_t maxPublicEventParameterValueLength() const {
    return settingValue(kZIVSettingMaxPublicEventParameterValueLength);
  }
  // maxPublicEventParameterValueLength(), but never below 256.
  int32_t maxInternalEventParameterValueLength() const;
  int32_t maxRealtimeDCUEventCountPerDay() const {
    return settingValue(kZIVSettingMaxRealtimeDCUEventCountPerDay);
  }
  // 10 while the monitor is in debug mode.
  int32_t maxPSMStartCount() const;
  int32_t maxPSMRetryCount() const { return settingValue(kZIVSettingMaxPSMRetryCount); }
  double PSMRetryInterval() const { return settingValue(kZIVSettingPSMRetryInterval); }
  int32_t hashPrefixBitLengthEmail() const {
    return settingValue(kZIVSettingHashPrefixBitLengthEmail);
  }
  int32_t hashPrefixBitLengthPhone() const {
    return settingValue(kZIVSettingHashPrefixBitLengthPhone);
  }
  int32_t maxSignInDelayInDays() const { return settingValue(kZIVSettingMaxSignInDelayInDays); }
  // The experiment flag "psm_session_start_enabled" when known, else the setting.
  bool PSMSessionStartEnabled() const;
  int32_t PSMSessionStartHashPrefixBitLengthEmail() const {
    return settingValue(kZIVSettingPSMSessionStartHashPrefixBitLengthEmail);
  }
  int32_t PSMSessionStartHashPrefixBitLengthPhone() const {
    return settingValue(kZIVSettingPSMSessionStartHashPrefixBitLengthPhone);
  }
  // The experiment flag "psm_group_id_enabled" when known, else the setting.
  bool PSMGroupIDEnabled() const;
  int32_t PSMGroupIDHashPrefixBitLengthEmail() const {
    return settingValue(kZIVSettingPSMGroupIDHashPrefixBitLengthEmail);
  }
  bool adsOnDeviceConversionFeatureEnabled() const {
    return settingValue(kZIVSettingAdsOnDeviceConversionFeatureEnabled);
  }
  bool isDeferredDeepLinkEnabled() const {
    return settingValue(kZIVSettingIsDeferredDeepLinkEnabled);
  }
  int32_t maxDeferredDeepLinkRetryCount() const {
    return settingValue(kZIVSettingMaxDeferredDeepLinkRetryCount);
  }
  double attributionCacheTTLInterval() const {
    return settingValue(kZIVSettingAttributionCacheTTLInterval);
  }
  double remoteConfigCacheTimeInterval() const {
    return settingValue(kZIVSettingRemoteConfigCacheTimeInterval);
  }
  // The client's flag "session_stitching_token_feature_enabled" when it has one, else the
  // setting.
  bool sessionStitchingTokenFeatureEnabled() const;
  bool SKANUpdateConversionValueEnabled() const {
    return settingValue(kZIVSettingSKANUpdateConversionValueEnabled);
  }
  double SKANInitialCVFetchDelay() const {
    return settingValue(kZIVSettingSKANInitialCVFetchDelay);
  }
  double SKANCVFetchRetryInterval() const {
    return settingValue(kZIVSettingSKANCVFetchRetryInterval);
  }
  int32_t SKANCVFetchRetryLimit() const { return settingValue(kZIVSettingSKANCVFetchRetryLimit); }
  double SKANFirstWindowCVFetchDelay() const {
    return settingValue(kZIVSettingSKANFirstWindowCVFetchDelay);
  }
  double SKANFirstWindowCVFetchRetryInterval() const {
    return settingValue(kZIVSettingSKANFirstWindowCVFetchRetryInterval);
  }
  int32_t SKANFirstWindowCVFetchRetryLimit() const {
    return settingValue(kZIVSettingSKANFirstWindowCVFetchRetryLimit);
  }
  double SKANFirstWindowUploadInterval() const {
    return settingValue(kZIVSettingSKANFirstWindowUploadInterval);
  }
  // The experiment flag "customer_type_enabled" when known, else the setting.
  bool customerTypeEnabled() const;

 private:
  ZIVRemoteConfig(std::string appID, const std::shared_ptr<ZIVDatabase>& database,
                  std::shared_ptr<ZIVPersistedConfig> persistedConfig,
                  std::shared_ptr<APMEManager> experimentManager, Environment environment);

  // Registration, snapshot activation and the first configuration (designated steps 2 to 4).
  void start(const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig);
  void applyMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig);
  // Builds the event-editing runtime for the programs; false when it could not be started.
  bool startEventEditing(const fnd::Array& programs);
  void parseConsentConfig(const APMPBConsentConfig& consentConfig);
  // A copied experiment flag as a boolean, when the flag is known.
  std::optional<bool> experimentFlag(const std::string& name) const;
  // A flag value as a boolean: a number by its value, a string as NSString's boolValue reads it;
  // nullopt for null and other kinds.
  static std::optional<bool> boolFromFlagValue(const fnd::Value& value);

  ZIVMonitor& monitor() const;
  std::shared_ptr<const ZIVRemoteConfigServices> services() const;
  double now() const;

  // Constant after construction.
  const std::string appID_;
  const std::weak_ptr<ZIVDatabase> database_;
  const std::shared_ptr<ZIVPersistedConfig> persistedConfig_;
  const std::shared_ptr<APMEManager> experimentManager_;
  const Environment environment_;
  const bool isDefaultInstance_;
  std::shared_ptr<APMESDKProperty> SDKProperty_;  // Set by start().
  std::shared_ptr<APMEClient> experimentClient_;  // Set by start().

  // Thread-safe containers.
  mutable RVLMutableDictionary<std::string, fnd::Value> settingsCache_;
  RVLMutableDictionary<std::string, std::shared_ptr<const APMPBEventConfig>> eventConfigs_;
  RVLMutableDictionary<std::string, fnd::Value> experimentFlags_;
  RVLMutableDictionary<std::string, std::string> consentDefaults_;
  RVLMutableDictionary<std::string, std::string> consentDelegations_;
  RVLMutableDictionary<std::string, std::string> regionalDefaults_;
  std::atomic<bool> isDMARegion_{true};

  mutable std::mutex mu_;
  std::shared_ptr<const APMPBMeasurementConfig> measurementConfig_;  // Guarded by mu_.
  std::vector<std::string> dataControls_;                            // Guarded by mu_.
  std::set<std::string> corePlatformServices_;                       // Guarded by mu_.
  std::shared_ptr<ZIVRemoteConfigEventEditing> eventEditing_;        // Guarded by mu_.
  bool hasNewSnapshot_ = false;                                      // Guarded by mu_.
};

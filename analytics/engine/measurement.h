// ZIVMeasurement: the measurement engine. One process-wide instance owns the analytics database,
// the server settings, the worker queue, the upload timer, the network object and the reporters,
// and runs every piece of engine work on its serial worker queue. The facade ZIVAnalytics creates
// the instance when analytics starts; every other engine class reaches it through
// sharedInstance(), logs through monitor() and reads server settings through remoteConfig().
//
// Life of the instance: created (enabled decided, setEnabled() queued) -> on the worker queue
// enabled and started, or disabled. The component start-up (identity, consent, app-ID check,
// database, settings, audiences, sessions, first-open and update events, campaign, search ads,
// TCF, notifications) runs until it succeeds once; later enablings only refresh "_npa", report a
// first open owed after a reset and re-plan the upload. Disabling keeps every component and all
// data. There is no teardown.
//
// Thread safety: methods without "OnWorkerQueue" in their name may be called from any thread and
// queue their work on the worker queue with a block identifier ("ZIVMeasurement:2536"). Methods
// ending in "OnWorkerQueue" (and the pipeline stages) must run on the worker queue; they log 30001
// when called on the main thread and go on. The components (database, settings, reporters) are
// owned by the worker queue once made. The shared-instance functions take one class-wide mutex,
// which is never held while an instance is being made.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/engine/measurement_components.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/error.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/value.h"

class APMEManager;
class APMPBMeasurementBundle;
class APMTCFClient;
class ZIVAlarm;
class ZIVConsentSettingsUtil;
class ZIVDailyCounts;
class ZIVDatabase;
class ZIVDatabaseSettings;
class ZIVEnvironmentInfo;
class ZIVEvent;
class ZIVIdentity;
class ZIVIdentitySupport;
class ZIVMeasurementDatabaseSettings;
class ZIVMonitor;
class ZIVPersistedConfig;
class ZIVRawEventData;
class ZIVRemoteConfig;
class ZIVScheduler;
class ZIVUserAttribute;
class ZIVUserDefaults;
class ZIVValue;
class ZUZOzurivi;
struct SKPaymentTransaction;

// Constants of the engine.
inline constexpr const char* ZIVMeasurementDatabaseName = "rivado-duv-udiredururo.sql";
inline constexpr const char* ZIVMeasurementPlatform = "macos";
inline constexpr int32_t ZIVMeasurementProtocolVersion = 1;
inline constexpr const char* ZIVMeasurementManualInstall = "manual_install";
inline constexpr const char* ZIVMeasurementWorkerQueueLabel = "com.rivado.measurement.worker";
inline constexpr const char* ZIVMeasurementTimerName = "Measurement timer";
inline constexpr double ZIVRemoteConfigRefreshBlocklistTimeInterval = 604800;

// Code and descriptions of the session-ID query errors.
inline constexpr int64_t ZIVSessionIDErrorCode = 13;
inline constexpr const char* ZIVErrorDescriptionAnalyticsDeallocated = "Analytics deallocated";
inline constexpr const char* ZIVErrorDescriptionAnalyticsDisabled = "Analytics disabled";
inline constexpr const char* ZIVErrorDescriptionSessionExpired = "Session expired";
inline constexpr const char* ZIVErrorDescriptionSessionIDNotFound = "Session ID not found";

// Application notifications the engine follows.
const char* ZIVApplicationDidFinishLaunchingNotification();
const char* ZIVApplicationDidBecomeActiveNotification();
const char* ZIVApplicationWillResignActiveNotification();
const char* ZIVApplicationWindowDidResignKeyNotification();

// True for events that never reach the interceptor or the listeners: origin "am", names "_xa"
// and "_xu".
bool ZIVShouldEventSkipInterceptorAndListeners(const ZIVEvent& event);

// `timestampMillisRoundedUpToNextHour:`: (ms / 3600000) * 3600000 + 3600000, always the next full
// hour, also for a value already on the hour.
int64_t ZIVTimestampMillisRoundedUpToNextHour(int64_t milliseconds);

// What the engine reads from its surroundings; each member left empty takes the process's own.
struct ZIVMeasurementEnvironment {
  // Time [dispatch::Clock::current() at each use].
  std::shared_ptr<dispatch::Clock> clock;
  // Log sink [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // Identity [ZIVIdentity::sharedInstance(), taken at start-up].
  std::function<std::shared_ptr<ZIVIdentity>()> identity;
  // Consent state [ZIVConsentSettingsUtil::sharedInstance()]; must outlive the engine.
  ZIVConsentSettingsUtil* consent = nullptr;
  // Info.plist values [the main bundle's].
  std::function<std::optional<fnd::Value>(const std::string& key)> infoDictionaryValue;
  // Launch arguments [the process's].
  std::function<std::vector<std::string>()> launchArguments;
  // Whether a class of this name exists in the process ("DEVRemoteConfig") [none do].
  std::function<bool(const std::string& className)> classExists;
  // Notification centre of the application notifications [fnd::NotificationCenter's default].
  fnd::NotificationCenter* notificationCenter = nullptr;
  // Whether the application is active, when no screen reporter answers [the application object's
  // state, true without one].
  std::function<bool()> isAppActive;
  // Opens the database with the engine's limits `settings` (fault injection)
  // [ZIVDatabase::initWithDatabaseName with those settings and the clock].
  std::function<std::shared_ptr<ZIVDatabase>(
      const std::string& name, const std::shared_ptr<ZIVPersistedConfig>& config,
      const std::shared_ptr<const ZIVDatabaseSettings>& settings, fnd::Error* error)>
      openDatabase;
  // The folder excluded from backup ["Rivado/Measurement" of Application Support].
  std::string backupExcludedFolder;
  // The shared preference store of the stored campaign [ZIVUserDefaults::sharedUserDefaults()].
  ZIVUserDefaults* userDefaults = nullptr;
  // Advertising identity support [ZIVDefaultIdentitySupport::sharedInstance()].
  std::shared_ptr<ZIVIdentitySupport> identitySupport;
  // Device facts [ZIVEnvironmentInfo::sharedInstance()].
  ZIVEnvironmentInfo* environmentInfo = nullptr;
  // Environment handed to the server settings (monitor and clock are filled in from above).
  std::function<std::optional<fnd::Value>(const std::string& key)> remoteConfigInfoValue;
  // Whether this engine's server settings become the process's event rules (the shared instance's
  // do; a test engine's do not unless asked).
  bool installsProcessEventSettings = false;
  // Components for this engine; non-null members take precedence over the installed ones.
  ZIVMeasurementComponents components;
  // Makes this engine's own components over it at creation (between `components` and the
  // installed ones) [none; the shared instance takes the installed makers].
  ZIVMeasurementComponentMaker componentMaker;
};

class ZIVMeasurement : public std::enable_shared_from_this<ZIVMeasurement> {
 public:
  using Environment = ZIVMeasurementEnvironment;
  using Interceptor = std::function<void(const std::string& origin, const std::string& name,
                                         const fnd::Dictionary& parameters, double timestamp)>;
  using EventFilter = std::function<bool(const ZIVRawEventData& rawEvent)>;

  // ---- Shared instance. Any thread.

  // Acts only on the first call ever: marks initialisation requested and, for a non-empty app ID,
  // creates the shared instance. A first call with an empty app ID leaves the engine absent for
  // the life of the process. The class mutex is not held while the instance is made.
  static void initializeSharedInstanceWithAppID(const std::string& appID,
                                                bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                const std::vector<std::string>& safelistedEvents);
  // True only when the instance exists and initialisation was requested.
  static bool hasSharedInstance();
  // The instance or null. Before any initialisation request, with the public interface present,
  // warns once through the unified log (23147).
  static std::shared_ptr<ZIVMeasurement> sharedInstance();
  // The process-wide monitor, made once with the library version. Never null.
  static const std::shared_ptr<ZIVMonitor>& monitor();
  // The library version the monitor and the uploads carry (120500 for version 12.5.0).
  static int64_t libraryVersion();
  // The instance's server settings, or the built-in defaults while there are none.
  static std::shared_ptr<ZIVRemoteConfig> remoteConfig();
  // Subscribes the class to did-finish-launching (done once, at the first call).
  static void subscribeForAppDidFinishLaunchingNotifications(
      fnd::NotificationCenter* center = nullptr);
  static void handleAppDidFinishLaunching(const fnd::Notification& notification);

  // ---- Creation. Tests make their own instances; the process's is made by the facade.

  // Convenience: null (23170) for an empty app ID; logs the version and logging hints, makes the
  // network object, the scheduler and the alarm, then the designated form.
  static std::shared_ptr<ZIVMeasurement> initWithAppID(
      const std::string& appID, bool isAnalyticsCollectionEnabled,
      bool isAnalyticsCollectionDeactivated, const std::vector<std::string>& safelistedEvents,
      std::shared_ptr<APMEManager> experimentManager, Environment environment = {});
  // Designated: stores the arguments, fixes the init timestamp, decides `enabled` and queues
  // setEnabled() with it.
  static std::shared_ptr<ZIVMeasurement> initWithDatabaseName(
      const std::string& databaseName, std::shared_ptr<ZIVPersistedConfig> persistedConfig,
      std::shared_ptr<ZUZOzurivi> network, std::shared_ptr<ZIVScheduler> scheduler,
      std::shared_ptr<ZIVAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
      bool isAnalyticsCollectionDeactivated, const std::vector<std::string>& safelistedEvents,
      std::shared_ptr<APMEManager> experimentManager, Environment environment = {});
  ~ZIVMeasurement();
  ZIVMeasurement(const ZIVMeasurement&) = delete;
  ZIVMeasurement& operator=(const ZIVMeasurement&) = delete;

  // ---- Collection switch and start-up.

  bool shouldEnableMeasurement();
  // Any thread: queues setEnabledOnWorkerQueue() ("ZIVMeasurement:618").
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  // Component start-up (once) and the steps of every enabling; false when start-up failed.
  bool startMeasurementOnWorkerQueue();
  bool shouldWipeDataWithAppID(const std::string& appID,
                               const std::optional<std::string>& appIDFromZUZ,
                               const std::optional<std::string>& persistedAppIDFromZUZ);
  void setProspectiveConsentSettings();
  void updatePersistedAppIDFromZUZ();
  bool didInitializeComponents() const { return didInitializeComponents_.load(); }
  void setDidInitializeComponents(bool value) { didInitializeComponents_.store(value); }

  // ---- Start-up events and properties. Worker queue.

  void reportFirstOpenOnWorkerQueue();
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  void reportStoredCampaignEventOnWorkerQueue(std::optional<int64_t> clickTimestampInMs);
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  void removeSessionUserPropertiesOnWorkerQueue();
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  void updateAdPersonalizationConsentFromNPAValue(const std::optional<int64_t>& npaValue);
  void updateConsentSettingsUtilWithRemoteConfig();
  void updateCachedAdCampaignInfoWithExistingGBRAIDProperty();
  void removeLegacyGBRAIDUserProperty();
  void backfillSessionNumber();
  // Any thread: queues the new timeout for the session reporter ("ZIVMeasurement:1625").
  void setSessionTimeoutInterval(double seconds);

  // ---- Lifecycle, reset and wipe-out.

  void subscribeForAppForegroundBackgroundNotifications();
  void handleAppDidBecomeActiveEvent(const fnd::Notification& notification);
  void handleAppWillResignActiveEvent(const fnd::Notification& notification);
  void terminateBackgroundTask();
  // Must not be called on the worker queue (from there it runs inline instead of waiting).
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  // Worker queue.
  bool wipeoutAnalyticsDataAndResetComponents();
  void tcfClientSetConsentFromData();
  bool isZudiroruRemoteConfigSDKPresent();
  // The network object's log calls: its levels 3, 4, 5, 6, 7 become 1, 4, 3, 6, 7; others 3.
  void ZUZOzurivi_logWithLevel(int64_t level, int64_t messageCode, const std::string& message);
  void ZUZOzurivi_logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                               const fnd::Value& context);
  void ZUZOzurivi_logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                               const fnd::Array& contexts);

  // ---- Opened URLs, on-device conversion user data and store purchases.

  // Any thread but the worker queue: hands an URL opened while running to campaign attribution.
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds,
                                  const std::optional<std::string>& referrerURL);
  // Any thread: queues the user data for on-device conversion ("ZIVMeasurement:3457").
  void setUserData(const fnd::Dictionary& userData);
  // Any thread: keeps the purchased transactions whose fingerprint is new (or cannot be checked),
  // in arrival order, on the worker queue ("ZIVMeasurement:3935"); the callback then runs on a
  // global queue. Nothing runs when the engine is gone first.
  using PurchaseCandidates = std::vector<std::shared_ptr<const SKPaymentTransaction>>;
  void filterPurchaseTransactions(PurchaseCandidates transactions,
                                  std::function<void(PurchaseCandidates)> callback);

  // ---- Event entry, default parameters and backfill.

  // Any thread: queues logEventOnWorkerQueueWithOrigin() ("ZIVMeasurement:2536").
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const fnd::Dictionary& parameters, double timestamp, bool enabled,
                          bool ignoreEnabled, bool ignoreInterceptor, Interceptor interceptor,
                          const fnd::Dictionary& addedScreenParameters);
  void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                       const std::string& name, const fnd::Dictionary& parameters,
                                       double timestamp, bool enabled, bool ignoreEnabled,
                                       bool ignoreInterceptor, const Interceptor& interceptor,
                                       const fnd::Dictionary& addedScreenParameters);
  void logEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event, bool notifyEventListeners);
  // Any thread: queues handleEventOnWorkerQueue() ("ZIVMeasurement:2642"); null logs 23048.
  void logEvent(const std::shared_ptr<ZIVEvent>& event);
  // Any thread: queues the merge of the defaults ("ZIVMeasurement:2650"); nullopt clears them.
  void setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters);
  void handleSetDefaultEventParametersOnWorkerQueue(
      const std::optional<fnd::Dictionary>& parameters, bool backfillEvents);
  bool shouldBackfillEvents();
  fnd::Dictionary parametersWithAddedDefaultEventParameters(const fnd::Dictionary& parameters);
  void backfillEventsWithParameters(const fnd::Dictionary& parameters, bool isPublic,
                                    const EventFilter& eventFilter);
  void backfillSessionID(const std::shared_ptr<ZIVValue>& sessionID,
                         const std::shared_ptr<ZIVValue>& sessionNumber);
  double backfillStartTimestampForSessionID(const std::shared_ptr<ZIVValue>& sessionID);

  // ---- Event pipeline. Worker queue.

  void handleInternalEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event);
  void handleEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event);
  void writeEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event);
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event);
  std::shared_ptr<ZIVEvent> eventAfterSafelistingEvent(const std::shared_ptr<ZIVEvent>& event);
  void processSessionFromEvent(const ZIVEvent& event);
  bool dedupeSubscriptionEvent(const ZIVEvent& event);
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const ZIVEvent& event);
  std::shared_ptr<ZIVEvent> appExceptionEventWithZudiroruFeatureRollouts(
      const std::shared_ptr<ZIVEvent>& event);
  void writeSessionStartEventOnWorkerQueue(const ZIVEvent& event);
  bool updateLifetimeValueWithEvent(const ZIVEvent& event);
  bool shouldProcessEvent(const ZIVEvent& event, ZIVDailyCounts& dailyCounts, bool isPublicEvent);
  bool isRealtimeEvent(ZIVEvent& event, ZIVDailyCounts& dailyCounts);
  void maybeAddDebugAndRealtimeParameters(ZIVEvent& event);

  // ---- Raw event writing and metadata. Worker queue, inside the pipeline's transaction.

  bool writeEvent(const std::shared_ptr<ZIVEvent>& event, bool isPublicEvent, bool isRealtime);
  std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<ZIVUserAttribute>>& userAttributes);
  void logFirstOpenConsentedEvent(double timestamp);
  fnd::Dictionary firstOpenConsentedEventParams();
  fnd::Dictionary paramsWithAddedFirstOpenConsentedEventParams(const fnd::Dictionary& parameters);
  std::optional<std::string> previousFirstOpenCount();
  void setPreviousFirstOpenCount(const std::optional<std::string>& count);

  // ---- User properties.

  // Any thread; queued ("ZIVMeasurement:3101", ":3056", ":3242", ":3297", ":3450").
  void setUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute);
  void removeUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute);
  void userAttributeWithName(const std::string& name,
                             std::function<void(std::shared_ptr<ZIVUserAttribute>)> callback);
  void userPropertiesIncludingInternal(bool includingInternal,
                                       std::function<void(fnd::Dictionary)> callback);
  void sessionIDWithCompletion(
      std::function<void(int64_t sessionID, std::optional<fnd::Error> error)> completion);
  // Not queued: the callback gets 25 on the global queue.
  void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int64_t)> callback);
  // The value for "_npa": a boolean number, or nullopt.
  std::optional<bool> shouldDisableAdPersonalization();
  bool shouldAllowAdNetworkRegistration();
  // Worker queue.
  void setUserAttributeOnWorkerQueue(const std::shared_ptr<ZIVUserAttribute>& attribute);
  void removeUserAttributeOnWorkerQueue(const std::shared_ptr<ZIVUserAttribute>& attribute);
  bool setUserPropertyInDatabaseOnWorkerQueue(const std::shared_ptr<ZIVUserAttribute>& attribute);
  void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  bool hasUserPropertyUserIDOnWorkerQueue();

  // ---- Accessors.

  const std::string& appID() const { return appID_; }
  const std::string& databaseName() const { return databaseName_; }
  const std::shared_ptr<ZIVAlarm>& alarm() const { return alarm_; }
  std::shared_ptr<void> audience() const;
  const std::shared_ptr<ZIVPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  std::shared_ptr<ZIVRemoteConfig> remoteConfigInstance() const;
  // This engine's server settings, or the built-in defaults while it has none.
  std::shared_ptr<ZIVRemoteConfig> settingsOrDefaults() const;
  const std::shared_ptr<ZIVScheduler>& scheduler() const { return scheduler_; }
  const std::set<std::string>& safelistedEvents() const { return safelistedEvents_; }
  std::shared_ptr<ZIVIdentity> identity() const;
  const std::shared_ptr<ZUZOzurivi>& network() const { return network_; }
  std::shared_ptr<APMTCFClient> tcfClient() const;
  const std::shared_ptr<APMEManager>& experimentManager() const { return experimentManager_; }
  double initTimestamp() const { return initTimestamp_.load(); }
  bool isEnabled() const { return enabled_.load(); }
  std::shared_ptr<ZIVDatabase> database() const;
  std::shared_ptr<ZIVMeasurementSessionReporter> sessionReporter() const;
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_.load(); }
  void setIsAnalyticsCollectionEnabled(bool value) { isAnalyticsCollectionEnabled_.store(value); }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_.load(); }
  void setIsAnalyticsCollectionDeactivated(bool value) {
    isAnalyticsCollectionDeactivated_.store(value);
  }
  bool isNetworkRequestPending() const { return isNetworkRequestPending_.load(); }
  void setIsNetworkRequestPending(bool value) { isNetworkRequestPending_.store(value); }
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_.load(); }
  void setSuspendedUploadTimestamp(double value) { suspendedUploadTimestamp_.store(value); }
  bool shouldUpdateNPAUserProperty() const { return shouldUpdateNPAUserProperty_.load(); }
  void setShouldUpdateNPAUserProperty(bool value) { shouldUpdateNPAUserProperty_.store(value); }
  bool foundAdPersonalizationPlistFlag() const { return foundAdPersonalizationPlistFlag_.load(); }
  bool shouldRequestDeferredDeepLinkAfterConfigFetch() const {
    return shouldRequestDeferredDeepLinkAfterConfigFetch_.load();
  }
  void setShouldRequestDeferredDeepLinkAfterConfigFetch(bool value) {
    shouldRequestDeferredDeepLinkAfterConfigFetch_.store(value);
  }
  std::optional<std::string> previousZUZAppID() const;
  // Ids of the bundles of the upload in flight. Worker queue.
  std::vector<int64_t>& uploadingBundleIDs() { return uploadingBundleIDs_; }

  // The components in force for this engine (never null members).
  ZIVMeasurementComponents components() const;
  // The engine's clock, monitor and consent state.
  std::shared_ptr<dispatch::Clock> clock() const;
  const std::shared_ptr<ZIVMonitor>& log() const { return monitor_; }
  ZIVConsentSettingsUtil& consent() const;
  // Now, seconds since 1970, from the engine's clock.
  double now() const;
  // Whether the application is active (screen reporter, else the environment's answer).
  bool isAppActive() const;
  ZIVUserDefaults& userDefaults() const;
  ZIVEnvironmentInfo& environmentInfo() const;

 private:
  ZIVMeasurement(std::string databaseName, std::shared_ptr<ZIVPersistedConfig> persistedConfig,
                 std::shared_ptr<ZUZOzurivi> network, std::shared_ptr<ZIVScheduler> scheduler,
                 std::shared_ptr<ZIVAlarm> alarm, std::string appID,
                 bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
                 const std::vector<std::string>& safelistedEvents,
                 std::shared_ptr<APMEManager> experimentManager, Environment environment);

  // REQUIRES: initializeComponentsLock_ held; on the worker queue.
  bool initializeComponentsOnWorkerQueue();
  // Queues a block holding the engine weakly.
  void scheduleWeak(const std::string& blockID, std::function<void(ZIVMeasurement&)> block);
  std::optional<fnd::Value> infoDictionaryValue(const std::string& key) const;
  bool classExists(const std::string& className) const;
  // Logs an internal event through the facade, or through the engine's own entry.
  void logInternalEvent(const std::string& origin, const std::string& name,
                        const fnd::Dictionary& parameters);
  // The default event parameters as a dictionary (empty when none).
  fnd::Dictionary storedDefaultEventParameters();
  std::shared_ptr<ZIVMeasurementSessionReporter> sessionReporterOnWorkerQueue() const;

  // Constant after construction.
  // Made by the environment's component maker before the start-up is queued.
  ZIVMeasurementComponents madeComponents_;
  const std::string databaseName_;
  const std::shared_ptr<ZIVPersistedConfig> persistedConfig_;
  const std::shared_ptr<ZUZOzurivi> network_;
  const std::shared_ptr<ZIVScheduler> scheduler_;
  const std::shared_ptr<ZIVAlarm> alarm_;
  const std::string appID_;
  const std::set<std::string> safelistedEvents_;
  const std::shared_ptr<APMEManager> experimentManager_;
  const Environment environment_;
  const std::shared_ptr<ZIVMonitor> monitor_;
  bool wasEnabledDuringInitialization_ = false;  // Set once in the designated initialiser.

  // Flags read from any thread.
  std::atomic<bool> didInitializeComponents_{false};
  std::atomic<bool> enabled_{false};
  std::atomic<bool> isAnalyticsCollectionEnabled_;
  std::atomic<bool> isAnalyticsCollectionDeactivated_;
  std::atomic<bool> isNetworkRequestPending_{false};
  std::atomic<double> initTimestamp_{0};
  std::atomic<double> suspendedUploadTimestamp_{0};
  std::atomic<bool> foundAdPersonalizationPlistFlag_{false};
  std::atomic<bool> shouldUpdateNPAUserProperty_{false};
  std::atomic<bool> shouldRequestDeferredDeepLinkAfterConfigFetch_{false};

  // The database's limits, forwarded to the server settings once they exist.
  const std::shared_ptr<ZIVMeasurementDatabaseSettings> databaseSettings_;

  // Serialises the component start-up; held for its whole run.
  std::mutex initializeComponentsLock_;

  // Components made at start-up. Written on the worker queue; read from other threads only
  // through the accessors, under componentsMutex_.
  mutable std::mutex componentsMutex_;
  std::shared_ptr<ZIVIdentity> identity_;
  std::shared_ptr<ZIVDatabase> database_;
  std::shared_ptr<ZIVRemoteConfig> remoteConfig_;
  std::shared_ptr<void> audience_;
  std::shared_ptr<ZIVMeasurementSessionReporter> sessionReporter_;
  std::shared_ptr<APMTCFClient> tcfClient_;
  std::optional<std::string> previousZUZAppID_;

  // Owned by the worker queue.
  std::vector<int64_t> uploadingBundleIDs_;
  std::vector<fnd::NotificationCenter::Observer> observers_;
};

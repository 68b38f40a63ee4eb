// ZIVAnalytics: the facade between the public analytics interface (azodavevu.h) and the
// measurement engine. It starts the engine once, holds every public call made before the start and
// hands calls to the engine in call order, validates public names and values before queuing them,
// fixes each event's timestamp in call order, keeps the event listeners, the interceptor and the
// open-URL listener, switches collection on and off, and keeps consent and reset state in its
// preference suite "ZIVAnalyticsSuiteName" so that it is in force at the next launch before the
// engine has started.
//
// Queues:
//   - "ZIVAnalyticsOperationQueue": an operation queue running one operation at a time, suspended
//     until the start. Each operation only appends its block to "ZIVAnalyticsQueue", so calls made
//     before the start run there after the engine start, in call order.
//   - "ZIVAnalyticsQueue": the serial queue on which all facade work that touches the engine runs.
//     The collection switch, the session timeout, the session id, opened URLs, user activities and
//     the open-URL listener go there directly, without waiting for the start.
//   - "ZIVAnalyticsTimestampQueue": events take their timestamp and are queued inside one
//     synchronous call on it, so that queue order and timestamp order agree across threads.
//   Consent calls and the suite accessors run on the caller's thread.
//
// The engine is reached through ZIVAnalyticsEngine, a narrow view of the measurement engine; a test
// hands in its own. The facade's shared instance lives for the whole process. An instance made by
// a test drops the blocks still queued when it is destroyed; its caller must make sure no block
// of it is running (drain the queues first).
//
// Thread safety: every public method may be called from any thread, unless it says otherwise.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/attribution/user_activity.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/value.h"
#include "platform/storekit/storekit.h"

class ZIVConsentSettingsUtil;
class ZIVEvent;
class ZIVIdentifiers;
class ZIVIdentity;
class ZIVMonitor;
class ZIVPersistedConfig;
class ZIVRuntimeClassRegistry;
class ZIVUserAttribute;
class ZIVUserDefaults;
struct ZIVStoreKit2Transaction;

// Start options (built by the public interface at start).
inline constexpr const char* ZIVAnalyticsConfiguration = "ZUDIRORU_ANALYTICS_CONFIGURATION";
inline constexpr const char* ZIVIsAnalyticsCollectionDeactivated =
    "ZUDIRORU_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* ZIVIsAnalyticsCollectionEnabled =
    "ZUDIRORU_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* ZIVMonitorLogTagOptionKey = "duv_udiredururo_log_tag";
inline constexpr const char* ZIVSafelistedEventsOptionKey = "safelisted_events";

// The origin of the start: the vendor core framework.
inline constexpr const char* ZIVDuvUdiredururoOriginZudiroru = "fa";

// The facade's preference suite and its keys.
inline constexpr const char* ZIVAnalyticsSuiteName = "ZIVAnalyticsSuiteName";
inline constexpr const char* ZIVAnalyticsConsentSourceKey = "consent_source";
inline constexpr const char* ZIVAnalyticsConsentSettingsKey = "consent_settings";
inline constexpr const char* ZIVAnalyticsConsentSettings3PKey = "consent_settings_3p";
inline constexpr const char* ZIVAnalyticsConsentSettingsTCFKey = "consent_settings_tcf";
inline constexpr const char* ZIVAnalyticsConsentSettingsOnStartKey = "consent_settings_on_start";
inline constexpr const char* ZIVAnalyticsDeferredConsentResetKey = "deferred_consent_reset";
inline constexpr const char* ZIVAnalyticsDeferredAnalyticsCollectionKey =
    "deferred_analytics_collection";
inline constexpr const char* ZIVAnalyticsResetRetryCountKey = "reset_retry_count";
inline constexpr const char* ZIVAnalyticsNeedFirstOpenAfterResetKey = "need_first_open_after_reset";
inline constexpr const char* ZIVAnalyticsAppInstanceIDAfterResetKey = "app_instance_id_after_reset";

// Notifications: posted before the engine starts, and observed on the configuration object given
// in the start options (its user info holds a number under the same name).
inline constexpr const char* kDEVAzodavevuWillStartNotification =
    "kDEVAzodavevuWillStartNotification";
inline constexpr const char* ZIVAnalyticsConfigurationSetEnabledNotification =
    "DEVAzodavevuConfigurationSetEnabledNotification";

// The error code of a session id asked for before the engine is ready, and its description.
inline constexpr int64_t ZIVErrorCodeAnalyticsUninitialized = 13;
inline constexpr const char* ZIVErrorDescriptionAnalyticsUninitialized = "Analytics uninitialized";

// Measurement enabled states written to the persisted configuration.
inline constexpr int64_t ZIVMeasurementEnabledStateEnabled = 1;
inline constexpr int64_t ZIVMeasurementEnabledStateDisabled = 2;

// Called with every public event instead of logging it: origin, name, parameters, timestamp.
using ZIVLogEventInterceptor =
    std::function<void(const std::string& origin, const std::string& name,
                       const fnd::Dictionary& parameters, double timestamp)>;
// Called on "ZIVAnalyticsQueue" with a copy of every event the engine handles.
using ZIVLogEventListener = std::function<void(const ZIVEvent& event)>;
// Identifies a registered listener; never 0.
using ZIVLogEventListenerToken = uint64_t;
// Called on "ZIVAnalyticsQueue" with each opened URL.
using ZIVOpenURLListener = std::function<void(const std::string& url)>;
// Answers the session id, or an error in the engine's domain.
using ZIVSessionIDCompletion =
    std::function<void(int64_t sessionID, const std::optional<fnd::Error>& error)>;

// One event as the facade hands it to the engine.
struct ZIVFacadeEvent {
  std::string origin;
  bool isPublic = false;
  std::string name;
  fnd::Dictionary parameters;
  double timestamp = 0;
  bool enabled = false;  // The facade's collection flag when the event was handed over.
  bool ignoreEnabled = false;
  bool ignoreInterceptor = false;
  ZIVLogEventInterceptor interceptor;  // May be empty.
  fnd::Dictionary addedScreenParameters;
};

// What the facade needs of the measurement engine. Every method is called on "ZIVAnalyticsQueue"
// except where it says otherwise; completions may be called on any thread.
class ZIVAnalyticsEngine {
 public:
  virtual ~ZIVAnalyticsEngine() = default;

  // Creates the engine once per process (later calls do nothing).
  virtual void initializeSharedInstance(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                        bool isAnalyticsCollectionDeactivated,
                                        const std::optional<fnd::Array>& safelistedEvents) = 0;
  // Whether the engine exists. Any thread.
  virtual bool hasSharedInstance() = 0;
  // REQUIRES for the rest: hasSharedInstance().
  virtual bool wasEnabledDuringInitialization() = 0;
  virtual bool didInitializeComponents() = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual void logEvent(const ZIVFacadeEvent& event) = 0;
  virtual void setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters) = 0;
  virtual void setUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute) = 0;
  virtual void removeUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute) = 0;
  // The value of the "_npa" user property, or nullopt.
  virtual std::optional<int64_t> shouldDisableAdPersonalization() = 0;
  virtual void setSessionTimeoutInterval(double interval) = 0;
  virtual void sessionIDWithCompletion(ZIVSessionIDCompletion completion) = 0;
  virtual void userPropertiesIncludingInternal(
      bool includeInternal, std::function<void(const fnd::Dictionary&)> callback) = 0;
  virtual void maxUserPropertiesForOrigin(const std::string& origin,
                                          std::function<void(int64_t)> callback) = 0;
  virtual void setUserData(const fnd::Dictionary& userData) = 0;
  virtual bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& id) = 0;
  virtual void handleNonFirstOpenEventURL(const std::string& url, double timestamp,
                                          const std::optional<std::string>& referrerURL) = 0;
  // The deep link a user activity continues, or nullopt. Any thread.
  virtual std::optional<std::string> deepLinkFromUserActivity(const ZIVUserActivity& activity) = 0;
  // Server-side tag-manager debug mode from an opened URL. Caller's thread.
  virtual void handleSGTMDebugModeWithURL(const std::string& url) = 0;
  // The consent defaults of the server settings (built-in defaults before the engine exists).
  // Any thread.
  virtual fnd::Dictionary consentDefaults() = 0;
  // Keeps the purchased transactions not reported before (by fingerprint); the callback runs on a
  // global queue, and not at all when the engine is gone.
  virtual void filterPurchaseTransactions(
      std::vector<SKPaymentTransactionPtr> transactions,
      std::function<void(std::vector<SKPaymentTransactionPtr>)> callback) = 0;
};

// The screen reporter as the facade sees it.
class ZIVAnalyticsScreenReporting {
 public:
  virtual ~ZIVAnalyticsScreenReporting() = default;
  // The current screen's "_sn", "_sc", "_si" parameters (empty when none).
  virtual fnd::Dictionary screenParameters() = 0;
  // Reports a "screen_view" event logged through the public interface.
  virtual void trackScreenWithParameters(const fnd::Dictionary& parameters, double timestamp) = 0;
};

// What the facade reads from its surroundings; each member left empty takes the process's own
// (shown in brackets).
struct ZIVAnalyticsEnvironment {
  // Timestamps and the pause after waiting calls [dispatch::Clock::current() at creation].
  std::shared_ptr<dispatch::Clock> clock;
  // Log lines [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // The preference suite [ZIVAnalyticsSuiteName].
  std::string suiteName;
  // The consent state [ZIVConsentSettingsUtil::sharedInstance()]; must outlive the facade.
  ZIVConsentSettingsUtil* consent = nullptr;
  // The engine [the measurement engine, installed by ZIVAnalyticsInstallEngine()].
  std::shared_ptr<ZIVAnalyticsEngine> engine;
  // The screen reporter [none: "screen_view" is logged like any other event; the process's
  // facade uses the shared ZIVScreenViewReporter].
  std::shared_ptr<ZIVAnalyticsScreenReporting> screenReporting;
  // Where StoreKit 2 transactions are reported [ZIVInAppPurchaseTransactionReporter's shared
  // instance].
  std::function<void(const ZIVStoreKit2Transaction&)> reportTransaction;
  // Classes present in the process [ZIVRuntimeClassRegistry::sharedRegistry()].
  const ZIVRuntimeClassRegistry* classes = nullptr;
  // Notifications [fnd::NotificationCenter::defaultCenter()].
  fnd::NotificationCenter* notificationCenter = nullptr;
  // The identity [ZIVIdentity::sharedInstance()].
  std::function<std::shared_ptr<ZIVIdentity>()> identity;
  // The data-collection origin [ZIVIdentifiers::sharedInstance()].
  ZIVIdentifiers* identifiers = nullptr;
  // The engine's persisted settings [ZIVPersistedConfig::sharedInstance()].
  std::function<std::shared_ptr<ZIVPersistedConfig>()> persistedConfig;
  // The application-delegate proxy: whether it is enabled [NO], and how it is made [nothing].
  std::function<bool()> isAppDelegateProxyEnabled;
  std::function<void()> createAppDelegateProxy;
  // The store's payment queue the facade observes from its start [SKPaymentQueue::defaultQueue()];
  // must outlive the facade.
  SKPaymentQueue* paymentQueue = nullptr;
  // Receives the purchased transactions that passed de-duplication
  // [ZIVInAppPurchaseTransactionReporter::sharedInstance()].
  std::function<void(const std::vector<SKPaymentTransactionPtr>&)> reportFilteredTransactions;
};

class ZIVAnalytics {
 public:
  using Environment = ZIVAnalyticsEnvironment;
  using Block = std::function<void()>;

  // The process's facade, made once with the process's surroundings.
  static ZIVAnalytics& sharedInstance();

  explicit ZIVAnalytics(Environment environment = {});
  ~ZIVAnalytics();
  ZIVAnalytics(const ZIVAnalytics&) = delete;
  ZIVAnalytics& operator=(const ZIVAnalytics&) = delete;

  // ---- Start-up and call queues.

  // Starts the engine once. Refused (25029) when a class "VIVUDatabase" is present, refused
  // (25026) when the origin is not "fa": queued calls then never run. A later call only changes
  // the monitor's log tag.
  void startWithAppID(const std::string& appID, const std::string& origin,
                      const fnd::Dictionary& options);
  // Whether the start block has run.
  bool isStarted() const;
  // Runs the block on "ZIVAnalyticsQueue", not held before the start.
  void dispatchAsyncOnSerialQueue(Block block);
  // Appends the block to the operation queue (held until the start).
  void queueOperationWithBlock(Block block);
  // As queueOperationWithBlock; then, when the operation queue runs, waits until the block is on
  // "ZIVAnalyticsQueue", suspends the operation queue and lets it run again 500 milliseconds later.
  void queueOperationWithBlockThenWait(Block block);
  void unsuspendOperationQueue();
  const std::shared_ptr<dispatch::Queue>& queue() const { return serialQueue_; }
  bool isCurrentQueueSerialQueue() const;
  // Seconds since 1970 at which the facade was made (or last reset).
  double loadTimestamp() const;
  void setLoadTimestamp(double timestamp);
  // Draws a new app instance id, persists the reset request and queues the engine's reset.
  void resetAnalyticsData();
  // Calls "initializeSharedInstance" of the class "VEVOrozudo" when it is present.
  void maybeEnableVevOrozudo();

  // The reset keys of the suite.
  int64_t resetRetryCount() const;
  // Below 1 removes the key.
  void setResetRetryCount(int64_t count);
  bool needFirstOpenAfterReset() const;
  void setNeedFirstOpenAfterReset(bool need);
  void removeNeedFirstOpenAfterReset();
  std::optional<std::string> appInstanceIDAfterReset() const;
  // nullopt removes the value.
  void setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID);

  // Whether collection is on for the facade (NO until the start).
  bool isAnalyticsEnabled() const { return analyticsEnabled_.load(); }
  bool isAnalyticsCollectionDeactivated() const { return collectionDeactivated_.load(); }

  // ---- Events.

  // The origin "app".
  void logEventWithName(const std::string& name, const std::optional<fnd::Dictionary>& parameters);
  // Public name rules first; a refused name becomes the "_err" event (13 or 2).
  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const std::optional<fnd::Dictionary>& parameters);
  // No name rules.
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const std::optional<fnd::Dictionary>& parameters);
  // As logInternalEventWithOrigin, after turning a numeric "_aeid" text of the origin "am" into an
  // integer (the form the other libraries' interop path uses).
  void logInternalEventConvertingAdEventID(const std::string& origin, const std::string& name,
                                           const std::optional<fnd::Dictionary>& parameters);
  // The timestamped path: "screen_view" goes to the screen reporter; anything else takes the
  // current screen and its timestamp and is queued.
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const std::optional<fnd::Dictionary>& parameters);
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  double timestamp,
                                  const std::optional<fnd::Dictionary>& parameters);
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const std::optional<fnd::Dictionary>& parameters, double timestamp,
                          bool ignoreEnabled, bool ignoreInterceptor);
  void setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters);
  // A StoreKit 2 transaction, handed at once, on the caller's thread, to the purchase reporter.
  void logTransactionWithProductID(const ZIVStoreKit2Transaction& transaction);

  // ---- User properties.

  // A value that is not a string is refused (25003); "allow_personalized_ads" steers "_npa".
  void setUserPropertyString(const std::optional<fnd::Value>& value, const std::string& name);
  // A value that is not a string is refused (25004); nullopt removes "_id" and "_lair".
  void setUserID(const std::optional<fnd::Value>& userID);
  void removeUserAttributeForName(const std::string& name);
  void setUserAttributeNumber(const fnd::Value& number, const std::string& name);
  void setInternalUserProperty(const std::optional<fnd::Value>& value, const std::string& name,
                               const std::string& origin);
  void removeInternalUserAttributeForName(const std::string& name);
  // `callback` runs on `queue` (the main queue when `queue` is null).
  void userPropertiesIncludingInternal(bool includeInternal,
                                       const std::shared_ptr<dispatch::Queue>& queue,
                                       std::function<void(const fnd::Dictionary&)> callback);
  void maxUserPropertiesForOrigin(const std::string& origin,
                                  const std::shared_ptr<dispatch::Queue>& queue,
                                  std::function<void(int64_t)> callback);

  // ---- Listeners, the interceptor and URLs.

  void setLogEventInterceptor(ZIVLogEventInterceptor interceptor);
  // 0 (and 25012) for an empty listener; the token is valid at once.
  ZIVLogEventListenerToken addLogEventListener(ZIVLogEventListener listener);
  void removeLogEventListener(ZIVLogEventListenerToken token);
  // Calls every listener with the event, on "ZIVAnalyticsQueue".
  void notifyEventListeners(std::shared_ptr<const ZIVEvent> event);
  void handleOpenURL(const std::string& url);
  void handleUserActivity(const ZIVUserActivity& activity);
  void setOpenURLListener(ZIVOpenURLListener listener);

  // ---- Store.

  // The payment queue's changed transactions (the facade observes the queue from its start until
  // it is destroyed): while collection is on, the purchased ones not seen before are reported.
  void paymentQueueUpdatedTransactions(const std::vector<SKPaymentTransactionPtr>& transactions);

  // ---- Collection switch, session settings and user data.

  void setAnalyticsEnabled(bool enabled);
  void setAnalyticsEnabled(bool enabled, bool persistSetting);
  // Observes ZIVAnalyticsConfigurationSetEnabledNotification from `configuration` (nullptr: stop).
  void observeNotificationsForAnalyticsConfiguration(const void* configuration);
  void handleSetEnabled(const fnd::Notification& notification);
  void setSessionTimeoutInterval(double interval);
  // The completion runs on a global queue.
  void sessionIDWithCompletion(ZIVSessionIDCompletion completion);
  std::optional<std::string> appInstanceID();
  void setUserData(const fnd::Dictionary& userData);

  // ---- Consent.

  // The key "consent_settings" (source 30).
  void setConsent(const fnd::Dictionary& consent);
  // Key "consent_settings_tcf" is source 5, "consent_settings_3p" 10, any other 30. Checks,
  // merges and persists under one lock, so the stored settings always equal those in force.
  void setConsent(const fnd::Dictionary& consent, const std::string& key);
  void loadPersistedConsentSettings();
  void persistConsentSettings(const fnd::Dictionary& settings, int64_t source);
  int64_t persistedConsentSource() const;
  std::optional<fnd::Dictionary> consentSettingsTCF() const;
  std::optional<fnd::Dictionary> consentSettings3P() const;
  std::optional<fnd::Dictionary> consentSettings1P() const;
  std::optional<fnd::Dictionary> consentSettings1PStart() const;
  std::optional<fnd::Value> deferredResetOnDeniedConsent() const;
  std::optional<fnd::Value> deferredAnalyticsCollection() const;
  void removeStartUpConsentSettings();
  void removeDeferredResetOnDeniedConsent();
  // nullopt removes it.
  void setDeferredAnalyticsCollection(const std::optional<fnd::Value>& value);
  void clearConsent();

  // Installs the engine the facade reaches (for the process's facade, done once by the engine's
  // adapter before the start). A null engine leaves it unset.
  void setEngine(std::shared_ptr<ZIVAnalyticsEngine> engine);

 private:
  struct StartState;

  ZIVMonitor& monitor() const { return *monitor_; }
  std::shared_ptr<ZIVAnalyticsEngine> engine() const;
  bool hasEngine() const;
  // The start block (once) and the engine start on "ZIVAnalyticsQueue".
  void runStartBlock(const std::string& appID, const std::string& origin,
                     const fnd::Dictionary& options);
  void startEngineOnSerialQueue(const std::string& appID, const std::string& origin, bool enabled,
                                const std::optional<fnd::Array>& safelist);
  void logEventOnSerialQueue(ZIVFacadeEvent event);
  void personalizedAdsOnSerialQueue(const std::optional<fnd::Value>& value);
  void notifyEventListenersOnSerialQueue(const ZIVEvent& event);
  void setUserDataOnSerialQueue(const fnd::Dictionary& userData);
  void setConsentLocked(const fnd::Dictionary& consent, const std::string& key);
  void loadPersistedConsentSettingsLocked();
  std::optional<fnd::Dictionary> suiteDictionary(const char* key) const;
  double now() const;

  // Constant after construction.
  const std::shared_ptr<dispatch::Clock> clock_;
  const std::shared_ptr<ZIVMonitor> monitor_;
  ZIVConsentSettingsUtil& consent_;
  const std::shared_ptr<ZIVAnalyticsScreenReporting> screenReporting_;
  const ZIVRuntimeClassRegistry& classes_;
  fnd::NotificationCenter& notificationCenter_;
  const std::function<std::shared_ptr<ZIVIdentity>()> identity_;
  ZIVIdentifiers& identifiers_;
  const std::function<std::shared_ptr<ZIVPersistedConfig>()> persistedConfig_;
  const std::function<bool()> isAppDelegateProxyEnabled_;
  const std::function<void()> createAppDelegateProxy_;
  const std::function<void(const ZIVStoreKit2Transaction&)> reportTransaction_;
  const std::unique_ptr<ZIVUserDefaults> persistedStorage_;
  // The serial queue outlives the operation queue, whose operations append to it.
  const std::shared_ptr<dispatch::Queue> serialQueue_;
  const std::shared_ptr<dispatch::Queue> timestampQueue_;
  const std::unique_ptr<dispatch::OperationQueue> operationQueue_;

  std::atomic<bool> analyticsEnabled_{false};
  std::atomic<bool> collectionDeactivated_{false};

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::shared_ptr<ZIVAnalyticsEngine> engine_;
  double loadTimestamp_ = 0;
  bool started_ = false;
  bool appDelegateProxyCreated_ = false;
  std::optional<fnd::NotificationCenter::Observer> configurationObserver_;
  ZIVLogEventListenerToken nextListenerToken_ = 1;

  // The store's payment queue and the facade's observer on it (added on the main queue at the
  // start, removed when the facade is destroyed).
  class PaymentObserver;
  SKPaymentQueue& paymentQueue_;
  const std::function<void(const std::vector<SKPaymentTransactionPtr>&)>
      reportFilteredTransactions_;
  const std::shared_ptr<PaymentObserver> paymentObserver_;

  // Serialises the consent check, merge and persistence (setConsent, loading).
  std::recursive_mutex consentMu_;

  // Owned by "ZIVAnalyticsQueue".
  ZIVLogEventInterceptor interceptor_;
  std::map<ZIVLogEventListenerToken, ZIVLogEventListener> listeners_;
  bool listenersCreated_ = false;
  ZIVOpenURLListener openURLListener_;
};

// Validates the start option "safelisted_events": an array of valid internal event names (25034
// when it is not an array, 25035 for the first invalid name).
bool ZIVValidateSafelistedEvents(const fnd::Value& value, ZIVMonitor& monitor);

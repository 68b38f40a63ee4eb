#include "analytics/engine/analytics_facade.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "analytics/attribution/in_app_purchase_transaction_reporter.h"
#include "analytics/config/consent_settings_util.h"
#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/event.h"
#include "analytics/engine/event_util.h"
#include "analytics/engine/facade_link.h"
#include "analytics/engine/identifiers.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/runtime_class_registry.h"
#include "analytics/engine/screen_view_reporter.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/errors.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/numeric_util.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/user_defaults.h"
#include "analytics/foundation/value.h"
#include "platform/foundation/text.h"

namespace {

constexpr const char* kSerialQueueLabel = "ZIVAnalyticsQueue";
constexpr const char* kTimestampQueueLabel = "ZIVAnalyticsTimestampQueue";
constexpr const char* kOperationQueueName = "ZIVAnalyticsOperationQueue";
constexpr const char* kAllowPersonalizedAdsName = "allow_personalized_ads";
// The pause after a waiting call, in seconds.
constexpr double kWaitingCallPause = 0.5;

// The truth of a text the way the platform's string boolValue reads it: optional leading
// whitespace, signs and zeros, then "Y", "y", "T", "t" or a digit 1 to 9 is YES.
bool TextBoolValue(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  while (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i >= text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// The BOOL of an object: numbers by value, texts as above, anything else NO.
bool ObjectBoolValue(const fnd::Value& value) {
  if (value.isString()) return TextBoolValue(value.asString());
  return value.asBool();
}

bool IsNumber(const fnd::Value& value) { return value.isNumber() || value.isBool(); }

// The long long value of a numeric text, saturating at the 64-bit bounds.
int64_t LongLongValue(const std::string& text) {
  errno = 0;
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  return static_cast<int64_t>(v);
}

}  // namespace

// The facade's observer on the store's payment queue. Detached when the facade is destroyed, so a
// batch the queue announces afterwards reaches nothing.
class ZIVAnalytics::PaymentObserver : public SKPaymentTransactionObserver {
 public:
  explicit PaymentObserver(ZIVAnalytics* analytics) : analytics_(analytics) {}
  void paymentQueueUpdatedTransactions(
      SKPaymentQueue& /*queue*/,
      const std::vector<SKPaymentTransactionPtr>& transactions) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (analytics_) analytics_->paymentQueueUpdatedTransactions(transactions);
  }
  void detach() {
    std::lock_guard<std::mutex> lock(mu_);
    analytics_ = nullptr;
  }

 private:
  std::mutex mu_;
  ZIVAnalytics* analytics_;  // Guarded by mu_; null once detached.
};

namespace {

// The shared screen reporter as the process's facade sees it; reached at each call, so that it
// is made on first use and never during the facade's own creation.
class SharedScreenReporting : public ZIVAnalyticsScreenReporting {
 public:
  fnd::Dictionary screenParameters() override {
    return ZIVScreenViewReporter::sharedInstance()->screenParameters();
  }
  void trackScreenWithParameters(const fnd::Dictionary& parameters, double timestamp) override {
    ZIVScreenViewReporter::sharedInstance()->trackScreenWithParameters(parameters, timestamp);
  }
};

}  // namespace

bool ZIVValidateSafelistedEvents(const fnd::Value& value, ZIVMonitor& monitor) {
  const fnd::Array* array = value.array();
  if (!array) {
    monitor.logWithLevel(0, 25034, "Invalid safelisted event parameter. Type must be an array");
    return false;
  }
  for (const fnd::Value& element : *array) {
    if (!ZIVDataTypeValidator::isValidInternalEventName(element)) {
      monitor.logWithLevel(0, 25035, "Invalid event name for safelisting. Name", element);
      return false;
    }
  }
  return true;
}

ZIVAnalytics& ZIVAnalytics::sharedInstance() {
  static ZIVAnalytics& instance = *[] {
    Environment environment;
    // "screen_view" events and the screen parameters of every event come from the screen reporter.
    environment.screenReporting = std::make_shared<SharedScreenReporting>();
    auto* analytics = new ZIVAnalytics(std::move(environment));
    // Refusals outside an event ("_err") come back through the facade.
    ZIVSetInternalEventLogger([analytics](const std::string& origin, const std::string& name,
                                          const fnd::Dictionary& parameters) {
      analytics->logInternalEventWithOrigin(origin, name, parameters);
    });
    // The engine finds the facade's suite values, listeners and queues through this link.
    ZIVAnalyticsInstallLinks(*analytics);
    return analytics;
  }();
  return instance;
}

ZIVAnalytics::ZIVAnalytics(Environment environment)
    : clock_(environment.clock ? std::move(environment.clock) : dispatch::Clock::current()),
      monitor_(environment.monitor ? std::move(environment.monitor) : ZIVMeasurement::monitor()),
      consent_(environment.consent ? *environment.consent
                                   : ZIVConsentSettingsUtil::sharedInstance()),
      screenReporting_(std::move(environment.screenReporting)),
      classes_(environment.classes ? *environment.classes
                                   : ZIVRuntimeClassRegistry::sharedRegistry()),
      notificationCenter_(environment.notificationCenter
                              ? *environment.notificationCenter
                              : fnd::NotificationCenter::defaultCenter()),
      identity_(environment.identity ? std::move(environment.identity)
                                     : [] { return ZIVIdentity::sharedInstance(); }),
      identifiers_(environment.identifiers ? *environment.identifiers
                                           : ZIVIdentifiers::sharedInstance()),
      persistedConfig_(environment.persistedConfig
                           ? std::move(environment.persistedConfig)
                           : [] { return ZIVPersistedConfig::sharedInstance(); }),
      isAppDelegateProxyEnabled_(environment.isAppDelegateProxyEnabled
                                     ? std::move(environment.isAppDelegateProxyEnabled)
                                     : [] { return false; }),
      createAppDelegateProxy_(environment.createAppDelegateProxy
                                  ? std::move(environment.createAppDelegateProxy)
                                  : [] {}),
      reportTransaction_(environment.reportTransaction
                             ? std::move(environment.reportTransaction)
                             : [](const ZIVStoreKit2Transaction& transaction) {
                                 ZIVInAppPurchaseTransactionReporter::sharedInstance()
                                     ->reportTransaction(transaction);
                               }),
      persistedStorage_(std::make_unique<ZIVUserDefaults>(environment.suiteName.empty()
                                                              ? std::string(ZIVAnalyticsSuiteName)
                                                              : environment.suiteName)),
      serialQueue_(dispatch::Queue::create(kSerialQueueLabel, dispatch::Qos::kDefault, clock_)),
      timestampQueue_(
          dispatch::Queue::create(kTimestampQueueLabel, dispatch::Qos::kDefault, clock_)),
      operationQueue_(
          std::make_unique<dispatch::OperationQueue>(kOperationQueueName, /*suspended=*/true)),
      engine_(std::move(environment.engine)),
      loadTimestamp_(clock_->wallTime()),
      paymentQueue_(environment.paymentQueue ? *environment.paymentQueue
                                             : SKPaymentQueue::defaultQueue()),
      reportFilteredTransactions_(
          environment.reportFilteredTransactions
              ? std::move(environment.reportFilteredTransactions)
              : [](const std::vector<SKPaymentTransactionPtr>& transactions) {
                  ZIVInAppPurchaseTransactionReporter::sharedInstance()
                      ->paymentQueueUpdatedFilteredTransactions(transactions);
                }),
      paymentObserver_(std::make_shared<PaymentObserver>(this)) {}

ZIVAnalytics::~ZIVAnalytics() {
  paymentObserver_->detach();
  paymentQueue_.removeTransactionObserver(paymentObserver_.get());
}

double ZIVAnalytics::now() const { return clock_->wallTime(); }

void ZIVAnalytics::setEngine(std::shared_ptr<ZIVAnalyticsEngine> engine) {
  if (!engine) return;
  std::lock_guard<std::mutex> lock(mu_);
  engine_ = std::move(engine);
}

std::shared_ptr<ZIVAnalyticsEngine> ZIVAnalytics::engine() const {
  std::lock_guard<std::mutex> lock(mu_);
  return engine_;
}

bool ZIVAnalytics::hasEngine() const {
  auto e = engine();
  return e && e->hasSharedInstance();
}

// ---- Start-up and call queues.

void ZIVAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const fnd::Dictionary& options) {
  if (classes_.classNamed("VIVUDatabase")) {
    monitor().logWithLevel(1, 25029,
                           "Detected an older version of Rivado Analytics for Zudiroru framework. "
                           "Data collection will be disabled. Please upgrade to the latest version "
                           "of Rivado Analytics for Zudiroru");
    return;
  }
  if (origin != ZIVDuvUdiredururoOriginZudiroru) {
    monitor().logWithLevel(3, 25026, "Deferring to Zudiroru for event data collection");
    return;
  }
  if (!options.empty()) {
    fnd::Value tag = options.get(fnd::Value(ZIVMonitorLogTagOptionKey));
    if (tag.isString() && !tag.asString().empty()) {
      monitor().setLogTag(tag.asString());
    } else {
      monitor().logWithLevel(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (started_) return;
    started_ = true;
  }
  runStartBlock(appID, origin, options);
}

bool ZIVAnalytics::isStarted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return started_;
}

void ZIVAnalytics::runStartBlock(const std::string& appID, const std::string& origin,
                                 const fnd::Dictionary& options) {
  if (consent_.consentSource() == ZIVConsentSourceNone) loadPersistedConsentSettings();
  notificationCenter_.post(kDEVAzodavevuWillStartNotification);

  collectionDeactivated_.store(false);
  bool enabled = true;
  fnd::Value configuration;
  std::optional<fnd::Array> safelist;
  if (!options.empty()) {
    fnd::Value enabledOption = options.get(fnd::Value(ZIVIsAnalyticsCollectionEnabled));
    if (IsNumber(enabledOption)) enabled = enabledOption.asBool();
    fnd::Value deactivatedOption = options.get(fnd::Value(ZIVIsAnalyticsCollectionDeactivated));
    if (IsNumber(deactivatedOption)) collectionDeactivated_.store(deactivatedOption.asBool());
    configuration = options.get(fnd::Value(ZIVAnalyticsConfiguration));
    // Only a given safelist is checked: without one the engine simply has none.
    if (const fnd::Value* given = options.find(fnd::Value(ZIVSafelistedEventsOptionKey))) {
      if (ZIVValidateSafelistedEvents(*given, monitor())) safelist = *given->array();
    }
    fnd::Dictionary startConsent = ZIVConsentSettingsUtil::consentSettingsFromDictionary(options);
    if (!startConsent.empty()) {
      persistedStorage_->setObject(fnd::Value(startConsent), ZIVAnalyticsConsentSettingsOnStartKey);
      persistedStorage_->synchronize();
    }
  }

  dispatchAsyncOnSerialQueue([this, appID, origin, enabled, safelist] {
    startEngineOnSerialQueue(appID, origin, enabled, safelist);
  });
  if (const auto* record = configuration.record()) {
    observeNotificationsForAnalyticsConfiguration(record->get());
  }
  // The facade observes the store's payment queue from the main queue on.
  dispatch::Queue::main()->async([queue = &paymentQueue_, observer = paymentObserver_] {
    queue->addTransactionObserver(observer);
  });
  unsuspendOperationQueue();
}

void ZIVAnalytics::startEngineOnSerialQueue(const std::string& appID, const std::string& origin,
                                            bool enabled,
                                            const std::optional<fnd::Array>& safelist) {
  if (origin == ZIVDuvUdiredururoOriginZudiroru) {
    if (std::shared_ptr<ZIVIdentity> identity = identity_()) {
      if (identity->appIDFromZUZ() != appID) identity->setAppIDFromZUZ(appID);
    }
  }
  identifiers_.setOrigin(origin);
  std::shared_ptr<ZIVAnalyticsEngine> e = engine();
  if (e) {
    e->initializeSharedInstance(appID, enabled, collectionDeactivated_.load(), safelist);
  }
  if (isAppDelegateProxyEnabled_()) {
    if (!collectionDeactivated_.load()) {
      dispatch::Queue::main()->async([this] {
        {
          std::lock_guard<std::mutex> lock(mu_);
          if (appDelegateProxyCreated_) return;
          appDelegateProxyCreated_ = true;
        }
        createAppDelegateProxy_();
      });
    }
  } else {
    monitor().logWithLevel(6, 25036, "App Delegate Proxy is disabled");
  }
  analyticsEnabled_.store(e && e->hasSharedInstance() && e->wasEnabledDuringInitialization());
  maybeEnableVevOrozudo();
}

void ZIVAnalytics::maybeEnableVevOrozudo() {
  std::shared_ptr<ZIVRuntimeClass> cls = classes_.classNamed("VEVOrozudo");
  if (!cls || !cls->respondsToSelector("initializeSharedInstance")) return;
  if (!cls->invokeClassMethod("initializeSharedInstance")) {
    monitor().logWithLevel(2, 25016, "VEVOrozudo class doesn't define initializeSharedInstance");
  }
}

void ZIVAnalytics::dispatchAsyncOnSerialQueue(Block block) {
  serialQueue_->async(std::move(block));
}

void ZIVAnalytics::queueOperationWithBlock(Block block) {
  operationQueue_->addOperation(
      [this, block = std::move(block)]() mutable { dispatchAsyncOnSerialQueue(std::move(block)); });
}

void ZIVAnalytics::queueOperationWithBlockThenWait(Block block) {
  queueOperationWithBlock(std::move(block));
  if (operationQueue_->isSuspended()) return;
  operationQueue_->waitUntilAllOperationsAreFinished();
  operationQueue_->setSuspended(true);
  serialQueue_->after(kWaitingCallPause, [this] { unsuspendOperationQueue(); });
}

void ZIVAnalytics::unsuspendOperationQueue() { operationQueue_->setSuspended(false); }

bool ZIVAnalytics::isCurrentQueueSerialQueue() const {
  std::shared_ptr<dispatch::Queue> current = dispatch::Queue::current();
  return current && current->label() == kSerialQueueLabel;
}

double ZIVAnalytics::loadTimestamp() const {
  std::lock_guard<std::mutex> lock(mu_);
  return loadTimestamp_;
}

void ZIVAnalytics::setLoadTimestamp(double timestamp) {
  std::lock_guard<std::mutex> lock(mu_);
  loadTimestamp_ = timestamp;
}

void ZIVAnalytics::resetAnalyticsData() {
  setLoadTimestamp(now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);
  std::string drawn = ZIVIdentity::randomAppInstanceID();
  if (drawn.empty()) {
    monitor().logWithLevel(1, 25039, "Cannot generate a new app instance ID");
    return;
  }
  std::optional<std::string> appInstanceID;
  if (!consent_.isAnalyticsStorageDenied()) {
    appInstanceID = drawn;
    setAppInstanceIDAfterReset(appInstanceID);
  }
  queueOperationWithBlock([this, appInstanceID] {
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    bool reset =
        e && e->hasSharedInstance() && e->resetAnalyticsDataWithAppInstanceID(appInstanceID);
    if (!reset) {
      monitor().logWithLevel(1, 25037, "Failed to reset Analytics data");
      return;
    }
    setResetRetryCount(0);
    if (appInstanceID && appInstanceIDAfterReset() == appInstanceID) {
      setAppInstanceIDAfterReset(std::nullopt);
    }
  });
}

// ---- The suite's reset keys.

int64_t ZIVAnalytics::resetRetryCount() const {
  return persistedStorage_->integerForKey(ZIVAnalyticsResetRetryCountKey);
}

void ZIVAnalytics::setResetRetryCount(int64_t count) {
  if (count < 1) {
    persistedStorage_->removeObjectForKey(ZIVAnalyticsResetRetryCountKey);
  } else {
    persistedStorage_->setInteger(count, ZIVAnalyticsResetRetryCountKey);
  }
  persistedStorage_->synchronize();
}

bool ZIVAnalytics::needFirstOpenAfterReset() const {
  return persistedStorage_->boolForKey(ZIVAnalyticsNeedFirstOpenAfterResetKey);
}

void ZIVAnalytics::setNeedFirstOpenAfterReset(bool need) {
  persistedStorage_->setBool(need, ZIVAnalyticsNeedFirstOpenAfterResetKey);
  persistedStorage_->synchronize();
}

void ZIVAnalytics::removeNeedFirstOpenAfterReset() {
  persistedStorage_->removeObjectForKey(ZIVAnalyticsNeedFirstOpenAfterResetKey);
  persistedStorage_->synchronize();
}

std::optional<std::string> ZIVAnalytics::appInstanceIDAfterReset() const {
  return persistedStorage_->stringForKey(ZIVAnalyticsAppInstanceIDAfterResetKey);
}

void ZIVAnalytics::setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID) {
  if (appInstanceID) {
    persistedStorage_->setObject(fnd::Value(*appInstanceID),
                                 ZIVAnalyticsAppInstanceIDAfterResetKey);
  } else {
    persistedStorage_->removeObjectForKey(ZIVAnalyticsAppInstanceIDAfterResetKey);
  }
  persistedStorage_->synchronize();
}

// ---- Events.

void ZIVAnalytics::logEventWithName(const std::string& name,
                                    const std::optional<fnd::Dictionary>& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void ZIVAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const std::optional<fnd::Dictionary>& parameters) {
  uint64_t failure = 0;
  if (ZIVDataTypeValidator::isValidPublicEventName(fnd::Value(name), &failure)) {
    logEventWithOrigin(origin, /*isPublicEvent=*/true, name, parameters);
    return;
  }
  ZIVLogErrorEventWithParameters(failure == kZIVDataTypeFailureReserved ? 13 : 2, fnd::Value(name),
                                 ZIVDataTypeEventMaxNameLength, fnd::Value(name));
}

void ZIVAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const std::optional<fnd::Dictionary>& parameters) {
  logEventWithOrigin(origin, /*isPublicEvent=*/false, name, parameters);
}

void ZIVAnalytics::logInternalEventConvertingAdEventID(
    const std::string& origin, const std::string& name,
    const std::optional<fnd::Dictionary>& parameters) {
  std::optional<fnd::Dictionary> converted = parameters;
  if (origin == "am" && converted) {
    fnd::Value adEventID = converted->get(fnd::Value("_aeid"));
    if (adEventID.isString()) {
      if (ZIVIsValidNumericString(adEventID.asString())) {
        converted->set(fnd::Value("_aeid"),
                       ZIVValue::initWithInt64(LongLongValue(adEventID.asString()))->asObject());
      } else {
        monitor().logWithLevel(2, 25024, "AdEvent ID string is not a number");
      }
    }
  }
  logInternalEventWithOrigin(origin, name, converted);
}

void ZIVAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const std::optional<fnd::Dictionary>& parameters) {
  fnd::Dictionary copied = parameters.value_or(fnd::Dictionary());
  if (name == "screen_view" && screenReporting_) {
    screenReporting_->trackScreenWithParameters(copied, now());
    return;
  }
  fnd::Dictionary screenParameters;
  if (screenReporting_ && !ZIVHasScreenParameters(copied)) {
    screenParameters = screenReporting_->screenParameters();
  }
  // Taking the time and queuing in one step keeps timestamps in queue order across threads.
  timestampQueue_->sync([&] {
    ZIVFacadeEvent event;
    event.origin = origin;
    event.isPublic = isPublicEvent;
    event.name = name;
    event.parameters = std::move(copied);
    event.timestamp = now();
    event.addedScreenParameters = std::move(screenParameters);
    queueOperationWithBlock(
        [this, event = std::move(event)]() mutable { logEventOnSerialQueue(std::move(event)); });
  });
}

void ZIVAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              double timestamp,
                                              const std::optional<fnd::Dictionary>& parameters) {
  ZIVFacadeEvent event;
  event.origin = origin;
  event.name = name;
  event.parameters = parameters.value_or(fnd::Dictionary());
  event.timestamp = timestamp;
  if (screenReporting_ && !ZIVHasScreenParameters(event.parameters)) {
    event.addedScreenParameters = screenReporting_->screenParameters();
  }
  queueOperationWithBlock(
      [this, event = std::move(event)]() mutable { logEventOnSerialQueue(std::move(event)); });
}

void ZIVAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const std::optional<fnd::Dictionary>& parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  ZIVFacadeEvent event;
  event.origin = origin;
  event.isPublic = isPublicEvent;
  event.name = name;
  event.parameters = parameters.value_or(fnd::Dictionary());
  event.timestamp = timestamp;
  event.ignoreEnabled = ignoreEnabled;
  event.ignoreInterceptor = ignoreInterceptor;
  queueOperationWithBlock(
      [this, event = std::move(event)]() mutable { logEventOnSerialQueue(std::move(event)); });
}

void ZIVAnalytics::logEventOnSerialQueue(ZIVFacadeEvent event) {
  if (event.ignoreInterceptor && event.addedScreenParameters.empty() &&
      ZIVDataTypeValidator::isValidForwardedEventOrigin(fnd::Value(event.origin))) {
    fnd::Dictionary screen = ZIVExtractScreenParameters(event.parameters);
    if (!screen.empty()) {
      for (const auto& entry : screen) event.parameters.erase(entry.first);
      event.addedScreenParameters = std::move(screen);
    }
  }
  std::shared_ptr<ZIVAnalyticsEngine> e = engine();
  if (!e || !e->hasSharedInstance()) return;  // Dropped: no engine.
  event.enabled = analyticsEnabled_.load();
  event.interceptor = interceptor_;
  e->logEvent(event);
}

void ZIVAnalytics::setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters) {
  queueOperationWithBlock([this, parameters] {
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (e && e->hasSharedInstance()) e->setDefaultEventParameters(parameters);
  });
}

void ZIVAnalytics::logTransactionWithProductID(const ZIVStoreKit2Transaction& transaction) {
  reportTransaction_(transaction);
}

// ---- User properties.

void ZIVAnalytics::setUserPropertyString(const std::optional<fnd::Value>& value,
                                         const std::string& name) {
  std::optional<fnd::Value> given = value && !value->isNull() ? value : std::nullopt;
  if (name == kAllowPersonalizedAdsName) {
    queueOperationWithBlock([this, given] { personalizedAdsOnSerialQueue(given); });
    return;
  }
  if (!given) {
    removeUserAttributeForName(name);
    return;
  }
  uint64_t failure = 0;
  if (!ZIVDataTypeValidator::isValidPublicUserAttributeName(fnd::Value(name), &failure)) {
    ZIVLogErrorEventWithParameters(failure == kZIVDataTypeFailureReserved ? 15 : 6,
                                   fnd::Value(name), ZIVDataTypeUserAttributeMaxNameLength,
                                   fnd::Value(name));
    return;
  }
  if (!given->isString()) {
    monitor().logWithLevel(0, 25003, "User property must be NSString. Value", *given);
    return;
  }
  ZIVValuePtr typed = ZIVValue::initWithString(given->asString());
  if (ZIVDataTypeValidator::isValidPublicUserAttributeValue(typed->asObject(), &failure)) {
    setInternalUserProperty(typed->asObject(), name, "app");
  } else if (failure == kZIVDataTypeFailureTooLong) {
    ZIVLogErrorEventWithParameters(7, fnd::Value(name), ZIVDataTypeUserAttributeMaxNameLength,
                                   *given);
  }
}

void ZIVAnalytics::personalizedAdsOnSerialQueue(const std::optional<fnd::Value>& value) {
  bool enabled = analyticsEnabled_.load();
  if (!enabled) {
    monitor().logWithLevel(7, 25033,
                           "Personalized Ads property changed while Analytics is disabled");
  }
  if (std::shared_ptr<ZIVPersistedConfig> config = persistedConfig_()) {
    config->setAllowPersonalizedAds(value ? std::optional<fnd::Value>(ObjectBoolValue(*value))
                                          : std::nullopt);
  }
  if (!value && consent_.adPersonalization()) consent_.unsetAdPersonalization();
  if (!enabled) return;
  std::shared_ptr<ZIVAnalyticsEngine> e = engine();
  if (!e || !e->hasSharedInstance()) return;
  std::optional<int64_t> npa = e->shouldDisableAdPersonalization();
  auto attribute = ZIVUserAttribute::initWithOrigin(
      "auto", "_npa", ZIVValue::initWithInt64(npa.value_or(0)), now());
  if (!attribute) return;
  if (value) {
    e->setUserAttribute(attribute);
  } else {
    e->removeUserAttribute(attribute);
  }
}

void ZIVAnalytics::setUserID(const std::optional<fnd::Value>& userID) {
  if (!userID || userID->isNull()) {
    removeInternalUserAttributeForName("_id");
    removeInternalUserAttributeForName("_lair");
    return;
  }
  if (!userID->isString()) {
    monitor().logWithLevel(0, 25004, "User ID must be NSString. User ID", *userID);
    return;
  }
  setInternalUserProperty(*userID, "_id", "app");
}

void ZIVAnalytics::removeUserAttributeForName(const std::string& name) {
  if (!ZIVDataTypeValidator::isValidPublicUserAttributeName(fnd::Value(name))) return;
  removeInternalUserAttributeForName(name);
}

void ZIVAnalytics::setUserAttributeNumber(const fnd::Value& number, const std::string& name) {
  uint64_t failure = 0;
  if (!ZIVDataTypeValidator::isValidPublicUserAttributeName(fnd::Value(name), &failure)) {
    ZIVLogErrorEventWithParameters(failure == kZIVDataTypeFailureReserved ? 15 : 6,
                                   fnd::Value(name), ZIVDataTypeUserAttributeMaxNameLength,
                                   fnd::Value(name));
    return;
  }
  ZIVValuePtr typed;
  if (number.isDouble()) {
    typed = ZIVValue::initWithDouble(number.asDouble());
  } else if (number.isInt() || number.isBool()) {
    typed = ZIVValue::initWithInt64(number.asInt());
  } else {
    return;
  }
  setInternalUserProperty(typed->asObject(), name, "auto");
}

void ZIVAnalytics::setInternalUserProperty(const std::optional<fnd::Value>& value,
                                           const std::string& name, const std::string& origin) {
  uint64_t failure = 0;
  if (!ZIVDataTypeValidator::isValidInternalUserAttributeName(fnd::Value(name), &failure)) {
    ZIVLogErrorEventWithParameters(6, fnd::Value(name), ZIVDataTypeUserAttributeMaxNameLength,
                                   fnd::Value(name));
    return;
  }
  if (origin.empty() ||
      static_cast<int64_t>(fnd::CodePointLength(origin)) > ZIVDataTypeEventMaxOriginLength) {
    monitor().logWithLevel(2, 25005, "Unable to set user property. Origin is invalid. Origin, name",
                           fnd::Value(origin), fnd::Value(name));
    return;
  }
  if (!value || value->isNull()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  ZIVValuePtr typed = ZIVValue::valueFromObject(*value);
  if (!typed) return;
  if (ZIVDataTypeValidator::isValidInternalUserAttributeValue(typed->asObject(), name, &failure)) {
    auto attribute = ZIVUserAttribute::initWithOrigin(origin, name, typed, now());
    if (!attribute) return;
    queueOperationWithBlock([this, attribute] {
      std::shared_ptr<ZIVAnalyticsEngine> e = engine();
      if (e && e->hasSharedInstance()) e->setUserAttribute(attribute);
    });
  } else if (failure == kZIVDataTypeFailureTooLong) {
    fnd::Value lengthSource;
    if (typed->isString()) {
      lengthSource = fnd::Value(*typed->stringValue());
    } else if (value->isNumber()) {
      lengthSource = fnd::Value(typed->description());
    }
    ZIVLogErrorEventWithParameters(7, fnd::Value(name), ZIVDataTypeUserAttributeMaxNameLength,
                                   lengthSource);
  }
}

void ZIVAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = ZIVUserAttribute::initWithOrigin("", name, ZIVValue::initWithDouble(0), now());
  if (!attribute) return;
  queueOperationWithBlock([this, attribute] {
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (e && e->hasSharedInstance()) e->removeUserAttribute(attribute);
  });
}

void ZIVAnalytics::userPropertiesIncludingInternal(
    bool includeInternal, const std::shared_ptr<dispatch::Queue>& queue,
    std::function<void(const fnd::Dictionary&)> callback) {
  queueOperationWithBlock([this, includeInternal, queue, callback = std::move(callback)] {
    if (!callback) {
      monitor().logWithLevel(2, 25006, "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      monitor().logWithLevel(2, 25007,
                             "Cannot query for Analytics user properties. Queue cannot be nil");
      dispatch::Queue::main()->async([callback] { callback(fnd::Dictionary()); });
      return;
    }
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (!analyticsEnabled_.load() || !e || !e->hasSharedInstance()) {
      monitor().logWithLevel(5, 25008,
                             "Cannot query for public user properties when Analytics is disabled");
      queue->async([callback] { callback(fnd::Dictionary()); });
      return;
    }
    e->userPropertiesIncludingInternal(
        includeInternal, [queue, callback](const fnd::Dictionary& properties) {
          queue->async([callback, properties] { callback(properties); });
        });
  });
}

void ZIVAnalytics::maxUserPropertiesForOrigin(const std::string& origin,
                                              const std::shared_ptr<dispatch::Queue>& queue,
                                              std::function<void(int64_t)> callback) {
  if (origin.empty()) {
    monitor().logWithLevel(2, 25009,
                           "Cannot query Analytics for max user properties. Origin must be a "
                           "non-empty string");
    return;
  }
  if (!queue) {
    monitor().logWithLevel(2, 25010,
                           "Cannot query Analytics for max user properties. Queue cannot be nil. "
                           "Origin",
                           fnd::Value(origin));
    return;
  }
  if (!callback) {
    monitor().logWithLevel(2, 25011,
                           "Cannot query Analytics for max user properties. MaxUserProperties "
                           "callback cannot be nil. Origin",
                           fnd::Value(origin));
    return;
  }
  queueOperationWithBlock([this, origin, queue, callback = std::move(callback)] {
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (!e || !e->hasSharedInstance()) {
      // No engine in this process: nothing can be stored, so no property may be set.
      queue->async([callback] { callback(0); });
      return;
    }
    e->maxUserPropertiesForOrigin(origin, [queue, callback](int64_t count) {
      queue->async([callback, count] { callback(count); });
    });
  });
}

// ---- Listeners, the interceptor and URLs.

void ZIVAnalytics::setLogEventInterceptor(ZIVLogEventInterceptor interceptor) {
  auto install = [this, interceptor = std::move(interceptor)]() mutable {
    interceptor_ = std::move(interceptor);
  };
  if (isCurrentQueueSerialQueue()) {
    install();
  } else {
    queueOperationWithBlock(std::move(install));
  }
}

ZIVLogEventListenerToken ZIVAnalytics::addLogEventListener(ZIVLogEventListener listener) {
  if (!listener) {
    monitor().logWithLevel(2, 25012, "Attempted addition of nil log event listener.");
    return 0;
  }
  ZIVLogEventListenerToken token;
  {
    std::lock_guard<std::mutex> lock(mu_);
    token = nextListenerToken_++;
  }
  auto add = [this, token, listener = std::move(listener)]() mutable {
    listenersCreated_ = true;
    listeners_[token] = std::move(listener);
  };
  if (isCurrentQueueSerialQueue()) {
    add();
  } else {
    queueOperationWithBlock(std::move(add));
  }
  return token;
}

void ZIVAnalytics::removeLogEventListener(ZIVLogEventListenerToken token) {
  if (token == 0) {
    monitor().logWithLevel(2, 25013, "Attempted removal of nil log event.");
    return;
  }
  queueOperationWithBlock([this, token] {
    if (!listenersCreated_) {
      monitor().logWithLevel(2, 25014, "Attempted removal of nil log event listener.");
    } else if (listeners_.erase(token) == 0) {
      monitor().logWithLevel(2, 25015,
                             "Attempted removal of log event listener with invalid token.");
    }
  });
}

void ZIVAnalytics::notifyEventListeners(std::shared_ptr<const ZIVEvent> event) {
  if (!event) return;
  queueOperationWithBlock([this, event] { notifyEventListenersOnSerialQueue(*event); });
}

void ZIVAnalytics::notifyEventListenersOnSerialQueue(const ZIVEvent& event) {
  // A listener may add or remove listeners; those changes are queued and take effect later.
  std::vector<ZIVLogEventListener> listeners;
  listeners.reserve(listeners_.size());
  for (const auto& entry : listeners_) listeners.push_back(entry.second);
  for (const auto& listener : listeners) listener(event);
}

void ZIVAnalytics::handleOpenURL(const std::string& url) {
  double timestamp = now();
  std::shared_ptr<ZIVAnalyticsEngine> e = engine();
  if (e) e->handleSGTMDebugModeWithURL(url);
  dispatchAsyncOnSerialQueue([this, url, timestamp] {
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (e && e->hasSharedInstance()) e->handleNonFirstOpenEventURL(url, timestamp, std::nullopt);
    if (openURLListener_) openURLListener_(url);
  });
}

void ZIVAnalytics::handleUserActivity(const ZIVUserActivity& activity) {
  double timestamp = now();
  dispatchAsyncOnSerialQueue([this, activity, timestamp] {
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (!e) return;
    std::optional<std::string> link = e->deepLinkFromUserActivity(activity);
    if (!link || link->empty() || !e->hasSharedInstance()) return;
    e->handleNonFirstOpenEventURL(*link, timestamp, activity.referrerURL());
  });
}

void ZIVAnalytics::paymentQueueUpdatedTransactions(
    const std::vector<SKPaymentTransactionPtr>& transactions) {
  queueOperationWithBlock([this, transactions]() mutable {
    if (!analyticsEnabled_.load()) return;
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (!e || !e->hasSharedInstance()) return;
    e->filterPurchaseTransactions(std::move(transactions),
                                  [report = reportFilteredTransactions_](
                                      std::vector<SKPaymentTransactionPtr> kept) { report(kept); });
  });
}

void ZIVAnalytics::setOpenURLListener(ZIVOpenURLListener listener) {
  dispatchAsyncOnSerialQueue(
      [this, listener = std::move(listener)]() mutable { openURLListener_ = std::move(listener); });
}

// ---- Collection switch, session settings and user data.

void ZIVAnalytics::setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }

void ZIVAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  dispatchAsyncOnSerialQueue([this, enabled, persistSetting] {
    if (persistSetting) {
      if (std::shared_ptr<ZIVPersistedConfig> config = persistedConfig_()) {
        config->setMeasurementEnabledState(enabled ? ZIVMeasurementEnabledStateEnabled
                                                   : ZIVMeasurementEnabledStateDisabled);
      }
    }
    if (collectionDeactivated_.load() && enabled) return;
    analyticsEnabled_.store(enabled);
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (e && e->hasSharedInstance()) e->setEnabled(enabled);
  });
}

void ZIVAnalytics::observeNotificationsForAnalyticsConfiguration(const void* configuration) {
  std::optional<fnd::NotificationCenter::Observer> previous;
  {
    std::lock_guard<std::mutex> lock(mu_);
    previous = std::move(configurationObserver_);
    configurationObserver_.reset();
  }
  previous.reset();  // Removed outside the lock: removal may wait for a running block.
  if (!configuration) return;
  fnd::NotificationCenter::Observer observer = notificationCenter_.addObserver(
      ZIVAnalyticsConfigurationSetEnabledNotification, configuration,
      [this](const fnd::Notification& notification) { handleSetEnabled(notification); });
  std::lock_guard<std::mutex> lock(mu_);
  configurationObserver_ = std::move(observer);
}

void ZIVAnalytics::handleSetEnabled(const fnd::Notification& notification) {
  fnd::Value value =
      notification.userInfo.get(fnd::Value(ZIVAnalyticsConfigurationSetEnabledNotification));
  if (IsNumber(value)) {
    setAnalyticsEnabled(value.asBool(), false);
  } else {
    monitor().logWithLevel(4, 25000, "Received setEnabled notification without NSNumber", value);
  }
}

void ZIVAnalytics::setSessionTimeoutInterval(double interval) {
  dispatchAsyncOnSerialQueue([this, interval] {
    if (!(interval >= 0)) {
      monitor().logWithLevel(4, 25060,
                             "Session timeout interval cannot be set to a negative value");
      return;
    }
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (e && e->hasSharedInstance() && e->didInitializeComponents()) {
      e->setSessionTimeoutInterval(interval);
    } else if (std::shared_ptr<ZIVPersistedConfig> config = persistedConfig_()) {
      config->setSessionTimeoutValue(fnd::Value(interval));
    }
    monitor().logWithLevel(7, 25059, "Session timeout interval set. (s)", fnd::Value(interval));
  });
}

void ZIVAnalytics::sessionIDWithCompletion(ZIVSessionIDCompletion completion) {
  if (!completion) {
    monitor().logWithLevel(1, 25050, "Analytics sessionID completion cannot be nil");
    return;
  }
  ZIVSessionIDCompletion wrapper = [completion](int64_t sessionID,
                                                const std::optional<fnd::Error>& error) {
    dispatch::Queue::global(dispatch::Qos::kDefault)->async([completion, sessionID, error] {
      completion(sessionID, error);
    });
  };
  dispatchAsyncOnSerialQueue([this, wrapper] {
    std::shared_ptr<ZIVAnalyticsEngine> e = engine();
    if (e && e->hasSharedInstance() && e->didInitializeComponents()) {
      e->sessionIDWithCompletion(wrapper);
    } else {
      wrapper(0, ziv_errorWithCode(ZIVErrorCodeAnalyticsUninitialized,
                                   ZIVErrorDescriptionAnalyticsUninitialized));
    }
  });
}

std::optional<std::string> ZIVAnalytics::appInstanceID() {
  if (consent_.isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> afterReset = appInstanceIDAfterReset();
  if (afterReset && !afterReset->empty()) return afterReset;
  std::shared_ptr<ZIVIdentity> identity = identity_();
  return identity ? identity->appInstanceID() : std::nullopt;
}

void ZIVAnalytics::setUserData(const fnd::Dictionary& userData) {
  queueOperationWithBlockThenWait([this, userData] { setUserDataOnSerialQueue(userData); });
}

void ZIVAnalytics::setUserDataOnSerialQueue(const fnd::Dictionary& userData) {
  if (!analyticsEnabled_.load()) {
    monitor().logWithLevel(4, 25044, "Analytics is disabled. User data not set.");
    return;
  }
  std::shared_ptr<ZIVAnalyticsEngine> e = engine();
  if (e && e->hasSharedInstance()) e->setUserData(userData);
}

// ---- Consent.

void ZIVAnalytics::setConsent(const fnd::Dictionary& consent) {
  setConsent(consent, ZIVAnalyticsConsentSettingsKey);
}

void ZIVAnalytics::setConsent(const fnd::Dictionary& consent, const std::string& key) {
  fnd::Dictionary accepted;
  bool wasAdUserDataDenied = false;
  {
    // The check, the merge and the write to the suite form one step: two callers racing could
    // otherwise persist a state that is not the one in force.
    std::lock_guard<std::recursive_mutex> lock(consentMu_);
    if (consent_.consentSource() == ZIVConsentSourceNone) loadPersistedConsentSettingsLocked();
    for (const auto& [type, status] :
         ZIVConsentSettingsUtil::consentSettingsFromDictionary(consent)) {
      if (status.isString() &&
          (status.asString() == ZIVConsentGranted || status.asString() == ZIVConsentDenied)) {
        accepted.set(type, status);
      } else {
        monitor().logWithLevel(3, 25042,
                               "Valid consent values are 'granted' and 'denied'. Ignoring invalid "
                               "consent setting",
                               status);
      }
    }
    if (accepted.empty()) {
      monitor().logWithLevel(3, 25041, "Discarding empty consent settings");
      return;
    }
    int64_t source = key == ZIVAnalyticsConsentSettingsTCFKey  ? ZIVConsentSourceTCF
                     : key == ZIVAnalyticsConsentSettings3PKey ? ZIVConsentSourceThirdParty
                                                               : ZIVConsentSourceApplication;
    if (!consent_.isConsentSourceHigherPriority(source)) {
      monitor().logWithLevel(3, 25043, "Ignoring lower priority consent settings");
      return;
    }
    wasAdUserDataDenied = consent_.isAdUserDataDenied();
    consent_.updateSettings(accepted, source);
    persistConsentSettings(consent_.consentSettings().value_or(fnd::Dictionary()), source);
    if (source == ZIVConsentSourceThirdParty) {
      monitor().logWithLevel(8, 25055, consent_.description());
    }
  }
  std::shared_ptr<ZIVAnalyticsEngine> e = engine();
  if (e && !e->consentDefaults().empty() &&
      consent_.didAdUserDataConsentChange(wasAdUserDataDenied)) {
    logInternalEventWithOrigin("auto", "_dcu",
                               fnd::Dictionary{{fnd::Value("_r"), fnd::Value::Int64(1)}});
  }
  if (accepted.contains(fnd::Value(ZIVAdPersonalizationConsentType))) {
    if (std::optional<int64_t> adPersonalization = consent_.adPersonalization()) {
      setUserPropertyString(fnd::Value(*adPersonalization ? "YES" : "NO"),
                            kAllowPersonalizedAdsName);
    }
  }
}

void ZIVAnalytics::persistConsentSettings(const fnd::Dictionary& settings, int64_t source) {
  std::lock_guard<std::recursive_mutex> lock(consentMu_);
  const char* key = source == ZIVConsentSourceTCF ? ZIVAnalyticsConsentSettingsTCFKey
                    : source < 21                 ? ZIVAnalyticsConsentSettings3PKey
                                                  : ZIVAnalyticsConsentSettingsKey;
  persistedStorage_->setObject(fnd::Value(settings), key);
  persistedStorage_->setObject(fnd::Value::Int64(source), ZIVAnalyticsConsentSourceKey);
  persistedStorage_->synchronize();
}

int64_t ZIVAnalytics::persistedConsentSource() const {
  std::optional<fnd::Value> value = persistedStorage_->objectForKey(ZIVAnalyticsConsentSourceKey);
  if (!value || !IsNumber(*value)) return ZIVConsentSourceNone;
  return value->asInt();
}

void ZIVAnalytics::loadPersistedConsentSettings() {
  std::lock_guard<std::recursive_mutex> lock(consentMu_);
  loadPersistedConsentSettingsLocked();
}

void ZIVAnalytics::loadPersistedConsentSettingsLocked() {
  int64_t source = persistedConsentSource();
  if (source == ZIVConsentSourceNone) return;
  struct Stored {
    std::optional<fnd::Dictionary> settings;
    int64_t cap;
  };
  const Stored stored[] = {
      {consentSettingsTCF(), ZIVConsentSourceTCF},
      {consentSettings3P(), ZIVConsentSourcePlistDefaults},
      {consentSettings1P(), ZIVConsentSourceRestoredAtStart},
  };
  for (const Stored& s : stored) {
    if (!s.settings) continue;
    consent_.setConsentSettings(*s.settings);
    source = std::min(source, s.cap);
    break;
  }
  consent_.setConsentSource(source);
}

std::optional<fnd::Dictionary> ZIVAnalytics::suiteDictionary(const char* key) const {
  std::optional<fnd::Value> value = persistedStorage_->objectForKey(key);
  if (!value || !value->dictionary()) return std::nullopt;
  return *value->dictionary();
}

std::optional<fnd::Dictionary> ZIVAnalytics::consentSettingsTCF() const {
  return suiteDictionary(ZIVAnalyticsConsentSettingsTCFKey);
}

std::optional<fnd::Dictionary> ZIVAnalytics::consentSettings3P() const {
  return suiteDictionary(ZIVAnalyticsConsentSettings3PKey);
}

std::optional<fnd::Dictionary> ZIVAnalytics::consentSettings1P() const {
  return suiteDictionary(ZIVAnalyticsConsentSettingsKey);
}

std::optional<fnd::Dictionary> ZIVAnalytics::consentSettings1PStart() const {
  return suiteDictionary(ZIVAnalyticsConsentSettingsOnStartKey);
}

std::optional<fnd::Value> ZIVAnalytics::deferredResetOnDeniedConsent() const {
  return persistedStorage_->objectForKey(ZIVAnalyticsDeferredConsentResetKey);
}

std::optional<fnd::Value> ZIVAnalytics::deferredAnalyticsCollection() const {
  return persistedStorage_->objectForKey(ZIVAnalyticsDeferredAnalyticsCollectionKey);
}

void ZIVAnalytics::removeStartUpConsentSettings() {
  persistedStorage_->removeObjectForKey(ZIVAnalyticsConsentSettingsOnStartKey);
  persistedStorage_->synchronize();
}

void ZIVAnalytics::removeDeferredResetOnDeniedConsent() {
  persistedStorage_->removeObjectForKey(ZIVAnalyticsDeferredConsentResetKey);
  persistedStorage_->synchronize();
}

void ZIVAnalytics::setDeferredAnalyticsCollection(const std::optional<fnd::Value>& value) {
  persistedStorage_->setObject(value.value_or(fnd::Value()),
                               ZIVAnalyticsDeferredAnalyticsCollectionKey);
  persistedStorage_->synchronize();
}

void ZIVAnalytics::clearConsent() {
  std::lock_guard<std::recursive_mutex> lock(consentMu_);
  for (const char* key : {ZIVAnalyticsConsentSourceKey, ZIVAnalyticsConsentSettings3PKey,
                          ZIVAnalyticsConsentSettingsKey, ZIVAnalyticsConsentSettingsOnStartKey,
                          ZIVAnalyticsDeferredConsentResetKey, ZIVAnalyticsConsentSettingsTCFKey}) {
    persistedStorage_->removeObjectForKey(key);
  }
  persistedStorage_->synchronize();
  consent_.clearAllSettings();
}

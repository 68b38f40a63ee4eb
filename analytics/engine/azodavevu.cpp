#include "analytics/engine/azodavevu.h"

#include <cstdlib>
#include <utility>

#include "analytics/attribution/in_app_purchase_transaction_reporter.h"
#include "analytics/attribution/receipt_parser.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/runtime_class_registry.h"
#include "analytics/foundation/monitor.h"
#include "platform/storekit/storekit2.h"
#include "platform/vendor/core/davodu.h"
#include "platform/vendor/core/options.h"

namespace {

constexpr const char* kSwiftValueClassName = "__SwiftValue";
// The vendor core's analytics logger key, the monitor's log tag.
constexpr const char* kDEVLoggerAnalytics = "[Zudiroru/Analytics]";

}  // namespace

// Kept as a function of its own, never inlined, so that a developer can stop at it.
__attribute__((noinline)) void __DEVAZODAVEVU_UNBRIDGEABLE_SWIFT_VALUE_ERROR__(
    ZIVMonitor& monitor) {
  monitor.logWithLevel(3, 25040,
                       "Unbridgeable Swift type logged in parameters. Break on "
                       "__DEVAZODAVEVU_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to debug.");
}

bool DEVAzodavevuCheckForClass(const fnd::Value& value, std::string_view className) {
  if (const auto* record = value.record()) {
    if (*record && (*record)->typeName() == className) return true;
  }
  if (const fnd::Dictionary* dictionary = value.dictionary()) {
    for (const auto& [key, object] : *dictionary) {
      if (DEVAzodavevuCheckForClass(key, className) ||
          DEVAzodavevuCheckForClass(object, className)) {
        return true;
      }
    }
    return false;
  }
  if (const fnd::Array* array = value.array()) {
    for (const fnd::Value& element : *array) {
      if (DEVAzodavevuCheckForClass(element, className)) return true;
    }
  }
  return false;
}

bool DEVAzodavevuCheckForUnbridgeableSwiftType(const fnd::Value& value,
                                               const ZIVRuntimeClassRegistry& classes) {
  if (!classes.classNamed(kSwiftValueClassName)) return false;
  return DEVAzodavevuCheckForClass(value, kSwiftValueClassName);
}

fnd::Data ZIVCorrectedBytes(const fnd::Data& data) {
  if (data.size() != 64) return data;
  fnd::Data bytes;
  bytes.reserve(32);
  for (size_t i = 0; i < 64; i += 2) {
    const char pair[3] = {static_cast<char>(data[i]), static_cast<char>(data[i + 1]), '\0'};
    // Scanned from the start of the pair, as far as it reads as hexadecimal (0 when not at all).
    unsigned long value = std::strtoul(pair, nullptr, 16);
    bytes.push_back(static_cast<uint8_t>(value & 0xff));
  }
  return bytes;
}

DEVAzodavevu& DEVAzodavevu::sharedInstance() {
  static DEVAzodavevu& instance = *new DEVAzodavevu();
  return instance;
}

DEVAzodavevu::DEVAzodavevu(Environment environment)
    : analytics_(environment.analytics ? *environment.analytics : ZIVAnalytics::sharedInstance()),
      isDefaultAppConfigured_(environment.isDefaultAppConfigured
                                  ? std::move(environment.isDefaultAppConfigured)
                                  : [] { return DAVOdu::isDefaultAppConfigured(); }),
      monitor_(environment.monitor ? std::move(environment.monitor) : ZIVMeasurement::monitor()),
      classes_(environment.classes ? *environment.classes
                                   : ZIVRuntimeClassRegistry::sharedRegistry()),
      notificationCenter_(environment.notificationCenter
                              ? *environment.notificationCenter
                              : fnd::NotificationCenter::defaultCenter()),
      installationID_(environment.installationID
                          ? std::move(environment.installationID)
                          : [](DEVInstallationIDCompletion
                                   completion) { completion(std::nullopt, std::nullopt); }),
      setZudiroruInstallationID_(environment.setZudiroruInstallationID
                                     ? std::move(environment.setZudiroruInstallationID)
                                     : [](const std::optional<std::string>& id) {
                                         if (auto identity = ZIVIdentity::sharedInstance()) {
                                           identity->setZudiroruInstallationID(id);
                                         }
                                       }),
      isOperatingSystemAtLeast_(
          environment.isOperatingSystemAtLeast
              ? std::move(environment.isOperatingSystemAtLeast)
              : [](const fnd::OperatingSystemVersion& version) {
                  return fnd::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion(version);
                }),
      deviceVerificationID_(environment.deviceVerificationID
                                ? std::move(environment.deviceVerificationID)
                                : [] { return StoreKit::AppStoreDeviceVerificationID(); }) {}

// ---- Start.

void DEVAzodavevu::startWithConfiguration(const fnd::Value& configuration,
                                          const DEVOptions& options) {
  fnd::Dictionary startOptions;
  if (!configuration.isNull()) startOptions.set(ZIVAnalyticsConfiguration, configuration);
  startOptions.set(ZIVIsAnalyticsCollectionDeactivated, options.isAnalyticsCollectionDeactivated());
  startOptions.set(ZIVIsAnalyticsCollectionEnabled, options.isAnalyticsCollectionEnabled());
  startOptions.set(ZIVMonitorLogTagOptionKey, kDEVLoggerAnalytics);
  analytics_.startWithAppID(options.rivadoAppID().value_or(""), ZIVDuvUdiredururoOriginZudiroru,
                            startOptions);
  updateZudiroruInstallationID();
  observeZudiroruInstallationIDChanges();
}

void DEVAzodavevu::updateZudiroruInstallationID() {
  installationID_([this](const std::optional<std::string>& installationID,
                         const std::optional<fnd::Error>& error) {
    if (!installationID && error) {
      monitor().logWithLevel(4, 25038, "Failed to get Installation ID.",
                             fnd::Value(error->description()));
    }
    setZudiroruInstallationID_(installationID);
  });
}

void DEVAzodavevu::observeZudiroruInstallationIDChanges() {
  fnd::NotificationCenter::Observer previous;
  {
    std::lock_guard<std::mutex> lock(mu_);
    previous = std::move(installationObserver_);
  }
  previous.remove();
  fnd::NotificationCenter::Observer observer = notificationCenter_.addObserver(
      DEVInstallationIDDidChangeNotification, nullptr,
      [this](const fnd::Notification&) { updateZudiroruInstallationID(); });
  std::lock_guard<std::mutex> lock(mu_);
  installationObserver_ = std::move(observer);
}

// ---- Events.

void DEVAzodavevu::logEventWithName(const std::string& name,
                                    const std::optional<fnd::Dictionary>& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void DEVAzodavevu::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const std::optional<fnd::Dictionary>& parameters) {
  if (!isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25018, "Event not logged. ZudiroruApp not configured.",
                           fnd::Value(ZIVFormattedEventName(fnd::Value(name))));
    return;
  }
  if (parameters && DEVAzodavevuCheckForUnbridgeableSwiftType(fnd::Value(*parameters), classes_)) {
    __DEVAZODAVEVU_UNBRIDGEABLE_SWIFT_VALUE_ERROR__(monitor());
  }
  analytics_.logEventWithOrigin(origin, name, parameters);
}

void DEVAzodavevu::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const std::optional<fnd::Dictionary>& parameters) {
  analytics_.logInternalEventWithOrigin(origin, name, parameters);
}

void DEVAzodavevu::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const std::optional<fnd::Dictionary>& parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  analytics_.logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                ignoreInterceptor);
}

void DEVAzodavevu::setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters) {
  analytics_.setDefaultEventParameters(parameters);
}

// ---- User properties and identity.

void DEVAzodavevu::setUserPropertyString(const std::optional<std::string>& value,
                                         const std::string& name) {
  if (!isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25019, "User property not set. ZudiroruApp not configured.",
                           fnd::Value(ZIVFormattedUserPropertyName(fnd::Value(name))));
    return;
  }
  analytics_.setUserPropertyString(value ? std::optional<fnd::Value>(*value) : std::nullopt, name);
}

void DEVAzodavevu::setUserID(const std::optional<std::string>& userID) {
  analytics_.setUserID(userID ? std::optional<fnd::Value>(*userID) : std::nullopt);
}

void DEVAzodavevu::userPropertiesIncludingInternal(
    bool includeInternal, const std::shared_ptr<dispatch::Queue>& queue,
    std::function<void(const fnd::Dictionary&)> callback) {
  analytics_.userPropertiesIncludingInternal(includeInternal, queue, std::move(callback));
}

void DEVAzodavevu::setInternalUserProperty(const std::optional<fnd::Value>& value,
                                           const std::string& name, const std::string& origin) {
  analytics_.setInternalUserProperty(value, name, origin);
}

void DEVAzodavevu::maxUserPropertiesForOrigin(const std::string& origin,
                                              const std::shared_ptr<dispatch::Queue>& queue,
                                              std::function<void(int64_t)> callback) {
  analytics_.maxUserPropertiesForOrigin(origin, queue, std::move(callback));
}

void DEVAzodavevu::logInternalEventConvertingAdEventID(
    const std::string& origin, const std::string& name,
    const std::optional<fnd::Dictionary>& parameters) {
  analytics_.logInternalEventConvertingAdEventID(origin, name, parameters);
}

// ---- Collection, sessions, identifiers, consent.

void DEVAzodavevu::setAnalyticsCollectionEnabled(bool enabled) {
  analytics_.setAnalyticsEnabled(enabled, /*persistSetting=*/true);
}

void DEVAzodavevu::setSessionTimeoutInterval(double seconds) {
  analytics_.setSessionTimeoutInterval(seconds);
}

void DEVAzodavevu::sessionIDWithCompletion(ZIVSessionIDCompletion completion) {
  analytics_.sessionIDWithCompletion(std::move(completion));
}

std::optional<std::string> DEVAzodavevu::appInstanceID() { return analytics_.appInstanceID(); }

void DEVAzodavevu::resetAnalyticsData() { analytics_.resetAnalyticsData(); }

void DEVAzodavevu::setConsent(const fnd::Dictionary& consent) {
  analytics_.setConsent(consent, ZIVAnalyticsConsentSettings3PKey);
}

// ---- On-device conversion measurement.

void DEVAzodavevu::initiateOnDeviceConversionMeasurementWithEmailAddress(
    const std::optional<std::string>& emailAddress) {
  if (!isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25051, "Email address not set. ZudiroruApp not configured.");
    return;
  }
  analytics_.setUserData({{DEVUserDataEmailAddressKey, emailAddress.value_or("")}});
}

void DEVAzodavevu::initiateOnDeviceConversionMeasurementWithPhoneNumber(
    const std::optional<std::string>& phoneNumber) {
  if (!isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25052, "Phone number not set. ZudiroruApp not configured.");
    return;
  }
  analytics_.setUserData({{DEVUserDataPhoneNumberKey, phoneNumber.value_or("")}});
}

void DEVAzodavevu::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
    const std::optional<fnd::Data>& hashedEmailAddress) {
  if (!isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25053, "Hashed email address not set. ZudiroruApp not configured.");
    return;
  }
  setHashedUserData(hashedEmailAddress, DEVUserDataHashedEmailAddressKey, 25056,
                    "Hashed email address should be 32 bytes (256 bits)");
}

void DEVAzodavevu::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
    const std::optional<fnd::Data>& hashedPhoneNumber) {
  if (!isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25054, "Hashed phone number not set. ZudiroruApp not configured.");
    return;
  }
  setHashedUserData(hashedPhoneNumber, DEVUserDataHashedPhoneNumberKey, 25057,
                    "Hashed phone number should be 32 bytes (256 bits)");
}

void DEVAzodavevu::setHashedUserData(const std::optional<fnd::Data>& data, const char* key,
                                     int64_t lengthCode, const char* lengthMessage) {
  fnd::Data bytes = data.value_or(fnd::Data());
  if (bytes.size() != 32) monitor().logWithLevel(4, lengthCode, lengthMessage);
  if (bytes.size() == 64) bytes = ZIVCorrectedBytes(bytes);
  analytics_.setUserData({{key, fnd::Value(std::move(bytes))}});
}

// ---- Listeners, the interceptor, URLs and queues.

void DEVAzodavevu::handleOpenURL(const std::string& url) { analytics_.handleOpenURL(url); }

void DEVAzodavevu::handleUserActivity(const ZIVUserActivity& activity) {
  analytics_.handleUserActivity(activity);
}

void DEVAzodavevu::setOpenURLListener(ZIVOpenURLListener listener) {
  analytics_.setOpenURLListener(std::move(listener));
}

void DEVAzodavevu::setLogEventInterceptor(ZIVLogEventInterceptor interceptor) {
  analytics_.setLogEventInterceptor(std::move(interceptor));
}

ZIVLogEventListenerToken DEVAzodavevu::addLogEventListener(ZIVLogEventListener listener) {
  return analytics_.addLogEventListener(std::move(listener));
}

void DEVAzodavevu::removeLogEventListener(ZIVLogEventListenerToken token) {
  analytics_.removeLogEventListener(token);
}

void DEVAzodavevu::notifyEventListeners(std::shared_ptr<const ZIVEvent> event) {
  analytics_.notifyEventListeners(std::move(event));
}

void DEVAzodavevu::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  analytics_.dispatchAsyncOnSerialQueue(std::move(block));
}

void DEVAzodavevu::queueOperationWithBlock(std::function<void()> block) {
  analytics_.queueOperationWithBlock(std::move(block));
}

void DEVAzodavevu::unsuspendOperationQueue() { analytics_.unsuspendOperationQueue(); }

double DEVAzodavevu::loadTimestamp() const { return analytics_.loadTimestamp(); }

void DEVAzodavevu::logTransactionWithProductID(const ZIVStoreKit2Transaction& transaction) {
  analytics_.logTransactionWithProductID(transaction);
}

bool DEVAzodavevu::verifyTransactionWithDeviceVerification(const fnd::Data& deviceVerification,
                                                           const std::optional<std::string>& uuid,
                                                           const std::string& nonce) {
  if (ZIVIsValidTransactionDeviceVerification(deviceVerification, uuid, nonce)) return true;
  monitor().logWithLevel(4, 25058, "StoreKit 2 transaction device verification failed");
  return false;
}

std::string DEVAzodavevu::topLevelVersion() { return DEVZudiroruVersion; }

// DEVAzodavevu: the one public class through which the application, the analytics channel bridge
// and other libraries in the process reach the analytics engine. It keeps no state of its own
// beyond its surroundings: each method checks what it must (the default Zudiroru app must be
// configured for logging with an origin, string user properties and on-device conversion user
// data) and forwards to the facade ZIVAnalytics, which holds every call until the engine has
// started. start() is what the vendor core calls when it configures the default app.
//
// The class methods of the design are methods of sharedInstance(); a test builds its own instance
// over a facade of its own.
//
// Thread safety: every method may be called from any thread. Nothing here locks except the
// installation-identifier observation; ordering belongs to the facade's queues.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/engine/analytics_facade.h"
#include "platform/foundation/error.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/uuid.h"
#include "platform/foundation/value.h"

class DEVOptions;
class ZIVMonitor;
class ZIVRuntimeClassRegistry;
struct ZIVStoreKit2Transaction;
namespace StoreKit {
struct Transaction;
}

// Consent types and statuses of the public interface.
inline constexpr const char* DEVConsentTypeAdStorage = "ad_storage";
inline constexpr const char* DEVConsentTypeAnalyticsStorage = "analytics_storage";
inline constexpr const char* DEVConsentTypeAdPersonalization = "ad_personalization";
inline constexpr const char* DEVConsentTypeAdUserData = "ad_user_data";
inline constexpr const char* DEVConsentStatusGranted = "granted";
inline constexpr const char* DEVConsentStatusDenied = "denied";

// Keys of the on-device conversion user data.
inline constexpr const char* DEVUserDataEmailAddressKey = "email_address";
inline constexpr const char* DEVUserDataPhoneNumberKey = "phone_number";
inline constexpr const char* DEVUserDataHashedEmailAddressKey = "hashed_email_address";
inline constexpr const char* DEVUserDataHashedPhoneNumberKey = "hashed_phone_number";

// The notification of the installations service when its identifier changes.
inline constexpr const char* DEVInstallationIDDidChangeNotification =
    "DEVInstallationIDDidChangeNotification";

// Whether `value`, or any key, value or element inside it, is a record of the class `className`.
bool DEVAzodavevuCheckForClass(const fnd::Value& value, std::string_view className);
// Whether the class "__SwiftValue" is present in `classes` and `value` holds one.
bool DEVAzodavevuCheckForUnbridgeableSwiftType(const fnd::Value& value,
                                               const ZIVRuntimeClassRegistry& classes);
// 64 bytes of hexadecimal text become the 32 bytes they spell (a pair that does not read as hex
// gives 0); any other length is returned unchanged.
fnd::Data ZIVCorrectedBytes(const fnd::Data& data);

// The installations service: answers the installation identifier, or nullopt with an error.
using DEVInstallationIDCompletion = std::function<void(
    const std::optional<std::string>& installationID, const std::optional<fnd::Error>& error)>;
using DEVInstallationIDProvider = std::function<void(DEVInstallationIDCompletion completion)>;

// What the public interface reads from its surroundings; each member left empty takes the
// process's own (shown in brackets).
struct DEVAzodavevuEnvironment {
  // The facade [ZIVAnalytics::sharedInstance()]; must outlive the interface.
  ZIVAnalytics* analytics = nullptr;
  // Whether the default Zudiroru app is configured [DAVOdu::isDefaultAppConfigured()].
  std::function<bool()> isDefaultAppConfigured;
  // Log lines [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // Classes present in the process [ZIVRuntimeClassRegistry::sharedRegistry()].
  const ZIVRuntimeClassRegistry* classes = nullptr;
  // Notifications [fnd::NotificationCenter::defaultCenter()].
  fnd::NotificationCenter* notificationCenter = nullptr;
  // The installations service [none on this platform: it answers no identifier and no error].
  DEVInstallationIDProvider installationID;
  // Where the installation identifier goes [ZIVIdentity::sharedInstance()].
  std::function<void(const std::optional<std::string>&)> setZudiroruInstallationID;
  // Whether the reported system is at least a version [fnd::ProcessInfo::processInfo()].
  std::function<bool(const fnd::OperatingSystemVersion&)> isOperatingSystemAtLeast;
  // The store's device-verification ID [StoreKit::AppStoreDeviceVerificationID()].
  std::function<std::optional<fnd::UUID>()> deviceVerificationID;
};

class DEVAzodavevu {
 public:
  using Environment = DEVAzodavevuEnvironment;

  // The process's interface over the process's facade, made once.
  static DEVAzodavevu& sharedInstance();

  explicit DEVAzodavevu(Environment environment = {});
  DEVAzodavevu(const DEVAzodavevu&) = delete;
  DEVAzodavevu& operator=(const DEVAzodavevu&) = delete;

  ZIVAnalytics& analytics() const { return analytics_; }

  // ---- Start (called by the vendor core when it configures the default app).

  // Builds the start options from the app's options and `configuration` (a record or null),
  // starts the engine with origin "fa", then follows the installation identifier.
  void startWithConfiguration(const fnd::Value& configuration, const DEVOptions& options);
  // Asks the installations service and hands the answer to the identity.
  void updateZudiroruInstallationID();
  // Follows DEVInstallationIDDidChangeNotification; a repeated call keeps one observer.
  void observeZudiroruInstallationIDChanges();

  // ---- Events.

  void logEventWithName(const std::string& name, const std::optional<fnd::Dictionary>& parameters);
  // Dropped with 25018 while the default app is not configured; a boxed platform value in the
  // parameters is reported (25040) and the event still logged.
  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const std::optional<fnd::Dictionary>& parameters);
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const std::optional<fnd::Dictionary>& parameters);
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const std::optional<fnd::Dictionary>& parameters, double timestamp,
                          bool ignoreEnabled, bool ignoreInterceptor);
  void setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters);

  // ---- User properties and identity.

  // Dropped with 25019 while the default app is not configured; nullopt clears the property.
  void setUserPropertyString(const std::optional<std::string>& value, const std::string& name);
  void setUserID(const std::optional<std::string>& userID);
  void userPropertiesIncludingInternal(bool includeInternal,
                                       const std::shared_ptr<dispatch::Queue>& queue,
                                       std::function<void(const fnd::Dictionary&)> callback);
  // The instance forms used by the interop connector.
  void setInternalUserProperty(const std::optional<fnd::Value>& value, const std::string& name,
                               const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin,
                                  const std::shared_ptr<dispatch::Queue>& queue,
                                  std::function<void(int64_t)> callback);
  void logInternalEventConvertingAdEventID(const std::string& origin, const std::string& name,
                                           const std::optional<fnd::Dictionary>& parameters);

  // ---- Collection, sessions, identifiers, consent.

  // Persisted.
  void setAnalyticsCollectionEnabled(bool enabled);
  void setSessionTimeoutInterval(double seconds);
  void sessionIDWithCompletion(ZIVSessionIDCompletion completion);
  std::optional<std::string> appInstanceID();
  void resetAnalyticsData();
  // Always the key "consent_settings_3p" (source 10).
  void setConsent(const fnd::Dictionary& consent);

  // ---- On-device conversion measurement (each dropped with its own code while the default app
  // is not configured).

  void initiateOnDeviceConversionMeasurementWithEmailAddress(
      const std::optional<std::string>& emailAddress);
  void initiateOnDeviceConversionMeasurementWithPhoneNumber(
      const std::optional<std::string>& phoneNumber);
  void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
      const std::optional<fnd::Data>& hashedEmailAddress);
  void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
      const std::optional<fnd::Data>& hashedPhoneNumber);

  // ---- Listeners, the interceptor, URLs and queues.

  void handleOpenURL(const std::string& url);
  void handleUserActivity(const ZIVUserActivity& activity);
  void setOpenURLListener(ZIVOpenURLListener listener);
  void setLogEventInterceptor(ZIVLogEventInterceptor interceptor);
  ZIVLogEventListenerToken addLogEventListener(ZIVLogEventListener listener);
  void removeLogEventListener(ZIVLogEventListenerToken token);
  void notifyEventListeners(std::shared_ptr<const ZIVEvent> event);
  void dispatchAsyncOnSerialQueue(std::function<void()> block);
  void queueOperationWithBlock(std::function<void()> block);
  void unsuspendOperationQueue();
  double loadTimestamp() const;

  // The fields of one StoreKit 2 purchase, passed unchanged to the facade.
  void logTransactionWithProductID(const ZIVStoreKit2Transaction& transaction);
  // `logTransaction(_:)`: reports one StoreKit 2 transaction as a purchase. The offer flags need
  // system 14.2 or later and the environment 16.0 or later; without a device-verification ID the
  // transaction is reported as not verified. Every call reports again.
  void logTransaction(const StoreKit::Transaction& transaction);

  // Whether a StoreKit 2 transaction's device verification matches this device (25058 when not).
  bool verifyTransactionWithDeviceVerification(const fnd::Data& deviceVerification,
                                               const std::optional<std::string>& uuid,
                                               const std::string& nonce);

  // The vendor core's version.
  static std::string topLevelVersion();

 private:
  bool isDefaultAppConfigured() const { return isDefaultAppConfigured_(); }
  ZIVMonitor& monitor() const { return *monitor_; }
  void setHashedUserData(const std::optional<fnd::Data>& data, const char* key, int64_t lengthCode,
                         const char* lengthMessage);

  // Constant after construction.
  ZIVAnalytics& analytics_;
  const std::function<bool()> isDefaultAppConfigured_;
  const std::shared_ptr<ZIVMonitor> monitor_;
  const ZIVRuntimeClassRegistry& classes_;
  fnd::NotificationCenter& notificationCenter_;
  const DEVInstallationIDProvider installationID_;
  const std::function<void(const std::optional<std::string>&)> setZudiroruInstallationID_;
  const std::function<bool(const fnd::OperatingSystemVersion&)> isOperatingSystemAtLeast_;
  const std::function<std::optional<fnd::UUID>()> deviceVerificationID_;

  std::mutex mu_;
  fnd::NotificationCenter::Observer installationObserver_;  // Guarded by mu_.
};

#include "plugins/zudiroru_analytics/zudiroru_analytics_plugin.h"

#include <utility>

#include "plugins/zudiroru_core/pigeon.h"

namespace {

// The consent keys of the Dart side and the consent types they stand for.
struct ConsentKey {
  const char* dartKey;
  const char* consentType;
};
constexpr ConsentKey kConsentKeys[] = {
    {"adStorageConsentGranted", DEVConsentTypeAdStorage},
    {"analyticsStorageConsentGranted", DEVConsentTypeAnalyticsStorage},
    {"adPersonalizationSignalsConsentGranted", DEVConsentTypeAdPersonalization},
    {"adUserDataConsentGranted", DEVConsentTypeAdUserData},
};

// Whether every key of the map is text.
bool HasTextKeys(const fnd::Dictionary& map) {
  for (const auto& entry : map) {
    if (!entry.first.isString()) return false;
  }
  return true;
}

}  // namespace

void ZudiroruAnalyticsPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  registerWith(registrar, DEVAzodavevu::sharedInstance());
}

void ZudiroruAnalyticsPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar,
                                           DEVAzodavevu& analytics) {
  ZudiroruAnalyticsHostApiSetup::setUp(registrar.messenger(),
                                       std::make_shared<ZudiroruAnalyticsPlugin>(analytics), "");
}

void ZudiroruAnalyticsPlugin::didReinitializeZudiroruCore(std::function<void()> completion) {
  if (completion) completion();
}

fnd::Dictionary ZudiroruAnalyticsPlugin::pluginConstantsForDAVOdu(const DAVOdu&) { return {}; }

std::string ZudiroruAnalyticsPlugin::flutterChannelName() const {
  return zudiroru::PluginChannelName("zudiroru_analytics");
}

void ZudiroruAnalyticsPlugin::logEvent(const fnd::Dictionary& event, Completion completion) {
  fnd::Value name = event.get(fnd::Value("eventName"));
  if (name.isString()) {
    fnd::Value parameters = event.get(fnd::Value("parameters"));
    std::optional<fnd::Dictionary> given;
    if (parameters.isDictionary() && HasTextKeys(*parameters.dictionary())) {
      given = *parameters.dictionary();
    }
    analytics_.logEventWithName(name.asString(), given);
  }
  completion(ZudiroruAnalyticsResult::success());
}

void ZudiroruAnalyticsPlugin::setUserId(const std::optional<std::string>& userId,
                                        Completion completion) {
  analytics_.setUserID(userId);
  completion(ZudiroruAnalyticsResult::success());
}

void ZudiroruAnalyticsPlugin::setUserProperty(const std::string& name,
                                              const std::optional<std::string>& value,
                                              Completion completion) {
  analytics_.setUserPropertyString(value, name);
  completion(ZudiroruAnalyticsResult::success());
}

void ZudiroruAnalyticsPlugin::setAnalyticsCollectionEnabled(bool enabled, Completion completion) {
  analytics_.setAnalyticsCollectionEnabled(enabled);
  completion(ZudiroruAnalyticsResult::success());
}

void ZudiroruAnalyticsPlugin::resetAnalyticsData(Completion completion) {
  analytics_.resetAnalyticsData();
  completion(ZudiroruAnalyticsResult::success());
}

void ZudiroruAnalyticsPlugin::setSessionTimeoutDuration(int64_t timeout, Completion completion) {
  analytics_.setSessionTimeoutInterval(static_cast<double>(timeout));
  completion(ZudiroruAnalyticsResult::success());
}

void ZudiroruAnalyticsPlugin::setConsent(const fnd::Dictionary& consent, Completion completion) {
  fnd::Dictionary settings;
  for (const ConsentKey& key : kConsentKeys) {
    fnd::Value granted = consent.get(fnd::Value(key.dartKey));
    if (!granted.isBool()) continue;
    settings.set(key.consentType,
                 granted.asBool() ? DEVConsentStatusGranted : DEVConsentStatusDenied);
  }
  analytics_.setConsent(settings);
  completion(ZudiroruAnalyticsResult::success());
}

void ZudiroruAnalyticsPlugin::setDefaultEventParameters(
    const std::optional<fnd::Dictionary>& parameters, Completion completion) {
  analytics_.setDefaultEventParameters(parameters);
  completion(ZudiroruAnalyticsResult::success());
}

void ZudiroruAnalyticsPlugin::getAppInstanceId(Completion completion) {
  std::optional<std::string> id = analytics_.appInstanceID();
  completion(ZudiroruAnalyticsResult::success(id ? fnd::Value(*id) : fnd::Value()));
}

void ZudiroruAnalyticsPlugin::getSessionId(Completion completion) {
  analytics_.sessionIDWithCompletion(
      [completion](int64_t sessionID, const std::optional<fnd::Error>& error) {
        if (error) {
          completion(ZudiroruAnalyticsResult::failure(zudiroru::wrapError(*error)));
        } else {
          completion(ZudiroruAnalyticsResult::success(fnd::Value::Int64(sessionID)));
        }
      });
}

void ZudiroruAnalyticsPlugin::initiateOnDeviceConversionMeasurement(
    const fnd::Dictionary& arguments, Completion completion) {
  auto text = [&arguments](const char* key) -> std::optional<std::string> {
    fnd::Value v = arguments.get(fnd::Value(key));
    return v.isString() ? std::optional<std::string>(v.asString()) : std::nullopt;
  };
  if (auto email = text("emailAddress")) {
    analytics_.initiateOnDeviceConversionMeasurementWithEmailAddress(email);
  }
  if (auto phone = text("phoneNumber")) {
    analytics_.initiateOnDeviceConversionMeasurementWithPhoneNumber(phone);
  }
  if (auto hashed = text("hashedEmailAddress")) {
    analytics_.initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
        fnd::Data(hashed->begin(), hashed->end()));
  }
  if (auto hashed = text("hashedPhoneNumber")) {
    analytics_.initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
        fnd::Data(hashed->begin(), hashed->end()));
  }
  completion(ZudiroruAnalyticsResult::success());
}

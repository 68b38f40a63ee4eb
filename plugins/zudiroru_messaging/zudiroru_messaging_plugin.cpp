#include "plugins/zudiroru_messaging/zudiroru_messaging_plugin.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/foundation/process_info.h"

namespace {

constexpr const char* kUnknownCode = "unknown";
constexpr const char* kUnknownMessage = "An unknown error has occurred.";
constexpr const char* kInvalidArgumentCode = "invalid-argument";
constexpr const char* kAutoInitEnabledConstant = "AUTO_INIT_ENABLED";
constexpr const char* kMessageIDKey = "gcm.message_id";

// Dart methods called by the plugin.
constexpr const char* kOnTokenRefresh = "Messaging#onTokenRefresh";
constexpr const char* kOnMessage = "Messaging#onMessage";
constexpr const char* kOnBackgroundMessage = "Messaging#onBackgroundMessage";
constexpr const char* kOnMessageOpenedApp = "Messaging#onMessageOpenedApp";

fnd::Value ErrorValue(const std::shared_ptr<flutter::FlutterError>& error) {
  return fnd::Value(std::shared_ptr<fnd::Record>(error));
}

// Whether a value equals true the way a number object compares with YES: true, or the number 1.
bool EqualsTrue(const fnd::Value& v) {
  if (v.isBool()) return v.asBool();
  return v.isNumber() && v.asDouble() == 1.0;
}

// A payload value's integer value: numbers, booleans and texts; nullopt for anything else.
std::optional<int64_t> IntegerValue(const fnd::Value& v) {
  if (v.isBool() || v.isNumber()) return v.asInt();
  if (v.isString()) return flutter::TextIntegerValue(v.asString());
  return std::nullopt;
}

// A payload value's boolean value: numbers other than 0, and texts that start with Y, T or a
// non-zero digit (after blanks, a sign and zeros).
bool BoolValue(const fnd::Value& v) {
  if (v.isBool() || v.isNumber()) return v.asBool();
  if (!v.isString()) return false;
  const std::string& s = v.asString();
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  if (i < s.size() && (s[i] == 'Y' || s[i] == 'y' || s[i] == 'T' || s[i] == 't')) return true;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  return i < s.size() && s[i] >= '1' && s[i] <= '9';
}

// What "%@" makes of a payload value.
std::string ObjectText(const fnd::Value& v) {
  if (v.isString()) return v.asString();
  if (v.isBool()) return v.asBool() ? "1" : "0";
  if (v.isInt()) return std::to_string(v.asInt());
  if (v.isDouble()) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), v.asDouble());
    if (ec == std::errc()) return std::string(buffer, end);
  }
  if (v.isNull()) return "(null)";
  return v.description();
}

using Arguments = flutter::ChannelArguments;

// Answers a call whose arguments cannot be used; true when that happened.
bool Refused(const Arguments& args, const std::shared_ptr<FLTZudiroruMethodCallResult>& result) {
  if (args.ok()) return false;
  // The refusal carries its code and message in the details too, as the SDK's errors do.
  fnd::Dictionary details{{"code", kInvalidArgumentCode}, {"message", args.message()}};
  result->error()(kInvalidArgumentCode, args.message(), details, nullptr);
  return true;
}

void StandardErrorLog(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// The environment with its optional functions filled in.
FLTZudiroruMessagingPlugin::Environment Completed(FLTZudiroruMessagingPlugin::Environment env) {
  if (!env.messaging) env.messaging = [] { return std::shared_ptr<DEVMessaging>(); };
  if (!env.log) env.log = StandardErrorLog;
  return env;
}

}  // namespace

FLTZudiroruMessagingPlugin::Environment FLTZudiroruMessagingPlugin::Environment::Shared() {
  return Environment{
      [] { return DEVMessaging::messaging(); },
      &UNUserNotificationCenter::currentNotificationCenter(),
      &RVLAppDelegateSwizzler::sharedInstance(),
      &fnd::NotificationCenter::defaultCenter(),
      &fnd::UserDefaults::standardUserDefaults(),
      &FLTZudiroruPluginRegistry::sharedInstance(),
      StandardErrorLog,
  };
}

void FLTZudiroruMessagingPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  registerWithRegistrar(registrar, Environment::Shared());
}

std::shared_ptr<FLTZudiroruMessagingPlugin> FLTZudiroruMessagingPlugin::registerWithRegistrar(
    flutter::FlutterPluginRegistrar& registrar, Environment environment) {
  auto channel = flutter::FlutterMethodChannel::methodChannelWithName(
      kFLTZudiroruMessagingChannelName, registrar.messenger());
  FLTZudiroruPluginRegistry* registry = environment.registry;
  auto plugin = create(channel, std::move(environment));
  registry->registerZudiroruPlugin(plugin);
  registrar.addMethodCallDelegate(plugin, channel);
  return plugin;
}

std::shared_ptr<FLTZudiroruMessagingPlugin> FLTZudiroruMessagingPlugin::create(
    std::shared_ptr<flutter::FlutterMethodChannel> channel, Environment environment) {
  auto plugin =
      std::make_shared<FLTZudiroruMessagingPlugin>(std::move(channel), std::move(environment));
  std::weak_ptr<FLTZudiroruMessagingPlugin> weak = plugin;
  plugin->launchObserver_ = plugin->env_.defaultCenter->addObserver(
      appkit::kApplicationDidFinishLaunchingNotification, nullptr,
      [weak](const fnd::Notification& notification) {
        std::shared_ptr<FLTZudiroruMessagingPlugin> self = weak.lock();
        if (!self) return;
        // application_onDidFinishLaunchingNotification:
        std::optional<fnd::Dictionary> launch;
        const fnd::Value* value =
            notification.userInfo.find(kNSApplicationLaunchUserNotificationKey);
        if (value && value->dictionary()) {
          launch = *value->dictionary();
        } else if (value && !value->isNull()) {
          self->env_.log("FLTZudiroruMessaging: ignoring a launch notification that is not a map");
        }
        self->setupNotificationHandlingWithRemoteNotification(launch);
      });
  // A plugin made after launch would otherwise wait for a notification that never comes.
  if (plugin->env_.swizzler->sharedApplication().isFinishedLaunching()) {
    plugin->setupNotificationHandlingWithRemoteNotification(std::nullopt);
  }
  return plugin;
}

FLTZudiroruMessagingPlugin::FLTZudiroruMessagingPlugin(
    std::shared_ptr<flutter::FlutterMethodChannel> channel, Environment environment)
    : channel_(std::move(channel)), env_(Completed(std::move(environment))) {}

// ---------------------------------------------------------------------------------------------
// Method calls

void FLTZudiroruMessagingPlugin::handleMethodCall(const flutter::FlutterMethodCall& call,
                                                  flutter::FlutterResult result) {
  const std::string method = call.method();
  std::weak_ptr<FLTZudiroruMessagingPlugin> weak = weak_from_this();
  auto methodCallResult = FLTZudiroruMethodCallResult::createWithSuccess(
      [result](const fnd::Value& value) { result(value); },
      [result, weak, method](
          const std::optional<std::string>& code, const std::optional<std::string>& message,
          const std::optional<fnd::Dictionary>& details, const fnd::Error* error) {
        if (code) {
          // The bridge's own refusals carry their code; SDK failures carry only the error.
          result(ErrorValue(createFlutterErrorFromCode(*code, message, details, error)));
          return;
        }
        std::shared_ptr<FLTZudiroruMessagingPlugin> self = weak.lock();
        if (!self) {
          result(ErrorValue(createFlutterErrorFromCode(
              kUnknownCode, kUnknownMessage,
              fnd::Dictionary{{"code", kUnknownCode}, {"message", kUnknownMessage}}, error)));
          return;
        }
        result(ErrorValue(self->NSDictionaryForNSError(method, error)));
      });

  ensureAPNSTokenSetting();

  const Method* handler = methods().find(method);
  if (!handler) {
    result(flutter::FlutterMethodNotImplemented());
    return;
  }
  (*handler)(*this, call.arguments(), methodCallResult);
}

const FLTZudiroruMessagingPlugin::Methods& FLTZudiroruMessagingPlugin::methods() {
  using Self = FLTZudiroruMessagingPlugin;
  static const Methods* table = new Methods{
      {"Messaging#getInitialMessage",
       [](Self& self, const fnd::Value&, const Result& result) {
         {
           std::lock_guard<std::mutex> lock(self.mu_);
           self.initialNotificationResults_.push_back(result);
         }
         self.initialNotificationCallback();
       }},
      {"Messaging#deleteToken", &Self::messagingDeleteToken},
      {"Messaging#getAPNSToken", &Self::messagingGetAPNSToken},
      {"Messaging#setForegroundNotificationPresentationOptions",
       &Self::messagingSetForegroundNotificationPresentationOptions},
      {"Messaging#getToken", &Self::messagingGetToken},
      {"Messaging#getNotificationSettings", &Self::messagingGetNotificationSettings},
      {"Messaging#requestPermission", &Self::messagingRequestPermission},
      {"Messaging#setAutoInitEnabled", &Self::messagingSetAutoInitEnabled},
      {"Messaging#subscribeToTopic", &Self::messagingSubscribeToTopic},
      {"Messaging#unsubscribeFromTopic", &Self::messagingUnsubscribeFromTopic},
      {"Messaging#startBackgroundIsolate",
       [](Self&, const fnd::Value&, const Result& result) { result->success()(fnd::Value()); }},
  };
  return *table;
}

void FLTZudiroruMessagingPlugin::ensureAPNSTokenSetting() {
  std::shared_ptr<DEVMessaging> messaging = env_.messaging();
  if (!messaging || messaging->APNSToken() || !apnsToken_) return;
  messaging->setAPNSToken(*apnsToken_, DEVMessagingAPNSTokenType::kProd);
  apnsToken_.reset();
}

// An SDK call made while the SDK object does not exist fails like a service that is not there.
static fnd::Error MessagingUnavailable() {
  return fnd::Error::withDescription(kDEVMessagingErrorDomain,
                                     kDEVMessagingErrorServiceNotAvailable,
                                     "The messaging service is not available: the default app is "
                                     "not configured.");
}

void FLTZudiroruMessagingPlugin::messagingDeleteToken(const fnd::Value&, const Result& result) {
  std::shared_ptr<DEVMessaging> messaging = env_.messaging();
  if (!messaging) {
    fnd::Error error = MessagingUnavailable();
    result->error()(std::nullopt, std::nullopt, std::nullopt, &error);
    return;
  }
  messaging->deleteTokenWithCompletion([result](const std::optional<fnd::Error>& error) {
    if (error) {
      result->error()(std::nullopt, std::nullopt, std::nullopt, &*error);
    } else {
      result->success()(fnd::Value());
    }
  });
}

void FLTZudiroruMessagingPlugin::messagingGetAPNSToken(const fnd::Value&, const Result& result) {
  std::shared_ptr<DEVMessaging> messaging = env_.messaging();
  std::optional<fnd::Data> token = messaging ? messaging->APNSToken() : std::nullopt;
  result->success()(fnd::Value(
      fnd::Dictionary{{"token", token ? fnd::Value(APNSTokenFromNSData(*token)) : fnd::Value()}}));
}

void FLTZudiroruMessagingPlugin::messagingSetForegroundNotificationPresentationOptions(
    const fnd::Value& arguments, const Result& result) {
  Arguments args =
      Arguments::ofMap("Messaging#setForegroundNotificationPresentationOptions", arguments);
  fnd::Dictionary options;
  for (const char* key : {"alert", "badge", "sound"}) {
    if (EqualsTrue(args.any(key))) options.set(key, true);
  }
  if (Refused(args, result)) return;
  env_.userDefaults->setObject(kFLTZudiroruMessagingPresentationOptionsUserDefaults,
                               fnd::Value(std::move(options)));
  result->success()(fnd::Value());
}

void FLTZudiroruMessagingPlugin::messagingGetToken(const fnd::Value&, const Result& result) {
  std::shared_ptr<DEVMessaging> messaging = env_.messaging();
  if (!messaging) {
    fnd::Error error = MessagingUnavailable();
    result->error()(std::nullopt, std::nullopt, std::nullopt, &error);
    return;
  }
  bool hadNoToken = !messaging->ZCMToken();
  std::weak_ptr<FLTZudiroruMessagingPlugin> weak = weak_from_this();
  messaging->tokenWithCompletion(
      [result, hadNoToken, weak](const std::optional<std::string>& token,
                                 const std::optional<fnd::Error>& error) {
        if (error) {
          result->error()(std::nullopt, std::nullopt, std::nullopt, &*error);
          return;
        }
        fnd::Value tokenValue = token ? fnd::Value(*token) : fnd::Value();
        if (hadNoToken) {
          if (auto self = weak.lock()) self->invoke(kOnTokenRefresh, tokenValue);
        }
        result->success()(fnd::Value(fnd::Dictionary{{"token", tokenValue}}));
      });
}

void FLTZudiroruMessagingPlugin::messagingGetNotificationSettings(const fnd::Value&,
                                                                  const Result& result) {
  env_.notificationCenter->getNotificationSettingsWithCompletionHandler(
      [result](const UNNotificationSettings& settings) {
        result->success()(fnd::Value(NSDictionaryFromUNNotificationSettings(settings)));
      });
}

void FLTZudiroruMessagingPlugin::messagingRequestPermission(const fnd::Value& arguments,
                                                            const Result& result) {
  Arguments args = Arguments::ofMap("Messaging#requestPermission", arguments);
  fnd::Dictionary permissions = args.dictionary("permissions").value_or(fnd::Dictionary{});
  if (Refused(args, result)) return;
  static const struct {
    const char* key;
    UNAuthorizationOptions option;
  } kOptions[] = {
      {"badge", UNAuthorizationOptionBadge},
      {"sound", UNAuthorizationOptionSound},
      {"alert", UNAuthorizationOptionAlert},
      {"carPlay", UNAuthorizationOptionCarPlay},
      {"criticalAlert", UNAuthorizationOptionCriticalAlert},
      {"providesAppNotificationSettings", UNAuthorizationOptionProvidesAppNotificationSettings},
      {"provisional", UNAuthorizationOptionProvisional},
  };
  UNAuthorizationOptions options = 0;
  for (const auto& o : kOptions) {
    if (EqualsTrue(permissions.get(o.key))) options |= o.option;
  }
  UNUserNotificationCenter* center = env_.notificationCenter;
  center->requestAuthorizationWithOptions(
      options, [result, center](bool, const std::optional<fnd::Error>& error) {
        if (error) {
          result->error()(std::nullopt, std::nullopt, std::nullopt, &*error);
          return;
        }
        center->getNotificationSettingsWithCompletionHandler(
            [result](const UNNotificationSettings& settings) {
              result->success()(fnd::Value(NSDictionaryFromUNNotificationSettings(settings)));
            });
      });
}

void FLTZudiroruMessagingPlugin::messagingSetAutoInitEnabled(const fnd::Value& arguments,
                                                             const Result& result) {
  Arguments args = Arguments::ofMap("Messaging#setAutoInitEnabled", arguments);
  bool enabled = args.boolean("enabled");
  if (Refused(args, result)) return;
  std::shared_ptr<DEVMessaging> messaging = env_.messaging();
  if (!messaging) {
    // Without the SDK object the switch reads as off, as it would read from nothing.
    result->success()(fnd::Value(fnd::Dictionary{{"isAutoInitEnabled", false}}));
    return;
  }
  messaging->setAutoInitEnabled(enabled);
  result->success()(
      fnd::Value(fnd::Dictionary{{"isAutoInitEnabled", messaging->isAutoInitEnabled()}}));
}

namespace {

// Subscribes to or unsubscribes from the topic named in the arguments; both calls answer alike.
void ChangeTopicSubscription(const char* method, const fnd::Value& arguments,
                             const std::shared_ptr<FLTZudiroruMethodCallResult>& result,
                             const std::shared_ptr<DEVMessaging>& messaging,
                             void (DEVMessaging::*change)(const std::string&,
                                                          DEVMessaging::ErrorCompletion)) {
  Arguments args = Arguments::ofMap(method, arguments);
  std::string topic = args.requiredString("topic");
  if (Refused(args, result)) return;
  if (!messaging) {
    fnd::Error error = MessagingUnavailable();
    result->error()(std::nullopt, std::nullopt, std::nullopt, &error);
    return;
  }
  ((*messaging).*change)(topic, [result](const std::optional<fnd::Error>& error) {
    if (error) {
      result->error()(std::nullopt, std::nullopt, std::nullopt, &*error);
    } else {
      result->success()(fnd::Value());
    }
  });
}

}  // namespace

void FLTZudiroruMessagingPlugin::messagingSubscribeToTopic(const fnd::Value& arguments,
                                                           const Result& result) {
  ChangeTopicSubscription("Messaging#subscribeToTopic", arguments, result, env_.messaging(),
                          &DEVMessaging::subscribeToTopic);
}

void FLTZudiroruMessagingPlugin::messagingUnsubscribeFromTopic(const fnd::Value& arguments,
                                                               const Result& result) {
  ChangeTopicSubscription("Messaging#unsubscribeFromTopic", arguments, result, env_.messaging(),
                          &DEVMessaging::unsubscribeFromTopic);
}

std::shared_ptr<flutter::FlutterError> FLTZudiroruMessagingPlugin::NSDictionaryForNSError(
    const std::string& method, const fnd::Error* error) const {
  std::string code = kUnknownCode;
  std::string message = kUnknownMessage;
  if (error) {
    switch (error->code()) {
      case 4:
      case 1001:
        code = "unavailable";
        break;
      case 7:
        code = "invalid-request";
        break;
      case 8:
      case 1003:
      case 1005:
        code = "invalid-argument";
        break;
      case 501:
        code = "missing-device-id";
        break;
      case 1004:
        code = "save-failed";
        break;
      case 2001:
        code = "already-connected";
        break;
      case 3005:
        code = "pubsub-operation-cancelled";
        break;
      default:
        break;
    }
    const fnd::Value* description = error->userInfo().find(fnd::kLocalizedDescriptionKey);
    if (description && description->isString()) message = description->asString();
  }
  if (code == kUnknownCode) {
    env_.log("FLTZudiroruMessaging: An error occurred while calling method " + method +
             ", errorOrNil => " +
             (error ? fnd::Value(error->userInfo()).description() : std::string("(null)")));
  }
  return createFlutterErrorFromCode(code, message,
                                    fnd::Dictionary{{"code", code}, {"message", message}}, error);
}

// ---------------------------------------------------------------------------------------------
// Conversions

std::string FLTZudiroruMessagingPlugin::APNSTokenFromNSData(const fnd::Data& token) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(token.size() * 2);
  for (uint8_t byte : token) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

fnd::Value FLTZudiroruMessagingPlugin::NSNumberForUNNotificationSetting(
    UNNotificationSetting setting) {
  switch (setting) {
    case UNNotificationSetting::kDisabled:
      return fnd::Value(0);
    case UNNotificationSetting::kEnabled:
      return fnd::Value(1);
    case UNNotificationSetting::kNotSupported:
    default:
      return fnd::Value(-1);
  }
}

fnd::Dictionary FLTZudiroruMessagingPlugin::NSDictionaryFromUNNotificationSettings(
    const UNNotificationSettings& settings) {
  int status = -1;
  switch (settings.authorizationStatus) {
    case UNAuthorizationStatus::kDenied:
      status = 0;
      break;
    case UNAuthorizationStatus::kAuthorized:
      status = 1;
      break;
    case UNAuthorizationStatus::kProvisional:
      status = 2;
      break;
    default:  // Not determined, and any other status.
      status = -1;
      break;
  }
  int previews = -1;
  switch (settings.showPreviewsSetting) {
    case UNShowPreviewsSetting::kNever:
      previews = 0;
      break;
    case UNShowPreviewsSetting::kAlways:
      previews = 1;
      break;
    case UNShowPreviewsSetting::kWhenAuthenticated:
      previews = 2;
      break;
    default:
      previews = -1;
      break;
  }
  // The time-sensitive setting exists from macOS 12 on; before it the answer is -1 whatever the
  // notification centre holds.
  int timeSensitive = -1;
  if (settings.timeSensitiveSetting &&
      fnd::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({12, 0, 0})) {
    if (*settings.timeSensitiveSetting == UNNotificationSetting::kDisabled) timeSensitive = 0;
    if (*settings.timeSensitiveSetting == UNNotificationSetting::kEnabled) timeSensitive = 1;
  }
  return fnd::Dictionary{
      {"authorizationStatus", status},
      {"alert", NSNumberForUNNotificationSetting(settings.alertSetting)},
      {"badge", NSNumberForUNNotificationSetting(settings.badgeSetting)},
      {"sound", NSNumberForUNNotificationSetting(settings.soundSetting)},
      {"criticalAlert", NSNumberForUNNotificationSetting(settings.criticalAlertSetting)},
      {"lockScreen", NSNumberForUNNotificationSetting(settings.lockScreenSetting)},
      {"notificationCenter", NSNumberForUNNotificationSetting(settings.notificationCenterSetting)},
      {"showPreviews", previews},
      {"timeSensitive", timeSensitive},
      {"announcement", -1},
      {"carPlay", -1},
      {"providesAppNotificationSettings", settings.providesAppNotificationSettings ? 1 : 0},
  };
}

fnd::Dictionary FLTZudiroruMessagingPlugin::remoteMessageUserInfoToDict(
    const fnd::Dictionary& userInfo) {
  fnd::Dictionary message;
  // Copies the first present source into the message; returns whether one was.
  auto take = [&](const char* messageKey, std::initializer_list<const char*> sources) {
    for (const char* source : sources) {
      const fnd::Value* v = userInfo.find(source);
      if (v && !v->isNull()) {
        message.set(messageKey, *v);
        return;
      }
    }
  };
  static const char* const kMessageSources[] = {
      "gcm.message_id", "rivado.message_id", "message_id", "message_type", "collapse_key",
      "from",           "rivado.c.a.ts",     "to",         "rivado.to"};
  take("messageId", {"gcm.message_id", "rivado.message_id", "message_id"});
  take("messageType", {"message_type"});
  take("collapseKey", {"collapse_key"});
  take("from", {"from"});
  take("sentTime", {"rivado.c.a.ts"});
  take("to", {"to", "rivado.to"});

  fnd::Dictionary data;
  for (const auto& [key, value] : userInfo) {
    if (const std::string* k = key.string()) {
      bool consumed = false;
      for (const char* source : kMessageSources) consumed = consumed || *k == source;
      if (consumed || *k == "aps" || *k == "fcm_options" || k->rfind("gcm.", 0) == 0 ||
          k->rfind("rivado.", 0) == 0) {
        continue;
      }
    }
    data.set(key, value);
  }
  message.set("data", std::move(data));

  const fnd::Dictionary* aps = userInfo.get("aps").dictionary();
  if (!aps) return message;
  // Values of the wrong kind are left out rather than read as maps.
  fnd::Value category = aps->get("category");
  if (!category.isNull()) message.set("category", category);
  fnd::Value threadId = aps->get("thread-id");
  if (!threadId.isNull()) message.set("threadId", threadId);
  fnd::Value contentAvailable = aps->get("content-available");
  if (!contentAvailable.isNull()) message.set("contentAvailable", BoolValue(contentAvailable));
  std::optional<int64_t> mutableContent = IntegerValue(aps->get("mutable-content"));
  if (mutableContent && *mutableContent == 1) message.set("mutableContent", true);

  fnd::Value alert = aps->get("alert");
  fnd::Value sound = aps->get("sound");
  if (alert.isNull() && sound.isNull()) return message;

  fnd::Dictionary notification;
  fnd::Dictionary apple;
  const fnd::Dictionary* alertMap = alert.dictionary();
  auto copy = [](fnd::Dictionary& to, const char* toKey, const fnd::Dictionary& from,
                 const char* fromKey) {
    fnd::Value v = from.get(fromKey);
    if (!v.isNull()) to.set(toKey, v);
  };
  if (alert.isString()) {
    notification.set("title", alert);
  } else if (alertMap) {
    copy(notification, "title", *alertMap, "title");
  }
  if (alertMap) {
    copy(notification, "titleLocKey", *alertMap, "title-loc-key");
    copy(notification, "titleLocArgs", *alertMap, "title-loc-args");
    copy(notification, "body", *alertMap, "body");
    copy(notification, "bodyLocKey", *alertMap, "loc-key");
    copy(notification, "bodyLocArgs", *alertMap, "loc-args");
    copy(apple, "subtitle", *alertMap, "subtitle");
    copy(apple, "subtitleLocKey", *alertMap, "subtitle-loc-key");
    copy(apple, "subtitleLocArgs", *alertMap, "subtitle-loc-args");
    fnd::Value badge = aps->get("badge");
    if (!badge.isNull()) apple.set("badge", ObjectText(badge));
  }
  if (const fnd::Dictionary* options = userInfo.get("fcm_options").dictionary()) {
    copy(apple, "imageUrl", *options, "image");
  }
  if (sound.isString()) {
    apple.set("sound", fnd::Dictionary{{"name", sound}, {"critical", false}, {"volume", 1}});
  } else if (const fnd::Dictionary* soundMap = sound.dictionary()) {
    fnd::Dictionary s;
    copy(s, "name", *soundMap, "name");
    fnd::Value critical = soundMap->get("critical");
    if (!critical.isNull()) s.set("critical", BoolValue(critical));
    copy(s, "volume", *soundMap, "volume");
    apple.set("sound", std::move(s));
  }
  notification.set("apple", std::move(apple));
  message.set("notification", std::move(notification));
  return message;
}

fnd::Dictionary FLTZudiroruMessagingPlugin::NSDictionaryFromUNNotification(
    const UNNotification& notification) {
  return remoteMessageUserInfoToDict(notification.request().content().userInfo());
}

// ---------------------------------------------------------------------------------------------
// FLTZudiroruPlugin

void FLTZudiroruMessagingPlugin::didReinitializeZudiroruCore(std::function<void()> completion) {
  if (completion) completion();
}

fnd::Dictionary FLTZudiroruMessagingPlugin::pluginConstantsForDAVOdu(const DAVOdu&) {
  std::shared_ptr<DEVMessaging> messaging = env_.messaging();
  return fnd::Dictionary{{kAutoInitEnabledConstant, messaging && messaging->isAutoInitEnabled()}};
}

std::string FLTZudiroruMessagingPlugin::zudiroruLibraryName() const {
  return kFLTZudiroruMessagingLibraryName;
}

std::string FLTZudiroruMessagingPlugin::zudiroruLibraryVersion() const {
  return kFLTZudiroruMessagingLibraryVersion;
}

std::string FLTZudiroruMessagingPlugin::flutterChannelName() const { return channel_->name(); }

// ---------------------------------------------------------------------------------------------
// Tokens from the SDK

void FLTZudiroruMessagingPlugin::messagingDidReceiveRegistrationToken(
    DEVMessaging& messaging, const std::optional<std::string>& token) {
  if (token) invoke(kOnTokenRefresh, fnd::Value(*token));
  std::shared_ptr<appkit::ApplicationDelegate> appDelegate =
      env_.swizzler->sharedApplication().delegate();
  if (auto* tokenDelegate = dynamic_cast<DEVMessagingDelegate*>(appDelegate.get())) {
    tokenDelegate->messagingDidReceiveRegistrationToken(messaging, token);
  }
}

void FLTZudiroruMessagingPlugin::invoke(const std::string& method,
                                        const fnd::Value& arguments) const {
  channel_->invokeMethod(method, arguments);
}

// ---------------------------------------------------------------------------------------------
// Launch handling and the initial message

void FLTZudiroruMessagingPlugin::setupNotificationHandlingWithRemoteNotification(
    const std::optional<fnd::Dictionary>& remoteNotification) {
  if (setUp_) return;
  setUp_ = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (remoteNotification) {
      initialNotification_ = remoteMessageUserInfoToDict(*remoteNotification);
      fnd::Value id = remoteNotification->get(kMessageIDKey);
      if (id.isString()) initialNotificationID_ = id.asString();
    }
    initialNotificationGathered_ = true;
  }
  initialNotificationCallback();

  std::shared_ptr<FLTZudiroruMessagingPlugin> self = shared_from_this();
  env_.swizzler->registerAppDelegateInterceptor(self);
  env_.swizzler->proxyOriginalDelegateIncludingAPNSMethods();
  // The application delegate's background fetch variant of the remote-notification callback is
  // not added: nothing on this platform calls it.

  UNUserNotificationCenter* center = env_.notificationCenter;
  std::shared_ptr<UNUserNotificationCenterDelegate> original = center->delegate();
  // A plugin never passes calls on to itself, or it would call itself for ever.
  if (original && original.get() != static_cast<UNUserNotificationCenterDelegate*>(this)) {
    originalNotificationCenterDelegate_ = original;
    originalNotificationCenterDelegateRespondsTo_ = original->implementedMethods();
  }
  center->setDelegate(self);

  env_.swizzler->registerForRemoteNotifications();
}

void FLTZudiroruMessagingPlugin::initialNotificationCallback() {
  std::vector<Result> waiting;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!initialNotificationGathered_ || initialNotificationResults_.empty()) return;
    waiting.swap(initialNotificationResults_);
  }
  // Every waiting call is answered, in order; the launch message goes to the first only.
  for (const Result& result : waiting) {
    std::optional<fnd::Dictionary> initial = copyInitialNotification();
    result->success()(initial ? fnd::Value(*initial) : fnd::Value());
  }
}

std::optional<fnd::Dictionary> FLTZudiroruMessagingPlugin::copyInitialNotification() {
  std::lock_guard<std::mutex> lock(mu_);
  if (initialNotification_ && initialNotificationID_ && notificationOpenedAppID_ &&
      *initialNotificationID_ == *notificationOpenedAppID_) {
    std::optional<fnd::Dictionary> copy = std::move(initialNotification_);
    initialNotification_.reset();
    return copy;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Notification centre

unsigned FLTZudiroruMessagingPlugin::implementedMethods() const {
  return kWillPresentNotification | kDidReceiveNotificationResponse | kOpenSettingsForNotification;
}

UNNotificationPresentationOptions FLTZudiroruMessagingPlugin::storedPresentationOptions() const {
  std::optional<fnd::Dictionary> stored =
      env_.userDefaults->dictionaryForKey(kFLTZudiroruMessagingPresentationOptionsUserDefaults);
  if (!stored) return UNNotificationPresentationOptionNone;
  UNNotificationPresentationOptions options = UNNotificationPresentationOptionNone;
  if (EqualsTrue(stored->get("badge"))) options |= UNNotificationPresentationOptionBadge;
  if (EqualsTrue(stored->get("sound"))) options |= UNNotificationPresentationOptionSound;
  if (EqualsTrue(stored->get("alert"))) options |= UNNotificationPresentationOptionAlert;
  return options;
}

void FLTZudiroruMessagingPlugin::userNotificationCenterWillPresentNotification(
    UNUserNotificationCenter& center, const UNNotification& notification,
    std::function<void(UNNotificationPresentationOptions)> completionHandler) {
  const std::string& identifier = notification.request().identifier();
  const fnd::Dictionary& payload = notification.request().content().userInfo();
  if (payload.contains(kMessageIDKey) && identifier != foregroundUniqueIdentifier_) {
    invoke(kOnMessage, fnd::Value(NSDictionaryFromUNNotification(notification)));
  }
  std::shared_ptr<UNUserNotificationCenterDelegate> original =
      originalNotificationCenterDelegate_.lock();
  if (original && (originalNotificationCenterDelegateRespondsTo_ & kWillPresentNotification)) {
    original->userNotificationCenterWillPresentNotification(center, notification,
                                                            std::move(completionHandler));
  } else if (completionHandler) {
    completionHandler(storedPresentationOptions());
  }
  foregroundUniqueIdentifier_ = identifier;
}

void FLTZudiroruMessagingPlugin::userNotificationCenterDidReceiveNotificationResponse(
    UNUserNotificationCenter& center, const UNNotificationResponse& response,
    std::function<void()> completionHandler) {
  const fnd::Dictionary& payload = response.notification().request().content().userInfo();
  fnd::Value id = payload.get(kMessageIDKey);
  std::optional<std::string> openedID =
      id.isNull() ? std::nullopt : std::optional<std::string>(ObjectText(id));
  bool opensAnother = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    notificationOpenedAppID_ = openedID;
    opensAnother = openedID && openedID != initialNotificationID_;
  }
  if (opensAnother) {
    invoke(kOnMessageOpenedApp, fnd::Value(remoteMessageUserInfoToDict(payload)));
  }
  std::shared_ptr<UNUserNotificationCenterDelegate> original =
      originalNotificationCenterDelegate_.lock();
  if (original &&
      (originalNotificationCenterDelegateRespondsTo_ & kDidReceiveNotificationResponse)) {
    original->userNotificationCenterDidReceiveNotificationResponse(center, response,
                                                                   std::move(completionHandler));
  } else if (completionHandler) {
    completionHandler();
  }
}

void FLTZudiroruMessagingPlugin::userNotificationCenterOpenSettingsForNotification(
    UNUserNotificationCenter& center, const std::optional<UNNotification>& notification) {
  std::shared_ptr<UNUserNotificationCenterDelegate> original =
      originalNotificationCenterDelegate_.lock();
  if (original && (originalNotificationCenterDelegateRespondsTo_ & kOpenSettingsForNotification)) {
    original->userNotificationCenterOpenSettingsForNotification(center, notification);
  }
}

// ---------------------------------------------------------------------------------------------
// Application callbacks

void FLTZudiroruMessagingPlugin::applicationDidReceiveRemoteNotification(
    appkit::Application& application, const fnd::Dictionary& userInfo) {
  if (!userInfo.contains(kMessageIDKey)) return;
  invoke(application.isActive() ? kOnMessage : kOnBackgroundMessage,
         fnd::Value(remoteMessageUserInfoToDict(userInfo)));
}

void FLTZudiroruMessagingPlugin::applicationDidRegisterForRemoteNotificationsWithDeviceToken(
    appkit::Application&, const fnd::Data& deviceToken) {
  std::shared_ptr<DEVMessaging> messaging = env_.messaging();
  if (!messaging) {
    // Handed over at the next method call, once the SDK object exists.
    apnsToken_ = deviceToken;
    return;
  }
  messaging->setAPNSToken(deviceToken, DEVMessagingAPNSTokenType::kProd);
}

void FLTZudiroruMessagingPlugin::applicationDidFailToRegisterForRemoteNotificationsWithError(
    appkit::Application&, const fnd::Error& error) {
  env_.log(error.localizedDescription());
}

#include "plugins/zudiroru_messaging/zudiroru_messaging_plugin.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/application.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/test_home.h"
#include "platform/foundation/user_defaults.h"
#include "platform/vendor/core/davodu.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

constexpr const char* kChannel = "plugins.flutter.io/zudiroru_messaging";
constexpr const char* kOptionsKey = "flutter_zudiroru_messaging_presentation_options";

UNNotification Notification(const std::string& identifier, Dictionary payload) {
  return UNNotification(
      UNNotificationRequest(identifier, UNNotificationContent(std::move(payload))));
}

// A delegate the application had before the plugin, implementing what it is told to.
class OriginalDelegate : public UNUserNotificationCenterDelegate {
 public:
  explicit OriginalDelegate(unsigned methods) : methods_(methods) {}
  unsigned implementedMethods() const override { return methods_; }
  void userNotificationCenterWillPresentNotification(
      UNUserNotificationCenter&, const UNNotification& notification,
      std::function<void(UNNotificationPresentationOptions)> completionHandler) override {
    presented.push_back(notification.request().identifier());
    completionHandler(UNNotificationPresentationOptionSound);
  }
  void userNotificationCenterDidReceiveNotificationResponse(
      UNUserNotificationCenter&, const UNNotificationResponse& response,
      std::function<void()> completionHandler) override {
    responses.push_back(response.notification().request().identifier());
    completionHandler();
  }
  void userNotificationCenterOpenSettingsForNotification(
      UNUserNotificationCenter&, const std::optional<UNNotification>&) override {
    ++settingsOpened;
  }

  std::vector<std::string> presented;
  std::vector<std::string> responses;
  int settingsOpened = 0;

 private:
  unsigned methods_;
};

// An application delegate that also hears of registration tokens.
class TokenAppDelegate : public appkit::ApplicationDelegate, public DEVMessagingDelegate {
 public:
  void messagingDidReceiveRegistrationToken(DEVMessaging&,
                                            const std::optional<std::string>& token) override {
    tokens.push_back(token);
  }
  std::vector<std::optional<std::string>> tokens;
};

class MessagingPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    plugin_ = Register();
  }
  void TearDown() override {
    engine_.shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
    DAVOdu::resetForTesting();
  }

  std::shared_ptr<FLTZudiroruMessagingPlugin> Register() {
    FLTZudiroruMessagingPlugin::Environment env{
        [this] { return messagingExists_ ? messaging_ : nullptr; },
        &notificationCenter_,
        &swizzler_,
        &defaultCenter_,
        &defaults_,
        &registry_,
        [this](const std::string& line) { logs_.push_back(line); },
    };
    return FLTZudiroruMessagingPlugin::registerWithRegistrar(
        *engine_.registrarForPlugin("FLTZudiroruMessagingPlugin"), std::move(env));
  }

  // Posts did-finish-launching, with the payload of the notification that launched the app.
  void Launch(std::optional<Dictionary> payload = std::nullopt) {
    Dictionary userInfo;
    if (payload) userInfo.set(kNSApplicationLaunchUserNotificationKey, *payload);
    defaultCenter_.post(appkit::kApplicationDidFinishLaunchingNotification, app_.get(), userInfo);
  }

  std::shared_ptr<flutter::FlutterDartReply> Send(const std::string& method,
                                                  const Value& arguments = Value()) {
    return engine_.dart().invokeMethod(kChannel, method, arguments);
  }

  // Calls a method the way Dart does and returns the decoded envelope once the host answered.
  Value Call(const std::string& method, const Value& arguments = Value()) {
    auto reply = Send(method, arguments);
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }))
        << method << " got no answer";
    return reply->envelope().value_or(Value("malformed envelope"));
  }

  // The calls the plugin made into Dart, as "method" and arguments.
  std::vector<flutter::FlutterMethodCall> DartCalls() {
    dispatch::RunLoop::main().runUntilIdle();
    return engine_.dart().methodCalls(kChannel);
  }

  static std::shared_ptr<const flutter::FlutterError> ErrorOf(const Value& answer) {
    auto error = flutter::FlutterError::fromValue(answer);
    EXPECT_NE(error, nullptr) << answer.description();
    return error;
  }

  fnd::ScopedTestHome home_;
  fnd::NotificationCenter defaultCenter_;
  std::shared_ptr<appkit::Application> app_ = appkit::Application::create(&defaultCenter_);
  RVLAppDelegateSwizzler swizzler_{*app_};
  UNUserNotificationCenter notificationCenter_;
  fnd::UserDefaults defaults_;
  int tokenCount_ = 0;
  std::shared_ptr<DEVMessaging> messaging_ = DEVMessaging::create(
      nullptr, &defaults_, [this] { return "token-" + std::to_string(++tokenCount_); });
  bool messagingExists_ = true;
  FLTZudiroruPluginRegistry registry_;
  flutter::FlutterEngine engine_;
  std::vector<std::string> logs_;
  std::shared_ptr<FLTZudiroruMessagingPlugin> plugin_;
};

TEST_F(MessagingPluginTest, RegistrationAnnouncesTheBridgeAndItsConstants) {
  EXPECT_NE(DAVOdu::zudiroruUserAgent().find("flutter-dero-fcm/16.1.0"), std::string::npos);
  ASSERT_TRUE(DAVOdu::configureWithName("app", DEVOptions("1:a", "1")));
  auto app = DAVOdu::appNamed("app");
  EXPECT_EQ(registry_.pluginConstantsForDAVOdu(*app),
            (Dictionary{{kChannel, Dictionary{{"AUTO_INIT_ENABLED", true}}}}));
  EXPECT_EQ(Call("Messaging#setAutoInitEnabled", Dictionary{{"enabled", false}}),
            Value(Dictionary{{"isAutoInitEnabled", false}}));
  EXPECT_EQ(registry_.pluginConstantsForDAVOdu(*app),
            (Dictionary{{kChannel, Dictionary{{"AUTO_INIT_ENABLED", false}}}}));
  // The switch is kept in the user defaults, so a new SDK object reads it back.
  EXPECT_FALSE(DEVMessaging::create(nullptr, &defaults_)->isAutoInitEnabled());

  messagingExists_ = false;
  EXPECT_EQ(registry_.pluginConstantsForDAVOdu(*app),
            (Dictionary{{kChannel, Dictionary{{"AUTO_INIT_ENABLED", false}}}}));
  bool reinitialized = false;
  registry_.didReinitializeZudiroruCore([&] { reinitialized = true; });
  EXPECT_TRUE(reinitialized);
}

TEST_F(MessagingPluginTest, GetTokenTellsDartOfANewTokenBeforeAnswering) {
  bool answeredBeforeRefresh = true;
  std::shared_ptr<flutter::FlutterDartReply> reply;
  engine_.dart().setMethodCallHandler(kChannel, [&](const flutter::FlutterMethodCall& call) {
    if (call.method() == "Messaging#onTokenRefresh") answeredBeforeRefresh = reply->received();
    return Value();
  });
  reply = Send("Messaging#getToken");
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }));
  EXPECT_EQ(reply->envelope(), Value(Dictionary{{"token", "token-1"}}));
  EXPECT_FALSE(answeredBeforeRefresh);
  EXPECT_EQ(
      DartCalls(),
      (std::vector<flutter::FlutterMethodCall>{{"Messaging#onTokenRefresh", Value("token-1")}}));

  // A token that existed already is answered without a refresh.
  engine_.dart().clearMessages();
  EXPECT_EQ(Call("Messaging#getToken"), Value(Dictionary{{"token", "token-1"}}));
  EXPECT_TRUE(DartCalls().empty());

  EXPECT_EQ(Call("Messaging#deleteToken"), Value());
  EXPECT_EQ(messaging_->ZCMToken(), std::nullopt);
  EXPECT_EQ(Call("Messaging#getToken"), Value(Dictionary{{"token", "token-2"}}));
  EXPECT_EQ(DartCalls().size(), 1u);
}

TEST_F(MessagingPluginTest, DeviceTokensReachTheSdkEvenWhenItArrivesLate) {
  Launch();
  EXPECT_EQ(swizzler_.remoteNotificationRegistrationCount(), 1u);
  EXPECT_EQ(Call("Messaging#getAPNSToken"), Value(Dictionary{{"token", Value()}}));

  // The device token arrives before the SDK object exists: it is kept, then handed over at the
  // next method call, whatever the method.
  messagingExists_ = false;
  swizzler_.didRegisterForRemoteNotificationsWithDeviceToken(fnd::Data{0x0A, 0xFF});
  EXPECT_EQ(messaging_->APNSToken(), std::nullopt);
  messagingExists_ = true;
  EXPECT_EQ(Call("Messaging#startBackgroundIsolate"), Value());
  EXPECT_EQ(messaging_->APNSToken(), (fnd::Data{0x0A, 0xFF}));
  EXPECT_EQ(messaging_->APNSTokenType(), DEVMessagingAPNSTokenType::kProd);
  EXPECT_EQ(Call("Messaging#getAPNSToken"), Value(Dictionary{{"token", "0AFF"}}));

  // With the SDK in place the token goes straight to it.
  swizzler_.didRegisterForRemoteNotificationsWithDeviceToken(fnd::Data{0x00, 0x01, 0xAB});
  EXPECT_EQ(Call("Messaging#getAPNSToken"), Value(Dictionary{{"token", "0001AB"}}));

  swizzler_.didFailToRegisterForRemoteNotificationsWithError(
      fnd::Error::withDescription("push", 3, "no push service"));
  EXPECT_EQ(logs_, (std::vector<std::string>{"no push service"}));
}

TEST_F(MessagingPluginTest, SdkErrorsAreMappedToDartCodes) {
  struct Case {
    int64_t code;
    const char* dartCode;
  } cases[] = {
      {4, "unavailable"},
      {7, "invalid-request"},
      {8, "invalid-argument"},
      {501, "missing-device-id"},
      {1001, "unavailable"},
      {1003, "invalid-argument"},
      {1004, "save-failed"},
      {1005, "invalid-argument"},
      {2001, "already-connected"},
      {3005, "pubsub-operation-cancelled"},
      {9, "unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    logs_.clear();
    messaging_->failNext(
        DEVMessaging::Operation::kSubscribe,
        fnd::Error::withDescription(kDEVMessagingErrorDomain, c.code, "it failed"));
    auto error = ErrorOf(Call("Messaging#subscribeToTopic", Dictionary{{"topic", "news"}}));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), c.dartCode);
    EXPECT_EQ(error->message(), "it failed");
    EXPECT_EQ(error->details(), Value(Dictionary{{"code", c.dartCode},
                                                 {"message", "it failed"},
                                                 {"nativeErrorCode", std::to_string(c.code)},
                                                 {"nativeErrorMessage", "it failed"}}));
    // Only errors without a known code are logged.
    EXPECT_EQ(logs_.size(), std::string(c.dartCode) == "unknown" ? 1u : 0u);
    if (!logs_.empty()) {
      EXPECT_EQ(logs_[0].rfind("FLTZudiroruMessaging: An error occurred while calling method "
                               "Messaging#subscribeToTopic, errorOrNil => ",
                               0),
                0u);
    }
  }
  EXPECT_TRUE(messaging_->subscribedTopics().empty());

  // An error without a description answers the unknown message.
  messaging_->failNext(DEVMessaging::Operation::kToken, fnd::Error("d", 1001));
  auto error = ErrorOf(Call("Messaging#getToken"));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), "unavailable");
  EXPECT_EQ(error->message(), "An unknown error has occurred.");
  messaging_->failNext(DEVMessaging::Operation::kDeleteToken, fnd::Error("d", 4));
  EXPECT_EQ(ErrorOf(Call("Messaging#deleteToken"))->code(), "unavailable");
}

TEST_F(MessagingPluginTest, TopicsAndUnusableArguments) {
  EXPECT_EQ(Call("Messaging#subscribeToTopic", Dictionary{{"topic", "news"}}), Value());
  EXPECT_EQ(Call("Messaging#subscribeToTopic", Dictionary{{"topic", "/topics/sport"}}), Value());
  EXPECT_EQ(Call("Messaging#unsubscribeFromTopic", Dictionary{{"topic", "news"}}), Value());
  EXPECT_EQ(messaging_->subscribedTopics(), (std::set<std::string>{"sport"}));
  EXPECT_EQ(ErrorOf(Call("Messaging#subscribeToTopic", Dictionary{{"topic", "a b"}}))->code(),
            "invalid-argument");

  struct Case {
    const char* method;
    Value arguments;
  } cases[] = {
      {"Messaging#subscribeToTopic", Dictionary{}},
      {"Messaging#subscribeToTopic", Dictionary{{"topic", 5}}},
      {"Messaging#unsubscribeFromTopic", Value(Array{"news"})},
      {"Messaging#requestPermission", Dictionary{{"permissions", "all"}}},
      {"Messaging#setAutoInitEnabled", Dictionary{{"enabled", "yes"}}},
      {"Messaging#setForegroundNotificationPresentationOptions", Value("alert")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    auto error = ErrorOf(Call(c.method, c.arguments));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), "invalid-argument");
    EXPECT_EQ(
        error->message().value_or("").rfind(std::string("Invalid arguments for ") + c.method, 0),
        0u);
  }
  EXPECT_EQ(messaging_->subscribedTopics(), (std::set<std::string>{"sport"}));
  EXPECT_TRUE(notificationCenter_.authorizationRequests().empty());
  EXPECT_TRUE(messaging_->isAutoInitEnabled());
  EXPECT_EQ(defaults_.objectForKey(kOptionsKey), std::nullopt);
}

TEST_F(MessagingPluginTest, CallsWithoutTheSdkObjectAreAnswered) {
  messagingExists_ = false;
  EXPECT_EQ(ErrorOf(Call("Messaging#getToken"))->code(), "unavailable");
  EXPECT_EQ(ErrorOf(Call("Messaging#deleteToken"))->code(), "unavailable");
  EXPECT_EQ(ErrorOf(Call("Messaging#subscribeToTopic", Dictionary{{"topic", "t"}}))->code(),
            "unavailable");
  EXPECT_EQ(Call("Messaging#getAPNSToken"), Value(Dictionary{{"token", Value()}}));
  EXPECT_EQ(Call("Messaging#setAutoInitEnabled", Dictionary{{"enabled", true}}),
            Value(Dictionary{{"isAutoInitEnabled", false}}));
}

TEST_F(MessagingPluginTest, PermissionsAskForTheOptionsDartNamed) {
  struct Case {
    Dictionary permissions;
    UNAuthorizationOptions options;
  } cases[] = {
      {Dictionary{{"alert", true},
                  {"announcement", true},
                  {"badge", true},
                  {"carPlay", true},
                  {"criticalAlert", true},
                  {"provisional", true},
                  {"providesAppNotificationSettings", true},
                  {"sound", true}},
       127},
      {Dictionary{{"announcement", true}}, 0},
      {Dictionary{{"alert", true}, {"sound", false}, {"badge", 1}}, 5},
      {Dictionary{}, 0},
  };
  for (const Case& c : cases) {
    Call("Messaging#requestPermission", Dictionary{{"permissions", c.permissions}});
  }
  std::vector<UNAuthorizationOptions> expected;
  for (const Case& c : cases) expected.push_back(c.options);
  EXPECT_EQ(notificationCenter_.authorizationRequests(), expected);
}

TEST_F(MessagingPluginTest, PermissionAnswersAreSettingsMaps) {
  notificationCenter_.setUserAnswer(true);
  EXPECT_EQ(Call("Messaging#getNotificationSettings"),
            Value(Dictionary{{"authorizationStatus", -1},
                             {"alert", 0},
                             {"badge", 0},
                             {"sound", 0},
                             {"criticalAlert", 0},
                             {"lockScreen", 0},
                             {"notificationCenter", 0},
                             {"showPreviews", 1},
                             {"timeSensitive", 0},
                             {"announcement", -1},
                             {"carPlay", -1},
                             {"providesAppNotificationSettings", 0}}));
  EXPECT_EQ(Call("Messaging#requestPermission",
                 Dictionary{{"permissions", Dictionary{{"alert", true}, {"sound", true}}}}),
            Value(Dictionary{{"authorizationStatus", 1},
                             {"alert", 1},
                             {"badge", 0},
                             {"sound", 1},
                             {"criticalAlert", 0},
                             {"lockScreen", 1},
                             {"notificationCenter", 1},
                             {"showPreviews", 1},
                             {"timeSensitive", 0},
                             {"announcement", -1},
                             {"carPlay", -1},
                             {"providesAppNotificationSettings", 0}}));

  notificationCenter_.failNextAuthorizationRequest(fnd::Error::withDescription(
      UNErrorDomain, UNErrorCodeNotificationsNotAllowed, "not allowed"));
  auto error = ErrorOf(Call("Messaging#requestPermission", Dictionary{}));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), "unknown");
  EXPECT_EQ(error->message(), "not allowed");
}

TEST_F(MessagingPluginTest, SettingsValuesMapToNumbers) {
  struct Case {
    const char* what;
    UNNotificationSettings settings;
    Dictionary expected;  // The keys that differ from the all-default map below.
  };
  UNNotificationSettings denied;
  denied.authorizationStatus = UNAuthorizationStatus::kDenied;
  denied.showPreviewsSetting = UNShowPreviewsSetting::kNever;
  denied.timeSensitiveSetting = std::nullopt;  // Before macOS 12.
  UNNotificationSettings provisional;
  provisional.authorizationStatus = UNAuthorizationStatus::kProvisional;
  provisional.showPreviewsSetting = UNShowPreviewsSetting::kWhenAuthenticated;
  provisional.timeSensitiveSetting = UNNotificationSetting::kEnabled;
  provisional.badgeSetting = UNNotificationSetting::kNotSupported;
  provisional.soundSetting = static_cast<UNNotificationSetting>(7);  // Newer than we know.
  provisional.providesAppNotificationSettings = true;
  provisional.carPlaySetting = UNNotificationSetting::kEnabled;  // Never reported.
  UNNotificationSettings ephemeral;
  ephemeral.authorizationStatus = UNAuthorizationStatus::kEphemeral;
  ephemeral.showPreviewsSetting = static_cast<UNShowPreviewsSetting>(9);
  ephemeral.timeSensitiveSetting = UNNotificationSetting::kNotSupported;
  Case cases[] = {
      {"denied", denied,
       Dictionary{{"authorizationStatus", 0}, {"showPreviews", 0}, {"timeSensitive", -1}}},
      {"provisional", provisional,
       Dictionary{{"authorizationStatus", 2},
                  {"showPreviews", 2},
                  {"timeSensitive", 1},
                  {"badge", -1},
                  {"sound", -1},
                  {"providesAppNotificationSettings", 1}}},
      {"ephemeral", ephemeral,
       Dictionary{{"authorizationStatus", -1}, {"showPreviews", -1}, {"timeSensitive", -1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    notificationCenter_.setNotificationSettings(c.settings);
    Dictionary expected{{"authorizationStatus", -1},
                        {"alert", 0},
                        {"badge", 0},
                        {"sound", 0},
                        {"criticalAlert", 0},
                        {"lockScreen", 0},
                        {"notificationCenter", 0},
                        {"showPreviews", 1},
                        {"timeSensitive", 0},
                        {"announcement", -1},
                        {"carPlay", -1},
                        {"providesAppNotificationSettings", 0}};
    for (const auto& [key, value] : c.expected) expected.set(key, value);
    EXPECT_EQ(Call("Messaging#getNotificationSettings"), Value(expected));
    {
      // Before macOS 12 the setting does not exist, whatever the centre holds.
      fnd::ScopedProcessInfoOverride macos11({"app"}, {11, 7, 0}, "Version 11.7");
      expected.set("timeSensitive", -1);
      EXPECT_EQ(Call("Messaging#getNotificationSettings"), Value(expected));
    }
  }
}

TEST_F(MessagingPluginTest, OtherMethods) {
  EXPECT_EQ(Call("Messaging#startBackgroundIsolate", Dictionary{{"pluginCallbackHandle", 1}}),
            Value());
  EXPECT_EQ(Call("Messaging#noSuchMethod"), flutter::FlutterMethodNotImplemented());
}

TEST_F(MessagingPluginTest, ForegroundPresentationUsesTheStoredOptions) {
  Launch();
  // Nothing stored: the notification is shown with no options.
  notificationCenter_.receiveNotification(Notification("r0", Dictionary{{"gcm.message_id", "0"}}));

  EXPECT_EQ(Call("Messaging#setForegroundNotificationPresentationOptions",
                 Dictionary{{"alert", true}, {"badge", false}, {"sound", 1}}),
            Value());
  EXPECT_EQ(defaults_.objectForKey(kOptionsKey),
            Value(Dictionary{{"alert", true}, {"sound", true}}));

  Dictionary payload{{"gcm.message_id", "m1"}, {"k", "v"}};
  notificationCenter_.receiveNotification(Notification("r1", payload));
  notificationCenter_.receiveNotification(Notification("r1", payload));  // Presented again.
  notificationCenter_.receiveNotification(Notification("r2", Dictionary{{"local", true}}));

  auto presentations = notificationCenter_.presentations();
  ASSERT_EQ(presentations.size(), 4u);
  EXPECT_EQ(presentations[0].options, 0u);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(presentations[i].options,
              UNNotificationPresentationOptionAlert | UNNotificationPresentationOptionSound);
  }
  // The same request presented twice reaches Dart once; one without a message id never does.
  auto calls = DartCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].method(), "Messaging#onMessage");
  EXPECT_EQ(calls[1], flutter::FlutterMethodCall(
                          "Messaging#onMessage",
                          Dictionary{{"messageId", "m1"}, {"data", Dictionary{{"k", "v"}}}}));

  // A later, cleared choice stores an empty map and shows nothing.
  Call("Messaging#setForegroundNotificationPresentationOptions", Dictionary{});
  EXPECT_EQ(defaults_.objectForKey(kOptionsKey), Value(Dictionary{}));
}

TEST_F(MessagingPluginTest, TheOriginalDelegateKeepsItsCalls) {
  auto original = std::make_shared<OriginalDelegate>(
      UNUserNotificationCenterDelegate::kWillPresentNotification |
      UNUserNotificationCenterDelegate::kDidReceiveNotificationResponse |
      UNUserNotificationCenterDelegate::kOpenSettingsForNotification);
  notificationCenter_.setDelegate(original);
  Launch();
  EXPECT_EQ(notificationCenter_.delegate(), plugin_);

  Dictionary payload{{"gcm.message_id", "m1"}};
  notificationCenter_.receiveNotification(Notification("r1", payload));
  bool completed = false;
  notificationCenter_.receiveNotificationResponse(
      UNNotificationResponse(Notification("r1", payload)), [&] { completed = true; });
  notificationCenter_.openSettings(std::nullopt);
  EXPECT_EQ(original->presented, (std::vector<std::string>{"r1"}));
  EXPECT_EQ(original->responses, (std::vector<std::string>{"r1"}));
  EXPECT_EQ(original->settingsOpened, 1);
  EXPECT_TRUE(completed);
  EXPECT_EQ(notificationCenter_.presentations()[0].options, UNNotificationPresentationOptionSound);
  auto calls = DartCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].method(), "Messaging#onMessage");
  EXPECT_EQ(calls[1].method(), "Messaging#onMessageOpenedApp");

  // Once the original delegate is gone, the plugin answers alone.
  original.reset();
  completed = false;
  notificationCenter_.receiveNotification(Notification("r2", payload));
  notificationCenter_.receiveNotificationResponse(
      UNNotificationResponse(Notification("r2", payload)), [&] { completed = true; });
  notificationCenter_.openSettings(std::nullopt);
  EXPECT_TRUE(completed);
  EXPECT_EQ(notificationCenter_.presentations()[1].options, 0u);
}

TEST_F(MessagingPluginTest, AnOriginalDelegateWithoutTheMethodsIsNotAsked) {
  auto original = std::make_shared<OriginalDelegate>(0);
  notificationCenter_.setDelegate(original);
  Launch();
  Dictionary payload{{"gcm.message_id", "m1"}};
  bool completed = false;
  notificationCenter_.receiveNotification(Notification("r1", payload));
  notificationCenter_.receiveNotificationResponse(
      UNNotificationResponse(Notification("r1", payload)), [&] { completed = true; });
  notificationCenter_.openSettings(std::nullopt);
  EXPECT_TRUE(original->presented.empty());
  EXPECT_TRUE(original->responses.empty());
  EXPECT_EQ(original->settingsOpened, 0);
  EXPECT_TRUE(completed);
}

TEST_F(MessagingPluginTest, TheLaunchMessageIsGivenOnceAndOnlyWhenOpened) {
  // Asked before launch handling: the call waits, and so does a second one.
  auto early = Send("Messaging#getInitialMessage");
  auto early2 = Send("Messaging#getInitialMessage");
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_FALSE(early->received());

  Dictionary launch{{"gcm.message_id", "launch-1"}, {"aps", Dictionary{{"alert", "Hi"}}}};
  Launch(launch);
  dispatch::RunLoop::main().runUntilIdle();
  // Not opened (yet): both are answered null.
  EXPECT_EQ(early->envelope(), Value());
  EXPECT_EQ(early2->envelope(), Value());

  // The user opens the launch notification: no opened-app call, and the message is given once.
  notificationCenter_.receiveNotificationResponse(
      UNNotificationResponse(Notification("l", launch)));
  EXPECT_TRUE(DartCalls().empty());
  Value expected(
      Dictionary{{"messageId", "launch-1"},
                 {"data", Dictionary{}},
                 {"notification", Dictionary{{"title", "Hi"}, {"apple", Dictionary{}}}}});
  EXPECT_EQ(Call("Messaging#getInitialMessage"), expected);
  EXPECT_EQ(Call("Messaging#getInitialMessage"), Value());

  // Opening another notification tells Dart.
  notificationCenter_.receiveNotificationResponse(
      UNNotificationResponse(Notification("o", Dictionary{{"gcm.message_id", "other"}})));
  notificationCenter_.receiveNotificationResponse(
      UNNotificationResponse(Notification("p", Dictionary{{"no-id", 1}})));
  auto calls = DartCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0],
            flutter::FlutterMethodCall("Messaging#onMessageOpenedApp",
                                       Dictionary{{"messageId", "other"}, {"data", Dictionary{}}}));
}

TEST_F(MessagingPluginTest, ALaunchWithoutANotificationAnswersNull) {
  Launch();
  EXPECT_EQ(Call("Messaging#getInitialMessage"), Value());
  EXPECT_EQ(notificationCenter_.delegate(), plugin_);
  // Launch handling runs once.
  Launch(Dictionary{{"gcm.message_id", "late"}});
  notificationCenter_.receiveNotificationResponse(
      UNNotificationResponse(Notification("l", Dictionary{{"gcm.message_id", "late"}})));
  EXPECT_EQ(Call("Messaging#getInitialMessage"), Value());
  EXPECT_EQ(swizzler_.remoteNotificationRegistrationCount(), 1u);
}

TEST_F(MessagingPluginTest, LaunchNotificationsThatCannotBeGiven) {
  struct Case {
    const char* what;
    Value launch;
    size_t logs;
  } cases[] = {
      {"no message id", Value(Dictionary{{"rivado.message_id", "r"}}), 0},
      {"not a map", Value("payload"), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    logs_.clear();
    fnd::NotificationCenter center;
    auto app = appkit::Application::create(&center);
    RVLAppDelegateSwizzler swizzler(*app);
    flutter::FlutterEngine engine;
    FLTZudiroruMessagingPlugin::Environment env{
        [this] { return messaging_; },
        &notificationCenter_,
        &swizzler,
        &center,
        &defaults_,
        &registry_,
        [this](const std::string& line) { logs_.push_back(line); }};
    auto plugin = FLTZudiroruMessagingPlugin::registerWithRegistrar(
        *engine.registrarForPlugin("FLTZudiroruMessagingPlugin"), std::move(env));
    center.post(appkit::kApplicationDidFinishLaunchingNotification, app.get(),
                Dictionary{{kNSApplicationLaunchUserNotificationKey, c.launch}});
    // Even when the user opens it, a launch notification without a message id is never given.
    notificationCenter_.receiveNotificationResponse(
        UNNotificationResponse(Notification("l", Dictionary{{"rivado.message_id", "r"}})));
    auto reply = engine.dart().invokeMethod(kChannel, "Messaging#getInitialMessage", Value());
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }));
    EXPECT_EQ(reply->envelope(), Value());
    EXPECT_EQ(logs_.size(), c.logs);
    engine.shutDownEngine();
  }
}

TEST_F(MessagingPluginTest, APluginMadeAfterLaunchIsSetUpAtOnce) {
  app_->finishLaunching();
  engine_.shutDownEngine();
  flutter::FlutterEngine engine;
  FLTZudiroruMessagingPlugin::Environment env{[this] { return messaging_; },
                                              &notificationCenter_,
                                              &swizzler_,
                                              &defaultCenter_,
                                              &defaults_,
                                              &registry_,
                                              nullptr};
  auto plugin = FLTZudiroruMessagingPlugin::registerWithRegistrar(
      *engine.registrarForPlugin("FLTZudiroruMessagingPlugin"), std::move(env));
  auto reply = engine.dart().invokeMethod(kChannel, "Messaging#getInitialMessage", Value());
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }));
  EXPECT_EQ(reply->envelope(), Value());
  EXPECT_EQ(notificationCenter_.delegate(), plugin);
  engine.shutDownEngine();
}

TEST_F(MessagingPluginTest, RemoteNotificationsGoToDartByApplicationState) {
  Launch();
  Dictionary payload{{"gcm.message_id", "m1"}};
  swizzler_.didReceiveRemoteNotification(payload);
  app_->activate();
  swizzler_.didReceiveRemoteNotification(payload);
  swizzler_.didReceiveRemoteNotification(Dictionary{{"silent", true}});
  auto calls = DartCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].method(), "Messaging#onBackgroundMessage");
  EXPECT_EQ(calls[1].method(), "Messaging#onMessage");
  EXPECT_EQ(calls[1].arguments(), Value(Dictionary{{"messageId", "m1"}, {"data", Dictionary{}}}));
}

TEST_F(MessagingPluginTest, RemoteMessageMaps) {
  struct Case {
    const char* what;
    Dictionary payload;
    Dictionary message;
  } cases[] = {
      {"message fields and data",
       Dictionary{{"gcm.message_id", "1"},
                  {"message_type", "t"},
                  {"collapse_key", "c"},
                  {"from", "f"},
                  {"rivado.c.a.ts", "1700000000"},
                  {"rivado.to", "me"},
                  {"gcm.n.e", "1"},
                  {"gcm.", "x"},
                  {"rivado.anything.at.all", "x"},
                  {"fcm_options", Dictionary{{"image", "http://i"}}},
                  {"user", "u"},
                  {"n", 3}},
       Dictionary{{"messageId", "1"},
                  {"messageType", "t"},
                  {"collapseKey", "c"},
                  {"from", "f"},
                  {"sentTime", "1700000000"},
                  {"to", "me"},
                  {"data", Dictionary{{"user", "u"}, {"n", 3}}}}},
      {"other message id keys", Dictionary{{"gcm.message_id", "1"}, {"message_id", "2"}},
       Dictionary{{"messageId", "1"}, {"data", Dictionary{}}}},
      {"alert text and badge",
       Dictionary{{"gcm.message_id", "1"}, {"aps", Dictionary{{"alert", "Hello"}, {"badge", 3}}}},
       Dictionary{{"messageId", "1"},
                  {"data", Dictionary{}},
                  {"notification", Dictionary{{"title", "Hello"}, {"apple", Dictionary{}}}}}},
      {"sound text only",
       Dictionary{{"gcm.message_id", "1"}, {"aps", Dictionary{{"sound", "ping.caf"}}}},
       Dictionary{{"messageId", "1"},
                  {"data", Dictionary{}},
                  {"notification",
                   Dictionary{{"apple", Dictionary{{"sound", Dictionary{{"name", "ping.caf"},
                                                                        {"critical", false},
                                                                        {"volume", 1}}}}}}}}},
      {"alert map, sound map, image",
       Dictionary{{"gcm.message_id", "1"},
                  {"fcm_options", Dictionary{{"image", "http://i"}}},
                  {"aps", Dictionary{{"alert", Dictionary{{"title", "T"},
                                                          {"title-loc-key", "tk"},
                                                          {"title-loc-args", Array{"a"}},
                                                          {"body", "B"},
                                                          {"loc-key", "bk"},
                                                          {"loc-args", Array{"b"}},
                                                          {"subtitle", "S"},
                                                          {"subtitle-loc-key", "sk"},
                                                          {"subtitle-loc-args", Array{"c"}}}},
                                     {"badge", 7},
                                     {"sound", Dictionary{{"name", "n"}, {"critical", 1}}},
                                     {"category", "cat"},
                                     {"thread-id", "th"},
                                     {"content-available", 1},
                                     {"mutable-content", 1}}}},
       Dictionary{{"messageId", "1"},
                  {"data", Dictionary{}},
                  {"category", "cat"},
                  {"threadId", "th"},
                  {"contentAvailable", true},
                  {"mutableContent", true},
                  {"notification", Dictionary{{"title", "T"},
                                              {"titleLocKey", "tk"},
                                              {"titleLocArgs", Array{"a"}},
                                              {"body", "B"},
                                              {"bodyLocKey", "bk"},
                                              {"bodyLocArgs", Array{"b"}},
                                              {"apple",
                                               Dictionary{{"subtitle", "S"},
                                                          {"subtitleLocKey", "sk"},
                                                          {"subtitleLocArgs", Array{"c"}},
                                                          {"badge", "7"},
                                                          {"imageUrl", "http://i"},
                                                          {"sound",
                                                           Dictionary{
                                                               {"name", "n"},
                                                               {"critical", true},
                                                           }}}}}}}},
      {"mutable content other than 1, silent",
       Dictionary{{"gcm.message_id", "1"},
                  {"aps", Dictionary{{"mutable-content", 2}, {"content-available", 0}}}},
       Dictionary{{"messageId", "1"}, {"data", Dictionary{}}, {"contentAvailable", false}}},
      {"malformed aps parts are left out",
       Dictionary{{"gcm.message_id", "1"},
                  {"fcm_options", "not a map"},
                  {"aps", Dictionary{{"alert", 5}, {"sound", Array{}}}}},
       Dictionary{{"messageId", "1"},
                  {"data", Dictionary{}},
                  {"notification", Dictionary{{"apple", Dictionary{}}}}}},
      {"aps that is not a map", Dictionary{{"gcm.message_id", "1"}, {"aps", "text"}},
       Dictionary{{"messageId", "1"}, {"data", Dictionary{}}}},
  };
  Launch();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine_.dart().clearMessages();
    swizzler_.didReceiveRemoteNotification(c.payload);
    auto calls = DartCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].arguments(), Value(c.message));
  }
}

TEST_F(MessagingPluginTest, TokenRefreshesReachDartAndTheApplicationDelegate) {
  auto appDelegate = std::make_shared<TokenAppDelegate>();
  app_->setDelegate(appDelegate);
  messaging_->setDelegate(plugin_);
  messaging_->refreshTokenForTesting("fresh");
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(
      DartCalls(),
      (std::vector<flutter::FlutterMethodCall>{{"Messaging#onTokenRefresh", Value("fresh")}}));
  EXPECT_EQ(appDelegate->tokens, (std::vector<std::optional<std::string>>{"fresh"}));

  // A deleted token is passed on, but Dart hears nothing.
  engine_.dart().clearMessages();
  EXPECT_EQ(Call("Messaging#deleteToken"), Value());
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(DartCalls().empty());
  EXPECT_EQ(appDelegate->tokens.size(), 2u);
  EXPECT_EQ(appDelegate->tokens[1], std::nullopt);
}

}  // namespace

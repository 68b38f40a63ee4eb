// FLTZudiroruMessagingPlugin: the native half of the cloud-messaging plugin. Dart calls it on the
// method channel "plugins.flutter.io/zudiroru_messaging" with methods named "Messaging#..."; each
// call goes to the messaging SDK (DEVMessaging) or to the notification centre
// (UNUserNotificationCenter) and is answered. The plugin calls back into Dart on the same channel:
// "Messaging#onMessage", "Messaging#onBackgroundMessage", "Messaging#onMessageOpenedApp" with a
// remote-message map, and "Messaging#onTokenRefresh" with a registration token.
//
// At launch (the did-finish-launching notification) the plugin keeps the notification that
// launched the application, registers as an application-delegate interceptor for the remote
// notification callbacks, becomes the notification centre's delegate (passing calls on to the
// delegate it replaces, kept weakly) and registers for remote notifications. The launch message
// is answered to "Messaging#getInitialMessage" once, and only when the user opened it.
//
// The foreground presentation options chosen by Dart are stored in the standard user defaults
// under "flutter_zudiroru_messaging_presentation_options".
//
// Thread safety: channel calls, launch handling and the application and notification-centre
// callbacks arrive on the main thread. Answers that come from an SDK or centre completion are sent
// from that completion's thread. The launch-message state is guarded by the plugin's lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/flutter/channel_arguments.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/plugin.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/user_defaults.h"
#include "platform/foundation/value.h"
#include "platform/usernotifications/user_notification_center.h"
#include "platform/vendor/messaging/app_delegate_swizzler.h"
#include "platform/vendor/messaging/messaging.h"
#include "plugins/zudiroru_core/method_call_result.h"
#include "plugins/zudiroru_core/plugin_registry.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

inline constexpr const char* kFLTZudiroruMessagingChannelName =
    "plugins.flutter.io/zudiroru_messaging";
inline constexpr const char* kFLTZudiroruMessagingLibraryName = "flutter-dero-fcm";
inline constexpr const char* kFLTZudiroruMessagingLibraryVersion = "16.1.0";
inline constexpr const char* kFLTZudiroruMessagingPresentationOptionsUserDefaults =
    "flutter_zudiroru_messaging_presentation_options";
// The key of the did-finish-launching notification's user info that holds the payload of the
// notification that launched the application.
inline constexpr const char* kNSApplicationLaunchUserNotificationKey =
    "NSApplicationLaunchUserNotificationKey";

class FLTZudiroruMessagingPlugin : public flutter::FlutterPlugin,
                                   public FLTZudiroruPlugin,
                                   public DEVMessagingDelegate,
                                   public RVLApplicationDelegateInterceptor,
                                   public UNUserNotificationCenterDelegate,
                                   public std::enable_shared_from_this<FLTZudiroruMessagingPlugin> {
 public:
  // What the plugin works with. Every pointer is required and must outlive the plugin; a null
  // `messaging` stands for an SDK that never exists, a null `log` writes to standard error.
  struct Environment {
    // [DEVMessaging messaging]: may answer null while the SDK object does not exist yet.
    std::function<std::shared_ptr<DEVMessaging>()> messaging;
    UNUserNotificationCenter* notificationCenter;
    RVLAppDelegateSwizzler* swizzler;
    fnd::NotificationCenter* defaultCenter;  // Where did-finish-launching is posted.
    fnd::UserDefaults* userDefaults;
    FLTZudiroruPluginRegistry* registry;
    // The system log; one line per call.
    std::function<void(const std::string& line)> log;

    // The process's own: the shared SDK, centre, swizzler, default centre, standard user
    // defaults, plugin registry, and standard error for the log.
    static Environment Shared();
  };

  // Installs the method channel with a plugin over Environment::Shared().
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);
  // The same with a given environment; returns the plugin (tests keep it).
  static std::shared_ptr<FLTZudiroruMessagingPlugin> registerWithRegistrar(
      flutter::FlutterPluginRegistrar& registrar, Environment environment);

  // Keeps the channel and observes did-finish-launching. When the application has finished
  // launching already, the launch handling runs at once, without a launch notification. Not
  // registered anywhere and not the channel's handler yet.
  static std::shared_ptr<FLTZudiroruMessagingPlugin> create(
      std::shared_ptr<flutter::FlutterMethodChannel> channel, Environment environment);

  // Use create(), which also starts observing the launch.
  FLTZudiroruMessagingPlugin(std::shared_ptr<flutter::FlutterMethodChannel> channel,
                             Environment environment);

  // FlutterPlugin. REQUIRES: the main thread.
  void handleMethodCall(const flutter::FlutterMethodCall& call,
                        flutter::FlutterResult result) override;

  // FLTZudiroruPlugin.
  void didReinitializeZudiroruCore(std::function<void()> completion) override;
  fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu& app) override;
  std::string zudiroruLibraryName() const override;
  std::string zudiroruLibraryVersion() const override;
  std::string flutterChannelName() const override;

  // DEVMessagingDelegate: a present token goes to Dart as "Messaging#onTokenRefresh"; the call
  // is then passed on to the application delegate when it is a DEVMessagingDelegate.
  void messagingDidReceiveRegistrationToken(DEVMessaging& messaging,
                                            const std::optional<std::string>& token) override;

  // RVLApplicationDelegateInterceptor. REQUIRES: the main thread.
  void applicationDidRegisterForRemoteNotificationsWithDeviceToken(
      appkit::Application& application, const fnd::Data& deviceToken) override;
  void applicationDidFailToRegisterForRemoteNotificationsWithError(
      appkit::Application& application, const fnd::Error& error) override;
  void applicationDidReceiveRemoteNotification(appkit::Application& application,
                                               const fnd::Dictionary& userInfo) override;

  // UNUserNotificationCenterDelegate. REQUIRES: the main thread.
  unsigned implementedMethods() const override;
  void userNotificationCenterWillPresentNotification(
      UNUserNotificationCenter& center, const UNNotification& notification,
      std::function<void(UNNotificationPresentationOptions)> completionHandler) override;
  void userNotificationCenterDidReceiveNotificationResponse(
      UNUserNotificationCenter& center, const UNNotificationResponse& response,
      std::function<void()> completionHandler) override;
  void userNotificationCenterOpenSettingsForNotification(
      UNUserNotificationCenter& center, const std::optional<UNNotification>& notification) override;

  // The launch handling: keeps the launch notification's payload (may be absent), answers a
  // waiting "Messaging#getInitialMessage", and installs the plugin between the system and the
  // application. Runs once; later calls do nothing. REQUIRES: the main thread.
  void setupNotificationHandlingWithRemoteNotification(
      const std::optional<fnd::Dictionary>& remoteNotification);

  // Helpers with the fixed conversions.
  // Every byte as two upper-case hexadecimal digits.
  static std::string APNSTokenFromNSData(const fnd::Data& token);
  static fnd::Dictionary NSDictionaryFromUNNotificationSettings(
      const UNNotificationSettings& settings);
  static fnd::Value NSNumberForUNNotificationSetting(UNNotificationSetting setting);
  // The remote-message map of a notification payload.
  static fnd::Dictionary remoteMessageUserInfoToDict(const fnd::Dictionary& userInfo);
  static fnd::Dictionary NSDictionaryFromUNNotification(const UNNotification& notification);

 private:
  using Result = std::shared_ptr<FLTZudiroruMethodCallResult>;
  using Method = std::function<void(FLTZudiroruMessagingPlugin& self, const fnd::Value& arguments,
                                    const Result& result)>;
  using Methods = flutter::MethodTable<Method>;
  // The method channel's methods, by name.
  static const Methods& methods();

  void ensureAPNSTokenSetting();
  void messagingDeleteToken(const fnd::Value& arguments, const Result& result);
  void messagingGetAPNSToken(const fnd::Value& arguments, const Result& result);
  void messagingSetForegroundNotificationPresentationOptions(const fnd::Value& arguments,
                                                             const Result& result);
  void messagingGetToken(const fnd::Value& arguments, const Result& result);
  void messagingGetNotificationSettings(const fnd::Value& arguments, const Result& result);
  void messagingRequestPermission(const fnd::Value& arguments, const Result& result);
  void messagingSetAutoInitEnabled(const fnd::Value& arguments, const Result& result);
  void messagingSubscribeToTopic(const fnd::Value& arguments, const Result& result);
  void messagingUnsubscribeFromTopic(const fnd::Value& arguments, const Result& result);

  // The error answer of a failed SDK or centre call.
  std::shared_ptr<flutter::FlutterError> NSDictionaryForNSError(const std::string& method,
                                                                const fnd::Error* error) const;
  // Answers waiting "Messaging#getInitialMessage" calls once the launch notification is known.
  void initialNotificationCallback();
  // The launch message when the user opened it, handed out once. Takes mu_.
  std::optional<fnd::Dictionary> copyInitialNotification();
  // The options stored by Dart, as presentation bits.
  UNNotificationPresentationOptions storedPresentationOptions() const;
  void invoke(const std::string& method, const fnd::Value& arguments) const;

  // Constant after construction.
  const std::shared_ptr<flutter::FlutterMethodChannel> channel_;
  const Environment env_;

  // Main thread only.
  fnd::NotificationCenter::Observer launchObserver_;
  bool setUp_ = false;
  std::optional<fnd::Data> apnsToken_;
  std::optional<std::string> foregroundUniqueIdentifier_;
  std::weak_ptr<UNUserNotificationCenterDelegate> originalNotificationCenterDelegate_;
  unsigned originalNotificationCenterDelegateRespondsTo_ = 0;

  std::mutex mu_;
  // Guarded by mu_.
  std::optional<fnd::Dictionary> initialNotification_;
  std::optional<std::string> initialNotificationID_;
  bool initialNotificationGathered_ = false;
  std::vector<Result> initialNotificationResults_;  // Waiting getInitialMessage calls.
  std::optional<std::string> notificationOpenedAppID_;
};

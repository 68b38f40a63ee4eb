// The records of the notification centre: a notification's content, its request, the delivered
// notification, the user's response to it, the authorisation and presentation options, and the
// notification settings of the application.
//
// All types are immutable values (except the settings struct, a plain record) and may be used
// from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/value.h"

// What the application asks the user to allow; a bit set.
using UNAuthorizationOptions = uint64_t;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionBadge = 1 << 0;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionSound = 1 << 1;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionAlert = 1 << 2;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionCarPlay = 1 << 3;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionCriticalAlert = 1 << 4;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionProvidesAppNotificationSettings = 1
                                                                                               << 5;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionProvisional = 1 << 6;

// How a notification that arrives while the application runs is shown; a bit set.
using UNNotificationPresentationOptions = uint64_t;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionNone = 0;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionBadge = 1 << 0;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionSound = 1 << 1;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionAlert = 1 << 2;

enum class UNAuthorizationStatus : int64_t {
  kNotDetermined = 0,
  kDenied = 1,
  kAuthorized = 2,
  kProvisional = 3,
  kEphemeral = 4,
};

// One switch of the settings. Values outside the enumerators may be set by a test to stand for
// a state a newer system knows.
enum class UNNotificationSetting : int64_t {
  kNotSupported = 0,
  kDisabled = 1,
  kEnabled = 2,
};

enum class UNShowPreviewsSetting : int64_t {
  kAlways = 0,
  kWhenAuthenticated = 1,
  kNever = 2,
};

// The application's notification settings as the user left them.
struct UNNotificationSettings {
  UNAuthorizationStatus authorizationStatus = UNAuthorizationStatus::kNotDetermined;
  UNNotificationSetting soundSetting = UNNotificationSetting::kDisabled;
  UNNotificationSetting badgeSetting = UNNotificationSetting::kDisabled;
  UNNotificationSetting alertSetting = UNNotificationSetting::kDisabled;
  UNNotificationSetting notificationCenterSetting = UNNotificationSetting::kDisabled;
  UNNotificationSetting lockScreenSetting = UNNotificationSetting::kDisabled;
  UNNotificationSetting carPlaySetting = UNNotificationSetting::kNotSupported;
  UNNotificationSetting criticalAlertSetting = UNNotificationSetting::kDisabled;
  UNNotificationSetting announcementSetting = UNNotificationSetting::kNotSupported;
  UNShowPreviewsSetting showPreviewsSetting = UNShowPreviewsSetting::kAlways;
  // Absent on systems that predate time-sensitive notifications (before macOS 12).
  std::optional<UNNotificationSetting> timeSensitiveSetting = UNNotificationSetting::kDisabled;
  bool providesAppNotificationSettings = false;

  bool operator==(const UNNotificationSettings&) const = default;
};

// What a notification carries; for a remote notification, `userInfo` is its whole payload.
class UNNotificationContent {
 public:
  explicit UNNotificationContent(fnd::Dictionary userInfo = {}, std::string title = "",
                                 std::string body = "")
      : userInfo_(std::move(userInfo)), title_(std::move(title)), body_(std::move(body)) {}

  const fnd::Dictionary& userInfo() const { return userInfo_; }
  const std::string& title() const { return title_; }
  const std::string& body() const { return body_; }

 private:
  fnd::Dictionary userInfo_;
  std::string title_;
  std::string body_;
};

// A request to show a notification; the identifier tells one request from another.
class UNNotificationRequest {
 public:
  UNNotificationRequest(std::string identifier, UNNotificationContent content)
      : identifier_(std::move(identifier)), content_(std::move(content)) {}

  const std::string& identifier() const { return identifier_; }
  const UNNotificationContent& content() const { return content_; }

 private:
  std::string identifier_;
  UNNotificationContent content_;
};

// A delivered notification: its request and when it was delivered (seconds since 1970).
class UNNotification {
 public:
  explicit UNNotification(UNNotificationRequest request, double date = 0)
      : request_(std::move(request)), date_(date) {}

  const UNNotificationRequest& request() const { return request_; }
  double date() const { return date_; }

 private:
  UNNotificationRequest request_;
  double date_;
};

// The action the user took on a notification ("open" is the default action).
inline constexpr const char* UNNotificationDefaultActionIdentifier =
    "com.apple.UNNotificationDefaultActionIdentifier";
inline constexpr const char* UNNotificationDismissActionIdentifier =
    "com.apple.UNNotificationDismissActionIdentifier";

class UNNotificationResponse {
 public:
  explicit UNNotificationResponse(
      UNNotification notification,
      std::string actionIdentifier = UNNotificationDefaultActionIdentifier)
      : notification_(std::move(notification)), actionIdentifier_(std::move(actionIdentifier)) {}

  const UNNotification& notification() const { return notification_; }
  const std::string& actionIdentifier() const { return actionIdentifier_; }

 private:
  UNNotification notification_;
  std::string actionIdentifier_;
};

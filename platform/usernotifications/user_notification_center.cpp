#include "platform/usernotifications/user_notification_center.h"

#include <utility>

void UNUserNotificationCenterDelegate::userNotificationCenterWillPresentNotification(
    UNUserNotificationCenter&, const UNNotification&,
    std::function<void(UNNotificationPresentationOptions)> completionHandler) {
  if (completionHandler) completionHandler(UNNotificationPresentationOptionNone);
}

void UNUserNotificationCenterDelegate::userNotificationCenterDidReceiveNotificationResponse(
    UNUserNotificationCenter&, const UNNotificationResponse&,
    std::function<void()> completionHandler) {
  if (completionHandler) completionHandler();
}

void UNUserNotificationCenterDelegate::userNotificationCenterOpenSettingsForNotification(
    UNUserNotificationCenter&, const std::optional<UNNotification>&) {}

UNUserNotificationCenter& UNUserNotificationCenter::currentNotificationCenter() {
  static UNUserNotificationCenter* center = new UNUserNotificationCenter();
  return *center;
}

UNUserNotificationCenter::UNUserNotificationCenter(std::shared_ptr<dispatch::Queue> callbackQueue)
    : callbackQueue_(callbackQueue ? std::move(callbackQueue)
                                   : dispatch::Queue::create("UNUserNotificationCenter.callback")) {
}

void UNUserNotificationCenter::setDelegate(
    const std::shared_ptr<UNUserNotificationCenterDelegate>& delegate) {
  std::lock_guard<std::mutex> lock(mu_);
  delegate_ = delegate;
}

std::shared_ptr<UNUserNotificationCenterDelegate> UNUserNotificationCenter::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

void UNUserNotificationCenter::requestAuthorizationWithOptions(UNAuthorizationOptions options,
                                                               AuthorizationCompletion completion) {
  bool granted = false;
  std::optional<fnd::Error> error;
  {
    std::lock_guard<std::mutex> lock(mu_);
    authorizationRequests_.push_back(options);
    if (nextAuthorizationError_) {
      error = std::move(nextAuthorizationError_);
      nextAuthorizationError_.reset();
    } else if (settings_.authorizationStatus == UNAuthorizationStatus::kNotDetermined) {
      bool provisional = (options & UNAuthorizationOptionProvisional) != 0;
      // Provisional delivery is granted quietly, without asking the user.
      granted = provisional || userGrants_;
      auto setting = [&](UNAuthorizationOptions option) {
        return granted && (options & option) ? UNNotificationSetting::kEnabled
                                             : UNNotificationSetting::kDisabled;
      };
      settings_.authorizationStatus = !granted ? UNAuthorizationStatus::kDenied
                                               : (provisional ? UNAuthorizationStatus::kProvisional
                                                              : UNAuthorizationStatus::kAuthorized);
      settings_.badgeSetting = setting(UNAuthorizationOptionBadge);
      settings_.soundSetting = setting(UNAuthorizationOptionSound);
      settings_.alertSetting = setting(UNAuthorizationOptionAlert);
      settings_.notificationCenterSetting = setting(UNAuthorizationOptionAlert);
      settings_.lockScreenSetting = setting(UNAuthorizationOptionAlert);
      settings_.criticalAlertSetting = setting(UNAuthorizationOptionCriticalAlert);
      settings_.providesAppNotificationSettings =
          granted && (options & UNAuthorizationOptionProvidesAppNotificationSettings);
    } else {
      granted = settings_.authorizationStatus == UNAuthorizationStatus::kAuthorized ||
                settings_.authorizationStatus == UNAuthorizationStatus::kProvisional ||
                settings_.authorizationStatus == UNAuthorizationStatus::kEphemeral;
    }
  }
  if (!completion) return;
  callbackQueue_->async([completion = std::move(completion), granted, error = std::move(error)] {
    completion(granted, error);
  });
}

void UNUserNotificationCenter::getNotificationSettingsWithCompletionHandler(
    SettingsCompletion completion) {
  if (!completion) return;
  UNNotificationSettings settings = notificationSettings();
  callbackQueue_->async([completion = std::move(completion), settings] { completion(settings); });
}

void UNUserNotificationCenter::receiveNotification(
    const UNNotification& notification,
    std::function<void(UNNotificationPresentationOptions)> presented) {
  auto presentation = std::make_shared<Presentation>(Presentation{notification, std::nullopt});
  {
    std::lock_guard<std::mutex> lock(mu_);
    presentations_.push_back(presentation);
  }
  // Records the delegate's answer once; a second answer is ignored.
  auto answer = [this, presentation,
                 presented = std::move(presented)](UNNotificationPresentationOptions options) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (presentation->options) return;
      presentation->options = options;
    }
    if (presented) presented(options);
  };
  std::shared_ptr<UNUserNotificationCenterDelegate> d = delegate();
  if (d && d->respondsTo(UNUserNotificationCenterDelegate::kWillPresentNotification)) {
    d->userNotificationCenterWillPresentNotification(*this, notification, std::move(answer));
  } else {
    answer(UNNotificationPresentationOptionNone);
  }
}

void UNUserNotificationCenter::receiveNotificationResponse(const UNNotificationResponse& response,
                                                           std::function<void()> completion) {
  auto done = [completion = std::move(completion)] {
    if (completion) completion();
  };
  std::shared_ptr<UNUserNotificationCenterDelegate> d = delegate();
  if (d && d->respondsTo(UNUserNotificationCenterDelegate::kDidReceiveNotificationResponse)) {
    d->userNotificationCenterDidReceiveNotificationResponse(*this, response, std::move(done));
  } else {
    done();
  }
}

void UNUserNotificationCenter::openSettings(const std::optional<UNNotification>& notification) {
  std::shared_ptr<UNUserNotificationCenterDelegate> d = delegate();
  if (d && d->respondsTo(UNUserNotificationCenterDelegate::kOpenSettingsForNotification)) {
    d->userNotificationCenterOpenSettingsForNotification(*this, notification);
  }
}

void UNUserNotificationCenter::setUserAnswer(bool grants) {
  std::lock_guard<std::mutex> lock(mu_);
  userGrants_ = grants;
}

void UNUserNotificationCenter::failNextAuthorizationRequest(fnd::Error error) {
  std::lock_guard<std::mutex> lock(mu_);
  nextAuthorizationError_ = std::move(error);
}

void UNUserNotificationCenter::setNotificationSettings(const UNNotificationSettings& settings) {
  std::lock_guard<std::mutex> lock(mu_);
  settings_ = settings;
}

UNNotificationSettings UNUserNotificationCenter::notificationSettings() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_;
}

std::vector<UNAuthorizationOptions> UNUserNotificationCenter::authorizationRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return authorizationRequests_;
}

std::vector<UNUserNotificationCenter::Presentation> UNUserNotificationCenter::presentations()
    const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Presentation> out;
  for (const auto& p : presentations_) out.push_back(*p);
  return out;
}

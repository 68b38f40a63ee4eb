#include "platform/usernotifications/user_notification_center.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"

namespace {

class UserNotificationCenterTest : public ::testing::Test {
 protected:
  void TearDown() override { dispatch::RunLoop::main().runUntilIdle(); }

  // Requests authorisation and waits for the answer on the centre's queue.
  std::pair<bool, std::optional<fnd::Error>> Request(UNAuthorizationOptions options) {
    std::mutex mu;
    std::optional<std::pair<bool, std::optional<fnd::Error>>> answer;
    center_.requestAuthorizationWithOptions(
        options, [&](bool granted, const std::optional<fnd::Error>& error) {
          std::lock_guard<std::mutex> lock(mu);
          answer.emplace(granted, error);
        });
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] {
      std::lock_guard<std::mutex> lock(mu);
      return answer.has_value();
    }));
    return answer.value_or(std::make_pair(false, std::nullopt));
  }

  fnd::ScopedTestHome home_;
  UNUserNotificationCenter center_;
};

TEST_F(UserNotificationCenterTest, TheFirstRequestDecidesAndLaterOnesReport) {
  struct Case {
    const char* what;
    bool userGrants;
    UNAuthorizationOptions options;
    bool granted;
    UNAuthorizationStatus status;
    UNNotificationSetting alert;
    UNNotificationSetting badge;
  } cases[] = {
      {"granted alert", true, UNAuthorizationOptionAlert, true, UNAuthorizationStatus::kAuthorized,
       UNNotificationSetting::kEnabled, UNNotificationSetting::kDisabled},
      {"refused", false, UNAuthorizationOptionAlert | UNAuthorizationOptionBadge, false,
       UNAuthorizationStatus::kDenied, UNNotificationSetting::kDisabled,
       UNNotificationSetting::kDisabled},
      {"provisional is granted quietly", false,
       UNAuthorizationOptionProvisional | UNAuthorizationOptionBadge, true,
       UNAuthorizationStatus::kProvisional, UNNotificationSetting::kDisabled,
       UNNotificationSetting::kEnabled},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    center_.setNotificationSettings(UNNotificationSettings{});
    center_.setUserAnswer(c.userGrants);
    auto answer = Request(c.options);
    EXPECT_EQ(answer.first, c.granted);
    EXPECT_FALSE(answer.second);
    UNNotificationSettings settings = center_.notificationSettings();
    EXPECT_EQ(settings.authorizationStatus, c.status);
    EXPECT_EQ(settings.alertSetting, c.alert);
    EXPECT_EQ(settings.badgeSetting, c.badge);
    // Asking again changes nothing, whatever the user would answer now.
    center_.setUserAnswer(!c.userGrants);
    EXPECT_EQ(Request(UNAuthorizationOptionSound).first, c.granted);
    EXPECT_EQ(center_.notificationSettings(), settings);
  }
}

TEST_F(UserNotificationCenterTest, AnInjectedFaultAnswersOneRequest) {
  center_.failNextAuthorizationRequest(fnd::Error(UNErrorDomain, 1));
  auto failed = Request(UNAuthorizationOptionAlert);
  EXPECT_FALSE(failed.first);
  ASSERT_TRUE(failed.second);
  EXPECT_EQ(failed.second->code(), 1);
  EXPECT_EQ(center_.notificationSettings().authorizationStatus,
            UNAuthorizationStatus::kNotDetermined);
  EXPECT_TRUE(Request(UNAuthorizationOptionAlert).first);
  EXPECT_EQ(center_.authorizationRequests(),
            (std::vector<UNAuthorizationOptions>{UNAuthorizationOptionAlert,
                                                 UNAuthorizationOptionAlert}));
}

class Delegate : public UNUserNotificationCenterDelegate {
 public:
  unsigned implementedMethods() const override { return kWillPresentNotification; }
  void userNotificationCenterWillPresentNotification(
      UNUserNotificationCenter&, const UNNotification&,
      std::function<void(UNNotificationPresentationOptions)> completionHandler) override {
    completionHandler(UNNotificationPresentationOptionAlert);
    completionHandler(UNNotificationPresentationOptionBadge);  // Ignored.
  }
};

TEST_F(UserNotificationCenterTest, NotificationsGoToTheDelegateKeptWeakly) {
  UNNotification n(UNNotificationRequest("r", UNNotificationContent(fnd::Dictionary{{"k", 1}})));
  auto delegate = std::make_shared<Delegate>();
  center_.setDelegate(delegate);
  center_.receiveNotification(n);
  bool completed = false;
  center_.receiveNotificationResponse(UNNotificationResponse(n), [&] { completed = true; });
  EXPECT_TRUE(completed);  // The delegate does not implement it: completed by the centre.

  delegate.reset();
  EXPECT_EQ(center_.delegate(), nullptr);
  center_.receiveNotification(n);
  auto presentations = center_.presentations();
  ASSERT_EQ(presentations.size(), 2u);
  EXPECT_EQ(presentations[0].options, UNNotificationPresentationOptionAlert);
  EXPECT_EQ(presentations[1].options, UNNotificationPresentationOptionNone);
  EXPECT_EQ(presentations[0].notification.request().content().userInfo().get("k"), fnd::Value(1));
}

}  // namespace

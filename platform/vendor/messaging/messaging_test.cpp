#include "platform/vendor/messaging/messaging.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"
#include "platform/vendor/core/davodu.h"
#include "platform/vendor/messaging/app_delegate_swizzler.h"

namespace {

class RecordingDelegate : public DEVMessagingDelegate {
 public:
  void messagingDidReceiveRegistrationToken(DEVMessaging&,
                                            const std::optional<std::string>& token) override {
    tokens.push_back(token);
  }
  std::vector<std::optional<std::string>> tokens;
};

class MessagingTest : public ::testing::Test {
 protected:
  void TearDown() override { dispatch::RunLoop::main().runUntilIdle(); }

  // Runs `start` with a completion and waits for the SDK's queue to call it.
  template <typename Result, typename Start>
  Result Await(Start start) {
    std::optional<Result> result;
    std::mutex mu;
    start([&](Result r) {
      std::lock_guard<std::mutex> lock(mu);
      result = std::move(r);
    });
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] {
      std::lock_guard<std::mutex> lock(mu);
      return result.has_value();
    }));
    return result.value_or(Result{});
  }

  using TokenAnswer = std::pair<std::optional<std::string>, std::optional<fnd::Error>>;
  TokenAnswer Token() {
    return Await<TokenAnswer>([&](auto done) {
      messaging_->tokenWithCompletion(
          [done](const std::optional<std::string>& token, const std::optional<fnd::Error>& error) {
            done(TokenAnswer{token, error});
          });
    });
  }
  std::optional<fnd::Error> Topic(const std::string& topic, bool subscribe) {
    return Await<std::optional<fnd::Error>>([&](auto done) {
      auto completion = [done](const std::optional<fnd::Error>& e) { done(e); };
      if (subscribe) {
        messaging_->subscribeToTopic(topic, completion);
      } else {
        messaging_->unsubscribeFromTopic(topic, completion);
      }
    });
  }

  fnd::ScopedTestHome home_;
  fnd::UserDefaults defaults_;
  int issued_ = 0;
  std::shared_ptr<DEVMessaging> messaging_ =
      DEVMessaging::create(nullptr, &defaults_, [this] { return "t" + std::to_string(++issued_); });
};

TEST_F(MessagingTest, TokensAreIssuedOnceAndTheDelegateHearsOfChanges) {
  auto delegate = std::make_shared<RecordingDelegate>();
  messaging_->setDelegate(delegate);
  EXPECT_EQ(messaging_->ZCMToken(), std::nullopt);
  EXPECT_EQ(Token().first, "t1");
  EXPECT_EQ(Token().first, "t1");
  messaging_->refreshTokenForTesting("server");
  EXPECT_EQ(messaging_->ZCMToken(), "server");
  EXPECT_FALSE(Await<std::optional<fnd::Error>>([&](auto done) {
    messaging_->deleteTokenWithCompletion([done](const std::optional<fnd::Error>& e) { done(e); });
  }));
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(delegate->tokens,
            (std::vector<std::optional<std::string>>{"t1", "server", std::nullopt}));
  EXPECT_EQ(Token().first, "t2");
}

TEST_F(MessagingTest, FaultsQueueUpPerOperation) {
  messaging_->failNext(DEVMessaging::Operation::kToken,
                       fnd::Error(kDEVMessagingErrorDomain, kDEVMessagingErrorNetwork));
  messaging_->failNext(DEVMessaging::Operation::kToken,
                       fnd::Error(kDEVMessagingErrorDomain, kDEVMessagingErrorMissingDeviceID));
  TokenAnswer first = Token();
  EXPECT_EQ(first.first, std::nullopt);
  ASSERT_TRUE(first.second);
  EXPECT_EQ(first.second->code(), kDEVMessagingErrorNetwork);
  EXPECT_EQ(Token().second->code(), kDEVMessagingErrorMissingDeviceID);
  EXPECT_EQ(messaging_->ZCMToken(), std::nullopt);  // Nothing was issued by failed calls.
  EXPECT_EQ(Token().first, "t1");
}

TEST_F(MessagingTest, TopicNames) {
  struct Case {
    std::string topic;
    bool valid;
  } cases[] = {
      {"news", true},
      {"/topics/a-b_c.d~e%f", true},
      {std::string(900, 'x'), true},
      {"", false},
      {"/topics/", false},
      {std::string(901, 'x'), false},
      {"with space", false},
      {"ümlaut", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.topic);
    std::optional<fnd::Error> error = Topic(c.topic, true);
    EXPECT_EQ(!error, c.valid);
    if (error) {
      EXPECT_EQ(error->code(), kDEVMessagingErrorInvalidTopicName);
    }
  }
  EXPECT_EQ(messaging_->subscribedTopics().count("news"), 1u);
  EXPECT_EQ(messaging_->subscribedTopics().count("a-b_c.d~e%f"), 1u);
  EXPECT_FALSE(Topic("/topics/news", false));
  EXPECT_EQ(messaging_->subscribedTopics().count("news"), 0u);
}

TEST_F(MessagingTest, SharedObjectExistsOnlyWithTheDefaultApp) {
  DAVOdu::resetForTesting();
  EXPECT_EQ(DEVMessaging::messaging(), nullptr);
  ASSERT_TRUE(DAVOdu::configureWithOptions(DEVOptions("1:a", "1")));
  auto shared = DEVMessaging::messaging();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(DEVMessaging::messaging(), shared);
  DAVOdu::resetForTesting();
}

class Interceptor : public RVLApplicationDelegateInterceptor {
 public:
  void applicationDidRegisterForRemoteNotificationsWithDeviceToken(
      appkit::Application&, const fnd::Data& token) override {
    events.push_back("token " + std::to_string(token.size()));
  }
  void applicationDidFailToRegisterForRemoteNotificationsWithError(
      appkit::Application&, const fnd::Error& error) override {
    events.push_back("error " + std::to_string(error.code()));
  }
  void applicationDidReceiveRemoteNotification(appkit::Application&,
                                               const fnd::Dictionary& userInfo) override {
    events.push_back("notification " + std::to_string(userInfo.size()));
  }
  std::vector<std::string> events;
};

TEST(AppDelegateSwizzlerTest, InterceptorsHearRemoteNotificationsOnceProxying) {
  fnd::ScopedTestHome home;
  fnd::NotificationCenter center;
  auto app = appkit::Application::create(&center);
  RVLAppDelegateSwizzler swizzler(*app);
  auto interceptor = std::make_shared<Interceptor>();
  swizzler.registerAppDelegateInterceptor(interceptor);
  swizzler.registerAppDelegateInterceptor(interceptor);
  swizzler.didReceiveRemoteNotification(fnd::Dictionary{{"a", 1}});
  EXPECT_TRUE(interceptor->events.empty());

  swizzler.proxyOriginalDelegateIncludingAPNSMethods();
  swizzler.registerForRemoteNotifications();  // Nothing scripted: the request waits.
  dispatch::RunLoop::main().runUntilIdle();
  swizzler.setRegistrationResult(fnd::Data(32, 1));
  swizzler.registerForRemoteNotifications();
  swizzler.setRegistrationResult(fnd::Error("push", 3));
  swizzler.registerForRemoteNotifications();
  dispatch::RunLoop::main().runUntilIdle();
  swizzler.didReceiveRemoteNotification(fnd::Dictionary{{"a", 1}});
  EXPECT_EQ(swizzler.remoteNotificationRegistrationCount(), 3u);
  EXPECT_EQ(interceptor->events,
            (std::vector<std::string>{"token 32", "error 3", "notification 1"}));

  // Interceptors are kept weakly.
  interceptor.reset();
  swizzler.didReceiveRemoteNotification(fnd::Dictionary{});
}

}  // namespace

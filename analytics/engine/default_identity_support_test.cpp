#include "analytics/engine/default_identity_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analytics/engine/identity_test_support.h"
#include "analytics/foundation/test_support.h"
#include "platform/foundation/test_home.h"

namespace {

constexpr const char* kIdentifier = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

class DefaultIdentitySupportTest : public ::testing::Test {
 protected:
  std::shared_ptr<ZIVDefaultIdentitySupport> Create() {
    return ZIVDefaultIdentitySupport::create(registry_, monitor_.get(), clock_);
  }
  // Registers `support` as the platform support's shared instance.
  void Link(std::shared_ptr<ZIVRuntimeObject> support, bool answersSharedInstance = true) {
    registry_.registerClass(
        std::make_shared<FakePlatformSupportClass>(answersSharedInstance, std::move(support)));
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  ZIVTestMonitor monitor_{clock_};
  ZIVLogCapture log_{monitor_.get()};
  ZIVRuntimeClassRegistry registry_;
};

TEST_F(DefaultIdentitySupportTest, WithoutUsablePlatformSupportThereIsNoIdentity) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
  };
  const std::vector<Case> cases = {
      {"class absent", [] {}},
      {"class without sharedInstance",
       [this] { Link(std::make_shared<FakeIdentitySupport>(), false); }},
      {"instance does not conform", [this] { Link(std::make_shared<ZIVRuntimeObject>()); }},
  };
  for (const auto& c : cases) {
    registry_.removeClass("ZIVPlatformIdentitySupport");
    log_.clear();
    c.setUp();
    auto support = Create();
    EXPECT_EQ(log_.codes(), std::vector<int64_t>{44003}) << c.name;
    ExpectLogged(log_, 4, 44003,
                 "RivadoDuvUdiredururoIdentitySupport dependency is not currently linked. IDFA "
                 "will not be accessible.");
    EXPECT_EQ(support->platformIdentitySupport(), nullptr) << c.name;
    EXPECT_FALSE(support->hasAppDataConsentStatus()) << c.name;
    EXPECT_EQ(support->appDataConsentStatus(), ZIVIdentitySupportNoStatus) << c.name;
    EXPECT_FALSE(support->hasLimitedAdTracking()) << c.name;
    EXPECT_EQ(support->resettableDeviceID(), std::nullopt) << c.name;
    EXPECT_TRUE(support->limitedAdTracking()) << c.name;
  }
}

TEST_F(DefaultIdentitySupportTest, PlatformSupportWithoutAdvertisingServiceIsLogged) {
  auto platform = std::make_shared<FakeIdentitySupport>();
  platform->hasLAT = false;
  Link(platform);
  auto support = Create();
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{44000, 44002}));
  ExpectLogged(log_, 7, 44000, "RivadoDuvUdiredururoIdentitySupport dependency is linked.");
  auto lines = log_.withCode(44002);
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].message.rfind("The AdSupport Framework is not currently linked. Some features "
                                   "will not function properly. Learn more at ",
                                   0),
            0u);
  EXPECT_TRUE(support->limitedAdTracking());
}

TEST_F(DefaultIdentitySupportTest, ForwardsToThePlatformSupport) {
  auto platform = std::make_shared<FakeIdentitySupport>();
  platform->status = 2;
  platform->setIdentifier(kIdentifier);
  Link(platform);
  auto support = Create();
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{44000, 44001}));
  ExpectLogged(log_, 7, 44001, "The AdSupport Framework is linked.");
  EXPECT_TRUE(support->hasAppDataConsentStatus());
  EXPECT_EQ(support->appDataConsentStatus(), 2u);
  EXPECT_TRUE(support->hasLimitedAdTracking());
  EXPECT_EQ(support->resettableDeviceID(), kIdentifier);
  EXPECT_FALSE(support->limitedAdTracking());

  // The identifier of a user who did not allow tracking means limited ad tracking.
  platform->setIdentifier(ZIVZeroResettableDeviceID);
  EXPECT_TRUE(support->limitedAdTracking());
}

TEST_F(DefaultIdentitySupportTest, ASlowReadAnswersTheEarlierValueAndLandsForLaterCalls) {
  auto platform = std::make_shared<FakeIdentitySupport>();
  platform->setIdentifier(kIdentifier);
  platform->holdReads(true);
  Link(platform);
  auto support = Create();

  // The first read does not finish within the wait: nothing was read before.
  std::optional<std::string> first = "unset";
  std::thread caller([&] { first = support->resettableDeviceID(); });
  WaitForPendingTimers(*clock_, 1);
  clock_->advance(ZIVDefaultIdentitySupportReadTimeout);
  caller.join();
  EXPECT_EQ(first, std::nullopt);

  // The late read finishes and stores its answer; a later call whose own read is slow again
  // answers it.
  platform->releaseRead();
  support->queue()->sync([] {});
  platform->setIdentifier(std::nullopt);
  std::optional<std::string> second;
  std::thread again([&] { second = support->resettableDeviceID(); });
  WaitForPendingTimers(*clock_, 1);
  clock_->advance(ZIVDefaultIdentitySupportReadTimeout);
  again.join();
  EXPECT_EQ(second, kIdentifier);

  platform->holdReads(false);
  platform->releaseRead();
  support->queue()->sync([] {});
  EXPECT_EQ(platform->reads.load(), 2);
}

}  // namespace

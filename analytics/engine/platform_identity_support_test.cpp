#include "analytics/engine/platform_identity_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/engine/identity_test_support.h"

namespace {

constexpr const char* kIdentifier = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

TEST(PlatformIdentitySupportTest, AnswersFollowWhatThePlatformClassesOffer) {
  struct Case {
    const char* name;
    std::shared_ptr<ZIVRuntimeClass> trackingClass;  // null: absent
    std::shared_ptr<ZIVRuntimeClass> managerClass;   // null: absent
    bool hasStatus;
    uint64_t status;
    bool hasLAT;
    bool lat;
    std::optional<std::string> identifier;
  };
  auto manager = [](std::optional<bool> enabled, std::optional<std::string> identifier) {
    return std::make_shared<FakeIdentifierManagerClass>(
        true, std::make_shared<FakeIdentifierManager>(enabled, std::move(identifier)));
  };
  const std::vector<Case> cases = {
      {"nothing present", nullptr, nullptr, false, ZIVIdentitySupportNoStatus, false, false,
       std::nullopt},
      {"tracking class without the status selector",
       std::make_shared<FakeTrackingManagerClass>(std::nullopt), nullptr, true,
       ZIVIdentitySupportNoStatus, false, false, std::nullopt},
      {"tracking class with a status", std::make_shared<FakeTrackingManagerClass>(2), nullptr, true,
       2, false, false, std::nullopt},
      {"manager class without sharedManager", nullptr,
       std::make_shared<FakeIdentifierManagerClass>(false, nullptr), false,
       ZIVIdentitySupportNoStatus, false, false, std::nullopt},
      {"manager that answers nothing", nullptr, manager(std::nullopt, std::nullopt), false,
       ZIVIdentitySupportNoStatus, true, false, std::nullopt},
      {"tracking disabled", nullptr, manager(false, kIdentifier), false, ZIVIdentitySupportNoStatus,
       true, true, kIdentifier},
      {"tracking enabled", std::make_shared<FakeTrackingManagerClass>(3),
       manager(true, kIdentifier), true, 3, true, false, kIdentifier},
  };
  for (const auto& c : cases) {
    ZIVRuntimeClassRegistry registry;
    registry.registerClass(c.trackingClass);
    registry.registerClass(c.managerClass);
    ZIVPlatformIdentitySupport support(registry);
    EXPECT_EQ(support.hasAppDataConsentStatus(), c.hasStatus) << c.name;
    EXPECT_EQ(support.appDataConsentStatus(), c.status) << c.name;
    EXPECT_EQ(support.hasLimitedAdTracking(), c.hasLAT) << c.name;
    EXPECT_EQ(support.limitedAdTracking(), c.lat) << c.name;
    EXPECT_EQ(support.resettableDeviceID(), c.identifier) << c.name;
  }
}

TEST(PlatformIdentitySupportTest, TheProcessRegistryLinksOnlyTheEnginesOwnSupport) {
  ZIVRuntimeClassRegistry& registry = ZIVRuntimeClassRegistry::sharedRegistry();
  EXPECT_EQ(registry.classNamed("ATTrackingManager"), nullptr);
  EXPECT_EQ(registry.classNamed("ASIdentifierManager"), nullptr);
  std::shared_ptr<ZIVRuntimeClass> supportClass = registry.classNamed("ZIVPlatformIdentitySupport");
  ASSERT_NE(supportClass, nullptr);
  ASSERT_TRUE(supportClass->respondsToSelector("sharedInstance"));
  EXPECT_EQ(supportClass->sharedInstance(), ZIVPlatformIdentitySupport::sharedInstance());
  EXPECT_FALSE(ZIVPlatformIdentitySupport::sharedInstance()->hasLimitedAdTracking());
}

}  // namespace

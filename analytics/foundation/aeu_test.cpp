#include "analytics/foundation/aeu.h"

#include <gtest/gtest.h>

#include "analytics/foundation/singletons.h"
#include "platform/system/system.h"

namespace {

TEST(AEUTest, StoreBuildRule) {
  struct Case {
    bool isNOD, isASRS, hasSCInfo, encrypted, hasProvision;
    bool expected;
  };
  const Case cases[] = {
      {true, false, true, true, false, false},  {false, true, true, true, false, false},
      {false, false, true, false, true, true},  {false, false, false, false, false, false},
      {false, false, false, true, false, true}, {false, false, false, true, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMAEU::isFASWith(c.isNOD, c.isASRS, c.hasSCInfo, c.encrypted, c.hasProvision),
              c.expected);
  }
}

TEST(AEUTest, ThisBuildIsNotFromTheStore) {
  EXPECT_FALSE(APMAEU::isNOD());
  EXPECT_FALSE(APMAEU::isFAS());
  EXPECT_FALSE(APMAEU::isASRS());
  EXPECT_FALSE(APMAEU::isAEX());
  EXPECT_FALSE(APMAEU::deviceModel().empty());
  EXPECT_NE(APMAEU::systemVersion().find('.'), std::string::npos);
}

TEST(AEUTest, DeviceModelPrefersTheProductNameThenTheMachineType) {
  struct Case {
    const char* name;
    std::optional<std::string> product;
    std::optional<std::string> machine;  // nullopt: uname fails
    std::string expected;
  };
  const Case cases[] = {
      {"product name", "Workstation 9", "x86_64", "Workstation 9"},
      {"no product name", std::nullopt, "aarch64", "aarch64"},
      {"nothing known", std::nullopt, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sys::FakeSystem machine;
    machine.product = c.product;
    if (c.machine) machine.kernelInfo = sys::KernelInfo{"Linux", "h", "6.1.0", "#1", *c.machine};
    sys::ScopedSystem install(machine);
    EXPECT_EQ(APMAEU::deviceModel(), c.expected);
  }
}

class Switchable : public ZIVSwitchable {
 public:
  void setIsEnabled(bool enabled) override { enabled_ = enabled; }
  bool enabled_ = true;
};

TEST(SingletonsTest, OlderLibraryIsSwitchedOffOnlyWhenPresent) {
  EXPECT_FALSE(ZIVBackwardCompatibilityUtil::disableVUZUruvorerivo());
  EXPECT_FALSE(ZIVBackwardCompatibilityUtil::disableVUZUruvorerivo(
      [](const std::string&) { return nullptr; }));
  auto older = std::make_shared<Switchable>();
  std::string asked;
  EXPECT_TRUE(ZIVBackwardCompatibilityUtil::disableVUZUruvorerivo(
      [&](const std::string& name) -> std::shared_ptr<ZIVSwitchable> {
        asked = name;
        return older;
      }));
  EXPECT_EQ(asked, "VUZUruvorerivo");
  EXPECT_FALSE(older->enabled_);
  EXPECT_EQ(ZIVBackwardCompatibilityUtil::sharedInstance(), nullptr);
  EXPECT_EQ(&ZIVAppDelegateInterceptor::sharedInstance(),
            &ZIVAppDelegateInterceptor::sharedInstance());
  EXPECT_EQ(&ZIVAppStaticConfig::sharedInstance(), &ZIVAppStaticConfig::sharedInstance());
}

}  // namespace

#include "analytics/engine/environment_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "analytics/foundation/test_support.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/foundation/test_home.h"

namespace {

class EnvironmentInfoTest : public ::testing::Test {
 protected:
  ZIVEnvironmentInfo::Sources Sources() {
    ZIVEnvironmentInfo::Sources sources;
    sources.deviceModel = [this] {
      modelReads_.fetch_add(1);
      errno = modelErrno_;
      return model_;
    };
    sources.systemVersion = [this] { return osVersion_; };
    sources.preferredLanguages = [this] { return languages_; };
    sources.clock = clock_;
    sources.monitor = monitor_.get();
    return sources;
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  ZIVTestMonitor monitor_{clock_};
  ZIVLogCapture log_{monitor_.get()};
  std::string model_ = "Workstation 9";
  int modelErrno_ = 0;
  std::atomic<int> modelReads_{0};
  std::string osVersion_ = "6.1.0";
  std::vector<std::string> languages_ = {"en-GB", "de"};
};

TEST_F(EnvironmentInfoTest, DeviceModelIsReadOnceAndOSVersionEveryTime) {
  ZIVEnvironmentInfo info(Sources());
  EXPECT_EQ(info.deviceModel(), "Workstation 9");
  model_ = "Other";
  EXPECT_EQ(info.deviceModel(), "Workstation 9");
  EXPECT_EQ(modelReads_.load(), 1);

  EXPECT_EQ(info.deviceOSVersion(), "6.1.0");
  osVersion_ = "6.2.0";
  EXPECT_EQ(info.deviceOSVersion(), "6.2.0");
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(EnvironmentInfoTest, AnEmptyDeviceModelIsLoggedOnceAndKept) {
  model_ = "";
  modelErrno_ = ENOENT;
  ZIVEnvironmentInfo info(Sources());
  EXPECT_EQ(info.deviceModel(), "");
  EXPECT_EQ(info.deviceModel(), "");
  ExpectLogged(log_, 2, 14000, "Failed to get device model");
  ASSERT_EQ(log_.withCode(14000)[0].contexts.size(), 1u);
  EXPECT_EQ(log_.withCode(14000)[0].contexts[0], fnd::Value(std::strerror(ENOENT)));
  EXPECT_EQ(modelReads_.load(), 1);
}

TEST_F(EnvironmentInfoTest, PreferredLanguageIsTheFirstLowerCased) {
  ZIVEnvironmentInfo info(Sources());
  EXPECT_EQ(info.userDefaultLanguage(), "en-gb");
  languages_.clear();
  EXPECT_EQ(info.userDefaultLanguage(), std::nullopt);
  ExpectLogged(log_, 2, 14001, "Failed to get preferred language");
}

TEST_F(EnvironmentInfoTest, TimeZoneOffsetIsInWholeMinutesTowardsZero) {
  struct Case {
    const char* zone;
    double instant;
    int32_t minutes;
  };
  const std::vector<Case> cases = {
      {"Asia/Kolkata", 1700000000, 330},       // 5:30 east.
      {"America/St_Johns", 1700000000, -210},  // 3:30 west in November.
      {"America/St_Johns", 1690000000, -150},  // 2:30 west in July.
      {"UTC", 1700000000, 0},
      {"Asia/Kathmandu", 1700000000, 345},
  };
  for (const auto& c : cases) {
    auto zone = fnd::TimeZone::Named(c.zone);
    ASSERT_TRUE(zone.has_value()) << c.zone;
    ZIVEnvironmentInfo::Sources sources = Sources();
    sources.timeZone = [zone] { return *zone; };
    clock_->setWallTime(c.instant);
    ZIVEnvironmentInfo info(std::move(sources));
    EXPECT_EQ(info.timeZoneOffsetMinutes(), c.minutes) << c.zone;
  }
}

TEST_F(EnvironmentInfoTest, TheSharedInstanceReadsTheMachine) {
  ZIVEnvironmentInfo& info = ZIVEnvironmentInfo::sharedInstance();
  EXPECT_EQ(&info, &ZIVEnvironmentInfo::sharedInstance());
  EXPECT_FALSE(info.deviceModel().empty());
  EXPECT_FALSE(info.deviceOSVersion().empty());
  // Nothing the shared monitor queued may land after this test's home is gone.
  ZIVMeasurement::monitor()->flush();
}

}  // namespace

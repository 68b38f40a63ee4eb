#include "analytics/engine/ad_exposure_reporter.h"

#include <gtest/gtest.h>

#include <thread>

#include "analytics/engine/sessions_test_support.h"

namespace {

using sessions_test::IntParameter;
using sessions_test::kFirstInstanceID;
using sessions_test::SessionsRig;
using sessions_test::StringParameter;

const std::pair<std::string, std::string> kNoTimerDuringTest{
    "measurement.session.event_user_engagement_interval", "86400000"};

class AdExposureReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_.Open({kNoTimerDuringTest});
    rig_.Activate();
    rig_.ScreenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  }
  SessionsRig rig_;
};

TEST_F(AdExposureReporterTest, ExposureOfASecondOrMoreIsReported) {
  struct Case {
    double seconds;
    std::optional<int64_t> reported;
  };
  for (const Case& c : {Case{0.999, std::nullopt}, Case{1.0, 1000}, Case{2.5, 2500}}) {
    SCOPED_TRACE(c.seconds);
    const size_t units = rig_.Events("_xu").size();
    const size_t overall = rig_.Events("_xa").size();
    rig_.h.log().clear();
    rig_.ads->beginAdUnitExposure("banner");
    rig_.Advance(c.seconds);
    rig_.ads->endAdUnitExposure("banner");
    rig_.Drain();
    auto unitEvents = rig_.Events("_xu");
    auto overallEvents = rig_.Events("_xa");
    if (!c.reported) {
      EXPECT_EQ(unitEvents.size(), units);
      EXPECT_EQ(overallEvents.size(), overall);
      ExpectLogged(rig_.h.log(), 8, 1009,
                   "Ad unit exposure not logged. Exposure time was less than 1 sec");
      ExpectLogged(rig_.h.log(), 8, 1006,
                   "Ad exposure not logged. Exposure time was less than 1 sec");
      continue;
    }
    ASSERT_EQ(unitEvents.size(), units + 1);
    ASSERT_EQ(overallEvents.size(), overall + 1);
    const ZIVEvent& unit = *unitEvents.back();
    EXPECT_EQ(unit.origin(), "am");
    EXPECT_EQ(StringParameter(unit, "_ai"), "banner");
    EXPECT_EQ(IntParameter(unit, "_xt"), *c.reported);
    EXPECT_EQ(StringParameter(unit, "_sn"), "Home");
    EXPECT_EQ(IntParameter(unit, "_si"), kFirstInstanceID + 1);
    const ZIVEvent& all = *overallEvents.back();
    EXPECT_EQ(all.origin(), "am");
    EXPECT_EQ(IntParameter(all, "_xt"), *c.reported);
    EXPECT_EQ(all.parameters().count("_ai"), 0u);
    EXPECT_EQ(StringParameter(all, "_sc"), "HomeView");
  }
}

TEST_F(AdExposureReporterTest, AUnitStaysOpenUntilAsManyEndsAsBegins) {
  rig_.ads->beginAdUnitExposure("A");
  rig_.ads->beginAdUnitExposure("A");
  rig_.Advance(2);
  rig_.ads->endAdUnitExposure("A");
  rig_.Drain();
  EXPECT_EQ(rig_.ads->adUnitCount("A"), 1);
  EXPECT_TRUE(rig_.Events("_xu").empty());
  rig_.ads->endAdUnitExposure("A");
  rig_.Drain();
  EXPECT_EQ(rig_.ads->adUnitCount("A"), 0);
  ASSERT_EQ(rig_.Events("_xu").size(), 1u);
  EXPECT_EQ(IntParameter(*rig_.Events("_xu")[0], "_xt"), 2000);
  EXPECT_EQ(rig_.Events("_xa").size(), 1u);
}

// At the limit only a new ID is refused; another begin of an open ID still counts, so its ends
// balance.
TEST_F(AdExposureReporterTest, LimitRefusesOnlyNewIDs) {
  for (int i = 0; i < 100; ++i) rig_.ads->beginAdUnitExposure("unit" + std::to_string(i));
  rig_.ads->beginAdUnitExposure("unit100");
  rig_.ads->beginAdUnitExposure("unit7");
  EXPECT_EQ(rig_.ads->openAdUnitCount(), 100u);
  EXPECT_EQ(rig_.ads->adUnitCount("unit100"), 0);
  EXPECT_EQ(rig_.ads->adUnitCount("unit7"), 2);
  auto refused = rig_.h.log().withCode(1002);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].message, "Reached limit on ad units. Ignoring ad unit with ID");
  rig_.Advance(1);
  rig_.ads->endAdUnitExposure("unit7");
  rig_.Drain();
  EXPECT_EQ(rig_.ads->adUnitCount("unit7"), 1);
  EXPECT_TRUE(rig_.Events("_xu").empty());
}

TEST_F(AdExposureReporterTest, UnknownOrEmptyIDsAreLogged) {
  rig_.ads->endAdUnitExposure("never-begun");
  rig_.ads->beginAdUnitExposure("");
  rig_.ads->endAdUnitExposure("");
  ExpectLogged(rig_.h.log(), 5, 1004, "Unknown ad unit. Ignoring ad unit with ID");
  ExpectLogged(rig_.h.log(), 5, 1000,
               "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
  ExpectLogged(rig_.h.log(), 5, 1003,
               "Ignoring call to end ad unit exposure. Received empty ad unit ID");
}

TEST_F(AdExposureReporterTest, ScreenChangeReportsOpenUnitsWithTheScreenLeftAndRestarts) {
  rig_.ads->beginAdUnitExposure("banner");
  rig_.Advance(2);
  rig_.ScreenView({{"screen_name", "Cart"}, {"screen_class", "CartView"}});
  auto units = rig_.Events("_xu");
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(IntParameter(*units[0], "_xt"), 2000);
  EXPECT_EQ(StringParameter(*units[0], "_sn"), "Home");
  EXPECT_EQ(rig_.Events("_xa").size(), 1u);
  rig_.Advance(3);
  rig_.ads->endAdUnitExposure("banner");
  rig_.Drain();
  units = rig_.Events("_xu");
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(IntParameter(*units[1], "_xt"), 3000);
  EXPECT_EQ(StringParameter(*units[1], "_sn"), "Cart");
}

// Screen changes (the screen reporter's queue calling into the ad reporter) racing with engagement
// timer ticks (the ad reporter reading the current screen) while units are open must all finish.
TEST_F(AdExposureReporterTest, ScreenChangesWithOpenUnitsCompleteWhileTimerTicks) {
  rig_.ads->beginAdUnitExposure("banner");
  rig_.ads->beginAdUnitExposure("video");
  std::thread ticks([&] {
    for (int i = 0; i < 50; ++i) rig_.h.center.post(kZIVSessionReporterEngagementTimerDidFire);
  });
  for (int i = 0; i < 50; ++i) {
    rig_.analytics->logEventWithName(
        "screen_view",
        fnd::Dictionary{{"screen_name", "S" + std::to_string(i)}, {"screen_class", "View"}});
  }
  ticks.join();
  rig_.Drain();
  EXPECT_EQ(rig_.screen->currentScreen()->name(), "S49");
  EXPECT_EQ(rig_.ads->openAdUnitCount(), 2u);
}

TEST_F(AdExposureReporterTest, EngagementTimerAndResignReportOpenExposures) {
  rig_.ads->beginAdUnitExposure("banner");
  rig_.Advance(4);
  rig_.h.center.post(kZIVSessionReporterEngagementTimerDidFire);
  rig_.Drain();
  ASSERT_EQ(rig_.Events("_xu").size(), 1u);
  EXPECT_EQ(IntParameter(*rig_.Events("_xu")[0], "_xt"), 4000);
  EXPECT_EQ(StringParameter(*rig_.Events("_xu")[0], "_sn"), "Home");
  rig_.Advance(1.5);
  rig_.ResignActive();
  ASSERT_EQ(rig_.Events("_xu").size(), 2u);
  EXPECT_EQ(IntParameter(*rig_.Events("_xu")[1], "_xt"), 1500);
  // Becoming active again restarts the pieces at the activation.
  rig_.Advance(100);
  rig_.Activate();
  rig_.Advance(2);
  rig_.ads->endAdUnitExposure("banner");
  rig_.Drain();
  ASSERT_EQ(rig_.Events("_xu").size(), 3u);
  EXPECT_EQ(IntParameter(*rig_.Events("_xu")[2], "_xt"), 2000);
}

TEST_F(AdExposureReporterTest, DisabledReportingStillCountsBeginsAndEnds) {
  rig_.ads->setReportingEnabled(false);
  rig_.ads->beginAdUnitExposure("banner");
  rig_.Advance(5);
  rig_.ads->endAdUnitExposure("banner");
  rig_.Drain();
  EXPECT_TRUE(rig_.Events("_xu").empty());
  EXPECT_TRUE(rig_.Events("_xa").empty());
  EXPECT_EQ(rig_.ads->openAdUnitCount(), 0u);
  ExpectLogged(rig_.h.log(), 5, 1007, "Ad unit exposure not logged. Reporting is disabled.");
  ExpectLogged(rig_.h.log(), 5, 1005, "Ad exposure not logged. Reporting is disabled.");
}

}  // namespace

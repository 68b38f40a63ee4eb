#include "analytics/engine/screen_view_reporter.h"

#include <gtest/gtest.h>

#include "analytics/engine/sessions_test_support.h"
#include "platform/appkit/application.h"
#include "platform/appkit/window.h"

namespace {

using sessions_test::IntParameter;
using sessions_test::kFirstInstanceID;
using sessions_test::SessionsRig;
using sessions_test::StringParameter;

const std::pair<std::string, std::string> kNoTimerDuringTest{
    "measurement.session.event_user_engagement_interval", "86400000"};

TEST(ScreenViewReporterTest, FirstAndSecondScreenViews) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  const double firstTime = rig.h.Now();
  rig.ScreenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}, {"tab", "main"}});
  rig.Advance(5);
  rig.ScreenView({{"screen_name", "Cart"}, {"screen_class", "CartView"}});

  auto views = rig.Events("_vs");
  ASSERT_EQ(views.size(), 2u);
  const ZIVEvent& first = *views[0];
  EXPECT_EQ(first.origin(), "app");
  EXPECT_EQ(first.timestamp(), firstTime);
  EXPECT_EQ(IntParameter(first, "_si"), kFirstInstanceID + 1);
  EXPECT_EQ(StringParameter(first, "_sc"), "HomeView");
  EXPECT_EQ(StringParameter(first, "_sn"), "Home");
  EXPECT_EQ(IntParameter(first, "_mst"), 1);
  EXPECT_EQ(StringParameter(first, "tab"), "main");
  for (const char* absent : {"_pi", "_pc", "_pn", "screen_name", "screen_class"}) {
    EXPECT_EQ(first.parameters().count(absent), 0u) << absent;
  }

  const ZIVEvent& second = *views[1];
  EXPECT_EQ(IntParameter(second, "_si"), kFirstInstanceID + 2);
  EXPECT_EQ(StringParameter(second, "_sn"), "Cart");
  EXPECT_EQ(IntParameter(second, "_pi"), kFirstInstanceID + 1);
  EXPECT_EQ(StringParameter(second, "_pc"), "HomeView");
  EXPECT_EQ(StringParameter(second, "_pn"), "Home");
  EXPECT_EQ(IntParameter(second, "_mst"), 1);
  EXPECT_EQ(rig.screen->previousScreen()->name(), "Cart");
}

TEST(ScreenViewReporterTest, InvalidNameOrClassChangesNothing) {
  struct Case {
    fnd::Dictionary parameters;
    int64_t code;
    const char* message;
  };
  const Case cases[] = {
      {{{"screen_name", "Home"}, {"screen_class", fnd::Value::Int64(5)}},
       31028,
       "Received invalid class for screen"},
      {{{"screen_name", std::string(501, 'n')}, {"screen_class", "HomeView"}},
       31027,
       "Received invalid name for screen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    SessionsRig rig;
    rig.Open({kNoTimerDuringTest});
    rig.Activate();
    rig.ScreenView(c.parameters);
    EXPECT_EQ(rig.h.log().withCode(c.code).size(), 1u);
    EXPECT_EQ(rig.h.log().withCode(c.code)[0].message, c.message);
    EXPECT_EQ(rig.screen->currentScreen(), nullptr);
    EXPECT_TRUE(rig.Events("_vs").empty());
  }
}

TEST(ScreenViewReporterTest, ScreenWithoutClassStillLogsItsNameAndInstance) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  rig.ScreenView({{"screen_name", "Home"}});
  auto views = rig.Events("_vs");
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(IntParameter(*views[0], "_si"), kFirstInstanceID + 1);
  EXPECT_EQ(StringParameter(*views[0], "_sn"), "Home");
  EXPECT_EQ(views[0]->parameters().count("_sc"), 0u);
  EXPECT_FALSE(rig.h.log().withCode(31014).empty());
}

TEST(ScreenViewReporterTest, LaterEventsCarryTheCurrentScreen) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  rig.ScreenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  rig.analytics->logEventWithName("level_up", fnd::Dictionary{{"level", fnd::Value::Int64(3)}});
  rig.Drain();
  auto events = rig.Events("level_up");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(IntParameter(*events[0], "_si"), kFirstInstanceID + 1);
  EXPECT_EQ(StringParameter(*events[0], "_sn"), "Home");
  EXPECT_EQ(StringParameter(*events[0], "_sc"), "HomeView");
}

TEST(ScreenViewReporterTest, BeforeTheFirstActivationViewsAreLoggedButNotForwarded) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.ads->beginAdUnitExposure("banner");
  rig.Advance(3);
  rig.ScreenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  rig.Advance(3);
  rig.ScreenView({{"screen_name", "Cart"}, {"screen_class", "CartView"}});
  EXPECT_EQ(rig.Events("_vs").size(), 2u);
  EXPECT_TRUE(rig.Events("_xu").empty());
  EXPECT_EQ(rig.ads->adUnitCount("banner"), 1);
  // Resigning does not make the application inactive for screen views.
  rig.Activate();
  rig.ResignActive();
  rig.ScreenView({{"screen_name", "Pay"}, {"screen_class", "PayView"}});
  EXPECT_EQ(rig.Events("_vs").size(), 3u);
  EXPECT_TRUE(rig.h.log().withCode(31026).empty());
}

TEST(ScreenViewReporterTest, InactiveAfterInitialisationRefusesScreenViews) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  rig.screen->handleApplicationDidEnterBackground(fnd::Notification{});
  rig.ScreenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  ExpectLogged(rig.h.log(), 3, 31026, "Cannot log screen view event when the app is not active");
  EXPECT_TRUE(rig.screen->screenParameters().empty());
  EXPECT_TRUE(rig.Events("_vs").empty());
}

TEST(ScreenViewReporterTest, EfficientEngagementCutsFreeRideTimeIntoTheView) {
  SessionsRig rig;
  rig.Open(
      {kNoTimerDuringTest, {"measurement.collection.efficient_engagement_reporting_enabled", "1"}});
  rig.Activate();
  rig.ScreenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  rig.Advance(4);
  rig.ScreenView({{"screen_name", "Cart"}, {"screen_class", "CartView"}});
  auto views = rig.Events("_vs");
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(IntParameter(*views[1], "_et"), 4000);
  // The screen left is reported as redundant engagement.
  auto engagement = rig.Events("_e").back();
  EXPECT_EQ(IntParameter(*engagement, "_fr"), 1);
  EXPECT_EQ(StringParameter(*engagement, "_sn"), "Home");
}

TEST(ScreenViewReporterTest, ScreenParameterHelpers) {
  ZIVScreen screen("Home", "HomeView", 42);
  EXPECT_EQ(
      ZIVScreenParameters(&screen),
      (fnd::Dictionary{{"_si", fnd::Value::Int64(42)}, {"_sc", "HomeView"}, {"_sn", "Home"}}));
  EXPECT_EQ(
      ZIVPreviousScreenParameters(&screen),
      (fnd::Dictionary{{"_pi", fnd::Value::Int64(42)}, {"_pc", "HomeView"}, {"_pn", "Home"}}));
  ZIVScreen badClass("Home", std::string(501, 'c'), 7);
  EXPECT_EQ(ZIVScreenParameters(&badClass), (fnd::Dictionary{{"_si", fnd::Value::Int64(7)}}));
  EXPECT_EQ(ZIVPreviousScreenParameters(&badClass),
            (fnd::Dictionary{{"_pi", fnd::Value::Int64(7)}, {"_pn", "Home"}}));
  EXPECT_TRUE(ZIVScreenParameters(nullptr).empty());
  auto copy = ZIVScreen("A", "B", 3).copy();
  EXPECT_EQ(copy->instanceID(), 3);
  EXPECT_FALSE(copy->isManuallyTracked());
  EXPECT_FALSE(ZIVIsScreenReportingEnabled());
}

}  // namespace

namespace {

// The headless application's own notifications drive the reporters: activation starts the session,
// resigning reports engagement, and the application object is their sender.
TEST(ScreenViewReporterTest, FollowsTheApplicationsLifecycleNotifications) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  std::shared_ptr<appkit::Application> application = appkit::Application::create(&rig.h.center);
  auto window = std::make_shared<appkit::Window>();
  application->addWindow(window);
  window->makeKeyAndOrderFront();
  application->finishLaunching();
  EXPECT_FALSE(rig.screen->isAppActive());
  application->activate();
  rig.Drain();
  EXPECT_TRUE(rig.screen->isAppActive());
  EXPECT_TRUE(rig.screen->appHasBeenInitialized());
  EXPECT_EQ(rig.Events("_s").size(), 1u);
  const size_t engagements = rig.Events("_e").size();
  rig.Advance(30);
  application->resignActive();
  rig.Drain();
  ASSERT_EQ(rig.Events("_e").size(), engagements + 1);
  EXPECT_EQ(IntParameter(*rig.Events("_e").back(), "_et"), 30000);
  EXPECT_FALSE(rig.sessionReporter()->hasActiveEngagementTimer());
}

}  // namespace

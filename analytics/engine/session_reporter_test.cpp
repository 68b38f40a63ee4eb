#include "analytics/engine/session_reporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "analytics/engine/bundler.h"
#include "analytics/engine/sessions_test_support.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"

namespace {

using sessions_test::IntParameter;
using sessions_test::SessionsRig;

// An engagement interval (milliseconds, as the server sends it) long enough that the timer never
// fires within a test.
const std::pair<std::string, std::string> kNoTimerDuringTest{
    "measurement.session.event_user_engagement_interval", "86400000"};

std::vector<int64_t> EngagementTimes(SessionsRig& rig) {
  std::vector<int64_t> out;
  for (const auto& e : rig.Events("_e")) out.push_back(IntParameter(*e, "_et").value_or(-1));
  return out;
}

TEST(SessionReporterTest, TwoHoursOfEngagementReportAnHour) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  const size_t before = rig.Events("_e").size();
  rig.Advance(7200);
  rig.ResignActive();
  std::vector<int64_t> times = EngagementTimes(rig);
  ASSERT_EQ(times.size(), before + 1);
  EXPECT_EQ(times.back(), 3600000);
  EXPECT_FALSE(rig.sessionReporter()->hasActiveEngagementTimer());
}

TEST(SessionReporterTest, ReturningAfterTheTimeoutStartsANewSession) {
  struct Case {
    double away;
    bool newSession;
  };
  for (const Case& c : {Case{1801, true}, Case{1799, false}}) {
    SCOPED_TRACE(c.away);
    SessionsRig rig;
    rig.Open({kNoTimerDuringTest});
    rig.Activate();
    auto starts = rig.Events("_s");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(IntParameter(*starts[0], "_sno"), 1);
    EXPECT_EQ(IntParameter(*starts[0], "_sid"), static_cast<int64_t>(rig.h.Now()));

    rig.ResignActive();
    rig.Advance(c.away);
    rig.Activate();
    starts = rig.Events("_s");
    if (!c.newSession) {
      EXPECT_EQ(starts.size(), 1u);
      EXPECT_EQ(rig.h.UserProperty("_sno")->value()->int64Value(), 1);
      continue;
    }
    ASSERT_EQ(starts.size(), 2u);
    const int64_t now = static_cast<int64_t>(rig.h.Now());
    EXPECT_EQ(IntParameter(*starts[1], "_sno"), 2);
    EXPECT_EQ(IntParameter(*starts[1], "_sid"), now);
    EXPECT_EQ(rig.h.UserProperty("_sno")->value()->int64Value(), 2);
    EXPECT_EQ(rig.h.UserProperty("_sid")->value()->int64Value(), now);
    EXPECT_EQ(rig.h.config().sessionNumber(), 2);
  }
}

TEST(SessionReporterTest, NegativeTimeoutIsLoggedAndEveryReturnStartsASession) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  // The facade refuses negative timeouts itself (25060); the engine passes them on.
  rig.h.engine->setSessionTimeoutInterval(-5);
  rig.Drain();
  ExpectLogged(rig.h.log(), 3, 33001,
               "Received negative timeout session duration. Setting to 0.0 instead.");
  EXPECT_EQ(rig.sessionReporter()->timeoutSessionInterval(), 0);
  // Not a number is refused the same way instead of disabling every timeout test.
  rig.h.engine->setSessionTimeoutInterval(std::nan(""));
  rig.Drain();
  EXPECT_EQ(rig.h.log().withCode(33001).size(), 2u);
  EXPECT_EQ(rig.sessionReporter()->timeoutSessionInterval(), 0);
  rig.ResignActive();
  rig.Advance(1);
  rig.Activate();
  EXPECT_EQ(rig.Events("_s").size(), 2u);
}

TEST(SessionReporterTest, AnActiveApplicationNeverExpiresItsSession) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  rig.Advance(50000);
  EXPECT_TRUE(rig.sessionReporter()->shouldStartNewSession());
  EXPECT_FALSE(rig.sessionReporter()->isSessionExpired());
  EXPECT_GT(rig.h.config().lastSessionActivityClockTime(), 0);
}

TEST(SessionReporterTest, EngagementTimerReportsPeriodicallyAndAnnouncesItself) {
  SessionsRig rig;
  rig.Open({{"measurement.session.event_user_engagement_interval", "60000"}});
  int announced = 0;
  fnd::NotificationCenter::Observer observer =
      rig.h.center.addObserver(kZIVSessionReporterEngagementTimerDidFire, nullptr,
                               [&](const fnd::Notification&) { ++announced; });
  rig.Activate();
  const size_t before = rig.Events("_e").size();
  rig.Advance(60);
  rig.Advance(60);
  std::vector<int64_t> times = EngagementTimes(rig);
  ASSERT_EQ(times.size(), before + 2);
  EXPECT_EQ(times[before], 60000);
  EXPECT_EQ(times[before + 1], 60000);
  EXPECT_EQ(announced, 2);
  EXPECT_TRUE(rig.sessionReporter()->hasActiveEngagementTimer());
}

// An interval of 0 (a value the server may send) must not become a timer that re-arms itself at
// once and floods "_e".
TEST(SessionReporterTest, ZeroEngagementIntervalArmsNoTimer) {
  SessionsRig rig;
  rig.Open({{"measurement.session.event_user_engagement_interval", "0"}});
  rig.Activate();
  EXPECT_FALSE(rig.sessionReporter()->hasActiveEngagementTimer());
  const size_t before = rig.Events("_e").size();
  rig.Advance(3);
  EXPECT_EQ(rig.Events("_e").size(), before);
  EXPECT_EQ(dispatch::RunLoop::main().runUntilIdle(), 0u);
  // Engagement is still reported when the application resigns.
  rig.ResignActive();
  std::vector<int64_t> times = EngagementTimes(rig);
  ASSERT_EQ(times.size(), before + 1);
  EXPECT_EQ(times.back(), 3000);
}

TEST(SessionReporterTest, ScreenChangeReportsEngagementOfTheScreenLeftAfterASecond) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  rig.ScreenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  const size_t before = rig.Events("_e").size();
  rig.Advance(0.5);
  rig.ScreenView({{"screen_name", "Cart"}, {"screen_class", "CartView"}});
  EXPECT_EQ(rig.Events("_e").size(), before);
  rig.Advance(2);
  rig.ScreenView({{"screen_name", "Pay"}, {"screen_class", "PayView"}});
  auto engagements = rig.Events("_e");
  ASSERT_EQ(engagements.size(), before + 1);
  const ZIVEvent& e = *engagements.back();
  EXPECT_EQ(IntParameter(e, "_et"), 2500);
  EXPECT_EQ(sessions_test::StringParameter(e, "_sn"), "Cart");
  EXPECT_EQ(sessions_test::StringParameter(e, "_sc"), "CartView");
  EXPECT_EQ(IntParameter(e, "_si"), sessions_test::kFirstInstanceID + 2);
}

TEST(SessionReporterTest, UnreadableBootTimeClampsEngagementToZero) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  rig.uptimeOverride = -1;
  EXPECT_EQ(rig.sessionReporter()->incurredEngagementTime(), 0);
  ExpectLogged(rig.h.log(), 4, 33004,
               "Incurred engagement time is negative. Setting to 0.0 instead");
}

TEST(SessionReporterTest, ReportingOffLogsNoEventsAndNoSessions) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.sessionReporter()->setReportingEnabled(false);
  rig.Activate();
  rig.Advance(10);
  EXPECT_EQ(rig.sessionReporter()->logEngagementEventAndReturnTimeWithScreen(nullptr, false), 0);
  rig.Drain();
  EXPECT_TRUE(rig.Events("_s").empty());
  EXPECT_EQ(IntParameter(*rig.Events("_e").back(), "_et"), 1);  // Only the first open's.
}

TEST(SessionReporterTest, StoredTimeoutIsTakenOnceAndCleared) {
  struct Case {
    double stored;
    double timeout;
  };
  for (const Case& c : {Case{120, 120}, Case{-3, 0}}) {
    SCOPED_TRACE(c.stored);
    SessionsRig rig;
    rig.h.beforeOpen = [&](ZIVPersistedConfig& config) {
      config.setSessionTimeoutValue(fnd::Value(c.stored));
    };
    rig.Open({kNoTimerDuringTest});
    EXPECT_EQ(rig.sessionReporter()->timeoutSessionInterval(), c.timeout);
    EXPECT_FALSE(rig.h.config().sessionTimeoutValue().has_value());
    EXPECT_EQ(rig.h.log().withCode(33001).empty(), c.stored >= 0);
  }
}

TEST(SessionReporterTest, SessionStartEventCarriesTheScreenUnlessInBackground) {
  const fnd::Dictionary screen{{"_si", fnd::Value::Int64(7)}, {"_sn", "Home"}};
  auto foreground = ZIVCreateSessionStartEvent(3, false, 1700000000.5, screen);
  ASSERT_NE(foreground, nullptr);
  EXPECT_EQ(foreground->origin(), "auto");
  EXPECT_EQ(IntParameter(*foreground, "_sid"), 1700000000);
  EXPECT_EQ(IntParameter(*foreground, "_sno"), 3);
  EXPECT_EQ(IntParameter(*foreground, "_si"), 7);
  EXPECT_FALSE(IntParameter(*foreground, "_aib"));
  auto background = ZIVCreateSessionStartEvent(3, true, 1700000000.5, screen);
  EXPECT_EQ(IntParameter(*background, "_aib"), 1);
  EXPECT_FALSE(IntParameter(*background, "_si"));
}

// The events of a session leave the raw events table in an upload bundle, and their "_et" values
// become the lifetime engagement "_lte".
TEST(SessionReporterTest, SessionEventsAreBundledForUpload) {
  SessionsRig rig;
  rig.Open({kNoTimerDuringTest});
  rig.Activate();
  rig.ScreenView({{"screen_name", "Home"}, {"screen_class", "HomeView"}});
  rig.Advance(90);
  rig.ResignActive();
  int64_t engagement = 0;
  for (int64_t et : EngagementTimes(rig)) engagement += et;

  std::vector<std::string> bundled;
  rig.h.OnWorker([&] {
    ZIVBundlerEnvironment environment;
    environment.database = rig.h.engine->database();
    environment.settings = rig.h.engine->settingsOrDefaults();
    environment.persistedConfig = rig.h.sharedConfig();
    environment.monitor = rig.h.monitor().get();
    environment.clock = rig.h.sharedClock();
    environment.consent = &rig.h.consent;
    environment.appID = [&] { return rig.h.appID; };
    ZIVBundler bundler(environment);
    while (bundler.bundleRawEvents()) {
    }
    auto rows = environment.database->queryBundlesWithCountLimit(100, 1 << 30);
    ASSERT_TRUE(rows);
    for (const auto& [bundle, rowID] : *rows) {
      (void)rowID;
      auto events =
          NANOGetArray(bundle.get(), APMPBMeasurementBundle::kEvents, &APMPBEvent::messageClass());
      for (const fnd::Value& item : events.value_or(fnd::Array())) {
        bundled.push_back(
            NANOGetString(item.recordAs<APMPBEvent>().get(), APMPBEvent::kName).value_or(""));
      }
    }
  });
  for (const char* name : {"_s", "_vs", "_e"}) {
    EXPECT_NE(std::find(bundled.begin(), bundled.end(), name), bundled.end()) << name;
  }
  EXPECT_TRUE(rig.h.RawEvents().empty());
  ASSERT_NE(rig.h.UserProperty("_lte"), nullptr);
  EXPECT_EQ(rig.h.UserProperty("_lte")->value()->int64Value(), engagement);
  EXPECT_GE(engagement, 90000);
}

}  // namespace

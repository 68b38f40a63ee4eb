#include "analytics/engine/measurement.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <thread>

#include "analytics/engine/measurement_test_support.h"
#include "analytics/foundation/monitor.h"
#include "platform/foundation/test_home.h"

namespace {

using measurement_test::EngineHarness;

TEST(MeasurementTest, SharedMonitorIsMadeOnceWithTheLibraryVersion) {
  fnd::ScopedTestHome home;
  const std::shared_ptr<ZIVMonitor>& monitor = ZIVMeasurement::monitor();
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(monitor.get(), ZIVMeasurement::monitor().get());
  EXPECT_EQ(ZIVMeasurement::libraryVersion(), 120500);
  EXPECT_EQ(monitor->libraryVersion(), 120500);
  EXPECT_EQ(monitor->logTag(), "<DuvUdiredururo>");
  monitor->flush();
}

TEST(MeasurementTest, NextHourRounding) {
  struct Case {
    int64_t in;
    int64_t out;
  };
  const Case cases[] = {
      {0, 3600000},
      {1, 3600000},
      {3599999, 3600000},
      {3600000, 7200000},  // On the hour still moves to the next one.
      {1699957230000, 1699959600000},
      // The last hour of the range has no next one: held at the bound instead of overflowing.
      {std::numeric_limits<int64_t>::max() - 5, std::numeric_limits<int64_t>::max()},
      {std::numeric_limits<int64_t>::min(),
       std::numeric_limits<int64_t>::min() / 3600000 * 3600000 + 3600000},
  };
  for (const Case& c : cases) EXPECT_EQ(ZIVTimestampMillisRoundedUpToNextHour(c.in), c.out) << c.in;
}

TEST(MeasurementTest, EmptyAppIDMakesNoEngine) {
  EngineHarness h;
  ZIVMeasurement::Environment environment;
  environment.monitor = h.monitor().get();
  EXPECT_EQ(ZIVMeasurement::initWithAppID("", true, false, {}, nullptr, environment), nullptr);
  ExpectLogged(h.log(), 1, 23170, "Cannot start Measurement. App ID is empty.");
}

TEST(MeasurementTest, StartUpBringsTheComponentsUpAndEnables) {
  EngineHarness h;
  auto engine = h.Open();
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->wasEnabledDuringInitialization());
  EXPECT_TRUE(engine->didInitializeComponents());
  EXPECT_NE(engine->database(), nullptr);
  EXPECT_NE(engine->remoteConfigInstance(), nullptr);
  EXPECT_NE(engine->tcfClient(), nullptr);
  EXPECT_TRUE(h.sessions->reporter->reporting);
  EXPECT_EQ(engine->initTimestamp(), measurement_test::kLaunchTime);
  ExpectLogged(h.log(), 7, 23016, "Analytics is ready to receive events");
  ExpectLogged(h.log(), 6, 23012, "Analytics collection enabled");
  // Observers of the application's notifications are in place.
  EXPECT_EQ(h.center.observerCount(), 2u);
  // Enabling records that collection was enabled when nothing was deferred.
  ASSERT_TRUE(h.facade->deferred.has_value() || h.facade->deferred == std::nullopt);
}

TEST(MeasurementTest, EnabledDecision) {
  struct Case {
    bool plistEnabled;
    bool deactivated;
    int64_t persistedState;
    bool expected;
  };
  const Case cases[] = {
      {true, false, 0, true},  {false, false, 0, false}, {true, false, 2, false},
      {false, false, 1, true}, {true, true, 1, false},   {true, true, 0, false},
  };
  for (const Case& c : cases) {
    EngineHarness h;
    h.beforeOpen = [&](ZIVPersistedConfig& config) {
      config.setMeasurementEnabledState(c.persistedState);
    };
    auto engine = h.Open(c.plistEnabled, c.deactivated);
    EXPECT_EQ(engine->wasEnabledDuringInitialization(), c.expected)
        << c.plistEnabled << c.deactivated << c.persistedState;
    EXPECT_EQ(engine->isEnabled(), c.expected);
  }
}

TEST(MeasurementTest, EnablingWhileDeactivatedChangesNothing) {
  EngineHarness h;
  auto engine = h.Open(true, true);
  h.log().clear();
  engine->setEnabled(true);
  h.Drain();
  ExpectLogged(h.log(), 6, 23206, "Analytics collection deactivated");
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_FALSE(engine->didInitializeComponents());
}

TEST(MeasurementTest, DatabaseFailingTwiceLeavesCollectionOffAndALaterEnablingStartsAgain) {
  EngineHarness h;
  h.failOpens = 2;
  auto engine = h.Open();
  EXPECT_EQ(h.openAttempts, 2);
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_FALSE(engine->didInitializeComponents());
  ExpectLogged(h.log(), 0, 23011, "Failed to start Analytics. Analytics is disabled");
  ExpectLogged(h.log(), 6, 23013, "Analytics collection disabled");

  engine->setEnabled(true);
  h.Drain();
  EXPECT_EQ(h.openAttempts, 3);
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->didInitializeComponents());
}

TEST(MeasurementTest, DatabaseFailingOnceIsRetried) {
  EngineHarness h;
  h.failOpens = 1;
  auto engine = h.Open();
  EXPECT_EQ(h.openAttempts, 2);
  EXPECT_TRUE(engine->didInitializeComponents());
}

TEST(MeasurementTest, WipeDecision) {
  struct Case {
    int64_t retries;
    std::optional<std::string> fromOptions;
    std::optional<std::string> persisted;
    bool wipe;
  };
  const Case cases[] = {
      {0, "a", "a", false},          {3, "a", "a", true},  {9, "a", "a", true},
      {10, "a", "a", false},         {0, "a", "b", true},  {0, "", "b", false},
      {0, "a", std::nullopt, false}, {10, "a", "b", true},
  };
  EngineHarness h;
  auto engine = h.Open();
  for (const Case& c : cases) {
    h.facade->retries = c.retries;
    EXPECT_EQ(engine->shouldWipeDataWithAppID("ignored", c.fromOptions, c.persisted), c.wipe)
        << c.retries;
  }
  h.facade->retries = 0;
  h.log().clear();
  EXPECT_TRUE(engine->shouldWipeDataWithAppID("", "new", "old"));
  ExpectLogged(h.log(), 4, 23294,
               "Analytics data will reset due to change in Rivado App ID. Original ID, new ID");
}

TEST(MeasurementTest, ChangedAppIDWipesStoredDataAtStartUp) {
  EngineHarness h;
  h.Open();
  h.SetUserProperty("app", "color", ZIVValue::initWithString(std::string("red")));
  ASSERT_NE(h.UserProperty("color"), nullptr);
  h.Close();
  // The options file's app ID of the earlier launch differs from the one now in the bundle.
  h.beforeOpen = [](ZIVPersistedConfig& config) {
    config.setAppIDFromZUZ(std::string("1:9999:ios:old"));
  };
  h.Open();
  EXPECT_EQ(h.UserProperty("color"), nullptr);
  EXPECT_EQ(h.facade->retries, 0);
  EXPECT_EQ(h.engine->previousZUZAppID(), std::optional<std::string>("1:9999:ios:old"));
  // The next first open reports the previous app ID.
  bool found = false;
  for (const auto& raw : h.RawEvents()) {
    if (raw->rawEvent()->name() == "_f") {
      EXPECT_EQ(measurement_test::StringParameter(*raw->rawEvent(), "_pgmp"), "1:9999:ios:old");
      found = true;
    }
  }
  EXPECT_TRUE(found);
}

TEST(MeasurementTest, ResetRefusesAnEmptyAppInstanceIDWhileStorageIsGranted) {
  EngineHarness h;
  auto engine = h.Open();
  h.SetUserProperty("app", "color", ZIVValue::initWithString(std::string("red")));
  EXPECT_FALSE(engine->resetAnalyticsDataWithAppInstanceID(std::nullopt));
  ExpectLogged(h.log(), 1, 23167, "Cannot reset with an empty app instance ID");
  EXPECT_NE(h.UserProperty("color"), nullptr);
}

TEST(MeasurementTest, ResetWipesDataAndReportsFirstOpenAgain) {
  EngineHarness h;
  auto engine = h.Open();
  h.SetUserProperty("app", "color", ZIVValue::initWithString(std::string("red")));
  h.clock().advance(100);
  h.facade->load = h.Now();
  ASSERT_TRUE(
      engine->resetAnalyticsDataWithAppInstanceID(std::string("ABCDEF0123456789ABCDEF0123456789")));
  h.Drain();
  EXPECT_EQ(h.UserProperty("color"), nullptr);
  EXPECT_EQ(h.config().appInstanceID(),
            std::optional<std::string>("ABCDEF0123456789ABCDEF0123456789"));
  EXPECT_EQ(engine->initTimestamp(), h.Now());
  EXPECT_NE(h.UserProperty("_fot"), nullptr);
  // The wiped installation starts over: first open, its session, its engagement.
  EXPECT_EQ(h.RawEventNames(), (std::vector<std::string>{"_f", "_s", "_e"}));
  ExpectLogged(h.log(), 6, 23168, "Analytics data has been reset");
}

TEST(MeasurementTest, ResetWhileDisabledReportsNoFirstOpen) {
  EngineHarness h;
  auto engine = h.Open();
  engine->setEnabled(false);
  h.Drain();
  ASSERT_TRUE(
      engine->resetAnalyticsDataWithAppInstanceID(std::string("ABCDEF0123456789ABCDEF0123456789")));
  EXPECT_EQ(h.UserProperty("_fot"), nullptr);
  EXPECT_TRUE(h.RawEvents().empty());
  EXPECT_EQ(h.config().appInstanceID(),
            std::optional<std::string>("ABCDEF0123456789ABCDEF0123456789"));
}

// A reset asked for from the worker queue itself runs there at once instead of waiting for
// itself forever.
TEST(MeasurementTest, ResetFromTheWorkerQueueRunsInline) {
  EngineHarness h;
  auto engine = h.Open();
  bool result = false;
  h.OnWorker([&] {
    result = engine->resetAnalyticsDataWithAppInstanceID(
        std::string("ABCDEF0123456789ABCDEF0123456789"));
  });
  EXPECT_TRUE(result);
  EXPECT_EQ(h.config().appInstanceID(),
            std::optional<std::string>("ABCDEF0123456789ABCDEF0123456789"));
}

TEST(MeasurementTest, ResignActiveFlushesSettingsThenQueuesTheUploadBehindPublicCalls) {
  EngineHarness h;
  auto engine = h.Open();
  h.config().setSessionNumber(7);  // A pending write.
  h.center.post(ZIVApplicationWillResignActiveNotification());
  ExpectLogged(h.log(), 8, 23144, "App will resign active state. Scheduling data upload");
  // On the main thread the write is scheduled.
  EXPECT_TRUE(h.config().hasScheduledSynchronize());
  std::lock_guard<std::mutex> lock(h.facade->mu);
  EXPECT_EQ(h.facade->operations.size(), 1u);
}

TEST(MeasurementTest, BecomeActiveWithoutInternalBlocklistDoesNothing) {
  EngineHarness h;
  auto engine = h.Open();
  h.clock().advance(30 * 86400);
  h.log().clear();
  h.center.post(ZIVApplicationDidBecomeActiveNotification());
  h.Drain();
  EXPECT_TRUE(h.log().withCode(23143).empty());
}

TEST(MeasurementTest, NetworkLogLevels) {
  EngineHarness h;
  auto engine = h.Open();
  const std::pair<int64_t, int64_t> cases[] = {{3, 1}, {4, 4}, {5, 3}, {6, 6},
                                               {7, 7}, {0, 3}, {9, 3}};
  for (const auto& [network, monitor] : cases) {
    h.log().clear();
    engine->ZUZOzurivi_logWithLevel(network, 777, "net", fnd::Value("ctx"));
    auto entries = h.log().withCode(777);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, monitor) << network;
  }
}

// Anything asked of the class while the shared instance is being made (here the facade, asked
// for the version) gets an answer instead of waiting on the class's own mutex. Runs in a child
// process: the shared instance lives as long as its process.
TEST(MeasurementTest, ProspectiveConsentAtStartUp) {
  const fnd::Dictionary denied{{"ad_storage", "denied"}};
  const fnd::Dictionary granted{{"ad_storage", "granted"}};
  struct Case {
    const char* what;
    std::optional<fnd::Dictionary> tcf, thirdParty, onStart;
    int64_t sourceBefore;  // 100: none yet.
    int64_t sourceAfter;
    bool adStorageDenied;
    bool persisted;
  } cases[] = {
      {"start options", std::nullopt, std::nullopt, denied, 100, 40, true, true},
      {"TCF alone", denied, std::nullopt, std::nullopt, 100, 5, true, true},
      {"TCF beside a third party: the third party", denied, granted, std::nullopt, 100, 10, false,
       true},
      {"third party alone", std::nullopt, denied, std::nullopt, 100, 10, true, true},
      {"start options lose to consent set through the interface", std::nullopt, std::nullopt,
       denied, 30, 30, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EngineHarness h;
    h.facade->tcfConsent = c.tcf;
    h.facade->thirdPartyConsent = c.thirdParty;
    h.facade->startConsent = c.onStart;
    if (c.sourceBefore != 100) {
      h.consent.setConsentSettings(granted);
      h.consent.setConsentSource(c.sourceBefore);
    }
    h.Open();
    EXPECT_EQ(h.consent.consentSource(), c.sourceAfter);
    EXPECT_EQ(h.consent.isAdStorageDenied(), c.adStorageDenied);
    ASSERT_EQ(h.facade->persistedConsent.size(), c.persisted ? 1u : 0u);
    if (c.persisted) {
      EXPECT_EQ(h.facade->persistedConsent[0].second, c.sourceAfter);
    }
    // The start-up consent is dropped once the engine has taken it.
    EXPECT_FALSE(h.facade->startConsent.has_value());
  }
}

TEST(MeasurementTest, WithoutFacadeOrAttributionTheEngineStartsAndStores) {
  // The absent components are made afresh at each use; the engine must hold them while it uses
  // them (it once kept only a reference to a temporary one).
  EngineHarness h;
  h.facade = nullptr;
  h.attribution = nullptr;
  ASSERT_TRUE(h.Open());
  EXPECT_TRUE(h.engine->didInitializeComponents());
  h.Log("purchase", {{"currency", "USD"}, {"value", 1.5}});
  h.Log("level_up");
  auto names = h.RawEventNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "purchase"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "level_up"), names.end());
}

TEST(MeasurementDeathTest, CreationNeverReentersTheClassMutex) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        fnd::ScopedTestHome home;
        class AskingFacade : public ZIVMeasurementFacade {
         public:
          bool isPublicInterfacePresent() const override { return true; }
          std::optional<std::string> topLevelVersion() const override {
            asked = ZIVMeasurement::hasSharedInstance() || ZIVMeasurement::sharedInstance() || true;
            return std::string("120500000");
          }
          mutable bool asked = false;
        };
        auto facade = std::make_shared<AskingFacade>();
        ZIVMeasurementComponents components;
        components.facade = facade;
        ZIVMeasurementInstallComponents(components);
        ZIVMeasurement::initializeSharedInstanceWithAppID("1:1:ios:1", false, false, {});
        const bool ok = facade->asked && ZIVMeasurement::hasSharedInstance();
        ZIVMeasurement::sharedInstance()->scheduler()->dispatchSyncOnWorkerQueueBlockID("t", [] {});
        ZIVMeasurement::monitor()->flush();
        _exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace

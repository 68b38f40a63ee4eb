// What the engine records at start-up, and what a later launch on the same home keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analytics/engine/measurement_test_support.h"

namespace {

using measurement_test::EngineHarness;
using measurement_test::IntParameter;
using measurement_test::kLaunchTime;
using measurement_test::StringParameter;

std::shared_ptr<ZIVEvent> First(EngineHarness& h, const std::string& name) {
  for (const auto& raw : h.RawEvents()) {
    if (raw->rawEvent()->name() == name) return raw->rawEvent();
  }
  return nullptr;
}

TEST(MeasurementStartupEventsTest, FirstLaunchAt102030) {
  EngineHarness h;
  h.sharedDefaults().setObject(fnd::Value("https://quellmark.example/open?utm_source=x"),
                               "/rivado/measurement/deep_link");
  h.sharedDefaults().setObject(fnd::Value(kLaunchTime - 100),
                               "/rivado/measurement/deep_link_timestamp_seconds");
  h.Open();
  // 10:20:30 -> the next full hour, 11:00:00.
  auto fot = h.UserProperty("_fot");
  ASSERT_NE(fot, nullptr);
  EXPECT_EQ(fot->value()->int64Value(), 1699959600000);
  EXPECT_EQ(fot->lastSetTimestamp(), kLaunchTime);
  auto fi = h.UserProperty("_fi");
  ASSERT_NE(fi, nullptr);
  EXPECT_EQ(fi->value()->int64Value(), 0);

  EXPECT_EQ(h.RawEventNames(), (std::vector<std::string>{"_f", "_s", "_e"}));
  auto firstOpen = First(h, "_f");
  EXPECT_EQ(firstOpen->origin(), "auto");
  EXPECT_EQ(firstOpen->timestamp(), kLaunchTime);
  EXPECT_EQ(IntParameter(*firstOpen, "_pfo"), 0);
  EXPECT_EQ(IntParameter(*firstOpen, "_uwa"), 1);
  EXPECT_EQ(IntParameter(*firstOpen, "_elt"), 1699957230000);
  EXPECT_FALSE(IntParameter(*firstOpen, "_dac").has_value());
  EXPECT_TRUE(firstOpen->isConversion());
  EXPECT_EQ(IntParameter(*First(h, "_e"), "_et"), 1);

  EXPECT_EQ(h.config().firstOpenTimestampMilliseconds(), 1699957230000);
  EXPECT_EQ(h.engine->previousFirstOpenCount(), std::optional<std::string>("1"));
  EXPECT_EQ(h.config().loadTimestampValue(), std::nullopt);
  // The campaign stored at launch, with the unrounded first-open time less 1 as click time.
  ASSERT_EQ(h.attribution->openedURLs.size(), 1u);
  EXPECT_EQ(h.attribution->openedURLs[0].click, 1699957229999);
  EXPECT_EQ(h.attribution->openedURLs[0].url, "https://quellmark.example/open?utm_source=x");
  EXPECT_EQ(h.attribution->openedURLs[0].extra.get(fnd::Value("_cc")).asInt(), 1699956000000);
}

TEST(MeasurementStartupEventsTest, StaleStoredCampaignIsNotSet) {
  EngineHarness h;
  h.attribution->cacheExpired = true;
  h.sharedDefaults().setObject(fnd::Value("https://quellmark.example/x"),
                               "/rivado/measurement/deep_link");
  h.Open();
  ASSERT_FALSE(h.attribution->openedURLs.empty());
  const auto& opened = h.attribution->openedURLs.back();
  EXPECT_EQ(opened.url, "(not set)");
  EXPECT_EQ(opened.extra, (fnd::Dictionary{{"utm_source", "(not set)"},
                                           {"utm_medium", "(not set)"},
                                           {"_cc", fnd::Value::Int64(1)}}));
  EXPECT_EQ(h.attribution->lastTTL, 604800);
}

// A later launch on the same home keeps the app instance ID, the user properties and the
// first-open state; only the first launch writes "_f".
TEST(MeasurementStartupEventsTest, ASecondLaunchOnTheSameHomeKeepsItsState) {
  EngineHarness h;
  h.Open();
  h.SetUserProperty("app", "color", ZIVValue::initWithString(std::string("red")));
  const std::optional<std::string> appInstanceID = h.config().appInstanceID();
  ASSERT_TRUE(appInstanceID.has_value());
  h.Close();

  h.clock().advance(3600);
  h.facade->load = h.Now();
  h.Open();
  EXPECT_EQ(h.config().appInstanceID(), appInstanceID);
  EXPECT_EQ(h.identity()->appInstanceID(), appInstanceID);
  EXPECT_EQ(h.UserProperty("color")->value()->stringValue(), "red");
  EXPECT_EQ(h.UserProperty("_fot")->value()->int64Value(), 1699959600000);
  int firstOpens = 0;
  for (const auto& name : h.RawEventNames()) firstOpens += name == "_f";
  EXPECT_EQ(firstOpens, 1);
  EXPECT_EQ(h.engine->previousFirstOpenCount(), std::optional<std::string>("1"));
}

TEST(MeasurementStartupEventsTest, BackgroundLaunchWithAnExpiredSessionRemovesItsProperties) {
  EngineHarness h;
  h.Open();
  ASSERT_NE(h.UserProperty("_sid"), nullptr);
  const size_t events = h.RawEvents().size();
  // A normal launch in the background whose stored session has expired.
  h.sessions->active = false;
  h.sessions->reporter->expired = true;
  h.sessions->reporter->startNew = true;
  h.OnWorker([&] { h.engine->reportFirstOpenOnWorkerQueue(); });
  EXPECT_EQ(h.UserProperty("_sid"), nullptr);
  EXPECT_EQ(h.UserProperty("_sno"), nullptr);
  EXPECT_EQ(h.RawEvents().size(), events);  // No session start.
}

TEST(MeasurementStartupEventsTest, AppAndOSUpdates) {
  EngineHarness h;
  h.Open();
  // First launch: the versions are stored, no update events.
  EXPECT_EQ(h.config().appVersion(), std::optional<std::string>("2.0"));
  EXPECT_EQ(h.config().osVersion(), std::optional<std::string>("14.1"));
  EXPECT_TRUE(h.facade->internalEvents.empty());
  h.Close();
  h.beforeOpen = [](ZIVPersistedConfig& config) { config.setAppVersion(std::string("1.0")); };
  h.osVersion = "15.0";
  h.Open();
  std::lock_guard<std::mutex> lock(h.facade->mu);
  ASSERT_EQ(h.facade->internalEvents.size(), 2u);
  EXPECT_EQ(h.facade->internalEvents[0].name, "_au");
  EXPECT_EQ(h.facade->internalEvents[0].parameters, (fnd::Dictionary{{"_pv", "1.0"}}));
  EXPECT_EQ(h.facade->internalEvents[1].name, "_ou");
  EXPECT_EQ(h.facade->internalEvents[1].parameters, (fnd::Dictionary{{"_po", "14.1"}}));
}

TEST(MeasurementStartupEventsTest, ClearedAdPersonalizationRemovesNPA) {
  EngineHarness h;
  h.beforeOpen = [](ZIVPersistedConfig& config) {
    config.setAllowPersonalizedAds(fnd::Value(false));
  };
  h.Open();
  ASSERT_NE(h.UserProperty("_npa"), nullptr);
  EXPECT_EQ(h.UserProperty("_npa")->value()->int64Value(), 1);
  h.config().setAllowPersonalizedAds(std::nullopt);
  h.consent.clearAllSettings();
  h.OnWorker([&] { h.engine->setPersonalizedAdsUserPropertyOnWorkerQueue(); });
  EXPECT_EQ(h.UserProperty("_npa"), nullptr);
  ExpectLogged(h.log(), 4, 23180, "No value set for personalized ads. Removing user property.");
}

TEST(MeasurementStartupEventsTest, SessionNumberIsBackfilledFromSessionStarts) {
  EngineHarness h;
  h.Open();
  h.config().setSessionNumber(0);
  h.OnWorker([&] {
    auto aggregates = ZIVEventAggregates::initWithName("_s", 4, 0, 0, 0);
    ASSERT_TRUE(h.engine->database()->updateEventAggregates(*aggregates));
    h.engine->backfillSessionNumber();
  });
  EXPECT_EQ(h.config().sessionNumber(), 4);
}

}  // namespace

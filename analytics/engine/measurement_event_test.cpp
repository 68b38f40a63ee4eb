// The event road on a real database: entry, default parameters, pipeline stages, daily caps and
// the raw event rows with their metadata.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "analytics/engine/measurement_test_support.h"
#include "analytics/proto/field_accessors.h"
#include "analytics/proto/messages.h"
#include "analytics/script/script_test_support.h"

namespace {

using measurement_test::EngineHarness;
using measurement_test::ErrorEventCapture;
using measurement_test::IntParameter;
using measurement_test::StringParameter;

// Raw events of one name.
std::vector<std::shared_ptr<ZIVRawEventData>> Named(EngineHarness& h, const std::string& name) {
  std::vector<std::shared_ptr<ZIVRawEventData>> out;
  for (const auto& raw : h.RawEvents()) {
    if (raw->rawEvent()->name() == name) out.push_back(raw);
  }
  return out;
}

TEST(MeasurementEventTest, StoredRowCarriesTheEventMessage) {
  EngineHarness h;
  h.Open();
  h.clock().advance(2.5);
  h.log().clear();
  h.Log("level_up", {{"level", 7}, {"character", "mage"}, {"score", 2.5}});
  auto rows = Named(h, "level_up");
  ASSERT_EQ(rows.size(), 1u);
  const ZIVEvent& event = *rows[0]->rawEvent();
  EXPECT_EQ(event.origin(), "app");
  EXPECT_DOUBLE_EQ(event.timestamp(), measurement_test::kLaunchTime + 2.5);
  EXPECT_EQ(IntParameter(event, "level"), 7);
  EXPECT_EQ(StringParameter(event, "character"), "mage");
  EXPECT_EQ(StringParameter(event, "_o"), "app");
  // The wire form: timestamp in milliseconds, the parameters in name order.
  auto proto = event.protoEvent();
  EXPECT_EQ(NANOGetInt64(proto.get(), APMPBEvent::kTimestampMillis), 1699957232500);
  EXPECT_EQ(NANOGetString(proto.get(), APMPBEvent::kName), "level_up");
  auto params = NANOGetArray(proto.get(), APMPBEvent::kParams, &APMPBEventParam::messageClass());
  ASSERT_TRUE(params.has_value());
  std::vector<std::string> names;
  for (const auto& p : *params) {
    names.push_back(*NANOGetString(p.recordAs<NANOMessageBase>().get(), APMPBEventParam::kName));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"_o", "character", "level", "score"}));
  ExpectLogged(h.log(), 7, 23072, "Event logged. Event name, event params");
  EXPECT_EQ(h.facade->notifiedNames().back(), "level_up");
}

TEST(MeasurementEventTest, DefaultParametersMergeAndClear) {
  EngineHarness h;
  auto engine = h.Open();
  auto set = [&](std::optional<fnd::Dictionary> parameters) {
    engine->setDefaultEventParameters(std::move(parameters));
    h.Drain();
    return h.config().defaultEventParameters().value_or(fnd::Dictionary{});
  };
  EXPECT_EQ(set(fnd::Dictionary{{"a", 1}}), (fnd::Dictionary{{"a", 1}}));
  EXPECT_EQ(set(fnd::Dictionary{{"b", 2}}), (fnd::Dictionary{{"a", 1}, {"b", 2}}));
  EXPECT_EQ(set(fnd::Dictionary{{"a", nullptr}}), (fnd::Dictionary{{"b", 2}}));
  EXPECT_TRUE(set(std::nullopt).empty());
}

TEST(MeasurementEventTest, DefaultParametersRefuseBadKeysAndValues) {
  EngineHarness h;
  auto engine = h.Open();
  ErrorEventCapture errors;
  fnd::Dictionary given;
  given.set(5, "five");
  given.set("list", fnd::Array{1, 2});
  given.set("ok", "yes");
  given.set("_internal", 1);
  engine->setDefaultEventParameters(given);
  h.Drain();
  EXPECT_EQ(h.config().defaultEventParameters(), (fnd::Dictionary{{"ok", "yes"}}));
  ExpectLogged(h.log(), 4, 23212, "Invalid key in default event parameters. Parameter ignored.");
  ExpectLogged(h.log(), 4, 23213, "Invalid key in default event parameters. Parameter ignored.");
  EXPECT_EQ(h.log().withCode(23214).size(), 2u);  // The key 5 and "_internal".
  EXPECT_EQ(errors.codes(), std::vector<int64_t>{27});
}

TEST(MeasurementEventTest, DefaultParametersAreCappedAtTheServerMaximum) {
  EngineHarness h;
  auto engine = h.Open();
  ErrorEventCapture errors;
  fnd::Dictionary given;
  for (int i = 0; i < 120; ++i) given.set("p" + std::to_string(i), i);
  engine->setDefaultEventParameters(given);
  h.Drain();
  EXPECT_EQ(h.config().defaultEventParameters()->size(), 100u);
  ExpectLogged(h.log(), 4, 23215,
               "Too many default event parameters set. Discarding beyond event parameter limit");
  EXPECT_EQ(errors.codes(), std::vector<int64_t>{26});
}

TEST(MeasurementEventTest, EventValuesWinOverDefaultsAndErrorEventsGetNone) {
  EngineHarness h;
  auto engine = h.Open();
  engine->setDefaultEventParameters(fnd::Dictionary{{"a", 1}, {"b", 1}});
  h.Drain();
  h.Log("tap", {{"a", 2}});
  auto tap = Named(h, "tap");
  ASSERT_EQ(tap.size(), 1u);
  EXPECT_EQ(IntParameter(*tap[0]->rawEvent(), "a"), 2);
  EXPECT_EQ(IntParameter(*tap[0]->rawEvent(), "b"), 1);
  h.Log("_err", {{"_err", 3}}, "auto", false);
  auto err = Named(h, "_err");
  ASSERT_EQ(err.size(), 1u);
  EXPECT_FALSE(IntParameter(*err[0]->rawEvent(), "a").has_value());
}

// Defaults set before the app logged anything of its own reach the automatic events stored
// since start, but not events stored before.
TEST(MeasurementEventTest, DefaultsBackfillAutomaticEventsOfThisRun) {
  EngineHarness h;
  auto engine = h.Open();
  ASSERT_FALSE(Named(h, "_f").empty());
  engine->setDefaultEventParameters(fnd::Dictionary{{"tier", "gold"}});
  h.Drain();
  EXPECT_EQ(StringParameter(*Named(h, "_f")[0]->rawEvent(), "tier"), "gold");
  ExpectLogged(h.log(), 7, 23272, "Updating default event parameters with backfill. Parameters");

  h.Log("tap");
  engine->setDefaultEventParameters(fnd::Dictionary{{"later", 1}});
  h.Drain();
  EXPECT_FALSE(IntParameter(*Named(h, "_f")[0]->rawEvent(), "later").has_value());
}

TEST(MeasurementEventTest, InterceptorTakesPublicEventsAndIgnoreInterceptorStoresThem) {
  EngineHarness h;
  auto engine = h.Open();
  engine->setDefaultEventParameters(fnd::Dictionary{{"d", 1}});
  h.Drain();
  std::vector<fnd::Dictionary> intercepted;
  auto interceptor = [&](const std::string&, const std::string&, const fnd::Dictionary& p, double) {
    intercepted.push_back(p);
  };
  fnd::Dictionary screen{{"_sn", "home"}, {"_si", 5}};
  engine->logEventWithOrigin("app", true, "tap", {{"x", 1}}, h.Now(), true, false, false,
                             interceptor, screen);
  h.Drain();
  ASSERT_EQ(intercepted.size(), 1u);
  EXPECT_EQ(intercepted[0], (fnd::Dictionary{{"d", 1}, {"x", 1}, {"_sn", "home"}, {"_si", 5}}));
  EXPECT_TRUE(Named(h, "tap").empty());

  engine->logEventWithOrigin("app", true, "tap", {{"x", 1}}, h.Now(), true, false, true,
                             interceptor, {});
  h.Drain();
  EXPECT_EQ(intercepted.size(), 1u);
  auto stored = Named(h, "tap");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_FALSE(IntParameter(*stored[0]->rawEvent(), "d").has_value());
}

TEST(MeasurementEventTest, AdMeasurementEventsReachNeitherInterceptorNorListeners) {
  EngineHarness h;
  auto engine = h.Open();
  int calls = 0;
  for (const char* name : {"_xa", "_xu"}) {
    engine->logEventWithOrigin("auto", false, name, {}, h.Now(), true, false, false,
                               [&](auto&&...) { ++calls; }, {});
  }
  h.Drain();
  EXPECT_EQ(calls, 0);
  for (const auto& name : h.facade->notifiedNames()) {
    EXPECT_NE(name, "_xa");
    EXPECT_NE(name, "_xu");
  }
}

TEST(MeasurementEventTest, CollectionOffStoresAndCountsNothing) {
  EngineHarness h;
  auto engine = h.Open();
  engine->setEnabled(false);
  h.Drain();
  const size_t before = h.RawEvents().size();
  const int32_t counted = h.DailyCounts().allEventsCount();
  h.Log("tap");
  EXPECT_EQ(h.RawEvents().size(), before);
  EXPECT_EQ(h.DailyCounts().allEventsCount(), counted);
  EXPECT_EQ(h.log().withCode(23049).size(), 1u);
}

TEST(MeasurementEventTest, SafelistLetsOnlyListedEventsThrough) {
  EngineHarness h;
  h.Open(true, false, {"purchase"});
  // The automatic events of the first launch were dropped.
  EXPECT_TRUE(Named(h, "_s").empty());
  EXPECT_FALSE(h.log().withCode(23174).empty());
  h.Log("purchase", {{"value", 1.5}, {"currency", "EUR"}});
  auto purchases = Named(h, "purchase");
  ASSERT_EQ(purchases.size(), 1u);
  EXPECT_EQ(IntParameter(*purchases[0]->rawEvent(), "ra_safelisted"), 1);
}

TEST(MeasurementEventTest, SubscriptionDuplicatesAreDropped) {
  EngineHarness h;
  h.Open();
  fnd::Dictionary sub{{"subscription", 1},
                      {"_did", fnd::Value::Int64(42)},
                      {"product_id", "gold"},
                      {"value", 1.0},
                      {"currency", "EUR"}};
  h.Log("_iap", sub, "auto", false);
  h.Log("_iap", sub, "auto", false);
  EXPECT_EQ(Named(h, "_iap").size(), 1u);
  ExpectLogged(h.log(), 4, 23182,
               "Event dropped. Reason: Subscription purchase is a duplicate. Product ID");
  fnd::Dictionary once = sub;
  once.set("subscription", 0);
  h.Log("_iap", once, "auto", false);
  h.Log("_iap", once, "auto", false);
  EXPECT_EQ(Named(h, "_iap").size(), 3u);
}

// A failure to trim old subscription ids is logged; the new purchase is kept.
TEST(MeasurementEventTest, FailedSubscriptionTrimKeepsTheNewPurchase) {
  EngineHarness h;
  h.Open();
  h.OnWorker([&] {
    ASSERT_EQ(sqlite3_exec(h.engine->database()->sqliteStore()->sqliteHandle(),
                           "DROP TABLE subscriptions", nullptr, nullptr, nullptr),
              SQLITE_OK);
  });
  h.Log("_iap",
        {{"subscription", 1}, {"_did", fnd::Value::Int64(7)}, {"value", 1.0}, {"currency", "EUR"}},
        "auto", false);
  EXPECT_EQ(h.log().withCode(23183).size(), 1u);
  EXPECT_EQ(h.log().withCode(23183)[0].level, 5);
  EXPECT_EQ(Named(h, "_iap").size(), 1u);
}

TEST(MeasurementEventTest, DuplicateRolloutSessionStartsAreDropped) {
  EngineHarness h;
  h.Open();
  h.Log("_ssr", {{"_ffr", "x"}}, "auto", false);
  EXPECT_EQ(h.config().zudiroruFeatureRollouts(), std::optional<std::string>("x"));
  h.Log("_ssr", {{"_ffr", "x"}}, "auto", false);
  ExpectLogged(h.log(), 8, 23191, "Feature rollouts value is a duplicate, dropping event");
  h.Log("_ssr", {}, "auto", false);
  EXPECT_EQ(h.config().zudiroruFeatureRollouts(), std::nullopt);
  EXPECT_EQ(Named(h, "_ssr").size(), 2u);
}

TEST(MeasurementEventTest, AllEventsCapDropsAndCountsAndLogsOnMultiplesOf1000) {
  EngineHarness h;
  h.Open();
  h.SetServerSettings({{"measurement.upload.max_events_per_day", "0"}});
  const int32_t before = h.DailyCounts().allEventsCount();
  ASSERT_GT(before, 0);  // The first launch's events.
  h.log().clear();
  h.Log("tap");
  h.Log("tap");
  EXPECT_TRUE(Named(h, "tap").empty());
  EXPECT_EQ(h.DailyCounts().allEventsCount(), before + 2);
  // Only the excess that is a multiple of 1000 logs; with the limit at 0 that excess is the
  // counter itself.
  EXPECT_EQ(h.log().withCode(23055).size(), 0u);
}

TEST(MeasurementEventTest, AllEventsCapLogsWhenTheExcessIsAMultipleOf1000) {
  EngineHarness h;
  h.Open();
  const int32_t stored = h.DailyCounts().allEventsCount();
  h.SetServerSettings({{"measurement.upload.max_events_per_day", std::to_string(stored)}});
  h.log().clear();
  h.Log("tap");
  ExpectLogged(h.log(), 1, 23055, "Data loss. Too many events logged. Name, limit");
  h.Log("tap");
  EXPECT_EQ(h.log().withCode(23055).size(), 1u);
}

TEST(MeasurementEventTest, PublicCapDropsWithErrorEvent16AndNestedItemsCount) {
  EngineHarness h;
  h.Open();
  ErrorEventCapture errors;
  h.SetServerSettings({{"measurement.upload.max_public_events_per_day", "1"}});
  fnd::Array items{fnd::Dictionary{{"item_id", "a"}}, fnd::Dictionary{{"item_id", "b"}},
                   fnd::Dictionary{{"item_id", "c"}}};
  const ZIVDailyCounts start = h.DailyCounts();
  h.Log("view_item_list", {{"items", items}});
  ZIVDailyCounts afterFirst = h.DailyCounts();
  EXPECT_EQ(afterFirst.allEventsCount(), start.allEventsCount() + 4);
  EXPECT_EQ(afterFirst.publicEventsCount(), start.publicEventsCount() + 4);
  h.Log("tap");
  ZIVDailyCounts afterSecond = h.DailyCounts();
  EXPECT_TRUE(Named(h, "tap").empty());
  EXPECT_EQ(afterSecond.allEventsCount(), afterFirst.allEventsCount());
  EXPECT_EQ(afterSecond.publicEventsCount(), afterFirst.publicEventsCount() + 1);
  EXPECT_EQ(errors.codes(), std::vector<int64_t>{16});
}

TEST(MeasurementEventTest, ConversionsLoseRealTimeOnlyWhenSubjectToTheCap) {
  EngineHarness h;
  h.Open();
  h.OnWorker([&] {
    auto counts = h.engine->database()->dailyCounts();
    ZIVDailyCounts full(counts->day(), 0, counts->allEventsCount(), counts->publicEventsCount(), 0,
                        10, 0);
    ASSERT_TRUE(h.engine->database()->updateDailyCounts(full));
  });
  h.Log("purchase", {{"value", 1.0}, {"currency", "EUR"}});
  h.Log("_iap", {{"value", 1.0}, {"currency", "EUR"}}, "auto", false);
  bool purchaseSeen = false, iapSeen = false;
  h.OnWorker([&] {
    auto rows = h.engine->database()->sqliteStore()->recordsForQuery(
        "SELECT name, is_realtime FROM raw_events WHERE name IN ('purchase', '_iap')", {});
    ASSERT_TRUE(rows.has_value());
    for (const auto& row : *rows) {
      const std::string name = row.get(fnd::Value("name")).asString();
      const int64_t realtime = row.get(fnd::Value("is_realtime")).asInt();
      if (name == "purchase") {
        purchaseSeen = true;
        EXPECT_EQ(realtime, 0);
      } else {
        iapSeen = true;
        EXPECT_EQ(realtime, 1);
      }
    }
  });
  EXPECT_TRUE(purchaseSeen);
  EXPECT_TRUE(iapSeen);
  auto purchase = Named(h, "purchase");
  ASSERT_EQ(purchase.size(), 1u);
  EXPECT_TRUE(purchase[0]->rawEvent()->isConversion());
}

TEST(MeasurementEventTest, TheDistinctPublicNameAfterTheLimitIsRefused) {
  EngineHarness h;
  h.Open();
  ErrorEventCapture errors;
  h.OnWorker([&] {
    ZIVDatabase& db = *h.engine->database();
    ASSERT_TRUE(db.performTransaction([&] {
      for (int i = 0; i < 1999; ++i) {
        auto aggregates = ZIVEventAggregates::initWithName("e" + std::to_string(i), 0, 0, 0, 0);
        if (!db.updateEventAggregates(*aggregates)) return false;
      }
      return true;
    }));
  });
  h.Log("name_2000");
  EXPECT_EQ(Named(h, "name_2000").size(), 1u);
  h.Log("name_2001");
  EXPECT_TRUE(Named(h, "name_2001").empty());
  ExpectLogged(h.log(), 1, 23065, "Cannot set event. Reached limit on set events. Name");
  EXPECT_EQ(errors.codes(), std::vector<int64_t>{8});
  h.Log("_new_internal", {}, "auto", false);
  EXPECT_EQ(Named(h, "_new_internal").size(), 1u);
}

TEST(MeasurementEventTest, EventsShareMetadataUntilAUserPropertyChanges) {
  EngineHarness h;
  h.Open();
  h.Log("a");
  h.Log("b");
  h.SetUserProperty("app", "color", ZIVValue::initWithString(std::string("red")));
  h.Log("c");
  const auto a = Named(h, "a")[0]->metadataFingerprint();
  const auto b = Named(h, "b")[0]->metadataFingerprint();
  const auto c = Named(h, "c")[0]->metadataFingerprint();
  EXPECT_EQ(a, b);
  EXPECT_NE(b, c);
  h.OnWorker([&] {
    auto metadata = h.engine->database()->queryRawEventsMetadataWithFingerprint(c);
    ASSERT_NE(metadata, nullptr);
    EXPECT_EQ(NANOGetString(metadata.get(), APMPBMeasurementBundle::kPlatform), "macos");
    EXPECT_EQ(NANOGetInt32(metadata.get(), APMPBMeasurementBundle::kFormatVersion), 1);
    EXPECT_EQ(NANOGetString(metadata.get(), APMPBMeasurementBundle::kAppStore), "manual_install");
    EXPECT_EQ(NANOGetString(metadata.get(), APMPBMeasurementBundle::kAppVersion), "2.0");
    EXPECT_EQ(NANOGetString(metadata.get(), APMPBMeasurementBundle::kOsVersion), "14.1");
    EXPECT_EQ(NANOGetInt64(metadata.get(), APMPBMeasurementBundle::kLibraryVersion), 120500);
    auto properties = NANOGetArray(metadata.get(), APMPBMeasurementBundle::kUserAttributes,
                                   &APMPBUserAttribute::messageClass());
    ASSERT_TRUE(properties.has_value());
    bool color = false;
    for (const auto& p : *properties) {
      if (NANOGetString(p.recordAs<NANOMessageBase>().get(), APMPBUserAttribute::kName) ==
          "color") {
        color = true;
      }
    }
    EXPECT_TRUE(color);
  });
}

TEST(MeasurementEventTest, StorageLimitKeepsTheNewestRows) {
  EngineHarness h;
  h.Open();
  h.SetServerSettings({{"measurement.store.max_stored_events_per_app", "3"}});
  h.Log("one");
  h.Log("two");
  h.Log("three");
  h.log().clear();
  h.Log("four");
  EXPECT_EQ(h.RawEventNames(), (std::vector<std::string>{"two", "three", "four"}));
  ExpectLogged(h.log(), 4, 23070, "Data loss. Too many events stored on disk. Deleted count");
}

TEST(MeasurementEventTest, FirstOpenCountStartsFromZeroForNonsense) {
  EngineHarness h;
  h.beforeOpen = [](ZIVPersistedConfig& config) {
    config.setPreviousFirstOpenCount(fnd::Value::Int64(-5));
  };
  h.Open();
  EXPECT_EQ(h.engine->previousFirstOpenCount(), std::optional<std::string>("1"));
}

TEST(MeasurementEventTest, FirstOpenConsentedEventOnceTheAdvertisingIDCanBeSent) {
  // The first open is stored without an advertising identifier; the first event stored with one
  // brings one real-time "_fx" at its own time.
  struct Case {
    const char* what;
    bool identifierAtFirstOpen;
    bool adStorageDeniedAtFirstOpen;
  } cases[] = {{"the identifier arrives later", false, false},
               {"ad storage is granted later", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EngineHarness h;
    const std::string idfa = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
    if (c.identifierAtFirstOpen) h.support->setIdentifier(idfa);
    if (c.adStorageDeniedAtFirstOpen) {
      h.consent.setConsentSettings(fnd::Dictionary{{"ad_storage", "denied"}});
      h.consent.setConsentSource(30);
    }
    h.Open();
    ASSERT_EQ(Named(h, "_f").size(), 1u);
    EXPECT_EQ(h.config().unmatchedFirstOpenWithoutIDFA(), 1);
    h.Log("before");  // Still no identifier: nothing matched.
    EXPECT_TRUE(Named(h, "_fx").empty());

    h.support->setIdentifier(idfa);
    h.consent.setConsentSettings(fnd::Dictionary{{"ad_storage", "granted"}});
    h.clock().advance(60);  // Past the identifier cache.
    h.Log("after");
    h.Log("later");
    auto fx = Named(h, "_fx");
    ASSERT_EQ(fx.size(), 1u);
    const ZIVEvent& event = *fx[0]->rawEvent();
    EXPECT_EQ(event.origin(), "auto");
    EXPECT_DOUBLE_EQ(event.timestamp(), Named(h, "after")[0]->rawEvent()->timestamp());
    EXPECT_TRUE(event.isRealtime());
    EXPECT_EQ(IntParameter(event, "_pfo"), 0);
    EXPECT_EQ(IntParameter(event, "_uwa"), 1);  // "_fi" is 0: not installed from the store.
    EXPECT_EQ(h.config().unmatchedFirstOpenWithoutIDFA(), 0);
    // The metadata of the matched event carries the identifier.
    std::shared_ptr<APMPBMeasurementBundle> metadata;
    h.OnWorker([&] { metadata = h.engine->createRawEventMetadataWithUserAttributes({}); });
    ASSERT_TRUE(metadata);
    EXPECT_EQ(NANOGetString(metadata.get(), APMPBMeasurementBundle::kResettableDeviceId), idfa);
    EXPECT_EQ(NANOGetString(metadata.get(), APMPBMeasurementBundle::kConsentSignals),
              h.consent.consentSignals());
  }
}

TEST(MeasurementEventTest, DebugModeMarksEventsDebugAndRealTime) {
  EngineHarness h;
  h.Open();
  h.Log("quiet");
  h.monitor().get()->setDebugModeEnabled(true);
  h.log().clear();
  h.Log("loud");
  h.monitor().get()->setDebugModeEnabled(false);
  // The rows are kept while their events are read.
  const auto quietRows = Named(h, "quiet");
  const ZIVEvent& quiet = *quietRows[0]->rawEvent();
  EXPECT_FALSE(quiet.isDebug());
  EXPECT_FALSE(quiet.isRealtime());
  const auto loudRows = Named(h, "loud");
  const ZIVEvent& loud = *loudRows[0]->rawEvent();
  EXPECT_TRUE(loud.isDebug());
  EXPECT_TRUE(loud.isRealtime());
  EXPECT_EQ(IntParameter(loud, "_dbg"), 1);
  EXPECT_EQ(IntParameter(loud, "_r"), 1);
  ExpectLogged(h.log(), 7, 23073,
               "Debug mode is enabled. Marking event as debug and real-time. Event name, "
               "parameters");
}

TEST(MeasurementEventTest, ServerProgramsEditEventsAndCreateNewOnes) {
  EngineHarness h;
  h.Open();
  // Renames every event and adds a parameter; logs one more event for each.
  const std::string program =
      "(Var \"reg\") (Assign \"reg\" (@require \"internal.registerCallback\")) "
      "(Var \"log\") (Assign \"log\" (@require \"internal.eventLogger\")) "
      "(@reg 0 (Fn \"ed\" (CreateArray \"e\") "
      "(Apply (Get \"e\") \"setEventName\" (CreateArray \"edited\")) "
      "(Apply (Get \"e\") \"setParamValue\" (CreateArray \"stage\" 2)) (Return 0)) "
      "(CreateObject \"type\" \"edit\")) "
      "(@reg 0 (Fn \"mk\" (CreateArray \"e\") "
      "(@log \"made\" 1700000000000 (CreateObject \"from_program\" 1))) "
      "(CreateObject \"type\" \"create\"))";
  auto entities = script_test::Program(program);
  ASSERT_FALSE(entities.empty());
  auto message = APMPBProgram::initWithMessageInfo(nullptr);
  fnd::Array items;
  for (const auto& entity : entities) items.emplace_back(std::shared_ptr<fnd::Record>(entity));
  NANOSetArray(message.get(), APMPBProgram::kEntities, &items);
  auto config = rc_test::Config(h.appID);
  fnd::Array programs{fnd::Value(std::shared_ptr<fnd::Record>(message))};
  NANOSetArray(config.get(), APMPBMeasurementConfig::kPrograms, &programs);
  h.OnWorker(
      [&] { ASSERT_TRUE(h.engine->remoteConfigInstance()->updateMeasurementConfig(config)); });

  h.Log("level_up", {{"level", 3}});
  auto edited = Named(h, "edited");
  ASSERT_EQ(edited.size(), 1u) << ::testing::PrintToString(h.RawEventNames());
  EXPECT_TRUE(Named(h, "level_up").empty());
  EXPECT_EQ(IntParameter(*edited[0]->rawEvent(), "level"), 3);
  // Numbers a program makes are doubles unless the input event had the name as an integer.
  auto number = [](const ZIVEvent& event, const std::string& name) -> std::optional<double> {
    auto it = event.parameters().find(name);
    if (it == event.parameters().end() || !it->second || !it->second->isDouble()) {
      return std::nullopt;
    }
    return it->second->doubleValue();
  };
  EXPECT_EQ(number(*edited[0]->rawEvent(), "stage"), 2.0);
  auto made = Named(h, "made");
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0]->rawEvent()->origin(), "app");
  EXPECT_EQ(number(*made[0]->rawEvent(), "from_program"), 1.0);
}

}  // namespace

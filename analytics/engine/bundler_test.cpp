#include "analytics/engine/bundler.h"

#include <gtest/gtest.h>

#include <limits>

#include "analytics/audiences/audience.h"
#include "analytics/audiences/audiences_test_support.h"
#include "analytics/engine/audience_bundling.h"
#include "analytics/engine/bundling_hooks.h"
#include "analytics/engine/event_sampler.h"
#include "analytics/engine/upload_test_support.h"

namespace {

using upload_test::kNow;
using Bundle = APMPBMeasurementBundle;

class BundlerTest : public upload_test::Fixture {
 protected:
  static fnd::Dictionary Params(std::initializer_list<fnd::Dictionary::Entry> entries) {
    return fnd::Dictionary(entries);
  }
};

// The hour of kNow began at 1699999200; kNow + 2800 is the next hour.
TEST_F(BundlerTest, RunsAreCutByHourFingerprintAndRowOrder) {
  const int64_t a = StoreMetadata("G111");
  const int64_t b = StoreMetadata("G111", "15.0");
  StoreEvent(Event("a", kNow), a);
  StoreEvent(Event("b", kNow + 10), a);
  StoreEvent(Event("c", kNow + 20), b);  // Another fingerprint between two rows of `a`.
  StoreEvent(Event("d", kNow + 30), a);
  StoreEvent(Event("e", kNow + 2800), a);  // Adjacent row, next clock hour.
  auto bundler = MakeBundler();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(bundler->bundleRawEvents()) << i;
  EXPECT_FALSE(bundler->bundleRawEvents());

  auto queued = Queued();
  ASSERT_EQ(queued.size(), 4u);
  struct Expected {
    std::vector<std::string> names;
    int64_t startMs, endMs;
    int32_t bundleIndex, deliveryIndex;
    int64_t previousStartMs, previousEndMs;  // 0: absent.
    std::string osVersion;
  };
  const std::vector<Expected> expected = {
      {{"a", "b"}, 1700000000000, 1700000010000, 2, 1, 0, 0, "14.1"},
      {{"c"}, 1700000020000, 1700000020000, 3, 2, 1700000000000, 1700000010000, "15.0"},
      {{"d"}, 1700000030000, 1700000030000, 4, 3, 1700000020000, 1700000020000, "14.1"},
      {{"e"}, 1700002800000, 1700002800000, 5, 4, 1700000030000, 1700000030000, "14.1"},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    const Bundle& bundle = *queued[i];
    const Expected& want = expected[i];
    EXPECT_EQ(Names(bundle), want.names) << i;
    EXPECT_EQ(NANOGetInt64(&bundle, Bundle::kStartTimestampMillis), want.startMs) << i;
    EXPECT_EQ(NANOGetInt64(&bundle, Bundle::kEndTimestampMillis), want.endMs) << i;
    EXPECT_EQ(NANOGetInt32(&bundle, Bundle::kBundleIndex), want.bundleIndex) << i;
    EXPECT_EQ(NANOGetInt32(&bundle, Bundle::kDeliveryIndex), want.deliveryIndex) << i;
    EXPECT_EQ(NANOHasField(&bundle, Bundle::kPreviousBundleStartTimestamp),
              want.previousStartMs != 0)
        << i;
    EXPECT_EQ(NANOGetInt64(&bundle, Bundle::kPreviousBundleStartTimestamp), want.previousStartMs)
        << i;
    EXPECT_EQ(NANOGetInt64(&bundle, Bundle::kPreviousBundleEndTimestamp), want.previousEndMs) << i;
    EXPECT_EQ(NANOGetString(&bundle, Bundle::kOsVersion), want.osVersion) << i;
    EXPECT_EQ(NANOGetString(&bundle, Bundle::kAppId), upload_test::kAppID) << i;
  }
  EXPECT_EQ(RawCount(), 0);
  EXPECT_EQ(Count("raw_events_metadata"), 0);
}

// Events of one name in one pass: each reads the aggregates the one before it wrote, so the
// previous times chain and the counts add up, starting from what was stored.
TEST_F(BundlerTest, AggregatesChainThroughEventsOfOneNameInAPass) {
  auto stored = ZIVEventAggregates::initWithName("a", 7, 2, 1, kNow - 100);
  ASSERT_TRUE(database_->updateEventAggregates(*stored));
  const int64_t m = StoreMetadata("G111");
  StoreEvent(Event("a", kNow), m);
  StoreEvent(Event("b", kNow + 1), m);
  StoreEvent(Event("a", kNow + 2), m);
  StoreEvent(Event("a", kNow + 3), m);
  StoreEvent(Event("b", kNow + 4), m);
  EXPECT_TRUE(MakeBundler()->bundleRawEvents());

  auto queued = Queued();
  ASSERT_EQ(queued.size(), 1u);
  const int64_t ms = static_cast<int64_t>(kNow) * 1000;  // kNow in milliseconds.
  const std::vector<std::pair<std::string, int64_t>> expected = {
      {"a", ms - 100000}, {"b", 0}, {"a", ms}, {"a", ms + 2000}, {"b", ms + 1000}};
  auto events = Events(*queued[0]);
  ASSERT_EQ(events.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(NANOGetString(events[i].get(), APMPBEvent::kName), expected[i].first) << i;
    EXPECT_EQ(NANOGetInt64(events[i].get(), APMPBEvent::kPreviousTimestampMillis),
              expected[i].second)
        << i;
  }
  auto a = database_->eventAggregatesWithName("a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->lifetimeCount(), 10);
  EXPECT_EQ(a->currentBundleCount(), 5);
  EXPECT_EQ(a->currentSessionCount(), 4);
  EXPECT_EQ(a->lastFireTimestamp(), kNow + 3);
  auto b = database_->eventAggregatesWithName("b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->lifetimeCount(), 2);
  EXPECT_EQ(b->currentBundleCount(), 2);
  EXPECT_EQ(b->lastFireTimestamp(), kNow + 4);
  // Rows in the order of each name's last event, as writing after every event leaves them.
  auto order = database_->sqliteStore()->recordsForQuery(
      "SELECT group_concat(name) AS names FROM (SELECT name FROM events ORDER BY rowid)", {});
  ASSERT_TRUE(order.has_value());
  EXPECT_EQ(order->front().get("names").asString(), "a,b");
  ASSERT_EQ(StoreMetadata("G111"), m);  // The pass deleted the metadata with its last rows.
  StoreEvent(Event("b", kNow + 5), m);
  StoreEvent(Event("c", kNow + 6), m);
  StoreEvent(Event("a", kNow + 7), m);
  EXPECT_TRUE(MakeBundler()->bundleRawEvents());
  order = database_->sqliteStore()->recordsForQuery(
      "SELECT group_concat(name) AS names FROM (SELECT name FROM events ORDER BY rowid)", {});
  EXPECT_EQ(order->front().get("names").asString(), "b,c,a");
}

// The aggregates are written after the pass's last event: a failed write still fails the whole
// bundle, and nothing of the pass stays.
TEST_F(BundlerTest, AFailedAggregatesWriteRollsBackThePass) {
  const int64_t m = StoreMetadata("G111");
  StoreEvent(Event("a", kNow, Params({{"_c", fnd::Value::Int64(1)}})), m);
  StoreEvent(Event("b", kNow + 1), m);
  StoreEvent(Event("a", kNow + 2), m);
  Exec(
      "CREATE TRIGGER fail BEFORE INSERT ON events WHEN NEW.name = 'b' BEGIN "
      "SELECT RAISE(ABORT, 'injected'); END");
  auto bundler = MakeBundler();
  EXPECT_FALSE(bundler->bundleRawEvents());
  EXPECT_EQ(logs_.withCode(23108).size(), 1u);
  EXPECT_EQ(RawCount(), 3);
  EXPECT_EQ(Count("events"), 0);
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(database_->dailyCounts()->conversionsCount(), 0);

  Exec("DROP TRIGGER fail");
  EXPECT_TRUE(bundler->bundleRawEvents());
  EXPECT_EQ(Count("events"), 2);
  EXPECT_EQ(database_->eventAggregatesWithName("a")->lifetimeCount(), 2);
  EXPECT_EQ(Queued().size(), 1u);
}

TEST_F(BundlerTest, HoursAreSixtyFourBitPastTheYear2038) {
  const double year2100 = 4102444800.0;  // 2100-01-01 00:00:00 UTC, an hour boundary.
  clock_->setWallTime(year2100 + 3600);  // Otherwise the rows would be stale.
  const int64_t fp = StoreMetadata();
  StoreEvent(Event("a", year2100 + 10), fp);
  StoreEvent(Event("b", year2100 + 3599), fp);
  StoreEvent(Event("c", year2100 + 3600), fp);
  auto bundler = MakeBundler();
  EXPECT_TRUE(bundler->bundleRawEvents());
  EXPECT_TRUE(bundler->bundleRawEvents());
  auto queued = Queued();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(Names(*queued[0]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Names(*queued[1]), (std::vector<std::string>{"c"}));
}

TEST_F(BundlerTest, SizeAndCountLimitsCutRunsButTheFirstRowAlwaysGoes) {
  Configure({{"measurement.upload.max_batch_size", "20"}});
  const int64_t fp = StoreMetadata();
  const std::string longText(90, 'x');
  StoreEvent(Event("big", kNow, Params({{"text", fnd::Value(longText)}})), fp);
  StoreEvent(Event("small", kNow + 1), fp);
  auto bundler = MakeBundler();
  EXPECT_TRUE(bundler->bundleRawEvents());
  EXPECT_TRUE(bundler->bundleRawEvents());
  auto queued = Queued();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(Names(*queued[0]), (std::vector<std::string>{"big"}));
  EXPECT_EQ(Names(*queued[1]), (std::vector<std::string>{"small"}));

  Configure({{"measurement.upload.max_events_per_bundle", "2"}});
  const int64_t fp2 = StoreMetadata("G111", "14.2");
  for (int i = 0; i < 3; ++i) StoreEvent(Event("n", kNow + 2 + i), fp2);
  bundler = MakeBundler();
  EXPECT_TRUE(bundler->bundleRawEvents());
  EXPECT_EQ(Events(*Queued().back()).size(), 2u);
}

TEST_F(BundlerTest, AllRejectedRowsAreDeletedAndNothingIsQueued) {
  Configure({}, {{"blocked_one", true, {}, {}}, {"blocked_two", true, {}, {}}});
  const int64_t fp = StoreMetadata();
  StoreEvent(Event("blocked_one", kNow), fp);
  StoreEvent(Event("blocked_two", kNow + 1), fp);
  auto bundler = MakeBundler();
  EXPECT_FALSE(bundler->bundleRawEvents());
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(RawCount(), 0);
  EXPECT_EQ(Count("raw_events_metadata"), 0);
  EXPECT_EQ(logs_.withCode(23099).size(), 2u);
  ExpectLogged(logs_, 4, 23100, "Rejected all events.");
}

TEST_F(BundlerTest, EngagementTimeAccumulatesAndSaturates) {
  const int64_t fp = StoreMetadata();
  StoreEvent(Event("_e", kNow, Params({{"_et", fnd::Value::Int64(1000)}}), "auto"), fp);
  StoreEvent(Event("_e", kNow + 1, Params({{"_et", fnd::Value::Int64(2500)}}), "auto"), fp);
  // Already reported: not counted again.
  StoreEvent(
      Event("_e", kNow + 2,
            Params({{"_et", fnd::Value::Int64(700)}, {"_fr", fnd::Value::Int64(1)}}), "auto"),
      fp);
  auto bundler = MakeBundler();
  ASSERT_TRUE(bundler->bundleRawEvents());
  auto bundle = Queued().back();
  for (const char* name : {"_lte", "_se"}) {
    auto property = Property(*bundle, name);
    ASSERT_NE(property, nullptr) << name;
    EXPECT_EQ(NANOGetInt64(property.get(), APMPBUserAttribute::kIntValue), 3500) << name;
    EXPECT_EQ(NANOGetInt64(property.get(), APMPBUserAttribute::kSetTimestampMillis), 1700000000000)
        << name;
  }
  EXPECT_EQ(database_->userAttributeWithName("_lte")->value()->int64Value(), 3500);

  // A session start clears "_se"; the lifetime total goes on. Huge sums saturate.
  const int64_t fp2 = StoreMetadata("G111", "14.2");
  StoreEvent(Event("_s", kNow + 10, {}, "auto"), fp2);
  StoreEvent(
      Event("_e", kNow + 11,
            Params({{"_et", fnd::Value::Int64(std::numeric_limits<int64_t>::max())}}), "auto"),
      fp2);
  StoreEvent(Event("_e", kNow + 12, Params({{"_et", fnd::Value::Int64(5)}}), "auto"), fp2);
  ASSERT_TRUE(bundler->bundleRawEvents());
  bundle = Queued().back();
  EXPECT_EQ(NANOGetInt64(Property(*bundle, "_lte").get(), APMPBUserAttribute::kIntValue),
            std::numeric_limits<int64_t>::max());
  EXPECT_EQ(NANOGetInt64(Property(*bundle, "_se").get(), APMPBUserAttribute::kIntValue),
            std::numeric_limits<int64_t>::max());
}

TEST_F(BundlerTest, ConversionAndRealtimeCapsPerDay) {
  Configure({{"measurement.upload.max_conversions_per_day", "1"},
             {"measurement.upload.max_realtime_events_per_day", "1"}});
  const int64_t fp = StoreMetadata();
  StoreEvent(Event("signup", kNow, Params({{"_c", fnd::Value::Int64(1)}})), fp);
  StoreEvent(Event("signup", kNow + 1, Params({{"_c", fnd::Value::Int64(1)}})), fp);
  StoreEvent(Event("_vs", kNow + 2, Params({{"_r", fnd::Value::Int64(1)}}), "auto"), fp);
  // "_f" falls under no cap: marked real-time, counters unchanged.
  StoreEvent(Event("_f", kNow + 3, Params({{"_r", fnd::Value::Int64(1)}}), "auto"), fp);
  auto bundler = MakeBundler();
  ASSERT_TRUE(bundler->bundleRawEvents());
  auto events = Events(*Queued().back());
  ASSERT_EQ(events.size(), 4u);
  // First conversion: counted, marked conversion and (under the cap) real-time.
  EXPECT_EQ(IntParam(*events[0], "_c"), 1);
  EXPECT_EQ(IntParam(*events[0], "_r"), 1);
  // Second: over the conversion cap, loses the mark; no longer a real-time candidate.
  EXPECT_EQ(IntParam(*events[1], "_c"), std::nullopt);
  EXPECT_EQ(IntParam(*events[1], "_r"), std::nullopt);
  // Over the real-time cap (the first conversion used it).
  EXPECT_EQ(IntParam(*events[2], "_r"), std::nullopt);
  EXPECT_EQ(IntParam(*events[3], "_r"), 1);
  auto counts = database_->dailyCounts();
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->conversionsCount(), 1);
  EXPECT_EQ(counts->allEventsCount(), 0);  // A counted conversion does not raise all events.
  EXPECT_EQ(counts->realtimeCount(), 1);
  EXPECT_EQ(logs_.withCode(23102).size(), 1u);
  EXPECT_EQ(logs_.withCode(23104).size(), 1u);
  EXPECT_EQ(database_->containsRealtimeBundlesWithError(), std::optional<bool>(true));
}

TEST_F(BundlerTest, PurchasesGetMicrosQuantityAndCustomerType) {
  const int64_t fp = StoreMetadata();
  StoreEvent(Event("in_app_purchase", kNow,
                   Params({{"price", fnd::Value(2.01)},
                           {"value", fnd::Value::Int64(3)},
                           {"currency", fnd::Value("EUR")}})),
             fp);
  StoreEvent(Event("_iap", kNow + 1, Params({{"validated", fnd::Value::Int64(1)}}), "auto"), fp);
  auto bundler = MakeBundler();
  ASSERT_TRUE(bundler->bundleRawEvents());
  auto events = Events(*Queued().back());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(NANOGetString(events[0].get(), APMPBEvent::kName), "_iap");
  EXPECT_EQ(IntParam(*events[0], "price"), 2010000);
  EXPECT_EQ(IntParam(*events[0], "value"), 3000000);
  EXPECT_EQ(IntParam(*events[0], "quantity"), 1);
  EXPECT_EQ(NANOGetString(Param(*events[0], "_ct").get(), APMPBEventParam::kStringValue), "new");
  EXPECT_EQ(IntParam(*events[1], "validated"), 1);  // Kept as logged.
  EXPECT_EQ(NANOGetString(Param(*events[1], "_ct").get(), APMPBEventParam::kStringValue),
            "returning");
}

TEST(SamplingDayTest, DayNumbersTruncateAndSaturate) {
  EXPECT_EQ(ZIVEventSampler::dayNumber(1700000000, 0), 19675);
  EXPECT_EQ(ZIVEventSampler::dayNumber(1700000000, -900), 19675);  // 22:13 - 15 h: same day.
  EXPECT_EQ(ZIVEventSampler::dayNumber(1699920000, -60), 19674);   // 00:00 - 1 h: day before.
  EXPECT_EQ(ZIVEventSampler::dayNumber(1e300, 0), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(ZIVEventSampler::dayNumber(-1e300, 0), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ZIVEventSampler::dayNumber(std::numeric_limits<double>::quiet_NaN(), 0), 0);
}

TEST(DecimalMicrosTest, DecimalTextTruncatesAndSaturates) {
  struct Case {
    fnd::Value value;
    std::optional<int64_t> micros;
  };
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  const Case cases[] = {
      {fnd::Value(2.01), 2010000},
      {fnd::Value(0.1), 100000},
      {fnd::Value(-1.5), -1500000},
      {fnd::Value(1.0000009), 1000000},
      {fnd::Value(1.5e-7), 0},
      {fnd::Value(1e300), max},
      {fnd::Value(-1e300), min},
      {fnd::Value(std::numeric_limits<double>::quiet_NaN()), std::nullopt},
      {fnd::Value::Int64(7), 7000000},
      {fnd::Value::Int64(max / 10), max},
      {fnd::Value("2.01"), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVDecimalValueInMicros(c.value), c.micros) << c.value.description();
  }
}

TEST_F(BundlerTest, SamplingWithAScriptedRandomSource) {
  Configure({{"measurement.event_sampling_enabled", "1"}}, {{"sampled", {}, {}, 10}});
  const int64_t fp = StoreMetadata();
  StoreEvent(Event("sampled", kNow), fp);      // Lost roll, new day: kept as exempt.
  StoreEvent(Event("sampled", kNow + 1), fp);  // Won roll.
  StoreEvent(Event("sampled", kNow + 2, Params({{"_eid", fnd::Value::Int64(77)}})),
             fp);                            // Lost roll, same day: dropped.
  StoreEvent(Event("other", kNow + 3), fp);  // No rate: never sampled.
  draws_ = {3, 0, 5};
  auto bundler = MakeBundler();
  ASSERT_TRUE(bundler->bundleRawEvents());
  auto events = Events(*Queued().back());
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(IntParam(*events[0], "_sr"), 10);
  EXPECT_EQ(IntParam(*events[0], "_efs"), 1);
  EXPECT_EQ(IntParam(*events[1], "_sr"), 10);
  EXPECT_EQ(IntParam(*events[1], "_efs"), std::nullopt);
  EXPECT_EQ(NANOGetString(events[2].get(), APMPBEvent::kName), "other");
  EXPECT_EQ(IntParam(*events[2], "_sr"), std::nullopt);
  auto aggregates = database_->eventAggregatesWithName("sampled");
  ASSERT_NE(aggregates, nullptr);
  EXPECT_EQ(aggregates->lastSampledComplexEventID(), std::optional<int64_t>(77));
  EXPECT_EQ(aggregates->lastSamplingRate(), 10);
  EXPECT_TRUE(aggregates->lastExemptFromSampling());
  EXPECT_EQ(aggregates->lastBundledDay(), 19675);  // 1700000001 / 86400.
  EXPECT_EQ(aggregates->lastBundledTimestamp(), kNow + 1);
  EXPECT_EQ(database_->eventAggregatesWithName("other")->lastBundledDay(), 19675);
}

TEST_F(BundlerTest, ABundleEmptiedBySamplingIsDroppedWithItsRows) {
  Configure({{"measurement.event_sampling_enabled", "1"}}, {{"sampled", {}, {}, 10}});
  const int64_t fp = StoreMetadata();
  // The previous timestamp is on the same day, so a lost roll drops even the first event.
  auto event =
      ZIVEvent::initWithOrigin("app", false, "sampled", kNow, kNow - 60, fnd::Dictionary());
  StoreEvent(event, fp);
  draws_ = {4};
  auto bundler = MakeBundler();
  EXPECT_TRUE(bundler->bundleRawEvents());
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(RawCount(), 0);
  ExpectLogged(logs_, 5, 23159, "No events left after sampling. Dropping bundle");
}

TEST_F(BundlerTest, AFailedSamplingWriteRollsBackInsteadOfDroppingRows) {
  Configure({{"measurement.event_sampling_enabled", "1"}}, {{"sampled", {}, {}, 10}});
  const int64_t fp = StoreMetadata();
  StoreEvent(ZIVEvent::initWithOrigin("app", false, "sampled", kNow, kNow - 60, fnd::Dictionary()),
             fp);
  // Sampling stores rate 10 in the aggregates; that write fails.
  for (const char* when : {"INSERT", "UPDATE"}) {
    Exec(std::string("CREATE TRIGGER fail_") + when + " BEFORE " + when +
         " ON events WHEN NEW.last_sampling_rate = 10 BEGIN SELECT RAISE(ABORT, 'injected'); END");
  }
  draws_ = {4};
  auto bundler = MakeBundler();
  EXPECT_FALSE(bundler->bundleRawEvents());
  EXPECT_EQ(RawCount(), 1);
  EXPECT_EQ(Count("events"), 0);  // The aggregates written before sampling are rolled back.
  EXPECT_TRUE(Queued().empty());
}

TEST_F(BundlerTest, AnInjectedDatabaseErrorChangesNothing) {
  const int64_t fp = StoreMetadata("G100");  // Analytics storage denied in the bundle.
  StoreEvent(Event("a", kNow, Params({{"_c", fnd::Value::Int64(1)}})), fp);
  StoreEvent(Event("_e", kNow + 1, Params({{"_et", fnd::Value::Int64(10)}}), "auto"), fp);
  Exec("CREATE TRIGGER fail BEFORE INSERT ON queue BEGIN SELECT RAISE(ABORT, 'injected'); END");
  auto metadataBefore = database_->queryAppMetadata();
  int afterCommit = 0;
  ZIVBundlerEnvironment environment = BundlerEnvironment();
  environment.afterCommit = [&] { ++afterCommit; };  // The engine's "_npa" refresh.
  auto bundler = std::make_unique<ZIVBundler>(environment);
  EXPECT_FALSE(bundler->bundleRawEvents());
  EXPECT_EQ(afterCommit, 0);
  EXPECT_EQ(logs_.withCode(23115).size(), 1u);
  EXPECT_EQ(RawCount(), 2);
  EXPECT_EQ(Count("raw_events_metadata"), 1);
  EXPECT_EQ(Count("events"), 0);
  EXPECT_EQ(database_->userAttributeWithName("_lte"), nullptr);
  EXPECT_EQ(database_->dailyCounts()->conversionsCount(), 0);
  auto metadataAfter = database_->queryAppMetadata();
  EXPECT_EQ(metadataAfter->lastBundleIndex(), metadataBefore->lastBundleIndex());
  EXPECT_EQ(metadataAfter->lastDeliveryIndex(), metadataBefore->lastDeliveryIndex());
  // Kept outside the database, yet only after a commit.
  EXPECT_EQ(persisted_->previousBundledConsentSignals(), std::nullopt);

  Exec("DROP TRIGGER fail");
  EXPECT_TRUE(bundler->bundleRawEvents());
  EXPECT_EQ(afterCommit, 1);
  EXPECT_EQ(persisted_->previousBundledConsentSignals(), std::optional<std::string>("G100"));
  EXPECT_EQ(Queued().size(), 1u);
}

TEST_F(BundlerTest, UnusableRowsAreDeletedInsteadOfStallingBundling) {
  // A raw row whose metadata is missing.
  StoreEvent(Event("orphan", kNow), 12345);
  // An undecodable first row of a fingerprint with metadata.
  const int64_t fp = StoreMetadata();
  StoreEvent(Event("victim", kNow + 1), fp);
  Exec("UPDATE raw_events SET data = x'ffff' WHERE name = 'victim'");
  StoreEvent(Event("good", kNow + 2), fp);
  auto bundler = MakeBundler();
  EXPECT_TRUE(bundler->bundleRawEvents());  // Orphan and its (absent) metadata gone.
  EXPECT_EQ(logs_.withCode(23098).size(), 1u);
  EXPECT_TRUE(bundler->bundleRawEvents());  // The undecodable row gone.
  EXPECT_TRUE(bundler->bundleRawEvents());  // The good row bundled.
  EXPECT_FALSE(bundler->bundleRawEvents());
  auto queued = Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(Names(*queued[0]), (std::vector<std::string>{"good"}));
  EXPECT_EQ(RawCount(), 0);
}

TEST_F(BundlerTest, UndecodableMetadataIsDeletedWithItsRows) {
  const int64_t fp = StoreMetadata();
  StoreEvent(Event("a", kNow), fp);
  Exec("UPDATE raw_events_metadata SET metadata = x'ff01'");
  auto bundler = MakeBundler();
  EXPECT_TRUE(bundler->bundleRawEvents());
  EXPECT_EQ(RawCount(), 0);
  EXPECT_EQ(Count("raw_events_metadata"), 0);
  EXPECT_FALSE(bundler->bundleRawEvents());
}

}  // namespace

namespace {

using Bundle = APMPBMeasurementBundle;
using upload_test::kNow;

using audience_test::Audience;
using audience_test::EventFilter;

class BundlerAudienceTest : public upload_test::Fixture {};

TEST_F(BundlerAudienceTest, BundlesCarryAudienceResultsUnlessAnalyticsStorageIsDenied) {
  auto audience = ZIVAudience::initWithDatabase(database_);
  ASSERT_NE(audience, nullptr);
  fnd::Array definitions{
      fnd::Value(std::static_pointer_cast<fnd::Record>(Audience(7, {EventFilter(1, "level_up")})))};
  ASSERT_TRUE(audience->updateAudiences(definitions));
  ZIVBundlerEnvironment environment = BundlerEnvironment();
  environment.audiences = std::make_shared<ZIVAudienceBundlingHooks>(audience);
  ZIVBundler bundler(environment);

  const int64_t fp = StoreMetadata();
  StoreEvent(Event("level_up", kNow), fp);
  ASSERT_TRUE(bundler.bundleRawEvents());
  auto results = NANOGetArray(Queued().back().get(), Bundle::kAudienceEvaluationResults,
                              &APMPBAudienceLeafFilterResult::messageClass());
  ASSERT_TRUE(results);
  ASSERT_EQ(results->size(), 1u);
  auto leaf = (*results)[0].recordAs<APMPBAudienceLeafFilterResult>();
  EXPECT_EQ(NANOGetInt32(leaf.get(), APMPBAudienceLeafFilterResult::kAudienceId), 7);

  // Denied analytics storage: no evaluation and no results, but aggregates still count.
  consent_.setConsentSettings(
      fnd::Dictionary{{fnd::Value("analytics_storage"), fnd::Value("denied")}});
  StoreEvent(Event("level_up", kNow + 1), StoreMetadata("G100"));
  ASSERT_TRUE(bundler.bundleRawEvents());
  EXPECT_FALSE(NANOHasField(Queued().back().get(), Bundle::kAudienceEvaluationResults) &&
               !NANOGetArray(Queued().back().get(), Bundle::kAudienceEvaluationResults,
                             &APMPBAudienceLeafFilterResult::messageClass())
                    ->empty());
  EXPECT_EQ(database_->eventAggregatesWithName("level_up")->lifetimeCount(), 2);
}

}  // namespace

#include "analytics/storage/database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "analytics/engine/event.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/proto/messages.h"
#include "analytics/proto/test_support.h"
#include "analytics/storage/storage_test_support.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/security/gzip.h"

namespace {

using ziv_storage_test::LogCapture;
using ziv_storage_test::TempHome;

constexpr const char* kName = "analytics-test.sql";
constexpr double kNow = 1700000000.0;

class TestSettings : public ZIVDatabaseSettings {
 public:
  int64_t maxEventsStored() const override { return maxEvents; }
  double maxQueueTime() const override { return queueTime; }
  double databaseDeleteStaleBundlesInterval() const override { return sweepInterval; }

  int64_t maxEvents = 100000;
  double queueTime = 2419200;
  double sweepInterval = 86400;
};

std::shared_ptr<ZIVEvent> MakeEvent(const std::string& name, double timestamp,
                                    ZIVEvent::Parameters parameters = {}) {
  return ZIVEvent::initWithOrigin("app", false, name, timestamp, 0, parameters);
}

std::shared_ptr<APMPBMeasurementBundle> MakeBundle(const std::string& appID, int64_t endMillis,
                                                   int events = 0) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  if (!appID.empty()) NANOSetString(bundle.get(), APMPBMeasurementBundle::kAppId, appID);
  if (endMillis) NANOSetInt64(bundle.get(), APMPBMeasurementBundle::kEndTimestampMillis, endMillis);
  fnd::Array list;
  for (int i = 0; i < events; ++i) {
    list.push_back(fnd::Value(std::static_pointer_cast<fnd::Record>(
        MakeEvent("e" + std::to_string(i), kNow)->protoEvent())));
  }
  NANOSetArray(bundle.get(), APMPBMeasurementBundle::kEvents, &list);
  return bundle;
}

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<dispatch::ManualClock>(kNow);
    settings_ = std::make_shared<TestSettings>();
    config_ = ZIVPersistedConfig::create("com.rivado.measurement.test", clock_);
    ASSERT_NE(config_, nullptr);
    db_ = Open();
    ASSERT_NE(db_, nullptr);
  }

  std::shared_ptr<ZIVDatabase> Open(fnd::Error* error = nullptr) {
    return ZIVDatabase::initWithDatabaseName(kName, config_, error, {settings_, clock_});
  }
  std::string Path() const { return ZIVFilePathForDatabaseName(kName); }
  ZIVSqliteStore& Store() { return *db_->sqliteStore(); }
  int64_t Count(const std::string& table) {
    return Store().rowCountForTableWithName(table).value_or(-1);
  }
  void Exec(const std::string& sql) { ASSERT_TRUE(Store().executeSQL(sql)) << sql; }

  TempHome home_;
  LogCapture logs_;
  std::shared_ptr<dispatch::ManualClock> clock_;
  std::shared_ptr<TestSettings> settings_;
  std::shared_ptr<ZIVPersistedConfig> config_;
  std::shared_ptr<ZIVDatabase> db_;
};

// ---- Creation and schema.

TEST_F(DatabaseTest, OpenCreatesEveryTableAndOneAppMetadataRow) {
  for (const char* table :
       {"app_metadata", "raw_events_metadata", "raw_events", "events", "user_attributes", "queue",
        "event_filters", "property_filters", "audience_filter_values", "purchase_transactions",
        "subscriptions", "conditional_properties", "main_event_params", "odm_values"}) {
    EXPECT_EQ(Store().tableExists(table), std::optional<bool>(true)) << table;
  }
  EXPECT_EQ(Store().columnInfoForTableWithName("raw_events")->at("timestamp"), "REAL");
  db_.reset();
  db_ = Open();
  ASSERT_NE(db_, nullptr);
  EXPECT_EQ(Count("app_metadata"), 1);
  auto metadata = db_->queryAppMetadata();
  ASSERT_TRUE(metadata.has_value());
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
  EXPECT_EQ(metadata->lastDeliveryIndex(), 0);
}

TEST_F(DatabaseTest, EmptyNameIsRefused) {
  fnd::Error error;
  EXPECT_EQ(ZIVDatabase::initWithDatabaseName("", config_, &error), nullptr);
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Received empty database name in init");
}

TEST_F(DatabaseTest, OlderFilesAreMigrated) {
  db_.reset();
  std::filesystem::remove(Path());
  {
    auto store = ZIVSqliteStore::initWithDatabasePath(Path());
    ASSERT_NE(store, nullptr);
    // A file of an older version: INTEGER timestamps and none of the add-on columns.
    ASSERT_TRUE(store->executeSQL(
        "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
        "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL)"));
    ASSERT_TRUE(store->executeSQL(
        "INSERT INTO raw_events VALUES ('a', 1700000000, 7, x'01'), ('b', 1700000001, 7, x'02')"));
    ASSERT_TRUE(
        store->executeSQL("CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, "
                          "last_bundle_end_timestamp REAL NOT NULL)"));
    ASSERT_TRUE(store->executeSQL("INSERT INTO app_metadata VALUES (41, 5.0)"));
  }
  db_ = Open();
  ASSERT_NE(db_, nullptr);
  EXPECT_EQ(Store().columnInfoForTableWithName("raw_events")->at("timestamp"), "REAL");
  auto rows = Store().recordsForQuery(
      "SELECT name, timestamp, is_realtime FROM raw_events "
      "ORDER BY rowid",
      {});
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ((*rows)[1].get("name"), fnd::Value("b"));
  EXPECT_TRUE((*rows)[1].get("timestamp").isDouble());
  EXPECT_EQ((*rows)[1].get("timestamp").asDouble(), 1700000001.0);
  EXPECT_TRUE((*rows)[1].get("is_realtime").isNull());
  // The old app-metadata row is kept; its missing columns read as 0.
  EXPECT_EQ(Count("app_metadata"), 1);
  auto metadata = db_->queryAppMetadata();
  ASSERT_TRUE(metadata.has_value());
  EXPECT_EQ(metadata->lastBundleIndex(), 41);
  EXPECT_EQ(metadata->lastDeliveryIndex(), 0);
  auto counts = db_->dailyCounts();
  ASSERT_TRUE(counts.has_value());
  EXPECT_EQ(counts->allEventsCount(), 0);
}

TEST_F(DatabaseTest, UnusableFilesAreRecreatedOnceAndLogged) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> spoil;
    int64_t logCode;
    bool firstOpenFails;
  };
  const std::vector<Case> cases = {
      {"garbage bytes",
       [](const std::string& path) {
         std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(8192, '\x5a');
       },
       34010, false},
      {"truncated file",
       [](const std::string& path) {
         std::filesystem::resize_file(path, std::filesystem::file_size(path) / 3);
       },
       34010, false},
      {"unknown NOT NULL column",
       [](const std::string& path) {
         auto store = ZIVSqliteStore::initWithDatabasePath(path);
         ASSERT_TRUE(store->executeSQL("ALTER TABLE queue RENAME TO queue_gone"));
         ASSERT_TRUE(store->executeSQL(
             "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, "
             "owner TEXT NOT NULL)"));
       },
       12002, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    db_.reset();
    std::filesystem::remove(Path());
    db_ = Open();
    ASSERT_NE(db_, nullptr);
    ASSERT_TRUE(db_->performTransaction([&] {
      for (int i = 0; i < 200; ++i) {
        if (!db_->insertRawEvent(MakeEvent("e", kNow), 1, false)) return false;
      }
      return true;
    }));
    db_.reset();
    c.spoil(Path());
    logs_.clear();
    fnd::Error error;
    db_ = Open(&error);
    if (c.firstOpenFails) {
      EXPECT_EQ(db_, nullptr);
      EXPECT_FALSE(std::filesystem::exists(Path()));
      db_ = Open(&error);  // The engine's second attempt.
    }
    ASSERT_NE(db_, nullptr) << error.description();
    auto lines = logs_.withCode(c.logCode);
    ASSERT_FALSE(lines.empty());
    if (c.logCode == 12002) {
      EXPECT_EQ(lines[0].message, "Failed to create or validate required database tables (Init)");
      EXPECT_TRUE(logs_.has(12047));
    }
    EXPECT_EQ(Count("raw_events"), 0);
    EXPECT_EQ(Count("app_metadata"), 1);
    EXPECT_TRUE(db_->insertRawEvent(MakeEvent("e", kNow), 1, false));
  }
}

TEST_F(DatabaseTest, ResetLeavesAnEmptySchemaWithFreshMetadata) {
  ASSERT_TRUE(db_->insertRawEvent(MakeEvent("e", kNow), 1, false));
  auto metadata = *db_->queryAppMetadata();
  metadata.increaseLastBundleIndex(5);
  ASSERT_TRUE(db_->updateAppMetadata(metadata));
  ASSERT_TRUE(db_->reset());
  EXPECT_EQ(Count("raw_events"), 0);
  EXPECT_EQ(db_->queryAppMetadata()->lastBundleIndex(), 0);
}

TEST_F(DatabaseTest, UpsertWithATableLimit) {
  const ZIVDatabase::Row row{{"name", "a"}, {"set_timestamp", 1.0}, {"value", "v"}};
  struct Case {
    int64_t limit;
    int existingRows;
    const char* key;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {-1, 3, "new", true}, {3, 3, "new", false}, {3, 3, "k1", true},
      {4, 3, "new", true},  {0, 0, "new", false}, {0, 1, "k0", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.limit) + "/" + std::to_string(c.existingRows) + "/" + c.key);
    ASSERT_TRUE(Store().deleteAllRecordsFromTableWithName("odm_values"));
    for (int i = 0; i < c.existingRows; ++i) {
      ZIVDatabase::Row existing = row;
      existing.set("name", "k" + std::to_string(i));
      ASSERT_TRUE(db_->upsertDataType(existing, "odm_values", "name", existing.get("name"), -1));
    }
    ZIVDatabase::Row write = row;
    write.set("name", c.key);
    write.set("value", "written");
    fnd::Error error;
    EXPECT_EQ(db_->upsertDataType(write, "odm_values", "name", fnd::Value(c.key), c.limit, &error),
              c.allowed);
    if (!c.allowed) {
      EXPECT_EQ(error.code(), 2);
      EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
    } else {
      EXPECT_EQ(db_->ODMValueWithName(c.key)->get("value"), fnd::Value("written"));
    }
  }
}

TEST_F(DatabaseTest, GenericOperationsCheckTheirArguments) {
  fnd::Error error;
  EXPECT_FALSE(db_->upsertDataType({}, "odm_values", "name", fnd::Value("a"), -1, &error));
  EXPECT_EQ(error.localizedDescription(), "Received empty data type to upsert");
  EXPECT_FALSE(db_->updateDataType(ZIVDatabase::Row{{"value", "v"}}, "odm_values", "name",
                                   fnd::Value("none"), &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "Failed to update record. Item doesn't exist");
  EXPECT_FALSE(db_->insertDataType({}, "odm_values", &error));
  EXPECT_EQ(error.localizedDescription(), "Failed to insert empty record");
  auto none = db_->allDataTypesFromTableWithName<int>("events", 10, &error, nullptr);
  EXPECT_FALSE(none.has_value());
  EXPECT_EQ(error.localizedDescription(), "Received nil block to get all data types");
  EXPECT_FALSE(db_->performTransaction([] { return false; }));
  auto line = logs_.withCode(12056);
  ASSERT_EQ(line.size(), 1u);
  EXPECT_EQ(line[0].message, "Transaction failed. Transaction failed");
}

// ---- App metadata.

TEST_F(DatabaseTest, BookkeepingIndicesWrap) {
  auto metadata = ZIVAppMetadata::initWithLastBundleIndex(2147483640, 2147483647, 1, 2);
  ASSERT_TRUE(metadata.has_value());
  metadata->increaseLastBundleIndex(5);
  EXPECT_EQ(metadata->lastBundleIndex(), 2147483645);
  metadata->increaseLastBundleIndex(10);
  EXPECT_EQ(metadata->lastBundleIndex(), 9);
  metadata->incrementLastDeliveryIndex();
  EXPECT_EQ(metadata->lastDeliveryIndex(), 0);
  EXPECT_TRUE(logs_.has(4001));
  EXPECT_TRUE(logs_.has(4002));
  EXPECT_FALSE(ZIVAppMetadata::initWithLastBundleIndex(-1, 0, 0, 0).has_value());
  EXPECT_TRUE(logs_.has(4000));
  ASSERT_TRUE(db_->updateAppMetadata(*metadata));
  auto stored = db_->queryAppMetadata();
  EXPECT_EQ(stored->lastBundleIndex(), 9);
  EXPECT_EQ(stored->lastBundleEndTimestamp(), 2.0);
}

TEST_F(DatabaseTest, DailyCountsBelongToToday) {
  const double offset = config_->midnightOffset();
  const auto today = static_cast<int32_t>(std::floor((kNow - offset) / 86400));
  auto counts = db_->dailyCounts();
  ASSERT_TRUE(counts.has_value());
  EXPECT_EQ(counts->day(), today);
  counts->incrementCountsForCurrentDay(today, true, true, 3);
  counts->incrementErrorEventsCountForCurrentDay(today);
  counts->incrementRealtimeCountsForCurrentDay(today);
  ASSERT_TRUE(db_->updateDailyCounts(*counts));
  EXPECT_EQ(*db_->dailyCounts(), ZIVDailyCounts(today, 1, 4, 3, 1, 1, 0));
  clock_->advance(86400);
  EXPECT_EQ(*db_->dailyCounts(), ZIVDailyCounts(today + 1, 0, 0, 0, 0, 0, 0));
  ZIVDailyCounts zero;
  zero.decrementAllEventsCount();
  EXPECT_EQ(zero.allEventsCount(), 0);
}

// ---- Raw events.

TEST_F(DatabaseTest, RawEventsRoundTripByFingerprint) {
  ASSERT_TRUE(db_->insertRawEvent(
      MakeEvent("level_up", kNow + 0.25, {{"level", ZIVValue::initWithInt64(7)}}), 11, true));
  ASSERT_TRUE(db_->insertRawEvent(MakeEvent("other", kNow + 1), 22, false));
  ASSERT_TRUE(db_->insertRawEvent(MakeEvent("third", kNow + 2), 11, false));
  EXPECT_EQ(db_->nextMetadataFingerprintToProcess(), std::optional<int64_t>(11));
  EXPECT_EQ(db_->queryLatestRawEventTime(), std::optional<double>(kNow + 2));
  EXPECT_EQ(db_->containsRealtimeRawEventsWithError(), std::optional<bool>(true));
  EXPECT_EQ(db_->containsRawEventWithMetadataFingerprint(22), std::optional<bool>(true));
  EXPECT_EQ(db_->isRawEventsTableEmpty(), std::optional<bool>(false));

  fnd::Error error;
  auto events = db_->rawEventsWithMetadataFingerprint(11, &error);
  ASSERT_TRUE(events.has_value()) << error.description();
  ASSERT_EQ(events->size(), 2u);
  const ZIVEvent& first = *(*events)[0]->rawEvent();
  EXPECT_EQ(first.name(), "level_up");
  EXPECT_EQ(first.origin(), "app");
  EXPECT_EQ(first.timestamp(), kNow + 0.25);
  EXPECT_TRUE(first.parameters().at("level")->isEqual(*ZIVValue::initWithInt64(7)));
  EXPECT_EQ((*events)[0]->metadataFingerprint(), 11);
  // The stored message does not repeat the name.
  auto data = Store().recordsForQuery("SELECT data FROM raw_events WHERE rowid = ?",
                                      {fnd::Value::Int64((*events)[0]->rowID())});
  auto stored = APMPBEvent::initWithBuffer(*(*data)[0].get("data").data());
  EXPECT_FALSE(NANOHasField(stored.get(), APMPBEvent::kName));

  auto filtered = db_->rawEventsWithMetadataFingerprint(
      11, nullptr, [](size_t index, const ZIVDatabase::Row&) { return index < 1; });
  EXPECT_EQ(filtered->size(), 1u);

  ZIVRawEventData changed((*events)[1]->rawEvent(), (*events)[1]->rowID(), 11);
  auto renamed = MakeEvent("renamed", kNow + 3);
  ASSERT_TRUE(db_->updateRawEvent(ZIVRawEventData(renamed, (*events)[1]->rowID(), 11)));
  EXPECT_EQ((*db_->rawEventsWithMetadataFingerprint(11, nullptr))[1]->rawEvent()->name(),
            "renamed");
  EXPECT_EQ(db_->allRawEventsWithError()->size(), 3u);
}

TEST_F(DatabaseTest, RawEventRowsWithoutAStringOriginDoNotConvert) {
  auto event = MakeEvent("e", kNow)->protoEvent();
  fnd::Array params;
  auto origin = APMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(origin.get(), APMPBEventParam::kName, fnd::Value("_o"));
  NANOSetInt64(origin.get(), APMPBEventParam::kIntValue, 4);
  params.push_back(fnd::Value(std::static_pointer_cast<fnd::Record>(origin)));
  struct Case {
    const char* name;
    std::optional<fnd::Data> data;
    const char* text;
  };
  auto withIntOrigin = APMPBEvent::initWithMessageInfo(nullptr);
  NANOSetArray(withIntOrigin.get(), APMPBEvent::kParams, &params);
  const std::vector<Case> cases = {
      {"no origin", APMPBEvent::initWithMessageInfo(nullptr)->protoBuffer(),
       "Cannot create an event from database. Missing origin parameter"},
      {"integer origin", withIntOrigin->protoBuffer(),
       "Cannot create an event from database. Origin parameter is not a string"},
      {"garbage", fnd::Data{0xff, 0xff, 0xff},
       "Cannot create an event from database. Unable to parse event data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fnd::Error error;
    ZIVDatabase::Row row{{"rowid", 1},
                         {"name", "e"},
                         {"timestamp", kNow},
                         {"metadata_fingerprint", 5},
                         {"data", fnd::Value(*c.data)}};
    EXPECT_EQ(db_->rawEventDataFromDictionary(row, &error), nullptr);
    EXPECT_EQ(error.localizedDescription(), c.text);
  }
  // A fingerprint whose only rows do not convert answers no events.
  ASSERT_TRUE(db_->insertDataType({{"name", "e"},
                                   {"timestamp", kNow},
                                   {"metadata_fingerprint", 9},
                                   {"data", fnd::Value(fnd::Data{0xff, 0xff})}},
                                  "raw_events"));
  fnd::Error error;
  EXPECT_FALSE(db_->rawEventsWithMetadataFingerprint(9, &error).has_value());
  EXPECT_EQ(error.code(), 3);
}

TEST_F(DatabaseTest, RawEventRowsReadTheSameOnBothRoads) {
  // The plain bytes the store writes are read directly; bytes with a parameter of another shape
  // (a float) take the message's road. Both give the same event, and the same refusal.
  auto plain = *MakeEvent("e", kNow, {{"n", ZIVValue::initWithInt64(3)}})->encodedProtoEvent(false);
  fnd::Data withFloat = plain;
  for (int byte : {0x0a, 0x08, 0x0a, 0x01, int{'f'}, 0x25, 0x00, 0x00, 0x80, 0x3f}) {
    withFloat.push_back(static_cast<uint8_t>(byte));
  }
  for (const fnd::Data& data : {plain, withFloat}) {
    SCOPED_TRACE(data.size());
    ZIVDatabase::Row row{{"rowid", 4},
                         {"name", "level_up"},
                         {"timestamp", kNow + 0.5},
                         {"metadata_fingerprint", 5},
                         {"data", fnd::Value(data)}};
    fnd::Error error;
    auto raw = db_->rawEventDataFromDictionary(row, &error);
    ASSERT_NE(raw, nullptr) << error.description();
    EXPECT_EQ(raw->rowID(), 4);
    EXPECT_EQ(raw->rawEvent()->name(), "level_up");
    EXPECT_EQ(raw->rawEvent()->timestamp(), kNow + 0.5);
    EXPECT_EQ(raw->rawEvent()->origin(), "app");
    EXPECT_TRUE(raw->rawEvent()->parameters().at("n")->isEqual(*ZIVValue::initWithInt64(3)));
    EXPECT_EQ(raw->rawEvent()->parameters().count("f"), 0u);  // A float is no event value.

    row.set("name", "bad name");
    error = fnd::Error();
    EXPECT_EQ(db_->rawEventDataFromDictionary(row, &error), nullptr);
    EXPECT_EQ(error.localizedDescription(), "Cannot create an event from database. Invalid event");
  }
}

// The bundler's walk over the rows of a fingerprint converts each row as its record converts,
// whatever the row holds, and ends at the row limit without converting that row.
TEST_F(DatabaseTest, VisitedRawEventRowsConvertAsTheirRecords) {
  auto plain = *MakeEvent("e", kNow, {{"n", ZIVValue::initWithInt64(3)}})->encodedProtoEvent(false);
  fnd::Data withFloat = plain;
  for (int byte : {0x0a, 0x08, 0x0a, 0x01, int{'f'}, 0x25, 0x00, 0x00, 0x80, 0x3f}) {
    withFloat.push_back(static_cast<uint8_t>(byte));
  }
  const std::vector<ZIVDatabase::Row> rows = {
      {{"name", "plain"}, {"timestamp", kNow + 0.5}, {"data", fnd::Value(plain)}},
      {{"name", "float"}, {"timestamp", kNow}, {"data", fnd::Value(withFloat)}},
      {{"name", "whole"},
       {"timestamp", fnd::Value::Int64(1700000001)},
       {"data", fnd::Value(plain)}},
      {{"name", "text_time"}, {"timestamp", "later"}, {"data", fnd::Value(plain)}},
      {{"name", fnd::Value::Int64(5)}, {"timestamp", kNow}, {"data", fnd::Value(plain)}},
      {{"name", "bad name"}, {"timestamp", kNow}, {"data", fnd::Value(plain)}},
      {{"name", "garbage"}, {"timestamp", kNow}, {"data", fnd::Value(fnd::Data{0xff, 0xff})}},
      {{"name", "empty"}, {"timestamp", kNow}, {"data", fnd::Value(fnd::Data())}},
      {{"name", "text_data"}, {"timestamp", kNow}, {"data", "bytes"}},
  };
  for (ZIVDatabase::Row row : rows) {
    row.set("metadata_fingerprint", 31);
    ASSERT_TRUE(db_->insertDataType(row, "raw_events"));
  }
  auto records = Store().recordsForQuery(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = 31 ORDER BY rowid", {});
  ASSERT_TRUE(records.has_value());
  ASSERT_EQ(records->size(), rows.size());
  auto describe = [](const std::shared_ptr<ZIVRawEventData>& raw, const fnd::Error& error) {
    if (!raw) return "refused: " + error.localizedDescription();
    const ZIVEvent& event = *raw->rawEvent();
    auto bytes = event.encodedProtoEvent(true);
    return std::to_string(raw->rowID()) + " " + std::to_string(raw->metadataFingerprint()) + " " +
           event.name() + " " + std::to_string(event.timestamp()) + " " +
           std::to_string(bytes ? bytes->size() : 0) + " " +
           fnd::Value(bytes.value_or(fnd::Data())).description();
  };
  std::vector<std::string> visited;
  fnd::Error error;
  ASSERT_TRUE(db_->visitRawEventsWithMetadataFingerprint(
      31, rows.size(), &error,
      [&](size_t index, int64_t rowID, std::shared_ptr<ZIVRawEventData> raw,
          const fnd::Error& conversionError) {
        EXPECT_EQ(rowID, (*records)[index].get("rowid").asInt()) << index;
        visited.push_back(describe(raw, conversionError));
        return true;
      }))
      << error.description();
  ASSERT_EQ(visited.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    fnd::Error conversionError;
    auto raw = db_->rawEventDataFromDictionary((*records)[i], &conversionError);
    EXPECT_EQ(visited[i], describe(raw, conversionError)) << i;
  }
  EXPECT_NE(visited[0].rfind("refused", 0), 0u);
  EXPECT_EQ(visited[6].rfind("refused", 0), 0u);

  // The limit ends the walk at the row of its index, which is not converted.
  std::vector<size_t> seen;
  ASSERT_TRUE(db_->visitRawEventsWithMetadataFingerprint(
      31, 2, nullptr,
      [&](size_t index, int64_t, std::shared_ptr<ZIVRawEventData>, const fnd::Error&) {
        seen.push_back(index);
        return true;
      }));
  EXPECT_EQ(seen, (std::vector<size_t>{0, 1}));
}

TEST_F(DatabaseTest, QueuedBundlesSkipUnreadableRowsAndStopAtTheSizeLimit) {
  // Rows: A, garbage, B, C. The garbage is skipped wherever it lies; the walk stops at the first
  // readable bundle over the size limit.
  std::vector<size_t> sizes;
  auto add = [&](int events) {
    auto bundle = MakeBundle("1:app", static_cast<int64_t>(kNow * 1000), events);
    sizes.push_back(bundle->protoBuffer()->size());
    ASSERT_TRUE(db_->insertBundle(*bundle, false));
  };
  add(1);
  ASSERT_TRUE(db_->insertDataType(
      {{"data", fnd::Value(fnd::Data{1, 2, 3})}, {"bundle_end_timestamp", kNow}}, "queue"));
  add(2);
  add(3);
  struct Case {
    int64_t count;
    int64_t size;
    size_t expected;
  };
  const std::vector<Case> cases = {
      {10, static_cast<int64_t>(sizes[0]), 1},
      {10, static_cast<int64_t>(sizes[0] + sizes[1]), 2},
      {10, static_cast<int64_t>(sizes[0] + sizes[1] + sizes[2]), 3},
      {2, 1 << 20, 1},  // The garbage row counts towards the row limit.
      {3, 1 << 20, 2},
  };
  for (const Case& c : cases) {
    auto bundles = db_->queryBundlesWithCountLimit(c.count, c.size);
    ASSERT_TRUE(bundles.has_value());
    EXPECT_EQ(bundles->size(), c.expected) << c.count << "/" << c.size;
  }
}

TEST_F(DatabaseTest, RawEventLimitsAndStaleData) {
  settings_->maxEvents = 4;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(
        db_->insertRawEvent(MakeEvent("e" + std::to_string(i), kNow - i * 1000.0), 1, false));
  }
  // The newest maxEventsStored - 1 rows stay, making room for one more.
  EXPECT_EQ(db_->deleteRawEventsOverAbsoluteLimit(), std::optional<int64_t>(3));
  auto names = Store().recordsForQuery("SELECT name FROM raw_events ORDER BY rowid", {});
  ASSERT_EQ(names->size(), 3u);
  EXPECT_EQ((*names)[0].get("name"), fnd::Value("e3"));
  fnd::Error error;
  EXPECT_FALSE(db_->deleteStaleRawEventsDataOlderThanMaxAge(-1, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Cannot delete stale raw events given negative time period");
  ASSERT_TRUE(db_->deleteStaleRawEventsDataOlderThanMaxAge(4500));
  EXPECT_EQ(Count("raw_events"), 2);
  ASSERT_TRUE(db_->deleteRawEventsWithMaxRowID(4));
  EXPECT_EQ(Count("raw_events"), 1);
}

TEST_F(DatabaseTest, TheRawEventTrimCountsRowsNotTheSpanOfTheirIds) {
  settings_->maxEvents = 4;  // Keeps the newest 3.
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(db_->insertRawEvent(MakeEvent("e" + std::to_string(i), kNow), 1, false));
  }
  // Rows 1, 4 and 8 are left: their ids span 8, but only 3 rows are there.
  Exec("DELETE FROM raw_events WHERE rowid NOT IN (1, 4, 8)");
  EXPECT_EQ(db_->deleteRawEventsOverAbsoluteLimit(), std::optional<int64_t>(0));
  EXPECT_EQ(Count("raw_events"), 3);
  // One more row: the oldest goes, whatever the gaps.
  ASSERT_TRUE(db_->insertRawEvent(MakeEvent("e8", kNow), 1, false));
  EXPECT_EQ(db_->deleteRawEventsOverAbsoluteLimit(), std::optional<int64_t>(1));
  auto rows = Store().recordsForQuery("SELECT rowid AS id FROM raw_events ORDER BY rowid", {});
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ((*rows)[0].get("id").asInt(), 4);
  // An empty table and a limit of 0 or less.
  Exec("DELETE FROM raw_events");
  EXPECT_EQ(db_->deleteRawEventsOverAbsoluteLimit(), std::optional<int64_t>(0));
  ASSERT_TRUE(db_->insertRawEvent(MakeEvent("e9", kNow), 1, false));
  settings_->maxEvents = 0;
  EXPECT_EQ(db_->deleteRawEventsOverAbsoluteLimit(), std::optional<int64_t>(1));
  EXPECT_EQ(Count("raw_events"), 0);
}

TEST_F(DatabaseTest, TheRawEventTrimDeletesWhatTheWholeTableStatementDeletes) {
  // Each fixture keeps the rowids listed; the trim must leave what
  // "DELETE ... WHERE rowid IN (SELECT rowid ... ORDER BY rowid DESC LIMIT -1 OFFSET limit - 1)"
  // leaves on the same rows.
  struct Fixture {
    const char* what;
    std::vector<int64_t> rowids;
  };
  const std::vector<Fixture> fixtures = {
      {"dense", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {"a gap at the old end", {1, 7, 8, 9, 10, 11, 12}},
      {"a gap at the new end", {1, 2, 3, 4, 5, 50}},
      {"gaps everywhere", {3, 9, 10, 27, 28, 29, 100, 1000, 1001}},
      {"one row", {42}},
      {"empty", {}},
  };
  for (const Fixture& f : fixtures) {
    for (int64_t limit : {-3, 0, 1, 2, 3, 5, 9, 10, 11, 20}) {
      Exec("DELETE FROM raw_events WHERE 1");
      for (int64_t rowid : f.rowids) {
        Exec(
            "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, "
            "is_realtime) VALUES (" +
            std::to_string(rowid) + ", 'e', 1, 1, x'00', 0)");
      }
      auto remaining = [&] {
        std::vector<int64_t> ids;
        auto rows =
            Store().recordsForQuery("SELECT rowid AS id FROM raw_events ORDER BY rowid", {});
        for (const auto& row : rows.value_or(std::vector<fnd::Dictionary>{})) {
          ids.push_back(row.get("id").asInt());
        }
        return ids;
      };
      Exec("SAVEPOINT old_statement");
      Exec(
          "DELETE FROM raw_events WHERE rowid IN (SELECT rowid FROM raw_events ORDER BY rowid "
          "DESC LIMIT -1 OFFSET " +
          std::to_string(limit - 1) + ")");
      const std::vector<int64_t> expected = remaining();
      Exec("ROLLBACK TO old_statement");
      Exec("RELEASE old_statement");
      settings_->maxEvents = limit;
      const std::optional<int64_t> deleted = db_->deleteRawEventsOverAbsoluteLimit();
      ASSERT_TRUE(deleted.has_value()) << f.what << ", limit " << limit;
      EXPECT_EQ(remaining(), expected) << f.what << ", limit " << limit;
      EXPECT_EQ(*deleted, static_cast<int64_t>(f.rowids.size() - expected.size()))
          << f.what << ", limit " << limit;
    }
  }
}

TEST_F(DatabaseTest, RawEventMetadataIsStoredOncePerFingerprint) {
  auto bundle = MakeBundle("1:app", 0);
  NANOSetString(bundle.get(), APMPBMeasurementBundle::kPlatform, fnd::Value("macos"));
  ASSERT_TRUE(db_->insertIfNotExistsRawEventMetadata(*bundle));
  ASSERT_TRUE(db_->insertIfNotExistsRawEventMetadata(*bundle));
  EXPECT_EQ(Count("raw_events_metadata"), 1);
  const auto fingerprint = static_cast<int64_t>(ziv_64LSBMD5(*bundle->protoBuffer()));
  auto stored = db_->queryRawEventsMetadataWithFingerprint(fingerprint);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(NANOGetString(stored.get(), APMPBMeasurementBundle::kPlatform), "macos");
  fnd::Error error;
  EXPECT_EQ(db_->queryRawEventsMetadataWithFingerprint(fingerprint + 1, &error), nullptr);
  EXPECT_EQ(error.code(), 3);
  ASSERT_TRUE(db_->insertRawEvent(MakeEvent("e", kNow), fingerprint, false));
  ASSERT_TRUE(db_->insertIfNotExistsRawEventMetadata(*MakeBundle("2:other", 0)));
  ASSERT_TRUE(db_->deleteUnusedRawEventsMetadata());
  EXPECT_EQ(Count("raw_events_metadata"), 1);
  ASSERT_TRUE(db_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint));
  EXPECT_EQ(Count("raw_events_metadata"), 0);
}

// ---- Upload queue.

TEST_F(DatabaseTest, BundlesWithoutTheirKeyFieldsAreRefused) {
  struct Case {
    const char* text;
    std::shared_ptr<APMPBMeasurementBundle> bundle;
  };
  const std::vector<Case> cases = {
      {"Failed to insert nil bundle", APMPBMeasurementBundle::initWithMessageInfo(nullptr)},
      {"Failed to insert bundle without App ID", MakeBundle("", 5000)},
      {"Failed to insert bundle without valid timestamp", MakeBundle("1:app", 0)},
      {"Failed to insert bundle without valid timestamp", MakeBundle("1:app", -5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    fnd::Error error;
    EXPECT_FALSE(db_->insertBundle(*c.bundle, false, &error));
    EXPECT_EQ(error.localizedDescription(), c.text);
  }
  EXPECT_EQ(Count("queue"), 0);
}

TEST_F(DatabaseTest, QueuedBundlesAreCompressedAndReadWithinTheSizeLimit) {
  std::vector<size_t> sizes;
  for (int i = 0; i < 4; ++i) {
    auto bundle = MakeBundle("1:app", static_cast<int64_t>(kNow * 1000) + i, i + 1);
    sizes.push_back(bundle->protoBuffer()->size());
    ASSERT_TRUE(db_->insertBundle(*bundle, i == 2));
  }
  auto stored = Store().recordsForQuery("SELECT data, retry_count FROM queue LIMIT 1", {});
  EXPECT_TRUE(security::IsGzipped(*(*stored)[0].get("data").data()));
  EXPECT_EQ((*stored)[0].get("retry_count").asInt(), 0);
  EXPECT_EQ(db_->containsRealtimeBundlesWithError(), std::optional<bool>(true));
  EXPECT_NEAR(*db_->queryLatestBundleTime(), kNow + 0.003, 1e-6);

  struct Case {
    int64_t count;
    int64_t size;
    size_t expected;
  };
  const std::vector<Case> cases = {
      {10, 0, 1},  // The first bundle is always taken.
      {10, static_cast<int64_t>(sizes[0] + sizes[1]), 2},
      {10, static_cast<int64_t>(sizes[0] + sizes[1] + sizes[2] - 1), 2},
      {3, 1 << 20, 3},
  };
  for (const Case& c : cases) {
    auto bundles = db_->queryBundlesWithCountLimit(c.count, c.size);
    ASSERT_TRUE(bundles.has_value());
    EXPECT_EQ(bundles->size(), c.expected) << c.count << "/" << c.size;
  }
  auto all = *db_->queryBundlesWithCountLimit(10, 1 << 20);
  EXPECT_EQ(NANOGetString(all[3].first.get(), APMPBMeasurementBundle::kAppId), "1:app");

  // A row that does not inflate is skipped, not fatal.
  ASSERT_TRUE(db_->insertDataType(
      {{"data", fnd::Value(fnd::Data{1, 2, 3})}, {"bundle_end_timestamp", kNow}}, "queue"));
  EXPECT_EQ(db_->queryBundlesWithCountLimit(10, 1 << 20)->size(), 4u);

  ASSERT_TRUE(db_->deleteBundlesWithRowIDs({all[0].second, all[1].second}));
  auto byID = db_->queryBundlesWithRowIDs({all[2].second, all[3].second, all[0].second});
  EXPECT_EQ(byID->size(), 2u);
}

TEST_F(DatabaseTest, BundlesReadForUploadAreTheRowsOfTheFullDecode) {
  // Rows: a bundle as the encoder writes it; the same fields with the events after the rest (it
  // decodes to the same message but is not in the encoder's form); a bundle whose one event is
  // broken; garbage; a bundle without events as the encoder writes it.
  const int64_t end = static_cast<int64_t>(kNow * 1000);
  auto full = MakeBundle("1:app", end, 3);
  NANOSetString(full.get(), APMPBMeasurementBundle::kOsVersion, "14.1");
  ASSERT_TRUE(db_->insertBundle(*full, false));
  auto rest = MakeBundle("1:app", end);
  NANOSetString(rest.get(), APMPBMeasurementBundle::kOsVersion, "14.1");
  fnd::Data reordered = *rest->protoBuffer();
  for (int i = 0; i < 3; ++i) {
    const fnd::Data event = *MakeEvent("e" + std::to_string(i), kNow)->protoEvent()->protoBuffer();
    reordered.push_back(0x12);
    APMPAppendVarint(&reordered, event.size());
    reordered.insert(reordered.end(), event.begin(), event.end());
  }
  ASSERT_TRUE(db_->insertBundle(*rest, reordered, false));
  fnd::Data broken = *rest->protoBuffer();
  for (int b : {0x12, 0x02, 0x0a, 0x05}) broken.push_back(static_cast<uint8_t>(b));
  ASSERT_TRUE(db_->insertBundle(*rest, broken, false));
  ASSERT_TRUE(db_->insertDataType(
      {{"data", fnd::Value(fnd::Data{1, 2, 3})}, {"bundle_end_timestamp", kNow}}, "queue"));
  ASSERT_TRUE(db_->insertBundle(*rest, false));
  Exec("UPDATE queue SET retry_count = 2 WHERE rowid IN (1, 2)");

  struct Case {
    int64_t count;
    int64_t size;
  };
  const size_t size = full->protoBuffer()->size();
  for (const Case& c : std::vector<Case>{{10, 1 << 20},
                                         {10, static_cast<int64_t>(size)},
                                         {4, 1 << 20},
                                         {10, static_cast<int64_t>(2 * size)}}) {
    SCOPED_TRACE(std::to_string(c.count) + "/" + std::to_string(c.size));
    NanoLogCapture fullLog;
    auto decoded = db_->queryBundlesWithCountLimit(c.count, c.size);
    const std::vector<std::string> fullLines = fullLog.lines();
    fullLog.clear();
    auto queued = db_->queryQueuedBundlesWithCountLimit(c.count, c.size);
    EXPECT_EQ(fullLog.lines(), fullLines);
    ASSERT_TRUE(decoded && queued);
    ASSERT_EQ(queued->size(), decoded->size());
    for (size_t i = 0; i < queued->size(); ++i) {
      const ZIVQueuedBundle& read = (*queued)[i];
      EXPECT_EQ(read.rowID, (*decoded)[i].second);
      // Only the bundles in the encoder's own form keep their events apart.
      EXPECT_EQ(read.events.has_value(), read.rowID == 1 || read.rowID == 5) << read.rowID;
      const fnd::Data expected = *(*decoded)[i].first->protoBuffer();
      EXPECT_EQ(Hex(*read.protoBuffer()), Hex(expected)) << read.rowID;
      EXPECT_EQ(Hex(*read.wholeBundle()->protoBuffer()), Hex(expected)) << read.rowID;
    }
  }
  // The broken bundle is refused on both roads, with the decoder's lines.
  NanoLogCapture log;
  auto rows = *db_->queryQueuedBundlesWithCountLimit(10, 1 << 20);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].rowID, 5);
  EXPECT_FALSE(log.lines().empty());
  EXPECT_EQ(NANOGetInt32(rows[0].bundle.get(), APMPBMeasurementBundle::kRetryCount), 2);
}

TEST_F(DatabaseTest, RetryCountersGrowUpToTheLimit) {
  ASSERT_TRUE(db_->insertBundle(*MakeBundle("1:app", static_cast<int64_t>(kNow * 1000)), false));
  // A row written before retry counts existed.
  ASSERT_TRUE(Store().executeSQL(
      "INSERT INTO queue (data, bundle_end_timestamp) SELECT data, bundle_end_timestamp FROM "
      "queue"));
  ASSERT_TRUE(
      Store().executeSQL("INSERT INTO queue (data, bundle_end_timestamp, retry_count) "
                         "SELECT data, bundle_end_timestamp, 2147483647 FROM queue "
                         "WHERE rowid = 1"));
  ASSERT_TRUE(db_->incrementRetryCounterForBundlesWithIDs({1, 2, 3}));
  ASSERT_TRUE(db_->incrementRetryCounterForBundlesWithIDs({1, 2}));
  auto rows = Store().recordsForQuery("SELECT retry_count FROM queue ORDER BY rowid", {});
  EXPECT_EQ((*rows)[0].get("retry_count").asInt(), 2);
  EXPECT_EQ((*rows)[1].get("retry_count").asInt(), 2);
  EXPECT_EQ((*rows)[2].get("retry_count").asInt(), 2147483647);
  auto line = logs_.withCode(12054);
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line[0].level, 1);
  auto bundles = *db_->queryBundlesWithRowIDs({1});
  EXPECT_EQ(NANOGetInt32(bundles[0].first.get(), APMPBMeasurementBundle::kRetryCount), 2);
  // A single retry is carried into the bundle too; none leaves the field unset.
  ASSERT_TRUE(Store().executeSQL("UPDATE queue SET retry_count = 1 WHERE rowid = 1"));
  bundles = *db_->queryBundlesWithRowIDs({1});
  EXPECT_TRUE(NANOHasField(bundles[0].first.get(), APMPBMeasurementBundle::kRetryCount));
  EXPECT_EQ(NANOGetInt32(bundles[0].first.get(), APMPBMeasurementBundle::kRetryCount), 1);
  ASSERT_TRUE(Store().executeSQL("UPDATE queue SET retry_count = 0 WHERE rowid = 1"));
  bundles = *db_->queryBundlesWithRowIDs({1});
  EXPECT_FALSE(NANOHasField(bundles[0].first.get(), APMPBMeasurementBundle::kRetryCount));
}

TEST_F(DatabaseTest, StaleDataIsSweptOncePerInterval) {
  const int64_t oldEnd = static_cast<int64_t>((kNow - 3000000) * 1000);
  logs_.clear();
  ASSERT_TRUE(db_->insertBundle(*MakeBundle("1:app", oldEnd), false));
  EXPECT_TRUE(logs_.has(12016));  // Older than the maximum queue time, stored all the same.
  ASSERT_TRUE(db_->insertRawEvent(MakeEvent("old", kNow - 3000000), 1, false));
  ASSERT_TRUE(db_->insertRawEvent(MakeEvent("new", kNow), 1, false));
  // The sweep ran when the bundle came in, before the old rows existed; it is not due again.
  EXPECT_EQ(db_->maybeDeleteStaleData(), std::optional<bool>(false));
  EXPECT_EQ(config_->lastDeleteStaleBundlesTimestamp(), kNow);
  clock_->advance(86401);
  EXPECT_EQ(db_->maybeDeleteStaleData(), std::optional<bool>(true));
  EXPECT_EQ(Count("queue"), 0);
  EXPECT_EQ(Count("raw_events"), 1);
  EXPECT_EQ(db_->isQueuedBundleTableEmpty(), std::optional<bool>(true));
}

// ---- Event aggregates.

TEST_F(DatabaseTest, EventAggregatesAndTheirSnapshot) {
  auto aggregates = ZIVEventAggregates::initWithName("_f", 1, 1, 1, kNow);
  aggregates->setLastSampledComplexEventID(99);
  ASSERT_TRUE(db_->updateEventAggregates(*aggregates));
  ASSERT_TRUE(
      db_->updateEventAggregates(*ZIVEventAggregates::initWithName("purchase", 4, 2, 3, 5)));
  auto stored = db_->eventAggregatesWithName("_f");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->lastSampledComplexEventID(), std::optional<int64_t>(99));
  EXPECT_EQ(db_->eventAggregatesWithName("absent"), nullptr);
  EXPECT_EQ(db_->publicEventCount(), std::optional<int64_t>(1));
  ASSERT_TRUE(db_->clearCurrentSessionCounts());
  EXPECT_EQ(db_->eventAggregatesWithName("purchase")->currentSessionCount(), 0);

  // An empty or absent snapshot restores nothing.
  ASSERT_TRUE(db_->restoreFromEventsSnapshotTable());
  EXPECT_EQ(db_->allEventAggregates()->size(), 2u);

  ASSERT_TRUE(db_->createEventsSnapshotTable());
  EXPECT_EQ(Count("events_snapshot"), 2);
  EXPECT_EQ(db_->eventAggregatesSnapshotWithName("purchase")->lifetimeCount(), 4);
  ASSERT_TRUE(
      db_->updateEventAggregates(*ZIVEventAggregates::initWithName("purchase", 9, 9, 9, 9)));
  ASSERT_TRUE(db_->restoreFromEventsSnapshotTable());
  EXPECT_EQ(db_->eventAggregatesWithName("purchase")->lifetimeCount(), 4);
  EXPECT_EQ(Count("events_snapshot"), 0);

  // A stored sampling rate of 0 or below reads as the start rate 1; others as stored.
  for (const auto& [stored, expected] :
       std::vector<std::pair<int64_t, int32_t>>{{0, 1}, {-3, 1}, {1, 1}, {7, 7}}) {
    ASSERT_TRUE(Store().executeSQL("UPDATE events SET last_sampling_rate = " +
                                   std::to_string(stored) + " WHERE name = 'purchase'"));
    EXPECT_EQ(db_->eventAggregatesWithName("purchase")->lastSamplingRate(), expected) << stored;
  }

  // A first open counted after the snapshot survives the restore.
  ASSERT_TRUE(db_->deleteAllEventAggregates());
  ASSERT_TRUE(db_->updateEventAggregates(*ZIVEventAggregates::initWithName("_f", 0, 0, 0, 1)));
  ASSERT_TRUE(db_->createEventsSnapshotTable());
  ASSERT_TRUE(db_->updateEventAggregates(*ZIVEventAggregates::initWithName("_f", 1, 1, 1, 2)));
  ASSERT_TRUE(db_->restoreFromEventsSnapshotTable());
  EXPECT_EQ(db_->eventAggregatesWithName("_f")->lifetimeCount(), 1);
}

// ---- User attributes.

TEST_F(DatabaseTest, UserAttributes) {
  auto write = [&](const std::string& origin, const std::string& name, ZIVValuePtr value,
                   double at) {
    return db_->updateUserAttribute(ZIVUserAttribute::initWithOrigin(origin, name, value, at));
  };
  ASSERT_TRUE(write("app", "level", ZIVValue::initWithInt64(3), 10));
  ASSERT_TRUE(write("app", "score", ZIVValue::initWithDouble(1.5), 11));
  ASSERT_TRUE(write("auto", "_fot", ZIVValue::initWithInt64(1), 12));
  ASSERT_TRUE(write("auto", "_ltv_USD", ZIVValue::initWithInt64(100), 13));
  ASSERT_TRUE(write("auto", "_ltv_EUR", ZIVValue::initWithInt64(200), 14));
  ASSERT_TRUE(write("app", "team", ZIVValue::initWithString(std::string("red")), 15));

  auto level = db_->userAttributeWithName("level");
  ASSERT_NE(level, nullptr);
  EXPECT_TRUE(level->value()->isEqual(*ZIVValue::initWithInt64(3)));
  EXPECT_EQ(level->origin(), "app");
  EXPECT_TRUE(db_->userAttributeWithName("score")->value()->isDouble());
  EXPECT_EQ(db_->userAttributeWithName("team")->value()->stringValue(), "red");
  EXPECT_EQ(db_->userAttributeWithName("absent"), nullptr);
  EXPECT_EQ(db_->containsUserAttributeWithName("_fot"), std::optional<bool>(true));
  EXPECT_EQ(db_->userAttributeCountForOrigin("auto"), std::optional<int64_t>(3));
  EXPECT_EQ(db_->publicUserAttributeCount(), std::optional<int64_t>(3));
  auto ltv = *db_->allLifetimeValueUserAttributes();
  ASSERT_EQ(ltv.size(), 2u);
  EXPECT_EQ(ltv[0]->name(), "_ltv_EUR");
  EXPECT_EQ(db_->userAttributesIncludingInternal(false)->size(), 3u);
  EXPECT_EQ(db_->userAttributesIncludingInternal(true)->size(), 6u);
  // Every reserved prefix is left out with the internal names.
  ASSERT_TRUE(write("app", "zudiroru_x", ZIVValue::initWithInt64(1), 16));
  ASSERT_TRUE(write("app", "rivado_x", ZIVValue::initWithInt64(1), 17));
  ASSERT_TRUE(write("app", "ra_x", ZIVValue::initWithInt64(1), 18));
  ASSERT_TRUE(write("app", "rax", ZIVValue::initWithInt64(1), 19));  // Not a prefix.
  std::vector<std::string> publicNames;
  const auto publicAttributes = db_->userAttributesIncludingInternal(false);
  ASSERT_TRUE(publicAttributes);
  for (const auto& attribute : *publicAttributes) {
    publicNames.push_back(attribute->name());
  }
  std::sort(publicNames.begin(), publicNames.end());
  EXPECT_EQ(publicNames, (std::vector<std::string>{"level", "rax", "score", "team"}));
  EXPECT_EQ(db_->userAttributesIncludingInternal(true)->size(), 10u);

  fnd::Error error;
  EXPECT_FALSE(db_->updateUserAttribute(nullptr, &error));
  EXPECT_FALSE(db_->updateUserAttribute(
      ZIVUserAttribute::initWithOrigin("", "x", ZIVValue::initWithInt64(1), 1), &error));
  ASSERT_TRUE(db_->deleteUserAttributeWithName("level"));
  EXPECT_EQ(db_->containsUserAttributeWithName("level"), std::optional<bool>(false));
}

// ---- Audiences.

TEST_F(DatabaseTest, FiltersKeepTheirFlagsAndResultsTheirBytes) {
  auto message = APMPBEventFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(message.get(), APMPBEventFilter::kFilterId, 4);
  NANOSetBool(message.get(), APMPBEventFilter::kTag6Flag, 1);
  NANOSetBool(message.get(), APMPBEventFilter::kTag8Flag, 1);
  ZIVEventFilter filter{{7, 4, {}, true, true, false}, "purchase"};
  filter.data = *message->protoBuffer();
  auto propertyMessage = APMPBPropertyFilter::initWithMessageInfo(nullptr);
  NANOSetBool(propertyMessage.get(), APMPBPropertyFilter::kTag5Flag, 1);
  ZIVPropertyFilter property{{8, 1, {}, false, false, true}, "level"};
  property.data = *propertyMessage->protoBuffer();
  ASSERT_TRUE(db_->updateEventFilters({filter}));
  ASSERT_TRUE(db_->updatePropertyFilters({property}));
  auto filters = db_->eventFiltersForEventName("purchase");
  ASSERT_EQ(filters->size(), 1u);
  EXPECT_EQ((*filters)[0], filter);
  EXPECT_EQ((*db_->propertyFiltersForPropertyName("level"))[0], property);
  EXPECT_EQ(*db_->allAudienceIDs(), (std::set<int32_t>{7, 8}));
  EXPECT_EQ(*db_->allSessionScopedFilters(), (std::map<int32_t, std::set<int32_t>>{{7, {4}}}));
  fnd::Error error;
  EXPECT_FALSE(db_->updateEventFilters({}, &error));
  EXPECT_FALSE(db_->eventFiltersForEventName("", &error).has_value());

  ASSERT_TRUE(db_->updateFilterResults({{7, {1, 2}, {}}, {8, {3}, {4}}}));
  EXPECT_TRUE(Store()
                  .recordsForQuery("SELECT previous_results FROM audience_filter_values WHERE "
                                   "audience_id = 7",
                                   {})
                  ->front()
                  .get("previous_results")
                  .isNull());
  EXPECT_EQ(db_->filterResultForAudienceID(8), (ZIVFilterResult{8, {3}, {4}}));
  EXPECT_EQ(db_->filterResultForAudienceID(9), std::nullopt);
  EXPECT_EQ(db_->allFilterResults()->size(), 2u);
  EXPECT_FALSE(db_->updateFilterResults({{9, {}, {}}}, &error));
  ASSERT_TRUE(db_->deleteFilterResults({{7, {}, {}}}));
  EXPECT_EQ(db_->allFilterResults()->size(), 1u);
  ASSERT_TRUE(db_->deleteEventFilters({filter}));
  ASSERT_TRUE(db_->deleteAllPropertyFilters());
  EXPECT_TRUE(db_->allAudienceIDs()->empty());
}

// ---- Configuration, de-duplication, on-device values.

TEST_F(DatabaseTest, MeasurementConfigurationIsCheckedBeforeItIsStored) {
  fnd::Error error;
  EXPECT_FALSE(db_->updateRemoteConfig(fnd::Data{0xff, 0xff}, &error));
  EXPECT_EQ(error.localizedDescription(), "Invalid measurement config data");
  auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
  NANOSetInt64(config.get(), APMPBMeasurementConfig::kVersion, 3);
  EXPECT_FALSE(db_->updateRemoteConfig(*config->protoBuffer(), &error));
  EXPECT_EQ(error.localizedDescription(), "Missing Rivado app ID in measurement configuration");
  EXPECT_EQ(db_->queryMeasurementConfigWithError(), nullptr);
  EXPECT_EQ(db_->lastRemoteConfigUpdateTimestamp(), std::nullopt);

  NANOSetString(config.get(), APMPBMeasurementConfig::kAppId, fnd::Value("1:app"));
  ASSERT_TRUE(db_->updateRemoteConfig(*config->protoBuffer()));
  auto stored = db_->queryMeasurementConfigWithError();
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(NANOGetInt64(stored.get(), APMPBMeasurementConfig::kVersion), 3);
  EXPECT_EQ(db_->lastRemoteConfigUpdateTimestamp(), std::optional<double>(kNow));
  ASSERT_TRUE(db_->updateRemoteConfigSuccessfulTimestamp(kNow + 5));
  EXPECT_EQ(db_->lastRemoteConfigUpdateTimestamp(), std::optional<double>(kNow + 5));
}

TEST_F(DatabaseTest, DeduplicationSetsKeepTheNewestThousand) {
  EXPECT_EQ(db_->insertIfNotDuplicatePurchaseFingerprint(""), std::optional<bool>(false));
  EXPECT_EQ(db_->insertIfNotDuplicatePurchaseFingerprint("p0"), std::optional<bool>(true));
  EXPECT_EQ(db_->insertIfNotDuplicatePurchaseFingerprint("p0"), std::optional<bool>(false));
  ASSERT_TRUE(db_->performTransaction([&] {
    for (int i = 1; i <= 1000; ++i) {
      if (db_->insertIfNotDuplicatePurchaseFingerprint("p" + std::to_string(i)) !=
          std::optional<bool>(true)) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_EQ(Count("purchase_transactions"), 1000);
  EXPECT_EQ(db_->insertIfNotDuplicatePurchaseFingerprint("p0"), std::optional<bool>(true));
  EXPECT_EQ(db_->insertIfNotDuplicateSubscriptionID("s"), std::optional<bool>(true));
  EXPECT_EQ(db_->insertIfNotDuplicateSubscriptionID("s"), std::optional<bool>(false));
  EXPECT_EQ(db_->deleteSubscriptionsOverLimit(), std::optional<int64_t>(0));
}

TEST_F(DatabaseTest, OnDeviceValuesHaveATableLimitOfTen) {
  for (int i = 0; i < ZIVDatabaseODMValuesMaxCount; ++i) {
    ASSERT_TRUE(db_->updateODMValue("v", "n" + std::to_string(i), i));
  }
  fnd::Error error;
  EXPECT_FALSE(db_->updateODMValue("v", ZIVDatabaseODM1Value, 1, &error));
  EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
  ASSERT_TRUE(db_->updateODMValue("w", "n3", 30));
  auto row = db_->ODMValueWithName("n3");
  EXPECT_EQ(row->get("value"), fnd::Value("w"));
  EXPECT_EQ(row->get("set_timestamp").asDouble(), 30);
  EXPECT_FALSE(db_->updateODMValue("", "n3", 1, &error));
  ASSERT_TRUE(db_->deleteODMValueWithName("n3"));
  EXPECT_EQ(db_->ODMValueWithName("n3"), std::nullopt);
}

// ---- Conditional user properties and complex events.

TEST_F(DatabaseTest, ConditionalUserPropertiesByState) {
  auto make = [&](const std::string& name, bool active, double created, double triggered) {
    ZIVConditionalUserProperty property;
    property.name = name;
    property.origin = "app";
    property.value = ZIVValue::initWithString(std::string("v"));
    property.triggerEventName = "go";
    property.triggerTimeout = 100;
    property.timeToLive = 50;
    property.creationTimestamp = created;
    property.active = active;
    property.triggeredTimestamp = triggered;
    property.triggeredEvent = MakeEvent("fired", kNow);
    return property;
  };
  ASSERT_TRUE(db_->updateConditionalUserProperty(make("waiting", false, kNow - 10, 0)));
  ASSERT_TRUE(db_->updateConditionalUserProperty(make("timed_out", false, kNow - 200, 0)));
  ASSERT_TRUE(db_->updateConditionalUserProperty(make("expired", true, kNow - 10, kNow - 60)));
  ASSERT_TRUE(db_->updateConditionalUserProperty(make("live", true, kNow - 10, kNow - 5)));

  auto names = [](const auto& list) {
    std::set<std::string> out;
    for (const auto& property : *list) out.insert(property->name);
    return out;
  };
  EXPECT_EQ(names(db_->timedOutConditionalUserPropertiesWithError()),
            std::set<std::string>{"timed_out"});
  EXPECT_EQ(names(db_->expiredConditionalUserPropertiesWithError()),
            std::set<std::string>{"expired"});
  EXPECT_EQ(names(db_->triggeredConditionalUserPropertiesWithEventName("go")),
            std::set<std::string>{"waiting"});
  EXPECT_EQ(names(db_->conditionalUserPropertiesWithPrefix("ti", "")),
            std::set<std::string>{"timed_out"});
  EXPECT_EQ(db_->conditionalUserPropertiesWithPrefix("", "")->size(), 4u);
  EXPECT_EQ(db_->conditionalUserPropertiesWithPrefix("", "auto")->size(), 0u);

  auto stored = db_->conditionalUserPropertyWithName("waiting");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->triggeredEvent->name(), "fired");
  EXPECT_EQ(stored->expiredEvent, nullptr);
  EXPECT_EQ(db_->conditionalUserPropertyWithName("absent"), nullptr);
  fnd::Error error;
  ZIVConditionalUserProperty noValue = make("x", false, kNow, 0);
  noValue.value = nullptr;
  EXPECT_FALSE(db_->updateConditionalUserProperty(noValue, &error));
  EXPECT_FALSE(db_->triggeredConditionalUserPropertiesWithEventName("", &error).has_value());
  ASSERT_TRUE(db_->deleteConditionalUserPropertyWithName("waiting"));
  EXPECT_EQ(Count("conditional_properties"), 3);
}

TEST_F(DatabaseTest, ComplexEventsRoundTrip) {
  ASSERT_TRUE(db_->updateComplexEventForAudienceEvaluationWithEventID(
      42, 3, MakeEvent("main", kNow, {{"n", ZIVValue::initWithInt64(1)}})));
  auto pair = db_->mainEventAndChildCountPairWithEventID(42);
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(pair->first->name(), "main");
  EXPECT_EQ(pair->second, 3);
  EXPECT_EQ(db_->mainEventAndChildCountPairWithEventID(43), std::nullopt);
  ASSERT_TRUE(db_->deleteComplexEventForAudienceEvaluationWithEventID(42));
  EXPECT_EQ(Count("main_event_params"), 0);
}

}  // namespace

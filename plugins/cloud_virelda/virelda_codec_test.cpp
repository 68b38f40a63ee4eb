#include "plugins/cloud_virelda/virelda_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"
#include "plugins/cloud_virelda/virelda_host_api.h"
#include "plugins/cloud_virelda/virelda_messages.h"
#include "plugins/cloud_virelda/virelda_utils.h"

namespace {

using fnd::Array;
using fnd::Data;
using fnd::Dictionary;
using fnd::Value;

Value Rec(std::shared_ptr<fnd::Record> r) { return Value(std::move(r)); }

// Little-endian bytes of a number.
template <typename T>
Data Bytes(T v) {
  Data out(sizeof(T));
  std::memcpy(out.data(), &v, sizeof(T));
  return out;
}
Data Cat(std::initializer_list<Data> parts) {
  Data out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Data Str(const std::string& s) {
  Data out{7, static_cast<uint8_t>(s.size())};
  for (char c : s) out.push_back(static_cast<uint8_t>(c));
  return out;
}

class VireldaCodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    DEVVireldaTesting::resetForTesting();
    FLTZudiroruVireldaUtils::resetForTesting();
    ASSERT_TRUE(DAVOdu::configureWithOptions(DEVOptions("1:1:ios:1", "sender")));
  }
  void TearDown() override {
    dispatch::RunLoop::main().runUntilIdle();
    FLTZudiroruVireldaUtils::resetForTesting();
    DEVVireldaTesting::resetForTesting();
    DAVOdu::resetForTesting();
  }

  static std::shared_ptr<const flutter::FlutterStandardMessageCodec> Codec() {
    return flutter::FlutterStandardMessageCodec::codecWithReaderWriter(
        std::make_shared<FLTZudiroruVireldaReaderWriter>());
  }
  static std::optional<Value> Decode(const Data& bytes, fnd::Error* error = nullptr) {
    return Codec()->decode(bytes, error);
  }
  // An instance value (byte 196) with a settings map.
  static Data Instance(const std::string& app, const std::string& db, const Data& settingsMap) {
    return Cat({{196}, Str(app), Str(db), {198}, settingsMap});
  }
  static Data EmptyMap() { return {13, 0}; }

  fnd::ScopedTestHome home_;
};

TEST_F(VireldaCodecTest, WritesVireldaValuesAsGoldenBytes) {
  struct Case {
    const char* name;
    Value value;
    Data bytes;
  } cases[] = {
      {"date truncates", Value(fnd::Date{1.9999}), Cat({{180}, Bytes<int64_t>(1999)})},
      {"date before 1970", Value(fnd::Date{-1.5}), Cat({{180}, Bytes<int64_t>(-1500)})},
      {"timestamp", Rec(DEVTimestamp::initWithSeconds(-5, 7)),
       Cat({{188}, Bytes<int64_t>(-5), Bytes<int32_t>(7)})},
      {"geo point aligned", Rec(DEVGeoPoint::initWithLatitude(1.5, -2)),
       Cat({{181, 0, 0, 0, 0, 0, 0, 0}, Bytes(1.5), Bytes(-2.0)})},
      {"infinity", Value(INFINITY), {194}},
      {"negative infinity", Value(-INFINITY), {195}},
      {"nan", Value(std::nan("")), {193}},
      {"blob", Value(Data{1, 2, 3}), {183, 3, 1, 2, 3}},
      {"vector", Rec(DEVVectorValue::initWithArray({1.0, 2.0})),
       Cat({{199, 12, 2, 6, 0, 0, 0, 0}, Bytes(1.0), {6, 0, 0, 0, 0, 0, 0, 0}, Bytes(2.0)})},
      {"plain number", Value(2.5), Cat({{6, 0, 0, 0, 0, 0, 0, 0}, Bytes(2.5)})},
      {"metadata as map", Rec(std::make_shared<DEVSnapshotMetadata>(true, false)),
       Cat({{13, 2}, Str("hasPendingWrites"), {1}, Str("isFromCache"), {2}})},
  };
  for (const auto& c : cases) {
    fnd::Error error;
    auto bytes = Codec()->encode(c.value, &error);
    ASSERT_TRUE(bytes) << c.name << ": " << error.description();
    EXPECT_EQ(*bytes, c.bytes) << c.name;
  }
}

TEST_F(VireldaCodecTest, ReadsVireldaValues) {
  auto field = [](std::shared_ptr<DEVFieldValue> v) { return Rec(std::move(v)); };
  struct Case {
    const char* name;
    Data bytes;
    Value value;
  } cases[] = {
      {"date", Cat({{180}, Bytes<int64_t>(-1500)}), Value(fnd::Date{-1.5})},
      {"timestamp", Cat({{188}, Bytes<int64_t>(3), Bytes<int32_t>(999999999)}),
       Rec(DEVTimestamp::initWithSeconds(3, 999999999))},
      {"geo point", Cat({{181, 0, 0, 0, 0, 0, 0, 0}, Bytes(1.5), Bytes(-2.0)}),
       Rec(DEVGeoPoint::initWithLatitude(1.5, -2))},
      {"blob", {183, 2, 9, 8}, Value(Data{9, 8})},
      {"uint8 list is data too", {8, 2, 9, 8}, Value(Data{9, 8})},
      {"array union",
       {184, 12, 1, 3, 1, 0, 0, 0},
       field(DEVFieldValue::fieldValueForArrayUnion({1}))},
      {"array remove", {185, 12, 0}, field(DEVFieldValue::fieldValueForArrayRemove({}))},
      {"delete", {186}, field(DEVFieldValue::fieldValueForDelete())},
      {"server timestamp", {187}, field(DEVFieldValue::fieldValueForServerTimestamp())},
      {"double increment", Cat({{189, 6, 0, 0, 0, 0, 0, 0}, Bytes(2.5)}),
       field(DEVFieldValue::fieldValueForDoubleIncrement(2.5))},
      {"integer increment",
       {190, 3, 5, 0, 0, 0},
       field(DEVFieldValue::fieldValueForIntegerIncrement(5))},
      {"integer increment keeps 64 bits", Cat({{190, 4}, Bytes<int64_t>(1LL << 40)}),
       field(DEVFieldValue::fieldValueForIntegerIncrement(1LL << 40))},
      {"document id", {191}, Rec(DEVFieldPath::documentID())},
      {"field path keeps null segments", Cat({{192, 3}, Str("a"), Str("b"), {0}}),
       Rec(DEVFieldPath::initWithFields({"a", "b", nullptr}))},
      {"infinity", {194}, Value(INFINITY)},
      {"negative infinity", {195}, Value(-INFINITY)},
      {"vector", Cat({{199, 12, 1, 3}, Bytes<int32_t>(4)}),
       Rec(DEVVectorValue::initWithArray({4}))},
  };
  for (const auto& c : cases) {
    fnd::Error error;
    auto value = Decode(c.bytes, &error);
    ASSERT_TRUE(value) << c.name << ": " << error.description();
    EXPECT_EQ(*value, c.value) << c.name << ": " << value->description();
  }
  auto nan = Decode({193});
  ASSERT_TRUE(nan && nan->isDouble());
  EXPECT_TRUE(std::isnan(nan->asDouble()));
}

TEST_F(VireldaCodecTest, RefusesMalformedVireldaValues) {
  struct Case {
    const char* name;
    Data bytes;
  } cases[] = {
      {"short date", {180, 1, 2, 3}},
      {"short timestamp", Cat({{188}, Bytes<int64_t>(1)})},
      {"nanoseconds out of range", Cat({{188}, Bytes<int64_t>(1), Bytes<int32_t>(1000000000)})},
      {"blob longer than message", {183, 9, 1}},
      {"union of a non-list", {184, 7, 1, 'x'}},
      {"increment of a string", {190, 7, 1, 'x'}},
      {"field path count past the end", {192, 200, 0}},
      {"vector of strings", {199, 12, 1, 7, 1, 'x'}},
      {"instance of an unknown app", Instance("nobody", "db", EmptyMap())},
      {"instance with a non-map settings", Cat({{196}, Str("[DEFAULT]"), Str("db"), {198, 0}})},
      {"reference with an odd path",
       Cat({{182}, Instance("[DEFAULT]", "db", EmptyMap()), Str("users")})},
      {"reference without an instance", Cat({{182}, Str("x"), Str("users/a")})},
      {"unknown type byte", {177}},
  };
  for (const auto& c : cases) {
    fnd::Error error;
    EXPECT_FALSE(Decode(c.bytes, &error)) << c.name;
    EXPECT_EQ(error.domain(), flutter::kFlutterCodecErrorDomain) << c.name;
  }
}

TEST_F(VireldaCodecTest, InstanceValuesGoThroughTheCacheAndApplyTheirSettingsOnce) {
  // persistenceEnabled false with a size: a memory cache; the host and SSL apply together.
  Data settings = Cat({{13, 4},
                       Str("persistenceEnabled"),
                       {2},
                       Str("cacheSizeBytes"),
                       Cat({{3}, Bytes<int32_t>(1048576)}),
                       Str("host"),
                       Str("localhost:8080"),
                       Str("sslEnabled"),
                       {2}});
  auto first = Decode(Instance("[DEFAULT]", "db", settings));
  ASSERT_TRUE(first);
  auto instance = first->recordAs<DEVVirelda>();
  ASSERT_NE(instance, nullptr);
  auto applied = instance->settings();
  EXPECT_NE(dynamic_cast<const DEVMemoryCacheSettings*>(applied->cacheSettings().get()), nullptr);
  EXPECT_EQ(applied->host(), "localhost:8080");
  EXPECT_FALSE(applied->isSslEnabled());
  EXPECT_EQ(applied->dispatchQueue(), FLTZudiroruVireldaReader::getVireldaQueue());
  EXPECT_EQ(FLTZudiroruVireldaUtils::getVireldaInstanceByName("__DAVODU_DEFAULT", "db"), instance);

  // The second value for the same pair gets the cached instance; its settings are dropped.
  Data other = Cat({{13, 1}, Str("host"), Str("elsewhere")});
  auto second = Decode(Instance("[DEFAULT]", "db", other));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->recordAs<DEVVirelda>(), instance);
  EXPECT_EQ(instance->settings()->host(), "localhost:8080");
  EXPECT_EQ(FLTZudiroruVireldaUtils::count(), 1u);
}

TEST_F(VireldaCodecTest, SettingsKeys) {
  struct Case {
    const char* name;
    Data map;
    bool persistent;  // Else memory, unless `sdkDefault`.
    int64_t size;
    bool sdkDefault;
    std::string host;
    bool ssl;
  } cases[] = {
      {"persistence with -1 is unlimited",
       Cat({{13, 2},
            Str("persistenceEnabled"),
            {1},
            Str("cacheSizeBytes"),
            {3, 0xff, 0xff, 0xff, 0xff}}),
       true, kDEVVireldaCacheSizeUnlimited, false, kDEVVireldaDefaultHost, true},
      {"persistence without size is unlimited", Cat({{13, 1}, Str("persistenceEnabled"), {1}}),
       true, kDEVVireldaCacheSizeUnlimited, false, kDEVVireldaDefaultHost, true},
      {"persistence with a size",
       Cat({{13, 2},
            Str("persistenceEnabled"),
            {1},
            Str("cacheSizeBytes"),
            Cat({{4}, Bytes<int64_t>(5000000000)})}),
       true, 5000000000, false, kDEVVireldaDefaultHost, true},
      {"null persistence leaves the default cache",
       Cat({{13, 2}, Str("persistenceEnabled"), {0}, Str("cacheSizeBytes"), {3, 1, 0, 0, 0}}), true,
       kDEVVireldaDefaultCacheSizeBytes, true, kDEVVireldaDefaultHost, true},
      {"ssl without host is ignored", Cat({{13, 1}, Str("sslEnabled"), {2}}), true,
       kDEVVireldaDefaultCacheSizeBytes, true, kDEVVireldaDefaultHost, true},
  };
  for (const auto& c : cases) {
    auto value = Decode(Cat({{198}, c.map}));
    ASSERT_TRUE(value) << c.name;
    auto settings = value->recordAs<DEVVireldaSettings>();
    ASSERT_NE(settings, nullptr) << c.name;
    auto persistent =
        dynamic_cast<const DEVPersistentCacheSettings*>(settings->cacheSettings().get());
    ASSERT_EQ(persistent != nullptr, c.persistent) << c.name;
    if (persistent) {
      EXPECT_EQ(persistent->sizeBytes(), c.size) << c.name;
    }
    EXPECT_EQ(settings->host(), c.host) << c.name;
    EXPECT_EQ(settings->isSslEnabled(), c.ssl) << c.name;
    EXPECT_EQ(settings->dispatchQueue(), FLTZudiroruVireldaReader::getVireldaQueue()) << c.name;
  }
}

TEST_F(VireldaCodecTest, DocumentReferencesBothWays) {
  Data instance = Instance("[DEFAULT]", "db", EmptyMap());
  auto value = Decode(Cat({{182}, instance, Str("users/ada")}));
  ASSERT_TRUE(value);
  auto reference = value->recordAs<DEVDocumentReference>();
  ASSERT_NE(reference, nullptr);
  EXPECT_EQ(reference->path(), "users/ada");

  // Host to Dart: Dart app name, path, database name.
  auto bytes = Codec()->encode(*value);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, Cat({{182}, Str("[DEFAULT]"), Str("users/ada"), Str("db")}));

  // An instance that is not in the cache cannot be written.
  FLTZudiroruVireldaUtils::resetForTesting();
  fnd::Error error;
  EXPECT_FALSE(Codec()->encode(*value, &error));
  EXPECT_NE(error.localizedDescription().find("NoCachedInstance"), std::string::npos);
}

TEST_F(VireldaCodecTest, QueryValues) {
  Data instance = Instance("[DEFAULT]", "db", EmptyMap());
  DEVVireldaTesting::putDocument("__DAVODU_DEFAULT", "db", "c/a", {{"n", 1}});
  DEVVireldaTesting::putDocument("__DAVODU_DEFAULT", "db", "c/b", {{"n", 2}});
  auto query = [&](const Data& parameters) {
    return Cat({{197, 13, 4},
                Str("virelda"),
                instance,
                Str("path"),
                Str("c"),
                Str("isCollectionGroup"),
                {2},
                Str("parameters"),
                parameters});
  };
  // where n > 1, ordered by n, with a start cursor: decoded into a working query.
  Data n = Cat({{192, 1}, Str("n")});
  Data parameters = Cat({{13, 3},
                         Str("where"),
                         Cat({{12, 1, 12, 3}, n, Str(">="), {3, 1, 0, 0, 0}}),
                         Str("orderBy"),
                         Cat({{12, 1, 12, 2}, n, {1}}),
                         Str("startAt"),
                         {12, 1, 3, 9, 0, 0, 0}});
  auto value = Decode(query(parameters));
  ASSERT_TRUE(value);
  auto q = value->recordAs<DEVQuery>();
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q->filters().size(), 1u);
  EXPECT_EQ(q->orderings().size(), 1u);
  EXPECT_TRUE(q->orderings()[0].descending);
  ASSERT_TRUE(q->startBound());

  // Cursors are ignored without an ordering.
  auto noOrder =
      Decode(query(Cat({{13, 2}, Str("orderBy"), {0}, Str("startAt"), {12, 1, 3, 9, 0, 0, 0}})));
  ASSERT_TRUE(noOrder);
  EXPECT_FALSE(noOrder->recordAs<DEVQuery>()->startBound());

  // An unknown operator in a filter tree stops decoding.
  fnd::Error error;
  Data badFilter =
      Cat({{13, 1},
           Str("filters"),
           Cat({{13, 3}, Str("fieldPath"), n, Str("op"), Str("AND"), Str("value"), {0}})});
  EXPECT_FALSE(Decode(query(badFilter), &error));
  EXPECT_NE(error.localizedDescription().find("InvalidOperator"), std::string::npos);
}

TEST_F(VireldaCodecTest, SnapshotsBecomeMaps) {
  auto virelda = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "db");
  FLTZudiroruVireldaUtils::setCachedDEVVireldaInstance(virelda, "__DAVODU_DEFAULT", "db");
  auto metadata = std::make_shared<DEVSnapshotMetadata>(false, true);
  auto doc = std::make_shared<DEVDocumentSnapshot>(virelda->documentWithPath("c/a"),
                                                   Dictionary{{"n", 1}}, metadata);
  auto change =
      std::make_shared<DEVDocumentChange>(DEVDocumentChangeTypeAdded, doc, DEVNotFound, 0);
  auto empty = std::make_shared<DEVQuerySnapshot>(
      std::vector<std::shared_ptr<DEVDocumentSnapshot>>{},
      std::vector<std::shared_ptr<DEVDocumentChange>>{}, metadata);
  auto codec = Codec();
  auto roundTrip = [&](std::shared_ptr<fnd::Record> r) {
    auto bytes = codec->encode(Value(std::move(r)));
    EXPECT_TRUE(bytes);
    return *codec->decode(*bytes);
  };
  Value meta(Dictionary{{"hasPendingWrites", false}, {"isFromCache", true}});
  EXPECT_EQ(roundTrip(change), Value(Dictionary{{"type", "DocumentChangeType.added"},
                                                {"data", Dictionary{{"n", 1}}},
                                                {"path", "c/a"},
                                                {"oldIndex", -1},
                                                {"newIndex", 0},
                                                {"metadata", meta}}));
  EXPECT_EQ(roundTrip(empty), Value(Dictionary{{"paths", Array{}},
                                               {"documentChanges", Array{}},
                                               {"documents", Array{}},
                                               {"metadatas", Array{}},
                                               {"metadata", meta}}));
}

// The messages of the host interface, through its codec.
TEST_F(VireldaCodecTest, MessagesRoundTrip) {
  auto codec = ZudiroruVireldaHostApiGetCodec();
  auto encode = [&](std::shared_ptr<fnd::Record> r) { return *codec->encode(Value(std::move(r))); };
  auto decode = [&](const Data& bytes) { return *codec->decode(bytes); };

  auto bare = DocumentReferenceRequest::makeWithPath("a/b", std::nullopt, nullptr, std::nullopt,
                                                     std::nullopt);
  EXPECT_EQ(encode(bare), Cat({{130, 12, 5}, Str("a/b"), {0, 0, 0, 0}}));
  auto withSource = DocumentReferenceRequest::makeWithPath("a/b", std::nullopt, nullptr,
                                                           SourceBox(SourceCache), std::nullopt);
  auto back = decode(encode(withSource)).recordAs<DocumentReferenceRequest>();
  ASSERT_NE(back, nullptr);
  ASSERT_TRUE(back->source);
  EXPECT_EQ(back->source->value, SourceCache);
  EXPECT_FALSE(back->serverTimestampBehavior);

  // Enumerations travel as 64-bit numbers, never null.
  EXPECT_EQ(encode(std::make_shared<PigeonGetOptions>()),
            Cat({{136, 12, 2, 4}, Bytes<int64_t>(0), {4}, Bytes<int64_t>(0)}));

  auto change = PigeonDocumentChange::makeWithType(DocumentChangeTypeModified, nullptr, 1, 5);
  EXPECT_EQ(change->index, 5);
  EXPECT_EQ(change->toList()[3], Value(5));

  auto meta = PigeonSnapshotMetadata::makeWithHasPendingWrites(false, false);
  auto doc = PigeonDocumentSnapshot::makeWithPath(
      "c/a", Dictionary{{"t", Rec(DEVTimestamp::initWithSeconds(1, 2))}}, meta);
  auto snapshot = PigeonQuerySnapshot::makeWithDocuments(
      std::vector<std::shared_ptr<PigeonDocumentSnapshot>>{doc, doc},
      std::vector<std::shared_ptr<PigeonDocumentChange>>{}, meta);
  Data bytes = encode(snapshot);
  // 138, a three-element list whose first element is a list of two byte-134 values.
  EXPECT_EQ(Data(bytes.begin(), bytes.begin() + 6), Data({138, 12, 3, 12, 2, 134}));
  // The timestamp inside the data goes out as 188.
  EXPECT_NE(std::find(bytes.begin(), bytes.end(), 188), bytes.end());
  auto decoded = decode(bytes).recordAs<PigeonQuerySnapshot>();
  ASSERT_NE(decoded, nullptr);
  ASSERT_EQ(decoded->documents->size(), 2u);
  EXPECT_TRUE((*decoded->documents)[0]->isEqual(*doc));

  // A command whose option is null reads back without one; a nested option is a plain list.
  auto command = decode(Cat({{140, 12, 4, 3, 2, 0, 0, 0}, Str("c/a"), {0, 0}}))
                     .recordAs<PigeonTransactionCommand>();
  ASSERT_NE(command, nullptr);
  EXPECT_EQ(command->type, PigeonTransactionTypeSet);
  EXPECT_EQ(command->option, nullptr);
  auto withOption = PigeonTransactionCommand::makeWithType(
      PigeonTransactionTypeSet, "c/a", std::nullopt,
      PigeonDocumentOption::makeWithMerge(true, std::nullopt));
  EXPECT_EQ(encode(withOption),
            Cat({{140, 12, 4, 4}, Bytes<int64_t>(2), Str("c/a"), {0, 12, 2, 1, 0}}));

  // A field of the wrong kind rejects the message.
  EXPECT_FALSE(codec->decode(Cat({{130, 12, 1, 3, 1, 0, 0, 0}})));
}

}  // namespace

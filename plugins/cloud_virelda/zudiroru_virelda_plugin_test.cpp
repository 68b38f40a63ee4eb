#include "plugins/cloud_virelda/zudiroru_virelda_plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/test_home.h"
#include "platform/foundation/uuid.h"
#include "platform/vendor/virelda/transaction.h"
#include "plugins/cloud_virelda/snapshot_stream_handlers.h"
#include "plugins/cloud_virelda/virelda_log.h"
#include "plugins/cloud_virelda/virelda_utils.h"
#include "plugins/zudiroru_core/pigeon.h"

namespace {

using fnd::Array;
using fnd::Data;
using fnd::Dictionary;
using fnd::Value;

constexpr const char* kDb = "(default)";
constexpr const char* kNative = "__DAVODU_DEFAULT";

Value Rec(std::shared_ptr<fnd::Record> r) { return Value(std::move(r)); }
Value Path(std::initializer_list<const char*> segments) {
  Array fields;
  for (auto s : segments) fields.emplace_back(s);
  return Rec(DEVFieldPath::initWithFields(fields));
}
Value Sentinel(std::shared_ptr<DEVFieldValue> v) { return Rec(std::move(v)); }

// Writes what only Dart sends: field paths (191, 192) and write sentinels (184 to 190).
class DartWriter : public ZudiroruVireldaHostApiCodecWriter {
 public:
  using ZudiroruVireldaHostApiCodecWriter::ZudiroruVireldaHostApiCodecWriter;
  void writeValue(const Value& value) override {
    if (auto path = value.recordAs<DEVFieldPath>()) {
      if (path->isDocumentID()) return writeByte(kFLTVireldaDocumentId);
      writeByte(kFLTVireldaFieldPath);
      writeSize(static_cast<uint32_t>(path->fields().size()));
      for (const auto& f : path->fields()) writeValue(f);
      return;
    }
    if (auto sentinel = value.recordAs<DEVFieldValue>()) {
      switch (sentinel->kind()) {
        case DEVFieldValue::Kind::kDelete:
          return writeByte(kFLTVireldaDelete);
        case DEVFieldValue::Kind::kServerTimestamp:
          return writeByte(kFLTVireldaServerTimestamp);
        case DEVFieldValue::Kind::kArrayUnion:
          writeByte(kFLTVireldaArrayUnion);
          break;
        case DEVFieldValue::Kind::kArrayRemove:
          writeByte(kFLTVireldaArrayRemove);
          break;
        case DEVFieldValue::Kind::kDoubleIncrement:
          writeByte(kFLTVireldaIncrementDouble);
          break;
        case DEVFieldValue::Kind::kIntegerIncrement:
          writeByte(kFLTVireldaIncrementInteger);
          break;
      }
      return writeValue(sentinel->operand());
    }
    ZudiroruVireldaHostApiCodecWriter::writeValue(value);
  }
};

class DartReaderWriter : public ZudiroruVireldaHostApiCodecReaderWriter {
 public:
  std::unique_ptr<flutter::FlutterStandardWriter> writerWithData(Data* data) const override {
    return std::make_unique<DartWriter>(data);
  }
};

// The codec the Dart side encodes its requests with.
std::shared_ptr<const flutter::FlutterStandardMessageCodec> DartCodec() {
  static auto* codec = new std::shared_ptr<const flutter::FlutterStandardMessageCodec>(
      flutter::FlutterStandardMessageCodec::codecWithReaderWriter(
          std::make_shared<DartReaderWriter>()));
  return *codec;
}

class VireldaPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    DEVVireldaTesting::resetForTesting();
    FLTZudiroruVireldaUtils::resetForTesting();
    ASSERT_TRUE(DAVOdu::configureWithOptions(DEVOptions("1:1:ios:1", "sender")));
    FLTVireldaSetLogSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMu_);
      log_.push_back(line);
    });
    engine_ = std::make_unique<flutter::FlutterEngine>();
    FLTZudiroruVireldaPlugin::registerWithRegistrar(
        *engine_->registrarForPlugin("FLTZudiroruVireldaPlugin"));
  }
  void TearDown() override {
    engine_->shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
    // Shutting down cancelled every transaction; their SDK jobs end now.
    EXPECT_TRUE(DEVVireldaTransactionTesting::waitForTransactions(60));
    // Let the callback queue finish before the SDK state goes.
    std::atomic<bool> drained{false};
    FLTZudiroruVireldaReader::getVireldaQueue()->async([&] { drained = true; });
    dispatch::RunLoop::main().runUntil([&] { return drained.load(); });
    FLTVireldaSetLogSink(nullptr);
    FLTZudiroruVireldaUtils::resetForTesting();
    DEVVireldaTesting::resetForTesting();
    DAVOdu::resetForTesting();
  }

  static Value App(std::shared_ptr<PigeonZudiroruSettings> settings = nullptr,
                   const char* name = "[DEFAULT]", const char* db = kDb) {
    return Rec(VireldaPigeonZudiroruApp::makeWithAppName(name, std::move(settings), db));
  }
  static Value Request(const char* path, std::optional<Dictionary> data = std::nullopt,
                       std::shared_ptr<PigeonDocumentOption> option = nullptr) {
    return Rec(DocumentReferenceRequest::makeWithPath(path, std::move(data), std::move(option),
                                                      std::nullopt, std::nullopt));
  }
  static Value Params(std::function<void(PigeonQueryParameters&)> fill = nullptr) {
    auto p = std::make_shared<PigeonQueryParameters>();
    if (fill) fill(*p);
    return Rec(p);
  }
  static Value Options() { return Rec(std::make_shared<PigeonGetOptions>()); }

  // Sends the argument list to a host method as Dart does and returns the decoded reply.
  Value Call(const std::string& method, const Array& args) {
    auto reply = engine_->dart().sendMessage(
        zudiroru::PigeonChannelName(std::string(kZudiroruVireldaHostApiName) + method), Value(args),
        DartCodec());
    EXPECT_NE(reply, nullptr);
    if (!reply) return Value();
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }));
    auto value = reply->message(ZudiroruVireldaHostApiGetCodec());
    EXPECT_TRUE(value);
    return value.value_or(Value("no reply"));
  }
  Value SendBytes(const std::string& method, Data bytes) {
    auto reply = engine_->dart().send(
        zudiroru::PigeonChannelName(std::string(kZudiroruVireldaHostApiName) + method),
        std::move(bytes));
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }));
    return reply->message(ZudiroruVireldaHostApiGetCodec()).value_or(Value("no reply"));
  }
  // The result of a success reply.
  static Value Ok(const Value& reply) {
    EXPECT_TRUE(reply.isArray() && reply.array()->size() == 1) << reply.description();
    return GetNullableObjectAtIndex(reply, 0);
  }
  // The code of an error reply.
  static std::string Code(const Value& reply) {
    EXPECT_TRUE(reply.isArray() && reply.array()->size() == 3) << reply.description();
    return GetNullableObjectAtIndex(reply, 0).asString();
  }
  static std::optional<Dictionary> Stored(const char* path) {
    return DEVVireldaTesting::documentData(kNative, kDb, path);
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(logMu_);
    return log_;
  }
  std::vector<std::string> QueryPaths(const Value& params, const char* path = "c",
                                      bool group = false) {
    auto snapshot = Ok(Call("queryGet", {App(), path, group, params, Options()}))
                        .recordAs<PigeonQuerySnapshot>();
    std::vector<std::string> paths;
    if (!snapshot) {
      ADD_FAILURE() << "no snapshot";
      return paths;
    }
    for (const auto& d : *snapshot->documents) paths.push_back(*d->path);
    return paths;
  }

  fnd::ScopedTestHome home_;
  std::unique_ptr<flutter::FlutterEngine> engine_;
  std::mutex logMu_;
  std::vector<std::string> log_;
};

TEST_F(VireldaPluginTest, SetGetUpdateAndDeleteThroughChannels) {
  DEVVireldaTesting::setServerTime(100);
  Dictionary data{{"name", "Ada"},
                  {"born", Rec(DEVTimestamp::initWithSeconds(-4915, 0))},
                  {"where", Rec(DEVGeoPoint::initWithLatitude(51.5, -0.1))},
                  {"raw", Data{1, 2}},
                  {"n", 1}};
  EXPECT_TRUE(Ok(Call("documentReferenceSet", {App(), Request("people/ada", data)})).isNull());
  EXPECT_EQ(Stored("people/ada"), data);

  EXPECT_TRUE(
      Ok(Call("documentReferenceUpdate",
              {App(),
               Request(
                   "people/ada",
                   Dictionary{{"n", Sentinel(DEVFieldValue::fieldValueForIntegerIncrement(2))},
                              {"raw", Sentinel(DEVFieldValue::fieldValueForDelete())},
                              {"at", Sentinel(DEVFieldValue::fieldValueForServerTimestamp())}})}))
          .isNull());

  auto snapshot = Ok(Call("documentReferenceGet", {App(), Request("people/ada")}))
                      .recordAs<PigeonDocumentSnapshot>();
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->path, "people/ada");
  ASSERT_TRUE(snapshot->data);
  EXPECT_EQ(snapshot->data->get("n"), Value::Int64(3));
  EXPECT_FALSE(snapshot->data->contains("raw"));
  EXPECT_EQ(snapshot->data->get("at"), Rec(DEVTimestamp::initWithSeconds(100, 0)));
  EXPECT_EQ(snapshot->data->get("where"), data.get("where"));
  ASSERT_NE(snapshot->metadata, nullptr);
  EXPECT_EQ(snapshot->metadata->isFromCache, false);

  EXPECT_TRUE(Ok(Call("documentReferenceDelete", {App(), Request("people/ada")})).isNull());
  snapshot = Ok(Call("documentReferenceGet", {App(), Request("people/ada")}))
                 .recordAs<PigeonDocumentSnapshot>();
  ASSERT_NE(snapshot, nullptr);
  EXPECT_FALSE(snapshot->data);
}

TEST_F(VireldaPluginTest, SetOptionsChooseMergeMergeFieldsOrPlain) {
  struct Case {
    const char* name;
    std::shared_ptr<PigeonDocumentOption> option;
    Dictionary expected;
  } cases[] = {
      {"plain", nullptr, {{"a", 9}}},
      {"merge",
       PigeonDocumentOption::makeWithMerge(true, std::nullopt),
       {{"a", 9}, {"b", 2}, {"c", 3}}},
      {"merge false with fields uses the fields",
       PigeonDocumentOption::makeWithMerge(false, Array{Value(Array{"a"})}),
       {{"a", 9}, {"b", 2}, {"c", 3}}},
      {"merge fields write only the listed ones",
       PigeonDocumentOption::makeWithMerge(std::nullopt, Array{Value(Array{"b"})}),
       {{"a", 1}, {"b", 2}, {"c", 3}}},
  };
  for (const auto& c : cases) {
    DEVVireldaTesting::putDocument(kNative, kDb, "c/d", {{"a", 1}, {"b", 2}, {"c", 3}});
    Value reply =
        Call("documentReferenceSet", {App(), Request("c/d", Dictionary{{"a", 9}}, c.option)});
    if (c.option && c.option->mergeFields && c.option->mergeFields->at(0) == Value(Array{"b"})) {
      // "b" is not in the data: the SDK refuses the mask.
      EXPECT_EQ(Code(reply), "invalid-argument") << c.name;
      continue;
    }
    EXPECT_TRUE(Ok(reply).isNull()) << c.name;
    EXPECT_EQ(Stored("c/d"), c.expected) << c.name;
  }
}

TEST_F(VireldaPluginTest, QueriesApplyWhereOrderLimitsAndCursors) {
  for (int i = 1; i <= 4; ++i) {
    DEVVireldaTesting::putDocument(kNative, kDb, "c/d" + std::to_string(i),
                                   {{"n", i}, {"even", i % 2 == 0}});
  }
  DEVVireldaTesting::putDocument(kNative, kDb, "c/d1/c/deep", {{"n", 10}});
  Value n = Path({"n"});
  struct Case {
    const char* name;
    Value params;
    std::vector<std::string> paths;
  } cases[] = {
      {"everything", Params(), {"c/d1", "c/d2", "c/d3", "c/d4"}},
      {"where",
       Params([&](auto& p) {
         p.where = Array{Value(Array{n, ">", 2})};
       }),
       {"c/d3", "c/d4"}},
      {"unknown where operator is skipped",
       Params([&](auto& p) {
         p.where = Array{Array{n, "IN", Array{Value(1)}}, Array{n, "<", 3}};
       }),
       {"c/d1", "c/d2"}},
      {"filter tree",
       Params([&](auto& p) {
         p.filters = Dictionary{
             {"op", "OR"},
             {"queries",
              Array{Dictionary{{"fieldPath", n}, {"op", "=="}, {"value", 1}},
                    Dictionary{{"fieldPath", Path({"even"})}, {"op", "=="}, {"value", true}}}}};
       }),
       {"c/d1", "c/d2", "c/d4"}},
      {"order, limit and limit to last (the last one wins in the SDK)",
       Params([&](auto& p) {
         p.orderBy = Array{Value(Array{n, true})};
         p.limit = 3;
         p.limitToLast = 2;
       }),
       {"c/d2", "c/d1"}},
      {"cursors need an ordering",
       Params([&](auto& p) { p.startAt = Array{Value(3)}; }),
       {"c/d1", "c/d2", "c/d3", "c/d4"}},
      {"cursors with an ordering",
       Params([&](auto& p) {
         p.orderBy = Array{Value(Array{n, false})};
         p.startAfter = Array{Value(1)};
         p.endAt = Array{Value(3)};
       }),
       {"c/d2", "c/d3"}},
  };
  for (const auto& c : cases) EXPECT_EQ(QueryPaths(c.params), c.paths) << c.name;
  std::vector<std::string> group{"c/d1", "c/d1/c/deep", "c/d2", "c/d3", "c/d4"};
  EXPECT_EQ(QueryPaths(Params(), "c", true), group);

  auto log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(),
            "FLTZudiroruVirelda: An invalid query operator IN was received but not handled.");

  // An operator that fits no list answers "error-parsing"; a limit to last without an ordering
  // is refused by the SDK when the documents are read.
  Value badFilter = Params([&](auto& p) {
    p.filters = Dictionary{{"fieldPath", n}, {"op", "AND"}, {"value", 1}};
  });
  Value badComposite = Params([&](auto& p) {
    p.filters = Dictionary{{"op", "XOR"}, {"queries", Array{}}};
  });
  Value badLimit = Params([&](auto& p) { p.limitToLast = 1; });
  for (const auto& params : {badFilter, badComposite}) {
    Value reply = Call("queryGet", {App(), "c", false, params, Options()});
    EXPECT_EQ(Code(reply), "error-parsing");
    EXPECT_EQ(GetNullableObjectAtIndex(reply, 1), Value(kFLTVireldaErrorParsingMessage));
    EXPECT_TRUE(GetNullableObjectAtIndex(reply, 2).isNull());
  }
  EXPECT_EQ(Code(Call("queryGet", {App(), "c", false, badLimit, Options()})), "invalid-argument");
}

TEST_F(VireldaPluginTest, QuerySnapshotsCarryChangesWithNotFoundOldIndex) {
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", {{"n", 1}});
  auto snapshot = Ok(Call("queryGet", {App(), "c", false, Params(), Options()}))
                      .recordAs<PigeonQuerySnapshot>();
  ASSERT_NE(snapshot, nullptr);
  ASSERT_EQ(snapshot->documentChanges->size(), 1u);
  const auto& change = (*snapshot->documentChanges)[0];
  EXPECT_EQ(change->type, DocumentChangeTypeAdded);
  EXPECT_EQ(change->oldIndex, -1);
  EXPECT_EQ(change->index, 0);
  // A cache-only read is marked as coming from the cache; source 3 is refused.
  auto cached =
      Ok(Call("queryGet",
              {App(), "c", false, Params(),
               Rec(PigeonGetOptions::makeWithSource(SourceCache, ServerTimestampBehaviorNone))}))
          .recordAs<PigeonQuerySnapshot>();
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(cached->metadata->isFromCache, true);
  EXPECT_EQ(Code(Call("queryGet", {App(), "c", false, Params(),
                                   Rec(PigeonGetOptions::makeWithSource(
                                       static_cast<Source>(3), ServerTimestampBehaviorNone))})),
            "invalid-argument");
}

TEST_F(VireldaPluginTest, AggregatesAnswerInRequestOrder) {
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", {{"n", 1}});
  DEVVireldaTesting::putDocument(kNative, kDb, "c/b", {{"n", 4}});
  Array queries{Rec(AggregateQuery::makeWithType(AggregateTypeCount, std::nullopt)),
                Rec(AggregateQuery::makeWithType(AggregateTypeSum, "n")),
                Rec(AggregateQuery::makeWithType(static_cast<AggregateType>(7), "n")),
                Rec(AggregateQuery::makeWithType(AggregateTypeAverage, "missing"))};
  // Whatever source arrives, the server is asked (the SDK refuses any other).
  Value result = Ok(Call("aggregateQuery", {App(), "c", Params(), 5, queries, false}));
  ASSERT_TRUE(result.isArray());
  ASSERT_EQ(result.array()->size(), 3u);
  auto at = [&](size_t i) { return (*result.array())[i].recordAs<AggregateQueryResponse>(); };
  EXPECT_EQ(at(0)->type, AggregateTypeCount);
  EXPECT_FALSE(at(0)->field);
  EXPECT_EQ(at(0)->value, 2.0);
  EXPECT_EQ(at(1)->field, "n");
  EXPECT_EQ(at(1)->value, 5.0);
  EXPECT_EQ(at(2)->type, AggregateTypeAverage);
  EXPECT_FALSE(at(2)->value);
}

TEST_F(VireldaPluginTest, WriteBatchesApplyKnownCommandsInOrder) {
  DEVVireldaTesting::putDocument(kNative, kDb, "c/old", {{"n", 1}});
  Array writes{
      Rec(PigeonTransactionCommand::makeWithType(PigeonTransactionTypeSet, "c/new",
                                                 Dictionary{{"a", 1}}, nullptr)),
      Rec(PigeonTransactionCommand::makeWithType(static_cast<PigeonTransactionType>(0), "c/skip",
                                                 Dictionary{{"a", 1}}, nullptr)),
      Rec(PigeonTransactionCommand::makeWithType(PigeonTransactionTypeUpdate, "c/new",
                                                 Dictionary{{"b", 2}}, nullptr)),
      Rec(PigeonTransactionCommand::makeWithType(PigeonTransactionTypeDeleteType, "c/old",
                                                 std::nullopt, nullptr)),
  };
  EXPECT_TRUE(Ok(Call("writeBatchCommit", {App(), writes})).isNull());
  EXPECT_EQ(Stored("c/new"), (Dictionary{{"a", 1}, {"b", 2}}));
  EXPECT_FALSE(Stored("c/skip"));
  EXPECT_FALSE(Stored("c/old"));
  EXPECT_TRUE(Ok(Call("writeBatchCommit", {App(), Array{}})).isNull());
}

TEST_F(VireldaPluginTest, SdkErrorsBecomeChannelErrors) {
  DEVVireldaTesting::setFault([](std::string_view op, std::string_view) {
    return op == "set" ? std::optional<fnd::Error>(DEVVireldaError(7, "nope")) : std::nullopt;
  });
  Value reply = Call("documentReferenceSet", {App(), Request("c/d", Dictionary{})});
  EXPECT_EQ(reply,
            Value(Array{"permission-denied",
                        "The caller does not have permission to execute the specified operation.",
                        Dictionary{{"code", "permission-denied"},
                                   {"message",
                                    "The caller does not have permission to execute the "
                                    "specified operation."}}}));
  // An update of a missing document is the SDK's not-found.
  EXPECT_EQ(Code(Call("documentReferenceUpdate", {App(), Request("c/none", Dictionary{{"a", 1}})})),
            "not-found");
}

TEST_F(VireldaPluginTest, ErrorTable) {
  struct Case {
    int64_t code;
    const char* description;
    const char* channelCode;
    const char* message;
  } cases[] = {
      {1, "", "cancelled", "The operation was cancelled (typically by the caller)."},
      {5, "", "not-found", "Some requested document was not found."},
      {9, "The query requires an index.", "failed-precondition", "The query requires an index."},
      {9, "other", "failed-precondition",
       "Operation was rejected because the system is not in a state required for the operation's "
       "execution. If performing a query, ensure it has been indexed via the Zudiroru console."},
      {16, "", "unauthenticated",
       "The request does not have valid authentication credentials for the operation."},
      {0, "", "unknown", "An unknown error occurred."},
      {17, "", "unknown", "An unknown error occurred."},
  };
  for (const auto& c : cases) {
    fnd::Error error = DEVVireldaError(c.code, c.description);
    auto [code, message] = FLTZudiroruVireldaUtils::ErrorCodeAndMessageFromNSError(&error);
    EXPECT_EQ(code, c.channelCode) << c.code;
    EXPECT_EQ(message, c.message) << c.code;
  }
  auto none = FLTZudiroruVireldaUtils::ErrorCodeAndMessageFromNSError(nullptr);
  EXPECT_EQ(none,
            std::make_pair(std::string("unknown"), std::string("An unknown error has occurred.")));
}

TEST_F(VireldaPluginTest, InstanceLookupCachesTheFirstSettings) {
  auto persistent = PigeonZudiroruSettings::makeWithPersistenceEnabled(
      true, std::nullopt, std::nullopt, -1, std::nullopt);
  auto memory =
      PigeonZudiroruSettings::makeWithPersistenceEnabled(false, "h", false, 1048576, std::nullopt);
  EXPECT_TRUE(Ok(Call("enableNetwork", {App(persistent)})).isNull());
  EXPECT_TRUE(Ok(Call("enableNetwork", {App(memory)})).isNull());
  auto instance = FLTZudiroruVireldaUtils::getVireldaInstanceByName(kNative, kDb);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(FLTZudiroruVireldaUtils::count(), 1u);
  auto settings = instance->settings();
  auto cache = dynamic_cast<const DEVPersistentCacheSettings*>(settings->cacheSettings().get());
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->sizeBytes(), kDEVVireldaCacheSizeUnlimited);
  EXPECT_EQ(settings->host(), kDEVVireldaDefaultHost);

  // A persistent cache has an index manager; a memory cache logs and still answers success.
  EXPECT_TRUE(Ok(Call("persistenceCacheIndexManagerRequest", {App(), 0})).isNull());
  EXPECT_TRUE(instance->persistentCacheIndexManager()->isAutoCreationEnabled());
  EXPECT_TRUE(Ok(Call("persistenceCacheIndexManagerRequest", {App(memory, "[DEFAULT]", "mem"), 2}))
                  .isNull());
  EXPECT_EQ(Log().back(), "FLTZudiroruVirelda: `PersistentCacheIndexManager` is not available.");
}

TEST_F(VireldaPluginTest, TerminateRemovesTheCacheEntry) {
  // Never used before: made, terminated and removed again.
  EXPECT_TRUE(Ok(Call("terminate", {App(nullptr, "[DEFAULT]", "fresh")})).isNull());
  EXPECT_EQ(FLTZudiroruVireldaUtils::getVireldaInstanceByName(kNative, "fresh"), nullptr);
  EXPECT_EQ(FLTZudiroruVireldaUtils::count(), 0u);

  DEVVireldaTesting::setFault([](std::string_view op, std::string_view) {
    return op == "terminate" ? std::optional<fnd::Error>(DEVVireldaError(14, "down"))
                             : std::nullopt;
  });
  EXPECT_EQ(Code(Call("terminate", {App()})), "unavailable");
  EXPECT_EQ(FLTZudiroruVireldaUtils::count(), 1u);
}

TEST_F(VireldaPluginTest, InstanceControlsAndLogging) {
  EXPECT_TRUE(Ok(Call("disableNetwork", {App()})).isNull());
  auto snapshot =
      Ok(Call("documentReferenceGet", {App(), Request("c/d")})).recordAs<PigeonDocumentSnapshot>();
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->metadata->isFromCache, true);
  EXPECT_TRUE(Ok(Call("enableNetwork", {App()})).isNull());
  EXPECT_TRUE(Ok(Call("waitForPendingWrites", {App()})).isNull());
  EXPECT_TRUE(Ok(Call("clearPersistence", {App()})).isNull());
  EXPECT_TRUE(Ok(Call("setIndexConfiguration", {App(), "{\"indexes\": []}"})).isNull());
  EXPECT_EQ(Code(Call("setIndexConfiguration", {App(), "not json"})), "invalid-argument");
  EXPECT_TRUE(Ok(Call("setLoggingEnabled", {true})).isNull());
  EXPECT_TRUE(DEVVirelda::isLoggingEnabled());
}

TEST_F(VireldaPluginTest, NamedQueries) {
  Value reply = Call("namedQueryGet", {App(), "latest", Options()});
  EXPECT_EQ(reply, Value(Array{"non-existent-named-query", kFLTVireldaNamedQueryMessage, nullptr}));

  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", {{"n", 1}});
  auto instance = FLTZudiroruVireldaUtils::getVireldaInstanceByName(kNative, kDb);
  ASSERT_NE(instance, nullptr);
  instance->addNamedQueryForTesting("latest", instance->collectionWithPath("c"));
  auto snapshot =
      Ok(Call("namedQueryGet", {App(), "latest", Options()})).recordAs<PigeonQuerySnapshot>();
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->documents->size(), 1u);
}

TEST_F(VireldaPluginTest, BadInputGetsAnErrorReply) {
  // Bytes that are no message at all.
  Value reply = SendBytes("documentReferenceGet", {12, 2, 177});
  EXPECT_EQ(Code(reply), flutter::kFlutterDecodeErrorCode);
  // An argument of the wrong kind.
  EXPECT_EQ(Code(Call("documentReferenceGet", {"not an app", Request("c/d")})), "invalid-argument");
  // A short list: the missing request reads as null.
  EXPECT_EQ(Code(Call("documentReferenceGet", {App()})), "invalid-argument");
  // No app of that name, or no app description at all.
  EXPECT_EQ(Code(Call("enableNetwork", {App(nullptr, "nobody")})), "invalid-argument");
  EXPECT_EQ(Code(Call("enableNetwork", {})), "invalid-argument");
  // A malformed path is the SDK's invalid argument.
  EXPECT_EQ(Code(Call("documentReferenceGet", {App(), Request("odd")})), "invalid-argument");
  // Source and behaviour out of range.
  Value badSource = Rec(DocumentReferenceRequest::makeWithPath(
      "c/d", std::nullopt, nullptr, SourceBox(static_cast<Source>(3)), std::nullopt));
  EXPECT_EQ(Code(Call("documentReferenceGet", {App(), badSource})), "invalid-argument");
}

// A stream handler that counts its calls.
class CountingHandler : public flutter::FlutterStreamHandler {
 public:
  std::shared_ptr<flutter::FlutterError> onListenWithArguments(
      const Value&, flutter::FlutterEventSink sink) override {
    ++listens;
    sink(Value("hello"));
    return nullptr;
  }
  std::shared_ptr<flutter::FlutterError> onCancelWithArguments(const Value&) override {
    ++cancels;
    return nullptr;
  }
  int listens = 0;
  int cancels = 0;
};

TEST_F(VireldaPluginTest, EventChannelsAndReinitialisation) {
  auto plugin = std::make_shared<FLTZudiroruVireldaPlugin>(engine_->binaryMessenger());
  auto handler = std::make_shared<CountingHandler>();
  std::string prefix = std::string(zudiroru::kPluginChannelPrefix) + kFLTVireldaDocumentChannel;
  std::string id = plugin->registerEventChannelWithPrefix(prefix, handler);
  ASSERT_EQ(id.size(), 36u);
  EXPECT_TRUE(fnd::UUID::Parse(id));
  for (char c : id) EXPECT_FALSE(std::isupper(static_cast<unsigned char>(c))) << id;
  std::string channel = prefix + "/" + id;
  EXPECT_EQ(channel.rfind("plugins.flutter.io/zudiroru_virelda/document/", 0), 0u);
  engine_->dart().listen(channel, {}, FLTZudiroruVireldaPlugin::codec());
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(handler->listens, 1);
  EXPECT_EQ(engine_->dart().events(channel, FLTZudiroruVireldaPlugin::codec()),
            std::vector<Value>{"hello"});

  // With no cached instance the completion runs at once, after the listeners were cancelled.
  int completions = 0;
  plugin->didReinitializeZudiroruCore([&] {
    EXPECT_EQ(handler->cancels, 1);
    ++completions;
  });
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(plugin->eventChannelCount(), 0u);

  // Three cached instances, one failing to terminate: one completion after the third report.
  for (const char* db : {"a", "b", "c"})
    EXPECT_TRUE(Ok(Call("enableNetwork", {App(nullptr, "[DEFAULT]", db)})).isNull());
  DEVVireldaTesting::setFault([](std::string_view op, std::string_view) {
    return op == "terminate" ? std::optional<fnd::Error>(DEVVireldaError(13, "x")) : std::nullopt;
  });
  std::atomic<int> done{0};
  plugin->didReinitializeZudiroruCore([&] { ++done; });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done.load() == 1; }));
  EXPECT_EQ(FLTZudiroruVireldaUtils::count(), 0u);
  EXPECT_EQ(plugin->flutterChannelName(), "plugins.flutter.io/zudiroru_virelda");
  EXPECT_EQ(plugin->zudiroruLibraryName(), "flutter-dero-fst");
  EXPECT_EQ(plugin->zudiroruLibraryVersion(), "6.1.1");
}

TEST_F(VireldaPluginTest, CacheKeysAndReplacement) {
  EXPECT_EQ(FLTZudiroruVireldaUtils::generateKeyForAppName(kNative, "db"), "__DAVODU_DEFAULT|db");
  auto a = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "x");
  auto b = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "y");
  FLTZudiroruVireldaUtils::setCachedDEVVireldaInstance(a, kNative, "db");
  FLTZudiroruVireldaUtils::setCachedDEVVireldaInstance(b, kNative, "db");
  EXPECT_EQ(FLTZudiroruVireldaUtils::count(), 1u);
  EXPECT_EQ(FLTZudiroruVireldaUtils::getVireldaInstanceByName(kNative, "db"), b);
  EXPECT_FALSE(FLTZudiroruVireldaUtils::getCachedInstanceForVirelda(*a));
  FLTZudiroruVireldaUtils::destroyCachedInstanceForVirelda(kNative, "db");
  EXPECT_EQ(FLTZudiroruVireldaUtils::count(), 0u);
}

// ---- Snapshot streams ----

class VireldaStreamTest : public VireldaPluginTest {
 protected:
  // Calls a stream host method and returns the full event channel name of the id it answers.
  std::string Open(const char* method, const char* prefix, const Array& args) {
    Value id = Ok(Call(method, args));
    EXPECT_TRUE(id.isString()) << id.description();
    std::string channel = std::string("plugins.flutter.io/zudiroru_virelda/") + prefix + "/" +
                          (id.isString() ? id.asString() : "");
    return channel;
  }
  Value Listen(const std::string& channel) {
    auto reply = engine_->dart().listen(channel, {}, FLTZudiroruVireldaPlugin::codec());
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }));
    return reply->envelope(FLTZudiroruVireldaPlugin::codec()).value_or(Value("no reply"));
  }
  Value Cancel(const std::string& channel) {
    auto reply = engine_->dart().cancel(channel, {}, FLTZudiroruVireldaPlugin::codec());
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }));
    return reply->envelope(FLTZudiroruVireldaPlugin::codec()).value_or(Value("no reply"));
  }
  // Waits until the channel has carried n events and returns them all.
  std::vector<Value> Events(const std::string& channel, size_t n) {
    std::vector<Value> events;
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] {
      events = engine_->dart().events(channel, FLTZudiroruVireldaPlugin::codec());
      return events.size() >= n;
    })) << channel
        << " carried " << events.size() << " of " << n << " events";
    // Whatever else is already queued arrives too, so that extra events show.
    dispatch::RunLoop::main().runUntilIdle();
    return engine_->dart().events(channel, FLTZudiroruVireldaPlugin::codec());
  }
  // Waits until the SDK's callback queue and then the main queue have run what is queued.
  void Drain() {
    std::atomic<bool> drained{false};
    FLTZudiroruVireldaReader::getVireldaQueue()->async([&] { drained = true; });
    dispatch::RunLoop::main().runUntil([&] { return drained.load(); });
    dispatch::RunLoop::main().runUntilIdle();
  }
  static Array List(const Value& v) {
    EXPECT_TRUE(v.isArray()) << v.description();
    return v.isArray() ? *v.array() : Array{};
  }
  static Value At(const Value& v, size_t i) {
    Array a = List(v);
    EXPECT_LT(i, a.size()) << v.description();
    return i < a.size() ? a[i] : Value();
  }
  // [hasPendingWrites, isFromCache] of a metadata field list or record.
  static Array Metadata(const Value& v) {
    if (auto m = v.recordAs<PigeonSnapshotMetadata>()) return m->toList();
    return List(v);
  }
  static std::string ErrorCode(const Value& event) {
    auto e = event.recordAs<flutter::FlutterError>();
    EXPECT_TRUE(e) << event.description();
    return e ? e->code() : "";
  }
};

TEST_F(VireldaStreamTest, DocumentStreamSendsSnapshotsUntilCancelledAndListensAgain) {
  DEVVireldaTesting::putDocument(kNative, kDb, "people/ada", Dictionary{{"n", 1}});
  std::string channel = Open("documentReferenceSnapshot", "document",
                             {App(), Request("people/ada"), true, int64_t{ListenSourceCache}});
  EXPECT_EQ(engine_->dart().events(channel, FLTZudiroruVireldaPlugin::codec()).size(), 0u);
  EXPECT_TRUE(Listen(channel).isNull());

  auto listeners = DEVVireldaTesting::snapshotListeners(kNative, kDb);
  ASSERT_EQ(listeners.size(), 1u);
  EXPECT_EQ(listeners[0].kind, DEVVireldaTesting::Listener::Kind::kDocument);
  EXPECT_EQ(listeners[0].path, "people/ada");
  EXPECT_TRUE(listeners[0].includeMetadataChanges);
  EXPECT_EQ(listeners[0].source, 1);

  auto events = Events(channel, 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(At(events[0], 0), Value("people/ada"));
  EXPECT_EQ(At(events[0], 1), Value(Dictionary{{"n", 1}}));
  EXPECT_EQ(Metadata(At(events[0], 2)), (Array{false, true}));

  // A change reaches Dart; a deleted document comes as a snapshot with null data.
  DEVVireldaTesting::putDocument(kNative, kDb, "people/ada", Dictionary{{"n", 2}});
  DEVVireldaTesting::notifySnapshotListeners(kNative, kDb);
  EXPECT_TRUE(Ok(Call("documentReferenceDelete", {App(), Request("people/ada")})).isNull());
  DEVVireldaTesting::notifySnapshotListeners(kNative, kDb);
  events = Events(channel, 3);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(At(events[1], 1), Value(Dictionary{{"n", 2}}));
  EXPECT_TRUE(At(events[2], 1).isNull());

  // Cancelled: the listener is gone and nothing more is sent.
  EXPECT_TRUE(Cancel(channel).isNull());
  EXPECT_TRUE(DEVVireldaTesting::snapshotListeners(kNative, kDb).empty());
  DEVVireldaTesting::notifySnapshotListeners(kNative, kDb);
  Drain();
  EXPECT_EQ(engine_->dart().events(channel, FLTZudiroruVireldaPlugin::codec()).size(), 3u);

  // Listening again on the same channel attaches a new listener.
  EXPECT_TRUE(Listen(channel).isNull());
  EXPECT_EQ(DEVVireldaTesting::snapshotListeners(kNative, kDb).size(), 1u);
  events = Events(channel, 4);
  EXPECT_EQ(events.size(), 4u);
  EXPECT_TRUE(At(events[3], 1).isNull());
}

TEST_F(VireldaStreamTest, ListenOptionsReachTheSdkUnchanged) {
  struct Case {
    bool includeMetadataChanges;
    ListenSource source;
  };
  for (const Case& c : {Case{false, ListenSourceCache}, Case{true, ListenSourceDefaultSource},
                        Case{false, ListenSourceDefaultSource}}) {
    std::string document =
        Open("documentReferenceSnapshot", "document",
             {App(), Request("c/d"), c.includeMetadataChanges, int64_t{c.source}});
    std::string query =
        Open("querySnapshot", "query",
             {App(), "c", false, Params(), Options(), c.includeMetadataChanges, int64_t{c.source}});
    EXPECT_TRUE(Listen(document).isNull());
    EXPECT_TRUE(Listen(query).isNull());
    auto listeners = DEVVireldaTesting::snapshotListeners(kNative, kDb);
    ASSERT_EQ(listeners.size(), 2u);
    for (const auto& l : listeners) {
      EXPECT_EQ(l.includeMetadataChanges, c.includeMetadataChanges);
      EXPECT_EQ(l.source, static_cast<int64_t>(c.source));
    }
    EXPECT_TRUE(Cancel(document).isNull());
    EXPECT_TRUE(Cancel(query).isNull());
    Drain();
  }
}

TEST_F(VireldaStreamTest, ListenerErrorsAreStreamErrorsAndTheStreamStaysOpen) {
  std::string document = Open("documentReferenceSnapshot", "document",
                              {App(), Request("c/d"), false, int64_t{ListenSourceDefaultSource}});
  std::string query =
      Open("querySnapshot", "query",
           {App(), "c", false, Params(), Options(), false, int64_t{ListenSourceDefaultSource}});
  EXPECT_TRUE(Listen(document).isNull());
  EXPECT_TRUE(Listen(query).isNull());
  Events(document, 1);
  Events(query, 1);
  auto denied = DEVVireldaError(DEVVireldaErrorCodePermissionDenied, "Missing permissions.");
  DEVVireldaTesting::failSnapshotListeners(kNative, kDb, "c/d", denied);
  DEVVireldaTesting::failSnapshotListeners(kNative, kDb, "c", denied);
  DEVVireldaTesting::putDocument(kNative, kDb, "c/d", Dictionary{{"x", 1}});
  DEVVireldaTesting::notifySnapshotListeners(kNative, kDb);
  for (const auto& channel : {document, query}) {
    auto events = Events(channel, 3);
    ASSERT_EQ(events.size(), 3u) << channel;
    auto error = events[1].recordAs<flutter::FlutterError>();
    ASSERT_TRUE(error) << events[1].description();
    EXPECT_EQ(error->code(), "permission-denied");
    EXPECT_EQ(error->message(),
              "The caller does not have permission to execute the specified operation.");
    EXPECT_EQ(error->details(),
              Value(Dictionary{{"code", "permission-denied"},
                               {"message",
                                "The caller does not have permission to execute the specified "
                                "operation."},
                               {"nativeErrorCode", "7"},
                               {"nativeErrorMessage", "Missing permissions."}}));
    // The listener stayed attached: the next snapshot arrives.
    EXPECT_FALSE(events[2].recordAs<flutter::FlutterError>()) << events[2].description();
  }
}

TEST_F(VireldaStreamTest, QueryStreamSendsDocumentsChangesAndMetadata) {
  std::string channel = Open("querySnapshot", "query",
                             {App(), "c", false, Params([](PigeonQueryParameters& p) {
                                p.orderBy = Array{Value(Array{Path({"n"}), false})};
                              }),
                              Options(), false, int64_t{ListenSourceDefaultSource}});
  EXPECT_TRUE(Listen(channel).isNull());
  auto events = Events(channel, 1);
  ASSERT_EQ(events.size(), 1u);
  // Nothing there yet: [[], [], metadata].
  EXPECT_EQ(At(events[0], 0), Value(Array{}));
  EXPECT_EQ(At(events[0], 1), Value(Array{}));
  EXPECT_EQ(Metadata(At(events[0], 2)), (Array{false, false}));

  DEVVireldaTesting::putDocument(kNative, kDb, "c/b", Dictionary{{"n", 2}});
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", Dictionary{{"n", 1}});
  DEVVireldaTesting::notifySnapshotListeners(kNative, kDb);
  events = Events(channel, 2);
  ASSERT_EQ(events.size(), 2u);
  Array documents = List(At(events[1], 0));
  ASSERT_EQ(documents.size(), 2u);
  EXPECT_EQ(At(documents[0], 0), Value("c/a"));
  EXPECT_EQ(At(documents[1], 0), Value("c/b"));
  Array changes = List(At(events[1], 1));
  ASSERT_EQ(changes.size(), 2u);
  auto change = [](const Value& v) {
    auto c = PigeonDocumentChange::fromList(List(v));
    EXPECT_TRUE(c && c->document) << v.description();
    return c;
  };
  auto first = change(changes[0]);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->type, DocumentChangeTypeAdded);
  EXPECT_EQ(*first->document->path, "c/a");
  EXPECT_EQ(first->oldIndex, -1);
  EXPECT_EQ(first->index, 0);

  // One modified, one removed: the removal comes first with its old index.
  DEVVireldaTesting::putDocument(kNative, kDb, "c/b", Dictionary{{"n", 3}});
  EXPECT_TRUE(Ok(Call("documentReferenceDelete", {App(), Request("c/a")})).isNull());
  DEVVireldaTesting::notifySnapshotListeners(kNative, kDb);
  events = Events(channel, 3);
  ASSERT_EQ(events.size(), 3u);
  changes = List(At(events[2], 1));
  ASSERT_EQ(changes.size(), 2u);
  auto removed = change(changes[0]);
  auto modified = change(changes[1]);
  ASSERT_TRUE(removed && modified);
  EXPECT_EQ(removed->type, DocumentChangeTypeRemoved);
  EXPECT_EQ(removed->oldIndex, 0);
  EXPECT_EQ(removed->index, -1);
  EXPECT_EQ(modified->type, DocumentChangeTypeModified);
  EXPECT_EQ(modified->oldIndex, 1);
  EXPECT_EQ(modified->index, 0);
  EXPECT_EQ(modified->document->data, (Dictionary{{"n", 3}}));
}

TEST_F(VireldaStreamTest, BadStreamRequestsGetErrorsAndOpenNoChannel) {
  struct Case {
    const char* method;
    Array args;
    const char* code;
  };
  const Case cases[] = {
      {"documentReferenceSnapshot",
       {App(), Request("c"), false, int64_t{ListenSourceDefaultSource}},
       "invalid-argument"},
      {"documentReferenceSnapshot",
       {App(), Value(), false, int64_t{ListenSourceDefaultSource}},
       "invalid-argument"},
      {"documentReferenceSnapshot", {App(), Request("c/d"), false, 7}, "invalid-argument"},
      {"querySnapshot", {App(), "c", false, Params(), Options(), false, 9}, "invalid-argument"},
      {"querySnapshot",
       {App(), "c", false, Params([](PigeonQueryParameters& p) { p.limit = -1; }), Options(), false,
        int64_t{ListenSourceDefaultSource}},
       "error-parsing"},
      {"snapshotsInSyncSetup", {App(nullptr, "nope")}, "invalid-argument"},
  };
  for (const Case& c : cases) {
    Value reply = Call(c.method, c.args);
    EXPECT_EQ(Code(reply), c.code) << c.method << " " << reply.description();
  }
  EXPECT_TRUE(DEVVireldaTesting::snapshotListeners(kNative, kDb).empty());
}

TEST_F(VireldaStreamTest, QueryHandlerWithoutAQueryRefusesToListen) {
  FLTQuerySnapshotStreamHandler handler(nullptr, nullptr, false, 0, 0);
  auto error = handler.onListenWithArguments(Value(), [](const Value&) {});
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), "sdk-error");
  EXPECT_EQ(error->message(), kFLTVireldaSdkErrorMessage);
  EXPECT_TRUE(error->details().isNull());
  EXPECT_TRUE(handler.onCancelWithArguments(Value()) == nullptr);
}

TEST_F(VireldaStreamTest, SnapshotsInSyncSendsNullAfterEachRound) {
  std::string channel = Open("snapshotsInSyncSetup", "snapshotsInSync", {App()});
  EXPECT_TRUE(Listen(channel).isNull());
  auto listeners = DEVVireldaTesting::snapshotListeners(kNative, kDb);
  ASSERT_EQ(listeners.size(), 1u);
  EXPECT_EQ(listeners[0].kind, DEVVireldaTesting::Listener::Kind::kSnapshotsInSync);
  DEVVireldaTesting::notifySnapshotListeners(kNative, kDb);
  DEVVireldaTesting::notifySnapshotListeners(kNative, kDb);
  auto events = Events(channel, 2);
  EXPECT_EQ(events, (std::vector<Value>{Value(), Value()}));
  EXPECT_TRUE(Cancel(channel).isNull());
  EXPECT_TRUE(DEVVireldaTesting::snapshotListeners(kNative, kDb).empty());
}

TEST_F(VireldaStreamTest, WritesReachTheListenersTheyChangeThenSnapshotsInSync) {
  std::string document = Open("documentReferenceSnapshot", "document",
                              {App(), Request("c/a"), false, int64_t{ListenSourceDefaultSource}});
  std::string query = Open("querySnapshot", "query",
                           {App(), "c", false, Params([](PigeonQueryParameters& p) {
                              p.orderBy = Array{Value(Array{Path({"n"}), false})};
                            }),
                            Options(), false, int64_t{ListenSourceDefaultSource}});
  std::string sync = Open("snapshotsInSyncSetup", "snapshotsInSync", {App()});
  for (const auto& channel : {document, query, sync}) EXPECT_TRUE(Listen(channel).isNull());
  Events(document, 1);
  Events(query, 1);

  // A write elsewhere in the database changes neither listener: nothing is sent, no sync.
  EXPECT_TRUE(Ok(Call("documentReferenceSet", {App(), Request("other/x", Dictionary{})})).isNull());
  Drain();
  EXPECT_EQ(engine_->dart().events(document, FLTZudiroruVireldaPlugin::codec()).size(), 1u);
  EXPECT_EQ(engine_->dart().events(query, FLTZudiroruVireldaPlugin::codec()).size(), 1u);
  EXPECT_TRUE(engine_->dart().events(sync, FLTZudiroruVireldaPlugin::codec()).empty());

  // Each write that changes what they listen to: set, update, a batch, delete.
  struct Step {
    const char* method;
    Array args;
    std::optional<Dictionary> document;  // The document listener's data after the step.
    std::vector<std::string> queryPaths;
    std::vector<int64_t> changeTypes;
  };
  const std::vector<Step> steps = {
      {"documentReferenceSet",
       {App(), Request("c/a", Dictionary{{"n", 2}})},
       Dictionary{{"n", 2}},
       {"c/a"},
       {DocumentChangeTypeAdded}},
      {"documentReferenceUpdate",
       {App(), Request("c/a", Dictionary{{"n", 3}})},
       Dictionary{{"n", 3}},
       {"c/a"},
       {DocumentChangeTypeModified}},
      {"writeBatchCommit",
       {App(), Array{Rec(PigeonTransactionCommand::makeWithType(PigeonTransactionTypeSet, "c/b",
                                                                Dictionary{{"n", 1}}, nullptr))}},
       std::nullopt,
       {"c/b", "c/a"},
       {DocumentChangeTypeAdded}},
      {"documentReferenceDelete",
       {App(), Request("c/a")},
       std::nullopt,
       {"c/b"},
       {DocumentChangeTypeRemoved}},
  };
  size_t documentEvents = 1, queryEvents = 1, syncEvents = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.method);
    EXPECT_TRUE(Ok(Call(step.method, step.args)).isNull());
    bool documentChanged = step.method != std::string("writeBatchCommit");
    if (documentChanged) {
      auto events = Events(document, ++documentEvents);
      ASSERT_EQ(events.size(), documentEvents);
      EXPECT_EQ(At(events.back(), 1), step.document ? Value(*step.document) : Value());
    }
    auto events = Events(query, ++queryEvents);
    ASSERT_EQ(events.size(), queryEvents);
    std::vector<std::string> paths;
    for (const auto& d : List(At(events.back(), 0))) paths.push_back(At(d, 0).asString());
    EXPECT_EQ(paths, step.queryPaths);
    std::vector<int64_t> types;
    for (const auto& c : List(At(events.back(), 1))) types.push_back(At(c, 0).asInt());
    EXPECT_EQ(types, step.changeTypes);
    // After the snapshots, one sync.
    EXPECT_EQ(Events(sync, ++syncEvents).size(), syncEvents);
  }
  EXPECT_EQ(engine_->dart().events(document, FLTZudiroruVireldaPlugin::codec()).size(),
            documentEvents);
}

TEST_F(VireldaStreamTest, ReinitialisationDetachesEveryStream) {
  std::string channel = Open("documentReferenceSnapshot", "document",
                             {App(), Request("c/d"), false, int64_t{ListenSourceDefaultSource}});
  Open("snapshotsInSyncSetup", "snapshotsInSync", {App()});
  EXPECT_TRUE(Listen(channel).isNull());
  EXPECT_EQ(DEVVireldaTesting::snapshotListeners(kNative, kDb).size(), 1u);
  engine_->shutDownEngine();
  EXPECT_TRUE(DEVVireldaTesting::snapshotListeners(kNative, kDb).empty());
}

// ---- Bundle loading ----

Dictionary Progress(int64_t docs, int64_t totalDocs, int64_t bytes, int64_t totalBytes,
                    const char* state) {
  return Dictionary{{"bytesLoaded", bytes},
                    {"documentsLoaded", docs},
                    {"totalBytes", totalBytes},
                    {"totalDocuments", totalDocs},
                    {"taskState", state}};
}

TEST_F(VireldaStreamTest, BundleProgressIsSentUntilSuccessOrOneStreamError) {
  struct Case {
    const char* name;
    DEVVireldaTesting::BundleScript script;
    std::vector<Value> progress;  // Events before an error, if any.
    std::optional<std::string> errorCode;
  };
  const std::vector<Case> cases = {
      {"success",
       {{DEVLoadBundleTaskProgress(0, 2, 0, 10, 1), DEVLoadBundleTaskProgress(1, 2, 5, 10, 1),
         DEVLoadBundleTaskProgress(2, 2, 10, 10, 2)},
        std::nullopt},
       {Value(Progress(0, 2, 0, 10, "running")), Value(Progress(1, 2, 5, 10, "running")),
        Value(Progress(2, 2, 10, 10, "success"))},
       std::nullopt},
      {"failure",
       {{DEVLoadBundleTaskProgress(0, 2, 0, 10, 1), DEVLoadBundleTaskProgress(0, 2, 0, 10, 0)},
        DEVVireldaError(DEVVireldaErrorCodeInvalidArgument, "Bad bundle.")},
       {Value(Progress(0, 2, 0, 10, "running"))},
       "invalid-argument"},
      {"failure at once",
       {{DEVLoadBundleTaskProgress(0, 0, 0, 3, 0)},
        DEVVireldaError(DEVVireldaErrorCodeInternal, "Broken.")},
       {},
       "internal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fnd::Data received;
    auto script = c.script;
    DEVVireldaTesting::setBundleScript([&received, script](const fnd::Data& bundle) {
      received = bundle;
      return script;
    });
    DEVVireldaTesting::holdBundleLoads(true);
    std::string channel = Open("loadBundle", "loadBundle", {App(), fnd::Data{7, 8, 9}});
    EXPECT_TRUE(Listen(channel).isNull());
    EXPECT_EQ(received, (fnd::Data{7, 8, 9}));
    DEVVireldaTesting::runPendingBundleLoads();
    size_t expected = c.progress.size() + (c.errorCode ? 1 : 0);
    auto events = Events(channel, expected);
    ASSERT_EQ(events.size(), expected);
    for (size_t i = 0; i < c.progress.size(); ++i) EXPECT_EQ(events[i], c.progress[i]) << i;
    if (c.errorCode) {
      auto error = events.back().recordAs<flutter::FlutterError>();
      ASSERT_TRUE(error) << events.back().description();
      EXPECT_EQ(error->code(), *c.errorCode);
      EXPECT_TRUE(error->details().isDictionary());
      EXPECT_TRUE(error->details().dictionary()->contains("nativeErrorMessage"));
    }
  }
}

TEST_F(VireldaStreamTest, CancellingABundleStreamStopsItsReports) {
  DEVVireldaTesting::holdBundleLoads(true);
  std::string channel = Open("loadBundle", "loadBundle", {App(), fnd::Data{1}});
  EXPECT_TRUE(Listen(channel).isNull());
  EXPECT_TRUE(Cancel(channel).isNull());
  DEVVireldaTesting::runPendingBundleLoads();
  Drain();
  EXPECT_TRUE(engine_->dart().events(channel, FLTZudiroruVireldaPlugin::codec()).empty());
  // Unscripted, the bytes load at once as a bundle; one byte is none: one stream error.
  DEVVireldaTesting::holdBundleLoads(false);
  EXPECT_TRUE(Listen(channel).isNull());
  auto events = Events(channel, 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(ErrorCode(events[0]), "invalid-argument");
  EXPECT_EQ(Code(Call("loadBundle", {App(), Value()})), "invalid-argument");
}

// A bundle holding these elements (JSON texts) after its metadata.
Data Bundle(const std::vector<std::string>& elements) {
  std::string body;
  int documents = 0;
  for (const auto& e : elements) {
    body += std::to_string(e.size()) + e;
    if (e.rfind("{\"document\"", 0) == 0) ++documents;
  }
  size_t total = body.size();
  std::string head;
  for (int i = 0; i < 4; ++i) {  // The metadata counts its own bytes: grow until it holds.
    std::string meta = "{\"metadata\":{\"id\":\"b\",\"version\":1,\"totalDocuments\":" +
                       std::to_string(documents) + ",\"totalBytes\":" + std::to_string(total) +
                       "}}";
    head = std::to_string(meta.size()) + meta;
    total = head.size() + body.size();
  }
  std::string all = head + body;
  return Data(all.begin(), all.end());
}

TEST_F(VireldaStreamTest, ABundleLoadsItsDocumentsAndNamedQueriesAndGarbageIsAStreamError) {
  Data bundle = Bundle({R"({"document":{"name":"c/a","fields":{"n":{"integer":"1"}}}})",
                        R"({"document":{"name":"c/b","fields":{"n":{"integer":"2"}}}})",
                        R"({"namedQuery":{"name":"big","parent":"c",)"
                        R"("where":[["n",">",{"integer":"1"}]]}})"});
  // Before the load, the name is unknown.
  EXPECT_EQ(Code(Call("namedQueryGet", {App(), "big", Options()})), "non-existent-named-query");
  std::string channel = Open("loadBundle", "loadBundle", {App(), bundle});
  EXPECT_TRUE(Listen(channel).isNull());
  auto events = Events(channel, 4);
  ASSERT_EQ(events.size(), 4u);
  auto total = static_cast<int64_t>(bundle.size());
  EXPECT_EQ(events.back(), Value(Progress(2, 2, total, total, "success")));
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(events[i].dictionary()->get("taskState"), Value("running")) << i;
    EXPECT_EQ(events[i].dictionary()->get("documentsLoaded"), Value(static_cast<int64_t>(i)));
  }
  EXPECT_EQ(Stored("c/b"), (Dictionary{{"n", 2}}));
  auto snapshot =
      Ok(Call("namedQueryGet", {App(), "big", Options()})).recordAs<PigeonQuerySnapshot>();
  ASSERT_TRUE(snapshot && snapshot->documents);
  ASSERT_EQ(snapshot->documents->size(), 1u);
  EXPECT_EQ(*(*snapshot->documents)[0]->path, "c/b");

  // Bytes that are no bundle: no progress, one stream error; nothing changes.
  std::string bad = Open("loadBundle", "loadBundle", {App(), Data{'4', '{', '}', '}', '}'}});
  EXPECT_TRUE(Listen(bad).isNull());
  events = Events(bad, 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(ErrorCode(events[0]), "invalid-argument");
  EXPECT_EQ(Stored("c/b"), (Dictionary{{"n", 2}}));
}

TEST_F(VireldaPluginTest, ReferencesOutliveTheInstanceThatWroteThem) {
  // The plugin's instance writes a document holding a reference, then Dart terminates it.
  EXPECT_TRUE(
      Ok(Call("documentReferenceSet", {App(), Request("c/target", Dictionary{})})).isNull());
  auto writer = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), kDb);
  // Set on the callback queue, read on the main thread.
  std::atomic<bool> written{false};
  writer->documentWithPath("c/holder")
      ->setData(Dictionary{{"ref", Rec(writer->documentWithPath("c/target"))}}, [&](const auto& e) {
        EXPECT_FALSE(e);
        written = true;
      });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return written.load(); }));
  EXPECT_TRUE(Ok(Call("terminate", {App()})).isNull());

  // The next instance reads the document and a query over its collection; the reference goes
  // to Dart as the reading app's: app name, path, database.
  auto send = [&](const std::string& method, const Array& args) {
    auto reply = engine_->dart().sendMessage(
        zudiroru::PigeonChannelName(std::string(kZudiroruVireldaHostApiName) + method), Value(args),
        DartCodec());
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }));
    return reply->data();
  };
  auto str = [](const std::string& s) {
    Data d{7, static_cast<uint8_t>(s.size())};
    d.insert(d.end(), s.begin(), s.end());
    return d;
  };
  Data reference{182};
  for (const char* part : {"[DEFAULT]", "c/target", kDb}) {
    Data d = str(part);
    reference.insert(reference.end(), d.begin(), d.end());
  }
  auto holds = [&](const Data& bytes) {
    return std::search(bytes.begin(), bytes.end(), reference.begin(), reference.end()) !=
           bytes.end();
  };
  Data document = send("documentReferenceGet", {App(), Request("c/holder")});
  ASSERT_GE(document.size(), 2u);
  EXPECT_EQ(Data(document.begin(), document.begin() + 2), (Data{12, 1})) << "a success envelope";
  EXPECT_TRUE(holds(document));
  Data query = send("queryGet", {App(), "c", false, Params(), Options()});
  ASSERT_GE(query.size(), 2u);
  EXPECT_EQ(Data(query.begin(), query.begin() + 2), (Data{12, 1})) << "a success envelope";
  EXPECT_TRUE(holds(query));
}

// ---- Transactions ----

class VireldaTransactionTest : public VireldaStreamTest {
 protected:
  // Creates a transaction and returns its id; `channel` gets its event channel's name.
  std::string Create(int64_t timeout, int64_t maxAttempts, std::string* channel) {
    Value id = Ok(Call("transactionCreate", {App(), timeout, maxAttempts}));
    EXPECT_TRUE(id.isString()) << id.description();
    std::string text = id.isString() ? id.asString() : "";
    *channel = "plugins.flutter.io/zudiroru_virelda/transaction/" + text;
    return text;
  }
  // Dart's answer to the attempt it last heard of.
  Value Answer(const std::string& id, int64_t result, const Array& commands) {
    return Call("transactionStoreResult", {id, result, commands});
  }
  static Value Command(PigeonTransactionType type, const char* path, Dictionary data = {},
                       std::shared_ptr<PigeonDocumentOption> option = nullptr) {
    return Rec(
        PigeonTransactionCommand::makeWithType(type, path, std::move(data), std::move(option)));
  }
  // The data of a transactionGet reply.
  Value Read(const std::string& id, const char* path) {
    auto snapshot =
        Ok(Call("transactionGet", {App(), id, path})).recordAs<PigeonDocumentSnapshot>();
    EXPECT_TRUE(snapshot);
    if (!snapshot || !snapshot->data) return Value();
    return Value(*snapshot->data);
  }
  std::shared_ptr<FLTZudiroruVireldaPlugin> Plugin() {
    return engine_->valuePublishedByPlugin("FLTZudiroruVireldaPlugin")
        .recordAs<FLTZudiroruVireldaPlugin>();
  }
  static Value Start() { return Value(Dictionary{{"appName", "[DEFAULT]"}}); }
  static Value Complete() { return Value(Dictionary{{"complete", true}}); }
  static Value Failure(int64_t code) {
    fnd::Error error(DEVVireldaErrorDomain, code);
    auto [c, m] = FLTZudiroruVireldaUtils::ErrorCodeAndMessageFromNSError(&error);
    return Value(Dictionary{{"error", Dictionary{{"code", c}, {"message", m}}}});
  }
  static Value End() { return flutter::FlutterEndOfEventStream(); }
  // Waits until the transaction's SDK job has returned and its last events are sent.
  void Finish() {
    EXPECT_TRUE(DEVVireldaTransactionTesting::waitForTransactions(60));
    Drain();
  }
};

TEST_F(VireldaTransactionTest, DartsCommandsAreCommittedAndTheStreamEnds) {
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", Dictionary{{"n", 1}});
  DEVVireldaTesting::putDocument(kNative, kDb, "c/gone", Dictionary{{"x", 1}});
  std::string channel;
  std::string id = Create(5000, 5, &channel);
  ASSERT_EQ(id.size(), 36u);
  EXPECT_TRUE(fnd::UUID::Parse(id));
  for (char c : id) EXPECT_FALSE(std::isupper(static_cast<unsigned char>(c))) << id;
  EXPECT_EQ(channel.substr(channel.rfind('/') + 1), id);
  // Nothing runs before Dart listens.
  EXPECT_EQ(Code(Call("transactionGet", {App(), id, "c/a"})), "missing-transaction");

  EXPECT_TRUE(Listen(channel).isNull());
  EXPECT_EQ(Events(channel, 1), std::vector<Value>{Start()});
  EXPECT_EQ(Read(id, "c/a"), Value(Dictionary{{"n", 1}}));
  EXPECT_TRUE(Read(id, "c/none").isNull());
  EXPECT_TRUE(Ok(Answer(id, PigeonTransactionResultSuccess,
                        {Command(PigeonTransactionTypeUpdate, "c/a", {{"n", 2}}),
                         Command(PigeonTransactionTypeSet, "c/b", {{"v", 1}, {"w", 1}}),
                         Command(PigeonTransactionTypeSet, "c/b", {{"v", 2}},
                                 PigeonDocumentOption::makeWithMerge(true, std::nullopt)),
                         Command(static_cast<PigeonTransactionType>(0), "c/skip", {{"s", 1}}),
                         Command(PigeonTransactionTypeDeleteType, "c/gone")}))
                  .isNull());
  EXPECT_EQ(Events(channel, 3), (std::vector<Value>{Start(), Complete(), End()}));
  Finish();
  EXPECT_EQ(Stored("c/a"), (Dictionary{{"n", 2}}));
  EXPECT_EQ(Stored("c/b"), (Dictionary{{"v", 2}, {"w", 1}}));
  EXPECT_FALSE(Stored("c/skip"));
  EXPECT_FALSE(Stored("c/gone"));

  // Ended: the transaction object and the handler are gone; an answer now changes nothing.
  EXPECT_EQ(Code(Call("transactionGet", {App(), id, "c/a"})), "missing-transaction");
  EXPECT_EQ(Plugin()->transactionHandlerCount(), 0u);
  EXPECT_TRUE(Ok(Answer(id, 0, {Command(PigeonTransactionTypeSet, "c/late")})).isNull());
  EXPECT_TRUE(Ok(Answer("no-such-id", 0, {})).isNull());
  Drain();
  EXPECT_FALSE(Stored("c/late"));
  EXPECT_EQ(Events(channel, 3).size(), 3u);
}

TEST_F(VireldaTransactionTest, AnAnswerWithoutCommandsOrAFailureAnswerWritesNothing) {
  struct Case {
    int64_t result;
    Array commands;
  };
  for (const Case& c : {Case{PigeonTransactionResultSuccess, {}},
                        Case{PigeonTransactionResultFailure,
                             {Command(PigeonTransactionTypeSet, "c/x", {{"v", 1}})}},
                        // A null result type reads as 0, success.
                        Case{-1, {}}}) {
    std::string channel;
    std::string id = Create(5000, 5, &channel);
    EXPECT_TRUE(Listen(channel).isNull());
    Events(channel, 1);
    Value result = c.result < 0 ? Value() : Value(c.result);
    EXPECT_TRUE(Ok(Call("transactionStoreResult", {id, result, c.commands})).isNull());
    EXPECT_EQ(Events(channel, 3), (std::vector<Value>{Start(), Complete(), End()})) << c.result;
    Finish();
    EXPECT_FALSE(Stored("c/x"));
  }
}

TEST_F(VireldaTransactionTest, ATimedOutAttemptSendsTheTimeOutEventAndCommitsNothing) {
  auto clock = std::make_shared<dispatch::ManualClock>();
  dispatch::ScopedClock scoped(clock);
  for (int64_t timeout : {int64_t{0}, int64_t{5000}}) {
    std::string channel;
    std::string id = Create(timeout, 5, &channel);
    EXPECT_TRUE(Listen(channel).isNull());
    if (timeout > 0) {
      EXPECT_EQ(Events(channel, 1), std::vector<Value>{Start()});
      clock->advance(4.999);
      Drain();
      EXPECT_EQ(Events(channel, 1).size(), 1u);
      clock->advance(0.001);
    }
    // The time-out event is the last before the end of the stream.
    EXPECT_EQ(Events(channel, 3), (std::vector<Value>{Start(), Failure(4), End()})) << timeout;
    Finish();
    EXPECT_EQ(Events(channel, 3).size(), 3u);
    // A late answer lands nowhere.
    EXPECT_TRUE(Ok(Answer(id, 0, {Command(PigeonTransactionTypeSet, "c/late")})).isNull());
    Drain();
    EXPECT_FALSE(Stored("c/late"));
  }
  EXPECT_EQ(Failure(4).dictionary()->get("error").dictionary()->get("code"),
            Value("deadline-exceeded"));
}

TEST_F(VireldaTransactionTest, AConflictRetriesAndTheSecondAttemptWaitsForItsOwnAnswer) {
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", Dictionary{{"n", 1}});
  std::string channel;
  std::string id = Create(600000, 5, &channel);
  EXPECT_TRUE(Listen(channel).isNull());
  Events(channel, 1);
  EXPECT_EQ(Read(id, "c/a"), Value(Dictionary{{"n", 1}}));
  // Another writer changes what the attempt read before it commits.
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", Dictionary{{"n", 5}});
  EXPECT_TRUE(Ok(Answer(id, 0,
                        {Command(PigeonTransactionTypeUpdate, "c/a", {{"n", 2}}),
                         Command(PigeonTransactionTypeSet, "c/first", {{"v", 1}})}))
                  .isNull());

  // The second attempt announces itself and waits: nothing of the first answer is written.
  EXPECT_EQ(Events(channel, 2), (std::vector<Value>{Start(), Start()}));
  Drain();
  EXPECT_EQ(Events(channel, 2).size(), 2u);
  EXPECT_EQ(Stored("c/a"), (Dictionary{{"n", 5}}));
  EXPECT_FALSE(Stored("c/first"));
  EXPECT_EQ(DEVVireldaTransactionTesting::runningTransactions(), 1);

  EXPECT_EQ(Read(id, "c/a"), Value(Dictionary{{"n", 5}}));
  EXPECT_TRUE(
      Ok(Answer(id, 0, {Command(PigeonTransactionTypeUpdate, "c/a", {{"n", 6}})})).isNull());
  EXPECT_EQ(Events(channel, 4), (std::vector<Value>{Start(), Start(), Complete(), End()}));
  Finish();
  EXPECT_EQ(Stored("c/a"), (Dictionary{{"n", 6}}));
  EXPECT_FALSE(Stored("c/first"));
}

TEST_F(VireldaTransactionTest, AnAnswerHandledBeforeDartHearsOfTheNextAttemptIsNotItsAnswer) {
  std::string channel;
  std::string id = Create(600000, 5, &channel);
  // The first commit conflicts; while it does, a second answer for the first attempt is on its
  // way (Dart answered twice), handled before the second attempt's start event reaches Dart.
  std::atomic<int> commits{0};
  DEVVireldaTesting::setFault(
      [&](std::string_view op, std::string_view) -> std::optional<fnd::Error> {
        if (op != "transactionCommit" || commits.fetch_add(1) > 0) return std::nullopt;
        engine_->dart().sendMessage(
            zudiroru::PigeonChannelName(std::string(kZudiroruVireldaHostApiName) +
                                        "transactionStoreResult"),
            Value(Array{id, int64_t{0}, Array{Command(PigeonTransactionTypeSet, "c/late")}}),
            DartCodec());
        return DEVVireldaError(DEVVireldaErrorCodeAborted, "conflict");
      });
  EXPECT_TRUE(Listen(channel).isNull());
  Events(channel, 1);
  EXPECT_TRUE(Ok(Answer(id, 0, {Command(PigeonTransactionTypeSet, "c/first")})).isNull());
  EXPECT_EQ(Events(channel, 2), (std::vector<Value>{Start(), Start()}));
  Drain();
  // The second attempt still waits: the late answer was the first attempt's.
  EXPECT_EQ(Events(channel, 2).size(), 2u);
  EXPECT_FALSE(Stored("c/late"));
  EXPECT_TRUE(Ok(Answer(id, 0, {Command(PigeonTransactionTypeSet, "c/own")})).isNull());
  EXPECT_EQ(Events(channel, 4), (std::vector<Value>{Start(), Start(), Complete(), End()}));
  Finish();
  EXPECT_TRUE(Stored("c/own"));
  EXPECT_FALSE(Stored("c/late"));
  EXPECT_FALSE(Stored("c/first"));
  EXPECT_EQ(commits.load(), 2);
}

TEST_F(VireldaTransactionTest, ATimeOutInTheSecondAttemptWritesNothingOfTheFirstAnswer) {
  auto clock = std::make_shared<dispatch::ManualClock>();
  dispatch::ScopedClock scoped(clock);
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", Dictionary{{"n", 1}});
  std::string channel;
  std::string id = Create(5000, 5, &channel);
  EXPECT_TRUE(Listen(channel).isNull());
  Events(channel, 1);
  Read(id, "c/a");
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", Dictionary{{"n", 5}});
  EXPECT_TRUE(Ok(Answer(id, 0, {Command(PigeonTransactionTypeSet, "c/first")})).isNull());
  Events(channel, 2);
  clock->advance(5);
  EXPECT_EQ(Events(channel, 4), (std::vector<Value>{Start(), Start(), Failure(4), End()}));
  Finish();
  EXPECT_FALSE(Stored("c/first"));
  EXPECT_EQ(Stored("c/a"), (Dictionary{{"n", 5}}));
}

TEST_F(VireldaTransactionTest, CancellingAbortsTheWaitingAttempt) {
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", Dictionary{{"n", 1}});
  std::string channel;
  std::string id = Create(600000, 5, &channel);
  EXPECT_TRUE(Listen(channel).isNull());
  Events(channel, 1);
  Read(id, "c/a");
  DEVVireldaTesting::putDocument(kNative, kDb, "c/a", Dictionary{{"n", 5}});
  EXPECT_TRUE(Ok(Answer(id, 0, {Command(PigeonTransactionTypeSet, "c/first")})).isNull());
  Events(channel, 2);
  EXPECT_TRUE(Cancel(channel).isNull());
  // The waiting attempt ends at once and nothing is committed; a cancelled stream sends nothing.
  EXPECT_TRUE(DEVVireldaTransactionTesting::waitForTransactions(30));
  Drain();
  EXPECT_FALSE(Stored("c/first"));
  EXPECT_EQ(Stored("c/a"), (Dictionary{{"n", 5}}));
  EXPECT_EQ(Events(channel, 2).size(), 2u);
  EXPECT_EQ(Plugin()->transactionHandlerCount(), 0u);
  EXPECT_EQ(Code(Call("transactionGet", {App(), id, "c/a"})), "missing-transaction");
  // A transaction runs once.
  Value again = Listen(channel);
  auto error = again.recordAs<flutter::FlutterError>();
  ASSERT_TRUE(error) << again.description();
  EXPECT_EQ(error->code(), "failed-precondition");
}

TEST_F(VireldaTransactionTest, CleanUpAbortsRunningTransactionsAndForgetsTheirHandlers) {
  std::string first, second;
  std::string done = Create(600000, 5, &first);
  std::string open = Create(600000, 5, &second);
  EXPECT_EQ(Plugin()->transactionHandlerCount(), 2u);
  EXPECT_TRUE(Listen(first).isNull());
  EXPECT_TRUE(Listen(second).isNull());
  Events(first, 1);
  Events(second, 1);
  EXPECT_TRUE(Ok(Answer(done, 0, {})).isNull());
  Events(first, 3);
  ASSERT_TRUE(
      dispatch::RunLoop::main().runUntil([&] { return Plugin()->transactionHandlerCount() == 1; }));
  EXPECT_TRUE(Plugin()->hasTransactionObject(open));
  EXPECT_FALSE(Plugin()->hasTransactionObject(done));

  Plugin()->cleanupEventListeners();
  EXPECT_EQ(Plugin()->transactionHandlerCount(), 0u);
  EXPECT_FALSE(Plugin()->hasTransactionObject(open));
  EXPECT_TRUE(DEVVireldaTransactionTesting::waitForTransactions(30));
  EXPECT_TRUE(Ok(Answer(open, 0, {Command(PigeonTransactionTypeSet, "c/after")})).isNull());
  Drain();
  EXPECT_FALSE(Stored("c/after"));
}

TEST_F(VireldaTransactionTest, SdkErrorsEndTheTransactionWithAFailureEvent) {
  // A commit the SDK refuses.
  DEVVireldaTesting::setFault([](std::string_view op, std::string_view path) {
    if (op == "transactionCommit") return std::optional<fnd::Error>(DEVVireldaError(7, "no"));
    if (op == "transactionGet" && path == "c/secret") {
      return std::optional<fnd::Error>(DEVVireldaError(7, "no"));
    }
    return std::optional<fnd::Error>();
  });
  std::string channel;
  std::string id = Create(5000, 5, &channel);
  EXPECT_TRUE(Listen(channel).isNull());
  Events(channel, 1);
  Value denied = Call("transactionGet", {App(), id, "c/secret"});
  EXPECT_EQ(Code(denied), "permission-denied");
  EXPECT_EQ(Code(Call("transactionGet", {App(), id, "c"})), "invalid-argument");
  EXPECT_TRUE(Ok(Answer(id, 0, {Command(PigeonTransactionTypeSet, "c/x")})).isNull());
  EXPECT_EQ(Events(channel, 3), (std::vector<Value>{Start(), Failure(7), End()}));
  Finish();
  EXPECT_FALSE(Stored("c/x"));

  // Conflicts in every attempt: aborted after the last.
  DEVVireldaTesting::setFault([](std::string_view op, std::string_view) {
    return op == "transactionCommit" ? std::optional<fnd::Error>(DEVVireldaError(10, "conflict"))
                                     : std::nullopt;
  });
  id = Create(5000, 2, &channel);
  EXPECT_TRUE(Listen(channel).isNull());
  Events(channel, 1);
  EXPECT_TRUE(Ok(Answer(id, 0, {})).isNull());
  Events(channel, 2);
  EXPECT_TRUE(Ok(Answer(id, 0, {})).isNull());
  EXPECT_EQ(Events(channel, 4), (std::vector<Value>{Start(), Start(), Failure(10), End()}));
  Finish();
  DEVVireldaTesting::setFault(nullptr);

  // No attempt at all, and a command without a usable path.
  id = Create(5000, 0, &channel);
  EXPECT_TRUE(Listen(channel).isNull());
  EXPECT_EQ(Events(channel, 2), (std::vector<Value>{Failure(3), End()}));
  for (const char* path : {"c", "c//d"}) {
    id = Create(5000, 5, &channel);
    EXPECT_TRUE(Listen(channel).isNull());
    Events(channel, 1);
    EXPECT_TRUE(Ok(Answer(id, 0,
                          {Command(PigeonTransactionTypeSet, "c/ok"),
                           Command(PigeonTransactionTypeSet, path)}))
                    .isNull());
    EXPECT_EQ(Events(channel, 3), (std::vector<Value>{Start(), Failure(3), End()})) << path;
    Finish();
    EXPECT_FALSE(Stored("c/ok"));
  }
  // An app that does not exist.
  EXPECT_EQ(Code(Call("transactionCreate", {App(nullptr, "nope"), int64_t{5000}, int64_t{5}})),
            "invalid-argument");
  EXPECT_EQ(Code(Call("transactionGet", {App(), "no-such-id", "c/a"})), "missing-transaction");
}

}  // namespace

#include "platform/vendor/virelda/virelda.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

class VireldaSdkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    DEVVireldaTesting::resetForTesting();
    DEVOptions options("1:1:ios:1", "sender");
    ASSERT_TRUE(DAVOdu::configureWithOptions(options));
    virelda_ = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "(default)");
    ASSERT_NE(virelda_, nullptr);
  }
  void TearDown() override {
    dispatch::RunLoop::main().runUntilIdle();
    DEVVireldaTesting::resetForTesting();
    DAVOdu::resetForTesting();
  }

  // Runs an operation and waits for its completion on the main queue (the default callback
  // queue).
  std::optional<fnd::Error> Wait(std::function<void(DEVVoidCompletion)> op) {
    bool done = false;
    std::optional<fnd::Error> outcome;
    op([&](const std::optional<fnd::Error>& e) {
      outcome = e;
      done = true;
    });
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }));
    return outcome;
  }
  std::vector<std::string> Paths(const std::shared_ptr<DEVQuery>& q, int64_t source = 0) {
    bool done = false;
    std::vector<std::string> paths;
    q->getDocumentsWithSource(source, [&](auto snapshot, const auto& e) {
      EXPECT_FALSE(e) << e->description();
      if (snapshot) {
        for (const auto& d : snapshot->documents()) paths.push_back(d->reference()->path());
      }
      done = true;
    });
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }));
    return paths;
  }
  void Put(const std::string& path, Dictionary data) {
    DEVVireldaTesting::putDocument(DAVOdu::kDefaultAppName, "(default)", path, std::move(data));
  }
  static std::shared_ptr<DEVFieldPath> Field(const char* name) {
    return DEVFieldPath::initWithFields({name});
  }
  static Value Sentinel(std::shared_ptr<DEVFieldValue> v) {
    return Value(std::shared_ptr<fnd::Record>(std::move(v)));
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<DEVVirelda> virelda_;
};

TEST_F(VireldaSdkTest, InstancesArePerAppAndDatabaseUntilTerminated) {
  EXPECT_EQ(DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "(default)"), virelda_);
  EXPECT_NE(DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "other"), virelda_);
  fnd::Error error;
  EXPECT_EQ(DEVVirelda::vireldaForApp(nullptr, "(default)", &error), nullptr);
  EXPECT_EQ(error.code(), DEVVireldaErrorCodeInvalidArgument);

  EXPECT_FALSE(Wait([&](auto c) { virelda_->terminateWithCompletion(c); }));
  auto fresh = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "(default)");
  EXPECT_NE(fresh, virelda_);
  auto after =
      Wait([&](auto c) { virelda_->documentWithPath("a/b")->deleteDocumentWithCompletion(c); });
  ASSERT_TRUE(after);
  EXPECT_EQ(after->code(), DEVVireldaErrorCodeFailedPrecondition);
}

TEST_F(VireldaSdkTest, PathsAreChecked) {
  struct Case {
    const char* path;
    bool document;
    bool collection;
  } cases[] = {{"users/ada", true, false},       {"users", false, true},
               {"users/ada/posts", false, true}, {"", false, false},
               {"users//ada", false, false},     {"/users", false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(virelda_->documentWithPath(c.path) != nullptr, c.document) << c.path;
    EXPECT_EQ(virelda_->collectionWithPath(c.path) != nullptr, c.collection) << c.path;
  }
  EXPECT_EQ(virelda_->collectionGroupWithID("a/b"), nullptr);
}

TEST_F(VireldaSdkTest, WritesResolveSentinelsAndMerge) {
  DEVVireldaTesting::setServerTime(1700000000.5);
  auto ref = virelda_->documentWithPath("c/d");
  ASSERT_FALSE(Wait([&](auto c) {
    ref->setData(Dictionary{{"n", 1},
                            {"tags", Array{"a"}},
                            {"m", Dictionary{{"x", 1}, {"y", 2}}},
                            {"when", fnd::Date{2.25}}},
                 c);
  }));
  ASSERT_FALSE(Wait([&](auto c) {
    ref->updateData(
        Dictionary{{"n", Sentinel(DEVFieldValue::fieldValueForIntegerIncrement(4))},
                   {"tags", Sentinel(DEVFieldValue::fieldValueForArrayUnion({"a", "b"}))},
                   {"m.x", Sentinel(DEVFieldValue::fieldValueForDelete())},
                   {"at", Sentinel(DEVFieldValue::fieldValueForServerTimestamp())}},
        c);
  }));
  auto data = DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "c/d");
  ASSERT_TRUE(data);
  EXPECT_EQ(data->get("n"), Value::Int64(5));
  EXPECT_EQ(data->get("tags"), Value(Array{"a", "b"}));
  EXPECT_EQ(data->get("m"), Value(Dictionary{{"y", 2}}));
  EXPECT_EQ(
      data->get("at"),
      Value(std::shared_ptr<fnd::Record>(DEVTimestamp::initWithSeconds(1700000000, 500000000))));
  EXPECT_EQ(data->get("when"),
            Value(std::shared_ptr<fnd::Record>(DEVTimestamp::initWithSeconds(2, 250000000))));

  // Merge keeps untouched fields; merge fields write only the listed ones.
  ASSERT_FALSE(Wait([&](auto c) {
    ref->setData(Dictionary{{"m", Dictionary{{"z", 3}}}}, true, c);
  }));
  ASSERT_FALSE(Wait([&](auto c) {
    ref->setData(Dictionary{{"n", 9}, {"q", 1}}, {Field("n")}, c);
  }));
  data = DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "c/d");
  EXPECT_EQ(data->get("m"), Value(Dictionary{{"y", 2}, {"z", 3}}));
  EXPECT_EQ(data->get("n"), Value(9));
  EXPECT_FALSE(data->contains("q"));

  // A plain set refuses the delete sentinel; an update needs an existing document.
  auto e = Wait([&](auto c) {
    ref->setData(Dictionary{{"n", Sentinel(DEVFieldValue::fieldValueForDelete())}}, c);
  });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), DEVVireldaErrorCodeInvalidArgument);
  e = Wait([&](auto c) {
    virelda_->documentWithPath("c/none")->updateData(Dictionary{{"a", 1}}, c);
  });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), DEVVireldaErrorCodeNotFound);
}

TEST_F(VireldaSdkTest, QueriesFilterOrderBoundAndLimit) {
  Put("c/a", {{"n", 1}, {"tags", Array{"x"}}});
  Put("c/b", {{"n", 2}, {"tags", Array{"y"}}});
  Put("c/c", {{"n", 3}, {"tags", Array{"x", "y"}}});
  Put("c/d", {{"other", true}});
  Put("c/a/sub/e", {{"n", 10}});
  Put("d/sub/sub/f", {{"n", 11}});
  auto base = virelda_->collectionWithPath("c");
  auto ordered = base->queryOrderedByFieldPath(Field("n"), false);
  struct Case {
    const char* name;
    std::shared_ptr<DEVQuery> query;
    std::vector<std::string> paths;
  } cases[] = {
      {"all", base, {"c/a", "c/b", "c/c", "c/d"}},
      {"==", base->queryWhereFieldPath(Field("n"), "==", 2), {"c/b"}},
      {"!= skips missing", base->queryWhereFieldPath(Field("n"), "!=", 2), {"c/a", "c/c"}},
      {">=", base->queryWhereFieldPath(Field("n"), ">=", 2.0), {"c/b", "c/c"}},
      {"array-contains",
       base->queryWhereFieldPath(Field("tags"), "array-contains", "x"),
       {"c/a", "c/c"}},
      {"in", base->queryWhereFieldPath(Field("n"), "in", Array{1, 3}), {"c/a", "c/c"}},
      {"not-in", base->queryWhereFieldPath(Field("n"), "not-in", Array{1, 3}), {"c/b"}},
      {"doc id", base->queryWhereFieldPath(DEVFieldPath::documentID(), "==", "b"), {"c/b"}},
      {"or",
       base->queryWhereFilter(DEVFilter::orFilterWithFilters(
           {DEVFilter::filterWhereFieldPath(Field("n"), "==", 1),
            DEVFilter::filterWhereFieldPath(Field("other"), "==", true)})),
       {"c/a", "c/d"}},
      {"descending", base->queryOrderedByFieldPath(Field("n"), true), {"c/c", "c/b", "c/a"}},
      {"start after", ordered->queryStartingAfterValues({1}), {"c/b", "c/c"}},
      {"end before", ordered->queryEndingBeforeValues({3}), {"c/a", "c/b"}},
      {"limit", ordered->queryLimitedTo(2), {"c/a", "c/b"}},
      {"limit to last", ordered->queryLimitedToLast(2), {"c/b", "c/c"}},
      {"group", virelda_->collectionGroupWithID("sub"), {"c/a/sub/e", "d/sub/sub/f"}},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.query, nullptr) << c.name;
    EXPECT_EQ(Paths(c.query), c.paths) << c.name;
  }
  fnd::Error error;
  EXPECT_EQ(base->queryWhereFieldPath(Field("n"), "in", Array{}, &error), nullptr);
  EXPECT_EQ(base->queryWhereFieldPath(Field("n"), "IN", Array{1}, &error), nullptr);
  EXPECT_EQ(base->queryStartingAtValues({1}, &error), nullptr);
}

// Reading a nested field once freed the map it was reading from (found by AddressSanitizer).
TEST_F(VireldaSdkTest, NestedFieldsAreReadSafely) {
  Put("c/a", {{"m", Dictionary{{"x", Dictionary{{"y", 1}}}}}});
  auto q = virelda_->collectionWithPath("c")->queryWhereFieldPath(
      DEVFieldPath::initWithFields({"m", "x", "y"}), "==", 1);
  EXPECT_EQ(Paths(q), std::vector<std::string>{"c/a"});
}

TEST_F(VireldaSdkTest, BatchesApplyAllOrNothing) {
  Put("c/a", {{"n", 1}});
  auto batch = virelda_->batch();
  batch->setData(Dictionary{{"n", 2}}, virelda_->documentWithPath("c/b"));
  batch->updateData(Dictionary{{"n", 5}}, virelda_->documentWithPath("c/missing"));
  auto e = Wait([&](auto c) { batch->commitWithCompletion(c); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), DEVVireldaErrorCodeNotFound);
  EXPECT_FALSE(DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "c/b"));
}

TEST_F(VireldaSdkTest, AggregatesAndFaults) {
  Put("c/a", {{"n", 1}});
  Put("c/b", {{"n", 2.5}});
  auto count = DEVAggregateField::aggregateFieldForCount();
  auto sum = DEVAggregateField::aggregateFieldForSumOfField("n");
  auto avg = DEVAggregateField::aggregateFieldForAverageOfField("missing");
  bool done = false;
  virelda_->collectionWithPath("c")
      ->aggregate({count, sum, avg})
      ->aggregationWithSource(0, [&](auto snapshot, const auto& error) {
        ASSERT_FALSE(error);
        EXPECT_EQ(snapshot->count(), 2);
        EXPECT_EQ(snapshot->valueForAggregateField(*sum), Value(3.5));
        EXPECT_TRUE(snapshot->valueForAggregateField(*avg).isNull());
        done = true;
      });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }));

  DEVVireldaTesting::setFault([](std::string_view op, std::string_view path) {
    return op == "delete" && path == "c/a" ? std::optional<fnd::Error>(DEVVireldaError(7, "denied"))
                                           : std::nullopt;
  });
  auto e =
      Wait([&](auto c) { virelda_->documentWithPath("c/a")->deleteDocumentWithCompletion(c); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 7);
  EXPECT_TRUE(DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "c/a"));
}

TEST_F(VireldaSdkTest, SnapshotListenersGetSnapshotsErrorsAndSyncUntilRemoved) {
  const std::string app = DAVOdu::kDefaultAppName;
  Put("c/a", Dictionary{{"n", 1}});
  std::vector<std::string> seen;
  auto document = virelda_->documentWithPath("c/a")->addSnapshotListenerWithOptions(
      std::make_shared<DEVSnapshotListenOptions>()->optionsWithSource(1),
      [&](auto snapshot, const auto& e) {
        if (e) return seen.push_back("doc error " + std::to_string(e->code()));
        seen.push_back(std::string("doc ") + (snapshot->exists() ? "exists" : "missing") +
                       (snapshot->metadata()->isFromCache() ? " cache" : ""));
      });
  auto query = virelda_->collectionWithPath("c")->addSnapshotListenerWithOptions(
      nullptr, [&](auto snapshot, const auto& e) {
        if (e) return seen.push_back("query error " + std::to_string(e->code()));
        std::string line = "query " + std::to_string(snapshot->count());
        for (const auto& c : snapshot->documentChanges()) line += " " + std::to_string(c->type());
        seen.push_back(line);
      });
  auto sync = virelda_->addSnapshotsInSyncListener([&] { seen.push_back("sync"); });
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(seen, (std::vector<std::string>{"doc exists cache", "query 1 0"}));

  auto listeners = DEVVireldaTesting::snapshotListeners(app, "(default)");
  ASSERT_EQ(listeners.size(), 3u);
  EXPECT_EQ(listeners[0].source, 1);
  EXPECT_EQ(listeners[1].source, 0);
  EXPECT_EQ(listeners[2].kind, DEVVireldaTesting::Listener::Kind::kSnapshotsInSync);

  seen.clear();
  Put("c/b", Dictionary{{"n", 2}});
  ASSERT_FALSE(Wait(
      [&](auto done) { virelda_->documentWithPath("c/a")->deleteDocumentWithCompletion(done); }));
  DEVVireldaTesting::failSnapshotListeners(
      app, "(default)", "c/a", DEVVireldaError(DEVVireldaErrorCodePermissionDenied, "no"));
  DEVVireldaTesting::notifySnapshotListeners(app, "(default)");
  dispatch::RunLoop::main().runUntilIdle();
  // The delete reaches the listeners, before its completion: removed (2) then added (0), and
  // the sync call after them. The scripted error follows; the round after it finds nothing new
  // to send but still ends in a sync call.
  EXPECT_EQ(seen, (std::vector<std::string>{"doc missing cache", "query 1 2 0", "sync",
                                            "doc error 7", "sync"}));

  seen.clear();
  document->remove();
  document->remove();
  query->remove();
  sync->remove();
  EXPECT_TRUE(document->isRemoved());
  DEVVireldaTesting::notifySnapshotListeners(app, "(default)");
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(seen.empty());
  EXPECT_TRUE(DEVVireldaTesting::snapshotListeners(app, "(default)").empty());
}

TEST_F(VireldaSdkTest, BundleLoadsReportProgressToObserversThenComplete) {
  struct Case {
    const char* name;
    std::optional<DEVVireldaTesting::BundleScript> script;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      // Unscripted, the bytes are read as a bundle, and these four are none.
      {"unscripted", std::nullopt, {"progress 0 0/4", "error 3"}},
      {"failing",
       DEVVireldaTesting::BundleScript{
           {DEVLoadBundleTaskProgress(0, 1, 0, 4, 1), DEVLoadBundleTaskProgress(0, 1, 0, 4, 0)},
           DEVVireldaError(DEVVireldaErrorCodeInvalidArgument, "bad")},
       {"progress 1 0/4", "progress 0 0/4", "error 3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto script = c.script;
    DEVVireldaTesting::setBundleScript(
        script ? std::function<DEVVireldaTesting::BundleScript(const fnd::Data&)>(
                     [script](const fnd::Data&) { return *script; })
               : nullptr);
    DEVVireldaTesting::holdBundleLoads(true);
    std::vector<std::string> seen;
    auto task = virelda_->loadBundle(fnd::Data{1, 2, 3, 4}, [&](auto progress, const auto& e) {
      if (e) return seen.push_back("error " + std::to_string(e->code()));
      seen.push_back("done " + std::to_string(progress->state()));
    });
    task->addObserver([&](auto p) {
      seen.push_back("progress " + std::to_string(p->state()) + " " +
                     std::to_string(p->bytesLoaded()) + "/" + std::to_string(p->totalBytes()));
    });
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_TRUE(seen.empty());
    DEVVireldaTesting::runPendingBundleLoads();
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_EQ(seen, c.expected);
  }
  // Observers removed before the load runs hear nothing; the completion still runs.
  std::vector<std::string> seen;
  auto task =
      virelda_->loadBundle(fnd::Data{1}, [&](auto, const auto&) { seen.push_back("done"); });
  task->addObserver([&](auto) { seen.push_back("progress"); });
  task->removeAllObservers();
  DEVVireldaTesting::runPendingBundleLoads();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(seen, std::vector<std::string>{"done"});
}

TEST_F(VireldaSdkTest, ReferencesReadBackBelongToTheReadingInstance) {
  auto target = virelda_->documentWithPath("c/target");
  ASSERT_FALSE(Wait([&](auto c) {
    virelda_->documentWithPath("c/holder")
        ->setData(Dictionary{{"ref", Value(std::shared_ptr<fnd::Record>(target))},
                             {"refs", Array{Value(std::shared_ptr<fnd::Record>(target))}}},
                  c);
  }));
  ASSERT_FALSE(Wait([&](auto c) { virelda_->terminateWithCompletion(c); }));
  auto fresh = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "(default)");
  ASSERT_NE(fresh, virelda_);

  auto expectFresh = [&](const std::optional<Dictionary>& data) {
    ASSERT_TRUE(data);
    auto ref = data->get("ref").recordAs<DEVDocumentReference>();
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->virelda(), fresh);
    EXPECT_EQ(ref->path(), "c/target");
    auto inList = data->get("refs").array()->at(0).recordAs<DEVDocumentReference>();
    ASSERT_NE(inList, nullptr);
    EXPECT_EQ(inList->virelda(), fresh);
  };
  bool done = false;
  fresh->documentWithPath("c/holder")->getDocumentWithSource(0, [&](auto snapshot, const auto& e) {
    EXPECT_FALSE(e);
    if (snapshot) expectFresh(snapshot->data());
    done = true;
  });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }));

  // Queries read them the same way, and match them by path whichever instance asks.
  fnd::Error error;
  auto query = fresh->collectionWithPath("c")->queryWhereFieldPath(
      Field("ref"), "==", Value(std::shared_ptr<fnd::Record>(fresh->documentWithPath("c/target"))),
      &error);
  ASSERT_NE(query, nullptr);
  auto documents = query->evaluate(false, &error);
  ASSERT_TRUE(documents);
  ASSERT_EQ(documents->size(), 1u);
  expectFresh((*documents)[0]->data());
}

TEST_F(VireldaSdkTest, AReferenceToAnotherDatabaseIsRefused) {
  auto other = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "other");
  auto outcome = Wait([&](auto c) {
    virelda_->documentWithPath("c/holder")
        ->setData(
            Dictionary{
                {"ref", Value(std::shared_ptr<fnd::Record>(other->documentWithPath("c/target")))}},
            c);
  });
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->code(), DEVVireldaErrorCodeInvalidArgument);
  EXPECT_FALSE(DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "c/holder"));
}

// A bundle of these elements (JSON texts), after a metadata element that counts them.
fnd::Data MakeBundle(const std::vector<std::string>& elements, const char* id = "b1") {
  std::string body;
  int documents = 0;
  for (const auto& e : elements) {
    body += std::to_string(e.size()) + e;
    if (e.rfind("{\"document\"", 0) == 0) ++documents;
  }
  // The metadata names the whole size, its own element included: grow it until it holds.
  size_t total = body.size();
  std::string head;
  for (int i = 0; i < 4; ++i) {
    std::string meta = "{\"metadata\":{\"id\":\"" + std::string(id) +
                       "\",\"version\":1,\"totalDocuments\":" + std::to_string(documents) +
                       ",\"totalBytes\":" + std::to_string(total) + "}}";
    head = std::to_string(meta.size()) + meta;
    total = head.size() + body.size();
  }
  std::string all = head + body;
  return fnd::Data(all.begin(), all.end());
}

TEST_F(VireldaSdkTest, BundlesLoadDocumentsAndNamedQueries) {
  Put("c/gone", Dictionary{{"n", 9}});
  Put("c/kept", Dictionary{{"n", 0}});
  fnd::Data bundle = MakeBundle({
      R"({"document":{"name":"c/a","fields":{"n":{"integer":"1"},"s":{"string":"x"},)"
      R"("at":{"timestamp":{"seconds":5,"nanos":6}},"raw":{"bytes":"AQI="},)"
      R"("ref":{"reference":"c/b"},"list":{"array":[{"double":"NaN"},{"null":null}]},)"
      R"("m":{"map":{"ok":{"boolean":true}}}}}})",
      R"({"document":{"name":"c/b","fields":{"n":{"integer":2}}}})",
      R"({"document":{"name":"c/gone","missing":true}})",
      R"({"namedQuery":{"name":"top","parent":"c","where":[["n",">=",{"integer":1}]],)"
      R"("orderBy":[["n","desc"]],"limit":1}})",
  });
  std::vector<std::string> seen;
  bool done = false;
  auto task = virelda_->loadBundle(bundle, [&](auto progress, const auto& e) {
    EXPECT_FALSE(e);
    if (progress) seen.push_back("done " + std::to_string(progress->documentsLoaded()));
    done = true;
  });
  std::vector<int64_t> bytes;
  task->addObserver([&](auto p) {
    seen.push_back("progress " + std::to_string(p->state()) + " " +
                   std::to_string(p->documentsLoaded()) + "/" +
                   std::to_string(p->totalDocuments()));
    bytes.push_back(p->bytesLoaded());
  });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"progress 1 0/3", "progress 1 1/3", "progress 1 2/3",
                                            "progress 1 3/3", "progress 2 3/3", "done 3"}));
  ASSERT_EQ(bytes.size(), 5u);
  EXPECT_TRUE(std::is_sorted(bytes.begin(), bytes.end()));
  EXPECT_EQ(bytes.back(), static_cast<int64_t>(bundle.size()));

  auto a = DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "c/a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->get("n"), Value::Int64(1));
  EXPECT_EQ(a->get("s"), Value("x"));
  EXPECT_EQ(a->get("at"), Value(std::shared_ptr<fnd::Record>(DEVTimestamp::initWithSeconds(5, 6))));
  EXPECT_EQ(a->get("raw"), Value(fnd::Data{1, 2}));
  EXPECT_EQ(a->get("m"), Value(Dictionary{{"ok", true}}));
  EXPECT_TRUE(std::isnan(a->get("list").array()->at(0).asDouble()));
  auto ref = a->get("ref").recordAs<DEVDocumentReference>();
  ASSERT_NE(ref, nullptr);
  EXPECT_EQ(ref->path(), "c/b");
  EXPECT_FALSE(DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "c/gone"));
  EXPECT_TRUE(DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "c/kept"));

  // The named query is the bundle's, on whichever instance asks, also after a restart.
  ASSERT_FALSE(Wait([&](auto c) { virelda_->terminateWithCompletion(c); }));
  auto fresh = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "(default)");
  std::shared_ptr<DEVQuery> top, none;
  int answers = 0;
  fresh->getQueryNamed("top", [&](auto q) {
    top = q;
    ++answers;
  });
  fresh->getQueryNamed("nope", [&](auto q) {
    none = q;
    ++answers;
  });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return answers == 2; }));
  EXPECT_EQ(none, nullptr);
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->virelda(), fresh);
  EXPECT_EQ(Paths(top), std::vector<std::string>{"c/b"});
}

TEST_F(VireldaSdkTest, BytesThatAreNoBundleLoadNothingAndFail) {
  Put("c/a", Dictionary{{"n", 1}});
  const std::string doc = R"({"document":{"name":"c/a","fields":{"n":{"integer":"2"}}}})";
  auto withLength = [](const std::string& json) { return std::to_string(json.size()) + json; };
  auto bytes = [](const std::string& text) { return fnd::Data(text.begin(), text.end()); };
  fnd::Data good = MakeBundle({doc});
  fnd::Data truncated(good.begin(), good.end() - 3);
  fnd::Data trailing = good;
  trailing.push_back('7');
  struct Case {
    const char* what;
    fnd::Data bundle;
  } cases[] = {
      {"empty", {}},
      {"not a bundle", bytes("hello")},
      {"truncated", truncated},
      {"bytes after the last element", trailing},
      {"no metadata first", bytes(withLength(doc))},
      {"bad JSON", MakeBundle({R"({"document":{"name":"c/a",}})"})},
      {"an unknown element", MakeBundle({R"({"mystery":{}})"})},
      {"a collection path as a document", MakeBundle({R"({"document":{"name":"c","fields":{}}})"})},
      {"an unknown value kind",
       MakeBundle({R"({"document":{"name":"c/a","fields":{"n":{"complex":1}}}})"})},
      {"bad base64", MakeBundle({R"({"document":{"name":"c/a","fields":{"b":{"bytes":"A"}}}})"})},
      {"a document twice", MakeBundle({doc, doc})},
      {"a query the SDK refuses",
       MakeBundle(
           {R"({"namedQuery":{"name":"q","parent":"c","where":[["n","~",{"null":null}]]}})"})},
      {"deep nesting", MakeBundle({"{\"document\":{\"name\":\"c/a\",\"fields\":{\"n\":" +
                                   std::string(80, '[') + std::string(80, ']') + "}}}"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<int64_t> states;
    std::optional<fnd::Error> outcome;
    bool done = false;
    auto task = virelda_->loadBundle(c.bundle, [&](auto progress, const auto& e) {
      EXPECT_EQ(progress, nullptr);
      outcome = e;
      done = true;
    });
    task->addObserver([&](auto p) { states.push_back(p->state()); });
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->code(), DEVVireldaErrorCodeInvalidArgument);
    EXPECT_EQ(outcome->localizedDescription().rfind("The bundle is malformed: ", 0), 0u)
        << outcome->localizedDescription();
    EXPECT_EQ(states, std::vector<int64_t>{0});
    EXPECT_EQ(DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "c/a"),
              (Dictionary{{"n", 1}}));
  }
}

}  // namespace

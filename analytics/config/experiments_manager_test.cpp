#include "analytics/config/experiments_manager.h"

#include <gtest/gtest.h>

#include <atomic>

#include "analytics/config/experiments_test_support.h"
#include "platform/security/gzip.h"

namespace {

using apme_test::Describe;
using apme_test::EncodedResponse;
using apme_test::Experiment;
using apme_test::Flag;
using apme_test::ScriptedTransport;
using apme_test::Snapshot;

// An SDK that observes its experiments: it is told about new snapshots on its own queue and about
// fetch errors, and may refuse fetches.
class Observer : public APMEExperimentObserverDelegate {
 public:
  bool respondsToClientDidReceiveNewSnapshot() const override { return true; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override {
    EXPECT_TRUE(queue_->isCurrent());
    lastClient = client;
    ++newSnapshots;
  }
  bool respondsToClientDidReceiveFetchError() const override { return true; }
  void clientDidReceiveFetchError(const std::shared_ptr<APMEClient>& client,
                                  const fnd::Error& error) override {
    lastClient = client;
    errors.push_back(error.code());
  }
  std::optional<bool> shouldFetchExperimentsForClient(const APMEClient&) override {
    return shouldFetch;
  }
  std::shared_ptr<dispatch::Queue> queue() override { return queue_; }

  std::shared_ptr<dispatch::Queue> queue_ = dispatch::Queue::create("test.observer");
  std::shared_ptr<APMEClient> lastClient;
  std::atomic<int> newSnapshots{0};
  std::vector<int64_t> errors;
  std::optional<bool> shouldFetch;
};

class ManagerTest : public apme_test::APMEWorkerTest {
 protected:
  void SetUp() override { Make(); }

  // A manager over a new task manager on the fixture's parts (a restart when one existed).
  void Make() {
    manager_.reset();
    taskManager_ = MakeTaskManager();
    manager_ = APMEManager::initWithTaskManager(taskManager_, clock_, builder_);
  }
  void Start() {
    taskManager_->startTaskManager();
    Settle();
  }
  void Settle() { Drain(manager_->serialQueue()); }
  std::shared_ptr<APMEClient> Register(const std::string& name, const fnd::Dictionary& defaults,
                                       const std::string& diversionKey = "") {
    auto property = APMESDKProperty::initWithName(fnd::Value(name));
    property->setDiversionKey(diversionKey);
    auto client = manager_->registerSDKProperty(property, defaults);
    Settle();
    return client;
  }
  // Hands the manager fetched snapshots as the task manager does after a fetch.
  void Deliver(const APMESnapshots& snapshots, const APMESDKErrors& errors = {}) {
    manager_->taskManagerDidFinishFetchingExperimentSnapshots(*taskManager_, snapshots, errors);
    Settle();
  }
  fnd::Value Value(const std::string& flag, const std::string& sdk = "sdk") {
    return manager_->flagValueForFlagName(fnd::Value(flag), fnd::Value(sdk));
  }

  std::shared_ptr<APMETaskManager> taskManager_;
  std::shared_ptr<APMEManager> manager_;
};

const fnd::Dictionary kDefaults{{"a", 1}, {"b", "default"}, {"c", 2.5}};

TEST_F(ManagerTest, FlagsComeFromActivatedThenLaunchedThenDefaults) {
  Start();
  auto client = Register("sdk", kDefaults);
  ASSERT_TRUE(client);
  EXPECT_EQ(client->SDKName(), "sdk");
  EXPECT_EQ(client->defaultFlags().size(), 3u);
  EXPECT_EQ(client->valueForFlag("a"), fnd::Value(1));
  EXPECT_EQ(client->objectForKeyedSubscript(fnd::Value("c")), fnd::Value(2.5));
  EXPECT_TRUE(client->valueForFlag("missing").isNull());
  EXPECT_TRUE(Logged(800014));

  Deliver({Snapshot("sdk", {Experiment(0, {Flag("b", "launched"), Flag("a", 10)}),
                            Experiment(9, {Flag("x", 1)}), Experiment(7, {Flag("a", 70)})})});
  EXPECT_EQ(Value("a"), fnd::Value(1));  // Fetched, not yet in force.

  fnd::Error error;
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  EXPECT_TRUE(Logged(800028));
  EXPECT_EQ(Value("a"), fnd::Value(70));
  EXPECT_EQ(Value("b"), fnd::Value("launched"));
  EXPECT_EQ(Value("c"), fnd::Value(2.5));
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{7, 9}));
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), 0);
  EXPECT_FALSE(client->hasStaleSnapshot());
  // Nothing is pending any more.
  log_.clear();
  EXPECT_FALSE(client->activateLatestSnapshot());
  ExpectLogged(log_, 3, 800023, "No pending snapshot to activate. SDK name");

  // After a restart the same values hold.
  Settle();
  Make();
  Register("sdk", kDefaults);
  Start();
  EXPECT_EQ(Value("a"), fnd::Value(70));
  EXPECT_EQ(Value("b"), fnd::Value("launched"));

  clock_->advance(APMEFlagTimeToLiveInSeconds + 1);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), 1);
  EXPECT_TRUE(manager_->clientForSDKName(fnd::Value("sdk"))->hasStaleSnapshot());
}

TEST_F(ManagerTest, LaunchedOnlySnapshotActivatesToAnEmptyActivatedOne) {
  Start();
  auto client = Register("sdk", kDefaults);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), -2);
  EXPECT_FALSE(client->hasStaleSnapshot());
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("other"), -1);

  Deliver({Snapshot("sdk", {Experiment(0, {Flag("a", 5)})})});
  ASSERT_TRUE(client->activateLatestSnapshot());
  EXPECT_EQ(Value("a"), fnd::Value(5));
  EXPECT_TRUE(manager_->experimentIDs().empty());
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), 0);

  // An older activated experiment does not come back after a restart.
  Settle();
  Make();
  Register("sdk", kDefaults);
  Start();
  EXPECT_EQ(Value("a"), fnd::Value(5));
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), 0);
}

TEST_F(ManagerTest, ExperimentIDsSkipSDKsWithTheirOwnDiversionKey) {
  Start();
  Register("analytics", {});
  Register("own", {}, "key");
  Deliver({Snapshot("analytics", {Experiment(12, {Flag("f", 1)}), Experiment(3, {Flag("g", 1)})}),
           Snapshot("own", {Experiment(5, {Flag("h", 1)})})});
  ASSERT_TRUE(manager_->activateSnapshotOfSDK(fnd::Value("analytics")));
  ASSERT_TRUE(manager_->activateSnapshotOfSDK(fnd::Value("own")));
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{3, 12}));
}

TEST_F(ManagerTest, RegisteringAgainReplacesClientAndDefaults) {
  auto first = Register("sdk", kDefaults);
  auto second = Register("sdk", fnd::Dictionary{{"a", "replaced"}});
  EXPECT_NE(first, second);
  EXPECT_EQ(manager_->clientForSDKName(fnd::Value("sdk")), second);
  EXPECT_EQ(Value("a"), fnd::Value("replaced"));
  EXPECT_TRUE(Value("b").isNull());
  ExpectLogged(log_, 3, 800003,
               "Registered an SDK that has already registered. Default flags will be "
               "overwritten. SDK name");
  EXPECT_EQ(log_.withCode(800005).size(), 2u);
  EXPECT_EQ(builder_->request()->protoBuffer().has_value(), true);
}

TEST_F(ManagerTest, BadRegistrationsAreRefused) {
  EXPECT_FALSE(manager_->registerSDKProperty(nullptr, {}));
  EXPECT_FALSE(manager_->registerSDKProperty(APMESDKProperty::initWithName(fnd::Value("")), {}));
  auto property = APMESDKProperty::initWithName(fnd::Value("sdk"));
  EXPECT_FALSE(manager_->registerSDKProperty(property, {{"a", 1}, {"b", fnd::Array{}}}));
  EXPECT_FALSE(manager_->registerSDKProperty(property, {{7, 1}}));
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{800000, 800001, 850002, 800002, 850001, 800002}));
  Settle();
  EXPECT_FALSE(manager_->clientForSDKName(fnd::Value("sdk")));
  EXPECT_FALSE(APMEClient::initWithSDKProperty(nullptr, std::vector<std::shared_ptr<APMPBFlag>>{},
                                               manager_));
  EXPECT_FALSE(APMEClient::initWithSDKProperty(property, std::nullopt, manager_));
  EXPECT_TRUE(Logged(830000));
  EXPECT_TRUE(Logged(830001));
}

TEST_F(ManagerTest, BadArgumentsAreLoggedWithTheirCodes) {
  auto client = Register("sdk", kDefaults);
  struct Case {
    const char* what;
    std::function<void()> call;
    int64_t level;
    int64_t code;
  };
  fnd::Error error;
  const Case cases[] = {
      {"SDK name not a string",
       [&] {
         EXPECT_TRUE(manager_->flagValueForFlagName(fnd::Value("a"), fnd::Value(1)).isNull());
       },
       0, 800008},
      {"flag name not a string",
       [&] {
         EXPECT_TRUE(manager_->flagValueForFlagName(fnd::Value(), fnd::Value("sdk")).isNull());
       },
       0, 800009},
      {"empty SDK name", [&] { EXPECT_TRUE(Value("a", "").isNull()); }, 0, 800010},
      {"empty flag name", [&] { EXPECT_TRUE(Value("").isNull()); }, 0, 800011},
      {"unregistered SDK", [&] { EXPECT_TRUE(Value("a", "nobody").isNull()); }, 3, 800012},
      {"client for a number", [&] { EXPECT_FALSE(manager_->clientForSDKName(fnd::Value(3))); }, 0,
       800006},
      {"client for empty", [&] { EXPECT_FALSE(manager_->clientForSDKName(fnd::Value(""))); }, 0,
       800007},
      {"activate nil", [&] { EXPECT_FALSE(manager_->activateSnapshotOfSDK(fnd::Value(), &error)); },
       3, 800021},
      {"activate empty",
       [&] { EXPECT_FALSE(manager_->activateSnapshotOfSDK(fnd::Value(""), &error)); }, 3, 800022},
      {"status of empty", [&] { EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName(""), -1); }, 0,
       800024},
      {"reset empty", [&] { manager_->resetToDefaultsOfSDKName(""); }, 0, 800025},
      {"reset without activated", [&] { manager_->resetToDefaultsOfSDKName("sdk"); }, 0, 800026},
      {"client empty flag", [&] { EXPECT_TRUE(client->valueForFlag("").isNull()); }, 0, 830002},
      {"client flag not a string",
       [&] { EXPECT_TRUE(client->objectForKeyedSubscript(fnd::Value(1)).isNull()); }, 0, 830003},
  };
  for (const Case& c : cases) {
    log_.clear();
    c.call();
    auto entries = log_.withCode(c.code);
    ASSERT_EQ(entries.size(), 1u) << c.what;
    EXPECT_EQ(entries[0].level, c.level) << c.what;
  }
  manager_->activateSnapshotOfSDK(fnd::Value(), &error);
  EXPECT_EQ(error.localizedDescription(), "SDK name cannot be nil");
  manager_->activateSnapshotOfSDK(fnd::Value(""), &error);
  EXPECT_EQ(error.localizedDescription(), "SDK name cannot be empty");
}

TEST_F(ManagerTest, ObserversDecideWhenFetchedSnapshotsActivate) {
  auto observer = std::make_shared<Observer>();
  auto client = Register("sdk", kDefaults, "key");
  client->setDelegate(observer);
  Register("quiet", {}, "key");  // No delegate: it is not told.

  auto response = APMPBExperimentResponse::initWithBuffer(
      EncodedResponse({Snapshot("sdk", {Experiment(4, {Flag("a", 44)})}), Snapshot("quiet", {})}));
  auto failure = APMPBSdkResponse::initWithBuffer(nullptr);
  NANOSetString(failure.get(), APMPBSdkResponse::kSdkName, fnd::Value("sdk"));
  NANOSetInt32(failure.get(), APMPBSdkResponse::kStatus, 3);
  fnd::Array answers{apme_test::RecordValue(failure)};
  NANOSetArray(response.get(), APMPBExperimentResponse::kSdkResponses, &answers);
  transport_->push(ScriptedTransport::Answer(200, security::Gzip(*response->protoBuffer())));

  Start();
  Fire(manager_->serialQueue());
  Settle();
  observer->queue_->sync([] {});
  EXPECT_EQ(observer->newSnapshots, 1);
  EXPECT_EQ(observer->lastClient, client);
  EXPECT_EQ(observer->errors, (std::vector<int64_t>{-4}));
  // Only observed snapshots come back from the store; one without an observer cannot be told.
  log_.clear();
  manager_->taskManagerDidUpsertPendingSnapshots(*taskManager_, {Snapshot("quiet", {})});
  Settle();
  ExpectLogged(log_, 0, 800021,
               "Cannot notify new snapshot for SDK because the delegate does not implement "
               "-clientDidReceiveNewSnapshot:");
  EXPECT_EQ(Value("a"), fnd::Value(1));

  // The observed snapshot waits for its SDK even across a restart; the other one is activated.
  Settle();
  Make();
  client = Register("sdk", kDefaults, "key");
  Register("quiet", {}, "key");
  Start();
  EXPECT_EQ(Value("a"), fnd::Value(1));
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("quiet"), 0);
  ASSERT_TRUE(client->activateLatestSnapshot());
  EXPECT_EQ(Value("a"), fnd::Value(44));

  // Every registered SDK refusing fetches postpones them.
  client->setDelegate(observer);
  manager_->clientForSDKName(fnd::Value("quiet"))->setDelegate(observer);
  observer->shouldFetch = false;
  const size_t sent = transport_->requests().size();
  Fire(manager_->serialQueue());
  EXPECT_EQ(transport_->requests().size(), sent);
  EXPECT_EQ(Stored(kAPMEFetchSuccessTimestampKey), clock_->wallTime());
}

TEST_F(ManagerTest, ResetToDefaultsAndResetForgetSnapshots) {
  Start();
  auto client = Register("sdk", kDefaults);
  Deliver(
      {Snapshot("sdk", {Experiment(0, {Flag("b", "launched")}), Experiment(2, {Flag("a", 2)})})});
  ASSERT_TRUE(client->activateLatestSnapshot());
  client->resetToDefaults();
  EXPECT_TRUE(Logged(800027));
  EXPECT_EQ(Value("a"), fnd::Value(1));
  EXPECT_EQ(Value("b"), fnd::Value("launched"));
  Settle();
  Make();
  Register("sdk", kDefaults);
  Start();
  EXPECT_EQ(Value("a"), fnd::Value(1));  // The activated row is gone from the file too.

  manager_->reset();
  Settle();
  EXPECT_EQ(Value("b"), fnd::Value("default"));
  EXPECT_TRUE(manager_->clientForSDKName(fnd::Value("sdk")));

  log_.clear();
  Deliver({}, {});
  ExpectLogged(log_, 3, 800020, "No pending snapshots to notify the clients");
}

TEST(ManagerVersionTest, VersionDropsTheLastThreeCharacters) {
  EXPECT_EQ(APMEManager::version(), 10000);
  EXPECT_EQ(APMEManager::versionFromString("123"), 0);
  EXPECT_EQ(APMEManager::versionFromString("1234"), 1);
  EXPECT_EQ(APMEManager::versionFromString("12a456"), 0);
}

}  // namespace

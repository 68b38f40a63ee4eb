#include "analytics/config/experiment_task_manager.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <mutex>

#include "analytics/config/experiments_test_support.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/security/gzip.h"

namespace {

using apme_test::APMETest;
using apme_test::Describe;
using apme_test::EncodedResponse;
using apme_test::Experiment;
using apme_test::Flag;
using apme_test::kFetchURL;
using apme_test::RecordValue;
using apme_test::ScriptedTransport;
using apme_test::Snapshot;

class RecordingDelegate : public APMETaskManagerDelegate {
 public:
  void taskManagerDidStartWithActivatedSnapshots(APMETaskManager&, const APMESnapshots& activated,
                                                 const APMESnapshots& pending,
                                                 const APMESnapshots& launched) override {
    ++starts;
    this->activated = activated;
    this->pending = pending;
    this->launched = launched;
  }
  std::optional<bool> taskManagerShouldFetchExperiments(APMETaskManager&) override {
    return shouldFetch;
  }
  void taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager&,
                                                       const APMESnapshots& snapshots,
                                                       const APMESDKErrors& errors) override {
    ++finishes;
    fetched = snapshots;
    this->errors = errors;
  }
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager&,
                                            const APMESnapshots& snapshots) override {
    upserted = snapshots;
  }

  // Written on the worker queue, read by the test after draining it.
  int starts = 0;
  int finishes = 0;
  APMESnapshots activated, pending, launched, fetched, upserted;
  APMESDKErrors errors;
  std::optional<bool> shouldFetch;
};

std::shared_ptr<APMPBSdkResponse> SdkAnswer(const std::string& name, std::optional<int32_t> status,
                                            std::shared_ptr<APMESnapshot> snapshot) {
  auto answer = APMPBSdkResponse::initWithBuffer(nullptr);
  if (!name.empty()) NANOSetString(answer.get(), APMPBSdkResponse::kSdkName, fnd::Value(name));
  if (status) NANOSetInt32(answer.get(), APMPBSdkResponse::kStatus, *status);
  if (snapshot) NANOSetMessage(answer.get(), APMPBSdkResponse::kSnapshot, snapshot->proto().get());
  return answer;
}

class TaskManagerTest : public apme_test::APMEWorkerTest {
 protected:
  void SetUp() override {
    auto property = APMESDKProperty::initWithName(fnd::Value("duv_udiredururo"));
    property->setDiversionKey("dk");
    builder_->addSDKProperty(property);
    Make();
  }

  // A task manager over the fixture's parts (a restart when one existed before).
  void Make() {
    taskManager_ = MakeTaskManager();
    taskManager_->setDelegate(delegate_);
  }
  void Start() {
    taskManager_->startTaskManager();
    Drain();
  }

  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<APMETaskManager> taskManager_;
};

TEST_F(TaskManagerTest, NextFetchTimeFollowsSuccessesAndTheRetryLadder) {
  const double now = clock_->wallTime();
  const double init = now - 200000;
  struct Case {
    const char* what;
    bool initialMade;
    double success;
    double failure;
    double expected;
  };
  const Case cases[] = {
      {"fresh install", false, 0, 0, now + 10},
      {"success 1 h ago at start", false, now - 3600, 0, now + 10800},
      {"success in the future counts as past", false, now + 3600, 0, now + 10800},
      {"success 5 h ago at start", false, now - 18000, 0, now + 10},
      {"regular rhythm", true, now - 100, 0, now - 100 + 14400},
      {"no success, no failure", true, 0, 0, 14400},
      {"first retry from construction", true, 0, init + 10, init + 1800},
      {"second retry", true, 0, init + 1800, init + 5400},
      {"sixth retry", true, 0, init + 55800, init + 113400},
      {"budget spent", true, 0, init + 113400, 0},
      {"retry after a success", true, now - 5000, now - 1000, now - 5000 + 14400 + 1800},
      {"second retry after a success", true, now - 20000, now - 20000 + 16200, now - 20000 + 19800},
  };
  taskManager_->setInitializationTimestamp(init);
  for (const Case& c : cases) {
    taskManager_->setHasMadeInitialFetch(c.initialMade);
    EXPECT_DOUBLE_EQ(taskManager_->fetchTimeFromLastSuccessfulTimestamp(c.success, c.failure),
                     c.expected)
        << c.what;
    EXPECT_TRUE(taskManager_->hasMadeInitialFetch());
  }
}

TEST_F(TaskManagerTest, FreshInstallFetchesAfterTenSecondsAndStoresTheAnswer) {
  auto snapshot = Snapshot("duv_udiredururo", {Experiment(5, {Flag("a", 1)})});
  transport_->push(ScriptedTransport::Answer(200, security::Gzip(EncodedResponse({snapshot}))));
  Start();
  EXPECT_EQ(delegate_->starts, 1);
  EXPECT_EQ(Alarm(), init_ + 10);
  EXPECT_TRUE(transport_->requests().empty());

  Fire();
  ASSERT_EQ(transport_->requests().size(), 1u);
  const ZUZOzuriviRequest request = transport_->requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, kFetchURL);
  fnd::Data body;
  ASSERT_TRUE(security::Gunzip(request.body, 1 << 20, &body));
  auto sent = APMPBExperimentRequest::initWithBuffer(body);
  ASSERT_TRUE(sent);
  auto clients = NANOGetArray(sent.get(), APMPBExperimentRequest::kClientProperties,
                              &APMPBClientProperty::messageClass());
  ASSERT_EQ(clients->size(), 1u);
  EXPECT_EQ(NANOGetString((*clients)[0].recordAs<APMPBClientProperty>().get(),
                          APMPBClientProperty::kDiversionId),
            "dk-duv_udiredururo");

  EXPECT_EQ(delegate_->finishes, 1);
  ASSERT_EQ(delegate_->fetched.size(), 1u);
  EXPECT_EQ(Describe(*delegate_->fetched[0]), (std::vector<std::string>{"5:a=1"}));
  EXPECT_EQ(Stored(kAPMEFetchSuccessTimestampKey), init_ + 10);
  EXPECT_EQ(Alarm(), init_ + 10 + 14400);

  // The answer was stored as pending: the next start activates it.
  taskManager_.reset();
  Drain();
  Make();
  Start();
  EXPECT_EQ(delegate_->starts, 2);
  ASSERT_EQ(delegate_->activated.size(), 1u);
  EXPECT_EQ(Describe(*delegate_->activated[0]), (std::vector<std::string>{"5:a=1"}));
  EXPECT_TRUE(delegate_->pending.empty());
}

TEST_F(TaskManagerTest, FailuresFollowTheRetryLadderAndTheSeventhEndsScheduling) {
  transport_->setFallback(ScriptedTransport::Answer(500));
  Start();
  Fire();  // The first fetch, 10 s after start, fails.
  EXPECT_EQ(Stored(kAPMEFetchFailureTimestampKey), init_ + 10);
  for (double offset : {1800.0, 5400.0, 12600.0, 27000.0, 55800.0, 113400.0}) {
    EXPECT_EQ(Alarm(), init_ + offset);
    Fire();
  }
  EXPECT_EQ(transport_->requests().size(), 7u);
  EXPECT_FALSE(Alarm());
  EXPECT_FALSE(Stored(kAPMEFetchSuccessTimestampKey));
  ExpectLogged(log_, 2, 820024, "Network attempted too many times. Will not schedule new network.");
  EXPECT_EQ(log_.withCode(820002).size(), 7u);
  EXPECT_EQ(delegate_->finishes, 0);
}

TEST_F(TaskManagerTest, ThrottlingHoldsFetchesOffForTwelveHours) {
  for (int64_t status :
       {kZUZOzuriviHTTPStatusCodeUnavailable, kZUZOzuriviHTTPStatusCodeCannotAcceptTraffic}) {
    transport_->push(ScriptedTransport::Answer(status));
    taskManager_->setHasMadeInitialFetch(false);
    Start();
    const double fetchTime = *Alarm();
    Fire();
    EXPECT_EQ(Stored(kAPMEFetchBackoffTimestampKey), fetchTime) << status;
    // The retry ladder would fire sooner; the back-off wins.
    EXPECT_EQ(Alarm(), fetchTime + 43200) << status;
    // A success clears the back-off.
    Fire();
    EXPECT_FALSE(Stored(kAPMEFetchBackoffTimestampKey));
    EXPECT_FALSE(Stored(kAPMEFetchFailureTimestampKey));
    EXPECT_EQ(Alarm(), fetchTime + 43200 + 14400);
  }
}

TEST_F(TaskManagerTest, TheBackOffHoldsAcrossARestartAndNeverBeyondItsWindow) {
  struct Case {
    const char* what;
    double backoffOffset;  // From now.
    double alarmOffset;    // From now.
  };
  const Case cases[] = {
      {"an hour ago", -3600, 43200 - 3600},
      {"just now", 0, 43200},
      // A wall clock set back a year after a 429: not a year of silence.
      {"a year ahead", 365 * 86400.0, 10},
      {"an hour ahead", 3600, 43200 - 3600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    storage_->setDouble(clock_->wallTime() + c.backoffOffset, kAPMEFetchBackoffTimestampKey);
    taskManager_.reset();
    Drain();
    Make();  // A new launch reads the stored back-off.
    Start();
    ASSERT_TRUE(Alarm());
    EXPECT_DOUBLE_EQ(*Alarm() - clock_->wallTime(), c.alarmOffset);
    EXPECT_LE(*Alarm(), clock_->wallTime() + 43200);
  }
}

TEST_F(TaskManagerTest, ASpentRetryBudgetForgetsTheLastSuccess) {
  transport_->push(ScriptedTransport::Answer(200, security::Gzip(EncodedResponse({}))));
  transport_->setFallback(ScriptedTransport::Answer(500));
  Start();
  Fire();  // The first fetch succeeds; every later one fails.
  ASSERT_TRUE(Stored(kAPMEFetchSuccessTimestampKey));
  for (int i = 0; i < 10 && Alarm(); ++i) Fire();
  EXPECT_FALSE(Alarm());
  EXPECT_FALSE(Stored(kAPMEFetchSuccessTimestampKey));
  EXPECT_TRUE(Logged(820024));
}

TEST_F(TaskManagerTest, AnEarlierPendingFetchIsKept) {
  storage_->setDouble(clock_->wallTime() - 3600, kAPMEFetchSuccessTimestampKey);
  Start();
  const double at = init_ + 10800;
  EXPECT_EQ(Alarm(), at);
  log_.clear();
  clock_->advance(100);
  Start();  // Asks for the same time again: the pending alarm stays.
  EXPECT_EQ(Alarm(), at);
  ASSERT_EQ(log_.withCode(820017).size(), 1u);
  EXPECT_EQ(log_.withCode(820017)[0].contexts, (fnd::Array{fnd::Value(10700.0)}));
}

TEST_F(TaskManagerTest, DelegateCanPostponeAFetch) {
  delegate_->shouldFetch = false;
  Start();
  Fire();
  EXPECT_TRUE(transport_->requests().empty());
  EXPECT_EQ(Stored(kAPMEFetchSuccessTimestampKey), init_ + 10);
  EXPECT_EQ(Alarm(), init_ + 10 + 14400);
  delegate_->shouldFetch = true;
  Fire();
  EXPECT_EQ(transport_->requests().size(), 1u);
}

TEST_F(TaskManagerTest, ResponsesBecomeSnapshotsAndPerSDKErrors) {
  auto response = APMPBExperimentResponse::initWithBuffer(nullptr);
  fnd::Array answers{
      RecordValue(SdkAnswer("y", 0, Snapshot("x", {Experiment(1, {Flag("f", 1)})}))),
      RecordValue(SdkAnswer("", std::nullopt, Snapshot("z", {}))),
      RecordValue(SdkAnswer("e1", 1, nullptr)),
      RecordValue(SdkAnswer("e2", 2, nullptr)),
      RecordValue(SdkAnswer("e3", 3, nullptr)),
      RecordValue(SdkAnswer("e9", 9, nullptr)),
      RecordValue(SdkAnswer("", 2, nullptr)),  // No name: no error entry.
  };
  NANOSetArray(response.get(), APMPBExperimentResponse::kSdkResponses, &answers);
  auto snapshots = taskManager_->experimentSnapshotsFromExperimentResponse(response);
  ASSERT_TRUE(snapshots);
  ASSERT_EQ(snapshots->size(), 2u);
  EXPECT_EQ((*snapshots)[0]->SDKName(), "y");
  EXPECT_EQ((*snapshots)[1]->SDKName(), "z");

  auto errors = APMETaskManager::errorsFromExperimentResponse(response);
  ASSERT_TRUE(errors);
  std::map<std::string, int64_t> codes;
  for (const auto& [name, error] : *errors) {
    EXPECT_EQ(error.domain(), kAPMEErrorDomain);
    EXPECT_TRUE(error.userInfo().empty());
    codes[name] = error.code();
  }
  EXPECT_EQ(codes,
            (std::map<std::string, int64_t>{{"e1", -2}, {"e2", -3}, {"e3", -4}, {"e9", -1}}));

  // A snapshot list, when present, is used instead of the per-SDK snapshots.
  fnd::Array listed{RecordValue(Snapshot("listed", {})->proto())};
  NANOSetArray(response.get(), APMPBExperimentResponse::kSnapshots, &listed);
  snapshots = taskManager_->experimentSnapshotsFromExperimentResponse(response);
  ASSERT_EQ(snapshots->size(), 1u);
  EXPECT_EQ((*snapshots)[0]->SDKName(), "listed");

  EXPECT_FALSE(APMETaskManager::errorsFromExperimentResponse(nullptr));
  EXPECT_FALSE(APMETaskManager::errorsFromExperimentResponse(
      APMPBExperimentResponse::initWithBuffer(nullptr)));
  log_.clear();
  EXPECT_FALSE(taskManager_->experimentSnapshotsFromData({}));
  EXPECT_FALSE(taskManager_->experimentSnapshotsFromData({0x0a, 0xff, 0xff}));
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{820025, 820015}));
}

TEST_F(TaskManagerTest, GarbageAnswersAreLoggedAndNothingBreaks) {
  fnd::Data corruptGzip = security::Gzip(fnd::Data(100, 'x'));
  corruptGzip[corruptGzip.size() / 2] ^= 0xff;
  transport_->push(ScriptedTransport::Answer(200, {0x0a, 0xff, 0xff, 0x01}));
  transport_->push(ScriptedTransport::Answer(200, corruptGzip));
  Start();
  Fire();
  EXPECT_TRUE(Logged(820015));
  EXPECT_EQ(delegate_->finishes, 1);
  EXPECT_TRUE(delegate_->fetched.empty());
  Fire();
  EXPECT_TRUE(Logged(820023));
  EXPECT_EQ(delegate_->finishes, 2);
  EXPECT_EQ(Alarm(), clock_->wallTime() + 14400);
}

TEST_F(TaskManagerTest, ClearAndDeleteStopsEverythingAndResetStartsAgain) {
  Start();
  Fire();
  ASSERT_TRUE(Stored(kAPMEFetchSuccessTimestampKey));
  taskManager_->clearAndDelete();
  Drain();
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_FALSE(Stored(kAPMEFetchSuccessTimestampKey));
  EXPECT_FALSE(Alarm());

  taskManager_->reset();
  Drain();
  EXPECT_TRUE(std::filesystem::exists(path_));
  ASSERT_TRUE(Alarm());
  EXPECT_LE(*Alarm(), clock_->wallTime() + 0.001);
}

TEST_F(TaskManagerTest, ADatabaseThatCannotOpenLeavesTheTaskManagerInert) {
  std::filesystem::create_directories(path_ + "/inner");
  Start();
  EXPECT_EQ(delegate_->starts, 0);
  EXPECT_FALSE(Alarm());
  EXPECT_TRUE(Logged(810001));
}

TEST_F(TaskManagerTest, SnapshotsGivenBackAreStoredAndReported) {
  Start();
  log_.clear();
  taskManager_->upsertPendingSnapshots({});
  ExpectLogged(log_, 2, 820020, "Cannot upsert empty pending snapshot list");
  auto snapshot = Snapshot("duv_udiredururo", {Experiment(2, {Flag("b", "v")})});
  snapshot->setManuallyActivated(true);
  taskManager_->upsertPendingSnapshots({snapshot});
  Drain();
  ASSERT_EQ(delegate_->upserted.size(), 1u);

  // A manually activated pending row is not activated at the next start.
  taskManager_.reset();
  Drain();
  Make();
  Start();
  EXPECT_TRUE(delegate_->activated.empty());
  ASSERT_EQ(delegate_->pending.size(), 1u);
  EXPECT_TRUE(delegate_->pending[0]->manuallyActivated());
}

}  // namespace

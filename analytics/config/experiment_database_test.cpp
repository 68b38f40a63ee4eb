#include "analytics/config/experiment_database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "analytics/config/experiments_test_support.h"

namespace {

using apme_test::APMETest;
using apme_test::Describe;
using apme_test::Experiment;
using apme_test::Flag;
using apme_test::Snapshot;

class ExperimentDatabaseTest : public APMETest {
 protected:
  void SetUp() override {
    path_ = home_.path() + "/" + kAPMEDatabaseName;
    database_ = APMEDatabase::initWithPath(path_, clock_);
    ASSERT_TRUE(database_);
  }

  APMESnapshots Table(const std::string& table) {
    fnd::Error error;
    std::optional<APMESnapshots> rows;
    if (table == kAPMEPendingSnapshotTable) rows = database_->fetchAllPendingSnapshots(&error);
    if (table == kAPMEActivatedSnapshotTable) rows = database_->fetchAllActivatedSnapshots(&error);
    if (table == kAPMELaunchedSnapshotTable) rows = database_->fetchAllLaunchedSnapshots(&error);
    EXPECT_TRUE(rows) << error.description();
    return rows.value_or(APMESnapshots());
  }

  // Writes a row straight into the file, as another writer (or a damaged disk) might.
  void ExecuteRaw(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
  }

  std::string path_;
  std::unique_ptr<APMEDatabase> database_;
};

TEST_F(ExperimentDatabaseTest, PendingSnapshotsRoundTripWithTimestampAndMark) {
  auto a = Snapshot("a", {Experiment(4, {Flag("f", "x"), Flag("g", 2.5)})});
  auto b = Snapshot("b", {Experiment(0, {Flag("l", 1)})});
  b->setManuallyActivated(true);
  b->setTimestamp(123.5);
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({a, b}));

  APMESnapshots rows = Table(kAPMEPendingSnapshotTable);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]->SDKName(), "a");
  EXPECT_EQ(Describe(*rows[0]), Describe(*a));
  EXPECT_EQ(rows[0]->timestamp(), clock_->wallTime());
  EXPECT_FALSE(rows[0]->manuallyActivated());
  EXPECT_EQ(rows[1]->timestamp(), 123.5);
  EXPECT_TRUE(rows[1]->manuallyActivated());

  // One row per SDK: a newer snapshot of "a" replaces the older one.
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({Snapshot("a", {})}));
  rows = Table(kAPMEPendingSnapshotTable);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[1]->experiments().empty());
}

TEST_F(ExperimentDatabaseTest, OneReplyIsStoredWholeOrNotAtAll) {
  APMESnapshots many;
  for (int i = 0; i < 500; ++i) many.push_back(Snapshot("sdk" + std::to_string(i), {}));
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots(many));
  EXPECT_EQ(Table(kAPMEPendingSnapshotTable).size(), 500u);

  // A row the file refuses in the middle of a reply leaves none of the reply behind.
  ExecuteRaw(
      "CREATE TRIGGER refuse BEFORE INSERT ON pending_snapshot_table WHEN NEW.sdk_name = 'bad' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  fnd::Error error;
  EXPECT_FALSE(database_->upsertPendingExperimentSnapshots(
      {Snapshot("first", {}), Snapshot("bad", {}), Snapshot("last", {})}, &error));
  for (const auto& row : Table(kAPMEPendingSnapshotTable)) {
    EXPECT_NE(row->SDKName(), "first");
    EXPECT_NE(row->SDKName(), "last");
  }
  EXPECT_EQ(Table(kAPMEPendingSnapshotTable).size(), 500u);
}

TEST_F(ExperimentDatabaseTest, ActivationSplitsLaunchedFromActivatedAndClearsOlderPendingRows) {
  const double t = clock_->wallTime();
  auto pending = Snapshot("sdk", {Experiment(0, {Flag("l", 1)}), Experiment(7, {Flag("f", 2)}),
                                  Experiment(9, {Flag("g", 3)})});
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({pending}));
  ASSERT_TRUE(database_->activateSnapshot(pending, t));

  APMESnapshots launched = Table(kAPMELaunchedSnapshotTable);
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(Describe(*launched[0]), (std::vector<std::string>{"0:l=1"}));
  APMESnapshots activated = Table(kAPMEActivatedSnapshotTable);
  ASSERT_EQ(activated.size(), 1u);
  EXPECT_EQ(Describe(*activated[0]), (std::vector<std::string>{"7:f=2", "9:g=3"}));
  EXPECT_EQ(activated[0]->timestamp(), t);
  EXPECT_TRUE(Table(kAPMEPendingSnapshotTable).empty());

  // A pending row fetched after the activation time survives it.
  clock_->advance(60);
  auto later = Snapshot("sdk", {Experiment(8, {Flag("h", 4)})});
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({later}));
  ASSERT_TRUE(database_->activateSnapshot(later, t));
  EXPECT_EQ(Table(kAPMEPendingSnapshotTable).size(), 1u);

  fnd::Error error;
  EXPECT_FALSE(database_->activateSnapshot(nullptr, t, &error));
  EXPECT_EQ(error.localizedDescription(), "Received nil pending snapshot");
}

TEST_F(ExperimentDatabaseTest, LaunchedOnlySnapshotLeavesNoOldActivatedExperimentsBehind) {
  auto old = Snapshot("sdk", {Experiment(7, {Flag("f", 2)})});
  ASSERT_TRUE(database_->activateSnapshot(old, clock_->wallTime()));
  clock_->advance(10);
  auto pending = Snapshot("sdk", {Experiment(0, {Flag("l", 1)})});
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({pending}));
  ASSERT_TRUE(database_->activateSnapshot(pending, clock_->wallTime()));

  EXPECT_EQ(Table(kAPMELaunchedSnapshotTable).size(), 1u);
  EXPECT_TRUE(Table(kAPMEPendingSnapshotTable).empty());
  // The activated row matches what the manager holds in memory: no experiments.
  APMESnapshots activated = Table(kAPMEActivatedSnapshotTable);
  ASSERT_EQ(activated.size(), 1u);
  EXPECT_TRUE(activated[0]->experiments().empty());
}

TEST_F(ExperimentDatabaseTest, StartUpActivatesUnmarkedRowsAndDropsStaleOnes) {
  auto automatic = Snapshot("auto", {Experiment(3, {Flag("a", 1)})});
  auto manual = Snapshot("manual", {Experiment(4, {Flag("b", 1)})});
  manual->setManuallyActivated(true);
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({automatic, manual}));

  // Activated rows: one exactly three days old, one a second younger.
  const double now = clock_->wallTime();
  ASSERT_TRUE(database_->upsertSnapshot(*Snapshot("stale", {}), kAPMEActivatedSnapshotTable,
                                        now - APMEFlagTimeToLiveInSeconds, std::nullopt));
  ASSERT_TRUE(database_->upsertSnapshot(*Snapshot("fresh", {}), kAPMEActivatedSnapshotTable,
                                        now - APMEFlagTimeToLiveInSeconds + 1, std::nullopt));

  ASSERT_TRUE(database_->performTransaction([&] {
    return database_->deleteStaleActivatedSnapshots() &&
           database_->activatePendingSnapshotsAutomatically();
  }));
  std::vector<std::string> activatedNames;
  for (const auto& s : Table(kAPMEActivatedSnapshotTable)) activatedNames.push_back(s->SDKName());
  EXPECT_EQ(activatedNames, (std::vector<std::string>{"fresh", "auto"}));
  APMESnapshots pending = Table(kAPMEPendingSnapshotTable);
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0]->SDKName(), "manual");
}

TEST_F(ExperimentDatabaseTest, UnreadableRowsAreSkippedAndKept) {
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots(
      {Snapshot("good", {Experiment(1, {Flag("a", 1)})})}));
  database_.reset();
  ExecuteRaw(
      "INSERT INTO pending_snapshot_table (sdk_name, snapshotProto, timestamp, "
      "manually_activated) VALUES ('bad', x'0aff', 1.0, 0)");
  ExecuteRaw(
      "INSERT INTO activated_snapshot_table (sdk_name, snapshotProto, timestamp) VALUES "
      "('bad', x'', 1e12)");
  database_ = APMEDatabase::initWithPath(path_, clock_);
  ASSERT_TRUE(database_);

  EXPECT_TRUE(Table(kAPMEActivatedSnapshotTable).empty());
  EXPECT_EQ(Table(kAPMEPendingSnapshotTable).size(), 1u);
  EXPECT_TRUE(Logged(810008));

  ASSERT_TRUE(database_->performTransaction(
      [&] { return database_->activatePendingSnapshotsAutomatically(); }));
  APMESnapshots activated = Table(kAPMEActivatedSnapshotTable);
  ASSERT_EQ(activated.size(), 1u);
  EXPECT_EQ(activated[0]->SDKName(), "good");
  // The unreadable pending row is still in the file.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM pending_snapshot_table", -1, &statement,
                               nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(statement, 0), 1);
  sqlite3_finalize(statement);
  sqlite3_close(db);
}

TEST_F(ExperimentDatabaseTest, DeletesResetsAndBadPaths) {
  ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({Snapshot("a", {}), Snapshot("b", {})}));
  ASSERT_TRUE(database_->deletePendingExperimentsOfSDKName("a"));
  EXPECT_EQ(Table(kAPMEPendingSnapshotTable).size(), 1u);
  fnd::Error error;
  EXPECT_FALSE(database_->deleteActivatedExperimentsOfSDKName("", &error));
  EXPECT_EQ(error.localizedDescription(), "Received empty SDK Name");

  database_->reset();
  EXPECT_TRUE(Table(kAPMEPendingSnapshotTable).empty());

  database_->closeAndDelete();
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_FALSE(database_->fetchAllPendingSnapshots(&error));
  EXPECT_FALSE(database_->upsertPendingExperimentSnapshots({Snapshot("a", {})}));
  EXPECT_FALSE(database_->performTransaction([] { return true; }));
  EXPECT_TRUE(Logged(810007));

  log_.clear();
  EXPECT_FALSE(APMEDatabase::initWithPath(""));
  ExpectLogged(log_, 1, 810000, "Cannot initialize the database with invalid path");
  // A folder where the file should be cannot be opened.
  std::filesystem::create_directories(home_.path() + "/folder.sql/inner");
  EXPECT_FALSE(APMEDatabase::initWithPath(home_.path() + "/folder.sql"));
  EXPECT_TRUE(Logged(810001));
}

}  // namespace

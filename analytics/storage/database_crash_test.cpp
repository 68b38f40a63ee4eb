// Crash safety: a child process writes raw events in transactions and is killed with SIGKILL at
// random moments; after each kill the file must pass the integrity check and hold every
// transaction that the child saw committed, each one whole.
//
// The child is this test executable started again with QUELLMARK_STORAGE_CRASH_CHILD set: it does
// its writing before the test framework starts and never returns.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "analytics/engine/event.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/storage/database.h"
#include "analytics/storage/storage_test_support.h"
#include "platform/foundation/test_home.h"

namespace {

constexpr const char* kChildVariable = "QUELLMARK_STORAGE_CRASH_CHILD";
constexpr const char* kDatabaseName = "crash.sql";
constexpr int kAckDescriptor = 3;  // Where the child reports each committed transaction.
constexpr int kEventsPerTransaction = 5;

// The child: transaction after transaction of kEventsPerTransaction raw events named after the
// transaction's number; after each commit, the number goes to the parent.
[[noreturn]] void RunCrashChild() {
  auto database = ZIVDatabase::initWithDatabaseName(kDatabaseName, nullptr);
  if (!database) _exit(2);
  for (int64_t transaction = 1;; ++transaction) {
    const std::string name = "t" + std::to_string(transaction);
    bool committed = database->performTransaction([&] {
      for (int i = 0; i < kEventsPerTransaction; ++i) {
        auto event = ZIVEvent::initWithOrigin("app", false, name, 1700000000.0 + i, 0,
                                              {{"n", ZIVValue::initWithInt64(i)}});
        if (!database->insertRawEvent(event, transaction, false)) return false;
      }
      return true;
    });
    if (!committed) _exit(3);
    if (write(kAckDescriptor, &transaction, sizeof(transaction)) != sizeof(transaction)) _exit(4);
  }
}

// Runs before the test framework: a child does its work and never reaches main.
const bool kIsCrashChild = [] {
  if (getenv(kChildVariable) != nullptr) RunCrashChild();
  return false;
}();

std::string ExecutablePath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  return length > 0 ? std::string(buffer, length) : std::string();
}

// Starts the child with its acknowledgement pipe on kAckDescriptor; returns its pid and the read
// end of the pipe.
pid_t SpawnChild(int* readEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], kAckDescriptor);
  std::vector<std::string> environment =
      fnd::ChildEnvironment({std::string(kChildVariable) + "=1"});
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string path = ExecutablePath();
  char* argv[] = {path.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  *readEnd = fds[0];
  return pid;
}

TEST(DatabaseCrashTest, KilledWritersLeaveEveryCommittedTransactionWhole) {
  ASSERT_FALSE(kIsCrashChild);
  std::mt19937 random(20261210);
  constexpr int kRounds = 15;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ziv_storage_test::TempHome home;
    const std::string path = ZIVFilePathForDatabaseName(kDatabaseName);
    std::vector<int64_t> acknowledged;  // The last acknowledged number of each life.
    // Several children in turn write into the same file, each killed at its own moment.
    for (int life = 0; life < 3; ++life) {
      int readEnd = -1;
      pid_t child = SpawnChild(&readEnd);
      ASSERT_GT(child, 0);
      int64_t lastAcknowledged = 0;
      // Kill after a random number of commits (0: while the child is still opening).
      const int commitsBeforeKill = std::uniform_int_distribution<int>(0, 15)(random);
      for (int seen = 0; seen < commitsBeforeKill; ++seen) {
        int64_t transaction = 0;
        if (read(readEnd, &transaction, sizeof(transaction)) != sizeof(transaction)) break;
        lastAcknowledged = transaction;
      }
      kill(child, SIGKILL);
      int status = 0;
      waitpid(child, &status, 0);
      // Whatever the child acknowledged before dying has committed too.
      int64_t transaction = 0;
      while (read(readEnd, &transaction, sizeof(transaction)) == sizeof(transaction)) {
        lastAcknowledged = transaction;
      }
      close(readEnd);
      acknowledged.push_back(lastAcknowledged);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
          << "child ended by itself with status " << status;
    }

    // The file passes the integrity check (the store's open runs it and would recreate it).
    ziv_storage_test::LogCapture logs;
    fnd::Error error;
    auto store = ZIVSqliteStore::initWithDatabasePath(path, &error);
    ASSERT_NE(store, nullptr) << error.description();
    EXPECT_FALSE(logs.has(34010)) << "the file failed its integrity check";
    auto rows =
        store->recordsForQuery("SELECT name, count(1) AS n FROM raw_events GROUP BY name", {});
    ASSERT_TRUE(rows.has_value());
    std::map<int64_t, int64_t> counts;
    for (const auto& row : *rows) {
      counts[std::stoll(row.get("name").asString().substr(1))] = row.get("n").asInt();
    }
    // Every transaction in the file is whole; every acknowledged one is there. Each life starts
    // its numbering at 1 again, so a number may appear once per life.
    for (const auto& [transaction, count] : counts) {
      EXPECT_EQ(count % kEventsPerTransaction, 0) << "transaction t" << transaction;
    }
    for (const auto& [transaction, count] : counts) {
      int64_t lives = 0;
      for (int64_t last : acknowledged) lives += last >= transaction ? 1 : 0;
      EXPECT_GE(count, lives * kEventsPerTransaction) << "transaction t" << transaction;
    }
    for (int64_t last : acknowledged) {
      for (int64_t transaction = 1; transaction <= last; ++transaction) {
        EXPECT_TRUE(counts.count(transaction)) << "transaction t" << transaction;
      }
    }
    store.reset();
    auto database = ZIVDatabase::initWithDatabaseName(kDatabaseName, nullptr, &error);
    EXPECT_NE(database, nullptr) << error.description();
  }
}

}  // namespace

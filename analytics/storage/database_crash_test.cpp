// Crash safety: child processes write raw events in transactions into one database file that grows
// across their lives, and each is killed with SIGKILL at a random moment: while it starts or opens
// the file, in the middle of a transaction, or just after a commit. After every kill the file must
// pass the integrity check and hold every transaction that a child saw committed, each one whole,
// none more than once, and nothing that was never written.
//
// The kill schedule comes from a seed that changes with every run; a failure prints it, and
// QUELLMARK_CRASH_SEED=<seed> replays that schedule. QUELLMARK_CRASH_KILLS=<n> sets the number of
// kills (a long run: 1000); the default keeps the suite's run to a few seconds.
//
// The child is this test executable started again with QUELLMARK_STORAGE_CRASH_CHILD set to its
// life's number: it does its writing before the test framework starts and never returns.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
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
constexpr const char* kSeedVariable = "QUELLMARK_CRASH_SEED";
constexpr const char* kKillsVariable = "QUELLMARK_CRASH_KILLS";
constexpr const char* kDatabaseName = "crash.sql";
constexpr int kAckDescriptor = 3;  // Where the child reports each committed transaction.
constexpr int kDefaultKills = 15;

// The name of transaction `transaction` of life `life`; each is written once in the whole run.
std::string TransactionName(int64_t life, int64_t transaction) {
  return "L" + std::to_string(life) + "T" + std::to_string(transaction);
}

// The number of events of a transaction (1 to 24), the same in the child and in the parent.
int64_t TransactionSize(int64_t life, int64_t transaction) {
  uint64_t x =
      static_cast<uint64_t>(life) * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(transaction);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  return 1 + static_cast<int64_t>(x % 24);
}

// The child of life `life`: transaction after transaction of raw events named after the
// transaction; after each commit, the transaction's number goes to the parent.
[[noreturn]] void RunCrashChild(int64_t life) {
  auto database = ZIVDatabase::initWithDatabaseName(kDatabaseName, nullptr);
  if (!database) _exit(2);
  for (int64_t transaction = 1;; ++transaction) {
    const std::string name = TransactionName(life, transaction);
    const int64_t size = TransactionSize(life, transaction);
    bool committed = database->performTransaction([&] {
      for (int64_t i = 0; i < size; ++i) {
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
  if (const char* life = getenv(kChildVariable)) RunCrashChild(std::atoll(life));
  return false;
}();

std::string ExecutablePath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  return length > 0 ? std::string(buffer, length) : std::string();
}

// Starts the child of `life` with its acknowledgement pipe on kAckDescriptor; returns its pid and
// the read end of the pipe.
pid_t SpawnChild(int64_t life, int* readEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], kAckDescriptor);
  std::vector<std::string> environment =
      fnd::ChildEnvironment({std::string(kChildVariable) + "=" + std::to_string(life)});
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

// Reads acknowledgements until `deadline` (or until the pipe closes); returns the last one read,
// or `last` when none arrived.
int64_t ReadAcknowledgementsUntil(int readEnd, std::chrono::steady_clock::time_point deadline,
                                  int64_t last) {
  for (;;) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds(0)) return last;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd fd{readEnd, POLLIN, 0};
    if (ppoll(&fd, 1, &timeout, nullptr) <= 0) continue;
    int64_t transaction = 0;
    if (read(readEnd, &transaction, sizeof(transaction)) != sizeof(transaction)) return last;
    last = transaction;
  }
}

uint64_t RunSeed() {
  if (const char* seed = getenv(kSeedVariable)) return std::strtoull(seed, nullptr, 10);
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

int RunKills() {
  const char* kills = getenv(kKillsVariable);
  const int count = kills ? std::atoi(kills) : kDefaultKills;
  return count > 0 ? count : kDefaultKills;
}

TEST(DatabaseCrashTest, KilledWritersLeaveEveryCommittedTransactionWholeAndOnce) {
  ASSERT_FALSE(kIsCrashChild);
  const uint64_t seed = RunSeed();
  const int kills = RunKills();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (" + kSeedVariable + "=" + std::to_string(seed) +
               " replays it), kills " + std::to_string(kills));
  std::mt19937_64 random(seed);

  ziv_storage_test::TempHome home;
  const std::string path = ZIVFilePathForDatabaseName(kDatabaseName);
  std::vector<int64_t> acknowledged;  // Per life: the last transaction it acknowledged.
  int killedInStartWindow = 0, killedBeforeFirstCommit = 0, killedAfterCommits = 0;
  // The time from a spawn to the first commit, as last seen (a first guess until then).
  int64_t firstCommitMicros = 50000;
  for (int64_t life = 0; life < kills; ++life) {
    SCOPED_TRACE("life " + std::to_string(life));
    int readEnd = -1;
    const auto start = std::chrono::steady_clock::now();
    pid_t child = SpawnChild(life, &readEnd);
    ASSERT_GT(child, 0);

    // The moment of the kill: a quarter of the lives die at a random moment between the spawn and
    // the time the last first commit took (while the process starts, while it opens the file,
    // which grows as the run goes on, or inside the first transaction); the others after a random
    // number of commits and then a random fraction of a millisecond, mostly inside the next
    // transaction.
    int64_t last = 0;
    if (std::uniform_int_distribution<int>(0, 3)(random) == 0) {
      const auto delay = std::chrono::microseconds(
          std::uniform_int_distribution<int64_t>(0, firstCommitMicros)(random));
      last = ReadAcknowledgementsUntil(readEnd, start + delay, last);
      ++killedInStartWindow;
    } else {
      const int commits = std::uniform_int_distribution<int>(1, 12)(random);
      for (int seen = 0; seen < commits; ++seen) {
        int64_t transaction = 0;
        if (read(readEnd, &transaction, sizeof(transaction)) != sizeof(transaction)) break;
        if (transaction == 1) {
          firstCommitMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count();
        }
        last = transaction;
      }
      const auto delay =
          std::chrono::microseconds(std::uniform_int_distribution<int>(0, 800)(random));
      last = ReadAcknowledgementsUntil(readEnd, std::chrono::steady_clock::now() + delay, last);
      ++killedAfterCommits;
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    // Whatever the child acknowledged before dying has committed too.
    int64_t transaction = 0;
    while (read(readEnd, &transaction, sizeof(transaction)) == sizeof(transaction)) {
      last = transaction;
    }
    close(readEnd);
    if (last == 0) ++killedBeforeFirstCommit;
    acknowledged.push_back(last);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "child ended by itself with status " << status;

    // The file passes the integrity check (the store's open runs it and would recreate it).
    ziv_storage_test::LogCapture logs;
    fnd::Error error;
    auto store = ZIVSqliteStore::initWithDatabasePath(path, &error);
    ASSERT_NE(store, nullptr) << error.description();
    ASSERT_FALSE(logs.has(34010)) << "the file failed its integrity check";
    // Until a child has created the tables (the first lives may die before), there is nothing.
    auto tables = store->recordsForQuery(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name = 'raw_events'", {});
    ASSERT_TRUE(tables.has_value());
    std::map<std::string, int64_t> counts;
    if (!tables->empty()) {
      auto rows =
          store->recordsForQuery("SELECT name, count(1) AS n FROM raw_events GROUP BY name", {});
      ASSERT_TRUE(rows.has_value());
      for (const auto& row : *rows) counts[row.get("name").asString()] = row.get("n").asInt();
    }
    store.reset();

    // Every acknowledged transaction of every life so far is there, whole and once; at most one
    // more per life (committed, killed before its acknowledgement), also whole and once; nothing
    // else.
    size_t expected = 0;
    for (int64_t l = 0; l <= life; ++l) {
      for (int64_t t = 1; t <= acknowledged[l] + 1; ++t) {
        auto it = counts.find(TransactionName(l, t));
        if (t > acknowledged[l] && it == counts.end()) continue;
        ASSERT_NE(it, counts.end())
            << "acknowledged transaction " << TransactionName(l, t) << " is missing";
        ASSERT_EQ(it->second, TransactionSize(l, t))
            << "transaction " << TransactionName(l, t) << " is not there exactly once, whole";
        ++expected;
      }
    }
    ASSERT_EQ(counts.size(), expected) << "the file holds transactions that were never committed";
  }
  std::printf(
      "crash test: seed %llu, %d kills: %d in the start window, %d after commits; %d before any "
      "commit\n",
      static_cast<unsigned long long>(seed), kills, killedInStartWindow, killedAfterCommits,
      killedBeforeFirstCommit);

  // What the last child left opens as the analytics database.
  fnd::Error error;
  auto database = ZIVDatabase::initWithDatabaseName(kDatabaseName, nullptr, &error);
  EXPECT_NE(database, nullptr) << error.description();
}

}  // namespace

// The write the event pipeline makes for each event: in one exclusive transaction, the trim to the
// storage limit (deleteRawEventsOverAbsoluteLimit) and the insert of the raw event
// (insertRawEvent, which encodes the event), through the analytics database, next to plain SQLite
// running the same statements (the same min/max check; past it, the same check of the data and
// schema versions, a row count kept in memory, boundary select and delete; and the insert of an
// event encoded once beforehand) on a table of the same layout, in the same journal mode and
// sync setting, in the same run.
//
// Each is measured into an empty table and into one holding 100,000 rows, one event per
// transaction (as the pipeline writes) and 100 per transaction, with the trim and without it.
// The storage limit is 1,000,000 rows, so the trim only checks; BM_*FullStore measure a store at
// the default limit of 100,000 rows, where every event deletes the oldest row. Each benchmark uses
// a fresh QUELLMARK_HOME. At the end the program prints database / plain SQLite for each case
// (median of repetitions; goal: at least 0.9 single, 0.8 batched).
//
// The database's pipeline write is then compared with itself in paired rounds, which a disk sync
// shared with other work cannot tilt: each round times a batch of writes of one variant and then
// a batch of the other on databases filled beforehand (the order swaps every round), and the
// median of the rounds' ratios is printed, in wall time and in CPU time of the writing thread:
//   trim and insert / insert alone at 100,000 rows (goal: at least 0.9);
//   trim and insert / insert alone on a full store, every event deleting the oldest row;
//   trim and insert at 100,000 rows / into an empty table (goal: at least 0.9).
// Between rounds, untimed, each database is brought back to its starting size.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/engine/event.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "analytics/storage/sqlite_store.h"
#include "bench/bench_main.h"
#include "bench/bench_ratio.h"
#include "platform/foundation/test_home.h"

namespace {

constexpr int64_t kStoredRows = 100000;
constexpr int64_t kRoomyLimit = 1000000;
constexpr int64_t kDefaultLimit = 100000;
constexpr int kBatch = 100;
constexpr int64_t kFingerprint = 12345;

class Settings : public ZIVDatabaseSettings {
 public:
  explicit Settings(int64_t limit) : limit_(limit) {}
  int64_t maxEventsStored() const override { return limit_; }

 private:
  int64_t limit_;
};

std::shared_ptr<ZIVEvent> MakeEvent(int64_t i) {
  return ZIVEvent::initWithOrigin("app", false, "level_up", 1700000000.0 + i, 0,
                                  {{"level", ZIVValue::initWithInt64(i)},
                                   {"character", ZIVValue::initWithString(std::string("hero"))},
                                   {"score", ZIVValue::initWithDouble(12.5)}});
}

// The row's blob as insertRawEvent stores it: the event message without its name.
fnd::Data EncodedRow(const ZIVEvent& event) {
  auto proto = event.protoEvent();
  NANOClearField(proto.get(), APMPBEvent::kName);
  return proto->protoBuffer().value_or(fnd::Data{});
}

struct Case {
  int64_t rows;
  int batch;
  bool trim;
  int64_t limit;

  std::string name(const char* side) const {
    return std::string(side) + (trim ? " trim+insert" : " insert") +
           (batch == 1 ? " single" : " batched") + " rows=" + std::to_string(rows) +
           " limit=" + std::to_string(limit);
  }
};

Case CaseOf(const benchmark::State& state, int64_t limit) {
  return {state.range(0), static_cast<int>(state.range(1)), state.range(2) != 0, limit};
}

// The journal mode and sync setting of the database's connection, for the baseline.
struct Durability {
  std::string journal = "delete";
  int64_t synchronous = 2;
};

Durability DurabilityOf(sqlite3* db) {
  Durability d;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    d.journal = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  if (sqlite3_prepare_v2(db, "PRAGMA synchronous", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    d.synchronous = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  return d;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Finish(benchmark::State& state, const std::string& name, int64_t events, double elapsed) {
  state.SetItemsProcessed(events);
  state.SetLabel(name);
  if (elapsed > 0) bench::RecordRate(name, static_cast<double>(events) / elapsed);
}

void DatabaseWrite(benchmark::State& state, int64_t limit) {
  const Case c = CaseOf(state, limit);
  fnd::ScopedTestHome home;
  auto database = ZIVDatabase::initWithDatabaseName("bench.sql", nullptr, nullptr,
                                                    {std::make_shared<Settings>(c.limit), nullptr});
  auto event = MakeEvent(1);
  const bool filled = database && database->performTransaction([&] {
    for (int64_t i = 0; i < c.rows; ++i) {
      if (!database->insertRawEvent(event, kFingerprint, false)) return false;
    }
    return true;
  });
  if (!filled) {
    state.SkipWithError("could not prepare the database");
    return;
  }
  double elapsed = 0;
  int64_t events = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool written = database->performTransaction([&] {
      for (int i = 0; i < c.batch; ++i) {
        if (c.trim && !database->deleteRawEventsOverAbsoluteLimit()) return false;
        if (!database->insertRawEvent(event, kFingerprint, false)) return false;
      }
      return true;
    });
    elapsed += Seconds(start);
    if (!written) {
      state.SkipWithError("write failed");
      return;
    }
    events += c.batch;
  }
  Finish(state, c.name("database"), events, elapsed);
}

// The same statements through plain SQLite.
void PlainWrite(benchmark::State& state, int64_t limit) {
  const Case c = CaseOf(state, limit);
  fnd::ScopedTestHome home;
  // The table's layout and the connection's settings come from a database made the usual way.
  std::string path;
  std::string createSQL;
  Durability durability;
  {
    auto database = ZIVDatabase::initWithDatabaseName("bench-layout.sql", nullptr);
    if (!database) {
      state.SkipWithError("could not open the database");
      return;
    }
    sqlite3* db = database->sqliteStore()->sqliteHandle();
    durability = DurabilityOf(db);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE name = 'raw_events'", -1,
                           &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      createSQL = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    path = database->sqliteStore()->databasePath() + ".plain";
  }
  sqlite3* db = nullptr;
  if (createSQL.empty() || sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    state.SkipWithError("could not open the baseline database");
    sqlite3_close(db);
    return;
  }
  sqlite3_exec(db, ("PRAGMA journal_mode=" + durability.journal).c_str(), nullptr, nullptr,
               nullptr);
  sqlite3_exec(db, ("PRAGMA synchronous=" + std::to_string(durability.synchronous)).c_str(),
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, createSQL.c_str(), nullptr, nullptr, nullptr);

  auto event = MakeEvent(1);
  const fnd::Data data = EncodedRow(*event);
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* ends = nullptr;
  sqlite3_stmt* boundary = nullptr;
  sqlite3_stmt* remove = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                     "is_realtime) VALUES (?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  sqlite3_prepare_v2(db,
                     "SELECT (SELECT min(rowid) FROM raw_events) AS low, (SELECT max(rowid) FROM "
                     "raw_events) AS high",
                     -1, &ends, nullptr);
  sqlite3_prepare_v2(db,
                     "SELECT rowid AS boundary FROM raw_events ORDER BY rowid ASC LIMIT 1 OFFSET ?",
                     -1, &boundary, nullptr);
  sqlite3_prepare_v2(db, "DELETE FROM raw_events WHERE rowid <= ?", -1, &remove, nullptr);
  sqlite3_stmt* versions = nullptr;
  sqlite3_stmt* count = nullptr;
  sqlite3_prepare_v2(
      db, "SELECT data_version, schema_version FROM pragma_data_version, pragma_schema_version", -1,
      &versions, nullptr);
  sqlite3_prepare_v2(db, "SELECT count(1) FROM raw_events", -1, &count, nullptr);
  // The row count kept in memory, as the database keeps it: counted once, then followed.
  int64_t rows = -1;
  auto insertRow = [&] {
    sqlite3_bind_text(insert, 1, event->name().c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 2, event->timestamp());
    sqlite3_bind_int64(insert, 3, kFingerprint);
    sqlite3_bind_blob(insert, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 5, 0);
    const bool done = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    if (done && rows >= 0) ++rows;
    return done;
  };
  const int64_t keep = c.limit - 1;
  auto trim = [&] {
    if (sqlite3_step(ends) != SQLITE_ROW) return false;
    const bool empty = sqlite3_column_type(ends, 0) != SQLITE_INTEGER;
    const int64_t low = sqlite3_column_int64(ends, 0);
    const int64_t high = sqlite3_column_int64(ends, 1);
    sqlite3_reset(ends);
    if (empty || high - low + 1 <= keep) return true;
    const bool checked = sqlite3_step(versions) == SQLITE_ROW;
    sqlite3_reset(versions);
    if (!checked) return false;
    if (rows < 0) {
      if (sqlite3_step(count) != SQLITE_ROW) return false;
      rows = sqlite3_column_int64(count, 0);
      sqlite3_reset(count);
    }
    if (rows <= keep) return true;
    sqlite3_bind_int64(boundary, 1, rows - keep - 1);
    const int step = sqlite3_step(boundary);
    const int64_t cut = sqlite3_column_int64(boundary, 0);
    sqlite3_reset(boundary);
    if (step != SQLITE_ROW) return step == SQLITE_DONE;
    sqlite3_bind_int64(remove, 1, cut);
    const bool done = sqlite3_step(remove) == SQLITE_DONE;
    sqlite3_reset(remove);
    if (done) rows -= sqlite3_changes64(db);
    return done;
  };
  bool filled = sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) == 0;
  for (int64_t i = 0; filled && i < c.rows; ++i) filled = insertRow();
  filled = filled && sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr) == 0;

  double elapsed = 0;
  int64_t events = 0;
  for (auto _ : state) {
    if (!filled) break;
    const auto start = std::chrono::steady_clock::now();
    bool written = sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) == 0;
    for (int i = 0; written && i < c.batch; ++i) {
      written = (!c.trim || trim()) && insertRow();
    }
    written = written && sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr) == 0;
    elapsed += Seconds(start);
    if (!written) {
      filled = false;
      break;
    }
    events += c.batch;
  }
  for (sqlite3_stmt* statement : {insert, ends, boundary, remove, versions, count}) {
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  if (!filled) {
    state.SkipWithError("the baseline could not write");
    return;
  }
  Finish(state, c.name("plain SQLite"), events, elapsed);
  state.SetLabel(c.name("plain SQLite") + " journal_mode=" + durability.journal +
                 " synchronous=" + std::to_string(durability.synchronous));
}

void BM_DatabaseWrite(benchmark::State& state) { DatabaseWrite(state, kRoomyLimit); }
void BM_PlainWrite(benchmark::State& state) { PlainWrite(state, kRoomyLimit); }
void BM_DatabaseWriteFullStore(benchmark::State& state) { DatabaseWrite(state, kDefaultLimit); }
void BM_PlainWriteFullStore(benchmark::State& state) { PlainWrite(state, kDefaultLimit); }

// Arguments: stored rows, events per transaction, trim (1) or not (0). The database and the
// baseline alternate, case by case.
void Cases(void (*database)(benchmark::State&), void (*plain)(benchmark::State&),
           const char* suffix, std::initializer_list<std::array<int64_t, 3>> cases) {
  for (const auto& c : cases) {
    for (auto [fn, name] :
         {std::pair{database, "BM_DatabaseWrite"}, std::pair{plain, "BM_PlainWrite"}}) {
      benchmark::RegisterBenchmark((std::string(name) + suffix).c_str(), fn)
          ->Args({c[0], c[1], c[2]})
          ->ArgNames({"rows", "batch", "trim"})
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime()
          ->MinTime(c[1] == 1 ? 1.0 : 0.5);
    }
  }
}

// ---- Paired rounds of the database's pipeline write.

// A database of its own in the current home, filled with `rows` events, written in batches of
// `batch` events per transaction, with or without the trim before each insert.
class Store {
 public:
  Store(const std::string& name, int64_t limit, int64_t rows)
      : database_(ZIVDatabase::initWithDatabaseName(name, nullptr, nullptr,
                                                    {std::make_shared<Settings>(limit), nullptr})),
        event_(MakeEvent(1)),
        rows_(rows) {
    ok_ = database_ && database_->performTransaction([&] {
      for (int64_t i = 0; i < rows; ++i) {
        if (!database_->insertRawEvent(event_, kFingerprint, false)) return false;
      }
      return true;
    });
  }

  bool ok() const { return ok_; }

  // Writes `transactions` transactions of `batch` events; false when one fails.
  bool Write(int transactions, int batch, bool trim) {
    for (int t = 0; t < transactions; ++t) {
      const bool written = database_->performTransaction([&] {
        for (int i = 0; i < batch; ++i) {
          if (trim && !database_->deleteRawEventsOverAbsoluteLimit()) return false;
          if (!database_->insertRawEvent(event_, kFingerprint, false)) return false;
        }
        return true;
      });
      if (!written) return false;
    }
    return true;
  }

  // Back to the starting number of rows, keeping the newest: untimed, between rounds.
  bool Restore() {
    ZIVSqliteStore& store = *database_->sqliteStore();
    auto count = store.numberForQuery("SELECT count(1) FROM raw_events", {});
    if (!count) return false;
    const int64_t excess = count->asInt() - rows_;
    if (excess <= 0) return true;
    // Rowids run without gaps: rows are only ever deleted from the old end.
    auto low = store.numberForQuery("SELECT min(rowid) FROM raw_events", {});
    return low && database_->deleteRawEventsWithMaxRowID(low->asInt() + excess - 1);
  }

 private:
  std::shared_ptr<ZIVDatabase> database_;
  std::shared_ptr<ZIVEvent> event_;
  int64_t rows_;
  bool ok_ = false;
};

struct Timing {
  double wall = 0;
  double cpu = 0;
};

// Seconds per event of one batch, or nullopt when a write fails.
std::optional<Timing> TimeBatch(Store& store, int transactions, int batch, bool trim) {
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = bench::ThreadCpuSeconds();
  if (!store.Write(transactions, batch, trim)) return std::nullopt;
  const double events = static_cast<double>(transactions) * batch;
  Timing t{Seconds(start) / events, (bench::ThreadCpuSeconds() - cpuStart) / events};
  if (!store.Restore()) return std::nullopt;
  return t;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One variant against another, each side a store and a trim flag: prints rate(a) / rate(b), the
// median over the rounds, in wall and CPU time.
struct Side {
  Store* store;
  bool trim;
};

void PairedRatio(const char* label, Side a, Side b, int transactions, int batch, const char* goal) {
  constexpr int kRounds = 15;
  std::vector<double> wall;
  std::vector<double> cpu;
  for (int round = 0; round < kRounds; ++round) {
    std::optional<Timing> ta;
    std::optional<Timing> tb;
    if (round % 2 == 0) {
      ta = TimeBatch(*a.store, transactions, batch, a.trim);
      tb = TimeBatch(*b.store, transactions, batch, b.trim);
    } else {
      tb = TimeBatch(*b.store, transactions, batch, b.trim);
      ta = TimeBatch(*a.store, transactions, batch, a.trim);
    }
    if (!ta || !tb) {
      std::printf("%-58s write failed\n", label);
      return;
    }
    // Events per second of a over those of b: b's time per event over a's.
    if (ta->wall > 0 && ta->cpu > 0) {
      wall.push_back(tb->wall / ta->wall);
      cpu.push_back(tb->cpu / ta->cpu);
    }
  }
  std::printf("%-58s wall %5.2f  cpu %5.2f  (%s)\n", label, Median(wall), Median(cpu), goal);
}

// Runs the paired comparisons; false when a store cannot be prepared.
bool PairedRounds() {
  fnd::ScopedTestHome home;
  Store roomy("paired-roomy.sql", kRoomyLimit, kStoredRows);
  Store full("paired-full.sql", kDefaultLimit, kStoredRows);
  Store empty("paired-empty.sql", kRoomyLimit, 0);
  if (!roomy.ok() || !full.ok() || !empty.ok()) {
    std::printf("could not prepare the paired stores\n");
    return false;
  }
  const std::string rows = std::to_string(kStoredRows);
  std::printf(
      "\nThe database's pipeline write against itself, paired rounds (median of rounds' ratios "
      "of events per second)\n");
  for (int batch : {1, kBatch}) {
    const char* mode = batch == 1 ? "single" : "batched";
    const int transactions = batch == 1 ? 30 : 4;
    PairedRatio(("trim+insert / insert alone at " + rows + " rows, " + mode).c_str(),
                {&roomy, true}, {&roomy, false}, transactions, batch, "goal >= 0.9");
    PairedRatio(("full store trim+insert / insert alone, " + std::string(mode)).c_str(),
                {&full, true}, {&full, false}, transactions, batch, "goal >= 0.9");
    PairedRatio(("trim+insert at " + rows + " rows / empty, " + mode).c_str(), {&roomy, true},
                {&empty, true}, transactions, batch, "goal >= 0.9");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Cases(BM_DatabaseWrite, BM_PlainWrite, "",
        {{0, 1, 1},
         {kStoredRows, 1, 1},
         {kStoredRows, 1, 0},
         {0, kBatch, 1},
         {kStoredRows, kBatch, 1},
         {kStoredRows, kBatch, 0}});
  Cases(BM_DatabaseWriteFullStore, BM_PlainWriteFullStore, "FullStore",
        {{kStoredRows, 1, 1}, {kStoredRows, kBatch, 1}});
  if (!bench::RunBenchmarks(&argc, argv)) return 1;

  const std::string rows = std::to_string(kStoredRows);
  const std::string roomy = " limit=" + std::to_string(kRoomyLimit);
  const std::string full = " limit=" + std::to_string(kDefaultLimit);
  std::printf("\nEvents per second, median of repetitions: database / plain SQLite\n");
  for (const char* write : {" trim+insert", " insert"}) {
    for (const char* mode : {" single", " batched"}) {
      for (const std::string& stored : {std::string("0"), rows}) {
        const std::string which = std::string(write) + mode + " rows=" + stored + roomy;
        const std::string label = std::string(write + 1) + mode + ", " + stored + " rows";
        bench::PrintRatio(label.c_str(), "database" + which, "plain SQLite" + which,
                          std::string(mode) == " single" ? "goal >= 0.9" : "goal >= 0.8");
      }
    }
  }
  for (const char* mode : {" single", " batched"}) {
    const std::string which = std::string(" trim+insert") + mode + " rows=" + rows + full;
    const std::string label = std::string("full store (every event deletes one)") + mode;
    bench::PrintRatio(label.c_str(), "database" + which, "plain SQLite" + which, "same statements");
  }
  return PairedRounds() ? 0 : 1;
}

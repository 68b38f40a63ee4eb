// Raw events through the analytics database's own methods: inserts per second into an empty
// table and into one that already holds 100,000 rows (each insert its own transaction, as the
// event pipeline writes them), and the time to trim a table of 200,000 rows to a storage limit of
// 100,000. Each run uses a fresh QUELLMARK_HOME.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "analytics/engine/event.h"
#include "analytics/storage/database.h"
#include "platform/foundation/test_home.h"

namespace {

constexpr int64_t kStoredRows = 100000;

class Settings : public ZIVDatabaseSettings {
 public:
  int64_t maxEventsStored() const override { return kStoredRows; }
};

std::shared_ptr<ZIVEvent> MakeEvent(int64_t i) {
  return ZIVEvent::initWithOrigin("app", false, "level_up", 1700000000.0 + i, 0,
                                  {{"level", ZIVValue::initWithInt64(i)},
                                   {"character", ZIVValue::initWithString(std::string("hero"))},
                                   {"score", ZIVValue::initWithDouble(12.5)}});
}

std::shared_ptr<ZIVDatabase> OpenDatabase() {
  return ZIVDatabase::initWithDatabaseName("bench.sql", nullptr, nullptr,
                                           {std::make_shared<Settings>(), nullptr});
}

// Fills the table with `rows` raw events in one transaction.
bool Fill(ZIVDatabase& database, int64_t rows) {
  auto event = MakeEvent(0);
  return database.performTransaction([&] {
    for (int64_t i = 0; i < rows; ++i) {
      if (!database.insertRawEvent(event, i % 16, false)) return false;
    }
    return true;
  });
}

void BM_InsertRawEvent(benchmark::State& state) {
  fnd::ScopedTestHome home;
  auto database = OpenDatabase();
  if (!database || !Fill(*database, state.range(0))) {
    state.SkipWithError("could not prepare the database");
    return;
  }
  auto event = MakeEvent(1);
  for (auto _ : state) {
    if (!database->insertRawEvent(event, 1, false)) {
      state.SkipWithError("insert failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::to_string(state.range(0)) + " rows stored");
}
BENCHMARK(BM_InsertRawEvent)
    ->Arg(0)
    ->Arg(kStoredRows)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void BM_InsertRawEventBatched(benchmark::State& state) {
  fnd::ScopedTestHome home;
  auto database = OpenDatabase();
  if (!database || !Fill(*database, state.range(0))) {
    state.SkipWithError("could not prepare the database");
    return;
  }
  auto event = MakeEvent(1);
  constexpr int kBatch = 100;
  for (auto _ : state) {
    bool done = database->performTransaction([&] {
      for (int i = 0; i < kBatch; ++i) {
        if (!database->insertRawEvent(event, 1, false)) return false;
      }
      return true;
    });
    if (!done) {
      state.SkipWithError("insert failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetLabel("100 per transaction, " + std::to_string(state.range(0)) + " rows stored");
}
BENCHMARK(BM_InsertRawEventBatched)
    ->Arg(0)
    ->Arg(kStoredRows)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void BM_TrimToStorageLimit(benchmark::State& state) {
  fnd::ScopedTestHome home;
  auto database = OpenDatabase();
  if (!database) {
    state.SkipWithError("could not open the database");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    bool filled = Fill(*database, 2 * kStoredRows);
    state.ResumeTiming();
    if (!filled) {
      state.SkipWithError("could not fill the database");
      return;
    }
    auto deleted = database->deleteRawEventsOverAbsoluteLimit();
    if (!deleted || *deleted < kStoredRows) {
      state.SkipWithError("trim failed");
      return;
    }
    state.PauseTiming();
    if (!database->sqliteStore()->deleteAllRecordsFromTableWithName("raw_events")) {
      state.SkipWithError("could not empty the table");
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kStoredRows);
}
BENCHMARK(BM_TrimToStorageLimit)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

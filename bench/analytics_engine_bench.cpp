// Events per second from the public entry DEVAzodavevu::logEventWithName() to a committed raw-event
// row (through the facade's timestamp and operation queues, the engine's event entry and pipeline,
// each event its own transaction as the pipeline writes them), next to plain SQLite inserts of the
// same rows into a table of the same layout, with the same journal mode and sync setting, measured
// in the same run. Prints the ratio engine / plain SQLite at the end (the goal is at least 0.5).
// Each run uses a fresh QUELLMARK_HOME.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "analytics/config/consent_settings_util.h"
#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/azodavevu.h"
#include "analytics/engine/event.h"
#include "analytics/engine/facade_link.h"
#include "analytics/engine/identifiers.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/runtime_class_registry.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/user_defaults.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "bench/bench_main.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/test_home.h"

namespace {

constexpr int kBatch = 200;

// Rates of the last run of each benchmark, for the ratio printed at the end.
double gEngineRate = 0;
double gSqliteRate = 0;
std::string gJournalMode;
int64_t gSynchronous = -1;

const fnd::Dictionary& Parameters() {
  static const fnd::Dictionary parameters{{"level", 7}, {"character", "hero"}, {"score", 12.5}};
  return parameters;
}

struct Engine {
  Engine() : preferences("bench.application") {
    config = ZIVPersistedConfig::create("bench.measurement", nullptr, &preferences);
    ZIVIdentityEnvironment identityEnvironment;
    identityEnvironment.consent = &consent;
    identityEnvironment.isFromAppStore = [] { return false; };
    identity = ZIVIdentity::create(config, identityEnvironment);
    ZIVMeasurement::Environment environment;
    environment.identity = [this] { return identity; };
    environment.consent = &consent;
    environment.notificationCenter = &center;
    environment.userDefaults = &preferences;
    auto scheduler = std::make_shared<ZIVScheduler>("bench.measurement.worker");
    auto alarm = std::make_shared<ZIVAlarm>(scheduler->workerQueue(), ZIVMeasurementTimerName);
    engine =
        ZIVMeasurement::initWithDatabaseName(ZIVMeasurementDatabaseName, config, nullptr, scheduler,
                                             alarm, kAppID, true, false, {}, nullptr, environment);
    if (!engine) return;
    // The public interface over its own facade, which reaches this engine.
    ZIVAnalytics::Environment facadeEnvironment;
    facadeEnvironment.suiteName = "bench.analytics.suite";
    facadeEnvironment.consent = &consent;
    facadeEnvironment.engine = std::make_shared<ZIVMeasurementAnalyticsEngine>(engine);
    facadeEnvironment.classes = &classes;
    facadeEnvironment.notificationCenter = &center;
    facadeEnvironment.identity = [this] { return identity; };
    facadeEnvironment.identifiers = &identifiers;
    facadeEnvironment.persistedConfig = [this] { return config; };
    facadeEnvironment.paymentQueue = &paymentQueue;
    analytics = std::make_unique<ZIVAnalytics>(std::move(facadeEnvironment));
    DEVAzodavevu::Environment apiEnvironment;
    apiEnvironment.analytics = analytics.get();
    apiEnvironment.isDefaultAppConfigured = [] { return true; };
    apiEnvironment.classes = &classes;
    apiEnvironment.notificationCenter = &center;
    apiEnvironment.installationID = [](DEVInstallationIDCompletion c) {
      c(std::nullopt, std::nullopt);
    };
    apiEnvironment.setZudiroruInstallationID = [](const std::optional<std::string>&) {};
    api = std::make_unique<DEVAzodavevu>(std::move(apiEnvironment));
    analytics->startWithAppID(kAppID, "fa", {});
    Drain();
  }
  ~Engine() {
    if (engine) Drain();
    api.reset();
    analytics.reset();
    engine.reset();
    identity.reset();
    config->synchronizeToDisk();
  }
  // Every call made so far has passed the facade and is committed.
  void Drain() {
    if (analytics) {
      std::promise<void> done;
      analytics->queueOperationWithBlock([&done] { done.set_value(); });
      done.get_future().wait();
      analytics->queue()->sync([] {});
    }
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [] {});
  }

  static constexpr const char* kAppID = "1:1234:ios:abcd";

  ZIVUserDefaults preferences;
  ZIVConsentSettingsUtil consent;
  fnd::NotificationCenter center;
  std::shared_ptr<ZIVPersistedConfig> config;
  std::shared_ptr<ZIVIdentity> identity;
  std::shared_ptr<ZIVMeasurement> engine;
  ZIVRuntimeClassRegistry classes;
  ZIVIdentifiers identifiers;
  SKPaymentQueue paymentQueue;
  std::unique_ptr<ZIVAnalytics> analytics;
  std::unique_ptr<DEVAzodavevu> api;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_EngineLogEventToRow(benchmark::State& state) {
  fnd::ScopedTestHome home;
  Engine e;
  if (!e.engine || !e.engine->database() || !e.api) {
    state.SkipWithError("the engine did not start");
    return;
  }
  // The journal mode and sync setting the baseline copies.
  e.engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [&] {
    sqlite3* db = e.engine->database()->sqliteStore()->sqliteHandle();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      gJournalMode = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    if (sqlite3_prepare_v2(db, "PRAGMA synchronous", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      gSynchronous = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
  });
  double elapsed = 0;
  int64_t events = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) e.api->logEventWithName("level_up", Parameters());
    e.Drain();
    elapsed += Seconds(start);
    events += kBatch;
  }
  state.SetItemsProcessed(events);
  gEngineRate = elapsed > 0 ? events / elapsed : 0;
}
BENCHMARK(BM_EngineLogEventToRow)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_SqliteInsertSameRow(benchmark::State& state) {
  fnd::ScopedTestHome home;
  const std::string path = ZIVFilePathForDatabaseName("bench-baseline.sql");
  (void)fnd::CreateDirectories(std::filesystem::path(path).parent_path().string());
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    state.SkipWithError("could not open the baseline database");
    sqlite3_close(db);
    return;
  }
  const std::string journal = gJournalMode.empty() ? "delete" : gJournalMode;
  const std::string sync = std::to_string(gSynchronous < 0 ? 2 : gSynchronous);
  sqlite3_exec(db, ("PRAGMA journal_mode=" + journal).c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db, ("PRAGMA synchronous=" + sync).c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db,
               "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
               "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER)",
               nullptr, nullptr, nullptr);
  auto event = ZIVEvent::initWithOrigin("app", true, "level_up", 1700000000.0, 0, Parameters());
  auto proto = event->protoEvent();
  NANOClearField(proto.get(), APMPBEvent::kName);
  const fnd::Data data = proto->protoBuffer().value_or(fnd::Data{});
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                     "is_realtime) VALUES (?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  double elapsed = 0;
  int64_t rows = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) {
      sqlite3_bind_text(insert, 1, "level_up", -1, SQLITE_STATIC);
      sqlite3_bind_double(insert, 2, 1700000000.0 + i);
      sqlite3_bind_int64(insert, 3, 12345);
      sqlite3_bind_blob(insert, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
      sqlite3_bind_int64(insert, 5, 0);
      if (sqlite3_step(insert) != SQLITE_DONE) {
        state.SkipWithError("insert failed");
        break;
      }
      sqlite3_reset(insert);
    }
    elapsed += Seconds(start);
    rows += kBatch;
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(rows);
  state.SetLabel("journal_mode=" + journal + " synchronous=" + sync);
  gSqliteRate = elapsed > 0 ? rows / elapsed : 0;
}
BENCHMARK(BM_SqliteInsertSameRow)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (!bench::RunBenchmarks(&argc, argv)) return 1;
  if (gEngineRate > 0 && gSqliteRate > 0) {
    std::printf("engine: %.0f events/s, plain SQLite: %.0f rows/s, ratio %.2f (goal >= 0.5)\n",
                gEngineRate, gSqliteRate, gEngineRate / gSqliteRate);
  }
  return 0;
}

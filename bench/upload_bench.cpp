// Upload throughput. Every run stores 100,000 raw events (10 parameters each) in a fresh home,
// then measures:
//   BM_NanopbEncode     the raw baseline: each event's wire message encoded with nanopb;
//   BM_BundleAndEncode  bundling all rows into queued bundles, reading them back, encoding one
//                       batch per request's worth and gzipping it;
//   BM_DrainToCollector bundling and uploading everything to the loopback collector.
// Events per second are reported for each; the program prints the ratio of bundling to the
// nanopb baseline measured in the same run (the goal is at least 0.3), both in wall-clock time
// (which holds the disk syncs of one committed transaction per bundle) and in CPU time of the
// thread that does the work (the figure that compares across machines and loads).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/bundler.h"
#include "analytics/engine/event.h"
#include "analytics/engine/uploader.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "bench/bench_main.h"
#include "bench/bench_ratio.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/semaphore.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/test_home.h"
#include "platform/vendor/utilities/gzip.h"
#include "tools/collector/collector.h"

namespace {

constexpr int kEvents = 100000;
constexpr const char* kAppID = "1:111:macos:aaa";

double g_nanopbRate = 0;
double g_bundleRate = 0;
double g_nanopbCpuRate = 0;
double g_bundleCpuRate = 0;

struct Store {
  Store() {
    persisted = ZIVPersistedConfig::create("com.rivado.measurement.bench");
    database = ZIVDatabase::initWithDatabaseName(ZIVDatabaseFileName, persisted);
    auto config = APMPBMeasurementConfig::initWithBuffer(nullptr);
    NANOSetString(config.get(), APMPBMeasurementConfig::kAppId, kAppID);
    settings = ZIVRemoteConfig::initWithAppID(kAppID, database, config, persisted, nullptr);
  }
  // 100,000 events a tenth of a second apart, ending now.
  std::vector<std::shared_ptr<ZIVEvent>> Fill() {
    auto metadata = APMPBMeasurementBundle::initWithBuffer(nullptr);
    NANOSetString(metadata.get(), APMPBMeasurementBundle::kAppId, kAppID);
    NANOSetString(metadata.get(), APMPBMeasurementBundle::kConsentSignals, "G111");
    (void)database->insertIfNotExistsRawEventMetadata(*metadata);
    const int64_t fingerprint = static_cast<int64_t>(ziv_64LSBMD5(*metadata->protoBuffer()));
    const double start = dispatch::Clock::real()->wallTime() - kEvents / 10.0;
    std::vector<std::shared_ptr<ZIVEvent>> events;
    (void)database->performTransaction([&] {
      for (int e = 0; e < kEvents; ++e) {
        fnd::Dictionary parameters;
        for (int p = 0; p < 10; ++p) {
          const std::string name = "param_" + std::to_string(p);
          if (p % 2 == 0) {
            parameters.set(fnd::Value(name), fnd::Value("value " + std::to_string(e + p)));
          } else {
            parameters.set(fnd::Value(name), fnd::Value::Int64(e * 10 + p));
          }
        }
        auto event = ZIVEvent::initWithOrigin("app", false, "screen_view_" + std::to_string(e % 17),
                                              start + e / 10.0, 0, parameters);
        events.push_back(event);
        if (!database->insertRawEvent(event, fingerprint, false)) return false;
      }
      return true;
    });
    return events;
  }
  std::shared_ptr<ZIVBundler> Bundler() {
    ZIVBundlerEnvironment environment;
    environment.database = database;
    environment.settings = settings;
    environment.persistedConfig = persisted;
    environment.consent = &consent;
    environment.appID = [] { return std::string(kAppID); };
    return std::make_shared<ZIVBundler>(environment);
  }

  ZIVConsentSettingsUtil consent;
  std::shared_ptr<ZIVPersistedConfig> persisted;
  std::shared_ptr<ZIVDatabase> database;
  std::shared_ptr<ZIVRemoteConfig> settings;
};

// Runs `block` on `queue` and waits for it: the engine's work runs off the main thread, where a
// sync would run it.
void RunOn(dispatch::Queue& queue, const std::function<void()>& block) {
  dispatch::Semaphore done(0, dispatch::Clock::real());
  queue.async([&] {
    block();
    done.signal();
  });
  (void)done.wait();
}

void BM_NanopbEncode(benchmark::State& state) {
  fnd::ScopedTestHome home;
  Store store;
  auto events = store.Fill();
  std::vector<std::shared_ptr<APMPBEvent>> messages;
  for (const auto& event : events) messages.push_back(event->protoEvent());
  size_t bytes = 0;
  double seconds = 0;
  double cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = bench::ThreadCpuSeconds();
    bytes = 0;
    for (const auto& message : messages) bytes += message->protoBuffer()->size();
    benchmark::DoNotOptimize(bytes);
    cpu += bench::ThreadCpuSeconds() - cpuStart;
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kEvents,
                                                  benchmark::Counter::kIsRate);
  // The rate itself: the counter above holds only the event count until the run ends.
  g_nanopbRate = static_cast<double>(state.iterations()) * kEvents / seconds;
  g_nanopbCpuRate = static_cast<double>(state.iterations()) * kEvents / cpu;
}

void BM_BundleAndEncode(benchmark::State& state) {
  fnd::ScopedTestHome home;
  // Bundling runs on a worker queue, as in the engine.
  auto queue = dispatch::Queue::create("bench.bundler", dispatch::Qos::kUtility);
  size_t compressed = 0;
  double seconds = 0;
  double cpu = 0;
  // Each bundle is one committed transaction, each batch's deletion another.
  int64_t bundles = 0;
  int64_t batches = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Store store;
    store.Fill();
    auto bundler = store.Bundler();
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    RunOn(*queue, [&] {
      const double cpuStart = bench::ThreadCpuSeconds();
      while (bundler->bundleRawEvents()) ++bundles;
      cpu += bench::ThreadCpuSeconds() - cpuStart;
    });
    const double cpuStart = bench::ThreadCpuSeconds();
    for (;;) {
      auto bundles = store.database->queryBundlesWithCountLimit(100, 1 << 20);
      if (!bundles || bundles->empty()) break;
      // The batch as the uploader makes it.
      std::vector<std::shared_ptr<APMPBMeasurementBundle>> batch;
      std::vector<int64_t> rowIDs;
      for (auto& [bundle, rowID] : *bundles) {
        batch.push_back(std::move(bundle));
        rowIDs.push_back(rowID);
      }
      std::string description;
      auto body = ZIVEncodedBatch(batch, "", &description);
      auto gz = body ? gul_dataByGzippingData(*body) : std::nullopt;
      compressed += gz ? gz->size() : 0;
      (void)store.database->deleteBundlesWithRowIDs(rowIDs);
      ++batches;
    }
    cpu += bench::ThreadCpuSeconds() - cpuStart;
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    store.database.reset();
    std::remove(ZIVFilePathForDatabaseName(ZIVDatabaseFileName).c_str());
    state.ResumeTiming();
  }
  benchmark::DoNotOptimize(compressed);
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kEvents,
                                                  benchmark::Counter::kIsRate);
  state.counters["bundles"] =
      static_cast<double>(bundles) / static_cast<double>(state.iterations());
  state.counters["batches"] =
      static_cast<double>(batches) / static_cast<double>(state.iterations());
  g_bundleRate = static_cast<double>(state.iterations()) * kEvents / seconds;
  g_bundleCpuRate = static_cast<double>(state.iterations()) * kEvents / cpu;
}

void BM_DrainToCollector(benchmark::State& state) {
  fnd::ScopedTestHome home;
  collector::Options options;
  std::atomic<int64_t> requests{0};
  options.output = [&](const std::string&) { ++requests; };
  collector::Collector server(std::move(options));
  if (!server.start()) {
    state.SkipWithError("cannot listen");
    return;
  }
  fnd::ScopedProcessInfoOverride arguments(
      {"bench", "--service-url", "http://127.0.0.1:" + std::to_string(server.port())});
  for (auto _ : state) {
    state.PauseTiming();
    Store store;
    store.Fill();
    auto queue = dispatch::Queue::create("bench.worker", dispatch::Qos::kUtility);
    auto network = std::make_shared<ZUZOzurivi>("127.0.0.1");
    ZIVUploaderEnvironment environment;
    environment.database = store.database;
    environment.settings = store.settings;
    environment.persistedConfig = store.persisted;
    environment.network = network;
    environment.workerQueue = queue;
    environment.bundler = store.Bundler();
    environment.consent = &store.consent;
    environment.appID = [] { return std::string(kAppID); };
    std::shared_ptr<ZIVUploader> uploader;
    RunOn(*queue, [&] { uploader = ZIVUploader::create(environment); });
    state.ResumeTiming();
    // Each success with data left starts the next attempt at once; wait until nothing is left.
    RunOn(*queue, [&] { uploader->uploadData(); });
    for (;;) {
      bool done = false;
      RunOn(*queue,
            [&] { done = !uploader->isNetworkRequestPending() && !uploader->hasDataToUpload(); });
      if (done) break;
      dispatch::Semaphore pause(0, dispatch::Clock::real());
      (void)pause.wait(0.002);
    }
    state.PauseTiming();
    RunOn(*queue, [&] { uploader.reset(); });
    store.database.reset();
    std::remove(ZIVFilePathForDatabaseName(ZIVDatabaseFileName).c_str());
    state.ResumeTiming();
  }
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kEvents,
                                                  benchmark::Counter::kIsRate);
  server.stop();
  state.counters["requests"] =
      static_cast<double>(requests.load()) / static_cast<double>(state.iterations());
}

// Wall-clock rates: bundling waits on the disk and the drain on the network and other threads.
BENCHMARK(BM_NanopbEncode)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_BundleAndEncode)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_DrainToCollector)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!bench::RunBenchmarks(&argc, argv)) return 1;
  if (g_nanopbRate > 0 && g_bundleRate > 0) {
    std::printf(
        "bundling+encoding+gzip: %.0f events/s; nanopb encoding: %.0f events/s; ratio %.3f "
        "(goal: at least 0.3)\n",
        g_bundleRate, g_nanopbRate, g_bundleRate / g_nanopbRate);
  }
  if (g_nanopbCpuRate > 0 && g_bundleCpuRate > 0) {
    std::printf(
        "in CPU time of the working threads: bundling+encoding+gzip: %.0f events/s; nanopb "
        "encoding: %.0f events/s; ratio %.3f\n",
        g_bundleCpuRate, g_nanopbCpuRate, g_bundleCpuRate / g_nanopbCpuRate);
  }
  return 0;
}

// Upload throughput. Every run stores 100,000 raw events (10 parameters each) in a fresh home,
// then measures:
//   BM_PlainNanopbEncode the raw baseline: each event's wire message encoded with plain nanopb
//                        code generated from the same .proto files (pb_get_encoded_size, then
//                        pb_encode into a buffer of that size);
//   BM_OurEncode         the same events encoded with this project's message encoder;
//   BM_BundleAndEncode   bundling all rows into queued bundles on the bundler's queue, then the
//                        uploader's own upload steps on its worker queue (read the queue back,
//                        stamp, filter, encode the batch, gzip it as the network object does) with
//                        a transport that answers every upload at once, until the queue is empty;
//   BM_DrainToCollector  bundling and uploading everything to the loopback collector.
// Events per second are reported for each; the program prints the ratios to the plain nanopb
// baseline measured in the same run of the bundling pass (stored events bundled, each bundle
// encoded and gzipped into the upload queue; the goal is at least 0.3) and of bundling with the
// upload preparation of every batch, in wall-clock time (which holds the disk syncs of one
// committed transaction per bundle and per deletion) and in CPU time of the threads that do the
// work (the figure that compares across machines and loads).
#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

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
#include "measurement.pb.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/semaphore.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/test_home.h"
#include "platform/vendor/utilities/network.h"
#include "tools/collector/collector.h"

namespace {

constexpr int kEvents = 100000;
constexpr const char* kAppID = "1:111:macos:aaa";

double g_plainRate = 0;
double g_plainCpuRate = 0;
double g_oursCpuRate = 0;
double g_bundleRate = 0;
double g_bundleCpuRate = 0;
double g_bundlingRate = 0;
double g_bundlingCpuRate = 0;
double g_uploadCpuRate = 0;

struct Store {
  Store() {
    persisted = ZIVPersistedConfig::create("com.rivado.measurement.bench");
    database = ZIVDatabase::initWithDatabaseName(ZIVDatabaseFileName, persisted);
    auto config = APMPBMeasurementConfig::initWithBuffer(nullptr);
    NANOSetString(config.get(), APMPBMeasurementConfig::kAppId, kAppID);
    // The engine stores a configuration off the main thread (it logs when it is not).
    std::thread([&] {
      settings = ZIVRemoteConfig::initWithAppID(kAppID, database, config, persisted, nullptr);
    }).join();
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

// Waits until the uploader, whose successes with data left start the next attempt at once on
// `queue`, has nothing pending and nothing left to upload.
void WaitUntilDrained(dispatch::Queue& queue, ZIVUploader& uploader) {
  for (;;) {
    bool done = false;
    RunOn(queue,
          [&] { done = !uploader.isNetworkRequestPending() && !uploader.hasDataToUpload(); });
    if (done) return;
    dispatch::Semaphore pause(0, dispatch::Clock::real());
    (void)pause.wait(0.002);
  }
}

void BM_PlainNanopbEncode(benchmark::State& state) {
  fnd::ScopedTestHome home;
  Store store;
  auto events = store.Fill();
  // Plain structs filled from each event's encoding, untimed.
  std::vector<plainpb_Event> messages(events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    messages[i] = plainpb_Event_init_zero;
    std::optional<fnd::Data> bytes = events[i]->protoEvent()->protoBuffer();
    pb_istream_t input =
        pb_istream_from_buffer(bytes ? bytes->data() : nullptr, bytes ? bytes->size() : 0);
    if (!bytes || !pb_decode(&input, plainpb_Event_fields, &messages[i])) {
      state.SkipWithError("plain decode failed");
      return;
    }
  }
  size_t bytes = 0;
  double seconds = 0;
  double cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = bench::ThreadCpuSeconds();
    bytes = 0;
    bool ok = true;
    for (const plainpb_Event& message : messages) {
      size_t size = 0;
      if (!pb_get_encoded_size(&size, plainpb_Event_fields, &message)) ok = false;
      fnd::Data buffer(size);
      pb_ostream_t output = pb_ostream_from_buffer(buffer.data(), buffer.size());
      if (!pb_encode(&output, plainpb_Event_fields, &message)) ok = false;
      benchmark::DoNotOptimize(buffer.data());
      bytes += output.bytes_written;
    }
    benchmark::DoNotOptimize(bytes);
    cpu += bench::ThreadCpuSeconds() - cpuStart;
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
      state.SkipWithError("plain encode failed");
      break;
    }
  }
  for (plainpb_Event& message : messages) pb_release(plainpb_Event_fields, &message);
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kEvents,
                                                  benchmark::Counter::kIsRate);
  state.counters["bytes"] = static_cast<double>(bytes);
  // The rate itself: the counter above holds only the event count until the run ends.
  g_plainRate = static_cast<double>(state.iterations()) * kEvents / seconds;
  g_plainCpuRate = static_cast<double>(state.iterations()) * kEvents / cpu;
}

void BM_OurEncode(benchmark::State& state) {
  fnd::ScopedTestHome home;
  Store store;
  auto events = store.Fill();
  std::vector<std::shared_ptr<APMPBEvent>> messages;
  for (const auto& event : events) messages.push_back(event->protoEvent());
  size_t bytes = 0;
  double cpu = 0;
  for (auto _ : state) {
    const double cpuStart = bench::ThreadCpuSeconds();
    bytes = 0;
    for (const auto& message : messages) bytes += message->protoBuffer()->size();
    benchmark::DoNotOptimize(bytes);
    cpu += bench::ThreadCpuSeconds() - cpuStart;
  }
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kEvents,
                                                  benchmark::Counter::kIsRate);
  state.counters["bytes"] = static_cast<double>(bytes);
  g_oursCpuRate = static_cast<double>(state.iterations()) * kEvents / cpu;
}

// Answers every upload with 204 at once, on the calling thread, and counts what it was sent.
class AnsweringTransport : public ZUZOzuriviTransport {
 public:
  void performRequest(ZUZOzuriviRequest request, Done done) override {
    if (request.method == "POST") {
      ++uploads;
      compressed += static_cast<int64_t>(request.body.size());
    } else {
      ++fetches;
    }
    ZUZOzuriviTransportResult result;
    // A fetch answers "not modified": the stored configuration stays.
    result.response = ZUZOzuriviHTTPResponse{request.method == "POST" ? 204 : 304, request.url, {}};
    done(std::move(result));
  }

  std::atomic<int64_t> uploads{0};
  std::atomic<int64_t> fetches{0};
  std::atomic<int64_t> compressed{0};
};

void BM_BundleAndEncode(benchmark::State& state) {
  fnd::ScopedTestHome home;
  // Bundling and upload each run on a worker queue of their own (one queue in the engine), so
  // that each thread's CPU time is one half's.
  auto bundlerQueue = dispatch::Queue::create("bench.bundler", dispatch::Qos::kUtility);
  auto queue = dispatch::Queue::create("bench.worker", dispatch::Qos::kUtility);
  auto transport = std::make_shared<AnsweringTransport>();
  double seconds = 0;
  double bundlingSeconds = 0;
  double bundlingCpu = 0;
  double uploadCpu = 0;
  int64_t bundles = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Store store;
    store.Fill();
    auto bundler = store.Bundler();
    ZIVUploaderEnvironment environment;
    environment.database = store.database;
    environment.settings = store.settings;
    environment.persistedConfig = store.persisted;
    environment.network = std::make_shared<ZUZOzurivi>("measurement.quellmark.example", transport);
    environment.workerQueue = queue;
    environment.consent = &store.consent;
    environment.appID = [] { return std::string(kAppID); };
    // No bundler: bundling is timed on its own below, the upload takes only queued bundles.
    std::shared_ptr<ZIVUploader> uploader;
    RunOn(*queue, [&] { uploader = ZIVUploader::create(environment); });
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    RunOn(*bundlerQueue, [&] {
      const double cpuStart = bench::ThreadCpuSeconds();
      while (bundler->bundleRawEvents()) ++bundles;
      bundlingCpu += bench::ThreadCpuSeconds() - cpuStart;
    });
    bundlingSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Each answered upload with data left starts the next attempt at once, on the queue; the
    // queue's thread is busy with nothing else, so its CPU time is the upload's.
    double uploadStart = 0;
    RunOn(*queue, [&] {
      uploadStart = bench::ThreadCpuSeconds();
      uploader->uploadData();
    });
    WaitUntilDrained(*queue, *uploader);
    RunOn(*queue, [&] { uploadCpu += bench::ThreadCpuSeconds() - uploadStart; });
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    RunOn(*queue, [&] { uploader.reset(); });
    store.database.reset();
    std::remove(ZIVFilePathForDatabaseName(ZIVDatabaseFileName).c_str());
    state.ResumeTiming();
  }
  const double events = static_cast<double>(state.iterations()) * kEvents;
  state.counters["events/s"] = benchmark::Counter(events, benchmark::Counter::kIsRate);
  const double iterations = static_cast<double>(state.iterations());
  state.counters["bundles"] = static_cast<double>(bundles) / iterations;
  state.counters["batches"] = static_cast<double>(transport->uploads.load()) / iterations;
  state.counters["fetches"] = static_cast<double>(transport->fetches.load()) / iterations;
  state.counters["gzip_bytes"] = static_cast<double>(transport->compressed.load()) / iterations;
  g_bundleRate = events / seconds;
  g_bundleCpuRate = events / (bundlingCpu + uploadCpu);
  g_bundlingRate = events / bundlingSeconds;
  g_bundlingCpuRate = events / bundlingCpu;
  g_uploadCpuRate = events / uploadCpu;
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
    WaitUntilDrained(*queue, *uploader);
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
BENCHMARK(BM_PlainNanopbEncode)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_OurEncode)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_BundleAndEncode)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_DrainToCollector)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!bench::RunBenchmarks(&argc, argv)) return 1;
  // The bundling pass: stored events bundled, each bundle encoded and gzipped into the queue.
  if (g_plainRate > 0 && g_bundlingRate > 0 && g_plainCpuRate > 0 && g_bundlingCpuRate > 0) {
    std::printf(
        "bundling, encoding and gzip into the upload queue: %.0f events/s (ratio %.3f to plain "
        "nanopb's %.0f); in CPU time %.0f events/s (ratio %.3f to %.0f) (goal: at least 0.3)\n",
        g_bundlingRate, g_bundlingRate / g_plainRate, g_plainRate, g_bundlingCpuRate,
        g_bundlingCpuRate / g_plainCpuRate, g_plainCpuRate);
  }
  // Then the uploader's preparation of every batch: read back, stamp, encode the batch, gzip.
  if (g_plainRate > 0 && g_bundleRate > 0 && g_plainCpuRate > 0 && g_bundleCpuRate > 0) {
    std::printf(
        "with the upload preparation of every batch: %.0f events/s (ratio %.3f); in CPU time "
        "%.0f events/s (ratio %.3f); upload preparation alone in CPU time %.0f events/s (ratio "
        "%.3f)\n",
        g_bundleRate, g_bundleRate / g_plainRate, g_bundleCpuRate, g_bundleCpuRate / g_plainCpuRate,
        g_uploadCpuRate, g_uploadCpuRate / g_plainCpuRate);
  }
  if (g_plainCpuRate > 0 && g_oursCpuRate > 0) {
    std::printf("our encoder: %.0f events/s in CPU time (%.3f of plain nanopb)\n", g_oursCpuRate,
                g_oursCpuRate / g_plainCpuRate);
    if (g_bundleCpuRate > 0) {
      std::printf("bundling with upload preparation against our encoder: ratio %.3f\n",
                  g_bundleCpuRate / g_oursCpuRate);
    }
  }
  return 0;
}

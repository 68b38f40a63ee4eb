// The whole road of stored events over real HTTP: raw rows are bundled, stamped, posted by the
// network object (libcurl) to the loopback collector, which decodes them; the configuration fetch
// goes the same way. Network faults and a host killed in the middle of an upload lose nothing.
//
// The killed host is this test executable started again with QUELLMARK_UPLOAD_ROAD_CHILD set to
// the collector's base URL: it sends its stored events before the test framework starts and
// never returns.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_test_support.h"
#include "analytics/engine/bundler.h"
#include "analytics/engine/event.h"
#include "analytics/engine/uploader.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/semaphore.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/test_home.h"
#include "tools/collector/collector.h"

namespace {

using collector::Json;

constexpr const char* kAppID = "1:111:macos:aaa";
constexpr const char* kChildVariable = "QUELLMARK_UPLOAD_ROAD_CHILD";
constexpr double kNow = 1700000000.0;

// Tells the test when each exchange of the network object has been answered (the completion is
// then queued on the worker queue). A test may also cut the time-out short.
class ObservedTransport : public ZUZOzuriviTransport {
 public:
  void performRequest(ZUZOzuriviRequest request, Done done) override {
    if (timeout > 0) request.timeout = timeout;
    inner_.performRequest(std::move(request), [this, done](ZUZOzuriviTransportResult result) {
      done(std::move(result));
      answered_.signal();
    });
  }
  bool waitForAnswer() { return answered_.wait(30) == dispatch::WaitResult::kSuccess; }
  double timeout = 0;

 private:
  ZUZOzuriviCurlTransport inner_;
  dispatch::Semaphore answered_{0, dispatch::Clock::real()};
};

// A database, server settings and an uploader with its bundler, all in the current home.
struct Road {
  explicit Road(std::shared_ptr<dispatch::Clock> clock,
                std::vector<std::pair<std::string, std::string>> settingsList = {})
      : clock(std::move(clock)) {
    persisted = ZIVPersistedConfig::create("com.rivado.measurement.road", this->clock);
    database = ZIVDatabase::initWithDatabaseName(ZIVDatabaseFileName, persisted, nullptr,
                                                 {nullptr, this->clock});
    services = std::make_shared<rc_test::TestServices>();
    ZIVRemoteConfigEnvironment environment;
    environment.clock = this->clock;
    environment.services = services;
    settings = ZIVRemoteConfig::initWithAppID(
        kAppID, database, rc_test::Config(kAppID, settingsList), persisted, nullptr, environment);
    transport = std::make_shared<ObservedTransport>();
    network = std::make_shared<ZUZOzurivi>("127.0.0.1", transport);
    queue = dispatch::Queue::create("road.worker", dispatch::Qos::kUtility, this->clock);
    ZIVBundlerEnvironment bundling;
    bundling.database = database;
    bundling.settings = settings;
    bundling.persistedConfig = persisted;
    bundling.clock = this->clock;
    bundling.consent = &consent;
    bundling.appID = [] { return std::string(kAppID); };
    ZIVUploaderEnvironment uploading;
    uploading.database = database;
    uploading.settings = settings;
    uploading.persistedConfig = persisted;
    uploading.network = network;
    uploading.workerQueue = queue;
    uploading.bundler = std::make_shared<ZIVBundler>(bundling);
    uploading.clock = this->clock;
    uploading.consent = &consent;
    uploading.appID = [] { return std::string(kAppID); };
    uploading.libraryVersion = 120500;
    queue->sync([&] { uploader = ZIVUploader::create(uploading); });
  }
  ~Road() {
    queue->sync([] {});
  }

  // Stores `count` events "e0".. under one metadata bundle, a second apart from `start`.
  void StoreEvents(int count, double start) {
    auto metadata = APMPBMeasurementBundle::initWithBuffer(nullptr);
    NANOSetString(metadata.get(), APMPBMeasurementBundle::kAppId, kAppID);
    NANOSetString(metadata.get(), APMPBMeasurementBundle::kConsentSignals, "G111");
    (void)database->insertIfNotExistsRawEventMetadata(*metadata);
    const int64_t fingerprint = static_cast<int64_t>(ziv_64LSBMD5(*metadata->protoBuffer()));
    database->performTransaction([&] {
      for (int i = 0; i < count; ++i) {
        auto event =
            ZIVEvent::initWithOrigin("app", false, "e" + std::to_string(i), start + i, 0,
                                     fnd::Dictionary{{fnd::Value("n"), fnd::Value::Int64(i)}});
        if (!database->insertRawEvent(event, fingerprint, false)) return false;
      }
      return true;
    });
  }
  void Run(const std::function<void()>& block) { queue->sync(block); }
  // Waits for the network's answer and for its completion on the worker queue.
  bool Settle() {
    if (!transport->waitForAnswer()) return false;
    for (int i = 0; i < 3; ++i) queue->sync([] {});
    return true;
  }
  int64_t Queued() {
    return database->sqliteStore()->rowCountForTableWithName("queue").value_or(-1);
  }
  int64_t Raw() {
    return database->sqliteStore()->rowCountForTableWithName("raw_events").value_or(-1);
  }

  std::shared_ptr<dispatch::Clock> clock;
  ZIVConsentSettingsUtil consent;
  std::shared_ptr<ZIVPersistedConfig> persisted;
  std::shared_ptr<ZIVDatabase> database;
  std::shared_ptr<rc_test::TestServices> services;
  std::shared_ptr<ZIVRemoteConfig> settings;
  std::shared_ptr<ObservedTransport> transport;
  std::shared_ptr<ZUZOzurivi> network;
  std::shared_ptr<dispatch::Queue> queue;
  std::shared_ptr<ZIVUploader> uploader;
};

// The child: bundles and posts its stored events to the collector, then waits to be killed.
[[noreturn]] void RunRoadChild(const char* base) {
  fnd::ProcessInfo::processInfo().setArguments({"road-child", "--service-url", base});
  Road road(dispatch::Clock::real());
  road.Run([&] { road.uploader->uploadData(); });
  for (;;) pause();
}

const bool kIsRoadChild = [] {
  if (const char* base = getenv(kChildVariable)) RunRoadChild(base);
  return false;
}();

class UploadRoadTest : public ::testing::Test {
 protected:
  void StartCollector(const std::string& script = "",
                      std::optional<fnd::Data> config = std::nullopt) {
    collector::Options options;
    options.script = *collector::ParseScript(script, nullptr);
    options.config = std::move(config);
    options.output = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(Json::parse(line));
      changed_.notify_all();
    };
    collector_ = std::make_unique<collector::Collector>(std::move(options));
    ASSERT_TRUE(collector_->start());
    base_ = "http://127.0.0.1:" + std::to_string(collector_->port());
  }
  std::vector<Json> Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  // Waits (real time, bounded) until the collector has reported `count` requests.
  bool WaitForLines(size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, std::chrono::seconds(30),
                             [&] { return lines_.size() >= count; });
  }
  // Names of the events of every upload the collector answered with 2xx without a scripted
  // fault or delay.
  std::multiset<std::string> AcknowledgedEvents() {
    std::multiset<std::string> names;
    for (const Json& line : Lines()) {
      if (line["request"] != "upload" || line["status"] < 200 || line["status"] > 299) continue;
      if (line.contains("fault") && line["fault"] != "big") continue;
      if (line.contains("delay_ms")) continue;
      for (const Json& bundle : line["batch"]["bundles"]) {
        for (const Json& event : bundle["events"]) names.insert(event["name"]);
      }
    }
    return names;
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>(kNow);
  std::unique_ptr<collector::Collector> collector_;
  std::string base_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<Json> lines_;
};

TEST_F(UploadRoadTest, StoredEventsArriveAsOneBatchAndA204EmptiesTheQueue) {
  StartCollector();
  fnd::ScopedProcessInfoOverride arguments({"quellmark", "--service-url", base_});
  Road road(clock_, {{"measurement.quality.checksum", "1"}});
  road.StoreEvents(3, kNow - 10);
  road.StoreEvents(2, kNow + 2900);  // Next hour: a second bundle.
  clock_->advance(3000);
  road.Run([&] { road.uploader->uploadData(); });
  ASSERT_TRUE(road.Settle());
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["path"], "/a");
  EXPECT_EQ(lines[0]["status"], 204);
  const Json& bundles = lines[0]["batch"]["bundles"];
  ASSERT_EQ(bundles.size(), 2u);
  for (const Json& bundle : bundles) {
    EXPECT_EQ(bundle["upload_timestamp_millis"], 1700003000000);
    EXPECT_EQ(bundle["upload_library_version"], 120500);
    EXPECT_EQ(bundle["checksum_valid"], true);
    EXPECT_EQ(bundle["app_id"], kAppID);
    EXPECT_EQ(bundle["consent_signals"], "G111");
  }
  EXPECT_EQ(bundles[0]["events"].size(), 3u);
  EXPECT_EQ(bundles[0]["events"][2]["params"]["n"], 2);
  EXPECT_EQ(road.Queued(), 0);
  EXPECT_EQ(road.Raw(), 0);
}

TEST_F(UploadRoadTest, TheConfigurationFetchIsConditionalAndChecked) {
  auto config = rc_test::Config(kAppID, {{"measurement.upload.interval", "120000"}});
  StartCollector("", *config->protoBuffer());
  fnd::ScopedProcessInfoOverride arguments({"quellmark", "--service-url", base_});
  Road road(clock_);
  road.Run([&] { road.uploader->fetchRemoteConfig(); });
  ASSERT_TRUE(road.Settle());
  EXPECT_EQ(road.settings->uploadingInterval(), 120);
  road.Run([&] { road.uploader->fetchRemoteConfig(); });
  ASSERT_TRUE(road.Settle());
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["path"], std::string("/config/app/") + kAppID);
  EXPECT_EQ(lines[0]["query"]["platform"], "macos");
  EXPECT_EQ(lines[0]["query"]["runtime_version"], "0");
  EXPECT_EQ(lines[0]["query"]["zuz_version"], "120500");
  EXPECT_EQ(lines[0]["status"], 200);
  EXPECT_FALSE(lines[0]["headers"].contains("If-None-Match"));
  EXPECT_EQ(lines[1]["headers"]["If-Modified-Since"], "Tue, 14 Nov 2023 22:13:20 GMT");
  EXPECT_TRUE(lines[1]["headers"].contains("If-None-Match"));
  EXPECT_EQ(lines[1]["status"], 304);
  EXPECT_EQ(road.database->lastRemoteConfigUpdateTimestamp(), std::optional<double>(kNow));
}

TEST_F(UploadRoadTest, AConfigurationForAnotherAppIsRefused) {
  auto config = rc_test::Config("1:999:macos:zzz", {{"measurement.upload.interval", "120000"}});
  StartCollector("", *config->protoBuffer());
  fnd::ScopedProcessInfoOverride arguments({"quellmark", "--service-url", base_});
  Road road(clock_);
  road.Run([&] { road.uploader->fetchRemoteConfig(); });
  ASSERT_TRUE(road.Settle());
  EXPECT_EQ(road.settings->uploadingInterval(), 3600);
  EXPECT_EQ(road.persisted->configServerETag(), std::nullopt);
}

TEST_F(UploadRoadTest, NetworkFaultsLoseNothing) {
  StartCollector("upload=reset,upload=drop,upload=delay:2500,upload=big");
  fnd::ScopedProcessInfoOverride arguments({"quellmark", "--service-url", base_});
  Road road(clock_);
  road.StoreEvents(4, kNow);
  // Reset mid-body, dropped answer, slow server past the time-out, a 10 MB reply to a 200 (the
  // upload succeeds: the collector has the events), then a 500.
  const char* faults[] = {"reset", "drop", "slow", "big"};
  for (const char* fault : faults) {
    // A short time-out makes the delayed answer a time-out; the others keep the usual one.
    road.transport->timeout = std::string(fault) == "slow" ? 1 : 0;
    road.Run([&] { road.uploader->uploadData(); });
    ASSERT_TRUE(road.Settle()) << fault;
    EXPECT_FALSE(road.uploader->isNetworkRequestPending()) << fault;
    EXPECT_TRUE(road.uploader->uploadingBundleIDs().empty()) << fault;
    if (std::string(fault) != "big") {
      EXPECT_EQ(road.Queued(), 1) << fault;
      road.persisted->setLastFailedUploadTimestamp(0);  // Retry at once.
    }
  }
  EXPECT_EQ(road.Queued(), 0);
  // Garbage answers to the configuration fetch change nothing either.
  collector_->stop();
  StartCollector("config=garbage,config=big");
  fnd::ScopedProcessInfoOverride again({"quellmark", "--service-url", base_});
  for (int i = 0; i < 2; ++i) {
    road.Run([&] { road.uploader->fetchRemoteConfig(); });
    ASSERT_TRUE(road.Settle());
  }
  EXPECT_EQ(road.settings->uploadingInterval(), 3600);

  // Connection refused: nothing listens any more.
  collector_->stop();
  road.StoreEvents(2, kNow + 10);
  road.Run([&] { road.uploader->uploadData(); });
  ASSERT_TRUE(road.Settle());
  EXPECT_EQ(road.Queued(), 1);
  EXPECT_EQ(road.Raw(), 0);
  EXPECT_FALSE(road.uploader->isNetworkRequestPending());
  EXPECT_EQ(AcknowledgedEvents(), (std::multiset<std::string>{"e0", "e1", "e2", "e3"}));
}

std::string ExecutablePath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  return length > 0 ? std::string(buffer, length) : std::string();
}

TEST_F(UploadRoadTest, AHostKilledDuringAnUploadLosesNothing) {
  StartCollector("upload=delay:3000");
  // The child keeps real time; its events are fresh.
  const double now = dispatch::Clock::real()->wallTime();
  {
    Road road(dispatch::Clock::real());
    road.StoreEvents(5, now - 60);
  }
  std::vector<std::string> environment =
      fnd::ChildEnvironment({std::string(kChildVariable) + "=" + base_});
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const std::string path = ExecutablePath();
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, path.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  // The collector reports the request when it has read it, before its slow answer.
  ASSERT_TRUE(WaitForLines(1));
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));

  // Every event is acknowledged or still queued; sending again delivers the batch a second time
  // at most.
  fnd::ScopedProcessInfoOverride arguments({"quellmark", "--service-url", base_});
  Road road(dispatch::Clock::real());
  EXPECT_EQ(road.Raw(), 0);
  ASSERT_EQ(road.Queued(), 1);
  road.Run([&] { road.uploader->uploadData(); });
  ASSERT_TRUE(road.Settle());
  EXPECT_EQ(road.Queued(), 0);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  auto names = [](const Json& line) {
    std::vector<std::string> out;
    for (const Json& bundle : line["batch"]["bundles"]) {
      for (const Json& event : bundle["events"]) out.push_back(event["name"]);
    }
    return out;
  };
  // The batch in flight when the host died went out once more, whole; nothing else repeats.
  EXPECT_EQ(names(lines[0]), names(lines[1]));
  std::multiset<std::string> expected = {"e0", "e1", "e2", "e3", "e4"};
  EXPECT_EQ(AcknowledgedEvents(), expected);
}

}  // namespace

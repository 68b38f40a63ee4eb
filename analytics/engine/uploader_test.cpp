#include "analytics/engine/uploader.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

#include "analytics/engine/upload_test_support.h"
#include "analytics/foundation/alarm.h"
#include "analytics/proto/test_support.h"
#include "platform/dispatch/semaphore.h"
#include "platform/foundation/process_info.h"
#include "platform/security/digest.h"
#include "platform/security/gzip.h"

namespace {

using upload_test::kAppID;
using upload_test::kNow;
using Bundle = APMPBMeasurementBundle;

// Keeps every request until the test answers it.
class HeldTransport : public ZUZOzuriviTransport {
 public:
  void performRequest(ZUZOzuriviRequest request, Done done) override {
    std::lock_guard<std::mutex> lock(mu_);
    pending_.push_back({std::move(request), std::move(done)});
    all_.push_back(pending_.back().first);
  }
  size_t pendingCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return pending_.size();
  }
  std::vector<ZUZOzuriviRequest> all() {
    std::lock_guard<std::mutex> lock(mu_);
    return all_;
  }
  // Answers the oldest request with a status (and headers and body).
  void answer(int64_t status, ZUZOzuriviHeaders headers = {}, fnd::Data body = {}) {
    std::pair<ZUZOzuriviRequest, Done> next;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ASSERT_FALSE(pending_.empty());
      next = std::move(pending_.front());
      pending_.pop_front();
    }
    ZUZOzuriviTransportResult result;
    result.response = ZUZOzuriviHTTPResponse{status, next.first.url, std::move(headers)};
    result.body = std::move(body);
    next.second(std::move(result));
  }

 private:
  std::mutex mu_;
  std::deque<std::pair<ZUZOzuriviRequest, Done>> pending_;
  std::vector<ZUZOzuriviRequest> all_;
};

class UploaderTest : public upload_test::Fixture {
 protected:
  UploaderTest() {
    transport_ = std::make_shared<HeldTransport>();
    network_ = std::make_shared<ZUZOzurivi>("measurement.quellmark.example", transport_);
    queue_ = dispatch::Queue::create("test.worker", dispatch::Qos::kUtility, clock_);
    Rebuild();
  }
  ~UploaderTest() override { Drain(); }

  void Rebuild() {
    Run([&] {
      ZIVUploaderEnvironment environment;
      environment.database = database_;
      environment.settings = settings_;
      environment.persistedConfig = persisted_;
      environment.network = network_;
      environment.workerQueue = queue_;
      environment.bundler = std::make_shared<ZIVBundler>(BundlerEnvironment());
      environment.monitor = monitor_.get();
      environment.clock = clock_;
      environment.consent = &consent_;
      environment.appID = [] { return std::string(kAppID); };
      environment.libraryVersion = 120500;
      uploader_ = ZIVUploader::create(environment);
    });
  }
  // Runs on the worker queue and waits.
  void Run(const std::function<void()>& block) { queue_->sync(block); }
  // Blocks queued from queued blocks (timer -> attempt) need more than one round.
  void Drain() {
    for (int i = 0; i < 4; ++i) queue_->sync([] {});
  }
  void Answer(int64_t status, ZUZOzuriviHeaders headers = {}, fnd::Data body = {}) {
    transport_->answer(status, std::move(headers), std::move(body));
    Drain();
  }
  void Advance(double seconds) {
    clock_->advance(seconds);
    Drain();
  }
  std::optional<double> Scheduled() { return uploader_->alarm()->scheduledTimestamp(); }
  double NextTime() {
    double next = 0;
    Run([&] { next = uploader_->nextUploadingTime(); });
    return next;
  }
  // One stored event at `time` under a metadata bundle for `appID`.
  void StoreAt(double time, const std::string& name = "e") {
    const int64_t fp = StoreMetadata();
    StoreEvent(Event(name, time), fp);
  }
  // The batch of a captured POST.
  static std::shared_ptr<APMPBMeasurementBatch> Batch(const ZUZOzuriviRequest& request) {
    fnd::Data inflated;
    EXPECT_TRUE(security::Gunzip(request.body, 1 << 24, &inflated));
    return APMPBMeasurementBatch::initWithBuffer(inflated);
  }
  static std::vector<std::shared_ptr<Bundle>> Bundles(const APMPBMeasurementBatch& batch) {
    std::vector<std::shared_ptr<Bundle>> bundles;
    auto items = NANOGetArray(&batch, APMPBMeasurementBatch::kBundles, &Bundle::messageClass());
    for (const auto& item : items.value_or(fnd::Array()))
      bundles.push_back(item.recordAs<Bundle>());
    return bundles;
  }
  int64_t RetryCount() {
    auto value = database_->sqliteStore()->numberForQuery("SELECT MAX(retry_count) FROM queue", {});
    return value ? value->asInt() : -1;
  }

  std::shared_ptr<HeldTransport> transport_;
  std::shared_ptr<ZUZOzurivi> network_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::shared_ptr<ZIVUploader> uploader_;
};

TEST_F(UploaderTest, NextUploadingTimeFollowsSuccessNewEventsAndTheDoublingRetryRule) {
  struct Case {
    const char* name;
    double lastSuccess, lastFailure, latestEvent;
    double expected;  // 0: none.
  };
  const Case cases[] = {
      {"success 10 minutes ago", kNow - 600, 0, kNow, kNow - 600 + 3600},
      {"success two hours ago", kNow - 7200, 0, kNow, kNow + 15},
      {"event ahead of the clock is mirrored", 0, 0, kNow + 100, kNow - 100 + 15},
      {"failure after the data: first retry", 0, kNow + 100, kNow, kNow + 15 + 1800},
      {"second retry", 0, kNow + 1815, kNow, kNow + 15 + 1800 + 3600},
      {"fifth retry", 0, kNow + 15 + 1800 * 31 - 1, kNow, kNow + 15 + 1800 * 31},
      {"sixth retry", 0, kNow + 15 + 1800 * 31, kNow, kNow + 15 + 1800 * 63},
      {"all six retries used", 0, kNow + 15 + 1800 * 63, kNow, 0},
  };
  for (const Case& c : cases) {
    Exec("DELETE FROM raw_events");
    persisted_->setLastSuccessfulUploadTimestamp(c.lastSuccess);
    persisted_->setLastFailedUploadTimestamp(c.lastFailure);
    StoreAt(c.latestEvent);
    EXPECT_DOUBLE_EQ(NextTime(), c.expected) << c.name;
  }
  Exec("DELETE FROM raw_events");
  EXPECT_EQ(NextTime(), 0);  // No data.
}

TEST_F(UploaderTest, ScheduleAfterSuccessAndAfterNewEvents) {
  StoreAt(kNow);
  Run([&] { uploader_->updateSchedule(); });
  EXPECT_EQ(Scheduled(), std::optional<double>(kNow + 15));

  Advance(15);  // The timer fires and the attempt posts.
  ASSERT_EQ(transport_->pendingCount(), 1u);
  EXPECT_EQ(persisted_->lastFailedUploadTimestamp(), kNow + 15);  // Recorded before sending.
  Answer(204);
  EXPECT_EQ(Count("queue"), 0);
  EXPECT_EQ(persisted_->lastSuccessfulUploadTimestamp(), kNow + 15);
  EXPECT_EQ(persisted_->lastFailedUploadTimestamp(), 0);
  // Planned after the success, while the sent bundle was still queued: success + 3600.
  EXPECT_EQ(Scheduled(), std::optional<double>(kNow + 15 + 3600));

  clock_->advance(600);
  StoreAt(kNow + 615);
  Run([&] { uploader_->updateSchedule(); });  // Same plan: the timer stays (23027).
  EXPECT_EQ(Scheduled(), std::optional<double>(kNow + 15 + 3600));
  // A later plan leaves the earlier timer in place.
  persisted_->setLastSuccessfulUploadTimestamp(0);
  Run([&] { uploader_->updateSchedule(); });
  EXPECT_EQ(Scheduled(), std::optional<double>(kNow + 630));
  Run([&] { uploader_->updateSchedule(); });
  EXPECT_EQ(logs_.withCode(23027).size(), 2u);
}

TEST_F(UploaderTest, PastPlansAreClampedToTheSmallestDelay) {
  StoreAt(kNow - 100);  // Next time kNow - 85: already past.
  Run([&] { uploader_->updateSchedule(); });
  ASSERT_TRUE(Scheduled());
  EXPECT_NEAR(*Scheduled(), kNow + 0.001, 1e-6);
}

TEST_F(UploaderTest, Status500KeepsTheBundlesAndCountsARetry) {
  StoreAt(kNow);
  Run([&] { uploader_->uploadData(); });
  Answer(500);
  EXPECT_EQ(Count("queue"), 1);
  EXPECT_EQ(RetryCount(), 1);
  EXPECT_EQ(persisted_->lastBackoffTimestamp(), 0);
  EXPECT_EQ(persisted_->lastFailedUploadTimestamp(), kNow);
  EXPECT_TRUE(uploader_->uploadingBundleIDs().empty());
  // The bundle end (kNow) is not newer than the failure: first retry at kNow + 15 + 1800.
  EXPECT_EQ(Scheduled(), std::optional<double>(kNow + 1815));
  Advance(1815);
  ASSERT_EQ(transport_->pendingCount(), 1u);
  Answer(200);
  EXPECT_EQ(Count("queue"), 0);
}

TEST_F(UploaderTest, Status429HoldsEveryPathBackForTheBackoffPeriod) {
  StoreAt(kNow);
  Run([&] { uploader_->uploadData(); });
  Answer(429);
  EXPECT_EQ(persisted_->lastBackoffTimestamp(), kNow);
  EXPECT_EQ(Scheduled(), std::optional<double>(kNow + 43200));

  // Direct calls send nothing while the back-off runs: upload and configuration fetch alike.
  StoreAt(kNow + 1);
  Run([&] { uploader_->uploadData(); });
  Run([&] { uploader_->fetchRemoteConfig(); });
  Run([&] { uploader_->uploadDataOrRegisterAlarm(); });
  EXPECT_EQ(transport_->pendingCount(), 0u);
  Advance(43199);
  EXPECT_EQ(transport_->pendingCount(), 0u);
  Advance(1);
  ASSERT_EQ(transport_->pendingCount(), 1u);
  Answer(204);
  EXPECT_EQ(Count("queue"), 0);
  EXPECT_EQ(persisted_->lastBackoffTimestamp(), 0);
}

TEST_F(UploaderTest, BundlesOfTwoAppIDsTravelSeparately) {
  StoreAt(kNow);
  Run([&] { ASSERT_TRUE(MakeBundler()->bundleRawEvents()); });
  Exec("DELETE FROM queue");
  // Two bundles, the first of another app.
  for (const char* appID : {"1:222:macos:bbb", kAppID}) {
    auto bundle = Bundle::initWithBuffer(nullptr);
    NANOSetString(bundle.get(), Bundle::kAppId, appID);
    NANOSetInt64(bundle.get(), Bundle::kEndTimestampMillis, 1700000000000);
    ASSERT_TRUE(database_->insertBundle(*bundle, false));
  }
  Run([&] { uploader_->uploadData(); });
  auto batch = Batch(transport_->all().back());
  auto bundles = Bundles(*batch);
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(NANOGetString(bundles[0].get(), Bundle::kAppId), "1:222:macos:bbb");
  Answer(204);  // Success with data left: the next attempt goes at once.
  ASSERT_EQ(transport_->pendingCount(), 1u);
  bundles = Bundles(*Batch(transport_->all().back()));
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(NANOGetString(bundles[0].get(), Bundle::kAppId), kAppID);
  Answer(204);
  EXPECT_EQ(Count("queue"), 0);
}

TEST_F(UploaderTest, EveryBundleCarriesTheUploadTimeVersionAndChecksum) {
  Configure({{"measurement.quality.checksum", "1"}});
  Rebuild();
  StoreAt(kNow);
  StoreAt(kNow + 4000);  // Another hour: a second bundle.
  clock_->advance(0.5);
  Run([&] { uploader_->uploadData(); });
  auto bundles = Bundles(*Batch(transport_->all().back()));
  ASSERT_EQ(bundles.size(), 2u);
  for (const auto& bundle : bundles) {
    EXPECT_EQ(NANOGetInt64(bundle.get(), Bundle::kUploadTimestampMillis), 1700000000500);
    EXPECT_EQ(NANOGetInt64(bundle.get(), Bundle::kUploadLibraryVersion), 120500);
    ASSERT_TRUE(NANOHasField(bundle.get(), Bundle::kBundleFingerprint));
    const int64_t checksum = NANOGetInt64(bundle.get(), Bundle::kBundleFingerprint);
    NANOClearField(bundle.get(), Bundle::kBundleFingerprint);
    const fnd::Data encoded = *bundle->protoBuffer();
    const fnd::Data digest = security::MD5(encoded);
    ASSERT_EQ(digest.size(), 16u);
    uint64_t expected = 0;
    for (size_t i = 8; i < 16; ++i) expected = (expected << 8) | digest[i];
    EXPECT_EQ(static_cast<uint64_t>(checksum), expected);
  }
  Answer(204);
}

TEST_F(UploaderTest, ARefusedInFlightListAbortsTheAttempt) {
  StoreAt(kNow);
  Run([&] { ASSERT_TRUE(uploader_->setUploadInProgressWithBundleIDs({999})); });
  Run([&] { uploader_->uploadData(); });
  EXPECT_EQ(transport_->all().size(), 0u);
  EXPECT_EQ(logs_.withCode(23047).size(), 1u);
  EXPECT_EQ(persisted_->lastFailedUploadTimestamp(), 0);
  EXPECT_EQ(uploader_->uploadingBundleIDs(), std::vector<int64_t>{999});
  EXPECT_FALSE(uploader_->isNetworkRequestPending());
}

TEST_F(UploaderTest, ARequestThatCannotStartClearsThePendingState) {
  StoreAt(kNow);
  {
    // Plain http to a host that is not loopback is refused before anything is sent.
    fnd::ScopedProcessInfoOverride arguments({"quellmark", "--service-url", "http://10.9.8.7"});
    Run([&] { uploader_->uploadData(); });
  }
  EXPECT_EQ(logs_.withCode(23040).size(), 1u);
  EXPECT_FALSE(uploader_->isNetworkRequestPending());
  EXPECT_TRUE(uploader_->uploadingBundleIDs().empty());
  Drain();  // The refused request's late error answer changes nothing.
  EXPECT_EQ(RetryCount(), 0);
  // The next attempt goes out.
  Run([&] { uploader_->uploadData(); });
  ASSERT_EQ(transport_->pendingCount(), 1u);
  EXPECT_EQ(transport_->all().back().url, "https://measurement.quellmark.example/a");
  Answer(204);
  EXPECT_EQ(Count("queue"), 0);
}

TEST_F(UploaderTest, AFailedDeletionSuspendsUploadsForAnHour) {
  StoreAt(kNow);
  Run([&] { uploader_->uploadData(); });
  Exec("CREATE TRIGGER fail BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'injected'); END");
  Answer(204);
  EXPECT_EQ(uploader_->suspendedUploadTimestamp(), 1000);  // Seconds since boot.
  Exec("DROP TRIGGER fail");
  Run([&] { uploader_->uploadData(); });
  EXPECT_EQ(transport_->pendingCount(), 0u);
  EXPECT_EQ(logs_.withCode(23023).empty(), false);
}

// ---- Bundles read for upload: events kept as stored.

class QueuedBundleUploadTest : public UploaderTest {
 protected:
  // Server settings with the checksum on or off and the given data controls.
  void ConfigureWith(bool checksum, const std::vector<std::string>& controls) {
    auto config = rc_test::Config(kAppID, {{"measurement.quality.checksum", checksum ? "1" : "0"}});
    rc_test::SetDataControls(config.get(), controls);
    Install(config);
    Rebuild();
  }
  // A bundle as the bundler stores it, with events (the first the first open "_f" when asked),
  // user properties and the fields that stamping and data controls change.
  static std::shared_ptr<Bundle> StoredBundle(bool firstOpen) {
    auto bundle = Bundle::initWithMessageInfo(nullptr);
    NANOSetInt32(bundle.get(), Bundle::kFormatVersion, 1);
    fnd::Array events;
    for (int e = 0; e < 4; ++e) {
      fnd::Dictionary parameters;
      parameters.set(fnd::Value("text"), fnd::Value("value " + std::to_string(e)));
      parameters.set(fnd::Value("number"), fnd::Value::Int64(-e));
      parameters.set(fnd::Value("real"), fnd::Value(e + 0.25));
      const std::string name = firstOpen && e == 0 ? "_f" : "level_" + std::to_string(e);
      events.emplace_back(std::static_pointer_cast<fnd::Record>(
          Event(name, kNow - 10 + e, parameters)->protoEvent()));
    }
    NANOSetArray(bundle.get(), Bundle::kEvents, &events);
    fnd::Array attributes;
    for (const char* name : {"_id", "_npa", "favourite"}) {
      auto attribute = APMPBUserAttribute::initWithMessageInfo(nullptr);
      NANOSetString(attribute.get(), APMPBUserAttribute::kName, name);
      NANOSetInt64(attribute.get(), APMPBUserAttribute::kIntValue, 0);
      attributes.emplace_back(std::static_pointer_cast<fnd::Record>(attribute));
    }
    NANOSetArray(bundle.get(), Bundle::kUserAttributes, &attributes);
    NANOSetInt64(bundle.get(), Bundle::kStartTimestampMillis, 1699999990000);
    NANOSetInt64(bundle.get(), Bundle::kEndTimestampMillis, 1699999993000);
    NANOSetString(bundle.get(), Bundle::kOsVersion, "14.1.2");
    NANOSetString(bundle.get(), Bundle::kDeviceModel, "x86_64");
    NANOSetString(bundle.get(), Bundle::kAppId, kAppID);
    NANOSetString(bundle.get(), Bundle::kAppInstanceId, "0123456789abcdef");
    NANOSetString(bundle.get(), Bundle::kSessionStitchingToken, "token");
    NANOSetString(bundle.get(), Bundle::kConsentSignals, "G111");
    // Kept unless the bundle is a first open, which takes the current value.
    NANOSetString(bundle.get(), Bundle::kConsentDiagnostics, "stored");
    return bundle;
  }
  // The same fields with the events written after all the others: it decodes to the same message
  // but is not the encoder's form, so it is read by the full decode.
  static fnd::Data EventsLast(const Bundle& bundle) {
    auto rest = Bundle::initWithMessageInfo(bundle.messageInfo());
    fnd::Array none;
    NANOSetArray(rest.get(), Bundle::kEvents, &none);
    fnd::Data bytes = *rest->protoBuffer();
    for (const auto& event : Events(bundle)) {
      const fnd::Data encoded = *event->protoBuffer();
      bytes.push_back(0x12);
      APMPAppendVarint(&bytes, encoded.size());
      bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    return bytes;
  }
  // Uploads what is queued, answers 204 and returns the batch's bytes as sent (inflated).
  fnd::Data UploadOnce() {
    const size_t before = transport_->all().size();
    Run([&] { uploader_->uploadData(); });
    EXPECT_EQ(transport_->all().size(), before + 1);
    if (transport_->all().size() != before + 1) return {};
    fnd::Data inflated;
    EXPECT_TRUE(security::Gunzip(transport_->all().back().body, 1 << 24, &inflated));
    Answer(204);
    return inflated;
  }
};

TEST_F(QueuedBundleUploadTest, BatchBytesAreTheSameWhicheverWayABundleIsRead) {
  struct Case {
    const char* name;
    bool checksum;
    std::vector<std::string> controls;
    bool firstOpen;
  };
  const std::vector<Case> cases = {
      {"plain", false, {}, false},
      {"checksum", true, {}, false},
      {"data controls",
       false,
       {"app_instance_id", "user_id", "os_version", "device_model", "enhanced_user_id"},
       false},
      {"first open, checksum and data controls", true, {"user_id", "device_info"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigureWith(c.checksum, c.controls);
    auto bundle = StoredBundle(c.firstOpen);
    std::vector<fnd::Data> bodies;
    for (bool encoderForm : {true, false}) {
      const fnd::Data stored = encoderForm ? *bundle->protoBuffer() : EventsLast(*bundle);
      ASSERT_TRUE(database_->insertBundle(*bundle, stored, false));
      auto queued = *database_->queryQueuedBundlesWithCountLimit(10, 1 << 20);
      ASSERT_EQ(queued.size(), 1u);
      EXPECT_EQ(queued[0].events.has_value(), encoderForm);
      bodies.push_back(UploadOnce());
      EXPECT_EQ(Count("queue"), 0);
    }
    ASSERT_FALSE(bodies[0].empty());
    EXPECT_EQ(Hex(bodies[0]), Hex(bodies[1]));
    // The stored events went out as they were, stamped as a first open or not.
    auto sent = Bundles(*APMPBMeasurementBatch::initWithBuffer(bodies[0]));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Names(*sent[0]), Names(*bundle));
    EXPECT_EQ(NANOGetString(sent[0].get(), Bundle::kConsentDiagnostics) == "stored", !c.firstOpen);
    EXPECT_EQ(NANOHasField(sent[0].get(), Bundle::kBundleFingerprint), c.checksum);
    EXPECT_EQ(NANOGetArray(sent[0].get(), Bundle::kRedactedFields, nullptr)->size(),
              c.controls.size());
  }
}

TEST_F(QueuedBundleUploadTest, ABundleWithABrokenEventIsLeftOutAsBefore) {
  auto bundle = StoredBundle(false);
  fnd::Data broken = EventsLast(*bundle);
  // One more event, whose parameter claims five bytes and has none.
  for (int b : {0x12, 0x02, 0x0a, 0x05}) broken.push_back(static_cast<uint8_t>(b));
  fnd::Data canonicalBroken = *bundle->protoBuffer();
  canonicalBroken.insert(canonicalBroken.begin() + 2, {0x12, 0x02, 0x0a, 0x05});
  ASSERT_EQ(canonicalBroken[0], 0x08);  // Format version, then the events.
  std::vector<std::string> decoderLines;
  for (const fnd::Data& bytes : {broken, canonicalBroken}) {
    NanoLogCapture log;
    EXPECT_EQ(Bundle::initWithBuffer(bytes), nullptr);
    decoderLines.insert(decoderLines.end(), log.lines().begin(), log.lines().end());
  }
  ASSERT_FALSE(decoderLines.empty());
  ASSERT_TRUE(database_->insertBundle(*bundle, broken, false));
  ASSERT_TRUE(database_->insertBundle(*bundle, canonicalBroken, false));
  ASSERT_TRUE(database_->insertBundle(*bundle, false));
  {
    NanoLogCapture log;
    Run([&] { uploader_->uploadData(); });
    // Both broken rows are skipped with the decoder's own lines.
    EXPECT_EQ(log.lines(), decoderLines);
  }
  ASSERT_EQ(transport_->all().size(), 1u);
  fnd::Data body;
  ASSERT_TRUE(security::Gunzip(transport_->all().back().body, 1 << 24, &body));
  Answer(204);
  // The good one went out and is deleted; the broken ones stay, as before.
  auto sent = Bundles(*APMPBMeasurementBatch::initWithBuffer(body));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Names(*sent[0]), Names(*bundle));
  EXPECT_EQ(Count("queue"), 2);
}

// ---- Configuration fetch.

class ConfigFetchTest : public UploaderTest {
 protected:
  static fnd::Data ConfigBody(const std::string& appID) {
    auto config = rc_test::Config(appID, {{"measurement.upload.interval", "60000"}});
    return *config->protoBuffer();
  }
};

TEST_F(ConfigFetchTest, SendsTheQueryAndConditionalHeadersAndStoresA200) {
  Run([&] { uploader_->fetchRemoteConfig(); });
  ASSERT_EQ(transport_->pendingCount(), 1u);
  ZUZOzuriviRequest request = transport_->all().back();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(
      request.url.rfind("https://measurement.quellmark.example/config/app/1:111:macos:aaa?", 0), 0u)
      << request.url;
  for (const char* part : {"platform=macos", "runtime_version=0", "zuz_version=120500"}) {
    EXPECT_NE(request.url.find(part), std::string::npos) << part;
  }
  EXPECT_TRUE(request.headers.empty());
  EXPECT_TRUE(uploader_->isNetworkRequestPending());
  Answer(200, {{"Last-Modified", "Tue, 14 Nov 2023 22:00:00 GMT"}, {"ETag", "\"v1\""}},
         ConfigBody(kAppID));
  EXPECT_FALSE(uploader_->isNetworkRequestPending());
  EXPECT_EQ(settings_->uploadingInterval(), 60);
  EXPECT_EQ(persisted_->configServerETag(), std::optional<std::string>("\"v1\""));
  EXPECT_EQ(persisted_->configZUZVersion(), 120500);
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(), std::optional<double>(kNow));

  // The next fetch is conditional; a 304 records the time and clears failure and back-off.
  persisted_->setLastFailedUploadTimestamp(kNow - 5);
  clock_->advance(100);
  Run([&] { uploader_->fetchRemoteConfig(); });
  request = transport_->all().back();
  EXPECT_EQ(request.headers,
            (ZUZOzuriviHeaders{{"If-Modified-Since", "Tue, 14 Nov 2023 22:00:00 GMT"},
                               {"If-None-Match", "\"v1\""}}));
  Answer(304);
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(), std::optional<double>(kNow + 100));
  EXPECT_EQ(persisted_->lastFailedUploadTimestamp(), 0);
  EXPECT_EQ(settings_->uploadingInterval(), 60);

  // Another library version stored the headers: the fetch is unconditional.
  persisted_->setConfigZUZVersion(120400);
  Run([&] { uploader_->fetchRemoteConfig(); });
  EXPECT_TRUE(transport_->all().back().headers.empty());
  Answer(404);
}

TEST_F(ConfigFetchTest, AConfigurationForAnotherAppIsRefused) {
  Run([&] { uploader_->fetchRemoteConfig(); });
  Answer(200, {{"ETag", "\"other\""}}, ConfigBody("1:999:macos:zzz"));
  ExpectLogged(logs_, 2, 23136, "Configuration does not have valid Rivado App ID.");
  EXPECT_EQ(settings_->uploadingInterval(), 3600);
  EXPECT_EQ(persisted_->configServerETag(), std::nullopt);
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(), std::optional<double>(kNow));

  // Garbage is refused the same way.
  Run([&] { uploader_->fetchRemoteConfig(); });
  Answer(200, {}, fnd::Data{0xff, 0xff, 0xff});
  EXPECT_EQ(logs_.withCode(23135).size(), 1u);
}

TEST_F(ConfigFetchTest, BackoffAfter503) {
  Run([&] { uploader_->fetchRemoteConfig(); });
  Answer(503);
  EXPECT_EQ(persisted_->lastBackoffTimestamp(), kNow);
  EXPECT_EQ(persisted_->lastFailedUploadTimestamp(), kNow);
  Run([&] { uploader_->fetchRemoteConfig(); });
  EXPECT_EQ(transport_->pendingCount(), 0u);
}

TEST_F(UploaderTest, EveryUploadAndFetchCarriesTheNetworkTimeoutOfTheSettings) {
  struct Case {
    const char* setting;  // Milliseconds; null: not set.
    double expected;
  };
  const Case cases[] = {
      {nullptr, 60},     {"120000", 120}, {"30000", 30},
      {"3600000", 3600}, {"29999", 60},  // Below the least: the default.
      {"3600001", 60},                   // Above the most: the default.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting ? c.setting : "unset");
    std::vector<std::pair<std::string, std::string>> settings;
    if (c.setting) settings.emplace_back("measurement.network.network_timeout", c.setting);
    Configure(settings);
    Rebuild();
    // Another user of the shared network object set its own time-out in between.
    network_->setTimeoutInterval(5);
    StoreAt(clock_->wallTime());
    Run([&] { uploader_->uploadData(); });
    ASSERT_EQ(transport_->pendingCount(), 1u);
    EXPECT_EQ(transport_->all().back().method, "POST");
    EXPECT_EQ(transport_->all().back().timeout, c.expected);
    Answer(204);
    network_->setTimeoutInterval(5);
    Run([&] { uploader_->fetchRemoteConfig(); });
    ASSERT_EQ(transport_->pendingCount(), 1u);
    EXPECT_EQ(transport_->all().back().method, "GET");
    EXPECT_EQ(transport_->all().back().timeout, c.expected);
    Answer(404);
    Exec("DELETE FROM raw_events");
  }
}

TEST_F(UploaderTest, PurchaseFingerprintsAreReportedOnce) {
  auto candidate = [](int64_t state, const char* fingerprint) {
    ZIVPurchaseCandidate c;
    c.state = state;
    c.productIdentifier = "gold";
    if (fingerprint) c.fingerprint = fingerprint;
    return c;
  };
  auto filter = [&](std::vector<ZIVPurchaseCandidate> input) {
    dispatch::Semaphore done{0, dispatch::Clock::real()};
    std::vector<ZIVPurchaseCandidate> kept;
    uploader_->filterPurchaseTransactions(std::move(input), [&](auto result) {
      kept = std::move(result);
      done.signal();
    });
    EXPECT_EQ(done.wait(), dispatch::WaitResult::kSuccess);
    return kept;
  };
  auto first = filter({candidate(1, "f1"), candidate(2, "f2"), candidate(1, nullptr)});
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].fingerprint, std::optional<std::string>("f1"));
  EXPECT_FALSE(first[1].fingerprint);
  auto second = filter({candidate(1, "f1"), candidate(1, "f3")});
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].fingerprint, std::optional<std::string>("f3"));
  EXPECT_EQ(logs_.withCode(23141).size(), 1u);
}

}  // namespace

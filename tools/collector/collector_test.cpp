#include "tools/collector/collector.h"

#include <gtest/gtest.h>

#include <mutex>

#include "analytics/proto/messages.h"
#include "platform/dispatch/semaphore.h"
#include "platform/foundation/test_home.h"
#include "platform/security/gzip.h"
#include "platform/vendor/utilities/network.h"

namespace {

using collector::Json;

struct Answer {
  std::optional<ZUZOzuriviHTTPResponse> response;
  std::optional<fnd::Data> data;
  std::optional<fnd::Error> error;
};

class CollectorTest : public ::testing::Test {
 protected:
  void Start(std::map<std::string, std::deque<collector::Action>> script = {},
             std::optional<fnd::Data> config = std::nullopt) {
    collector::Options options;
    options.script = std::move(script);
    options.config = std::move(config);
    options.output = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(Json::parse(line));
    };
    server_ = std::make_unique<collector::Collector>(std::move(options));
    ASSERT_TRUE(server_->start());
    base_ = "http://127.0.0.1:" + std::to_string(server_->port());
  }
  Answer Post(const fnd::Data& body, double timeout = 10) {
    network_.setTimeoutInterval(timeout);
    Answer answer;
    network_.postURL(base_ + "/a", body, queue_, false, Capture(&answer));
    EXPECT_EQ(done_.wait(), dispatch::WaitResult::kSuccess);
    return answer;
  }
  Answer Get(const std::string& path, const ZUZOzuriviHeaders& headers = {}) {
    network_.setTimeoutInterval(10);
    Answer answer;
    network_.getURL(base_ + path, headers, queue_, false, Capture(&answer));
    EXPECT_EQ(done_.wait(), dispatch::WaitResult::kSuccess);
    return answer;
  }
  ZUZOzurivi::CompletionHandler Capture(Answer* answer) {
    return [this, answer](const auto& response, const auto& data, const auto& error) {
      *answer = {response, data, error};
      done_.signal();
    };
  }
  std::vector<Json> Lines() {
    server_->stop();  // Every handler has finished writing.
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  static fnd::Data Batch() {
    auto event = APMPBEvent::initWithBuffer(nullptr);
    NANOSetString(event.get(), APMPBEvent::kName, "level_up");
    NANOSetInt64(event.get(), APMPBEvent::kTimestampMillis, 1700000000000);
    auto param = APMPBEventParam::initWithBuffer(nullptr);
    NANOSetString(param.get(), APMPBEventParam::kName, "level");
    NANOSetInt64(param.get(), APMPBEventParam::kIntValue, 7);
    fnd::Array params{fnd::Value(std::static_pointer_cast<fnd::Record>(param))};
    NANOSetArray(event.get(), APMPBEvent::kParams, &params);
    auto bundle = APMPBMeasurementBundle::initWithBuffer(nullptr);
    fnd::Array events{fnd::Value(std::static_pointer_cast<fnd::Record>(event))};
    NANOSetArray(bundle.get(), APMPBMeasurementBundle::kEvents, &events);
    NANOSetString(bundle.get(), APMPBMeasurementBundle::kAppId, "1:1:macos:a");
    NANOSetString(bundle.get(), APMPBMeasurementBundle::kConsentSignals, "G111");
    auto batch = APMPBMeasurementBatch::initWithBuffer(nullptr);
    fnd::Array bundles{fnd::Value(std::static_pointer_cast<fnd::Record>(bundle))};
    NANOSetArray(batch.get(), APMPBMeasurementBatch::kBundles, &bundles);
    return *batch->protoBuffer();
  }

  fnd::ScopedTestHome home_;
  std::unique_ptr<collector::Collector> server_;
  std::string base_;
  ZUZOzurivi network_{"127.0.0.1"};
  std::shared_ptr<dispatch::Queue> queue_ = dispatch::Queue::create("test.collector");
  dispatch::Semaphore done_{0, dispatch::Clock::real()};
  std::mutex mu_;
  std::vector<Json> lines_;
};

TEST_F(CollectorTest, UploadsAreDecodedAndAnswered204) {
  Start();
  Answer answer = Post(Batch());
  ASSERT_TRUE(answer.response);
  EXPECT_EQ(answer.response->statusCode, 204);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["request"], "upload");
  EXPECT_EQ(lines[0]["status"], 204);
  EXPECT_EQ(lines[0]["headers"]["Content-Encoding"], "gzip");
  const Json& bundle = lines[0]["batch"]["bundles"][0];
  EXPECT_EQ(bundle["app_id"], "1:1:macos:a");
  EXPECT_EQ(bundle["consent_signals"], "G111");
  EXPECT_EQ(bundle["events"][0]["name"], "level_up");
  EXPECT_EQ(bundle["events"][0]["params"]["level"], 7);
}

TEST_F(CollectorTest, ScriptedStatusesAndFaults) {
  std::string error;
  auto script = collector::ParseScript(
      "upload=429,upload=500,upload=503,upload=drop,upload=reset,upload=delay:1500", &error);
  ASSERT_TRUE(script) << error;
  Start(*script);
  for (int status : {429, 500, 503}) {
    Answer answer = Post(Batch());
    ASSERT_TRUE(answer.response);
    EXPECT_EQ(answer.response->statusCode, status);
  }
  for (const char* fault : {"drop", "reset"}) {
    Answer answer = Post(Batch());
    EXPECT_TRUE(answer.error) << fault;
    EXPECT_FALSE(answer.data) << fault;
  }
  Answer slow = Post(Batch(), 0.5);  // Past the time-out.
  ASSERT_TRUE(slow.error);
  EXPECT_EQ(slow.error->code(), kZUZOzuriviErrorTransport);
  EXPECT_EQ(Lines().size(), 6u);

  EXPECT_FALSE(collector::ParseScript("upload=999", &error));
  EXPECT_FALSE(collector::ParseScript("elsewhere=200", &error));
  EXPECT_FALSE(collector::ParseScript("upload=delay:x", &error));
}

TEST_F(CollectorTest, ConfigurationIsServedWithCachingHeaders) {
  auto config = APMPBMeasurementConfig::initWithBuffer(nullptr);
  NANOSetString(config.get(), APMPBMeasurementConfig::kAppId, "1:1:macos:a");
  Start({}, *config->protoBuffer());
  Answer answer = Get("/config/app/1:1:macos:a?platform=macos&zuz_version=120500");
  ASSERT_TRUE(answer.response);
  EXPECT_EQ(answer.response->statusCode, 200);
  std::string etag;
  for (const auto& [name, value] : answer.response->headers) {
    if (name == "ETag") etag = value;
  }
  ASSERT_FALSE(etag.empty());
  EXPECT_EQ(*answer.data, *config->protoBuffer());
  Answer again = Get("/config/app/1:1:macos:a", {{"If-None-Match", etag}});
  EXPECT_EQ(again.response->statusCode, 304);
  EXPECT_EQ(Get("/elsewhere").response->statusCode, 404);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["query"]["zuz_version"], "120500");
  EXPECT_EQ(lines[0]["config"]["app_id"], "1:1:macos:a");
  EXPECT_EQ(lines[1]["headers"]["If-None-Match"], etag);
}

TEST_F(CollectorTest, GarbageAndHugeBodiesAreAnswersNotCrashes) {
  auto script = collector::ParseScript("config=garbage,config=big,upload=garbage", nullptr);
  Start(*script);
  Answer garbage = Get("/config/app/x");
  EXPECT_EQ(garbage.response->statusCode, 200);
  EXPECT_EQ(garbage.data->size(), 4096u);
  Answer big = Get("/config/app/x");
  EXPECT_EQ(big.data->size(), 10u * 1024 * 1024);
  // A body that is not a batch is reported, not decoded.
  Answer upload = Post(fnd::Data{1, 2, 3});
  EXPECT_EQ(upload.response->statusCode, 200);
  auto lines = Lines();
  EXPECT_EQ(lines[2]["error"], "the body is not a measurement batch");
}

TEST_F(CollectorTest, ExperimentFetchesAreTheirOwnKind) {
  auto script = collector::ParseScript("experiments=503,upload=500", nullptr);
  ASSERT_TRUE(script);
  Start(*script);
  auto request = APMPBExperimentRequest::initWithBuffer(nullptr);
  const fnd::Data body = *request->protoBuffer();
  auto postTo = [&](const std::string& path) {
    network_.setTimeoutInterval(10);
    Answer answer;
    network_.postURL(base_ + path, body, queue_, false, Capture(&answer));
    EXPECT_EQ(done_.wait(), dispatch::WaitResult::kSuccess);
    return answer;
  };
  // The scripted experiments answer is not taken by an upload, nor the upload's by experiments.
  EXPECT_EQ(postTo(collector::kExperimentsPath).response->statusCode, 503);
  EXPECT_EQ(Post(Batch()).response->statusCode, 500);
  Answer fetched = postTo(collector::kExperimentsPath);
  ASSERT_TRUE(fetched.response);
  EXPECT_EQ(fetched.response->statusCode, 200);
  fnd::Data inflated;
  ASSERT_TRUE(security::Gunzip(*fetched.data, 1 << 20, &inflated));
  EXPECT_TRUE(inflated.empty());  // No experiments.
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["request"], "experiments");
  EXPECT_EQ(lines[0]["status"], 503);
  EXPECT_TRUE(lines[0].contains("experiment_request")) << lines[0].dump();
  EXPECT_EQ(lines[1]["request"], "upload");
  EXPECT_EQ(lines[2]["request"], "experiments");
  EXPECT_EQ(lines[2]["path"], "/sdk-exp");
}

}  // namespace

#include "analytics/attribution/search_ad_reporter.h"

#include <gtest/gtest.h>

#include "analytics/attribution/attribution_test_support.h"
#include "analytics/foundation/alarm.h"

namespace {

using namespace attribution_test;

class FakeAdServices : public AAAttribution {
 public:
  bool respondsToSelector(std::string_view selector) const override {
    return selector == "attributionTokenWithError:";
  }
  std::optional<std::string> attributionTokenWithError(fnd::Error* error) override {
    if (fail) {
      if (error) *error = fnd::Error("AAAttributionErrorDomain", 1);
      return std::nullopt;
    }
    return token;
  }
  std::string token = "token-abc";
  bool fail = false;
};

class SearchAdTest : public ZIVFoundationTest {
 protected:
  void SetUp() override {
    config_ = ZIVPersistedConfig::create("com.example.searchad.test", clock_);
    registry_.registerClass(adServices_);
  }
  void TearDown() override {
    reporter_.reset();
    Drain();
  }
  std::shared_ptr<ZIVSearchAdReporter> Make() {
    ZIVSearchAdReporter::Environment environment;
    environment.clock = clock_;
    environment.classRegistry = &registry_;
    environment.transport = transport_;
    environment.logInternalEvent = [this](const std::string& origin, const std::string& name,
                                          const fnd::Dictionary& parameters) {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back({origin, name, parameters});
    };
    return ZIVSearchAdReporter::initWithWorkerQueue(queue_, config_, environment);
  }
  void Drain() {
    queue_->sync([] {});
  }
  // Starts a reporter and runs its first attempt.
  void StartAndAttempt() {
    reporter_ = Make();
    ASSERT_TRUE(reporter_);
    queue_->sync([&] {
      reporter_->setSearchAdReporterEnabled(true);
      reporter_->start();
    });
    clock_->advance(0);
    Drain();
    Drain();
  }
  std::vector<LoggedEvent> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }

  std::shared_ptr<dispatch::Queue> queue_ = dispatch::Queue::create("com.example.searchad.worker");
  std::shared_ptr<ZIVPersistedConfig> config_;
  ZIVRuntimeClassRegistry registry_;
  std::shared_ptr<FakeAdServices> adServices_ = std::make_shared<FakeAdServices>();
  std::shared_ptr<ScriptedTransport> transport_ = std::make_shared<ScriptedTransport>();
  std::shared_ptr<ZIVSearchAdReporter> reporter_;
  std::mutex mu_;
  std::vector<LoggedEvent> events_;
};

TEST_F(SearchAdTest, ASearchAdInstallLogsOneCampaignEvent) {
  config_->setFirstOpenTimestampMilliseconds(1699990000000);
  transport_->add({200, R"({"attribution":true,"campaignId":1234,"adId":77,"keywordId":"kw"})"});
  StartAndAttempt();
  auto requests = transport_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].url, kZIVSearchAdAttributionURL);
  EXPECT_EQ(std::string(requests[0].body.begin(), requests[0].body.end()), "token-abc");
  EXPECT_EQ(requests[0].timeout, 10);
  EXPECT_EQ(requests[0].headers,
            (ZUZOzuriviHeaders{{"cache-control", "no-cache"}, {"Content-Type", "text/plain"}}));
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].name, "_cmp");
  EXPECT_EQ(events[0].parameters.get("source").asString(), "Apple");
  EXPECT_EQ(events[0].parameters.get("medium").asString(), "search");
  EXPECT_EQ(events[0].parameters.get("campaign").asString(), "1234");
  EXPECT_EQ(events[0].parameters.get("term").asString(), "kw");
  EXPECT_EQ(events[0].parameters.get("click_timestamp").asInt(), 1699989999999);
  EXPECT_EQ(config_->searchAdCampaignValue(), fnd::Value::Int64(1));
  EXPECT_EQ(config_->searchAdRetryCount(), 1);
  EXPECT_FALSE(reporter_->alarm());  // Scheduling cancelled for good.
}

TEST_F(SearchAdTest, NoAttributionIsStoredAndNoReporterIsMadeAgain) {
  config_->setFirstOpenTimestampMilliseconds(1);
  transport_->add({200, R"({"attribution":false,"campaignId":"1","adId":"2"})"});
  StartAndAttempt();
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(config_->searchAdCampaignValue(), fnd::Value::Int64(0));
  EXPECT_FALSE(Make());
  ExpectLogged(sharedLog_, 7, 32002,
               "Search Ad campaign attribution was already reported. Do not start Search Ad "
               "Reporter.");
}

TEST_F(SearchAdTest, WithoutAFirstOpenTimeThereIsNoClickTimestamp) {
  config_->setFirstOpenTimestampMilliseconds(1);
  transport_->add({200, R"({"attribution":true,"campaignId":"c"})"});
  StartAndAttempt();
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].parameters.contains("click_timestamp"));
  EXPECT_FALSE(events[0].parameters.contains("term"));
  ExpectLogged(sharedLog_, 5, 32009, "Search Ad Campaign does not have click_timestamp.");
}

TEST_F(SearchAdTest, FailedAnswersAreRetriedADayLaterAndNeverStored) {
  struct Case {
    const char* name;
    ScriptedTransport::Reply reply;
    int64_t code;
  };
  const std::vector<Case> cases = {
      // A refusal carrying a body that looks like "no attribution" is still only a failure.
      {"server error", {500, R"({"attribution":false,"campaignId":"1"})"}, 32015},
      {"not found", {404, ""}, 32015},
      {"transport error", {0, "", true}, 32015},
      {"garbage", {200, "<html>"}, 32017},
      {"huge nesting", {200, std::string(5000, '[')}, 32017},
      {"empty object", {200, "{}"}, 0},
      {"test data",
       {200, R"({"attribution":true,"adId":1234567890,"campaignId":"1234567890"})"},
       32016},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config_->setSearchAdRetryCount(0);
    config_->setLastSearchAdLookUpTimestamp(0);
    sharedLog_.clear();
    transport_->add(c.reply);
    StartAndAttempt();
    if (c.code != 0) {
      EXPECT_EQ(sharedLog_.withCode(c.code).size(), 1u);
    }
    EXPECT_FALSE(config_->searchAdCampaignValue());
    EXPECT_TRUE(Events().empty());
    auto alarm = reporter_->alarm();
    ASSERT_TRUE(alarm);
    ASSERT_TRUE(alarm->scheduledTimestamp());
    EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), clock_->wallTime() + 86400);
    queue_->sync([&] { reporter_.reset(); });
  }
}

TEST_F(SearchAdTest, TheTenthFailedAttemptIsTheLast) {
  StartAndAttempt();  // No reply scripted: every attempt fails.
  for (int i = 2; i <= 10; ++i) {
    clock_->advance(86400);
    Drain();
    Drain();
  }
  EXPECT_EQ(transport_->requests().size(), 10u);
  EXPECT_EQ(config_->searchAdRetryCount(), 10);
  EXPECT_GE(sharedLog_.withCode(32007).size(), 1u);
  EXPECT_FALSE(reporter_->alarm());
  EXPECT_FALSE(Make());  // More than 9 attempts: no reporter, without a line.
}

TEST_F(SearchAdTest, RefusalsAndTokenErrors) {
  EXPECT_FALSE(ZIVSearchAdReporter::initWithWorkerQueue(nullptr, config_));
  ExpectLogged(sharedLog_, 2, 32000, "Cannot init Search Ad reporter. Queue must be provided");
  EXPECT_FALSE(ZIVSearchAdReporter::initWithWorkerQueue(queue_, nullptr));
  ExpectLogged(sharedLog_, 2, 32001,
               "Cannot init Search Ad reporter. Persisted config must be provided");
  adServices_->fail = true;
  StartAndAttempt();
  ExpectLogged(sharedLog_, 1, 32018,
               "Cannot send request for Search Ad campaign attribution. Error");
  EXPECT_TRUE(transport_->requests().empty());
  registry_.removeClass(kAAAttributionClassName);
  auto other = Make();
  queue_->sync([&] { other->start(); });
  ExpectLogged(sharedLog_, 7, 32014,
               "AdServices framework is not linked. Search Ad Attribution Reporter is disabled.");
}

}  // namespace

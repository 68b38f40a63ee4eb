#include "analytics/attribution/measurement_odm1.h"

#include <gtest/gtest.h>

#include <set>

#include "analytics/attribution/attribution_test_support.h"
#include "analytics/foundation/alarm.h"
#include "analytics/proto/messages.h"

namespace {

using namespace attribution_test;

// A matching client: the body it answers is the match value; its hashed input is the text.
class FakeClient : public APMPSMClient {
 public:
  explicit FakeClient(const APMPSMClientArguments& a, int64_t type) : arguments(a), type_(type) {}
  bool respondsToSelector(std::string_view selector) const override {
    return selector == "debugKey" && hasDebugKey;
  }
  fnd::Data hashedInput() const override {
    std::string source = arguments.text.empty() ? std::string(arguments.hashedInput.begin(),
                                                              arguments.hashedInput.end())
                                                : "h:" + arguments.text;
    return fnd::Data(source.begin(), source.end());
  }
  int64_t inputType() const override { return type_; }
  fnd::Data payloadWithPSMRequest() override { return fnd::Data{1, 2, 3}; }
  std::optional<std::string> PSMRequestURLWithRetryCount(uint64_t retryCount) override {
    return "https://psm.example/query?retry=" + std::to_string(retryCount);
  }
  std::optional<std::string> parsedPSMValueFromResponse(const fnd::Data& response) override {
    return std::string(response.begin(), response.end());
  }
  std::string debugKey() const override { return "dk"; }

  APMPSMClientArguments arguments;
  bool hasDebugKey = true;

 private:
  int64_t type_;
};

class FakeGroupClient : public APMPSMGroupClient {
 public:
  void fetchGroupIDWithNetwork(const std::shared_ptr<ZUZOzurivi>&, Completion completion) override {
    completion(answer, error);
  }
  std::optional<std::string> answer = std::string("group-7");
  std::optional<fnd::Error> error;
};

class FakeClientClass : public APMPSMClientClass {
 public:
  FakeClientClass(std::string name, std::set<std::string> selectors)
      : name_(std::move(name)), selectors_(std::move(selectors)) {}
  std::string className() const override { return name_; }
  bool instancesRespondToSelector(std::string_view selector) const override {
    return selectors_.count(std::string(selector)) != 0;
  }
  std::shared_ptr<ZIVRuntimeObject> instantiate(std::string_view selector,
                                                const APMPSMClientArguments& a) override {
    made.push_back({std::string(selector), a});
    if (name_ == kODCPSMGroupClientClassName) return groupClient;
    int64_t type = 1;
    if (selector == kPSMInitPhone || selector == kPSMInitPhonePrefix) type = 2;
    if (selector == kPSMInitHashedEmail) type = 3;
    if (selector == kPSMInitHashedPhone) type = 4;
    if (selector == kPSMInitHashedInput) type = a.inputType;
    return std::make_shared<FakeClient>(a, type);
  }
  std::vector<std::pair<std::string, APMPSMClientArguments>> made;
  std::shared_ptr<FakeGroupClient> groupClient = std::make_shared<FakeGroupClient>();

 private:
  std::string name_;
  std::set<std::string> selectors_;
};

const std::set<std::string> kAllSelectors = {
    kPSMInitEmailPrefix, kPSMInitEmail,       kPSMInitPhonePrefix, kPSMInitPhone,
    kPSMInitHashedEmail, kPSMInitHashedPhone, kPSMInitHashedInput};

class ODM1Test : public AttributionTest {
 protected:
  std::vector<std::pair<std::string, std::string>> Settings() override {
    return {{"measurement.odm2_enabled", "1"}};
  }
  void SetUp() override {
    AttributionTest::SetUp();
    clientClass_ = std::make_shared<FakeClientClass>(kZIVPSMClientClassName, kAllSelectors);
    engine_->classRegistry().registerClass(clientClass_);
    odm_ = ZIVMeasurementODM1::create(engine_);
    engine_->onWorker([&] { odm_->checkPSMDependencyOnWorkerQueue(); });
  }
  void SetUserData(fnd::Dictionary data) {
    engine_->onWorker([&] { odm_->setUserDataOnWorkerQueue(data); });
    engine_->drain();
  }
  void AddGroupClass() {
    groupClass_ = std::make_shared<FakeClientClass>(kODCPSMGroupClientClassName,
                                                    std::set<std::string>{kPSMInitHashedInput});
    engine_->classRegistry().registerClass(groupClass_);
  }

  std::shared_ptr<FakeClientClass> clientClass_;
  std::shared_ptr<FakeClientClass> groupClass_;
  std::shared_ptr<ZIVMeasurementODM1> odm_;
};

TEST_F(ODM1Test, EmptyEmailClearsTheCacheAndThePhoneClientIsUsed) {
  engine_->persistedConfig()->setPSMHashedInputData(fnd::Value(fnd::Data{9}));
  engine_->persistedConfig()->setPSMInputType(3);
  engine_->transport().add({200, ""});
  SetUserData({{"email_address", ""}, {"phone_number", "+15550100"}});
  ExpectLogged(sharedLog_, 1, 23234,
               "Failed to initiate on-device conversion measurement. Email address was empty.");
  auto requests = engine_->transport().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_NE(requests[0].url.find("retry=0&psm_phone_count=0"), std::string::npos)
      << requests[0].url;
  // The phone client's input is cached for the later variants.
  EXPECT_EQ(engine_->persistedConfig()->PSMInputType(), 2);
  EXPECT_EQ(engine_->intAttribute("_psmcountph"), 1);
  EXPECT_EQ(sharedLog_.withCode(23230).size(), 1u);  // Empty body: no match.
  EXPECT_FALSE(engine_->pending());
}

TEST_F(ODM1Test, FailuresRetryWithDoublingDelaysUntilTheLimit) {
  SetUserData({{"email_address", "someone@example.com"}});
  const double delays[] = {300, 600, 1200, 2400};
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(engine_->transport().requests().size(), i + 1);
    auto alarm = odm_->ODM1Context()->PSMRetryAlarm;
    ASSERT_TRUE(alarm && alarm->scheduledTimestamp());
    EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp() - clock_->wallTime(), delays[i]);
    clock_->advance(delays[i]);
    engine_->drain();
    engine_->drain();
  }
  ASSERT_EQ(engine_->transport().requests().size(), 5u);
  EXPECT_EQ(sharedLog_.withCode(23228).size(), 5u);
  ExpectLogged(sharedLog_, 4, 23231,
               "On-device conversion measurement failed to find a match. Reached retry limit.");
  EXPECT_FALSE(odm_->ODM1Context()->PSMRetryAlarm->scheduledTimestamp());
  EXPECT_EQ(engine_->intAttribute("_psmcount"), 5);
  // The first-open time joins the URL as the next whole minute.
  EXPECT_EQ(engine_->transport().requests()[4].url.find("timestamp_first_open"), std::string::npos);
}

TEST_F(ODM1Test, AMatchIsStoredAndLaterUserDataFindsIt) {
  engine_->persistedConfig()->setFirstOpenTimestampMilliseconds(1699999999123);
  engine_->transport().add({200, "match-1"});
  SetUserData({{"hashed_email_address", "abc"}});
  EXPECT_NE(
      engine_->transport().requests()[0].url.find("psm_count=0&timestamp_first_open=1700000040"),
      std::string::npos)
      << engine_->transport().requests()[0].url;
  auto row = engine_->database()->ODMValueWithName(ZIVDatabaseODM1Value);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->get(fnd::Value("value")).asString(), "match-1");
  auto property = engine_->database()->userAttributeWithName("_psmvalue");
  ASSERT_TRUE(property);
  EXPECT_EQ(property->value()->stringValue(), "match-1");
  ASSERT_EQ(engine_->writtenEvents.size(), 1u);
  const ZIVEvent& fx = *engine_->writtenEvents[0];
  EXPECT_EQ(fx.name(), "_fx");
  EXPECT_EQ(fx.origin(), "auto");
  EXPECT_TRUE(fx.isRealtime());
  EXPECT_EQ(StringParameter(fx, "_fxs"), "psm");
  EXPECT_EQ(engine_->intAttribute("_psmcounth"), 1);

  sharedLog_.clear();
  SetUserData({{"email_address", "someone@example.com"}});
  ExpectLogged(sharedLog_, 1, 23237,
               "Failed to initiate on-device conversion measurement. Found existing match.");
  // The group-ID variant starts, and finds no group client linked.
  EXPECT_EQ(sharedLog_.withCode(23309).size(), 1u);
  EXPECT_EQ(engine_->transport().requests().size(), 1u);
}

TEST_F(ODM1Test, RequestGateRefusals) {
  struct Case {
    const char* name;
    std::function<void(FakeEngine&)> setup;
    int64_t code;
  };
  const std::vector<Case> cases = {
      {"ad storage denied", [](FakeEngine& e) { e.adStorageDenied = true; }, 23298},
      {"outside first-open window",
       [](FakeEngine& e) {
         e.persistedConfig()->setFirstOpenTimestampMilliseconds(
             static_cast<int64_t>((1700000000.0 - 61 * 86400) * 1000));
       },
       23261},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine_ = std::make_shared<FakeEngine>(clock_, Settings());
    engine_->classRegistry().registerClass(clientClass_);
    odm_ = ZIVMeasurementODM1::create(engine_);
    engine_->onWorker([&] { odm_->checkPSMDependencyOnWorkerQueue(); });
    c.setup(*engine_);
    sharedLog_.clear();
    SetUserData({{"email_address", "someone@example.com"}});
    EXPECT_EQ(sharedLog_.withCode(c.code).size(), 1u);
    EXPECT_TRUE(engine_->transport().requests().empty());
  }
}

class ODM1NoStartsTest : public ODM1Test {
 protected:
  std::vector<std::pair<std::string, std::string>> Settings() override {
    return {{"measurement.odm2_enabled", "1"}, {"measurement.psm_start_count", "0"}};
  }
};

TEST_F(ODM1NoStartsTest, NoFirstOpenRequestEverStarts) {
  SetUserData({{"email_address", "someone@example.com"}});
  ExpectLogged(sharedLog_, 1, 23236,
               "Failed to initiate on-device conversion measurement. Exceeded limit per app run.");
  EXPECT_TRUE(engine_->transport().requests().empty());
}

TEST_F(ODM1Test, PostponedWhileTheNetworkIsBusy) {
  engine_->uploadInProgress = true;
  SetUserData({{"email_address", "someone@example.com"}});
  EXPECT_TRUE(odm_->ODM1Context()->isPSMRequestPostponed);
  EXPECT_TRUE(engine_->transport().requests().empty());
  engine_->uploadInProgress = false;
  engine_->transport().add({204, ""});
  engine_->onWorker([&] { odm_->retryPostponedPSMRequest(); });
  engine_->drain();
  EXPECT_FALSE(odm_->ODM1Context()->isPSMRequestPostponed);
  EXPECT_EQ(engine_->transport().requests().size(), 1u);
}

TEST_F(ODM1Test, GroupIDOncePerDayAndAgainAfterAnError) {
  AddGroupClass();
  engine_->persistedConfig()->setPSMHashedInputData(fnd::Value(fnd::Data{1, 2}));
  engine_->persistedConfig()->setPSMInputType(1);
  groupClass_->groupClient->answer = std::nullopt;
  groupClass_->groupClient->error = fnd::Error("test", 5);
  engine_->onWorker([&] { odm_->initiateODMGroupIDProtocol(); });
  engine_->drain();
  EXPECT_EQ(sharedLog_.withCode(23313).size(), 1u);
  groupClass_->groupClient->error.reset();
  groupClass_->groupClient->answer = "group-7";
  engine_->onWorker([&] { odm_->initiateODMGroupIDProtocol(); });
  engine_->drain();
  EXPECT_EQ(sharedLog_.withCode(23315).size(), 1u);
  auto row = engine_->database()->ODMValueWithName(ZIVDatabaseODM1GroupID);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->get(fnd::Value("value")).asString(), "group-7");
  engine_->onWorker([&] { odm_->initiateODMGroupIDProtocol(); });
  ExpectLogged(sharedLog_, 5, 23312,
               "Failed to initiate on-device conversion measurement for retrieving aggregate "
               "first-party data. Reached daily cap.");
  engine_->persistedConfig()->setPSMInputType(2);
  engine_->onWorker([&] { odm_->initiateODMGroupIDProtocol(); });
  EXPECT_EQ(sharedLog_.withCode(23311).size(), 1u);
}

TEST_F(ODM1Test, SessionStartVariantUsesTheCachedInput) {
  engine_->onWorker([&] { odm_->initiateODMSessionStartProtocolWithTimestamp(1700000100); });
  EXPECT_EQ(sharedLog_.withCode(23284).size(), 1u);
  engine_->persistedConfig()->setPSMHashedInputData(fnd::Value(fnd::Data{'x'}));
  engine_->persistedConfig()->setPSMInputType(3);
  ASSERT_TRUE(engine_->database()->updateUserAttribute(ZIVUserAttribute::initWithOrigin(
      "auto", "_sid", ZIVValue::initWithInt64(1700000123), 1700000123)));
  engine_->transport().add({200, "session-match"});
  engine_->onWorker([&] { odm_->initiateODMSessionStartProtocolWithTimestamp(1700000100); });
  engine_->drain();
  auto requests = engine_->transport().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].url.find("psm_count=0&tss=1700000160"), std::string::npos)
      << requests[0].url;
  EXPECT_EQ(clientClass_->made.back().second.prefixBitLength, 13u);
  auto row = engine_->database()->ODMValueWithName(ZIVDatabaseODM1SessionValue);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->get(fnd::Value("value")).asString(), "session-match");
  EXPECT_TRUE(engine_->writtenEvents.empty());
}

TEST_F(ODM1Test, ValuesExpireAfterNinetyDays) {
  engine_->onWorker([&] {
    ASSERT_TRUE(engine_->database()->updateODMValue("v", ZIVDatabaseODM1Value,
                                                    clock_->wallTime() - 7776000));
    ASSERT_TRUE(engine_->database()->updateODMValue("s", ZIVDatabaseODM1SessionValue,
                                                    clock_->wallTime() - 7775999));
    EXPECT_TRUE(odm_->isExpiredODMValueWithName(ZIVDatabaseODM1Value));
    EXPECT_FALSE(odm_->isExpiredODMValueWithName(ZIVDatabaseODM1SessionValue));
    odm_->maybeDeleteExpiredPSMValueOnWorkerQueue();
    EXPECT_FALSE(engine_->database()->ODMValueWithName(ZIVDatabaseODM1Value));
    EXPECT_TRUE(engine_->database()->ODMValueWithName(ZIVDatabaseODM1SessionValue));
  });
}

TEST_F(ODM1Test, APropertyWithoutARowBecomesARowAndAnOldOneGoesWithItsCounters) {
  const double setTime = clock_->wallTime() - 1000;
  engine_->onWorker([&] {
    ASSERT_TRUE(engine_->database()->updateUserAttribute(ZIVUserAttribute::initWithOrigin(
        "auto", "_psmvalue", ZIVValue::initWithString(std::string("kept")), setTime)));
    odm_->maybeDeleteExpiredPSMValueOnWorkerQueue();
    auto row = engine_->database()->ODMValueWithName(ZIVDatabaseODM1Value);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->get(fnd::Value("set_timestamp")).asDouble(), setTime);
    ASSERT_TRUE(engine_->database()->updateUserAttribute(ZIVUserAttribute::initWithOrigin(
        "auto", "_psmvalue", ZIVValue::initWithString(std::string("old")), setTime - 7776000)));
    odm_->incrementPSMCountOnWorkerQueueWithName("_psmcount");
    odm_->maybeDeleteExpiredPSMValueOnWorkerQueue();
  });
  EXPECT_FALSE(engine_->database()->userAttributeWithName("_psmvalue"));
  EXPECT_EQ(engine_->intAttribute("_psmcount"), std::nullopt);
}

TEST_F(ODM1Test, SessionValueEqualToTheStoredOneKeepsItsTime) {
  engine_->onWorker([&] {
    odm_->handlePSMValueOnWorkerQueue("same", true);
    clock_->advance(50);
    odm_->handlePSMValueOnWorkerQueue("same", true);
    auto row = engine_->database()->ODMValueWithName(ZIVDatabaseODM1SessionValue);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->get(fnd::Value("set_timestamp")).asDouble(), clock_->wallTime() - 50);
    odm_->handlePSMValueOnWorkerQueue("", false);
  });
  EXPECT_TRUE(engine_->writtenEvents.empty());
}

TEST_F(ODM1Test, WireValueFromARow) {
  auto value = APMODMValueFromDictionary({{"set_timestamp", 1700000000.5}, {"value", "v"}});
  ASSERT_TRUE(value);
  EXPECT_EQ(NANOGetInt64(value.get(), APMPBOnDeviceMeasurementValue::kSetTimestampMillis),
            1700000000500);
  EXPECT_EQ(NANOGetString(value.get(), APMPBOnDeviceMeasurementValue::kValue), "v");
  EXPECT_EQ(APMODMValueFromDictionary({{"set_timestamp", 1.0}}), nullptr);
  auto huge = APMODMValueFromDictionary({{"set_timestamp", 1e300}, {"value", "v"}});
  EXPECT_EQ(NANOGetInt64(huge.get(), APMPBOnDeviceMeasurementValue::kSetTimestampMillis),
            std::numeric_limits<int64_t>::max());
  EXPECT_EQ(APMURLStringAfterAppendingParam("u", "k", ""), "u");
  EXPECT_EQ(APMURLStringAfterAppendingParam("u", "k", "v"), "u&k=v");
}

}  // namespace

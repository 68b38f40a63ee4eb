#include "plugins/zudiroru_analytics/zudiroru_analytics_plugin.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "analytics/engine/facade_test_support.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/flutter/standard_codec.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

std::string Channel(const std::string& method) {
  return zudiroru::PigeonChannelName(std::string(kZudiroruAnalyticsHostApiChannelPrefix) + method);
}

class AnalyticsPluginTest : public FacadeTest {
 protected:
  AnalyticsPluginTest() {
    DEVAzodavevu::Environment env;
    env.analytics = &analytics();
    env.isDefaultAppConfigured = [] { return true; };
    env.classes = &classes_;
    env.notificationCenter = &center_;
    env.installationID = [](DEVInstallationIDCompletion c) { c(std::nullopt, std::nullopt); };
    env.setZudiroruInstallationID = [](const std::optional<std::string>&) {};
    api_ = std::make_unique<DEVAzodavevu>(std::move(env));
    ZudiroruAnalyticsPlugin::registerWith(
        *flutterEngine_.registrarForPlugin("ZudiroruAnalyticsPlugin"), *api_);
  }
  ~AnalyticsPluginTest() override {
    flutterEngine_.shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
  }

  // Sends raw bytes on a method's channel the way Dart does and waits for the reply's bytes.
  fnd::Data SendBytes(const std::string& method, fnd::Data bytes) {
    auto reply = flutterEngine_.dart().send(Channel(method), std::move(bytes));
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); })) << method;
    return reply->data();
  }
  // Sends an argument list encoded with the interface's codec and decodes the reply.
  Value Send(const std::string& method, Value arguments) {
    auto codec = ZudiroruAnalyticsMessagesPigeonCodec::shared();
    auto reply = flutterEngine_.dart().sendMessage(Channel(method), arguments, codec);
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); })) << method;
    return reply->message(codec).value_or(Value("malformed"));
  }
  static Value Ok(Value result = Value()) { return Value(Array{std::move(result)}); }
  // Whether a reply is the bridge's refusal of unusable arguments.
  static bool IsRefusal(const Value& reply) {
    const Array* list = reply.array();
    return list && list->size() == 3 && (*list)[0] == Value(kZudiroruAnalyticsErrorCode) &&
           (*list)[1].asString().rfind("Invalid arguments for ", 0) == 0;
  }

  flutter::FlutterEngine flutterEngine_;
  std::unique_ptr<DEVAzodavevu> api_;
};

TEST_F(AnalyticsPluginTest, EveryMethodAnswersThroughChannelBytes) {
  start();
  EXPECT_EQ(
      Send("logEvent", Array{Dictionary{{"eventName", "select_content"},
                                        {"parameters", Dictionary{{"id", "a"}, {"n", Value()}}}}}),
      Ok());
  EXPECT_EQ(Send("logEvent", Array{Dictionary{{"parameters", Dictionary{{"id", "a"}}}}}), Ok());
  EXPECT_EQ(Send("logEvent", Array{Dictionary{{"eventName", 5}}}), Ok());
  EXPECT_EQ(Send("logEvent", Array{Dictionary{{"eventName", "share"}, {"parameters", "x"}}}), Ok());
  EXPECT_EQ(Send("setUserId", Array{"user-1"}), Ok());
  EXPECT_EQ(Send("setUserId", Array{Value()}), Ok());
  EXPECT_EQ(Send("setUserProperty", Array{"favourite_food", "pizza"}), Ok());
  EXPECT_EQ(Send("setAnalyticsCollectionEnabled", Array{false}), Ok());
  EXPECT_EQ(Send("setSessionTimeoutDuration", Array{Value::Int64(1800)}), Ok());
  EXPECT_EQ(Send("setDefaultEventParameters", Array{Dictionary{{"plan", "gold"}}}), Ok());
  EXPECT_EQ(Send("setDefaultEventParameters", Array{Value()}), Ok());
  drain();
  std::vector<ZIVFacadeEvent> events = engine_->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "select_content");
  EXPECT_EQ(events[0].parameters, (Dictionary{{"id", "a"}, {"n", Value()}}));
  EXPECT_EQ(events[1].name, "share");
  EXPECT_TRUE(events[1].parameters.empty());
  std::vector<std::string> calls = engine_->calls();
  auto has = [&calls](const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
  };
  EXPECT_TRUE(has("setUserAttribute:_id"));
  EXPECT_TRUE(has("removeUserAttribute:_id"));
  EXPECT_TRUE(has("removeUserAttribute:_lair"));
  EXPECT_TRUE(has("setUserAttribute:favourite_food"));
  EXPECT_TRUE(has("setEnabled:0"));
  EXPECT_TRUE(has("setSessionTimeoutInterval:1800"));
  ASSERT_TRUE(engine_->defaultParameters);
  EXPECT_EQ(*engine_->defaultParameters, std::nullopt);
  EXPECT_EQ(persistedConfig_->measurementEnabledState(), ZIVMeasurementEnabledStateDisabled);
}

TEST_F(AnalyticsPluginTest, SetConsentTakesFourKeys) {
  struct Case {
    const char* name;
    Dictionary given;
    Dictionary expected;  // The explicit settings afterwards.
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"unknown keys", {{"adStorage", true}, {"ad_storage", "granted"}}, {}},
      {"null leaves a type out", {{"adStorageConsentGranted", Value()}}, {}},
      {"all four",
       {{"adStorageConsentGranted", true},
        {"analyticsStorageConsentGranted", false},
        {"adPersonalizationSignalsConsentGranted", true},
        {"adUserDataConsentGranted", false}},
       {{"ad_storage", "granted"},
        {"analytics_storage", "denied"},
        {"ad_personalization", "granted"},
        {"ad_user_data", "denied"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    consent_->clearAllSettings();
    log_.clear();
    EXPECT_EQ(Send("setConsent", Array{c.given}), Ok());
    EXPECT_EQ(consent_->consentSettings().value_or(Dictionary()), c.expected);
    // An empty map still reaches the engine's consent call, which discards it.
    EXPECT_EQ(log_.withCode(25041).size(), c.expected.empty() ? 1u : 0u);
  }
  EXPECT_EQ(consent_->consentSource(), 10);
}

TEST_F(AnalyticsPluginTest, IdentifiersAndSession) {
  EXPECT_EQ(Send("getAppInstanceId", Value()), Ok());  // None yet.
  analytics().setAppInstanceIDAfterReset(std::string("0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_EQ(Send("getAppInstanceId", Value()), Ok("0123456789ABCDEF0123456789ABCDEF"));

  // Before the engine is ready the session id is the engine's error, as a foreign error.
  Value error = Send("getSessionId", Value());
  const Array* list = error.array();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 3u);
  EXPECT_NE((*list)[0].asString().find("Analytics uninitialized"), std::string::npos);
  EXPECT_EQ((*list)[2].asString().rfind("Stacktrace: ", 0), 0u);

  start();
  drain();
  EXPECT_EQ(Send("getSessionId", Value()), Ok(Value::Int64(engine_->sessionID)));
}

TEST_F(AnalyticsPluginTest, OnDeviceConversionUserData) {
  start();
  drain();
  std::string digest(64, 'a');
  EXPECT_EQ(Send("initiateOnDeviceConversionMeasurement",
                 Array{Dictionary{{"hashedEmailAddress", digest},
                                  {"emailAddress", "a@quellmark.example"},
                                  {"phoneNumber", Value()},
                                  {"hashedPhoneNumber", 7}}}),
            Ok());
  for (int i = 0; i < 2; ++i) {
    analytics().queue()->sync([] {});
    clock_->advance(0.5);
    drain();
  }
  ASSERT_EQ(engine_->userData.size(), 2u);
  EXPECT_EQ(engine_->userData[0], (Dictionary{{"email_address", "a@quellmark.example"}}));
  EXPECT_EQ(engine_->userData[1], (Dictionary{{"hashed_email_address", fnd::Data(32, 0xaa)}}));
}

TEST_F(AnalyticsPluginTest, BadInputNeverCrashesAndStoresNothingInvalid) {
  start();
  drain();
  const fnd::Data garbage = {0x0c, 0x05, 0xff, 0xfe, 0x07};
  struct Case {
    const char* method;
    Value arguments;
  };
  Dictionary tooMany;
  for (int i = 0; i < 10000; ++i) tooMany.set("p" + std::to_string(i), i);
  Value nested = Dictionary{{"leaf", 1}};
  // As deep as the codec carries: each level is one map and one list.
  for (int i = 0; i < flutter::kFlutterCodecMaxDepth / 2 - 4; ++i) {
    nested = Value(Dictionary{{"items", Array{nested}}});
  }
  const Case refused[] = {
      {"logEvent", Value()},
      {"logEvent", Value("not a list")},
      {"logEvent", Array{"not a map"}},
      {"setUserProperty", Array{Value(), "v"}},
      {"setUserProperty", Array{"name", 5}},
      {"setUserId", Array{Value(Array{})}},
      {"setAnalyticsCollectionEnabled", Array{}},
      {"setAnalyticsCollectionEnabled", Array{"yes"}},
      {"setSessionTimeoutDuration", Array{"1800"}},
      {"setSessionTimeoutDuration", Array{1.5}},
      {"setConsent", Array{Value()}},
      {"setDefaultEventParameters", Array{Dictionary{{1, "x"}}}},
      {"initiateOnDeviceConversionMeasurement", Array{}},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(std::string(c.method) + " " + c.arguments.description());
    EXPECT_TRUE(IsRefusal(Send(c.method, c.arguments)));
  }
  // Garbage bytes are not a message: the channel answers with an empty reply, not a crash.
  // Garbage bytes, and lists nested deeper than the codec reads, are not messages: the channel
  // answers with the empty reply, not a crash.
  fnd::Data tooDeep;
  for (int i = 0; i < flutter::kFlutterCodecMaxDepth + 10; ++i) {
    tooDeep.push_back(0x0c);
    tooDeep.push_back(0x01);
  }
  tooDeep.push_back(0x00);
  EXPECT_TRUE(SendBytes("logEvent", garbage).empty());
  EXPECT_TRUE(SendBytes("logEvent", tooDeep).empty());
  // Oversized values reach the engine's rules; the bridge answers [null].
  const Case accepted[] = {
      {"logEvent", Array{Dictionary{{"eventName", "big"},
                                    {"parameters", Dictionary{{"v", std::string(1 << 20, 'x')}}}}}},
      {"logEvent", Array{Dictionary{{"eventName", "many"}, {"parameters", tooMany}}}},
      {"logEvent", Array{Dictionary{{"eventName", "purchase"},
                                    {"parameters", Dictionary{{"items", Array{nested}}}}}}},
      {"setDefaultEventParameters", Array{tooMany}},
  };
  for (const Case& c : accepted) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(Send(c.method, c.arguments), Ok());
  }
  drain();
  EXPECT_EQ(engine_->events().size(), 3u);
}

}  // namespace

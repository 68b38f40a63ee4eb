// The road of an event from the Dart side to a stored row: channel bytes through the analytics
// bridge, the public interface and the facade into a real engine over a real database file.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/azodavevu.h"
#include "analytics/engine/facade_link.h"
#include "analytics/engine/identifiers.h"
#include "analytics/engine/measurement_test_support.h"
#include "analytics/engine/runtime_class_registry.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/codec.h"
#include "platform/flutter/engine.h"
#include "plugins/zudiroru_analytics/zudiroru_analytics_plugin.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

class AnalyticsEndToEndTest : public ::testing::Test {
 protected:
  AnalyticsEndToEndTest() {
    harness_.Open();
    ZIVAnalytics::Environment env;
    env.clock = std::shared_ptr<dispatch::Clock>(&harness_.clock(), [](dispatch::Clock*) {});
    env.suiteName = "test.analytics.suite";
    env.consent = &harness_.consent;
    env.engine = std::make_shared<ZIVMeasurementAnalyticsEngine>(harness_.engine);
    env.classes = &classes_;
    env.notificationCenter = &center_;
    env.identity = [this] { return harness_.identity(); };
    env.identifiers = &identifiers_;
    env.persistedConfig = [this] { return harness_.sharedConfig(); };
    analytics_ = std::make_unique<ZIVAnalytics>(std::move(env));
    DEVAzodavevu::Environment apiEnv;
    apiEnv.analytics = analytics_.get();
    apiEnv.isDefaultAppConfigured = [] { return true; };
    apiEnv.classes = &classes_;
    apiEnv.notificationCenter = &center_;
    apiEnv.installationID = [](DEVInstallationIDCompletion c) { c(std::nullopt, std::nullopt); };
    apiEnv.setZudiroruInstallationID = [](const std::optional<std::string>&) {};
    api_ = std::make_unique<DEVAzodavevu>(std::move(apiEnv));
    ZudiroruAnalyticsPlugin::registerWith(*flutter_.registrarForPlugin("ZudiroruAnalyticsPlugin"),
                                          *api_);
    analytics_->startWithAppID(harness_.appID, "fa", {});
  }
  ~AnalyticsEndToEndTest() override {
    Settle();
    flutter_.shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
    analytics_.reset();
  }

  Value Send(const std::string& method, Value arguments) {
    auto codec = ZudiroruAnalyticsMessagesPigeonCodec::shared();
    auto reply = flutter_.dart().sendMessage(
        zudiroru::PigeonChannelName(std::string(kZudiroruAnalyticsHostApiChannelPrefix) + method),
        arguments, codec);
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); })) << method;
    return reply->message(codec).value_or(Value("malformed"));
  }
  fnd::Data SendBytes(const std::string& method, fnd::Data bytes) {
    auto reply = flutter_.dart().send(
        zudiroru::PigeonChannelName(std::string(kZudiroruAnalyticsHostApiChannelPrefix) + method),
        std::move(bytes));
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); })) << method;
    return reply->data();
  }
  // Everything queued so far has passed the facade and the engine's worker queue.
  void Settle() {
    std::promise<void> done;
    analytics_->queueOperationWithBlock([&done] { done.set_value(); });
    done.get_future().wait();
    analytics_->queue()->sync([] {});
    harness_.Drain();
  }
  // The stored raw event of that name, or null.
  std::shared_ptr<ZIVEvent> Stored(const std::string& name) {
    for (const auto& raw : harness_.RawEvents()) {
      if (raw->rawEvent()->name() == name) return raw->rawEvent();
    }
    return nullptr;
  }
  static Value Param(const ZIVEvent& event, const std::string& name) {
    auto it = event.parameters().find(name);
    return it == event.parameters().end() || !it->second ? Value() : it->second->object();
  }

  measurement_test::EngineHarness harness_;
  ZIVRuntimeClassRegistry classes_;
  fnd::NotificationCenter center_;
  ZIVIdentifiers identifiers_;
  std::unique_ptr<ZIVAnalytics> analytics_;
  std::unique_ptr<DEVAzodavevu> api_;
  flutter::FlutterEngine flutter_;
};

TEST_F(AnalyticsEndToEndTest, EventsTravelFromChannelBytesToStoredRows) {
  const Value ok(Array{Value()});
  EXPECT_EQ(Send("setConsent", Array{Dictionary{{"adStorageConsentGranted", true},
                                                {"analyticsStorageConsentGranted", true}}}),
            ok);
  EXPECT_EQ(Send("setUserProperty", Array{"favourite_food", "pizza"}), ok);
  EXPECT_EQ(Send("setUserId", Array{"user-42"}), ok);
  EXPECT_EQ(Send("setDefaultEventParameters", Array{Dictionary{{"plan", "gold"}}}), ok);
  Settle();
  EXPECT_EQ(Send("logEvent", Array{Dictionary{{"eventName", "level_up"},
                                              {"parameters", Dictionary{{"level", 3}}}}}),
            ok);
  EXPECT_EQ(
      Send("logEvent",
           Array{Dictionary{
               {"eventName", "purchase"},
               {"parameters",
                Dictionary{{"currency", "EUR"},
                           {"value", 12.5},
                           {"items", Array{Dictionary{{"item_id", "sku-1"}, {"price", 7.5}},
                                           Dictionary{{"item_id", "sku-2"}, {"price", 5.0}}}}}}}}),
      ok);
  Settle();

  Value appInstanceID = Send("getAppInstanceId", Value());
  ASSERT_TRUE(appInstanceID.array());
  EXPECT_EQ((*appInstanceID.array())[0].asString().size(), 32u);
  Value sessionID = Send("getSessionId", Value());
  ASSERT_TRUE(sessionID.array());
  EXPECT_TRUE(sessionID.array()->size() == 1 || sessionID.array()->size() == 3);

  // A new process reads the rows back from the database file.
  harness_.Close();
  harness_.Open();
  auto levelUp = Stored("level_up");
  ASSERT_TRUE(levelUp);
  EXPECT_EQ(levelUp->origin(), "app");
  EXPECT_EQ(Param(*levelUp, "level"), Value::Int64(3));
  EXPECT_EQ(Param(*levelUp, "plan"), Value("gold"));
  auto purchase = Stored("purchase");
  ASSERT_TRUE(purchase);
  EXPECT_EQ(purchase->origin(), "app");
  EXPECT_EQ(Param(*purchase, "currency"), Value("EUR"));
  const fnd::Value items = Param(*purchase, "items");
  ASSERT_TRUE(items.array()) << items.description();
  EXPECT_EQ(items.array()->size(), 2u);
  auto food = harness_.UserProperty("favourite_food");
  ASSERT_TRUE(food);
  EXPECT_EQ(food->origin(), "app");
  EXPECT_EQ(food->value()->stringValue(), "pizza");
  auto userID = harness_.UserProperty("_id");
  ASSERT_TRUE(userID);
  EXPECT_EQ(userID->value()->stringValue(), "user-42");
}

TEST_F(AnalyticsEndToEndTest, OversizedInputStoresNothingInvalid) {
  Dictionary many;
  for (int i = 0; i < 10000; ++i) many.set("p" + std::to_string(i), i);
  Send("logEvent", Array{Dictionary{{"eventName", "big_value"},
                                    {"parameters", Dictionary{{"v", std::string(1 << 20, 'x')}}}}});
  Send("logEvent", Array{Dictionary{{"eventName", "many_params"}, {"parameters", many}}});
  Settle();
  auto big = Stored("big_value");
  ASSERT_TRUE(big);
  // The refused value is not stored: the event carries the error code instead.
  EXPECT_TRUE(Param(*big, "v").isNull());
  EXPECT_FALSE(Param(*big, "_err").isNull());
  auto many_params = Stored("many_params");
  ASSERT_TRUE(many_params);
  EXPECT_LE(ZIVEventPublicParameterCountIgnoringAllowlistedParams(many_params->parameters(), false),
            100);
}

TEST_F(AnalyticsEndToEndTest, BadInputIsRefusedOrAnsweredAndNothingInvalidIsStored) {
  Settle();
  const std::vector<std::string> before = harness_.RawEventNames();
  // Missing or mistyped arguments: the interface's error reply, nothing reaches the engine.
  const struct {
    const char* method;
    Value arguments;
  } refused[] = {
      {"logEvent", Value()},
      {"logEvent", Array{"not a map"}},
      {"setUserProperty", Array{Value(), "v"}},
      {"setUserProperty", Array{"name", 5}},
      {"setUserId", Array{Value(Array{})}},
      {"setConsent", Array{Value()}},
      {"setSessionTimeoutDuration", Array{"1800"}},
      {"setDefaultEventParameters", Array{Dictionary{{1, "x"}}}},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(std::string(c.method) + " " + c.arguments.description());
    Value reply = Send(c.method, c.arguments);
    const Array* list = reply.array();
    ASSERT_TRUE(list && list->size() == 3) << reply.description();
    EXPECT_EQ((*list)[0], Value(kZudiroruAnalyticsErrorCode));
  }
  // A map without a usable name is answered [null] and dropped in silence; garbage bytes are no
  // message at all and get the empty reply.
  EXPECT_EQ(Send("logEvent", Array{Dictionary{{"eventName", 7}}}), Value(Array{Value()}));
  EXPECT_TRUE(SendBytes("logEvent", fnd::Data{0x0c, 0x05, 0xff, 0xfe, 0x07}).empty());
  EXPECT_TRUE(SendBytes("setUserProperty", fnd::Data{0x0c}).empty());
  // Items nested far deeper than an event can hold: the event is stored without them.
  Value nested = Dictionary{{"leaf", 1}};
  for (int i = 0; i < flutter::kFlutterCodecMaxDepth / 2 - 4; ++i) {
    nested = Value(Dictionary{{"items", Array{nested}}});
  }
  EXPECT_EQ(
      Send("logEvent", Array{Dictionary{{"eventName", "deep_items"},
                                        {"parameters", Dictionary{{"items", Array{nested}}}}}}),
      Value(Array{Value()}));
  Settle();

  std::vector<std::string> after = harness_.RawEventNames();
  std::vector<std::string> added(after.begin() + static_cast<long>(before.size()), after.end());
  EXPECT_EQ(added, std::vector<std::string>{"deep_items"});
  auto deep = Stored("deep_items");
  ASSERT_TRUE(deep);
  // Whatever the rules kept of the items, no stored item holds a nested list.
  const Value items = Param(*deep, "items");
  if (const Array* list = items.array()) {
    for (const Value& item : *list) {
      const Dictionary* fields = item.dictionary();
      ASSERT_TRUE(fields);
      for (const auto& [key, value] : *fields) EXPECT_FALSE(value.array()) << key.description();
    }
  }
  EXPECT_EQ(harness_.UserProperty("name"), nullptr);
}

}  // namespace

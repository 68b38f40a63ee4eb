#include "platform/flutter/engine.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/plugin.h"
#include "platform/flutter/standard_codec.h"
#include "platform/foundation/test_home.h"

namespace flutter {
namespace {

// A plugin in the usual shape: a method channel named after it, itself as the channel's
// delegate, itself published.
class CounterPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar) {
    auto channel =
        FlutterMethodChannel::methodChannelWithName("test/counter", registrar.messenger());
    auto plugin = std::make_shared<CounterPlugin>();
    plugin->channel = channel;
    registrar.addMethodCallDelegate(plugin, channel);
    registrar.publish(fnd::Value(std::shared_ptr<fnd::Record>(plugin)));
  }

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override {
    if (call.method() == "increment") {
      count += call.arguments().asInt(1);
      result(count);
      // Tell Dart as well, the way plugins call back into Dart.
      channel->invokeMethod("counted", count);
      return;
    }
    FlutterPlugin::handleMethodCall(call, std::move(result));
  }

  void detachFromEngineForRegistrar(FlutterPluginRegistrar& registrar) override {
    detached = true;
    detachedMessenger = registrar.messenger().get();
  }

  std::shared_ptr<FlutterMethodChannel> channel;
  int64_t count = 0;
  bool detached = false;
  const FlutterBinaryMessenger* detachedMessenger = nullptr;
};

class EngineTest : public ::testing::Test {
 protected:
  void TearDown() override { pump(); }
  static void pump() { dispatch::RunLoop::main().runUntilIdle(); }

  fnd::ScopedTestHome home_;
  FlutterEngine engine_;
};

TEST_F(EngineTest, RegistrarsShareTheEngineMessengerAndRememberPlugins) {
  EXPECT_FALSE(engine_.hasPlugin("CounterPlugin"));
  auto registrar = engine_.registrarForPlugin("CounterPlugin");
  auto other = engine_.registrarForPlugin("Other");
  EXPECT_EQ(registrar->messenger(), engine_.binaryMessenger());
  EXPECT_EQ(other->messenger(), engine_.binaryMessenger());
  EXPECT_TRUE(engine_.hasPlugin("CounterPlugin"));
  EXPECT_TRUE(engine_.hasPlugin("Other"));
  EXPECT_FALSE(engine_.hasPlugin("counterplugin"));
  EXPECT_TRUE(engine_.valuePublishedByPlugin("CounterPlugin").isNull());

  registrar->publish("published");
  EXPECT_EQ(engine_.valuePublishedByPlugin("CounterPlugin"), fnd::Value("published"));
  EXPECT_TRUE(engine_.valuePublishedByPlugin("Other").isNull());
  EXPECT_TRUE(engine_.valuePublishedByPlugin("Unknown").isNull());

  // A key asked for twice still works, and still names one plugin.
  auto again = engine_.registrarForPlugin("CounterPlugin");
  again->publish(2);
  EXPECT_EQ(engine_.valuePublishedByPlugin("CounterPlugin"), fnd::Value(2));
  EXPECT_EQ(registrar->viewController(), nullptr);
}

TEST_F(EngineTest, PluginAnswersDartThroughItsMethodChannel) {
  CounterPlugin::registerWithRegistrar(*engine_.registrarForPlugin("CounterPlugin"));
  auto plugin = engine_.valuePublishedByPlugin("CounterPlugin").recordAs<CounterPlugin>();
  ASSERT_TRUE(plugin);

  auto first = engine_.dart().invokeMethod("test/counter", "increment", 5);
  auto second = engine_.dart().invokeMethod("test/counter", "increment", {});
  auto unknown = engine_.dart().invokeMethod("test/counter", "reset", {});
  pump();
  EXPECT_EQ(*first->envelope(), fnd::Value(5));
  EXPECT_EQ(*second->envelope(), fnd::Value(6));
  EXPECT_EQ(*unknown->envelope(), FlutterMethodNotImplemented());
  EXPECT_EQ(engine_.dart().methodCalls("test/counter"),
            (std::vector<FlutterMethodCall>{FlutterMethodCall("counted", 5),
                                            FlutterMethodCall("counted", 6)}));
}

TEST_F(EngineTest, ShutDownDetachesPublishedPluginsAndSilencesChannels) {
  CounterPlugin::registerWithRegistrar(*engine_.registrarForPlugin("CounterPlugin"));
  auto plugin = engine_.valuePublishedByPlugin("CounterPlugin").recordAs<CounterPlugin>();
  ASSERT_TRUE(plugin);
  EXPECT_EQ(engine_.engineMessenger()->messageHandlerChannels(),
            std::vector<std::string>{"test/counter"});
  engine_.shutDownEngine();
  EXPECT_TRUE(engine_.engineMessenger()->messageHandlerChannels().empty());
  EXPECT_TRUE(plugin->detached);
  EXPECT_EQ(plugin->detachedMessenger, engine_.binaryMessenger().get());
  EXPECT_TRUE(engine_.valuePublishedByPlugin("CounterPlugin").isNull());

  auto reply = engine_.dart().invokeMethod("test/counter", "increment", 1);
  pump();
  EXPECT_EQ(*reply->envelope(), FlutterMethodNotImplemented());
  EXPECT_EQ(plugin->count, 0);
  engine_.shutDownEngine();  // Once is enough; again does nothing.
}

TEST_F(EngineTest, DartEndpointRefusesWhatItCannotEncode) {
  fnd::Error error;
  EXPECT_EQ(engine_.dart().invokeMethod("c", "m", fnd::Date{0}, nullptr, &error), nullptr);
  EXPECT_EQ(error.code(), kFlutterCodecUnsupportedValue);
  EXPECT_EQ(engine_.dart().sendMessage("c", fnd::Date{0}, nullptr, &error), nullptr);
  EXPECT_EQ(engine_.dart().messageCount(), 0u);
  // A reply asked for before it comes is an error, not a value.
  auto pending = engine_.dart().send("c", {});
  EXPECT_FALSE(pending->envelope(nullptr, &error));
  pump();
  EXPECT_TRUE(pending->received());
}

TEST_F(EngineTest, DartAnswersHostCallsWithEnvelopes) {
  auto channel = FlutterMethodChannel::methodChannelWithName("to-dart", engine_.binaryMessenger());
  engine_.dart().setMethodCallHandler("to-dart", [](const FlutterMethodCall& call) -> fnd::Value {
    if (call.method() == "date") return fnd::Date{0};  // Dart cannot send that either.
    return call.method();
  });
  std::vector<fnd::Value> results;
  channel->invokeMethod("name", {}, [&](const fnd::Value& r) { results.push_back(r); });
  channel->invokeMethod("date", {}, [&](const fnd::Value& r) { results.push_back(r); });
  engine_.binaryMessenger()->sendOnChannel(
      "to-dart", fnd::Data{1, 2, 3},
      [&](const fnd::Data& reply) { results.push_back(fnd::Value(reply)); });
  pump();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0], fnd::Value("name"));
  auto dateError = FlutterError::fromValue(results[1]);
  ASSERT_TRUE(dateError);
  EXPECT_EQ(dateError->code(), kFlutterEncodeErrorCode);
  auto garbage = FlutterStandardMethodCodec::sharedInstance()->decodeEnvelope(*results[2].data());
  ASSERT_TRUE(garbage);
  EXPECT_EQ(FlutterError::fromValue(*garbage)->code(), kFlutterDecodeErrorCode);
  engine_.dart().clearMessages();
  EXPECT_EQ(engine_.dart().messageCount(), 0u);
}

}  // namespace
}  // namespace flutter

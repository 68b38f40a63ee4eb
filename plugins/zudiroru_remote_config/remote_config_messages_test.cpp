#include "plugins/zudiroru_remote_config/remote_config_messages.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/test_home.h"

namespace {

using fnd::Array;
using fnd::Value;

Value Settings(int64_t timeout, int64_t interval) {
  return Value(std::shared_ptr<fnd::Record>(
      std::make_shared<RemoteConfigPigeonSettings>(timeout, interval)));
}

TEST(RemoteConfigMessagesTest, SettingsTravelUnderTypeByte129) {
  auto codec = ZudiroruRemoteConfigMessagesPigeonCodec::shared();
  EXPECT_EQ(codec, ZudiroruRemoteConfigMessagesPigeonCodec::shared());
  auto bytes = codec->encode(Value(Array{Settings(30, 3600)}));
  ASSERT_TRUE(bytes);
  // A list of one element, then the record: 129 and its field list of two int64 values.
  ASSERT_GE(bytes->size(), 5u);
  EXPECT_EQ((*bytes)[2], 129);
  EXPECT_EQ((*bytes)[3], 12);
  auto back = codec->decode(*bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, Value(Array{Settings(30, 3600)}));
  EXPECT_NE(*back, Value(Array{Settings(30, 3601)}));
  EXPECT_EQ(Settings(1, 2).hash(), Settings(1, 2).hash());

  // A record whose fields are not two integers does not decode.
  for (const Value& fields : {Value(Array{1}), Value(Array{"1", 2}), Value("x")}) {
    fnd::Data data = {129};
    auto rest = flutter::FlutterStandardMessageCodec::sharedInstance()->encode(fields);
    data.insert(data.end(), rest->begin(), rest->end());
    fnd::Error error;
    EXPECT_FALSE(codec->decode(data, &error)) << fields.description();
    EXPECT_EQ(error.code(), flutter::kFlutterCodecInvalidValue);
  }
}

TEST(RemoteConfigMessagesTest, DeepEquality) {
  struct Case {
    std::optional<Value> a, b;
    bool equal;
  } cases[] = {
      {Value(), std::nullopt, true},
      {Value(Array{1, 2}), Value(Array{1, 2}), true},
      {Value(Array{1, 2}), Value(Array{1}), false},
      {Value(Array{1, Value()}), Value(Array{1, Value()}), true},
      {Value(fnd::Dictionary{{"a", 1}}), Value(fnd::Dictionary{{"b", 1}}), false},
      {Value(fnd::Dictionary{{"a", 1}, {"b", 2}}), Value(fnd::Dictionary{{"b", 2}, {"a", 1}}),
       true},
      {Value(1), Value("1"), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(deepEqualsZudiroruRemoteConfigMessages(c.a, c.b), c.equal)
        << (c.a ? c.a->description() : "absent") << " vs " << (c.b ? c.b->description() : "absent");
    if (c.equal) {
      zudiroru::PigeonHasher left, right;
      deepHashZudiroruRemoteConfigMessages(c.a, left);
      deepHashZudiroruRemoteConfigMessages(c.b, right);
      EXPECT_EQ(left.finalize(), right.finalize());
    }
  }
}

// Answers every method at once: null, false or an empty map, or fails with `failure`.
class CannedApi : public ZudiroruRemoteConfigHostApi {
 public:
  template <typename T>
  void answer(const Completion<T>& completion, T value) {
    calls.push_back(last);
    if (failure) {
      completion(ZudiroruRemoteConfigResult<T>::failure(*failure));
    } else {
      completion(ZudiroruRemoteConfigResult<T>::success(std::move(value)));
    }
  }
  void fetch(const std::string& a, NullCompletion c) override { note(a), answer(c, nullptr); }
  void fetchAndActivate(const std::string& a, Completion<bool> c) override {
    note(a), answer(c, false);
  }
  void activate(const std::string& a, Completion<bool> c) override { note(a), answer(c, true); }
  void setConfigSettings(const std::string& a, const RemoteConfigPigeonSettings& s,
                         NullCompletion c) override {
    note(a + " " + std::to_string(s.fetchTimeoutSeconds)), answer(c, nullptr);
  }
  void setDefaults(const std::string& a, const fnd::Dictionary&, NullCompletion c) override {
    note(a), answer(c, nullptr);
  }
  void ensureInitialized(const std::string& a, NullCompletion c) override {
    note(a), answer(c, nullptr);
  }
  void setCustomSignals(const std::string& a, const fnd::Dictionary&, NullCompletion c) override {
    note(a), answer(c, nullptr);
  }
  void getAll(const std::string& a, Completion<fnd::Dictionary> c) override {
    note(a), answer(c, fnd::Dictionary{});
  }
  void getProperties(const std::string& a, Completion<fnd::Dictionary> c) override {
    note(a), answer(c, fnd::Dictionary{{"x", 1}});
  }
  void note(std::string s) { last = std::move(s); }

  std::string last;
  std::vector<std::string> calls;
  std::optional<Value> failure;
};

class HostApiSetupTest : public ::testing::Test {
 protected:
  void TearDown() override {
    engine_.shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
  }
  std::shared_ptr<flutter::FlutterDartReply> Send(const std::string& channel,
                                                  const Value& message) {
    auto reply = engine_.dart().sendMessage(channel, message,
                                            ZudiroruRemoteConfigMessagesPigeonCodec::shared());
    dispatch::RunLoop::main().runUntilIdle();
    return reply;
  }
  Value Reply(const std::string& channel, const Value& message) {
    auto reply = Send(channel, message);
    EXPECT_TRUE(reply->received());
    return reply->message(ZudiroruRemoteConfigMessagesPigeonCodec::shared())
        .value_or(Value("malformed"));
  }
  static std::string Channel(const std::string& method, const std::string& suffix = "") {
    return "dev.flutter.pigeon.zudiroru_remote_config_platform_interface."
           "ZudiroruRemoteConfigHostApi." +
           method + (suffix.empty() ? "" : "." + suffix);
  }

  fnd::ScopedTestHome home_;
  flutter::FlutterEngine engine_;
  std::shared_ptr<CannedApi> api_ = std::make_shared<CannedApi>();
};

TEST_F(HostApiSetupTest, EveryMethodHasItsChannelAndReplyShape) {
  ZudiroruRemoteConfigHostApiSetup::setUp(engine_.binaryMessenger(), api_, "");
  struct Case {
    const char* method;
    Value message;
    Value reply;
  } cases[] = {
      {"fetch", Array{"a"}, Array{Value()}},
      {"fetchAndActivate", Array{"a"}, Array{false}},
      {"activate", Array{"a"}, Array{true}},
      {"setConfigSettings", Array{"a", Settings(30, 60)}, Array{Value()}},
      {"setDefaults", Array{"a", fnd::Dictionary{{"k", 1}}}, Array{Value()}},
      {"ensureInitialized", Array{"a"}, Array{Value()}},
      {"setCustomSignals", Array{"a", fnd::Dictionary{}}, Array{Value()}},
      {"getAll", Array{"a"}, Array{fnd::Dictionary{}}},
      {"getProperties", Array{"a"}, Array{fnd::Dictionary{{"x", 1}}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Reply(Channel(c.method), c.message), c.reply) << c.method;
  EXPECT_EQ(api_->calls.size(), std::size(cases));
  EXPECT_EQ(api_->calls[3], "a 30");

  // Errors: a FlutterError or PigeonError as their three members, anything else described.
  api_->failure = flutter::FlutterError::errorWithCode("c", "m", 5);
  EXPECT_EQ(Reply(Channel("fetch"), Array{"a"}), Value(Array{"c", "m", 5}));
  api_->failure = Value(std::shared_ptr<fnd::Record>(std::make_shared<zudiroru::PigeonError>("p")));
  EXPECT_EQ(Reply(Channel("fetch"), Array{"a"}), Value(Array{"p", Value(), Value()}));
  api_->failure = Value("odd");
  Value odd = Reply(Channel("activate"), Array{"a"});
  ASSERT_EQ(odd.array()->size(), 3u);
  EXPECT_EQ(odd.array()->at(2).asString().rfind("Stacktrace: ", 0), 0u);
}

TEST_F(HostApiSetupTest, ArgumentsThatDoNotFitAreRefused) {
  ZudiroruRemoteConfigHostApiSetup::setUp(engine_.binaryMessenger(), api_);
  struct Case {
    const char* method;
    Value message;
    const char* problem;
  } cases[] = {
      {"fetch", Value(), "the message must be a list of arguments"},
      {"fetch", Array{}, "\"appName\" must be a string"},
      {"getAll", Array{7}, "\"appName\" must be a string"},
      {"setConfigSettings", Array{"a"}, "\"settings\" must be a RemoteConfigPigeonSettings"},
      {"setDefaults", Array{"a", Array{}}, "\"defaultParameters\" must be a map with text keys"},
      {"setCustomSignals", Array{"a", fnd::Dictionary{{1, 2}}},
       "\"customSignals\" must be a map with text keys"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Reply(Channel(c.method), c.message),
              Value(Array{"zudiroru_remote_config",
                          std::string("Invalid arguments for ") + c.method + ": " + c.problem + ".",
                          Value()}))
        << c.method;
  }
  EXPECT_TRUE(api_->calls.empty());
}

TEST_F(HostApiSetupTest, SuffixesAndClearing) {
  ZudiroruRemoteConfigHostApiSetup::setUp(engine_.binaryMessenger(), api_, "two");
  EXPECT_EQ(Reply(Channel("fetch", "two"), Array{"a"}), Value(Array{Value()}));
  EXPECT_TRUE(Send(Channel("fetch"), Array{"a"})->data().empty());  // Nobody on the plain name.

  ZudiroruRemoteConfigHostApiSetup::setUp(engine_.binaryMessenger(), nullptr, "two");
  auto cleared = Send(Channel("fetch", "two"), Array{"a"});
  EXPECT_TRUE(cleared->received());
  EXPECT_TRUE(cleared->data().empty());
}

}  // namespace

#include "plugins/zudiroru_core/zudiroru_core_plugin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"
#include "plugins/zudiroru_core/core_messages.h"
#include "plugins/zudiroru_core/pigeon.h"

namespace {

using fnd::Array;
using fnd::Value;

// The registry's key for the core plugin, under which its (empty) constants reach Dart.
constexpr const char* kCoreChannel = "dev.flutter.pigeon.ZudiroruCoreHostApi.initializeApp";

// A bridge whose reinitialisation answers only when the test says so.
class SlowBridge : public FLTZudiroruPlugin {
 public:
  void didReinitializeZudiroruCore(std::function<void()> completion) override {
    pending.push_back(std::move(completion));
  }
  fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu&) override { return {{"slow", true}}; }
  std::string zudiroruLibraryName() const override { return "slow-bridge"; }
  std::string zudiroruLibraryVersion() const override { return "1.0"; }
  std::string flutterChannelName() const override { return "plugins.flutter.io/slow"; }

  std::vector<std::function<void()>> pending;
};

class CorePluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    bundle_ = home_.path() + "/Bundle";
    ::mkdir(bundle_.c_str(), 0755);
    fnd::Bundle::setMainBundlePath(bundle_);
  }
  void TearDown() override {
    if (engine_) engine_->shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
    fnd::Bundle::setMainBundlePath("");
    DAVOdu::resetForTesting();
  }

  void WriteOptionsFile() {
    ASSERT_TRUE(
        fnd::PropertyList::WriteFile(Value(fnd::Dictionary{{"RIVADO_APP_ID", "1:448:ios:abc"},
                                                           {"RCM_SENDER_ID", "448"},
                                                           {"API_KEY", "key-default"},
                                                           {"PROJECT_ID", "proj"},
                                                           {"BUNDLE_ID", "com.example.app"},
                                                           {"CLIENT_ID", "client-default"},
                                                           {"STORAGE_BUCKET", "bucket"},
                                                           {"DATABASE_URL", "https://db.example"}}),
                                     bundle_ + "/RivadoService-Info.plist"));
  }

  // Makes the plugin the way the shared instance is made, and installs its channels.
  void StartPlugin() {
    engine_ = std::make_unique<flutter::FlutterEngine>();
    plugin_ = FLTZudiroruCorePlugin::createRegisteredWith(registry_);
    FLTZudiroruCorePlugin::registerWithRegistrar(
        *engine_->registrarForPlugin("FLTZudiroruCorePlugin"), plugin_);
  }

  static std::string Channel(const char* name) { return zudiroru::PigeonChannelName(name); }

  // Sends a message the way Dart does and returns the host's decoded reply.
  std::shared_ptr<flutter::FlutterDartReply> SendAsync(const char* name, const Value& message) {
    fnd::Error error;
    auto reply =
        engine_->dart().sendMessage(Channel(name), message, ZudiroruCoreGetCodec(), &error);
    EXPECT_NE(reply, nullptr) << error.description();
    dispatch::RunLoop::main().runUntilIdle();
    return reply;
  }
  Value Send(const char* name, const Value& message) {
    auto reply = SendAsync(name, message);
    EXPECT_TRUE(reply->received());
    fnd::Error error;
    auto value = reply->message(ZudiroruCoreGetCodec(), &error);
    EXPECT_TRUE(value) << error.description();
    return value.value_or(Value("no reply"));
  }
  // The single result of a success envelope.
  static Value Result(const Value& reply) {
    EXPECT_TRUE(reply.isArray() && reply.array()->size() == 1) << reply.description();
    return GetNullableObjectAtIndex(reply, 0);
  }
  static std::shared_ptr<CoreInitializeResponse> Response(const Value& v) {
    auto r = v.recordAs<CoreInitializeResponse>();
    EXPECT_NE(r, nullptr) << v.description();
    return r ? r : std::make_shared<CoreInitializeResponse>();
  }
  static Value Options(const char* appId, const char* authDomain = nullptr) {
    auto o = CoreZudiroruOptions::make(
        "key-2", appId ? std::optional<std::string>(appId) : std::nullopt, "sender-2", "proj-2",
        authDomain ? std::optional<std::string>(authDomain) : std::nullopt, "https://db2.example",
        "bucket-2", "G-MEASURE", "UA-TRACK", "scheme", "android-client", "ios-client-2",
        "com.example.two", "group.two");
    return Value(std::shared_ptr<fnd::Record>(o));
  }

  fnd::ScopedTestHome home_;
  std::string bundle_;
  FLTZudiroruPluginRegistry registry_;
  std::unique_ptr<flutter::FlutterEngine> engine_;
  std::shared_ptr<FLTZudiroruCorePlugin> plugin_;
};

TEST_F(CorePluginTest, FirstInitializeCoreDescribesTheDefaultAppFromTheOptionsFile) {
  WriteOptionsFile();
  StartPlugin();
  EXPECT_NE(DAVOdu::zudiroruUserAgent().find("flutter-dero-core/4.3.0"), std::string::npos);

  Value result = Result(Send(kZudiroruCoreInitializeCoreChannel, Value()));
  ASSERT_TRUE(result.isArray());
  ASSERT_EQ(result.array()->size(), 1u);
  auto response = Response(result.array()->at(0));
  EXPECT_EQ(response->name, "[DEFAULT]");
  EXPECT_EQ(response->isAutomaticDataCollectionEnabled, true);
  EXPECT_EQ(response->pluginConstants, (fnd::Dictionary{{kCoreChannel, fnd::Dictionary{}}}));
  ASSERT_NE(response->options, nullptr);
  EXPECT_EQ(
      response->options->toList(),
      (Array{"key-default", "1:448:ios:abc", "448", "proj", Value(), "https://db.example", "bucket",
             Value(), Value(), Value(), Value(), "client-default", "com.example.app", Value()}));
}

TEST_F(CorePluginTest, AnExistingDefaultAppIsKeptAndNoOptionsFileMeansNoApp) {
  StartPlugin();
  EXPECT_EQ(Result(Send(kZudiroruCoreInitializeCoreChannel, Value())), Value(Array{}));
  engine_->shutDownEngine();

  WriteOptionsFile();
  ASSERT_TRUE(DAVOdu::configureWithOptions(DEVOptions("1:already:there", "1")));
  StartPlugin();
  EXPECT_EQ(DAVOdu::defaultApp()->options().rivadoAppID(), "1:already:there");
}

TEST_F(CorePluginTest, InitializeAppConfiguresANewAppFromDartOptions) {
  StartPlugin();
  Value reply = Send(kZudiroruCoreInitializeAppChannel,
                     Value(Array{"second", Options("1:2:ios:two", "two.auth.example")}));
  auto response = Response(Result(reply));
  EXPECT_EQ(response->name, "second");
  // What the vendor core keeps: deepLinkURLScheme, authDomain, measurementId, trackingId and
  // androidClientId do not come back.
  EXPECT_EQ(response->options->toList(),
            (Array{"key-2", "1:2:ios:two", "sender-2", "proj-2", Value(), "https://db2.example",
                   "bucket-2", Value(), Value(), Value(), Value(), "ios-client-2",
                   "com.example.two", "group.two"}));
  EXPECT_EQ(FLTZudiroruCorePlugin::getCustomDomain("second"), "two.auth.example");
  EXPECT_EQ(FLTZudiroruCorePlugin::getCustomDomain("unknown"), std::nullopt);
  // An app that could not be configured leaves no domain behind.
  Send(kZudiroruCoreInitializeAppChannel, Value(Array{"refused", Options(nullptr, "x.example")}));
  EXPECT_EQ(FLTZudiroruCorePlugin::getCustomDomain("refused"), std::nullopt);

  // The same name again answers the existing app and ignores what was sent.
  Value again =
      Send(kZudiroruCoreInitializeAppChannel, Value(Array{"second", Options("1:9:ios:other")}));
  EXPECT_EQ(Response(Result(again))->options->appId, "1:2:ios:two");
}

TEST_F(CorePluginTest, InitializeAppForDefaultMapsTheDartName) {
  WriteOptionsFile();
  StartPlugin();
  Value reply =
      Send(kZudiroruCoreInitializeAppChannel, Value(Array{"[DEFAULT]", Options("1:ignored")}));
  auto response = Response(Result(reply));
  EXPECT_EQ(response->name, "[DEFAULT]");
  EXPECT_EQ(response->options->appId, "1:448:ios:abc");
}

TEST_F(CorePluginTest, InitializeAppThatTheVendorCoreRefusesAnswersAnError) {
  StartPlugin();
  struct Case {
    const char* what;
    Value message;
  } cases[] = {
      {"options without an app id", Value(Array{"noid", Options(nullptr)})},
      {"no options at all", Value(Array{"noopts"})},
      {"an empty list", Value(Array{})},
  };
  for (const Case& c : cases) {
    Value reply = Send(kZudiroruCoreInitializeAppChannel, c.message);
    ASSERT_TRUE(reply.isArray()) << c.what;
    ASSERT_EQ(reply.array()->size(), 3u) << c.what;
    EXPECT_EQ(reply.array()->at(0), Value("initialize-app-failed")) << c.what;
    EXPECT_EQ(reply.array()->at(1), Value("Failed to initialize a Zudiroru app instance."));
    const fnd::Dictionary* details = reply.array()->at(2).dictionary();
    ASSERT_NE(details, nullptr) << c.what;
    EXPECT_TRUE(details->contains("nativeErrorCode")) << c.what;
  }
  EXPECT_TRUE(DAVOdu::allApps().empty());
}

TEST_F(CorePluginTest, LaterInitializeCoreWaitsForEveryBridge) {
  WriteOptionsFile();
  StartPlugin();
  auto slow = std::make_shared<SlowBridge>();
  registry_.registerZudiroruPlugin(slow);

  // The first call answers at once and asks no bridge.
  auto first = SendAsync(kZudiroruCoreInitializeCoreChannel, Value());
  EXPECT_TRUE(first->received());
  EXPECT_TRUE(slow->pending.empty());

  // A hot restart: the answer waits for the slow bridge.
  auto second = SendAsync(kZudiroruCoreInitializeCoreChannel, Value());
  ASSERT_EQ(slow->pending.size(), 1u);
  EXPECT_FALSE(second->received());
  slow->pending[0]();
  dispatch::RunLoop::main().runUntilIdle();
  ASSERT_TRUE(second->received());
  auto response = Response(Result(*second->message(ZudiroruCoreGetCodec())).array()->at(0));
  EXPECT_EQ(response->pluginConstants,
            (fnd::Dictionary{{kCoreChannel, fnd::Dictionary{}},
                             {"plugins.flutter.io/slow", fnd::Dictionary{{"slow", true}}}}));

  // A bridge answering from another thread.
  auto third = SendAsync(kZudiroruCoreInitializeCoreChannel, Value());
  ASSERT_EQ(slow->pending.size(), 2u);
  std::thread answer(slow->pending[1]);
  answer.join();
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return third->received(); }));
  EXPECT_EQ(Result(*third->message(ZudiroruCoreGetCodec())).array()->size(), 1u);
}

TEST_F(CorePluginTest, DataCollectionSwitch) {
  WriteOptionsFile();
  StartPlugin();
  struct Case {
    Value message;
    bool expected;
  } cases[] = {
      {Value(Array{"[DEFAULT]", false}), false},
      {Value(Array{"[DEFAULT]", true}), true},
      {Value(Array{"[DEFAULT]"}), false},  // A missing boolean reads as NO.
      {Value(Array{"unknown", true}), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Send(kZudiroruAppSetAutomaticDataCollectionEnabledChannel, c.message),
              Value(Array{Value()}));
    EXPECT_EQ(DAVOdu::defaultApp()->isDataCollectionDefaultEnabled(), c.expected)
        << c.message.description();
  }
  Value cores = Result(Send(kZudiroruCoreInitializeCoreChannel, Value()));
  EXPECT_EQ(Response(cores.array()->at(0))->isAutomaticDataCollectionEnabled, false);
}

TEST_F(CorePluginTest, ResourceManagementAndOptionsFromResourceAnswerNull) {
  StartPlugin();
  EXPECT_EQ(Send(kZudiroruAppSetAutomaticResourceManagementEnabledChannel,
                 Value(Array{"[DEFAULT]", true})),
            Value(Array{Value()}));
  EXPECT_EQ(Send(kZudiroruCoreOptionsFromResourceChannel, Value()), Value(Array{Value()}));
}

TEST_F(CorePluginTest, DeleteAnswersOnTheWire) {
  StartPlugin();
  ASSERT_TRUE(DAVOdu::configureWithName("doomed", DEVOptions("1:d", "1")));
  ASSERT_TRUE(DAVOdu::configureWithName("stuck", DEVOptions("1:s", "1")));
  DAVOdu::setDeleteAppFault([](const DAVOdu& app) -> std::optional<fnd::Error> {
    if (app.name() != "stuck") return std::nullopt;
    return fnd::Error::withDescription("test", 1, "refused");
  });
  // [null] and the error triple, byte for byte.
  const fnd::Data success = {12, 1, 0};
  fnd::Data failure = {12, 3, 7, 13};
  for (char ch : std::string("delete-failed")) failure.push_back(ch);
  failure.insert(failure.end(), {7, 41});
  for (char ch : std::string("Failed to delete a Zudiroru app instance.")) failure.push_back(ch);
  failure.push_back(0);

  struct Case {
    const char* name;
    fnd::Data expected;
    bool remains;
  } cases[] = {
      {"doomed", success, false},
      {"doomed", success, false},  // Already gone: success.
      {"never-was", success, false},
      {"stuck", failure, true},
  };
  for (const Case& c : cases) {
    fnd::Data message = {12, 1, 7, static_cast<uint8_t>(std::string(c.name).size())};
    for (char ch : std::string(c.name)) message.push_back(ch);
    auto reply = engine_->dart().send(Channel(kZudiroruAppDeleteChannel), message);
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_EQ(reply->data(), c.expected) << c.name;
    EXPECT_EQ(DAVOdu::appNamed(c.name) != nullptr, c.remains) << c.name;
  }
}

TEST_F(CorePluginTest, MalformedMessagesGetAnAnswerAndDoNotCrash) {
  WriteOptionsFile();
  StartPlugin();
  // Not a list: the app name reads as absent, which names no app.
  EXPECT_EQ(Send(kZudiroruAppDeleteChannel, Value("[DEFAULT]")), Value(Array{Value()}));
  EXPECT_NE(DAVOdu::defaultApp(), nullptr);
  // Bytes that do not decode get the empty reply.
  auto reply = engine_->dart().send(Channel(kZudiroruAppDeleteChannel), fnd::Data{12, 5, 7});
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(reply->received());
  EXPECT_TRUE(reply->data().empty());
}

TEST_F(CorePluginTest, ChannelsCanBeClearedAndSuffixed) {
  StartPlugin();
  auto messenger = engine_->binaryMessenger();
  SetUpZudiroruAppHostApi(messenger, nullptr);
  auto cleared = engine_->dart().sendMessage(Channel(kZudiroruAppDeleteChannel), Value(Array{"x"}),
                                             ZudiroruCoreGetCodec());
  SetUpZudiroruCoreHostApiWithSuffix(messenger, plugin_, "second");
  auto suffixed = engine_->dart().sendMessage(
      zudiroru::PigeonChannelName(kZudiroruCoreOptionsFromResourceChannel, "second"), Value(),
      ZudiroruCoreGetCodec());
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(cleared->data().empty());
  EXPECT_EQ(suffixed->message(ZudiroruCoreGetCodec()), Value(Array{Value()}));
}

}  // namespace

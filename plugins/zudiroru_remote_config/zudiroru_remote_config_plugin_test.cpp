#include "plugins/zudiroru_remote_config/zudiroru_remote_config_plugin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/test_home.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

constexpr const char* kStream = "plugins.flutter.io/zudiroru_remote_config_updated";
constexpr const char* kRegistryKey = "plugins.flutter.io/zudiroru_remote_config";

Value Bytes(const std::string& text) { return Value(fnd::Data(text.begin(), text.end())); }

Value Param(const std::string& text, const char* source) {
  return Value(Dictionary{{"value", Bytes(text)}, {"source", source}});
}

class RemoteConfigPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    ASSERT_TRUE(DAVOdu::configureWithOptions(DEVOptions("1:default", "1")));
    ASSERT_TRUE(DAVOdu::configureWithName("second", DEVOptions("1:second", "1")));
    plugin_ = ZudiroruRemoteConfigPlugin::createRegisteredWith(
        registry_, [this](const DAVOdu& app) -> std::shared_ptr<DEVRemoteConfig> {
          auto& config = configs_[app.name()];
          if (!config) config = DEVRemoteConfig::create(app.name(), nullptr, clock_);
          return config;
        });
    ZudiroruRemoteConfigPlugin::registerWith(
        *engine_.registrarForPlugin("ZudiroruRemoteConfigPlugin"), plugin_);
  }
  void TearDown() override {
    engine_.shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
    DAVOdu::resetForTesting();
  }

  DEVRemoteConfig& Config(const std::string& name = DAVOdu::kDefaultAppName) {
    return *ConfigFor(name);
  }
  std::shared_ptr<DEVRemoteConfig> ConfigFor(const std::string& name) {
    auto app = DAVOdu::appNamed(name);
    EXPECT_NE(app, nullptr);
    auto& config = configs_[name];
    if (!config) config = DEVRemoteConfig::create(name, nullptr, clock_);
    return config;
  }

  // Sends a host-interface message the way Dart does; waits for the answer, which may come from
  // another thread.
  Value Send(const std::string& method, Array arguments) {
    auto codec = ZudiroruRemoteConfigMessagesPigeonCodec::shared();
    auto reply = engine_.dart().sendMessage(
        zudiroru::PigeonChannelName(
            std::string("zudiroru_remote_config_platform_interface.ZudiroruRemoteConfigHostApi.") +
            method),
        Value(std::move(arguments)), codec);
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); })) << method;
    return reply->message(codec).value_or(Value("malformed"));
  }
  static Value Ok(Value result = Value()) { return Value(Array{std::move(result)}); }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ =
      std::make_shared<dispatch::ManualClock>(1000.0, 50.0);
  std::map<std::string, std::shared_ptr<DEVRemoteConfig>> configs_;
  FLTZudiroruPluginRegistry registry_;
  flutter::FlutterEngine engine_;
  std::shared_ptr<ZudiroruRemoteConfigPlugin> plugin_;
};

TEST_F(RemoteConfigPluginTest, RegistrationAndConstants) {
  EXPECT_NE(DAVOdu::zudiroruUserAgent().find("flutter-dero-rc/5.4.7"), std::string::npos);
  Config().setDefaults(Dictionary{{"greeting", "hi"}});
  Dictionary constants = registry_.pluginConstantsForDAVOdu(*DAVOdu::defaultApp());
  EXPECT_EQ(constants,
            (Dictionary{
                {kRegistryKey, Dictionary{
                                   {"fetchTimeout", 60},
                                   {"minimumFetchInterval", 43200},
                                   {"lastFetchTime", 0},
                                   {"lastFetchStatus", "noFetchYet"},
                                   {"parameters", Dictionary{{"greeting", Param("hi", "default")}}},
                               }}}));
  bool reinitialized = false;
  registry_.didReinitializeZudiroruCore([&] { reinitialized = true; });
  EXPECT_TRUE(reinitialized);
}

TEST_F(RemoteConfigPluginTest, FetchActivateAndReadParameters) {
  EXPECT_EQ(Send("setDefaults", {"[DEFAULT]", Dictionary{{"a", "d"}, {"b", Value()}, {"n", 1}}}),
            Ok());
  EXPECT_EQ(Config().allKeysFromSource(DEVRemoteConfigSourceDefault),
            (std::vector<std::string>{"a", "n"}));
  Config().setServerTemplate(Dictionary{{"a", "r"}, {"c", "x"}});

  EXPECT_EQ(Send("fetch", {"[DEFAULT]"}), Ok());
  EXPECT_EQ(Send("getAll", {"[DEFAULT]"}),
            Ok(Dictionary{{"a", Param("d", "default")}, {"n", Param("1", "default")}}));
  EXPECT_EQ(Send("activate", {"[DEFAULT]"}), Ok(true));
  EXPECT_EQ(Send("activate", {"[DEFAULT]"}), Ok(false));
  EXPECT_EQ(Send("getAll", {"[DEFAULT]"}), Ok(Dictionary{{"a", Param("r", "remote")},
                                                         {"c", Param("x", "remote")},
                                                         {"n", Param("1", "default")}}));

  // Within the minimum fetch interval the fetched data is used again: false, not an error.
  EXPECT_EQ(Send("fetchAndActivate", {"[DEFAULT]"}), Ok(false));
  EXPECT_EQ(Send("setConfigSettings",
                 {"[DEFAULT]", Value(std::shared_ptr<fnd::Record>(
                                   std::make_shared<RemoteConfigPigeonSettings>(30, 3600)))}),
            Ok());
  EXPECT_EQ(Config().configSettings().fetchTimeout(), 30.0);
  EXPECT_EQ(Config().configSettings().minimumFetchInterval(), 3600.0);
  clock_->advance(3600);
  EXPECT_EQ(Send("fetchAndActivate", {"[DEFAULT]"}), Ok(true));
  EXPECT_EQ(Send("ensureInitialized", {"[DEFAULT]"}), Ok());

  // The other app is untouched.
  EXPECT_EQ(Send("getAll", {"second"}), Ok(Dictionary{}));
}

TEST_F(RemoteConfigPluginTest, Properties) {
  struct Case {
    const char* what;
    std::function<void(DEVRemoteConfig&)> step;
    Dictionary expected;
  } cases[] = {
      {"before any fetch", [](DEVRemoteConfig&) {},
       Dictionary{{"fetchTimeout", 60},
                  {"minimumFetchInterval", 43200},
                  {"lastFetchTime", 0},
                  {"lastFetchStatus", "noFetchYet"}}},
      {"fractional settings and fetch time",
       [this](DEVRemoteConfig& c) {
         DEVRemoteConfigSettings s;
         s.setFetchTimeout(60.5);
         s.setMinimumFetchInterval(0.9);
         c.setConfigSettings(s);
         clock_->setWallTime(100.9);
         c.fetchWithCompletionHandler(nullptr);
       },
       Dictionary{{"fetchTimeout", 60},
                  {"minimumFetchInterval", 0},
                  {"lastFetchTime", 100},
                  {"lastFetchStatus", "success"}}},
      {"throttled",
       [this](DEVRemoteConfig& c) {
         clock_->advance(10);
         c.throttleNextFetch();
         c.fetchWithCompletionHandler(nullptr);
       },
       Dictionary{{"fetchTimeout", 60},
                  {"minimumFetchInterval", 0},
                  {"lastFetchTime", 100},
                  {"lastFetchStatus", "throttle"}}},
      {"failed",
       [](DEVRemoteConfig& c) {
         c.failNextFetch(fnd::Error("x", 1));
         c.fetchWithCompletionHandler(nullptr);
       },
       Dictionary{{"fetchTimeout", 60},
                  {"minimumFetchInterval", 0},
                  {"lastFetchTime", 100},
                  {"lastFetchStatus", "failure"}}},
  };
  for (const Case& c : cases) {
    c.step(Config());
    EXPECT_EQ(Send("getProperties", {"[DEFAULT]"}), Ok(c.expected)) << c.what;
  }
}

TEST_F(RemoteConfigPluginTest, SdkErrorsReachDart) {
  fnd::Error withDetails(
      "com.zudiroru.remoteconfig.ErrorDomain", 8001,
      Dictionary{{fnd::kLocalizedDescriptionKey, "boom"}, {"details", Dictionary{{"k", 1}}}});
  fnd::Error plain = fnd::Error::withDescription("d", 2, "plain failure");
  struct Case {
    const char* method;
    std::function<void(DEVRemoteConfig&, const fnd::Error&)> inject;
  } cases[] = {
      {"fetch", [](DEVRemoteConfig& c, const fnd::Error& e) { c.failNextFetch(e); }},
      {"fetchAndActivate", [](DEVRemoteConfig& c, const fnd::Error& e) { c.failNextFetch(e); }},
      {"activate", [](DEVRemoteConfig& c, const fnd::Error& e) { c.failNextActivate(e); }},
      {"ensureInitialized",
       [](DEVRemoteConfig& c, const fnd::Error& e) { c.failNextEnsureInitialized(e); }},
      {"setCustomSignals",
       [](DEVRemoteConfig& c, const fnd::Error& e) { c.failNextSetCustomSignals(e); }},
  };
  for (const Case& c : cases) {
    Array args = {"[DEFAULT]"};
    if (std::string(c.method) == "setCustomSignals") args.push_back(Dictionary{});
    c.inject(Config(), withDetails);
    EXPECT_EQ(Send(c.method, args),
              Value(Array{"zudiroru_remote_config", "boom", Dictionary{{"k", 1}}}))
        << c.method;
    c.inject(Config(), plain);
    EXPECT_EQ(Send(c.method, args),
              Value(Array{"zudiroru_remote_config", "plain failure", Value()}))
        << c.method;
  }
}

TEST_F(RemoteConfigPluginTest, CustomSignalsAreConverted) {
  Config().setCustomSignals(
      {{"n", CustomSignalValue::string("old")}, {"l", CustomSignalValue::integer(9)}}, nullptr);
  EXPECT_EQ(Send("setCustomSignals", {"[DEFAULT]", Dictionary{{"s", "x"},
                                                              {"i", 3},
                                                              {"d", 1.5},
                                                              {"w", 2.0},
                                                              {"b", true},
                                                              {"n", Value()},
                                                              {"l", Array{1}}}}),
            Ok());
  EXPECT_EQ(Config().customSignals(), (std::map<std::string, CustomSignalValue>{
                                          {"s", CustomSignalValue::string("x")},
                                          {"i", CustomSignalValue::integer(3)},
                                          {"d", CustomSignalValue::floatingPoint(1.5)},
                                          {"w", CustomSignalValue::integer(2)},
                                          {"b", CustomSignalValue::integer(1)},
                                      }));
  // The SDK's own refusal comes back as an error.
  Value refused = Send("setCustomSignals", {"[DEFAULT]", Dictionary{{"", "empty key"}}});
  ASSERT_EQ(refused.array()->size(), 3u);
  EXPECT_EQ(refused.array()->at(0), Value("zudiroru_remote_config"));
}

TEST_F(RemoteConfigPluginTest, AnUnknownAppIsAnError) {
  const Value expected = Value(Array{
      "zudiroru_remote_config", "No Zudiroru app named \"nope\" has been configured.", Value()});
  Value settings(std::shared_ptr<fnd::Record>(std::make_shared<RemoteConfigPigeonSettings>(1, 2)));
  struct Case {
    const char* method;
    Array args;
  } cases[] = {
      {"fetch", {"nope"}},
      {"fetchAndActivate", {"nope"}},
      {"activate", {"nope"}},
      {"setConfigSettings", {"nope", settings}},
      {"setDefaults", {"nope", Dictionary{}}},
      {"ensureInitialized", {"nope"}},
      {"setCustomSignals", {"nope", Dictionary{}}},
      {"getAll", {"nope"}},
      {"getProperties", {"nope"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Send(c.method, c.args), expected) << c.method;
}

TEST_F(RemoteConfigPluginTest, UpdateStream) {
  Config().setServerTemplate(Dictionary{{"a", "1"}, {"b", "2"}});
  auto listened = engine_.dart().listen(kStream, Dictionary{{"appName", "[DEFAULT]"}});
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(listened->envelope(), Value());
  EXPECT_EQ(Config().listenerCount(), 1u);

  Config().publishRealtimeUpdate();
  ASSERT_TRUE(
      dispatch::RunLoop::main().runUntil([&] { return engine_.dart().messageCount() >= 1; }));
  EXPECT_EQ(engine_.dart().events(kStream), (std::vector<Value>{Value(Array{"a", "b"})}));

  // An error is only printed; the stream stays open.
  testing::internal::CaptureStdout();
  Config().publishRealtimeError(fnd::Error::withDescription("d", 1, "connection lost"));
  Config().ensureInitializedWithCompletionHandler(nullptr);
  std::atomic<bool> drained = false;  // Set on the SDK's queue.
  Config().ensureInitializedWithCompletionHandler([&](auto) { drained = true; });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return drained.load(); }));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Remote Config update error: connection lost\n");
  EXPECT_EQ(engine_.dart().events(kStream).size(), 1u);

  // Listening again for the same app replaces the listener rather than adding one.
  engine_.dart().listen(kStream, Dictionary{{"appName", "[DEFAULT]"}});
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(Config().listenerCount(), 1u);

  auto cancelled = engine_.dart().cancel(kStream, Dictionary{{"appName", "[DEFAULT]"}});
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(cancelled->envelope(), Value());
  EXPECT_EQ(Config().listenerCount(), 0u);
}

TEST_F(RemoteConfigPluginTest, StreamRequestsThatNameNoListenerDoNothing) {
  Config().refuseListeners(true);
  struct Case {
    Value arguments;
  } cases[] = {
      {Value()},
      {Dictionary{}},
      {Dictionary{{"appName", 3}}},
      {Dictionary{{"appName", "nope"}}},
      {Dictionary{{"appName", "[DEFAULT]"}}},  // The SDK refuses the listener.
  };
  for (const Case& c : cases) {
    auto listened = engine_.dart().listen(kStream, c.arguments);
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_EQ(listened->envelope(), Value()) << c.arguments.description();
    auto cancelled = engine_.dart().cancel(kStream, c.arguments);
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_EQ(cancelled->envelope(), Value()) << c.arguments.description();
  }
  EXPECT_EQ(Config().listenerCount(), 0u);
  EXPECT_EQ(Config("second").listenerCount(), 0u);
}

}  // namespace

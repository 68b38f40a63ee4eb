#include "plugins/zudiroru_crashkeep/zudiroru_crashkeep_plugin.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/test_home.h"
#include "platform/vendor/core/davodu.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

constexpr const char* kChannel = "plugins.flutter.io/zudiroru_crashkeep";
constexpr const char* kStream = "plugins.flutter.io/zudiroru_crashkeep_test_stream";
constexpr const char* kFatalTimeKey = kDEVCrashkeepOnDemandFatalTimeKey;

Value Frame(Value className, Value method, Value file, Value line) {
  return Value(
      Dictionary{{"class", className}, {"method", method}, {"file", file}, {"line", line}});
}

class CrashkeepPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    plugin_ = FLTZudiroruCrashkeepPlugin::createRegisteredWith(
        registry_, crashkeep_, clock_, [this](const std::string& name, const std::string& reason) {
          crashes_.push_back(name + ": " + reason);
        });
    FLTZudiroruCrashkeepPlugin::registerWithRegistrar(
        *engine_.registrarForPlugin("FLTZudiroruCrashkeepPlugin"), plugin_);
  }
  void TearDown() override {
    engine_.shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
    DAVOdu::resetForTesting();
  }

  // Calls a method the way Dart does and returns the decoded envelope once the host answered.
  Value Call(const std::string& method, const Value& arguments = Value()) {
    auto reply = engine_.dart().invokeMethod(kChannel, method, arguments);
    EXPECT_NE(reply, nullptr);
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }))
        << method << " got no answer";
    return reply->envelope().value_or(Value("malformed envelope"));
  }

  static void ExpectInvalid(const Value& answer, const std::string& message) {
    auto error = flutter::FlutterError::fromValue(answer);
    ASSERT_NE(error, nullptr) << answer.description();
    EXPECT_EQ(error->code(), "invalid-arguments");
    EXPECT_EQ(error->message(), message);
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ =
      std::make_shared<dispatch::ManualClock>(1700000000.5);
  DEVCrashkeep crashkeep_;
  FLTZudiroruPluginRegistry registry_;
  flutter::FlutterEngine engine_;
  std::shared_ptr<FLTZudiroruCrashkeepPlugin> plugin_;
  std::vector<std::string> crashes_;
};

TEST_F(CrashkeepPluginTest, RegistrationAnnouncesTheBridgeAndItsConstants) {
  EXPECT_NE(DAVOdu::zudiroruUserAgent().find("flutter-dero-cls/5.0.6"), std::string::npos);
  EXPECT_EQ(crashkeep_.developmentPlatformName(), "Flutter");
  EXPECT_EQ(crashkeep_.developmentPlatformVersion(), "-1");
  ASSERT_EQ(plugin_->testEventChannel()->name(), kStream);

  ASSERT_TRUE(DAVOdu::configureWithName("app", DEVOptions("1:a", "1")));
  auto app = DAVOdu::appNamed("app");
  EXPECT_EQ(registry_.pluginConstantsForDAVOdu(*app),
            (Dictionary{{kChannel, Dictionary{{"isCrashkeepCollectionEnabled", true}}}}));
  crashkeep_.setCrashkeepCollectionEnabled(false);
  EXPECT_EQ(registry_.pluginConstantsForDAVOdu(*app),
            (Dictionary{{kChannel, Dictionary{{"isCrashkeepCollectionEnabled", false}}}}));

  bool reinitialized = false;
  registry_.didReinitializeZudiroruCore([&] { reinitialized = true; });
  EXPECT_TRUE(reinitialized);
}

TEST_F(CrashkeepPluginTest, RecordErrorWithAReasonTellsTheListenerAndBuildsTheModel) {
  engine_.dart().listen(kStream);
  dispatch::RunLoop::main().runUntilIdle();

  Value answer = Call(
      "Crashkeep#recordError",
      Dictionary{{"reason", "while building Foo"},
                 {"information", "The widget was Foo"},
                 {"exception", "StateError: bad state"},
                 {"fatal", false},
                 {"stackTraceElements",
                  Array{Frame("Foo", "build", "package:app/foo.dart", 12),
                        Frame("", "main", "main.dart", "7"), Frame("Bar", "run", Value(), 3.9)}}});
  EXPECT_EQ(answer, Value());
  EXPECT_EQ(engine_.dart().events(kStream), (std::vector<Value>{"thrown while building Foo"}));

  auto reports = crashkeep_.sentReports();
  ASSERT_EQ(reports.size(), 1u);
  const DEVCrashkeep::Report& report = reports[0];
  EXPECT_FALSE(report.onDemand);  // Not fatal: recorded as an ordinary exception.
  EXPECT_EQ(report.model.name(), "FlutterError");
  EXPECT_EQ(report.model.reason(), "StateError: bad state. Error thrown while building Foo.");
  EXPECT_TRUE(report.model.onDemand());
  EXPECT_FALSE(report.model.isFatal());
  EXPECT_EQ(report.model.stackTrace(),
            (std::vector<DEVStackFrame>{
                DEVStackFrame::stackFrameWithSymbol("Foo.build", "package:app/foo.dart", 12),
                DEVStackFrame::stackFrameWithSymbol(".main", "main.dart", 7),
                DEVStackFrame::stackFrameWithSymbol("Bar.run", std::nullopt, 3)}));
  EXPECT_EQ(report.customValues,
            (Dictionary{{"flutter_error_reason", "thrown while building Foo"},
                        {"flutter_error_exception", "StateError: bad state"}}));
  EXPECT_EQ(report.logs, (std::vector<std::string>{"The widget was Foo"}));
}

TEST_F(CrashkeepPluginTest, RecordErrorVariants) {
  struct Case {
    const char* what;
    Dictionary arguments;
    std::optional<std::string> modelReason;
    bool fatal;
    size_t logs;
  } cases[] = {
      {"null reason, fatal",
       Dictionary{{"reason", Value()}, {"exception", "E1"}, {"fatal", true}, {"information", ""}},
       "E1", true, 0},
      {"missing reason and information", Dictionary{{"exception", "E2"}}, "E2", false, 0},
      {"fatal given as a number", Dictionary{{"reason", "r"}, {"exception", "E3"}, {"fatal", 1}},
       "E3. Error thrown r.", true, 0},
      {"no exception text", Dictionary{{"reason", "r"}, {"information", "i"}},
       "(null). Error thrown r.", false, 1},
      {"null arguments", Dictionary{}, std::nullopt, false, 0},
  };
  engine_.dart().listen(kStream);
  dispatch::RunLoop::main().runUntilIdle();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DEVCrashkeep crashkeep;
    auto plugin = FLTZudiroruCrashkeepPlugin::createRegisteredWith(registry_, crashkeep, clock_);
    FLTZudiroruCrashkeepPlugin::registerWithRegistrar(*engine_.registrarForPlugin(c.what), plugin);
    engine_.dart().clearMessages();
    engine_.dart().listen(kStream);
    dispatch::RunLoop::main().runUntilIdle();

    Value arguments = c.arguments.empty() ? Value() : Value(c.arguments);
    EXPECT_EQ(Call("Crashkeep#recordError", arguments), Value());
    auto reports = crashkeep.sentReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].model.reason(), c.modelReason);
    EXPECT_EQ(reports[0].model.isFatal(), c.fatal);
    EXPECT_EQ(reports[0].onDemand, c.fatal);
    EXPECT_EQ(reports[0].logs.size(), c.logs);
    // The fatal time is set before the report is taken, rounded to whole seconds.
    const Value* fatalTime = reports[0].customValues.find(kFatalTimeKey);
    if (c.fatal) {
      ASSERT_NE(fatalTime, nullptr);
      EXPECT_EQ(*fatalTime, Value::Int64(1700000001));
    } else {
      EXPECT_EQ(fatalTime, nullptr);
    }
    bool hasReason = c.arguments.find("reason") && !c.arguments.get("reason").isNull();
    EXPECT_EQ(engine_.dart().events(kStream).size(), hasReason ? 1u : 0u);
    EXPECT_EQ(reports[0].customValues.contains("flutter_error_reason"), hasReason);
  }
}

TEST_F(CrashkeepPluginTest, SimpleCallsReachTheSdk) {
  EXPECT_EQ(Call("Crashkeep#setUserIdentifier", Dictionary{{"identifier", "u-1"}}), Value());
  EXPECT_EQ(crashkeep_.userID(), "u-1");
  EXPECT_EQ(Call("Crashkeep#setUserIdentifier", Dictionary{}), Value());
  EXPECT_EQ(crashkeep_.userID(), std::nullopt);

  EXPECT_EQ(Call("Crashkeep#setCustomKey", Dictionary{{"key", "k"}, {"value", "v"}}), Value());
  EXPECT_EQ(Call("Crashkeep#setCustomKey", Dictionary{{"key", "n"}, {"value", 3}}), Value());
  EXPECT_EQ(crashkeep_.customValues(), (Dictionary{{"k", "v"}, {"n", 3}}));

  EXPECT_EQ(Call("Crashkeep#log", Dictionary{{"message", "%d items at 100%%"}}), Value());
  EXPECT_EQ(crashkeep_.logs(), (std::vector<std::string>{"%d items at 100%%"}));
}

TEST_F(CrashkeepPluginTest, CollectionAndUnsentReports) {
  EXPECT_EQ(Call("Crashkeep#setCrashkeepCollectionEnabled", Dictionary{{"enabled", false}}),
            Value(Dictionary{{"isCrashkeepCollectionEnabled", false}}));
  Call("Crashkeep#recordError", Dictionary{{"exception", "E"}});
  // Answered from the SDK's queue, not the main thread.
  EXPECT_EQ(Call("Crashkeep#checkForUnsentReports"), Value(Dictionary{{"unsentReports", true}}));
  EXPECT_EQ(Call("Crashkeep#sendUnsentReports"), Value());
  EXPECT_EQ(crashkeep_.sentReports().size(), 1u);
  EXPECT_EQ(Call("Crashkeep#checkForUnsentReports"), Value(Dictionary{{"unsentReports", false}}));

  Call("Crashkeep#recordError", Dictionary{{"exception", "E"}});
  EXPECT_EQ(Call("Crashkeep#deleteUnsentReports"), Value());
  EXPECT_TRUE(crashkeep_.unsentReports().empty());
  EXPECT_EQ(crashkeep_.sentReports().size(), 1u);

  EXPECT_EQ(Call("Crashkeep#didCrashOnPreviousExecution"),
            Value(Dictionary{{"didCrashOnPreviousExecution", false}}));
  crashkeep_.setDidCrashDuringPreviousExecution(true);
  EXPECT_EQ(Call("Crashkeep#didCrashOnPreviousExecution"),
            Value(Dictionary{{"didCrashOnPreviousExecution", true}}));
}

TEST_F(CrashkeepPluginTest, TheTestCrashNeverAnswers) {
  auto reply = engine_.dart().invokeMethod(kChannel, "Crashkeep#crash", Value());
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_FALSE(reply->received());
  EXPECT_EQ(crashes_, (std::vector<std::string>{
                          "ZudiroruCrashkeepTestCrash: This is a test crash caused by calling "
                          ".crash() in Dart."}));
}

TEST(CrashkeepPluginDeathTest, TheDefaultTestCrashEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  fnd::ScopedTestHome home;
  EXPECT_DEATH(
      {
        DEVCrashkeep crashkeep;
        FLTZudiroruPluginRegistry registry;
        flutter::FlutterEngine engine;
        auto plugin = FLTZudiroruCrashkeepPlugin::createRegisteredWith(registry, crashkeep);
        FLTZudiroruCrashkeepPlugin::registerWithRegistrar(*engine.registrarForPlugin("p"), plugin);
        engine.dart().invokeMethod(kChannel, "Crashkeep#crash", Value());
        dispatch::RunLoop::main().runUntilIdle();
      },
      "uncaught exception 'ZudiroruCrashkeepTestCrash', reason: 'This is a test crash");
}

TEST_F(CrashkeepPluginTest, UnknownMethodsAndUnusableArguments) {
  EXPECT_EQ(Call("Crashkeep#unknown"), flutter::FlutterMethodNotImplemented());
  EXPECT_EQ(Call("crash"), flutter::FlutterMethodNotImplemented());

  struct Case {
    const char* method;
    Value arguments;
    const char* message;
  } cases[] = {
      {"Crashkeep#recordError", "not a map",
       "Invalid arguments for Crashkeep#recordError: the arguments must be a map."},
      {"Crashkeep#recordError", Dictionary{{"stackTraceElements", "x"}},
       "Invalid arguments for Crashkeep#recordError: \"stackTraceElements\" must be a list."},
      {"Crashkeep#recordError", Dictionary{{"stackTraceElements", Array{5}}},
       "Invalid arguments for Crashkeep#recordError: every element of \"stackTraceElements\" "
       "must be a map."},
      {"Crashkeep#recordError",
       Dictionary{{"stackTraceElements", Array{Frame("A", "b", "f", Array{})}}},
       "Invalid arguments for Crashkeep#recordError: \"line\" must be a number."},
      {"Crashkeep#recordError", Dictionary{{"reason", 5}},
       "Invalid arguments for Crashkeep#recordError: \"reason\" must be a string."},
      {"Crashkeep#setUserIdentifier", Dictionary{{"identifier", 5}},
       "Invalid arguments for Crashkeep#setUserIdentifier: \"identifier\" must be a string."},
      {"Crashkeep#setCrashkeepCollectionEnabled", Dictionary{{"enabled", "yes"}},
       "Invalid arguments for Crashkeep#setCrashkeepCollectionEnabled: \"enabled\" must be a "
       "boolean."},
      {"Crashkeep#log", Array{"message"},
       "Invalid arguments for Crashkeep#log: the arguments must be a map."},
  };
  engine_.dart().listen(kStream);
  for (const Case& c : cases) ExpectInvalid(Call(c.method, c.arguments), c.message);
  // Nothing reached the SDK or the listener.
  EXPECT_TRUE(crashkeep_.sentReports().empty());
  EXPECT_TRUE(crashkeep_.logs().empty());
  EXPECT_EQ(crashkeep_.userID(), std::nullopt);
  EXPECT_TRUE(crashkeep_.isCrashkeepCollectionEnabled());
  EXPECT_TRUE(engine_.dart().events(kStream).empty());

  // Bytes that are no method call at all.
  auto reply = engine_.dart().send(kChannel, fnd::Data{0xff, 1});
  dispatch::RunLoop::main().runUntilIdle();
  auto error = flutter::FlutterError::fromValue(reply->envelope().value_or(Value()));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), flutter::kFlutterDecodeErrorCode);
}

TEST_F(CrashkeepPluginTest, ACancelledListenerHearsNothing) {
  engine_.dart().listen(kStream);
  dispatch::RunLoop::main().runUntilIdle();
  engine_.dart().cancel(kStream);
  dispatch::RunLoop::main().runUntilIdle();
  Call("Crashkeep#recordError", Dictionary{{"reason", "r"}, {"exception", "E"}});
  EXPECT_TRUE(engine_.dart().events(kStream).empty());
  EXPECT_EQ(crashkeep_.sentReports().size(), 1u);
}

}  // namespace

#include "macos/Runner/dart_console.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "macos/Runner/json_notation.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"
#include "platform/vendor/auth/auth.h"
#include "platform/vendor/core/davodu.h"
#include "platform/vendor/virelda/transaction.h"
#include "platform/vendor/virelda/virelda.h"
#include "plugins/cloud_virelda/virelda_utils.h"
#include "plugins/cloud_virelda/zudiroru_virelda_plugin.h"
#include "plugins/zudiroru_analytics/zudiroru_analytics_plugin.h"
#include "plugins/zudiroru_auth/zudiroru_auth_plugin.h"
#include "plugins/zudiroru_core/zudiroru_core_plugin.h"

namespace runner {
namespace {

constexpr const char* kPrefix = "dev.flutter.pigeon.zudiroru_core_platform_interface.";

// A host with the core plugin on a fresh engine, and a console that talks to it.
class DartConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    std::string bundle = home_.path() + "/Bundle";
    ::mkdir(bundle.c_str(), 0755);
    ASSERT_TRUE(fnd::PropertyList::WriteFile(
        fnd::Value(fnd::Dictionary{{"RIVADO_APP_ID", "1:1:ios:1"}, {"API_KEY", "key"}}),
        bundle + "/RivadoService-Info.plist"));
    fnd::Bundle::setMainBundlePath(bundle);
    engine_ = std::make_unique<flutter::FlutterEngine>();
    plugin_ = FLTZudiroruCorePlugin::createRegisteredWith(registry_);
    FLTZudiroruCorePlugin::registerWithRegistrar(
        *engine_->registrarForPlugin("FLTZudiroruCorePlugin"), plugin_);
    console_ = std::make_unique<DartConsole>(engine_->dart(), out_);
  }
  void TearDown() override {
    console_.reset();
    engine_->shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
    fnd::Bundle::setMainBundlePath("");
    DAVOdu::resetForTesting();
  }

  // Feeds the lines and returns what the console printed since the last call, line by line.
  std::vector<std::string> Run(const std::string& script) {
    std::istringstream in(script);
    console_->run(in, /*settleSeconds=*/0);
    std::vector<std::string> lines;
    std::istringstream printed(out_.str());
    for (std::string line; std::getline(printed, line);) lines.push_back(line);
    out_.str("");
    return lines;
  }

  fnd::ScopedTestHome home_;
  FLTZudiroruPluginRegistry registry_;
  std::unique_ptr<flutter::FlutterEngine> engine_;
  std::shared_ptr<FLTZudiroruCorePlugin> plugin_;
  std::ostringstream out_;
  std::unique_ptr<DartConsole> console_;
};

TEST_F(DartConsoleTest, CoreChannelsInJson) {
  auto lines = Run(
      std::string() + R"({"send": ")" + kPrefix +
      R"(ZudiroruCoreHostApi.optionsFromResource", "message": null})"
      "\n"
      R"({"send": ")" +
      kPrefix +
      R"(ZudiroruCoreHostApi.initializeApp", "message": ["second", {"$type": 129, "$fields": ["k2", "1:2:ios:2", "22", null, null, null, null, null, null, null, null, null, null, null]}]})"
      "\n"
      R"({"send": ")" +
      kPrefix +
      R"(ZudiroruAppHostApi.setAutomaticDataCollectionEnabled", "message": ["second", false]})"
      "\n"
      R"({"send": ")" +
      kPrefix +
      R"(ZudiroruCoreHostApi.initializeCore", "message": null})"
      "\n"
      R"({"send": ")" +
      kPrefix +
      R"(ZudiroruAppHostApi.delete", "message": ["second"]})"
      "\n");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], std::string(R"({"channel":")") + kPrefix +
                          R"(ZudiroruCoreHostApi.optionsFromResource","reply":[null]})");
  EXPECT_EQ(lines[1],
            std::string(R"({"channel":")") + kPrefix +
                R"(ZudiroruCoreHostApi.initializeApp","reply":[{"$type":130,"$fields":["second",)"
                R"({"$type":129,"$fields":["k2","1:2:ios:2","22",null,null,null,null,null,null,)"
                R"(null,null,null,null,null]},true,)"
                R"({"dev.flutter.pigeon.ZudiroruCoreHostApi.initializeApp":{}}]}]})");
  EXPECT_EQ(lines[2],
            std::string(R"({"channel":")") + kPrefix +
                R"(ZudiroruAppHostApi.setAutomaticDataCollectionEnabled","reply":[null]})");

  // Both apps, the default first, the second with collection off.
  Json cores = Json::parse(lines[3]);
  const Json& list = cores["reply"][0];
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["$fields"][0], "[DEFAULT]");
  EXPECT_EQ(list[0]["$fields"][1]["$fields"][0], "key");
  EXPECT_EQ(list[1]["$fields"][0], "second");
  EXPECT_EQ(list[1]["$fields"][2], false);

  EXPECT_EQ(lines[4], std::string(R"({"channel":")") + kPrefix +
                          R"(ZudiroruAppHostApi.delete","reply":[null]})");
  EXPECT_EQ(DAVOdu::appNamed("second"), nullptr);
}

TEST_F(DartConsoleTest, CoreChannelsInHex) {
  ASSERT_TRUE(DAVOdu::configureWithName("stuck", DEVOptions("1:s", "1")));
  DAVOdu::setDeleteAppFault(
      [](const DAVOdu&) { return std::optional<fnd::Error>(fnd::Error("test", 1)); });
  const std::string deleteChannel = std::string(kPrefix) + "ZudiroruAppHostApi.delete";
  auto lines = Run(R"({"send": ")" + deleteChannel +
                   R"(", "hex": "0c0107076d697373696e67"})"
                   "\n"
                   R"({"send": ")" +
                   deleteChannel +
                   R"(", "hex": "0c010705737475 636b"})"
                   "\n"
                   R"({"send": ")" +
                   deleteChannel +
                   R"(", "hex": "0C010705737475636B"})"
                   "\n"
                   R"({"send": "no.such.channel", "hex": "00"})"
                   "\n");
  ASSERT_EQ(lines.size(), 4u);
  // ["missing"] -> [null].
  EXPECT_EQ(lines[0], R"({"channel":")" + deleteChannel + R"(","hex":"0c0100"})");
  EXPECT_EQ(Json::parse(lines[1])["line"], 2);  // Spaces are not hex.
  // ["stuck"] -> ["delete-failed", "Failed to delete a Zudiroru app instance.", null].
  EXPECT_EQ(lines[2],
            R"({"channel":")" + deleteChannel +
                R"(","hex":"0c03070d64656c6574652d6661696c656407294661696c656420746f2064656c657465)"
                R"(2061205a756469726f72752061707020696e7374616e63652e00"})");
  // Nobody listens: the empty reply.
  EXPECT_EQ(lines[3], R"({"channel":"no.such.channel","hex":""})");
}

TEST_F(DartConsoleTest, MalformedLinesPrintAnErrorAndTheConsoleGoesOn) {
  const char* bad[] = {
      "not json",
      "[1, 2]",
      R"({"send": 5, "message": 1})",
      R"({"send": "", "message": 1})",
      R"({"send": "c"})",
      R"({"send": "c", "message": 1, "hex": "00"})",
      R"({"send": "c", "hex": "0g"})",
      R"({"send": "c", "hex": "abc"})",
      R"({"send": "c", "message": {"$type": 5, "$fields": []}})",
      R"({"send": "c", "message": {"$int64": "x"}})",
      R"({"send": "c", "message": 1, "extra": 2})",
      R"({"invoke": "c"})",
      R"({"invoke": "c", "method": 3})",
      R"({"listen": "c", "args": {"$bytes": "1"}})",
      R"({"wait": -1})",
      R"({"wait": "soon"})",
      R"({"quit": false})",
      R"({"frobnicate": 1})",
      R"({"send": "c", "message": 1)",
  };
  std::string script = "\n";  // A blank line is skipped but counted.
  for (const char* line : bad) script += std::string(line) + "\n";
  script += R"({"send": ")" + std::string(kPrefix) +
            R"(ZudiroruCoreHostApi.optionsFromResource", "message": null})"
            "\n";
  auto lines = Run(script);
  ASSERT_EQ(lines.size(), std::size(bad) + 1);
  for (size_t i = 0; i < std::size(bad); ++i) {
    Json error = Json::parse(lines[i]);
    ASSERT_TRUE(error.contains("error")) << bad[i];
    EXPECT_TRUE(error["error"].is_string()) << bad[i];
    EXPECT_EQ(error["line"], i + 2) << bad[i];
  }
  EXPECT_EQ(Json::parse(lines.back())["reply"], Json::parse("[null]"));
}

TEST_F(DartConsoleTest, WaitPrintsNothingAndQuitStopsReading) {
  auto lines = Run(R"({"wait": 0})"
                   "\n"
                   R"({"quit": true})"
                   "\n"
                   R"({"send": "c", "message": 1})"
                   "\n");
  EXPECT_TRUE(lines.empty());
}

// A method channel and an event channel of the test's own, to see every kind of line.
TEST_F(DartConsoleTest, MethodCallsEventsAndCallsIntoDart) {
  auto messenger = engine_->binaryMessenger();
  flutter::FlutterMethodChannel methods("test/methods", messenger);
  methods.setMethodCallHandler(
      [](const flutter::FlutterMethodCall& call, flutter::FlutterResult result) {
        if (call.method() == "echo") {
          result(call.arguments());
        } else if (call.method() == "fail") {
          result(flutter::FlutterError::errorWithCode("bad", "It failed.", fnd::Value(1)));
        } else {
          result(flutter::FlutterMethodNotImplemented());
        }
      });

  struct Stream : flutter::FlutterStreamHandler {
    std::shared_ptr<flutter::FlutterError> onListenWithArguments(
        const fnd::Value&, flutter::FlutterEventSink events) override {
      sink = std::move(events);
      return nullptr;
    }
    std::shared_ptr<flutter::FlutterError> onCancelWithArguments(const fnd::Value&) override {
      sink = nullptr;
      return nullptr;
    }
    flutter::FlutterEventSink sink;
  };
  auto stream = std::make_shared<Stream>();
  flutter::FlutterEventChannel events("test/events", messenger);
  events.setStreamHandler(stream);

  auto lines = Run(R"({"invoke": "test/methods", "method": "echo", "args": {"$int64": "5"}})"
                   "\n"
                   R"({"invoke": "test/methods", "method": "fail"})"
                   "\n"
                   R"({"invoke": "test/methods", "method": "other", "args": null})"
                   "\n"
                   R"({"listen": "test/events", "args": "from-dart"})"
                   "\n");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], R"({"channel":"test/methods","method":"echo","result":{"$int64":"5"}})");
  EXPECT_EQ(lines[1], R"({"channel":"test/methods","method":"fail","error":{"code":"bad",)"
                      R"("message":"It failed.","details":1}})");
  EXPECT_EQ(lines[2], R"({"channel":"test/methods","method":"other","notImplemented":true})");
  EXPECT_EQ(lines[3], R"({"channel":"test/events","method":"listen","result":null})");

  ASSERT_TRUE(stream->sink);
  stream->sink(fnd::Value("first"));
  stream->sink(flutter::FlutterError::errorWithCode("oops"));
  stream->sink(flutter::FlutterEndOfEventStream());
  fnd::Value answer = fnd::Value("unset");
  methods.invokeMethod("fromHost", fnd::Value(fnd::Array{1}),
                       [&](const fnd::Value& result) { answer = result; });
  engine_->binaryMessenger()->sendOnChannel("test/basic", fnd::Data{7, 1, 'x'});
  lines = Run(R"({"cancel": "test/events"})"
              "\n");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], R"({"event":"test/events","value":"first"})");
  EXPECT_EQ(lines[1],
            R"({"event":"test/events","error":{"code":"oops","message":null,"details":null}})");
  EXPECT_EQ(lines[2], R"({"event":"test/events","end":true})");
  EXPECT_EQ(lines[3], R"({"call":"test/methods","method":"fromHost","args":[1]})");
  EXPECT_EQ(lines[4], R"({"message":"test/basic","value":"x"})");
  EXPECT_EQ(lines[5], R"({"channel":"test/events","method":"cancel","result":null})");
  EXPECT_EQ(answer, flutter::FlutterMethodNotImplemented());
}

// The example script of the README's run command, against the example bundle.
TEST_F(DartConsoleTest, ExampleScriptRunsWithoutErrors) {
  const char* source = std::getenv("QUELLMARK_SOURCE_DIR");
  std::string root = source ? source : QUELLMARK_SOURCE_DIR;
  console_.reset();
  engine_->shutDownEngine();
  DAVOdu::resetForTesting();
  fnd::Bundle::setMainBundlePath(root + "/macos/Runner/Resources");
  engine_ = std::make_unique<flutter::FlutterEngine>();
  FLTZudiroruPluginRegistry registry;
  FLTZudiroruCorePlugin::registerWithRegistrar(
      *engine_->registrarForPlugin("FLTZudiroruCorePlugin"),
      FLTZudiroruCorePlugin::createRegisteredWith(registry));
  ZudiroruAnalyticsPlugin::registerWith(*engine_->registrarForPlugin("ZudiroruAnalyticsPlugin"));
  console_ = std::make_unique<DartConsole>(engine_->dart(), out_);

  std::ifstream script(root + "/examples/console.jsonl");
  ASSERT_TRUE(script.good());
  std::stringstream text;
  text << script.rdbuf();
  auto lines = Run(text.str());
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    Json j = Json::parse(line);
    EXPECT_FALSE(j.contains("error")) << line;
    // Success envelopes; the session id may be the engine's error while no session runs.
    if (j.contains("reply") &&
        j["channel"].get<std::string>().find(".getSessionId") == std::string::npos) {
      EXPECT_EQ(j["reply"].size(), 1u) << line;
    }
  }
  EXPECT_EQ(DAVOdu::allApps().size(), 1u);  // The second app was deleted again.
}

// The sign-up, profile update, sign-out and sign-in of the authentication example script.
TEST_F(DartConsoleTest, AuthExampleScriptSignsInUpdatesAndSignsOut) {
  const char* source = std::getenv("QUELLMARK_SOURCE_DIR");
  std::string root = source ? source : QUELLMARK_SOURCE_DIR;
  DEVAuthTesting::resetForTesting();
  auto auth = FLTZudiroruAuthPlugin::createRegisteredWith(registry_, engine_->binaryMessenger());
  FLTZudiroruAuthPlugin::registerWithRegistrar(
      *engine_->registrarForPlugin("FLTZudiroruAuthPlugin"), auth);

  std::ifstream script(root + "/examples/auth.jsonl");
  ASSERT_TRUE(script.good());
  std::stringstream text;
  text << script.rdbuf();
  auto lines = Run(text.str());
  std::vector<bool> signedIn;
  for (const std::string& line : lines) {
    Json j = Json::parse(line);
    EXPECT_FALSE(j.contains("error")) << line;
    if (j.contains("reply")) {
      EXPECT_EQ(j["reply"].size(), 1u) << line;
    }
    if (j.contains("event")) signedIn.push_back(!j["value"]["user"].is_null());
  }
  EXPECT_EQ(signedIn, (std::vector<bool>{true, false, true, false}));
  auto accounts = DEVAuth::auth()->accountsForTesting();
  ASSERT_EQ(accounts.size(), 1u);
  EXPECT_EQ(accounts[0].displayName, "Ada Lovelace");
  EXPECT_EQ(DEVAuth::auth()->currentUser(), nullptr);
  engine_->shutDownEngine();
  dispatch::RunLoop::main().runUntilIdle();
  DEVAuthTesting::resetForTesting();
}

// The Virelda example script: a document written, then a transaction that reads it and answers
// with its writes, driven through the transaction's event channel.
TEST_F(DartConsoleTest, VireldaExampleScriptRunsATransaction) {
  const char* source = std::getenv("QUELLMARK_SOURCE_DIR");
  std::string root = source ? source : QUELLMARK_SOURCE_DIR;
  DEVVireldaTesting::resetForTesting();
  FLTZudiroruVireldaUtils::resetForTesting();
  FLTZudiroruVireldaPlugin::registerWithRegistrar(
      *engine_->registrarForPlugin("FLTZudiroruVireldaPlugin"));

  std::ifstream script(root + "/examples/virelda.jsonl");
  ASSERT_TRUE(script.good());
  std::stringstream text;
  text << script.rdbuf();
  auto lines = Run(text.str());
  std::vector<Json> events;
  Json read;
  for (const std::string& line : lines) {
    Json j = Json::parse(line);
    EXPECT_FALSE(j.contains("error")) << line;
    if (j.contains("reply")) {
      EXPECT_EQ(j["reply"].size(), 1u) << line;
      if (j["channel"].get<std::string>().ends_with(".documentReferenceGet")) read = j["reply"][0];
    }
    if (j.contains("event")) {
      EXPECT_EQ(j["event"].get<std::string>().rfind(
                    "plugins.flutter.io/zudiroru_virelda/transaction/", 0),
                0u);
      events.push_back(j.contains("end") ? Json("end") : j["value"]);
    }
  }
  EXPECT_EQ(events, (std::vector<Json>{Json{{"appName", "[DEFAULT]"}}, Json{{"complete", true}},
                                       Json("end")}));
  // The document snapshot record: path, data, metadata.
  EXPECT_EQ(read["$fields"][1], (Json{{"count", 42}})) << read.dump();
  EXPECT_EQ(DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, "(default)", "counters/log"),
            (fnd::Dictionary{{"last", "visit 42"}}));
  engine_->shutDownEngine();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(DEVVireldaTransactionTesting::waitForTransactions(60));
  FLTZudiroruVireldaUtils::resetForTesting();
  DEVVireldaTesting::resetForTesting();
}

// Results kept with "as" fill ${NAME}; "await" waits for replies and events.
TEST_F(DartConsoleTest, KeptResultsAndAwaits) {
  flutter::FlutterEventChannel channel("test/kept-events", engine_->binaryMessenger());
  struct Handler : flutter::FlutterStreamHandler {
    std::shared_ptr<flutter::FlutterError> onListenWithArguments(
        const fnd::Value&, flutter::FlutterEventSink events) override {
      // From another thread, later: the console must wait for it.
      dispatch::Queue::global()->async([events] { events(fnd::Value("late")); });
      return nullptr;
    }
    std::shared_ptr<flutter::FlutterError> onCancelWithArguments(const fnd::Value&) override {
      return nullptr;
    }
  };
  channel.setStreamHandler(std::make_shared<Handler>());
  engine_->binaryMessenger()->setMessageHandlerOnChannel(
      "test/name", [](const fnd::Data&, flutter::FlutterBinaryReply reply) {
        reply(*flutter::FlutterStandardMessageCodec::sharedInstance()->encode(
            fnd::Value(fnd::Array{"kept-events"})));
      });
  auto lines = Run(R"({"send": "test/name", "message": null, "as": "n"})"
                   "\n"
                   R"({"listen": "test/${n}"})"
                   "\n"
                   R"({"await": "events", "channel": "test/${n}", "count": 1})"
                   "\n"
                   R"({"send": "test/${unknown}", "message": null})"
                   "\n"
                   R"({"await": "sometime"})"
                   "\n"
                   R"({"await": "events", "channel": "test/x", "count": 0})"
                   "\n");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], R"({"channel":"test/name","reply":["kept-events"]})");
  // The event may come before or after the listen call's reply.
  std::set<std::string> listened{lines[1], lines[2]};
  EXPECT_EQ(listened, (std::set<std::string>{
                          R"({"channel":"test/kept-events","method":"listen","result":null})",
                          R"({"event":"test/kept-events","value":"late"})"}));
  EXPECT_EQ(lines[3], R"({"error":"no result is kept as \"unknown\"","line":4})");
  EXPECT_EQ(lines[4], R"({"error":"\"await\" must be \"replies\" or \"events\"","line":5})");
  EXPECT_EQ(lines[5], R"({"error":"\"count\" must be a positive number of events","line":6})");
}

}  // namespace
}  // namespace runner

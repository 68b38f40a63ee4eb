#include "macos/Runner/quellmark_main.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "analytics/attribution/attribution_component.h"
#include "analytics/engine/measurement_components.h"
#include "macos/Runner/app_delegate.h"
#include "macos/Runner/json_notation.h"
#include "macos/Runner/launch_options.h"
#include "macos/Runner/main_flutter_window.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/flutter/view_controller.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"
#include "platform/vendor/core/davodu.h"
#include "plugins/zudiroru_core/core_host_api.h"
#include "plugins/zudiroru_core/pigeon.h"

namespace runner {
namespace {

LaunchOptions Options(std::optional<std::string> bundle, std::optional<std::string> dart,
                      std::optional<std::string> osVersion = std::nullopt) {
  LaunchOptions options;
  options.bundlePath = std::move(bundle);
  options.dartScript = std::move(dart);
  options.osVersion = std::move(osVersion);
  return options;
}

TEST(LaunchOptionsTest, CommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::optional<LaunchOptions> expected;
  } cases[] = {
      {{"quellmark"}, LaunchOptions{}},
      {{"quellmark", "--bundle", "res", "--dart", "-"}, Options("res", "-")},
      {{"quellmark", "--dart=script.jsonl"}, Options(std::nullopt, "script.jsonl")},
      {{"quellmark", "--bundle"}, std::nullopt},
      {{"quellmark", "--bundle="}, std::nullopt},
      {{"quellmark", "--dart", "a", "--dart", "b"}, std::nullopt},
      {{"quellmark", "--verbose"}, std::nullopt},
      {{"quellmark", "--service-url", "http://127.0.0.1:9", "-ZIVAnalyticsDebugEnabled"},
       [] {
         LaunchOptions options;
         options.serviceURL = "http://127.0.0.1:9";
         return options;
       }()},
      {{"quellmark", "--service-url"}, std::nullopt},
      {{"quellmark", "extra"}, std::nullopt},
      {{"quellmark", "-DebugDeferredDeepLink", "--dart", "-"}, Options(std::nullopt, "-")},
      {{"quellmark", "--os-version", "14.2"}, Options(std::nullopt, std::nullopt, "14.2")},
      {{"quellmark", "--os-version=macOS"}, std::nullopt},
      {{"quellmark", "--os-version", "0.1"}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::string error;
    auto parsed = ParseLaunchOptions(c.args, &error);
    EXPECT_EQ(parsed, c.expected) << c.args.back();
    if (!c.expected) {
      EXPECT_FALSE(error.empty()) << c.args.back();
    }
  }
}

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    bundle_ = home_.path() + "/Bundle";
    ::mkdir(bundle_.c_str(), 0755);
    ASSERT_TRUE(fnd::PropertyList::WriteFile(
        fnd::Value(fnd::Dictionary{{"RIVADO_APP_ID", "1:9:ios:9"}, {"API_KEY", "shell-key"}}),
        bundle_ + "/RivadoService-Info.plist"));
    fnd::Bundle::setMainBundlePath(bundle_);
    // The core plugin's shared instance configures the default app only the first time it is made
    // in a process; configure it here so that every test starts alike.
    ASSERT_TRUE(DAVOdu::configure());
  }
  void TearDown() override {
    dispatch::RunLoop::main().runUntilIdle();
    fnd::Bundle::setMainBundlePath("");
    DAVOdu::resetForTesting();
  }

  int Run(std::vector<std::string> args, const std::string& input = "") {
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::istringstream in(input);
    return QuellmarkMain(static_cast<int>(argv.size()), argv.data(), in, out_, err_, app_.get());
  }

  fnd::ScopedTestHome home_;
  std::string bundle_;
  std::shared_ptr<appkit::Application> app_ = appkit::Application::create();
  std::ostringstream out_, err_;
};

TEST_F(ShellTest, TheDelegateEndsTheApplicationWithItsLastWindow) {
  AppDelegate delegate;
  EXPECT_TRUE(delegate.applicationShouldTerminateAfterLastWindowClosed(*app_));
  EXPECT_TRUE(delegate.applicationSupportsSecureRestorableState(*app_));

  app_->setDelegate(std::make_shared<AppDelegate>());
  auto window = std::make_shared<MainFlutterWindow>(kMainWindowFrame);
  app_->addWindow(window);
  window->awakeFromNib();
  app_->finishLaunching();
  window->close();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(app_->isTerminated());
}

TEST_F(ShellTest, AwakeFromNibKeepsTheFrameAndRegistersEveryPlugin) {
  const appkit::Rect frame{{10, 20}, {1024, 333}};
  auto window = std::make_shared<MainFlutterWindow>(frame);
  app_->addWindow(window);
  window->awakeFromNib();

  EXPECT_EQ(window->frame(), frame);
  auto controller =
      std::dynamic_pointer_cast<flutter::FlutterViewController>(window->contentViewController());
  ASSERT_NE(controller, nullptr);
  for (const char* key :
       {"AudioSessionPlugin", "FLTZudiroruVireldaPlugin", "ZudiroruAnalyticsPlugin",
        "FLTZudiroruAuthPlugin", "FLTZudiroruCorePlugin", "FLTZudiroruCrashkeepPlugin",
        "FLTZudiroruMessagingPlugin", "ZudiroruRemoteConfigPlugin",
        "FlutterLocalNotificationsPlugin", "FLTRivadoSignInPlugin", "JustAudioPlugin",
        "FPPPackageInfoPlusPlugin", "PathProviderPlugin", "PurchasesFlutterPlugin",
        "SharePlusMacosPlugin", "SharedPreferencesPlugin", "SignInWithApplePlugin",
        "UrlLauncherPlugin"}) {
    EXPECT_TRUE(controller->hasPlugin(key)) << key;
  }
  // The core plugin answers on the controller's engine.
  auto reply = controller->engine()->dart().sendMessage(
      zudiroru::PigeonChannelName(kZudiroruCoreOptionsFromResourceChannel), fnd::Value(),
      ZudiroruCoreGetCodec());
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(reply->message(ZudiroruCoreGetCodec()), fnd::Value(fnd::Array{fnd::Value()}));
  window->close();
}

TEST_F(ShellTest, WithoutAConsoleTheProgramLaunchesAndEnds) {
  EXPECT_EQ(Run({"quellmark", "--bundle", bundle_}), 0);
  EXPECT_TRUE(app_->isTerminated());
  EXPECT_TRUE(app_->windows().empty());
  EXPECT_EQ(out_.str(), "");
}

TEST_F(ShellTest, TheProgramInstallsTheEngineComponentsItOwns) {
  EXPECT_EQ(Run({"quellmark", "--bundle", bundle_}), 0);
  // Facade, audiences and attribution for the process; the shared engine makes its own
  // attribution over itself when it is created. (The upload component is installed elsewhere.)
  ZIVMeasurementComponents installed = ZIVMeasurementInstalledComponents();
  EXPECT_TRUE(installed.facade->isPublicInterfacePresent());
  EXPECT_TRUE(installed.audiences->isPresent());
  EXPECT_TRUE(std::dynamic_pointer_cast<ZIVAttributionComponent>(installed.attribution));
  ZIVMeasurementComponents made = ZIVMeasurementInstalledComponentMaker()(nullptr);
  EXPECT_TRUE(std::dynamic_pointer_cast<ZIVAttributionComponent>(made.attribution));
  EXPECT_NE(made.attribution, installed.attribution);
}

TEST_F(ShellTest, TheConsoleTalksToTheLaunchedApplication) {
  const std::string core = "dev.flutter.pigeon.zudiroru_core_platform_interface.";
  std::string script = R"({"send": ")" + core +
                       R"(ZudiroruCoreHostApi.initializeCore", "message": null})"
                       "\n"
                       R"({"send": ")" +
                       core +
                       R"(ZudiroruAppHostApi.delete", "hex": "0c0100"})"
                       "\n"
                       "garbage\n"
                       R"({"quit": true})"
                       "\n"
                       R"({"send": "never", "message": 1})"
                       "\n";
  EXPECT_EQ(Run({"quellmark", "--bundle", bundle_, "--dart", "-"}, script), 0);
  EXPECT_TRUE(app_->isTerminated());

  std::vector<std::string> lines;
  std::istringstream printed(out_.str());
  for (std::string line; std::getline(printed, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << out_.str();
  Json cores = Json::parse(lines[0]);
  EXPECT_EQ(cores["reply"][0][0]["$fields"][0], "[DEFAULT]");
  EXPECT_EQ(cores["reply"][0][0]["$fields"][1]["$fields"][0], "shell-key");
  EXPECT_EQ(lines[1], R"({"channel":")" + core + R"(ZudiroruAppHostApi.delete","hex":"0c0100"})");
  EXPECT_EQ(Json::parse(lines[2])["line"], 3);
}

TEST_F(ShellTest, TheReportedMacOSVersionComesFromTheArgumentElseTheInfoPlist) {
  fnd::ScopedProcessInfoOverride restore({"quellmark"});
  fnd::ProcessInfo& info = fnd::ProcessInfo::processInfo();
  info.resetOperatingSystemVersion();
  EXPECT_EQ(Run({"quellmark", "--bundle", bundle_}), 0);
  EXPECT_EQ(info.operatingSystemVersion(), fnd::kDefaultOperatingSystemVersion);

  ASSERT_TRUE(fnd::PropertyList::WriteFile(fnd::Value(fnd::Dictionary{{kOSVersionInfoKey, "11.0"}}),
                                           bundle_ + "/Info.plist"));
  app_ = appkit::Application::create();
  EXPECT_EQ(Run({"quellmark", "--bundle", bundle_}), 0);
  EXPECT_EQ(info.operatingSystemVersion(), (fnd::OperatingSystemVersion{11, 0, 0}));
  EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({12, 0, 0}));

  app_ = appkit::Application::create();
  EXPECT_EQ(Run({"quellmark", "--bundle", bundle_, "--os-version", "15.1"}), 0);
  EXPECT_EQ(info.operatingSystemVersionString(), "Version 15.1");
}

TEST_F(ShellTest, BadCommandLinesEndBeforeLaunching) {
  EXPECT_EQ(Run({"quellmark", "--nope"}), 2);
  EXPECT_NE(err_.str().find(kUsage), std::string::npos);
  EXPECT_EQ(Run({"quellmark", "--dart", home_.path() + "/missing.jsonl"}), 1);
  EXPECT_FALSE(app_->isFinishedLaunching());
}

}  // namespace
}  // namespace runner

#include "macos/Runner/generated_plugin_registrant.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/test_home.h"
#include "platform/vendor/core/davodu.h"
#include "plugins/zudiroru_core/core_host_api.h"
#include "plugins/zudiroru_core/pigeon.h"

namespace {

// Hands out the engine's registrars and remembers the keys asked for, in order.
class RecordingRegistry : public flutter::FlutterPluginRegistry {
 public:
  explicit RecordingRegistry(flutter::FlutterEngine& engine) : engine_(engine) {}

  std::shared_ptr<flutter::FlutterPluginRegistrar> registrarForPlugin(
      const std::string& pluginKey) override {
    keys.push_back(pluginKey);
    return engine_.registrarForPlugin(pluginKey);
  }
  bool hasPlugin(const std::string& pluginKey) const override {
    return engine_.hasPlugin(pluginKey);
  }
  fnd::Value valuePublishedByPlugin(const std::string& pluginKey) const override {
    return engine_.valuePublishedByPlugin(pluginKey);
  }

  std::vector<std::string> keys;

 private:
  flutter::FlutterEngine& engine_;
};

TEST(RegisterGeneratedPluginsTest, RegistersTheEighteenPluginsInOrder) {
  fnd::ScopedTestHome home;
  std::string bundle = home.path() + "/Bundle";
  ::mkdir(bundle.c_str(), 0755);
  fnd::Bundle::setMainBundlePath(bundle);
  DAVOdu::resetForTesting();
  fnd::ScopedRestore restore([] {
    fnd::Bundle::setMainBundlePath("");
    DAVOdu::resetForTesting();
  });
  flutter::FlutterEngine engine;
  RecordingRegistry registry(engine);

  RegisterGeneratedPlugins(registry);

  const std::vector<std::string> expected = {
      "AudioSessionPlugin",
      "FLTZudiroruVireldaPlugin",
      "ZudiroruAnalyticsPlugin",
      "FLTZudiroruAuthPlugin",
      "FLTZudiroruCorePlugin",
      "FLTZudiroruCrashkeepPlugin",
      "FLTZudiroruMessagingPlugin",
      "ZudiroruRemoteConfigPlugin",
      "FlutterLocalNotificationsPlugin",
      "FLTRivadoSignInPlugin",
      "JustAudioPlugin",
      "FPPPackageInfoPlusPlugin",
      "PathProviderPlugin",
      "PurchasesFlutterPlugin",
      "SharePlusMacosPlugin",
      "SharedPreferencesPlugin",
      "SignInWithApplePlugin",
      "UrlLauncherPlugin",
  };
  EXPECT_EQ(registry.keys, expected);

  // The external stand-ins record themselves; the others publish nothing.
  for (const char* external :
       {"AudioSessionPlugin", "FlutterLocalNotificationsPlugin", "JustAudioPlugin",
        "FPPPackageInfoPlusPlugin", "PathProviderPlugin", "SharePlusMacosPlugin",
        "SharedPreferencesPlugin", "SignInWithApplePlugin", "UrlLauncherPlugin"}) {
    EXPECT_EQ(registry.valuePublishedByPlugin(external), fnd::Value(external));
  }

  // The core plugin answers on its channels.
  auto reply = engine.dart().sendMessage(
      zudiroru::PigeonChannelName(kZudiroruCoreOptionsFromResourceChannel), fnd::Value(),
      ZudiroruCoreGetCodec());
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(reply->message(ZudiroruCoreGetCodec()), fnd::Value(fnd::Array{fnd::Value()}));

  engine.shutDownEngine();
  dispatch::RunLoop::main().runUntilIdle();
}

}  // namespace

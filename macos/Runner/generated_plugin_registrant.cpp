#include "macos/Runner/generated_plugin_registrant.h"

#include <cstdio>
#include <exception>
#include <memory>

#include "macos/Runner/external_plugins.h"
#include "plugins/cloud_virelda/zudiroru_virelda_plugin.h"
#include "plugins/purchases_flutter/purchases_flutter_plugin.h"
#include "plugins/rivado_sign_in_ios/rivado_sign_in_plugin.h"
#include "plugins/zudiroru_analytics/zudiroru_analytics_plugin.h"
#include "plugins/zudiroru_auth/zudiroru_auth_plugin.h"
#include "plugins/zudiroru_core/zudiroru_core_plugin.h"
#include "plugins/zudiroru_crashkeep/zudiroru_crashkeep_plugin.h"
#include "plugins/zudiroru_messaging/zudiroru_messaging_plugin.h"
#include "plugins/zudiroru_remote_config/zudiroru_remote_config_plugin.h"

namespace {

void Register(flutter::FlutterPluginRegistry& registry, const char* key,
              void (*entry)(flutter::FlutterPluginRegistrar&)) {
  std::shared_ptr<flutter::FlutterPluginRegistrar> registrar = registry.registrarForPlugin(key);
  if (!registrar) {
    std::fprintf(stderr, "[RegisterGeneratedPlugins] No registrar for %s.\n", key);
    return;
  }
  // A plugin that fails to set itself up is its own affair; the others still register.
  try {
    entry(*registrar);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[RegisterGeneratedPlugins] %s failed to register: %s\n", key, e.what());
  } catch (...) {
    std::fprintf(stderr, "[RegisterGeneratedPlugins] %s failed to register.\n", key);
  }
}

}  // namespace

void RegisterGeneratedPlugins(flutter::FlutterPluginRegistry& registry) {
  Register(registry, "AudioSessionPlugin", &AudioSessionPlugin::registerWithRegistrar);
  Register(registry, "FLTZudiroruVireldaPlugin", &FLTZudiroruVireldaPlugin::registerWithRegistrar);
  Register(registry, "ZudiroruAnalyticsPlugin", &ZudiroruAnalyticsPlugin::registerWith);
  Register(registry, "FLTZudiroruAuthPlugin", &FLTZudiroruAuthPlugin::registerWithRegistrar);
  Register(registry, "FLTZudiroruCorePlugin", &FLTZudiroruCorePlugin::registerWithRegistrar);
  Register(registry, "FLTZudiroruCrashkeepPlugin",
           &FLTZudiroruCrashkeepPlugin::registerWithRegistrar);
  Register(registry, "FLTZudiroruMessagingPlugin",
           &FLTZudiroruMessagingPlugin::registerWithRegistrar);
  Register(registry, "ZudiroruRemoteConfigPlugin", &ZudiroruRemoteConfigPlugin::registerWith);
  Register(registry, "FlutterLocalNotificationsPlugin",
           &FlutterLocalNotificationsPlugin::registerWith);
  Register(registry, "FLTRivadoSignInPlugin", &FLTRivadoSignInPlugin::registerWithRegistrar);
  Register(registry, "JustAudioPlugin", &JustAudioPlugin::registerWithRegistrar);
  Register(registry, "FPPPackageInfoPlusPlugin", &FPPPackageInfoPlusPlugin::registerWithRegistrar);
  Register(registry, "PathProviderPlugin", &PathProviderPlugin::registerWith);
  Register(registry, "PurchasesFlutterPlugin", &PurchasesFlutterPlugin::registerWithRegistrar);
  Register(registry, "SharePlusMacosPlugin", &SharePlusMacosPlugin::registerWith);
  Register(registry, "SharedPreferencesPlugin", &SharedPreferencesPlugin::registerWith);
  Register(registry, "SignInWithApplePlugin", &SignInWithApplePlugin::registerWith);
  Register(registry, "UrlLauncherPlugin", &UrlLauncherPlugin::registerWith);
}

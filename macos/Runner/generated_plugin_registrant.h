// Registration of every native plugin with the Flutter plugin registry, in one fixed order.
//
// Main thread only, once, during launch.
#pragma once

#include "platform/flutter/plugin.h"

// Asks the registry for one registrar per plugin, keyed by the plugin's class name, and hands it
// to the plugin's registration entry point, in this order: AudioSessionPlugin,
// FLTZudiroruVireldaPlugin, ZudiroruAnalyticsPlugin, FLTZudiroruAuthPlugin, FLTZudiroruCorePlugin,
// FLTZudiroruCrashkeepPlugin, FLTZudiroruMessagingPlugin, ZudiroruRemoteConfigPlugin,
// FlutterLocalNotificationsPlugin, FLTRivadoSignInPlugin, JustAudioPlugin,
// FPPPackageInfoPlusPlugin, PathProviderPlugin, PurchasesFlutterPlugin, SharePlusMacosPlugin,
// SharedPreferencesPlugin, SignInWithApplePlugin, UrlLauncherPlugin. Each registrar is released
// when its plugin's call returns; a plugin that fails to set itself up does not stop the rest.
void RegisterGeneratedPlugins(flutter::FlutterPluginRegistry& registry);

// Stand-ins for the nine plugins that live in frameworks of their own (audio session, local
// notifications, audio player, package information, path provider, share sheet, shared
// preferences, Sign in with Apple, URL launcher). The program only registers them; each stand-in
// records its registration by publishing its own class name under its registrar's key
// (FlutterPluginRegistry::valuePublishedByPlugin) and sets up nothing else: no channel answers
// for them.
//
// Main thread only, like every registration.
#pragma once

#include "platform/flutter/plugin.h"

class AudioSessionPlugin {
 public:
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);
};

class FlutterLocalNotificationsPlugin {
 public:
  static void registerWith(flutter::FlutterPluginRegistrar& registrar);
};

class JustAudioPlugin {
 public:
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);
};

class FPPPackageInfoPlusPlugin {
 public:
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);
};

class PathProviderPlugin {
 public:
  static void registerWith(flutter::FlutterPluginRegistrar& registrar);
};

class SharePlusMacosPlugin {
 public:
  static void registerWith(flutter::FlutterPluginRegistrar& registrar);
};

class SharedPreferencesPlugin {
 public:
  static void registerWith(flutter::FlutterPluginRegistrar& registrar);
};

class SignInWithApplePlugin {
 public:
  static void registerWith(flutter::FlutterPluginRegistrar& registrar);
};

class UrlLauncherPlugin {
 public:
  static void registerWith(flutter::FlutterPluginRegistrar& registrar);
};

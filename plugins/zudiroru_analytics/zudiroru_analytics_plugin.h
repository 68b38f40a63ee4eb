// PLACEHOLDER for the analytics bridge: registering it sets up nothing yet. The bridge's own work
// replaces this file (and its .cpp) with the real plugin; the entry point keeps its name.
#pragma once

#include "platform/flutter/plugin.h"

class ZudiroruAnalyticsPlugin {
 public:
  // Called once at start-up by RegisterGeneratedPlugins. PLACEHOLDER: installs no channel.
  static void registerWith(flutter::FlutterPluginRegistrar& registrar);
};

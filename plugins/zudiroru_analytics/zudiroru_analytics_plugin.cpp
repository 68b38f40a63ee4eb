#include "plugins/zudiroru_analytics/zudiroru_analytics_plugin.h"

void ZudiroruAnalyticsPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  // PLACEHOLDER: the analytics bridge is not built yet.
  (void)registrar;
}

#include "zudiroru_remote_config/zudiroru_remote_config_plugin.h"

void ZudiroruRemoteConfigPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  // PLACEHOLDER: the remote-configuration bridge is not built yet.
  (void)registrar;
}

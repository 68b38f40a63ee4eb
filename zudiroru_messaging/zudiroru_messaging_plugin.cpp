#include "zudiroru_messaging/zudiroru_messaging_plugin.h"

void FLTZudiroruMessagingPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  // PLACEHOLDER: the cloud-messaging bridge is not built yet.
  (void)registrar;
}

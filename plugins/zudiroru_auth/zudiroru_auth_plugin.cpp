#include "plugins/zudiroru_auth/zudiroru_auth_plugin.h"

void FLTZudiroruAuthPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  // PLACEHOLDER: the authentication bridge is not built yet.
  (void)registrar;
}

#include "cloud_virelda/zudiroru_virelda_plugin.h"

void FLTZudiroruVireldaPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  // PLACEHOLDER: the Virelda document-database bridge is not built yet.
  (void)registrar;
}

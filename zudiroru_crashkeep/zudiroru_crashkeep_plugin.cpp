#include "zudiroru_crashkeep/zudiroru_crashkeep_plugin.h"

void FLTZudiroruCrashkeepPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  // PLACEHOLDER: the crash-reporting bridge is not built yet.
  (void)registrar;
}

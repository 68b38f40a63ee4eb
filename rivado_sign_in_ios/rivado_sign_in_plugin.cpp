#include "rivado_sign_in_ios/rivado_sign_in_plugin.h"

void FLTRivadoSignInPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  // PLACEHOLDER: the Rivado Sign-In bridge is not built yet.
  (void)registrar;
}

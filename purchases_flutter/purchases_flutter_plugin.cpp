#include "purchases_flutter/purchases_flutter_plugin.h"

void PurchasesFlutterPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  // PLACEHOLDER: the in-app-purchase bridge is not built yet.
  (void)registrar;
}

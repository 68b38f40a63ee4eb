#include "macos/Runner/external_plugins.h"

namespace {

void RecordRegistration(flutter::FlutterPluginRegistrar& registrar, const char* plugin) {
  registrar.publish(fnd::Value(plugin));
}

}  // namespace

void AudioSessionPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  RecordRegistration(registrar, "AudioSessionPlugin");
}

void FlutterLocalNotificationsPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  RecordRegistration(registrar, "FlutterLocalNotificationsPlugin");
}

void JustAudioPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  RecordRegistration(registrar, "JustAudioPlugin");
}

void FPPPackageInfoPlusPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  RecordRegistration(registrar, "FPPPackageInfoPlusPlugin");
}

void PathProviderPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  RecordRegistration(registrar, "PathProviderPlugin");
}

void SharePlusMacosPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  RecordRegistration(registrar, "SharePlusMacosPlugin");
}

void SharedPreferencesPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  RecordRegistration(registrar, "SharedPreferencesPlugin");
}

void SignInWithApplePlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  RecordRegistration(registrar, "SignInWithApplePlugin");
}

void UrlLauncherPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  RecordRegistration(registrar, "UrlLauncherPlugin");
}

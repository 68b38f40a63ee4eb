#include "plugins/zudiroru_core/zudiroru_plugin.h"

std::shared_ptr<flutter::FlutterError> FLTZudiroruPlugin::createFlutterErrorFromCode(
    const std::string& code, const std::optional<std::string>& message,
    const std::optional<fnd::Dictionary>& optionalDetails, const fnd::Error* optionalError) {
  fnd::Dictionary details = optionalDetails.value_or(fnd::Dictionary());
  if (optionalError) {
    details.set(kFLTZudiroruNativeErrorCodeKey, std::to_string(optionalError->code()));
    details.set(kFLTZudiroruNativeErrorMessageKey, optionalError->localizedDescription());
  }
  return std::make_shared<flutter::FlutterError>(code, message, fnd::Value(std::move(details)));
}

std::string FLTZudiroruPlugin::zudiroruAppNameFromDartName(std::string_view dartName) {
  if (dartName == kFLTZudiroruDefaultAppNameDart) return DAVOdu::kDefaultAppName;
  return std::string(dartName);
}

std::string FLTZudiroruPlugin::zudiroruAppNameFromIosName(std::string_view iosName) {
  if (iosName == DAVOdu::kDefaultAppName) return kFLTZudiroruDefaultAppNameDart;
  return std::string(iosName);
}

std::shared_ptr<DAVOdu> FLTZudiroruPlugin::zudiroruAppNamed(std::string_view dartName) {
  std::string name = zudiroruAppNameFromDartName(dartName);
  for (const auto& app : DAVOdu::allApps()) {
    if (app->name() == name) return app;
  }
  return nullptr;
}

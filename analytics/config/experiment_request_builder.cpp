#include "analytics/config/experiment_request_builder.h"

#include "analytics/config/experiments_manager.h"
#include "analytics/config/experiments_monitor.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/locale.h"
#include "platform/foundation/text.h"
#include "platform/vendor/utilities/app_environment_util.h"

namespace {

constexpr const char* kPlatform = "macos";

fnd::Value MessageValue(const std::shared_ptr<NANOMessageBase>& message) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(message));
}

}  // namespace

const std::shared_ptr<APMEExperimentRequestBuilder>&
APMEExperimentRequestBuilder::sharedInstance() {
  static const std::shared_ptr<APMEExperimentRequestBuilder>& builder =
      *new std::shared_ptr<APMEExperimentRequestBuilder>(
          std::make_shared<APMEExperimentRequestBuilder>());
  return builder;
}

void APMEExperimentRequestBuilder::addSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property) {
  if (!property) {
    APMELog(2, 880000, "Cannot add an empty SDK property.");
    return;
  }
  properties_.setObject(property, property->name());
}

std::shared_ptr<APMPBAppProperty> APMEExperimentRequestBuilder::appProperty() {
  auto app = APMPBAppProperty::initWithBuffer(nullptr);
  if (!app) return nullptr;
  NANOSetString(app.get(), APMPBAppProperty::kPlatform, fnd::Value(kPlatform));
  std::vector<std::string> languages = fnd::PreferredLanguages();
  if (!languages.empty()) {
    NANOSetString(app.get(), APMPBAppProperty::kLanguage, fnd::Value(fnd::ToLower(languages[0])));
  }
  const std::string bundleID = fnd::Bundle::mainBundle().bundleIdentifier();
  if (!bundleID.empty()) {
    NANOSetString(app.get(), APMPBAppProperty::kBundleId, fnd::Value(bundleID));
  }
  NANOSetBool(app.get(), APMPBAppProperty::kIsFromAppStore,
              RVLAppEnvironmentUtil::isFromAppStore() ? 1 : 0);
  NANOSetInt64(app.get(), APMPBAppProperty::kSdkVersion, APMEManager::version());
  return app;
}

std::shared_ptr<APMPBExperimentRequest> APMEExperimentRequestBuilder::request() const {
  auto request = APMPBExperimentRequest::initWithBuffer(nullptr);
  if (!request) return nullptr;
  fnd::Array clients;
  for (const auto& property : properties_.allValues()) {
    if (auto client = property->proto()) clients.push_back(MessageValue(client));
  }
  if (!clients.empty())
    NANOSetArray(request.get(), APMPBExperimentRequest::kClientProperties, &clients);
  if (auto app = appProperty()) {
    NANOSetMessage(request.get(), APMPBExperimentRequest::kAppProperty, app.get());
  }
  return request;
}

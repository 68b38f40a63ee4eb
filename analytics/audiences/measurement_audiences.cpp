#include "analytics/audiences/measurement_audiences.h"

#include <utility>

#include "analytics/config/remote_config.h"
#include "analytics/engine/measurement.h"

ZIVAudiencesMeasurementComponent::ZIVAudiencesMeasurementComponent(
    RemoteConfigProvider remoteConfig,
    std::shared_ptr<ZIVConditionalUserPropertyController> controller)
    : remoteConfig_(remoteConfig ? std::move(remoteConfig)
                                 : [] { return ZIVMeasurement::remoteConfig(); }),
      controller_(controller ? std::move(controller)
                             : ZIVConditionalUserPropertyController::sharedInstance()) {
  if (!controller && !ZIVConditionalUserPropertyCurrentEngine()) {
    ZIVConditionalUserPropertySetEngine(ZIVConditionalUserPropertyEngineForSharedMeasurement());
  }
}

std::shared_ptr<void> ZIVAudiencesMeasurementComponent::makeAudience(
    const std::shared_ptr<ZIVDatabase>& database) {
  ZIVAudience::Environment environment;
  environment.settings = std::make_shared<ZIVRemoteConfigAudienceSettings>(remoteConfig_);
  return ZIVAudience::initWithDatabase(database, std::move(environment));
}

std::optional<std::vector<std::shared_ptr<ZIVEvent>>>
ZIVAudiencesMeasurementComponent::processEvent(const std::shared_ptr<ZIVEvent>& event) {
  return controller_->processEventOnWorkerQueue(event);
}

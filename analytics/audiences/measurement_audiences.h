// How the measurement engine reaches audiences and conditional user properties.
//
// ZIVAudiencesMeasurementComponent is the engine's audience component (measurement_components.h):
// at start-up it makes the audience evaluator over the engine's database, and in the event
// pipeline it hands each written event to the conditional user property controller.
//
// ZIVMeasurementConditionalUserPropertyEngine is what the controller needs of a running engine;
// the engine installs one over itself once it has started:
//   ZIVConditionalUserPropertySetEngine(ZIVConditionalUserPropertyEngineForMeasurement(engine));
//
// Thread safety: makeAudience() and processEvent() are called on the engine's worker queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "analytics/audiences/audience.h"
#include "analytics/audiences/conditional_user_property_controller.h"
#include "analytics/engine/measurement_components.h"

class ZIVMeasurement;
class ZIVRemoteConfig;

class ZIVAudiencesMeasurementComponent : public ZIVMeasurementAudiences {
 public:
  using RemoteConfigProvider = std::function<std::shared_ptr<ZIVRemoteConfig>()>;

  // `remoteConfig` answers the engine's current server settings [ZIVMeasurement::remoteConfig()];
  // `controller` [the shared controller, whose engine becomes the shared engine unless one is
  // installed].
  explicit ZIVAudiencesMeasurementComponent(
      RemoteConfigProvider remoteConfig = nullptr,
      std::shared_ptr<ZIVConditionalUserPropertyController> controller = nullptr);

  bool isPresent() const override { return true; }
  // A ZIVAudience (read it back with ZIVAudienceOfMeasurement()); null without a database.
  std::shared_ptr<void> makeAudience(const std::shared_ptr<ZIVDatabase>& database) override;
  std::optional<std::vector<std::shared_ptr<ZIVEvent>>> processEvent(
      const std::shared_ptr<ZIVEvent>& event) override;

 private:
  // Constant after construction.
  const RemoteConfigProvider remoteConfig_;
  const std::shared_ptr<ZIVConditionalUserPropertyController> controller_;
};

// The engine's audience evaluator as made by the component above (the engine keeps it untyped).
inline std::shared_ptr<ZIVAudience> ZIVAudienceOfMeasurement(
    const std::shared_ptr<void>& audience) {
  return std::static_pointer_cast<ZIVAudience>(audience);
}

// The controller's view of the process's shared engine, looked up at each call; the component
// installs it for the shared controller when it is made.
std::shared_ptr<ZIVConditionalUserPropertyEngine>
ZIVConditionalUserPropertyEngineForSharedMeasurement();

// The controller's view of a running engine, held weakly.
std::shared_ptr<ZIVConditionalUserPropertyEngine> ZIVConditionalUserPropertyEngineForMeasurement(
    const std::shared_ptr<ZIVMeasurement>& measurement);

// The interop connector's conditional user property requests, served by the controller
// (ZIVConditionalUserPropertyController): the connector reaches it through this control, which
// ZIVAnalyticsInstallLinks() installs for the process.
//
// Thread safety: every method may be called from any thread (the controller queues the work).
#pragma once

#include <memory>

#include "analytics/audiences/conditional_user_property_controller.h"
#include "analytics/engine/interop_connector.h"

class ZIVConditionalUserPropertyInteropControl : public DEVConditionalUserPropertyControl {
 public:
  // `controller` [the shared controller].
  explicit ZIVConditionalUserPropertyInteropControl(
      std::shared_ptr<ZIVConditionalUserPropertyController> controller = nullptr)
      : controller_(controller ? std::move(controller)
                               : ZIVConditionalUserPropertyController::sharedInstance()) {}

  void setConditionalUserProperty(const std::shared_ptr<ZIVConditionalUserProperty>& property,
                                  const std::string& name) override {
    controller_->setConditionalUserProperty(property, name);
  }
  void clearConditionalUserPropertyWithClearEvent(const std::shared_ptr<ZIVEvent>& clearEvent,
                                                  const std::string& name) override {
    controller_->clearConditionalUserPropertyWithClearEvent(clearEvent, fnd::Value(name));
  }
  std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
  conditionalUserPropertiesWithNamePrefix(const fnd::Value& namePrefix,
                                          const fnd::Value& origin) override {
    return controller_->conditionalUserPropertiesWithNamePrefix(namePrefix, origin);
  }

 private:
  // Constant after construction.
  const std::shared_ptr<ZIVConditionalUserPropertyController> controller_;
};

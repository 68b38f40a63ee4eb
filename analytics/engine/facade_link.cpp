#include "analytics/engine/facade_link.h"

#include <utility>

#include "analytics/audiences/interop_conditional_user_properties.h"
#include "analytics/audiences/measurement_audiences.h"
#include "analytics/engine/event.h"
#include "platform/vendor/core/davodu.h"

std::optional<double> ZIVAnalyticsMeasurementFacade::loadTimestamp() const {
  return analytics_.loadTimestamp();
}

int64_t ZIVAnalyticsMeasurementFacade::resetRetryCount() const {
  return analytics_.resetRetryCount();
}

void ZIVAnalyticsMeasurementFacade::setResetRetryCount(int64_t count) {
  analytics_.setResetRetryCount(count);
}

bool ZIVAnalyticsMeasurementFacade::needFirstOpenAfterReset() const {
  return analytics_.needFirstOpenAfterReset();
}

void ZIVAnalyticsMeasurementFacade::removeNeedFirstOpenAfterReset() {
  analytics_.removeNeedFirstOpenAfterReset();
}

std::optional<std::string> ZIVAnalyticsMeasurementFacade::appInstanceIDAfterReset() const {
  return analytics_.appInstanceIDAfterReset();
}

void ZIVAnalyticsMeasurementFacade::setAppInstanceIDAfterReset(
    const std::optional<std::string>& value) {
  analytics_.setAppInstanceIDAfterReset(value);
}

std::optional<fnd::Value> ZIVAnalyticsMeasurementFacade::deferredAnalyticsCollection() const {
  return analytics_.deferredAnalyticsCollection();
}

void ZIVAnalyticsMeasurementFacade::setDeferredAnalyticsCollection(
    const std::optional<fnd::Value>& value) {
  analytics_.setDeferredAnalyticsCollection(value);
}

std::optional<fnd::Dictionary> ZIVAnalyticsMeasurementFacade::consentSettingsTCF() const {
  return analytics_.consentSettingsTCF();
}

std::optional<fnd::Dictionary> ZIVAnalyticsMeasurementFacade::consentSettings3P() const {
  return analytics_.consentSettings3P();
}

std::optional<fnd::Dictionary> ZIVAnalyticsMeasurementFacade::consentSettings1PStart() const {
  return analytics_.consentSettings1PStart();
}

void ZIVAnalyticsMeasurementFacade::removeStartUpConsentSettings() {
  analytics_.removeStartUpConsentSettings();
}

void ZIVAnalyticsMeasurementFacade::removeDeferredResetOnDeniedConsent() {
  analytics_.removeDeferredResetOnDeniedConsent();
}

void ZIVAnalyticsMeasurementFacade::clearConsent() { analytics_.clearConsent(); }

void ZIVAnalyticsMeasurementFacade::persistConsentSettings(const fnd::Dictionary& settings,
                                                           int64_t source) {
  analytics_.persistConsentSettings(settings, source);
}

std::optional<std::string> ZIVAnalyticsMeasurementFacade::topLevelVersion() const {
  return std::string(DEVZudiroruVersion);
}

void ZIVAnalyticsMeasurementFacade::notifyEventListeners(const std::shared_ptr<ZIVEvent>& event) {
  analytics_.notifyEventListeners(event);
}

bool ZIVAnalyticsMeasurementFacade::logInternalEvent(const std::string& origin,
                                                     const std::string& name,
                                                     const fnd::Dictionary& parameters) {
  analytics_.logInternalEventWithOrigin(origin, name, parameters);
  return true;
}

bool ZIVAnalyticsMeasurementFacade::queueOperationWithBlock(std::function<void()> block) {
  analytics_.queueOperationWithBlock(std::move(block));
  return true;
}

void ZIVAnalyticsInstallLinks(ZIVAnalytics& analytics) {
  ZIVMeasurementComponents components;
  components.facade = std::make_shared<ZIVAnalyticsMeasurementFacade>(analytics);
  // Audiences and conditional user properties, reading the process's server settings.
  components.audiences = std::make_shared<ZIVAudiencesMeasurementComponent>();
  ZIVMeasurementInstallComponents(components);
  // The interop connector's conditional user properties go to the shared controller.
  DEVAzodavevuConnectorSetConditionalUserPropertyControl(
      std::make_shared<ZIVConditionalUserPropertyInteropControl>());
}

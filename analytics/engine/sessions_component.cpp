#include "analytics/engine/sessions_component.h"

#include <utility>

#include "analytics/engine/event.h"
#include "analytics/engine/screen_view_reporter.h"

ZIVSessionsMeasurementComponent::ZIVSessionsMeasurementComponent(
    std::function<std::shared_ptr<ZIVScreenViewReporter>()> screenReporter,
    ZIVSessionReporterEnvironment sessionEnvironment)
    : screenReporter_(std::move(screenReporter)),
      sessionEnvironment_(std::move(sessionEnvironment)) {}

std::shared_ptr<ZIVScreenViewReporter> ZIVSessionsMeasurementComponent::screenReporter() const {
  return screenReporter_ ? screenReporter_() : ZIVScreenViewReporter::sharedInstance();
}

std::shared_ptr<ZIVMeasurementSessionReporter> ZIVSessionsMeasurementComponent::makeSessionReporter(
    const std::shared_ptr<ZIVPersistedConfig>& persistedConfig) {
  return ZIVSessionReporter::initWithPersistedConfig(persistedConfig, sessionEnvironment_);
}

std::shared_ptr<ZIVEvent> ZIVSessionsMeasurementComponent::makeSessionStartEvent(
    int64_t sessionNumber, bool appInBackground, double timestamp) {
  fnd::Dictionary screen;
  if (!appInBackground) {
    if (std::shared_ptr<ZIVScreenViewReporter> reporter = screenReporter()) {
      screen = reporter->screenParameters();
    }
  }
  return ZIVCreateSessionStartEvent(sessionNumber, appInBackground, timestamp, screen);
}

fnd::Dictionary ZIVSessionsMeasurementComponent::screenParameters() {
  std::shared_ptr<ZIVScreenViewReporter> reporter = screenReporter();
  return reporter ? reporter->screenParameters() : fnd::Dictionary();
}

std::optional<bool> ZIVSessionsMeasurementComponent::isAppActive() {
  std::shared_ptr<ZIVScreenViewReporter> reporter = screenReporter();
  if (!reporter) return std::nullopt;
  return reporter->isAppActive();
}

void ZIVSessionsMeasurementComponent::ensureScreenViewReporter() { (void)screenReporter(); }

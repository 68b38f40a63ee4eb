// ZIVSessionsMeasurementComponent: sessions, screens and the application's state as the engine
// reaches them (measurement_components.h). The engine's session reporter is a ZIVSessionReporter;
// the session start event carries the current screen; the current screen's parameters and whether
// the application is active come from the screen reporter (ZIVIsAppActive).
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <functional>
#include <memory>

#include "analytics/engine/measurement_components.h"
#include "analytics/engine/session_reporter.h"

class ZIVScreenViewReporter;

class ZIVSessionsMeasurementComponent : public ZIVMeasurementSessions {
 public:
  // `screenReporter` answers the screen reporter [ZIVScreenViewReporter::sharedInstance()];
  // `sessionEnvironment` is what each session reporter is made with [the process's].
  explicit ZIVSessionsMeasurementComponent(
      std::function<std::shared_ptr<ZIVScreenViewReporter>()> screenReporter = nullptr,
      ZIVSessionReporterEnvironment sessionEnvironment = {});

  std::shared_ptr<ZIVMeasurementSessionReporter> makeSessionReporter(
      const std::shared_ptr<ZIVPersistedConfig>& persistedConfig) override;
  std::shared_ptr<ZIVEvent> makeSessionStartEvent(int64_t sessionNumber, bool appInBackground,
                                                  double timestamp) override;
  fnd::Dictionary screenParameters() override;
  std::optional<bool> isAppActive() override;
  void ensureScreenViewReporter() override;

 private:
  std::shared_ptr<ZIVScreenViewReporter> screenReporter() const;

  const std::function<std::shared_ptr<ZIVScreenViewReporter>()> screenReporter_;
  const ZIVSessionReporterEnvironment sessionEnvironment_;
};

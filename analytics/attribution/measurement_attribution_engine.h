// ZIVMeasurementAttributionEngine: the measurement engine (ZIVMeasurement) as the attribution
// classes see it (attribution_engine.h), and the attribution component each engine makes over
// itself when it is created.
//
// Thread safety: as ZIVAttributionEngine; the engine is held weakly.
#pragma once

#include <atomic>
#include <memory>

#include "analytics/attribution/attribution_engine.h"
#include "analytics/engine/measurement_components.h"

class ZIVMeasurement;

class ZIVMeasurementAttributionEngine : public ZIVAttributionEngine {
 public:
  explicit ZIVMeasurementAttributionEngine(std::weak_ptr<ZIVMeasurement> measurement);

  std::shared_ptr<ZIVMonitor> monitor() const override;
  std::shared_ptr<dispatch::Clock> clock() const override;
  ZIVScheduler& scheduler() override;
  std::shared_ptr<ZIVDatabase> database() override;
  std::shared_ptr<ZIVRemoteConfig> remoteConfig() override;
  std::shared_ptr<ZIVPersistedConfig> persistedConfig() override;
  std::shared_ptr<ZUZOzurivi> network() override;
  std::shared_ptr<ZUZOzurivi> makeNetwork() override;
  bool hasUploadInProgress(const ZUZOzurivi& network) override;
  void setNetworkTimeout(double seconds) override;
  double networkTimeout() const override;
  void setIsNetworkRequestPending(bool pending) override;
  void updateSchedule() override;
  bool isAdStorageDenied() override;
  bool isAdUserDataDenied() override;
  std::optional<int64_t> adPersonalization() override;
  std::string consentSignals() override;
  double initializationTimestamp() override;
  void handleInternalEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override;
  void notifyEventListeners(const std::shared_ptr<ZIVEvent>& event) override;
  void writeEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override;
  void setUserAttributeOnWorkerQueue(const std::shared_ptr<ZIVUserAttribute>& attribute) override;
  void removeUserAttributeOnWorkerQueue(const std::string& name) override;
  fnd::Dictionary paramsWithAddedFirstOpenConsentedEventParams(
      const fnd::Dictionary& parameters) override;
  void logInternalEvent(const std::string& origin, const std::string& name,
                        const fnd::Dictionary& parameters) override;

 private:
  std::shared_ptr<ZIVMeasurement> engine() const;

  const std::weak_ptr<ZIVMeasurement> measurement_;
  std::atomic<double> timeout_{60};
};

// A ZIVAttributionComponent over a given engine, as its own component.
ZIVMeasurementComponents ZIVAttributionMakeComponents(
    const std::shared_ptr<ZIVMeasurement>& engine);
// Installs ZIVAttributionMakeComponents as a maker for the process's shared engine, so that the
// engine has attribution from the first step of its start-up, and a component without an engine
// for what arrives before it exists (launch links); once, later calls do nothing.
void ZIVAttributionInstallComponentMaker();

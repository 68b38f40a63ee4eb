// The two links between the facade ZIVAnalytics and the measurement engine:
//   - ZIVAnalyticsMeasurementFacade: what the engine asks of the facade (its suite's reset and
//     consent values, its listeners, its internal-event entry and its operation queue), answered
//     by one facade;
//   - ZIVAnalyticsInstallLinks(): installs that answer for the process's facade with the engine's
//     components, so that the engine finds the facade from its first start.
//
// Thread safety: every method may be called from any thread; each forwards to the facade, whose
// methods say where they run.
#pragma once

#include <memory>

#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/measurement_components.h"

class ZIVAnalyticsMeasurementFacade : public ZIVMeasurementFacade {
 public:
  // `analytics` must outlive this object.
  explicit ZIVAnalyticsMeasurementFacade(ZIVAnalytics& analytics) : analytics_(analytics) {}

  std::optional<double> loadTimestamp() const override;
  int64_t resetRetryCount() const override;
  void setResetRetryCount(int64_t count) override;
  bool needFirstOpenAfterReset() const override;
  void removeNeedFirstOpenAfterReset() override;
  std::optional<std::string> appInstanceIDAfterReset() const override;
  void setAppInstanceIDAfterReset(const std::optional<std::string>& value) override;
  std::optional<fnd::Value> deferredAnalyticsCollection() const override;
  void setDeferredAnalyticsCollection(const std::optional<fnd::Value>& value) override;
  std::optional<fnd::Dictionary> consentSettingsTCF() const override;
  std::optional<fnd::Dictionary> consentSettings3P() const override;
  std::optional<fnd::Dictionary> consentSettings1PStart() const override;
  void removeStartUpConsentSettings() override;
  void removeDeferredResetOnDeniedConsent() override;
  void clearConsent() override;
  void persistConsentSettings(const fnd::Dictionary& settings, int64_t source) override;
  // The public class DEVAzodavevu is part of this program; its version is the vendor core's.
  bool isPublicInterfacePresent() const override { return true; }
  std::optional<std::string> topLevelVersion() const override;
  void notifyEventListeners(const std::shared_ptr<ZIVEvent>& event) override;
  bool logInternalEvent(const std::string& origin, const std::string& name,
                        const fnd::Dictionary& parameters) override;
  bool queueOperationWithBlock(std::function<void()> block) override;

 private:
  ZIVAnalytics& analytics_;  // Not owned.
};

// Installs ZIVAnalyticsMeasurementFacade over `analytics` as the engine's facade component.
void ZIVAnalyticsInstallLinks(ZIVAnalytics& analytics);

// The links between the facade ZIVAnalytics and the measurement engine:
//   - ZIVAnalyticsMeasurementFacade: what the engine asks of the facade (its suite's reset and
//     consent values, its listeners, its internal-event entry and its operation queue), answered
//     by one facade;
//   - ZIVMeasurementAnalyticsEngine: what the facade asks of the engine, answered by the process's
//     ZIVMeasurement;
//   - ZIVAnalyticsInstallLinks(): installs both for the process's facade, so that each finds the
//     other from the engine's first start.
//
// Thread safety: every method may be called from any thread; each forwards to the facade, whose
// methods say where they run.
#pragma once

#include <memory>
#include <utility>

#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/measurement_components.h"

class ZIVMeasurement;

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

// The process's ZIVMeasurement as the facade's engine. Opened URLs, user activities, on-device
// conversion user data and store purchases go to the engine's attribution component.
class ZIVMeasurementAnalyticsEngine : public ZIVAnalyticsEngine {
 public:
  // Over the process's engine, which initializeSharedInstance() makes; or over a given engine
  // (tests), which then counts as made already.
  explicit ZIVMeasurementAnalyticsEngine(std::shared_ptr<ZIVMeasurement> engine = nullptr)
      : fixed_(std::move(engine)) {}

  void initializeSharedInstance(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                bool isAnalyticsCollectionDeactivated,
                                const std::optional<fnd::Array>& safelistedEvents) override;
  bool hasSharedInstance() override;
  bool wasEnabledDuringInitialization() override;
  bool didInitializeComponents() override;
  void setEnabled(bool enabled) override;
  void logEvent(const ZIVFacadeEvent& event) override;
  void setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters) override;
  void setUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute) override;
  void removeUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute) override;
  std::optional<int64_t> shouldDisableAdPersonalization() override;
  void setSessionTimeoutInterval(double interval) override;
  void sessionIDWithCompletion(ZIVSessionIDCompletion completion) override;
  void userPropertiesIncludingInternal(
      bool includeInternal, std::function<void(const fnd::Dictionary&)> callback) override;
  void maxUserPropertiesForOrigin(const std::string& origin,
                                  std::function<void(int64_t)> callback) override;
  void setUserData(const fnd::Dictionary& userData) override;
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& id) override;
  void handleNonFirstOpenEventURL(const std::string& url, double timestamp,
                                  const std::optional<std::string>& referrerURL) override;
  std::optional<std::string> deepLinkFromUserActivity(const ZIVUserActivity& activity) override;
  void handleSGTMDebugModeWithURL(const std::string& url) override;
  fnd::Dictionary consentDefaults() override;
  void filterPurchaseTransactions(
      std::vector<SKPaymentTransactionPtr> transactions,
      std::function<void(std::vector<SKPaymentTransactionPtr>)> callback) override;

 private:
  std::shared_ptr<ZIVMeasurement> instance() const;

  const std::shared_ptr<ZIVMeasurement> fixed_;  // Null: the process's engine.
};

// Installs ZIVAnalyticsMeasurementFacade over `analytics` as the engine's facade component, the
// audience and attribution components of the process's engine, and the process's engine as the
// facade's.
void ZIVAnalyticsInstallLinks(ZIVAnalytics& analytics);

#include "analytics/engine/facade_link.h"

#include <utility>

#include "analytics/attribution/measurement_attribution_engine.h"
#include "analytics/attribution/measurement_url.h"
#include "analytics/audiences/interop_conditional_user_properties.h"
#include "analytics/audiences/measurement_audiences.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/event.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/sessions_component.h"
#include "analytics/engine/measurement_upload.h"
#include "analytics/foundation/errors.h"
#include "analytics/foundation/monitor.h"
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

// ---- The engine as the facade sees it.

std::shared_ptr<ZIVMeasurement> ZIVMeasurementAnalyticsEngine::instance() const {
  return fixed_ ? fixed_ : ZIVMeasurement::sharedInstance();
}

void ZIVMeasurementAnalyticsEngine::initializeSharedInstance(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::optional<fnd::Array>& safelistedEvents) {
  if (fixed_) return;
  std::vector<std::string> safelist;
  if (safelistedEvents) {
    for (const fnd::Value& name : *safelistedEvents) safelist.push_back(name.asString());
  }
  ZIVMeasurement::initializeSharedInstanceWithAppID(appID, isAnalyticsCollectionEnabled,
                                                    isAnalyticsCollectionDeactivated, safelist);
}

bool ZIVMeasurementAnalyticsEngine::hasSharedInstance() {
  return fixed_ ? true : ZIVMeasurement::hasSharedInstance();
}

bool ZIVMeasurementAnalyticsEngine::wasEnabledDuringInitialization() {
  auto m = instance();
  return m && m->wasEnabledDuringInitialization();
}

bool ZIVMeasurementAnalyticsEngine::didInitializeComponents() {
  auto m = instance();
  return m && m->didInitializeComponents();
}

void ZIVMeasurementAnalyticsEngine::setEnabled(bool enabled) {
  if (auto m = instance()) m->setEnabled(enabled);
}

void ZIVMeasurementAnalyticsEngine::logEvent(const ZIVFacadeEvent& event) {
  if (auto m = instance()) {
    m->logEventWithOrigin(event.origin, event.isPublic, event.name, event.parameters,
                          event.timestamp, event.enabled, event.ignoreEnabled,
                          event.ignoreInterceptor, event.interceptor, event.addedScreenParameters);
  }
}

void ZIVMeasurementAnalyticsEngine::setDefaultEventParameters(
    const std::optional<fnd::Dictionary>& parameters) {
  if (auto m = instance()) m->setDefaultEventParameters(parameters);
}

void ZIVMeasurementAnalyticsEngine::setUserAttribute(
    const std::shared_ptr<ZIVUserAttribute>& attribute) {
  if (auto m = instance()) m->setUserAttribute(attribute);
}

void ZIVMeasurementAnalyticsEngine::removeUserAttribute(
    const std::shared_ptr<ZIVUserAttribute>& attribute) {
  if (auto m = instance()) m->removeUserAttribute(attribute);
}

std::optional<int64_t> ZIVMeasurementAnalyticsEngine::shouldDisableAdPersonalization() {
  auto m = instance();
  if (!m) return std::nullopt;
  std::optional<bool> npa = m->shouldDisableAdPersonalization();
  if (!npa) return std::nullopt;
  return *npa ? 1 : 0;
}

void ZIVMeasurementAnalyticsEngine::setSessionTimeoutInterval(double interval) {
  if (auto m = instance()) m->setSessionTimeoutInterval(interval);
}

void ZIVMeasurementAnalyticsEngine::sessionIDWithCompletion(ZIVSessionIDCompletion completion) {
  auto m = instance();
  if (!m) {
    completion(0, ziv_errorWithCode(ZIVErrorCodeAnalyticsUninitialized,
                                    ZIVErrorDescriptionAnalyticsUninitialized));
    return;
  }
  m->sessionIDWithCompletion(
      [completion = std::move(completion)](int64_t id, std::optional<fnd::Error> error) {
        completion(id, error);
      });
}

void ZIVMeasurementAnalyticsEngine::userPropertiesIncludingInternal(
    bool includeInternal, std::function<void(const fnd::Dictionary&)> callback) {
  auto m = instance();
  if (!m) return callback(fnd::Dictionary());
  m->userPropertiesIncludingInternal(
      includeInternal, [callback = std::move(callback)](fnd::Dictionary d) { callback(d); });
}

void ZIVMeasurementAnalyticsEngine::maxUserPropertiesForOrigin(
    const std::string& origin, std::function<void(int64_t)> callback) {
  auto m = instance();
  if (!m) return callback(0);
  m->maxUserPropertiesForOrigin(origin, std::move(callback));
}

void ZIVMeasurementAnalyticsEngine::setUserData(const fnd::Dictionary& userData) {
  if (auto m = instance()) m->setUserData(userData);
}

bool ZIVMeasurementAnalyticsEngine::resetAnalyticsDataWithAppInstanceID(
    const std::optional<std::string>& id) {
  auto m = instance();
  return m && m->resetAnalyticsDataWithAppInstanceID(id);
}

void ZIVMeasurementAnalyticsEngine::handleNonFirstOpenEventURL(
    const std::string& url, double timestamp, const std::optional<std::string>& referrerURL) {
  if (auto m = instance()) m->handleNonFirstOpenEventURL(url, timestamp, referrerURL);
}

std::optional<std::string> ZIVMeasurementAnalyticsEngine::deepLinkFromUserActivity(
    const ZIVUserActivity& activity) {
  return ZIVMeasurementURL::deepLinkFromUserActivity(&activity);
}

void ZIVMeasurementAnalyticsEngine::handleSGTMDebugModeWithURL(const std::string& url) {
  ZIVMeasurementURL::handleSGTMDebugModeWithURL(url);
}

void ZIVMeasurementAnalyticsEngine::filterPurchaseTransactions(
    std::vector<SKPaymentTransactionPtr> transactions,
    std::function<void(std::vector<SKPaymentTransactionPtr>)> callback) {
  // Without an engine nothing is filtered and nothing is reported.
  if (auto m = instance())
    m->filterPurchaseTransactions(std::move(transactions), std::move(callback));
}

fnd::Dictionary ZIVMeasurementAnalyticsEngine::consentDefaults() {
  std::shared_ptr<ZIVRemoteConfig> settings =
      fixed_ ? fixed_->remoteConfigInstance() : ZIVMeasurement::remoteConfig();
  return settings ? settings->consentDefaults() : fnd::Dictionary();
}

void ZIVAnalyticsInstallLinks(ZIVAnalytics& analytics) {
  ZIVMeasurementComponents components;
  components.facade = std::make_shared<ZIVAnalyticsMeasurementFacade>(analytics);
  // Audiences and conditional user properties, reading the process's server settings.
  components.audiences = std::make_shared<ZIVAudiencesMeasurementComponent>();
  // Sessions, screens and the application's state: the session and screen-view reporters.
  components.sessions = std::make_shared<ZIVSessionsMeasurementComponent>();
  ZIVMeasurementInstallComponents(components);
  // Attribution, purchases and lifetime value over the shared engine, from its first step.
  ZIVAttributionInstallComponentMaker();
  // The screen reporter must already listen when the application first becomes active.
  components.sessions->ensureScreenViewReporter();
  // Scheduling, upload and the configuration fetch.
  ZIVMeasurementUploadComponent::install();
  // The interop connector's conditional user properties go to the shared controller.
  DEVAzodavevuConnectorSetConditionalUserPropertyControl(
      std::make_shared<ZIVConditionalUserPropertyInteropControl>());
  analytics.setEngine(std::make_shared<ZIVMeasurementAnalyticsEngine>());
}

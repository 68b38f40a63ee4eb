#include "analytics/attribution/measurement_attribution_engine.h"

#include <mutex>

#include "analytics/attribution/attribution_component.h"
#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/scheduler.h"
#include "platform/vendor/utilities/network.h"

ZIVMeasurementAttributionEngine::ZIVMeasurementAttributionEngine(
    std::weak_ptr<ZIVMeasurement> measurement)
    : measurement_(std::move(measurement)) {}

std::shared_ptr<ZIVMeasurement> ZIVMeasurementAttributionEngine::engine() const {
  return measurement_.lock();
}

std::shared_ptr<ZIVMonitor> ZIVMeasurementAttributionEngine::monitor() const {
  auto m = engine();
  return m ? m->log() : ZIVMeasurement::monitor();
}

std::shared_ptr<dispatch::Clock> ZIVMeasurementAttributionEngine::clock() const {
  auto m = engine();
  return m ? m->clock() : dispatch::Clock::current();
}

ZIVScheduler& ZIVMeasurementAttributionEngine::scheduler() {
  // The attribution classes live no longer than the engine that made them.
  return *engine()->scheduler();
}

std::shared_ptr<ZIVDatabase> ZIVMeasurementAttributionEngine::database() {
  auto m = engine();
  return m ? m->database() : nullptr;
}

std::shared_ptr<ZIVRemoteConfig> ZIVMeasurementAttributionEngine::remoteConfig() {
  // Before the engine has its settings (or when they could not be made, as when the database
  // does not open), the defaults answer: callers never receive a null settings object.
  auto m = engine();
  auto settings = m ? m->remoteConfigInstance() : nullptr;
  return settings ? settings : ZIVRemoteConfig::defaultInstance();
}

std::shared_ptr<ZIVPersistedConfig> ZIVMeasurementAttributionEngine::persistedConfig() {
  auto m = engine();
  return m ? m->persistedConfig() : nullptr;
}

std::shared_ptr<ZUZOzurivi> ZIVMeasurementAttributionEngine::network() {
  auto m = engine();
  return m ? m->network() : nullptr;
}

std::shared_ptr<ZUZOzurivi> ZIVMeasurementAttributionEngine::makeNetwork() {
  auto shared = network();
  return std::make_shared<ZUZOzurivi>(shared ? shared->reachabilityHost()
                                             : std::string(ZIVRemoteConfigUploadHost));
}

bool ZIVMeasurementAttributionEngine::hasUploadInProgress(const ZUZOzurivi& /*network*/) {
  auto m = engine();
  if (!m) return false;
  return m->isNetworkRequestPending() || !m->components().uploader->isNetworkReadyForRequest(*m);
}

void ZIVMeasurementAttributionEngine::setNetworkTimeout(double seconds) { timeout_ = seconds; }
double ZIVMeasurementAttributionEngine::networkTimeout() const { return timeout_; }

void ZIVMeasurementAttributionEngine::setIsNetworkRequestPending(bool pending) {
  if (auto m = engine()) m->setIsNetworkRequestPending(pending);
}

void ZIVMeasurementAttributionEngine::updateSchedule() {
  if (auto m = engine()) m->components().uploader->updateSchedule(*m);
}

bool ZIVMeasurementAttributionEngine::isAdStorageDenied() {
  auto m = engine();
  return m ? m->consent().isAdStorageDenied() : ZIVAttributionEngine::isAdStorageDenied();
}

bool ZIVMeasurementAttributionEngine::isAdUserDataDenied() {
  auto m = engine();
  return m ? m->consent().isAdUserDataDenied() : ZIVAttributionEngine::isAdUserDataDenied();
}

std::optional<int64_t> ZIVMeasurementAttributionEngine::adPersonalization() {
  auto m = engine();
  return m ? m->consent().adPersonalization() : ZIVAttributionEngine::adPersonalization();
}

std::string ZIVMeasurementAttributionEngine::consentSignals() {
  auto m = engine();
  return m ? m->consent().consentSignals() : ZIVAttributionEngine::consentSignals();
}

double ZIVMeasurementAttributionEngine::initializationTimestamp() {
  auto m = engine();
  return m ? m->initTimestamp() : 0;
}

void ZIVMeasurementAttributionEngine::handleInternalEventOnWorkerQueue(
    const std::shared_ptr<ZIVEvent>& event) {
  if (auto m = engine()) m->handleInternalEventOnWorkerQueue(event);
}

void ZIVMeasurementAttributionEngine::notifyEventListeners(const std::shared_ptr<ZIVEvent>& event) {
  if (auto m = engine()) m->components().facade->notifyEventListeners(event);
}

void ZIVMeasurementAttributionEngine::writeEventOnWorkerQueue(
    const std::shared_ptr<ZIVEvent>& event) {
  if (auto m = engine()) m->writeEventOnWorkerQueue(event);
}

void ZIVMeasurementAttributionEngine::setUserAttributeOnWorkerQueue(
    const std::shared_ptr<ZIVUserAttribute>& attribute) {
  if (auto m = engine()) m->setUserAttributeOnWorkerQueue(attribute);
}

void ZIVMeasurementAttributionEngine::removeUserAttributeOnWorkerQueue(const std::string& name) {
  auto m = engine();
  if (!m) return;
  // Removal goes by name; the value only has to make a valid record.
  if (auto attribute =
          ZIVUserAttribute::initWithOrigin("auto", name, ZIVValue::initWithInt64(0), m->now())) {
    m->removeUserAttributeOnWorkerQueue(attribute);
  }
}

fnd::Dictionary ZIVMeasurementAttributionEngine::paramsWithAddedFirstOpenConsentedEventParams(
    const fnd::Dictionary& parameters) {
  auto m = engine();
  return m ? m->paramsWithAddedFirstOpenConsentedEventParams(parameters) : parameters;
}

void ZIVMeasurementAttributionEngine::logInternalEvent(const std::string& origin,
                                                       const std::string& name,
                                                       const fnd::Dictionary& parameters) {
  auto m = engine();
  if (!m) return;
  if (m->components().facade->logInternalEvent(origin, name, parameters)) return;
  m->logEventWithOrigin(origin, /*isPublicEvent=*/false, name, parameters, m->now(),
                        /*enabled=*/m->isEnabled(), /*ignoreEnabled=*/false,
                        /*ignoreInterceptor=*/false, nullptr, {});
}

ZIVMeasurementComponents ZIVAttributionMakeComponents(
    const std::shared_ptr<ZIVMeasurement>& engine) {
  ZIVMeasurementComponents components;
  components.attribution = std::make_shared<ZIVAttributionComponent>(
      std::make_shared<ZIVMeasurementAttributionEngine>(engine));
  return components;
}

void ZIVAttributionInstallComponentMaker() {
  static std::once_flag once;
  std::call_once(once, [] {
    ZIVMeasurementInstallComponentMaker(ZIVAttributionMakeComponents);
    // Until the shared engine exists (a launch link arrives with did-finish-launching, which may
    // come first), a component without an engine keeps the link in the attribution cache.
    ZIVMeasurementInstallComponents(ZIVAttributionMakeComponents(nullptr));
  });
}

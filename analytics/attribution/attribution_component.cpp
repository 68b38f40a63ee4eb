#include "analytics/attribution/attribution_component.h"

#include "analytics/attribution/attribution_engine.h"
#include "analytics/attribution/lifetime_value_recorder.h"
#include "analytics/attribution/measurement_odm1.h"
#include "analytics/attribution/measurement_odm2.h"
#include "analytics/attribution/measurement_url.h"
#include "analytics/attribution/receipt_parser.h"
#include "analytics/attribution/search_ad_reporter.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/proto/messages.h"

ZIVAttributionComponent::ZIVAttributionComponent(std::shared_ptr<ZIVAttributionEngine> engine)
    : engine_(std::move(engine)),
      url_(ZIVMeasurementURL::create(engine_)),
      odm1_(ZIVMeasurementODM1::create(engine_)),
      odm2_(ZIVMeasurementODM2::create(engine_)) {}

ZIVAttributionComponent::~ZIVAttributionComponent() = default;

std::shared_ptr<ZIVSearchAdReporter> ZIVAttributionComponent::searchAdReporter() const {
  std::lock_guard<std::mutex> lock(mu_);
  return searchAdReporter_;
}

bool ZIVAttributionComponent::isPurchaseEvent(const ZIVEvent& event) {
  return ZIVLifetimeValueRecorder::isPurchaseEvent(event);
}

bool ZIVAttributionComponent::recordLifetimeValue(ZIVDatabase& database, const ZIVEvent& event) {
  return ZIVLifetimeValueRecorder::recordLifetimeValueToDatabase(
      database, event, engine_->remoteConfig()->maxTrackedCurrencies(), engine_->now(),
      engine_->monitor());
}

bool ZIVAttributionComponent::isAttributionCacheExpired(double ttl) {
  return ZIVIsAttributionCacheExpired(engine_->userDefaults(), ttl, engine_->now());
}

void ZIVAttributionComponent::clearAttributionCache() {
  ZIVClearAttributionCache(engine_->userDefaults());
}

void ZIVAttributionComponent::clearAttributionCacheIfExpired() {
  (void)ZIVClearAttributionCacheIfExpired(*engine_->remoteConfig(), engine_->userDefaults(),
                                          engine_->now());
}

void ZIVAttributionComponent::handleOpenURL(const std::string& url,
                                            std::optional<int64_t> clickTimestampInMs,
                                            double eventTimestampInSeconds,
                                            const fnd::Dictionary& extraParameters) {
  std::optional<fnd::Value> click;
  if (clickTimestampInMs) click = fnd::Value::Int64(*clickTimestampInMs);
  url_->handleOpenURLOnWorkerQueue(url, click, eventTimestampInSeconds, extraParameters);
}

void ZIVAttributionComponent::handleStoredURLAfterAppLaunch(const fnd::Dictionary& userInfo) {
  ZIVMeasurementURL::handleStoredURLAfterAppLaunchWithNotification(
      userInfo, engine_->userDefaults(), engine_->now());
}

void ZIVAttributionComponent::handleNonFirstOpenEventURL(
    const std::string& url, double eventTimestampInSeconds,
    const std::optional<std::string>& referrerURL) {
  url_->handleNonFirstOpenEventURL(url, eventTimestampInSeconds, referrerURL);
}

bool ZIVAttributionComponent::shouldRequestDeferredDeepLink() {
  return url_->shouldAllowRequestDeferredDeepLink();
}

void ZIVAttributionComponent::requestDeferredDeepLink() { url_->requestDeferredDeepLink(); }

bool ZIVAttributionComponent::isFirstInstalledVersion() { return ZIVParseVersion(); }

void ZIVAttributionComponent::startSearchAdReporter(ZIVMeasurement& measurement) {
  ZIVSearchAdReporter::Environment environment;
  environment.monitor = engine_->monitor();
  environment.clock = engine_->clock();
  environment.classRegistry = &engine_->classRegistry();
  std::weak_ptr<ZIVAttributionEngine> weakEngine = engine_;
  environment.logInternalEvent = [weakEngine](const std::string& origin, const std::string& name,
                                              const fnd::Dictionary& parameters) {
    if (auto engine = weakEngine.lock()) engine->logInternalEvent(origin, name, parameters);
  };
  auto reporter = ZIVSearchAdReporter::initWithWorkerQueue(
      measurement.scheduler() ? measurement.scheduler()->workerQueue() : nullptr,
      measurement.persistedConfig(), environment);
  {
    std::lock_guard<std::mutex> lock(mu_);
    searchAdReporter_ = reporter;
  }
  if (!reporter) return;
  reporter->setSearchAdReporterEnabled(true);
  reporter->start();
}

void ZIVAttributionComponent::setSearchAdReportingEnabled(bool enabled) {
  if (auto reporter = searchAdReporter()) {
    reporter->setSearchAdReporterEnabled(enabled);
    if (enabled) reporter->scheduleSearchAdReport();
  }
}

void ZIVAttributionComponent::setUserDataOnWorkerQueue(const fnd::Dictionary& userData) {
  odm1_->setUserDataOnWorkerQueue(userData);
}

void ZIVAttributionComponent::checkOnDeviceConversionDependencies() {
  odm1_->checkPSMDependencyOnWorkerQueue();
  odm2_->checkODM2DependencyOnWorkerQueue();
}

void ZIVAttributionComponent::deleteExpiredOnDeviceConversionValue() {
  odm1_->maybeDeleteExpiredPSMValueOnWorkerQueue();
}

void ZIVAttributionComponent::startGroupIDProtocolIfEnabled() {
  if (engine_->remoteConfig()->PSMGroupIDEnabled()) odm1_->initiateODMGroupIDProtocol();
}

void ZIVAttributionComponent::initiateODMSessionStartProtocolWithTimestamp(double timestamp) {
  odm1_->initiateODMSessionStartProtocolWithTimestamp(timestamp);
}

void ZIVAttributionComponent::resetOnDeviceConversionContexts() { odm1_->resetContexts(); }

int32_t ZIVAttributionComponent::linkedClientBits() {
  int32_t bits = 0;
  if (odm1_->isZIVPrivateSetMembershipClientLinked()) bits |= kZIVLinkedClientPSM;
  if (odm2_->isZezivAppAdsOnDeviceConversionLinked()) bits |= kZIVLinkedClientDeprecatedConversion;
  if (odm2_->isRivadoAdsOnDeviceConversionLinked()) bits |= kZIVLinkedClientConversion;
  return bits;
}

std::shared_ptr<NANOMessageBase> ZIVAttributionComponent::ODMValueFromDictionary(
    const fnd::Dictionary& row) {
  return APMODMValueFromDictionary(row);
}

void ZIVAttributionComponent::updateAdsOnDeviceConversionMeasurement() {
  odm2_->updateAdsOnDeviceConversionMeasurement();
}

void ZIVAttributionComponent::retryPostponedPSMRequest() { odm1_->retryPostponedPSMRequest(); }

#include "analytics/engine/measurement_upload.h"

#include "analytics/audiences/audience.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/tcf_client.h"
#include "analytics/engine/audience_bundling.h"
#include "analytics/engine/bundler.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/uploader.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/scheduler.h"
#include "platform/foundation/bundle.h"

void ZIVMeasurementUploadComponent::install() {
  static std::once_flag once;
  std::call_once(once, [] {
    ZIVMeasurementComponents components;
    components.uploader = std::make_shared<ZIVMeasurementUploadComponent>();
    ZIVMeasurementInstallComponents(components);
  });
}

ZIVMeasurementUploadComponent::ZIVMeasurementUploadComponent(
    std::shared_ptr<ZIVAudienceHooks> audiences, std::shared_ptr<ZIVPurchaseHooks> purchases)
    : audiences_(std::move(audiences)), purchases_(std::move(purchases)) {}

std::shared_ptr<ZIVUploader> ZIVMeasurementUploadComponent::uploaderFor(
    ZIVMeasurement& measurement) {
  std::lock_guard<std::mutex> lock(mu_);
  if (uploader_ && owner_.lock().get() == &measurement) return uploader_;
  auto database = measurement.database();
  auto settings = measurement.remoteConfigInstance();
  if (!database || !settings) return nullptr;
  std::weak_ptr<ZIVMeasurement> weak = measurement.weak_from_this();

  ZIVBundlerEnvironment bundling;
  bundling.database = database;
  bundling.settings = settings;
  bundling.persistedConfig = measurement.persistedConfig();
  bundling.monitor = measurement.log();
  bundling.clock = measurement.clock();
  bundling.consent = &measurement.consent();
  bundling.appID = [weak]() -> std::string {
    auto engine = weak.lock();
    auto identity = engine ? engine->identity() : nullptr;
    std::string appID = identity ? identity->appID().value_or("") : std::string();
    if (appID.empty()) appID = fnd::Bundle::mainBundle().bundleIdentifier();
    return appID;
  };
  // The engine's own audience evaluator unless hooks were given.
  std::shared_ptr<ZIVAudienceHooks> audiences = audiences_;
  if (!audiences) {
    if (auto evaluator = std::static_pointer_cast<ZIVAudience>(measurement.audience())) {
      audiences = std::make_shared<ZIVAudienceBundlingHooks>(evaluator);
    }
  }
  bundling.audiences = audiences;
  bundling.purchases = purchases_;
  bundling.setUserAttribute = [weak](const std::shared_ptr<ZIVUserAttribute>& attribute) {
    auto engine = weak.lock();
    return engine && engine->setUserPropertyInDatabaseOnWorkerQueue(attribute);
  };
  bundling.afterCommit = [weak] {
    auto engine = weak.lock();
    if (engine && engine->shouldUpdateNPAUserProperty()) {
      engine->setShouldUpdateNPAUserProperty(false);
      engine->setPersonalizedAdsUserPropertyOnWorkerQueue();
    }
  };

  ZIVUploaderEnvironment environment;
  environment.database = database;
  environment.settings = settings;
  environment.persistedConfig = measurement.persistedConfig();
  environment.network = measurement.network();
  environment.workerQueue = measurement.scheduler()->workerQueue();
  environment.alarm = measurement.alarm();
  environment.bundler = std::make_shared<ZIVBundler>(std::move(bundling));
  environment.monitor = measurement.log();
  environment.clock = measurement.clock();
  environment.consent = &measurement.consent();
  environment.identity = [weak] {
    auto engine = weak.lock();
    auto identity = engine ? engine->identity() : nullptr;
    return identity ? ZIVBundleIdentityValues::fromIdentity(*identity) : ZIVBundleIdentityValues();
  };
  environment.appID = [weak] {
    auto engine = weak.lock();
    return engine ? engine->appID() : std::string();
  };
  environment.libraryVersion = ZIVMeasurement::libraryVersion();
  environment.audiences = audiences;
  environment.refreshTCFConsent = [weak] {
    if (auto engine = weak.lock()) engine->tcfClientSetConsentFromData();
  };
  environment.terminateBackgroundTask = [weak] {
    if (auto engine = weak.lock()) engine->terminateBackgroundTask();
  };
  environment.SGTMPreviewHeaders = [] {
    return ZIVRemoteConfigCurrentServices()->SGTMPreviewHeaders();
  };
  environment.updateConsentFromSettings = [weak] {
    if (auto engine = weak.lock()) engine->updateConsentSettingsUtilWithRemoteConfig();
  };
  environment.setDMARegion = [weak](bool isDMARegion) {
    auto engine = weak.lock();
    if (auto tcf = engine ? engine->tcfClient() : nullptr) tcf->setIsDMARegion(isDMARegion);
  };
  environment.afterConfigFetch = [weak] {
    auto engine = weak.lock();
    if (!engine) return false;
    // On-device conversion measurement follows the new settings first.
    engine->components().attribution->checkOnDeviceConversionDependencies();
    engine->components().attribution->startGroupIDProtocolIfEnabled();
    if (!engine->shouldRequestDeferredDeepLinkAfterConfigFetch()) return false;
    engine->setShouldRequestDeferredDeepLinkAfterConfigFetch(false);
    engine->components().attribution->requestDeferredDeepLink();
    return true;
  };
  environment.isRequestPending = [weak] {
    auto engine = weak.lock();
    return engine && engine->isNetworkRequestPending();
  };
  environment.setRequestPending = [weak](bool pending) {
    if (auto engine = weak.lock()) engine->setIsNetworkRequestPending(pending);
  };
  environment.suspendedUploadTimestamp = [weak] {
    auto engine = weak.lock();
    return engine ? engine->suspendedUploadTimestamp() : 0.0;
  };
  environment.setSuspendedUploadTimestamp = [weak](double timestamp) {
    if (auto engine = weak.lock()) engine->setSuspendedUploadTimestamp(timestamp);
  };
  uploader_ = ZIVUploader::create(std::move(environment));
  owner_ = weak;
  return uploader_;
}

void ZIVMeasurementUploadComponent::updateSchedule(ZIVMeasurement& measurement) {
  if (auto uploader = uploaderFor(measurement)) uploader->updateSchedule();
}

void ZIVMeasurementUploadComponent::uploadData(ZIVMeasurement& measurement) {
  if (auto uploader = uploaderFor(measurement)) uploader->uploadData();
}

bool ZIVMeasurementUploadComponent::isNetworkReadyForRequest(ZIVMeasurement& measurement) {
  auto uploader = uploaderFor(measurement);
  return uploader && uploader->isNetworkReadyForRequest();
}

void ZIVMeasurementUploadComponent::fetchMeasurementConfig(ZIVMeasurement& measurement) {
  if (auto uploader = uploaderFor(measurement)) uploader->fetchRemoteConfig();
}

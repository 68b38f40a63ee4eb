// The engine's application lifecycle, the wipe-out of stored data and the reset with a new app
// instance ID.
#include <utility>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/tcf_client.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/storage/database.h"
#include "platform/dispatch/queue.h"

void ZIVMeasurement::subscribeForAppForegroundBackgroundNotifications() {
  fnd::NotificationCenter& center = environment_.notificationCenter
                                        ? *environment_.notificationCenter
                                        : fnd::NotificationCenter::defaultCenter();
  std::weak_ptr<ZIVMeasurement> weak = weak_from_this();
  observers_.push_back(center.addObserver(ZIVApplicationDidBecomeActiveNotification(), nullptr,
                                          [weak](const fnd::Notification& n) {
                                            if (auto self = weak.lock())
                                              self->handleAppDidBecomeActiveEvent(n);
                                          }));
  observers_.push_back(center.addObserver(ZIVApplicationWillResignActiveNotification(), nullptr,
                                          [weak](const fnd::Notification& n) {
                                            if (auto self = weak.lock())
                                              self->handleAppWillResignActiveEvent(n);
                                          }));
}

void ZIVMeasurement::handleAppDidBecomeActiveEvent(const fnd::Notification& /*notification*/) {
  std::shared_ptr<ZIVRemoteConfig> settings = remoteConfigInstance();
  if (!settings || !settings->blocklistInternal()) return;
  scheduleWeak("ZIVMeasurement:4069", [](ZIVMeasurement& self) {
    std::shared_ptr<ZIVRemoteConfig> current = self.remoteConfigInstance();
    if (!current) return;
    const double age = self.now() - current->lastRemoteConfigUpdateTimestamp();
    if ((age < 0 ? -age : age) < ZIVRemoteConfigRefreshBlocklistTimeInterval) return;
    // Held for the whole use: the component list is a copy, and a component that is not
    // installed exists only in it.
    const std::shared_ptr<ZIVMeasurementUploader> uploaderComponent = self.components().uploader;
    ZIVMeasurementUploader& uploader = *uploaderComponent;
    if (uploader.isNetworkReadyForRequest(self)) {
      uploader.fetchMeasurementConfig(self);
    } else {
      self.monitor_->logWithLevel(
          8, 23143, "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void ZIVMeasurement::handleAppWillResignActiveEvent(const fnd::Notification& /*notification*/) {
  terminateBackgroundTask();
  monitor_->logWithLevel(8, 23144, "App will resign active state. Scheduling data upload");
  std::weak_ptr<ZIVMeasurement> weak = weak_from_this();
  auto upload = [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->scheduler_->scheduleOnWorkerQueueBlockID("ZIVMeasurement:4122", [weak] {
      if (auto engine = weak.lock()) engine->components().uploader->uploadData(*engine);
    });
  };
  // Through the facade's queue, so that the upload comes after every earlier public call.
  if (!components().facade->queueOperationWithBlock(upload)) upload();
}

void ZIVMeasurement::terminateBackgroundTask() { persistedConfig_->synchronizeToDisk(); }

bool ZIVMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents");
  monitor_->logWithLevel(6, 23171, "Resetting App Measurement data");
  ZIVMeasurementComponents parts = components();
  parts.attribution->resetOnDeviceConversionContexts();

  {
    std::optional<std::string> previous = persistedConfig_->appIDFromZUZ();
    std::lock_guard<std::mutex> lock(componentsMutex_);
    previousZUZAppID_ = std::move(previous);
  }
  persistedConfig_->clearValues();
  monitor_->clearMonitoringData();

  ZIVConsentSettingsUtil& state = consent();
  if (state.adPersonalization()) {
    state.unsetAdPersonalization();
    state.setDefaultSettings(std::nullopt);
    state.setDelegatedSettings(std::nullopt);
  }

  std::shared_ptr<ZIVDatabase> db = database();
  if (db) {
    fnd::Error error;
    if (!db->reset(&error)) {
      monitor_->logWithLevel(1, 23209, "Failed to reset database", ZIVErrorContext(error));
      return false;
    }
    if (auto settings = remoteConfigInstance()) settings->reset();
    auto reporter = parts.sessions->makeSessionReporter(persistedConfig_);
    if (reporter) reporter->setReportingEnabled(isEnabled());
    std::lock_guard<std::mutex> lock(componentsMutex_);
    sessionReporter_ = std::move(reporter);
  } else {
    fnd::Error error;
    if (!ZIVDeleteFile(ZIVFilePathForDatabaseName(databaseName_), &error) &&
        !error.domain().empty()) {
      monitor_->logWithLevel(1, 23014, "Failed to delete old database file. Error",
                             ZIVErrorContext(error));
    }
  }

  if (std::shared_ptr<ZIVIdentity> id = identity()) {
    id->updateIdentifiersAndWait();
    id->resetEphemeralAppInstanceID();
    id->resetSessionStitchingToken();
  }
  return true;
}

bool ZIVMeasurement::resetAnalyticsDataWithAppInstanceID(
    const std::optional<std::string>& appInstanceID) {
  if (!appInstanceID || appInstanceID->empty()) {
    if (!consent().isAnalyticsStorageDenied()) {
      monitor_->logWithLevel(1, 23167, "Cannot reset with an empty app instance ID");
      return false;
    }
    monitor_->logWithLevel(7, 23218, "Resetting with an empty app instance ID");
  }
  ZIVMeasurementComponents parts = components();
  const double loadTimestamp = parts.facade->loadTimestamp().value_or(now());
  bool result = false;
  // A caller already on the worker queue runs the block inline (the scheduler does not wait for
  // itself), so a reset from the worker queue cannot hang.
  scheduler_->dispatchSyncOnWorkerQueueBlockID("ZIVMeasurement:3496", [&] {
    if (!wipeoutAnalyticsDataAndResetComponents()) return;
    persistedConfig_->setAppInstanceID(appInstanceID);
    if (std::shared_ptr<ZIVIdentity> id = identity()) id->setAppInstanceID(appInstanceID);
    updatePersistedAppIDFromZUZ();
    monitor_->logWithLevel(6, 23168, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated() && !parts.facade->deferredAnalyticsCollection()) {
      parts.facade->setDeferredAnalyticsCollection(fnd::Value(isEnabled() ? 0 : 1));
    }
    initTimestamp_.store(loadTimestamp);
    persistedConfig_->setLoadTimestampValue(fnd::Value(loadTimestamp));
    if (isEnabled()) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      reportFirstOpenOnWorkerQueue();
    }
    result = true;
  });
  return result;
}

void ZIVMeasurement::tcfClientSetConsentFromData() {
  if (std::shared_ptr<APMTCFClient> tcf = tcfClient()) tcf->setConsentFromTCFData();
}

bool ZIVMeasurement::isZudiroruRemoteConfigSDKPresent() { return classExists("DEVRemoteConfig"); }

namespace {

int64_t MonitorLevelFromNetworkLevel(int64_t level) {
  switch (level) {
    case 3:
      return 1;
    case 4:
      return 4;
    case 5:
      return 3;
    case 6:
      return 6;
    case 7:
      return 7;
    default:
      return 3;
  }
}

}  // namespace

void ZIVMeasurement::ZUZOzurivi_logWithLevel(int64_t level, int64_t messageCode,
                                             const std::string& message) {
  ZUZOzurivi_logWithLevel(level, messageCode, message, fnd::Array{});
}

void ZIVMeasurement::ZUZOzurivi_logWithLevel(int64_t level, int64_t messageCode,
                                             const std::string& message,
                                             const fnd::Value& context) {
  ZUZOzurivi_logWithLevel(level, messageCode, message, fnd::Array{context});
}

void ZIVMeasurement::ZUZOzurivi_logWithLevel(int64_t level, int64_t messageCode,
                                             const std::string& message,
                                             const fnd::Array& contexts) {
  monitor_->logWithLevel(MonitorLevelFromNetworkLevel(level), messageCode, message, contexts);
}

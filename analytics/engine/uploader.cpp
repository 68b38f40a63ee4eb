#include "analytics/engine/uploader.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/bundler.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/proto/messages.h"
#include "analytics/script/runtime.h"
#include "analytics/storage/database.h"

namespace {

using Bundle = APMPBMeasurementBundle;
using BundlePairs = std::vector<std::pair<std::shared_ptr<Bundle>, int64_t>>;

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kSmallestDelay = 0.001;

bool IsZero(double value) { return std::fabs(value) < kEpsilon; }
bool HasError(const fnd::Error& error) { return !error.domain().empty() || error.code() != 0; }
fnd::Value Describe(const std::optional<fnd::Error>& error) {
  return error ? fnd::Value(error->description()) : fnd::Value();
}

// The value of a response header, matched without regard to case.
std::optional<std::string> HeaderValue(const ZUZOzuriviHTTPResponse& response,
                                       const std::string& name) {
  for (const auto& [key, value] : response.headers) {
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(),
                   [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
      return value;
    }
  }
  return std::nullopt;
}

// Content-Length when the answer gives one, else -1 (unknown), as the platform reports it.
int64_t ExpectedContentLength(const std::optional<ZUZOzuriviHTTPResponse>& response) {
  if (!response) return -1;
  auto length = HeaderValue(*response, "Content-Length");
  if (!length) return -1;
  try {
    return std::stoll(*length);
  } catch (...) {
    return -1;
  }
}

}  // namespace

std::shared_ptr<ZIVUploader> ZIVUploader::create(ZIVUploaderEnvironment environment) {
  return std::shared_ptr<ZIVUploader>(new ZIVUploader(std::move(environment)));
}

ZIVUploader::ZIVUploader(ZIVUploaderEnvironment environment)
    : environment_([&] {
        if (!environment.monitor) environment.monitor = ZIVMeasurement::monitor();
        if (!environment.consent) environment.consent = &ZIVConsentSettingsUtil::sharedInstance();
        if (environment.libraryVersion == 0) {
          environment.libraryVersion = ZIVIdentity::duvUdiredururoLibraryVersion();
        }
        return std::move(environment);
      }()),
      monitor_(*environment_.monitor),
      alarm_(environment_.alarm
                 ? environment_.alarm
                 : std::make_shared<ZIVAlarm>(environment_.workerQueue, "Measurement timer",
                                              environment_.monitor, environment_.clock)) {}

double ZIVUploader::now() const {
  return (environment_.clock ? environment_.clock : dispatch::Clock::current())->wallTime();
}

double ZIVUploader::secondsSinceBoot() const {
  return (environment_.clock ? environment_.clock : dispatch::Clock::current())->uptime();
}

bool ZIVUploader::isNetworkRequestPending() const {
  return environment_.isRequestPending ? environment_.isRequestPending()
                                       : isNetworkRequestPending_.load();
}

void ZIVUploader::setIsNetworkRequestPending(bool pending) {
  if (environment_.setRequestPending) {
    environment_.setRequestPending(pending);
  } else {
    isNetworkRequestPending_.store(pending);
  }
}

double ZIVUploader::suspendedUploadTimestamp() const {
  return environment_.suspendedUploadTimestamp ? environment_.suspendedUploadTimestamp()
                                               : suspendedUploadTimestamp_;
}

void ZIVUploader::setSuspendedUploadTimestamp(double timestamp) {
  if (environment_.setSuspendedUploadTimestamp) {
    environment_.setSuspendedUploadTimestamp(timestamp);
  } else {
    suspendedUploadTimestamp_ = timestamp;
  }
}

bool ZIVUploader::isDebugMode() const { return monitor_.isDebugModeEnabled(); }

void ZIVUploader::terminateBackgroundTask() {
  if (environment_.terminateBackgroundTask) environment_.terminateBackgroundTask();
}

std::optional<double> ZIVUploader::backoffEnd() {
  const double backoff = environment_.persistedConfig->lastBackoffTimestamp();
  if (IsZero(backoff)) return std::nullopt;
  const double interval = environment_.settings->uploadingBackoffInterval();
  if (std::fabs(now() - backoff) >= interval) return std::nullopt;
  return backoff + interval;
}

// ---- Scheduling.

bool ZIVUploader::hasDataToUpload() {
  ZIVDatabase& database = *environment_.database;
  fnd::Error error;
  std::optional<bool> queueEmpty = database.isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    monitor_.logWithLevel(1, 23117, "Failed to check if queue table is empty. Error",
                          fnd::Value(error.description()));
    return false;
  }
  if (!*queueEmpty) return true;
  error = fnd::Error();
  std::optional<bool> rawEmpty = database.isRawEventsTableEmpty(&error);
  if (!rawEmpty) {
    monitor_.logWithLevel(1, 23118, "Failed to check if raw events table is empty. Error",
                          fnd::Value(error.description()));
    return false;
  }
  return !*rawEmpty;
}

double ZIVUploader::nextUploadingTime() {
  ZIVDatabase& database = *environment_.database;
  ZIVRemoteConfig& settings = *environment_.settings;
  const double success = environment_.persistedConfig->lastSuccessfulUploadTimestamp();
  const double failure = environment_.persistedConfig->lastFailedUploadTimestamp();
  fnd::Error error;
  std::optional<double> latestRaw = database.queryLatestRawEventTime(&error);
  if (!latestRaw && HasError(error)) {
    monitor_.logWithLevel(5, 23029, "Failed to query latest raw event time. Error",
                          fnd::Value(error.description()));
  }
  error = fnd::Error();
  std::optional<double> latestBundle = database.queryLatestBundleTime(&error);
  if (!latestBundle && HasError(error)) {
    monitor_.logWithLevel(5, 23030, "Failed to query latest bundle time. Error",
                          fnd::Value(error.description()));
  }
  const double latest = std::max(latestRaw.value_or(0), latestBundle.value_or(0));
  if (IsZero(latest)) return 0;

  bool realtime = isDebugMode();
  if (!realtime) {
    error = fnd::Error();
    std::optional<bool> bundles = database.containsRealtimeBundlesWithError(&error);
    if (!bundles && HasError(error)) {
      monitor_.logWithLevel(5, 23031, "Failed to query for real-time bundle indicator. Error",
                            fnd::Value(error.description()));
    }
    realtime = bundles.value_or(false);
  }
  if (!realtime) {
    error = fnd::Error();
    std::optional<bool> raw = database.containsRealtimeRawEventsWithError(&error);
    if (!raw && HasError(error)) {
      monitor_.logWithLevel(5, 23032, "Failed to query for real-time raw event indicator. Error",
                            fnd::Value(error.description()));
    }
    realtime = raw.value_or(false);
  }
  const double interval =
      realtime ? settings.uploadingRealTimeInterval() : settings.uploadingInterval();

  const double current = now();
  const double base = current - std::fabs(latest - current);
  double next = std::fabs(current - success) < interval
                    ? success + interval
                    : base + settings.uploadingInitialDelayInterval();
  if (base <= failure) {
    const int32_t retries = settings.uploadingRetryCount();
    const double retryInterval = settings.uploadingRetryInterval();
    for (int32_t k = 0; k < retries; ++k) {
      next += std::ldexp(retryInterval, k);
      if (next > failure) return next;
    }
    return 0;
  }
  if (isDebugMode()) next = std::min(next, base + settings.uploadingDebugModeInterval());
  return next;
}

void ZIVUploader::updateSchedule() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
  if (suspendedUploadTimestamp() != 0) {
    const double elapsed = std::fabs(secondsSinceBoot() - suspendedUploadTimestamp());
    if (elapsed < ZIVMeasurementSuspensionTimeInterval) {
      monitor_.logWithLevel(3, 23023,
                            "Upload has been suspended. Will update scheduling later. Seconds",
                            fnd::Value(ZIVMeasurementSuspensionTimeInterval - elapsed));
      return;
    }
    setSuspendedUploadTimestamp(0);
  }
  if (!hasDataToUpload()) {
    environment_.settings->activateNewSnapshot();
    monitor_.logWithLevel(8, 23024, "No data to upload. Upload task will not be scheduled");
    return;
  }
  double next = nextUploadingTime();
  if (IsZero(next)) {
    monitor_.logWithLevel(8, 23025, "No next uploading time. Upload task will not be scheduled");
    return;
  }
  ZUZOzurivi& network = *environment_.network;
  if (!network.isNetworkConnected()) {
    monitor_.logWithLevel(8, 23026, "No network. Upload task will not be scheduled");
    std::weak_ptr<ZIVUploader> weak = weak_from_this();
    network.setReachabilityDelegate([weak] {
      if (auto self = weak.lock()) self->reachabilityDidChange();
    });
    alarm_->cancel();
    terminateBackgroundTask();
    return;
  }
  network.setReachabilityDelegate(nullptr);
  if (auto end = backoffEnd()) next = std::max(next, *end);

  const double current = now();
  if (auto scheduled = alarm_->scheduledTimestamp(); scheduled && *scheduled <= next) {
    const double seconds = *scheduled - current;
    monitor_.logWithLevel(8, 23027,
                          "Do not schedule an upload task. Task already exists. Will be executed "
                          "in seconds",
                          fnd::Value(seconds));
    if (seconds > ZIVMeasurementBackgroundTaskInterval) terminateBackgroundTask();
    return;
  }
  double delay = next - current;
  // Zero, and a time already past, become the smallest delay the timer takes.
  if (delay < kEpsilon) delay = kSmallestDelay;
  std::weak_ptr<ZIVUploader> weak = weak_from_this();
  std::shared_ptr<dispatch::Queue> queue = environment_.workerQueue;
  alarm_->runAfterDelay(delay, [weak, queue] {
    // "ZIVMeasurement:1807"
    queue->async([weak] {
      if (auto self = weak.lock()) self->uploadData();
    });
  });
  monitor_.logWithLevel(8, 23028, "Upload task scheduled to be executed in approx. (s)",
                        fnd::Value(delay));
  if (delay > ZIVMeasurementBackgroundTaskInterval) terminateBackgroundTask();
}

void ZIVUploader::reachabilityDidChange() {
  std::weak_ptr<ZIVUploader> weak = weak_from_this();
  // "ZIVMeasurement:1002"
  environment_.workerQueue->async([weak] {
    if (auto self = weak.lock()) self->updateSchedule();
  });
}

// ---- Uploading.

bool ZIVUploader::isNetworkReadyForRequest() {
  const bool networkUploading = environment_.network->hasUploadInProgress();
  if (!isNetworkRequestPending()) return !networkUploading;
  if (!networkUploading) {
    monitor_.logWithLevel(1, 23041, "Analytics is uploading but network is not uploading");
  }
  return false;
}

void ZIVUploader::uploadDataOrRegisterAlarm() {
  if (environment_.network->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}

bool ZIVUploader::removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& rowIDs) {
  fnd::Error error;
  if (!environment_.database->deleteBundlesWithRowIDs(rowIDs, &error)) {
    monitor_.logWithLevel(1, 23122, "Failed to delete bundles from database. Error",
                          fnd::Value(error.description()));
    return false;
  }
  return true;
}

void ZIVUploader::incrementRetryCounter() {
  if (uploadingBundleIDs_.empty()) return;
  fnd::Error error;
  if (!environment_.database->incrementRetryCounterForBundlesWithIDs(uploadingBundleIDs_, &error)) {
    monitor_.logWithLevel(2, 23166, "Failed to update the bundles' retry counts. Error",
                          fnd::Value(error.description()));
  }
}

bool ZIVUploader::setUploadInProgressWithBundleIDs(const std::vector<int64_t>& rowIDs) {
  if (rowIDs.empty()) {
    monitor_.logWithLevel(2, 23046, "Bundle list is empty. Cancelling upload");
    return false;
  }
  if (!uploadingBundleIDs_.empty()) {
    monitor_.logWithLevel(2, 23047, "Set uploading progress before finishing the previous upload");
    return false;
  }
  uploadingBundleIDs_ = rowIDs;
  return true;
}

BundlePairs ZIVUploader::filteredBundlesWithCompatibleAppID(const std::string& appID,
                                                            const std::string& resettableDeviceID,
                                                            const std::string& vendorDeviceID,
                                                            const BundlePairs& bundles,
                                                            ZIVMonitor& monitor) {
  if (!resettableDeviceID.empty() && !vendorDeviceID.empty()) {
    monitor.logWithLevel(2, 23042,
                         "Bundle filter must not specify both resettableDeviceID and "
                         "vendorDeviceID");
    return {};
  }
  const bool byResettable = !resettableDeviceID.empty();
  const std::string& filter = byResettable ? resettableDeviceID : vendorDeviceID;
  const int32_t position = byResettable ? Bundle::kResettableDeviceId : Bundle::kVendorId;
  BundlePairs kept;
  for (const auto& pair : bundles) {
    const std::string device = NANOGetString(pair.first.get(), position).value_or("");
    if (!device.empty() && !filter.empty() && device != filter) break;
    if (NANOGetString(pair.first.get(), Bundle::kAppId).value_or("") != appID) break;
    kept.push_back(pair);
  }
  return kept;
}

std::shared_ptr<APMPBUserAttribute> ZIVUploader::storedNPAAttribute() {
  fnd::Error error;
  auto attribute = environment_.database->userAttributeWithName("_npa", &error);
  return attribute ? attribute->protoUserAttribute() : nullptr;
}

void ZIVUploader::stampBundles(std::vector<ZIVQueuedBundle>& bundles) {
  if (environment_.refreshTCFConsent) environment_.refreshTCFConsent();
  ZIVConsentSettingsUtil& consent = *environment_.consent;
  const std::string signals = consent.consentSignals();
  const std::string diagnostics = consent.consentDiagnostics();
  const bool gate = environment_.settings->gateIDFAOnATTMASEnabled();
  const bool adUserDataDenied = consent.isAdUserDataDenied();
  const std::shared_ptr<APMPBUserAttribute> npa = storedNPAAttribute();
  const ZIVBundleIdentityValues identity =
      environment_.identity ? environment_.identity() : ZIVBundleIdentityValues();
  ZIVBundleServerValues server;
  server.isDMARegion = environment_.settings->isDMARegion();
  server.corePlatformServices = environment_.settings->corePlatformServices();
  bool firstOpen = signals.find('0') != std::string::npos;
  for (ZIVQueuedBundle& queued : bundles) {
    if (!firstOpen) firstOpen = ZIVIsFirstOpenBundle(queued);
    Bundle& bundle = *queued.bundle;
    ZIVUpdateConsentSignalsAndIdentifiers(bundle, signals, gate, identity, firstOpen);
    ZIVUpdateDMAConsentSignals(bundle, diagnostics, adUserDataDenied, npa, server, firstOpen);
  }
}

void ZIVUploader::uploadData() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
  if (suspendedUploadTimestamp() > 0) {
    updateSchedule();
    return;
  }
  monitor_.logWithLevel(8, 23033, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    monitor_.logWithLevel(8, 23034, "Network operation is pending. Ignoring upload request");
    return;
  }
  ZUZOzurivi& network = *environment_.network;
  if (!network.isNetworkConnected()) {
    monitor_.logWithLevel(7, 23035, "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }
  // A running back-off holds back every attempt, not only those the timer plans.
  if (backoffEnd()) {
    updateSchedule();
    return;
  }
  ZIVRemoteConfig& settings = *environment_.settings;
  if (environment_.bundler && !settings.isExpired()) {
    const int32_t limit = std::max(1, settings.maxBundlesCreatedPerIteration());
    for (int32_t i = 0; i < limit; ++i) {
      if (!environment_.bundler->bundleRawEvents()) break;
      setSuspendedUploadTimestamp(0);
    }
  }

  fnd::Error error;
  // Events travel as they were stored: only the bundles' own fields are decoded and stamped.
  auto queried = environment_.database->queryQueuedBundlesWithCountLimit(
      settings.uploadMaxBundlesLimit(), settings.uploadMaxSizeLimitBytes(), &error);
  if (!queried) {
    monitor_.logWithLevel(1, 23036, "Failed to query bundles. Error",
                          fnd::Value(error.description()));
    terminateBackgroundTask();
    return;
  }
  std::vector<ZIVQueuedBundle> bundles = std::move(*queried);
  std::erase_if(bundles, [](const ZIVQueuedBundle& queued) { return !queued.bundle; });
  if (bundles.empty()) {
    settings.activateNewSnapshot();
    monitor_.logWithLevel(8, 23037, "No data to upload");
    if (settings.isExpired()) {
      fetchRemoteConfig();
    } else {
      terminateBackgroundTask();
    }
    return;
  }

  std::string url = settings.uploadURL();
  ZUZOzuriviHeaders headers;
  if (settings.SGTMUploadEnabled()) {
    std::optional<std::string> sgtm = settings.SGTMUploadURL();
    if (!sgtm) {
      monitor_.logWithLevel(1, 23263, "Unable to get a valid SGTM upload URL.");
      return;
    }
    url = *sgtm;
    fnd::Dictionary merged = settings.SGTMUploadHTTPHeaders().value_or(fnd::Dictionary());
    if (environment_.SGTMPreviewHeaders) {
      if (auto preview = environment_.SGTMPreviewHeaders()) {
        for (const auto& [key, value] : *preview) merged.set(key, value);
      }
    }
    for (const auto& [key, value] : merged) {
      if (key.isString() && value.isString())
        headers.emplace_back(key.asString(), value.asString());
    }
  }

  stampBundles(bundles);

  const double success = environment_.persistedConfig->lastSuccessfulUploadTimestamp();
  if (!IsZero(success)) {
    monitor_.logWithLevel(8, 23038,
                          "Uploading events. Elapsed time since last successful upload (s)",
                          fnd::Value(now() - success));
  }

  const std::string appID =
      NANOGetString(bundles.front().bundle.get(), Bundle::kAppId).value_or("");
  std::string resettable;
  std::string vendor;
  BundlePairs pairs;
  for (const ZIVQueuedBundle& queued : bundles) {
    pairs.emplace_back(queued.bundle, queued.rowID);
    if (!resettable.empty() || !vendor.empty()) continue;
    resettable = NANOGetString(queued.bundle.get(), Bundle::kResettableDeviceId).value_or("");
    if (!resettable.empty()) continue;
    vendor = NANOGetString(queued.bundle.get(), Bundle::kVendorId).value_or("");
  }
  // The filter keeps a leading run.
  std::vector<ZIVQueuedBundle> kept = std::move(bundles);
  kept.resize(
      filteredBundlesWithCompatibleAppID(appID, resettable, vendor, pairs, monitor_).size());

  const int64_t uploadTime = static_cast<int64_t>(std::floor(now() * 1000));
  const std::vector<std::string> dataControls = settings.dataControls();
  const ZIVBundleIdentityValues identity =
      environment_.identity ? environment_.identity() : ZIVBundleIdentityValues();
  const bool checksum = settings.checksumEnabled();
  for (ZIVQueuedBundle& queued : kept) {
    Bundle* bundle = queued.bundle.get();
    NANOSetInt64(bundle, Bundle::kUploadLibraryVersion, environment_.libraryVersion);
    NANOSetInt64(bundle, Bundle::kUploadTimestampMillis, uploadTime);
    ZIVUpdateDataControls(*bundle, dataControls, identity);
    if (checksum) {
      NANOClearField(bundle, Bundle::kBundleFingerprint);
      if (auto encoded = queued.protoBuffer()) {
        NANOSetInt64(bundle, Bundle::kBundleFingerprint,
                     static_cast<int64_t>(ziv_64LSBMD5(*encoded)));
      }
    }
  }
  for (size_t i = 1; i < kept.size(); ++i) {
    if (!ZIVBundlesHaveCompatibleConsentState(kept.front().bundle.get(), kept[i].bundle.get())) {
      kept.resize(i);
      break;
    }
  }

  std::vector<int64_t> rowIDs;
  for (const ZIVQueuedBundle& queued : kept) rowIDs.push_back(queued.rowID);
  std::string subdomain;
  if (settings.SGTMUploadEnabled()) subdomain = settings.uploadSubdomain().value_or("");
  std::string description;
  std::optional<fnd::Data> body = ZIVEncodedBatch(kept, subdomain, &description);
  monitor_.logWithLevel(7, 23039, "Measurement data sent to network. Timestamp (ms), data",
                        fnd::Value::Int64(uploadTime), fnd::Value(description));

  if (!setUploadInProgressWithBundleIDs(rowIDs)) return;
  if (!body) {
    uploadingBundleIDs_.clear();
    return;
  }

  environment_.persistedConfig->setLastFailedUploadTimestamp(now());
  setIsNetworkRequestPending(true);
  // The object's time-out, and this request's own: another user of the shared network object
  // may set a different one before this request starts.
  const double timeout = settings.networkTimeout();
  network.setTimeoutInterval(timeout);
  const uint64_t generation = ++requestGeneration_;
  std::weak_ptr<ZIVUploader> weak = weak_from_this();
  const std::string session = network.postURL(
      url, *body, headers, timeout, environment_.workerQueue, shouldUseBackgroundSession(),
      [weak, generation](const std::optional<ZUZOzuriviHTTPResponse>& response,
                         const std::optional<fnd::Data>&, const std::optional<fnd::Error>& error) {
        auto self = weak.lock();
        if (!self || generation != self->requestGeneration_) return;
        self->setIsNetworkRequestPending(false);
        self->networkUploadCompletionHandler(response, error);
      });
  if (session.empty()) {
    monitor_.logWithLevel(2, 23040, "Unable to create network session.");
    // The request never started: nothing else will clear the pending state.
    ++requestGeneration_;
    setIsNetworkRequestPending(false);
    uploadingBundleIDs_.clear();
  }
}

void ZIVUploader::networkUploadCompletionHandler(
    const std::optional<ZUZOzuriviHTTPResponse>& response, const std::optional<fnd::Error>& error) {
  const int64_t status = response ? response->statusCode : 0;
  const double current = now();
  ZIVPersistedConfig& persisted = *environment_.persistedConfig;
  if (status == kZUZOzuriviHTTPStatusOK || status == kZUZOzuriviHTTPStatusNoContent) {
    monitor_.logWithLevel(7, 23044, "Successful upload. Got network response. Code, size",
                          fnd::Value::Int64(status),
                          fnd::Value::Int64(ExpectedContentLength(response)));
    persisted.setLastSuccessfulUploadTimestamp(current);
    persisted.setLastFailedUploadTimestamp(0);
    persisted.setLastBackoffTimestamp(0);
    updateSchedule();
    if (!removeBundlesFromDatabaseWithIDs(uploadingBundleIDs_)) {
      monitor_.logWithLevel(1, 23045,
                            "Unable to delete uploaded bundles. Uploads will be suspended for "
                            "seconds",
                            fnd::Value(ZIVMeasurementSuspensionTimeInterval));
      setSuspendedUploadTimestamp(secondsSinceBoot());
    } else {
      setSuspendedUploadTimestamp(0);
    }
    uploadingBundleIDs_.clear();
    if ((environment_.network->isNetworkConnected() && hasDataToUpload()) ||
        environment_.settings->isExpired()) {
      uploadData();
    } else if (environment_.retrievePostponedConversionRequest &&
               environment_.retrievePostponedConversionRequest()) {
      // The conversion request took over.
    } else {
      updateSchedule();
    }
    return;
  }
  persisted.setLastFailedUploadTimestamp(current);
  if (status == kZUZOzuriviHTTPStatusCodeUnavailable ||
      status == kZUZOzuriviHTTPStatusCodeCannotAcceptTraffic) {
    persisted.setLastBackoffTimestamp(current);
  }
  monitor_.logWithLevel(7, 23043, "Network upload failed. Will retry later. Code, error",
                        fnd::Value::Int64(status), Describe(error));
  incrementRetryCounter();
  uploadingBundleIDs_.clear();
  updateSchedule();
}

// ---- Configuration fetch.

void ZIVUploader::fetchRemoteConfig() {
  // A running back-off holds back fetches as it does uploads.
  if (backoffEnd()) {
    updateSchedule();
    return;
  }
  const int64_t version = environment_.libraryVersion;
  std::optional<std::string> url =
      environment_.settings->remoteConfigURLWithPlatform("macos", version, APMPRuntimeVersion);
  if (!url) {
    monitor_.logWithLevel(2, 23125, "Invalid server URL to get configuration");
    return;
  }
  monitor_.logWithLevel(8, 23126, "Fetching configuration from the server");
  ZIVPersistedConfig& persisted = *environment_.persistedConfig;
  ZUZOzuriviHeaders headers;
  if (persisted.configZUZVersion() == version) {
    const std::string modified = persisted.configServerLastModifiedString().value_or("");
    const std::string etag = persisted.configServerETag().value_or("");
    if (!modified.empty()) headers.emplace_back("If-Modified-Since", modified);
    if (!etag.empty()) headers.emplace_back("If-None-Match", etag);
  }
  setIsNetworkRequestPending(true);
  ZUZOzurivi& network = *environment_.network;
  const double timeout = environment_.settings->networkTimeout();
  network.setTimeoutInterval(timeout);
  const uint64_t generation = ++requestGeneration_;
  std::weak_ptr<ZIVUploader> weak = weak_from_this();
  const std::string session =
      network.getURL(*url, headers, timeout, environment_.workerQueue, shouldUseBackgroundSession(),
                     [weak, generation](const std::optional<ZUZOzuriviHTTPResponse>& response,
                                        const std::optional<fnd::Data>& data,
                                        const std::optional<fnd::Error>& error) {
                       auto self = weak.lock();
                       if (!self || generation != self->requestGeneration_) return;
                       self->setIsNetworkRequestPending(false);
                       self->networkRemoteConfigFetchCompletionHandler(response, data, error);
                     });
  if (session.empty()) {
    monitor_.logWithLevel(2, 23040, "Unable to create network session.");
    ++requestGeneration_;
    setIsNetworkRequestPending(false);
  }
}

void ZIVUploader::networkRemoteConfigFetchCompletionHandler(
    const std::optional<ZUZOzuriviHTTPResponse>& response, const std::optional<fnd::Data>& data,
    const std::optional<fnd::Error>& error) {
  const int64_t status = response ? response->statusCode : 0;
  const double current = now();
  ZIVPersistedConfig& persisted = *environment_.persistedConfig;
  ZIVDatabase& database = *environment_.database;
  monitor_.logWithLevel(8, 23127, "Fetched configuration. Status code", fnd::Value::Int64(status));
  if (status != 200 && status != 204 && status != 304 && status != 404) {
    monitor_.logWithLevel(3, 23128, "Network request failed to fetch remote config. Code, Error",
                          fnd::Value::Int64(status), Describe(error));
    persisted.setLastFailedUploadTimestamp(current);
    if (status == 503 || status == 429) persisted.setLastBackoffTimestamp(current);
    monitor_.logWithLevel(3, 23129, "Network fetch failed. Will retry later. Code, error",
                          fnd::Value::Int64(status), Describe(error));
    updateSchedule();
    return;
  }
  persisted.setLastFailedUploadTimestamp(0);
  persisted.setLastBackoffTimestamp(0);
  bool recordFailed = false;
  fnd::Error recordError;
  if (status == 404 || status == 304) {
    if (status == 404) {
      monitor_.logWithLevel(3, 23130, "Configuration not found. Using default configuration");
    } else {
      monitor_.logWithLevel(8, 23131,
                            "Configuration has not been modified. Using the same configuration. "
                            "Code",
                            fnd::Value::Int64(status));
    }
    if (!database.updateRemoteConfigSuccessfulTimestamp(current, &recordError) &&
        HasError(recordError)) {
      recordFailed = true;
      monitor_.logWithLevel(1, 23132, "Failed to update config last set timestamp. Error",
                            fnd::Value(recordError.description()));
    }
  } else {
    monitor_.logWithLevel(
        8, 23133, "Successfully fetched configuration from the server. Code, size",
        fnd::Value::Int64(status), fnd::Value::Int64(ExpectedContentLength(response)));
    if (!database.updateRemoteConfigSuccessfulTimestamp(current, &recordError) &&
        HasError(recordError)) {
      recordFailed = true;
      monitor_.logWithLevel(1, 23134, "Failed to set last set timestamp in database. Error",
                            fnd::Value(recordError.description()));
    }
    if (data && !data->empty()) {
      const bool applied = database.performTransaction([&] { return applyRemoteConfig(*data); });
      if (applied && response) {
        if (auto modified = HeaderValue(*response, "Last-Modified")) {
          persisted.setConfigServerLastModifiedString(*modified);
        }
        if (auto etag = HeaderValue(*response, "ETag")) persisted.setConfigServerETag(*etag);
        persisted.setConfigZUZVersion(environment_.libraryVersion);
      }
    }
  }
  setSuspendedUploadTimestamp(recordFailed ? secondsSinceBoot() : 0);

  if (environment_.afterConfigFetch && environment_.afterConfigFetch()) {
    // A deferred deep link request took over; it schedules the upload itself.
  } else {
    uploadDataOrRegisterAlarm();
  }
  if (environment_.setDMARegion) environment_.setDMARegion(environment_.settings->isDMARegion());
}

bool ZIVUploader::applyRemoteConfig(const fnd::Data& body) {
  auto config = APMPBMeasurementConfig::initWithBuffer(body);
  if (!config || !config->protoBuffer()) {
    monitor_.logWithLevel(2, 23135, "Configuration data is invalid.");
    return false;
  }
  const std::string expected = environment_.appID ? environment_.appID() : std::string();
  if (NANOGetString(config.get(), APMPBMeasurementConfig::kAppId).value_or("") != expected ||
      expected.empty()) {
    monitor_.logWithLevel(2, 23136, "Configuration does not have valid Rivado App ID.");
    return false;
  }
  fnd::Array audiences =
      NANOGetArray(config.get(), APMPBMeasurementConfig::kAudiences, &APMPBAudience::messageClass())
          .value_or(fnd::Array());
  NANOClearField(config.get(), APMPBMeasurementConfig::kAudiences);
  if (!environment_.settings->updateMeasurementConfig(config)) {
    monitor_.logWithLevel(2, 23138, "Failed to update configuration with new server configuration",
                          fnd::Value(body));
    return false;
  }
  if (environment_.updateConsentFromSettings) environment_.updateConsentFromSettings();
  if (environment_.audiences && !environment_.audiences->updateAudiences(audiences)) {
    monitor_.logWithLevel(2, 23137, "Failed to update audiences with new server configuration",
                          fnd::Value(body));
    return false;
  }
  return true;
}

// ---- Purchase de-duplication.

void ZIVUploader::filterPurchaseTransactions(
    std::vector<ZIVPurchaseCandidate> transactions,
    std::function<void(std::vector<ZIVPurchaseCandidate>)> callback) {
  std::weak_ptr<ZIVUploader> weak = weak_from_this();
  // "ZIVMeasurement:3935"
  environment_.workerQueue->async([weak, transactions = std::move(transactions),
                                   callback = std::move(callback)]() mutable {
    auto self = weak.lock();
    if (!self) return;
    std::vector<ZIVPurchaseCandidate> kept;
    for (auto& transaction : transactions) {
      if (transaction.state != 1) continue;
      const std::string fingerprint = transaction.fingerprint.value_or("");
      if (fingerprint.empty()) {
        self->monitor_.logWithLevel(2, 23139,
                                    "Purchase has nil or empty fingerprint. Purchase will not be "
                                    "checked for duplicates. Product ID",
                                    fnd::Value(transaction.productIdentifier));
        kept.push_back(std::move(transaction));
        continue;
      }
      fnd::Error error;
      std::optional<bool> isNew =
          self->environment_.database->insertIfNotDuplicatePurchaseFingerprint(fingerprint, &error);
      if (!isNew) {
        self->monitor_.logWithLevel(1, 23140,
                                    "Failed to save purchase fingerprint. Purchase will not be "
                                    "checked for duplicates. Product ID, error",
                                    fnd::Value(transaction.productIdentifier),
                                    fnd::Value(error.description()));
        kept.push_back(std::move(transaction));
      } else if (*isNew) {
        kept.push_back(std::move(transaction));
      } else {
        self->monitor_.logWithLevel(4, 23141,
                                    "Purchase is a duplicate and will not be reported. Product ID",
                                    fnd::Value(transaction.productIdentifier));
      }
    }
    if (!callback) return;
    dispatch::Queue::global()->async(
        [callback = std::move(callback), kept = std::move(kept)]() mutable {
          callback(std::move(kept));
        });
  });
}

namespace {

// The encoded batch of `count` bundles, `encode(i)` answering the i-th bundle's encoding; see
// ZIVEncodedBatch. The encoding stops at the first bundle that does not encode.
std::optional<fnd::Data> EncodedBatch(size_t count,
                                      const std::function<std::optional<fnd::Data>(size_t)>& encode,
                                      const std::string& subdomain, std::string* description) {
  auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
  if (!batch) {
    *description = "(nil)";
    return std::nullopt;
  }
  if (!subdomain.empty()) {
    NANOSetString(batch.get(), APMPBMeasurementBatch::kUploadSubdomain, subdomain);
  }
  std::vector<fnd::Data> encoded;
  encoded.reserve(count);
  std::optional<fnd::Data> body;
  bool encodes = true;
  for (size_t i = 0; i < count; ++i) {
    std::optional<fnd::Data> bytes = encode(i);
    if (!bytes) {
      encodes = false;
      break;
    }
    encoded.push_back(std::move(*bytes));
  }
  if (encodes) body = batch->protoBufferWithItems(APMPBMeasurementBatch::kBundles, encoded);
  *description = batch->descriptionOfEncoding(body);
  return body;
}

}  // namespace

std::optional<fnd::Data> ZIVEncodedBatch(const std::vector<std::shared_ptr<Bundle>>& bundles,
                                         const std::string& subdomain, std::string* description) {
  return EncodedBatch(
      bundles.size(),
      [&](size_t i) { return bundles[i] ? bundles[i]->protoBuffer() : std::nullopt; }, subdomain,
      description);
}

std::optional<fnd::Data> ZIVEncodedBatch(const std::vector<ZIVQueuedBundle>& bundles,
                                         const std::string& subdomain, std::string* description) {
  return EncodedBatch(
      bundles.size(), [&](size_t i) { return bundles[i].protoBuffer(); }, subdomain, description);
}

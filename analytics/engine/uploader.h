// ZIVUploader: stored analytics data leaves the device here. After every change that may create
// upload work the engine calls updateSchedule(), which plans the next attempt and arms the upload
// timer ("Measurement timer"). An attempt (uploadData) bundles raw events (ZIVBundler), reads the
// queued bundles back, stamps them with consent, data controls and an optional checksum, wraps
// them in one MeasurementBatch and posts it; the answer deletes the bundles (200, 204), keeps
// them for a retry (any other answer) or starts a back-off (429, 503). The engine's measurement
// configuration is fetched here too, with a conditional GET, and de-duplication of purchase
// transactions by fingerprint lives here.
//
// Rules that hold on every path:
//   - One engine request at a time: the pending flag and the in-flight bundle list.
//   - A back-off after 429 or 503 holds back every upload and fetch until it ends, whoever
//     asks (the timer, a direct call, a finished fetch, a finished upload).
//   - The request time is recorded as a failed upload before the request is sent, so an attempt
//     that never completes counts as failed; a request that could not be started clears the
//     pending flag at once and its late answer, if any, is ignored.
//
// Thread safety: every method except reachabilityDidChange(), setIsNetworkRequestPending() and
// isNetworkRequestPending() runs on the engine's worker queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/engine/bundle_consent.h"
#include "analytics/engine/bundling_hooks.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/utilities/network.h"

class APMPBMeasurementBundle;
class APMPBUserAttribute;
class ZIVAlarm;
class ZIVBundler;
class ZIVConsentSettingsUtil;
class ZIVDatabase;
class ZIVMonitor;
class ZIVPersistedConfig;
class ZIVRemoteConfig;
struct ZIVQueuedBundle;

inline constexpr double ZIVMeasurementSuspensionTimeInterval = 3600;
inline constexpr double ZIVMeasurementBackgroundTaskInterval = 30;

struct ZIVUploaderEnvironment {
  std::shared_ptr<ZIVDatabase> database;
  std::shared_ptr<ZIVRemoteConfig> settings;
  std::shared_ptr<ZIVPersistedConfig> persistedConfig;
  std::shared_ptr<ZUZOzurivi> network;
  // The engine's worker queue: timer blocks, network answers and queued work run here.
  std::shared_ptr<dispatch::Queue> workerQueue;
  // The upload timer; made on the worker queue when null.
  std::shared_ptr<ZIVAlarm> alarm;
  // Builds bundles before each attempt; null: only already queued bundles are sent.
  std::shared_ptr<ZIVBundler> bundler;
  // Log sink [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // Time [dispatch::Clock::current()].
  std::shared_ptr<dispatch::Clock> clock;
  // Consent state [ZIVConsentSettingsUtil::sharedInstance()].
  ZIVConsentSettingsUtil* consent = nullptr;
  // The identity values stamped into bundles [none known].
  std::function<ZIVBundleIdentityValues()> identity;
  // The app ID of the options file, which a fetched configuration must name.
  std::function<std::string()> appID;
  // The library version sent and stamped [ZIVIdentity::duvUdiredururoLibraryVersion()].
  int64_t libraryVersion = 0;
  // Audience definitions of a fetched configuration [none: they are dropped].
  std::shared_ptr<ZIVAudienceHooks> audiences;
  // Engine hooks, each optional.
  std::function<void()> refreshTCFConsent;        // Before stamping (the TCF client).
  std::function<void()> terminateBackgroundTask;  // No background tasks on this platform.
  std::function<std::optional<fnd::Dictionary>()> SGTMPreviewHeaders;
  std::function<void()> updateConsentFromSettings;  // After a configuration is applied.
  std::function<void(bool)> setDMARegion;           // After a fetch: the TCF client's flag.
  // After a fetch: true when the hook took over (a deferred deep link request); otherwise the
  // uploader goes on with uploadDataOrRegisterAlarm().
  std::function<bool()> afterConfigFetch;
  // After a successful upload: true when a postponed conversion request was retrieved.
  std::function<bool()> retrievePostponedConversionRequest;
  // Where the engine keeps the pending-request flag and the upload suspension time (others set
  // the flag too); both empty: the uploader keeps them itself.
  std::function<bool()> isRequestPending;
  std::function<void(bool)> setRequestPending;
  std::function<double()> suspendedUploadTimestamp;
  std::function<void(double)> setSuspendedUploadTimestamp;
};

// A payment transaction as the purchase filter sees it.
struct ZIVPurchaseCandidate {
  int64_t state = 0;  // 1: purchased.
  std::string productIdentifier;
  std::optional<std::string> fingerprint;
  std::shared_ptr<void> transaction;  // Passed through untouched.
};

class ZIVUploader : public std::enable_shared_from_this<ZIVUploader> {
 public:
  static std::shared_ptr<ZIVUploader> create(ZIVUploaderEnvironment environment);
  ZIVUploader(const ZIVUploader&) = delete;
  ZIVUploader& operator=(const ZIVUploader&) = delete;

  // ---- Scheduling (worker queue).
  void updateSchedule();
  // Seconds since 1970; 0 when no upload is due.
  double nextUploadingTime();
  bool hasDataToUpload();

  // ---- Uploading (worker queue).
  void uploadData();
  void uploadDataOrRegisterAlarm();
  bool isNetworkReadyForRequest();
  bool removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& rowIDs);
  void incrementRetryCounter();
  // False, changing nothing, for an empty list (23046) or while another list is in flight
  // (23047); the caller then abandons its attempt.
  [[nodiscard]] bool setUploadInProgressWithBundleIDs(const std::vector<int64_t>& rowIDs);
  void networkUploadCompletionHandler(const std::optional<ZUZOzuriviHTTPResponse>& response,
                                      const std::optional<fnd::Error>& error);
  // The leading run of bundles with the app ID and device filter; empty when both device IDs
  // are given (23042).
  static std::vector<std::pair<std::shared_ptr<APMPBMeasurementBundle>, int64_t>>
  filteredBundlesWithCompatibleAppID(
      const std::string& appID, const std::string& resettableDeviceID,
      const std::string& vendorDeviceID,
      const std::vector<std::pair<std::shared_ptr<APMPBMeasurementBundle>, int64_t>>& bundles,
      ZIVMonitor& monitor);
  bool shouldUseBackgroundSession() const { return false; }

  // ---- Configuration fetch (worker queue).
  void fetchRemoteConfig();
  void networkRemoteConfigFetchCompletionHandler(
      const std::optional<ZUZOzuriviHTTPResponse>& response, const std::optional<fnd::Data>& data,
      const std::optional<fnd::Error>& error);
  // Applies an encoded configuration in one transaction; false rolls it back.
  bool applyRemoteConfig(const fnd::Data& body);

  // ---- Purchase de-duplication (any thread; the work runs on the worker queue, the callback on
  // a global queue).
  void filterPurchaseTransactions(std::vector<ZIVPurchaseCandidate> transactions,
                                  std::function<void(std::vector<ZIVPurchaseCandidate>)> callback);

  // ---- Any thread.
  void reachabilityDidChange();
  void setIsNetworkRequestPending(bool pending);
  bool isNetworkRequestPending() const;

  // ---- Worker-queue state, for the engine and tests.
  double suspendedUploadTimestamp() const;
  void setSuspendedUploadTimestamp(double timestamp);
  const std::vector<int64_t>& uploadingBundleIDs() const { return uploadingBundleIDs_; }
  const std::shared_ptr<ZIVAlarm>& alarm() const { return alarm_; }

 private:
  explicit ZIVUploader(ZIVUploaderEnvironment environment);

  double now() const;
  double secondsSinceBoot() const;
  bool isDebugMode() const;
  // The end of a running back-off (seconds since 1970), or nullopt.
  std::optional<double> backoffEnd();
  void terminateBackgroundTask();
  std::shared_ptr<APMPBUserAttribute> storedNPAAttribute();
  void stampBundles(std::vector<ZIVQueuedBundle>& bundles);

  // Constant after construction.
  const ZIVUploaderEnvironment environment_;
  ZIVMonitor& monitor_;
  std::shared_ptr<ZIVAlarm> alarm_;

  // Any thread.
  std::atomic<bool> isNetworkRequestPending_{false};

  // Worker queue.
  std::vector<int64_t> uploadingBundleIDs_;
  double suspendedUploadTimestamp_ = 0;
  // Identifies the request in flight; an answer to an abandoned request is ignored.
  uint64_t requestGeneration_ = 0;
};

// The encoded batch of `bundles`, in order, with the upload subdomain when it is not empty: each
// bundle is encoded once and its bytes spliced into the batch's, instead of being copied into a
// batch message. *description receives what that batch message's description() answers. nullopt
// when a bundle or the batch does not encode.
std::optional<fnd::Data> ZIVEncodedBatch(
    const std::vector<std::shared_ptr<APMPBMeasurementBundle>>& bundles,
    const std::string& subdomain, std::string* description);
// The same for bundles read for upload (ZIVQueuedBundle), whose events held apart are spliced in
// as they were stored: the same bytes and description as for the whole bundles.
std::optional<fnd::Data> ZIVEncodedBatch(const std::vector<ZIVQueuedBundle>& bundles,
                                         const std::string& subdomain, std::string* description);

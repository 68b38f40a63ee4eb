// ZIVBundler: turns the raw event rows that the event pipeline stored into upload bundles. One
// call of bundleRawEvents() builds at most one bundle: it takes the oldest metadata fingerprint,
// reads a run of consecutive raw rows of that fingerprint (one clock hour, within the size and
// count limits), rejects, converts, counts and samples them, updates the event aggregates and the
// audience results, completes the stored metadata bundle and queues it, and deletes the raw rows
// it consumed, all in one exclusive database transaction. Either everything of one bundle is
// committed or nothing is.
//
// Values kept outside the database (the previous bundled consent signals, the last health-data
// sample time) and the engine's "_npa" refresh are applied only after the transaction commits,
// so a rolled-back pass leaves no trace.
//
// Stored rows that cannot be used (a missing or undecodable metadata bundle, an undecodable first
// raw row) are logged and deleted in the same transaction, so one bad row never stalls bundling.
//
// Thread safety: the engine's worker queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/engine/bundling_hooks.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/error.h"

class APMPBMeasurementBundle;
class ZIVConsentSettingsUtil;
class ZIVDailyCounts;
class ZIVDatabase;
class ZIVEvent;
class ZIVEventAggregates;
class ZIVMonitor;
class ZIVPersistedConfig;
class ZIVRawEventData;
class ZIVRemoteConfig;
class ZIVUserAttribute;

struct ZIVBundlerEnvironment {
  std::shared_ptr<ZIVDatabase> database;
  std::shared_ptr<ZIVRemoteConfig> settings;
  std::shared_ptr<ZIVPersistedConfig> persistedConfig;
  // Log sink [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // Time [dispatch::Clock::current()].
  std::shared_ptr<dispatch::Clock> clock;
  // Consent state [ZIVConsentSettingsUtil::sharedInstance()].
  ZIVConsentSettingsUtil* consent = nullptr;
  // The app ID filled into a bundle without one (the identity's, else the bundle identifier).
  std::function<std::string()> appID;
  // Audience evaluation [none: no audience results].
  std::shared_ptr<ZIVAudienceHooks> audiences;
  // Purchase rules [the built-in ZIVPurchaseHooks].
  std::shared_ptr<ZIVPurchaseHooks> purchases;
  // Uniform integer below n for sampling [the system's secure source].
  std::function<uint64_t(uint64_t)> randomBelow;
  // Stores an engine user property (the worker-queue user-property store) [the database].
  std::function<bool(const std::shared_ptr<ZIVUserAttribute>&)> setUserAttribute;
  // Runs after a committed pass: the engine refreshes its "_npa" property here when it was asked
  // to [nothing].
  std::function<void()> afterCommit;
};

class ZIVBundler {
 public:
  explicit ZIVBundler(ZIVBundlerEnvironment environment);
  ZIVBundler(const ZIVBundler&) = delete;
  ZIVBundler& operator=(const ZIVBundler&) = delete;

  // Builds at most one bundle. True when a bundle was queued, a bundle emptied by sampling was
  // dropped, or unusable rows were deleted: another call may find more work.
  bool bundleRawEvents();

  // The run of rows of one fingerprint that fits one bundle; nullopt on failure. When the first
  // row cannot be decoded, the run is empty and *undecodableFirstRowID holds its row id.
  std::optional<std::vector<std::shared_ptr<ZIVRawEventData>>> rawEventsWithMetadataFingerprint(
      int64_t fingerprint, std::optional<int64_t>* undecodableFirstRowID = nullptr);

  // The surviving events after rejection, renaming, conversion, real-time and purchase handling;
  // an empty vector when every row was rejected (those rows are deleted); nullopt on failure.
  std::optional<std::vector<std::shared_ptr<ZIVEvent>>> processRawEvents(
      const std::vector<std::shared_ptr<ZIVRawEventData>>& rawEvents, int64_t fingerprint);

  // Rejection test of one event name (block lists, redundant engagement).
  bool isEventRejected(const ZIVEvent& event) const;

  // ---- Per-event steps.
  std::shared_ptr<ZIVRawEventData> internalEventFromPublicEvent(
      const std::shared_ptr<ZIVRawEventData>& rawEvent) const;
  bool checkConversion(const ZIVRawEventData& rawEvent, ZIVDailyCounts& dailyCounts);
  bool checkRealtime(const ZIVRawEventData& rawEvent, ZIVDailyCounts& dailyCounts);
  std::shared_ptr<ZIVRawEventData> processInAppPurchaseEvent(
      const std::shared_ptr<ZIVRawEventData>& rawEvent);
  // Aggregates by event name.
  using AggregatesByName = std::map<std::string, std::shared_ptr<ZIVEventAggregates>, std::less<>>;
  // `unwritten`: aggregates of this pass not yet stored, which stand in for their names' rows.
  std::shared_ptr<ZIVEvent> purchaseEventWithCustomerTypeParam(
      const std::shared_ptr<ZIVEvent>& event, const AggregatesByName& unwritten = {});

  // Adds `amount` milliseconds to the engagement total "_se" (session) or "_lte" (lifetime), in
  // the store and in the bundle. The sum saturates at the int64 range.
  bool updateUserEngagement(int64_t amount, APMPBMeasurementBundle& bundle, bool sessionScoped);

  // Today's day index by the bundling clock and the persisted midnight offset.
  int32_t currentDay() const;

 private:
  // What a pass persists outside the database; applied after a commit.
  struct Deferred {
    std::optional<std::string> consentSignals;
    std::optional<double> monitorSampleTime;
  };

  bool bundleOnce(Deferred& deferred, bool& result);
  void evaluationTimeFromRawEvents(const std::vector<std::shared_ptr<ZIVRawEventData>>& rawEvents,
                                   APMPBMeasurementBundle& bundle);
  void handleAnalyticsStorageConsentTransitions(const APMPBMeasurementBundle& bundle,
                                                Deferred& deferred);
  std::optional<std::vector<std::shared_ptr<ZIVEvent>>> eventsAfterUpdatingEventAggregates(
      const std::vector<std::shared_ptr<ZIVEvent>>& events,
      const std::shared_ptr<ZIVAudienceTimestampsCache>& cache, bool allowEventFilterEvaluation);
  bool updateAppMetadataForBundle(APMPBMeasurementBundle& bundle, int32_t eventCount, double start,
                                  double end);
  void addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double start, double end,
                                   Deferred& deferred);
  bool cleanupRawEvents(int64_t maxRowID, int64_t fingerprint);
  double now() const;
  bool isDebugMode() const;
  bool analyticsStorageDenied() const;
  bool adStorageDenied() const;

  // Constant after construction.
  const ZIVBundlerEnvironment environment_;
  ZIVMonitor& monitor_;
  ZIVDatabase& database_;
  ZIVRemoteConfig& settings_;
  ZIVPurchaseHooks& purchases_;
};

// True when any event is marked real-time.
bool ZIVHasRealTimeEvents(const std::vector<std::shared_ptr<ZIVEvent>>& events);
// The user properties whose names do not begin with "_psm".
fnd::Array ZIVUserPropertiesWithoutPSMUserProperties(const fnd::Array& properties);

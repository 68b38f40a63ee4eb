// The parts of the engine that other components fill in: what ZIVMeasurement asks of the facade,
// of the uploader, of audiences and conditional user properties, of attribution and lifetime
// value, and of sessions and screens. Each is an interface whose default methods answer as if that
// component were absent from the process, which is what the engine then does: it skips that step
// (start-up, pipeline stage or upload scheduling) exactly as it would without the component.
// Nothing here answers success on behalf of a missing component.
//
// A component is installed once for the process with ZIVMeasurementInstallComponents() (each
// helper fills in only its own member and leaves the others as they are), made for each engine
// over that engine by an installed ZIVMeasurementComponentMaker, or given to one engine through
// ZIVMeasurement::Environment in tests. The engine reads the installed ones at each use, so a
// component installed after the engine was made still takes part from then on.
//
// Thread safety: the installation functions may be called from any thread. Unless a method says
// otherwise, the engine calls these interfaces on its worker queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

class NANOMessageBase;
class ZIVDatabase;
class ZIVEvent;
class ZIVMeasurement;
class ZIVPersistedConfig;
class ZIVUserAttribute;

// What the engine needs of the facade ZIVAnalytics: its preference-suite values that carry a reset
// and consent across launches, its queues, its listeners and its internal-event entry.
class ZIVMeasurementFacade {
 public:
  virtual ~ZIVMeasurementFacade() = default;

  // The facade's load time (seconds since 1970); nullopt when there is no facade, in which case
  // the engine takes its own creation time.
  virtual std::optional<double> loadTimestamp() const { return std::nullopt; }

  // Reset keys of the suite ("reset_retry_count", "need_first_open_after_reset",
  // "app_instance_id_after_reset"). Absent: 0, false, nullopt; writes are dropped.
  virtual int64_t resetRetryCount() const { return 0; }
  virtual void setResetRetryCount(int64_t count) { (void)count; }
  virtual bool needFirstOpenAfterReset() const { return false; }
  virtual void removeNeedFirstOpenAfterReset() {}
  virtual std::optional<std::string> appInstanceIDAfterReset() const { return std::nullopt; }
  virtual void setAppInstanceIDAfterReset(const std::optional<std::string>& value) { (void)value; }

  // "deferred_analytics_collection": any object, or nullopt. The engine writes 1 (collection
  // disabled) or 0 (enabled) as an integer number, and nullopt to remove.
  virtual std::optional<fnd::Value> deferredAnalyticsCollection() const { return std::nullopt; }
  virtual void setDeferredAnalyticsCollection(const std::optional<fnd::Value>& value) {
    (void)value;
  }

  // Consent of the suite, read at start-up for the prospective consent.
  virtual std::optional<fnd::Dictionary> consentSettingsTCF() const { return std::nullopt; }
  virtual std::optional<fnd::Dictionary> consentSettings3P() const { return std::nullopt; }
  virtual std::optional<fnd::Dictionary> consentSettings1PStart() const { return std::nullopt; }
  virtual void removeStartUpConsentSettings() {}
  virtual void removeDeferredResetOnDeniedConsent() {}
  virtual void clearConsent() {}
  virtual void persistConsentSettings(const fnd::Dictionary& settings, int64_t source) {
    (void)settings;
    (void)source;
  }
  // `setConsent:forKey:` (the TCF client's consent). Absent: dropped.
  virtual void setConsentForKey(const fnd::Dictionary& settings, const std::string& key) {
    (void)settings;
    (void)key;
  }

  // Whether the public class DEVAzodavevu exists in the process, and its top-level version text.
  virtual bool isPublicInterfacePresent() const { return false; }
  virtual std::optional<std::string> topLevelVersion() const { return std::nullopt; }

  // Hands a copy of a handled event to the registered event listeners (on the facade's queue).
  // Absent: there are no listeners.
  virtual void notifyEventListeners(const std::shared_ptr<ZIVEvent>& event) { (void)event; }

  // The facade's internal-event entry (`logInternalEventWithOrigin:name:parameters:`), which
  // timestamps the event and queues it behind earlier public calls. Returns false when there is no
  // facade; the engine then logs the event through its own entry at the current time.
  virtual bool logInternalEvent(const std::string& origin, const std::string& name,
                                const fnd::Dictionary& parameters) {
    (void)origin;
    (void)name;
    (void)parameters;
    return false;
  }

  // Runs the block behind every public call queued so far (`queueOperationWithBlock:`). Returns
  // false when there is no facade; the engine then queues the block on its worker queue itself.
  virtual bool queueOperationWithBlock(std::function<void()> block) {
    (void)block;
    return false;
  }
};

// The uploader (scheduling, upload and configuration fetch).
class ZIVMeasurementUploader {
 public:
  virtual ~ZIVMeasurementUploader() = default;
  // Whether an uploader is installed; without one no upload is ever scheduled.
  virtual bool isPresent() const { return false; }
  // Re-plans the upload timer (`updateSchedule`).
  virtual void updateSchedule(ZIVMeasurement& measurement) { (void)measurement; }
  // Bundles and uploads now (`uploadData`).
  virtual void uploadData(ZIVMeasurement& measurement) { (void)measurement; }
  // Whether no network request is in flight (`isNetworkReadyForRequest`).
  virtual bool isNetworkReadyForRequest(ZIVMeasurement& measurement) {
    (void)measurement;
    return false;
  }
  // Fetches the measurement configuration.
  virtual void fetchMeasurementConfig(ZIVMeasurement& measurement) { (void)measurement; }
};

// Audiences and conditional user properties.
class ZIVMeasurementAudiences {
 public:
  virtual ~ZIVMeasurementAudiences() = default;
  // Whether the audience component is installed. Without it start-up goes on without an audience
  // evaluator (and without conditional user properties).
  virtual bool isPresent() const { return false; }
  // The audience evaluator over the database (`initWithDatabase:`); null fails the start-up.
  virtual std::shared_ptr<void> makeAudience(const std::shared_ptr<ZIVDatabase>& database) {
    (void)database;
    return nullptr;
  }
  // `processEventOnWorkerQueue:` of the conditional user property controller: the further events
  // to write (triggered, timed out, expired), or nullopt when it could not process the event.
  // Absent: no further events.
  virtual std::optional<std::vector<std::shared_ptr<ZIVEvent>>> processEvent(
      const std::shared_ptr<ZIVEvent>& event) {
    (void)event;
    return std::vector<std::shared_ptr<ZIVEvent>>{};
  }
};

// Attribution, purchases, lifetime value and on-device conversion measurement.
class ZIVMeasurementAttribution {
 public:
  virtual ~ZIVMeasurementAttribution() = default;

  // Lifetime value: whether the event is a purchase whose value is recorded, and the recording
  // inside the pipeline's transaction (false rolls the event back). Absent: nothing is a purchase.
  virtual bool isPurchaseEvent(const ZIVEvent& event) {
    (void)event;
    return false;
  }
  virtual bool recordLifetimeValue(ZIVDatabase& database, const ZIVEvent& event) {
    (void)database;
    (void)event;
    return true;
  }

  // Campaigns. Whether the attribution cache is older than `ttl` seconds, the cache's clearing,
  // and the campaign of an opened URL. Absent: the cache never expires and no campaign is made.
  virtual bool isAttributionCacheExpired(double ttl) {
    (void)ttl;
    return false;
  }
  virtual void clearAttributionCache() {}
  virtual void clearAttributionCacheIfExpired() {}
  virtual void handleOpenURL(const std::string& url, std::optional<int64_t> clickTimestampInMs,
                             double eventTimestampInSeconds,
                             const fnd::Dictionary& extraParameters) {
    (void)url;
    (void)clickTimestampInMs;
    (void)eventTimestampInSeconds;
    (void)extraParameters;
  }

  // A URL the app was launched with (did-finish-launching with user information), on the main
  // thread (`handleStoredURLAfterAppLaunchWithNotification:`).
  virtual void handleStoredURLAfterAppLaunch(const fnd::Dictionary& userInfo) { (void)userInfo; }

  // A URL opened while the app runs (`handleNonFirstOpenEventURL:eventTimestampInSeconds:
  // referrerURL:`). Called from any thread but the worker queue, where the component itself hops.
  // Absent: no campaign is made.
  virtual void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds,
                                          const std::optional<std::string>& referrerURL) {
    (void)url;
    (void)eventTimestampInSeconds;
    (void)referrerURL;
  }

  // Deferred deep link: whether one may be requested, and the request.
  virtual bool shouldRequestDeferredDeepLink() { return false; }
  virtual void requestDeferredDeepLink() {}

  // Store receipt: whether the running version is the version first installed.
  virtual bool isFirstInstalledVersion() { return false; }

  // Search-ad attribution: made, enabled and started at start-up; switched with collection.
  virtual void startSearchAdReporter(ZIVMeasurement& measurement) { (void)measurement; }
  virtual void setSearchAdReportingEnabled(bool enabled) { (void)enabled; }

  // On-device conversion measurement.
  // User data for the matching request (`initiateODM1ProtocolWithUserData:`). Absent: dropped.
  virtual void setUserDataOnWorkerQueue(const fnd::Dictionary& userData) { (void)userData; }
  virtual void checkOnDeviceConversionDependencies() {}
  virtual void deleteExpiredOnDeviceConversionValue() {}
  virtual void startGroupIDProtocolIfEnabled() {}
  virtual void initiateODMSessionStartProtocolWithTimestamp(double timestamp) { (void)timestamp; }
  virtual void resetOnDeviceConversionContexts() {}
  // Linked-client bits 2 (private-set-membership client), 4 and 8 (conversion clients).
  virtual int32_t linkedClientBits() { return 0; }
  // A stored value ({"set_timestamp", "value"}) as its OnDeviceMeasurementValue message
  // (`APMODMValueFromDictionary`), or null when it does not convert.
  virtual std::shared_ptr<NANOMessageBase> ODMValueFromDictionary(const fnd::Dictionary& row) {
    (void)row;
    return nullptr;
  }
};

// The session reporter as the engine uses it.
class ZIVMeasurementSessionReporter {
 public:
  virtual ~ZIVMeasurementSessionReporter() = default;
  virtual void setReportingEnabled(bool enabled) = 0;
  virtual void setTimeoutSessionInterval(double seconds) = 0;
  virtual bool shouldStartNewSession() = 0;
  virtual bool isSessionExpired() = 0;
  virtual bool extendSession() = 0;
  virtual void updatePropertiesForNewSessionStart() = 0;
  virtual std::shared_ptr<ZIVUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) = 0;
  virtual std::shared_ptr<ZIVUserAttribute> sessionNumberProperty() = 0;
};

// Sessions, screens and the application's state.
class ZIVMeasurementSessions {
 public:
  virtual ~ZIVMeasurementSessions() = default;
  // The session reporter (`initWithPersistedConfig:`); null when sessions are absent, in which
  // case no session start is reported and no session ever counts as expired.
  virtual std::shared_ptr<ZIVMeasurementSessionReporter> makeSessionReporter(
      const std::shared_ptr<ZIVPersistedConfig>& persistedConfig) {
    (void)persistedConfig;
    return nullptr;
  }
  // `ZIVCreateSessionStartEvent`; null when sessions are absent.
  virtual std::shared_ptr<ZIVEvent> makeSessionStartEvent(int64_t sessionNumber,
                                                          bool appInBackground, double timestamp) {
    (void)sessionNumber;
    (void)appInBackground;
    (void)timestamp;
    return nullptr;
  }
  // The current screen's parameters ("_sn", "_sc", "_si"); empty without a screen reporter.
  virtual fnd::Dictionary screenParameters() { return {}; }
  // `ZIVIsAppActive`. Without a screen reporter the engine asks the application object.
  virtual std::optional<bool> isAppActive() { return std::nullopt; }
  // Makes sure the screen-view reporter exists (at did-finish-launching).
  virtual void ensureScreenViewReporter() {}
};

// The installed components. A member left null keeps what was installed before.
struct ZIVMeasurementComponents {
  std::shared_ptr<ZIVMeasurementFacade> facade;
  std::shared_ptr<ZIVMeasurementUploader> uploader;
  std::shared_ptr<ZIVMeasurementAudiences> audiences;
  std::shared_ptr<ZIVMeasurementAttribution> attribution;
  std::shared_ptr<ZIVMeasurementSessions> sessions;
};

// Makes the components that belong to one engine (they hold it weakly) when that engine is
// created, before its start-up is queued, so that they take part from its first step. Members
// left null fall back to the installed ones.
using ZIVMeasurementComponentMaker =
    std::function<ZIVMeasurementComponents(const std::shared_ptr<ZIVMeasurement>& engine)>;

// Installs the non-null members for the process.
void ZIVMeasurementInstallComponents(const ZIVMeasurementComponents& components);
// Adds a maker for the process's shared engine; makers run in the order they were added, a later
// one's non-null members replacing an earlier one's.
void ZIVMeasurementInstallComponentMaker(ZIVMeasurementComponentMaker maker);
// The installed makers as one (empty components when none is installed).
ZIVMeasurementComponentMaker ZIVMeasurementInstalledComponentMaker();
// The installed components; every member non-null (the absent defaults where none is installed).
ZIVMeasurementComponents ZIVMeasurementInstalledComponents();

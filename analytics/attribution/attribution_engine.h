// ZIVAttributionEngine: what attribution and purchase measurement need of the measurement engine.
// The engine implements it (and may hand its own collaborators in); a test implements it with a
// fake that records the events and user properties written and scripts the rest.
//
// The attribution classes (ZIVMeasurementURL, ZIVMeasurementODM1, ZIVMeasurementODM2,
// ZIVSearchAdReporter) hold the engine weakly: a block that runs after the engine is gone does
// nothing.
//
// Methods marked "worker queue" are called only on the engine's worker queue; the others may be
// called from any thread. Defaults read the process's shared services (in brackets).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

class ZIVDatabase;
class ZIVEvent;
class ZIVMonitor;
class ZIVPersistedConfig;
class ZIVRemoteConfig;
class ZIVRuntimeClassRegistry;
class ZIVScheduler;
class ZIVUserAttribute;
class ZIVUserDefaults;
class ZUZOzurivi;

class ZIVAttributionEngine {
 public:
  virtual ~ZIVAttributionEngine() = default;

  // ---- Collaborators.
  virtual std::shared_ptr<ZIVMonitor> monitor() const;     // [ZIVMeasurement::monitor()]
  virtual std::shared_ptr<dispatch::Clock> clock() const;  // [dispatch::Clock::current()]
  double now() const { return clock()->wallTime(); }
  virtual ZIVScheduler& scheduler() = 0;
  // Worker queue. Null while the database is not open.
  virtual std::shared_ptr<ZIVDatabase> database() = 0;
  virtual std::shared_ptr<ZIVRemoteConfig> remoteConfig() = 0;
  virtual std::shared_ptr<ZIVPersistedConfig> persistedConfig() = 0;
  // The store of the deep-link attribution cache [ZIVUserDefaults::sharedUserDefaults()].
  virtual ZIVUserDefaults& userDefaults();
  // Classes found by name [ZIVRuntimeClassRegistry::sharedRegistry()].
  virtual ZIVRuntimeClassRegistry& classRegistry();

  // ---- Network.
  // The engine's network object.
  virtual std::shared_ptr<ZUZOzurivi> network() = 0;
  // A network object of its own for an on-device conversion context.
  virtual std::shared_ptr<ZUZOzurivi> makeNetwork() = 0;
  // Whether another transfer runs on that network object now.
  virtual bool hasUploadInProgress(const ZUZOzurivi& network) = 0;
  // The time-out of the engine's requests, in seconds.
  virtual void setNetworkTimeout(double seconds) = 0;
  virtual double networkTimeout() const = 0;
  // Uploads wait while an attribution request is pending.
  virtual void setIsNetworkRequestPending(bool pending) = 0;
  virtual bool shouldUseBackgroundSession() { return false; }
  // Worker queue: reschedules the upload.
  virtual void updateSchedule() = 0;

  // ---- Consent [ZIVConsentSettingsUtil::sharedInstance()].
  virtual bool isAdStorageDenied();
  virtual bool isAdUserDataDenied();
  virtual std::optional<int64_t> adPersonalization();
  virtual std::string consentSignals();

  // ---- Identity [ZIVIdentity::sharedInstance()].
  virtual bool hasLimitedAdTracking();
  virtual bool limitedAdTracking();
  virtual std::optional<std::string> resettableDeviceID();
  virtual std::optional<std::string> appID();
  virtual uint64_t appleConsentStatus();
  virtual bool iOS14OrAbove() { return true; }
  virtual int64_t libraryVersion();  // [ZIVMeasurement::libraryVersion()]
  // The time the engine was made, seconds since 1970.
  virtual double initializationTimestamp() = 0;

  // ---- Process and bundle.
  virtual bool isFromAppStore();                       // [APMAEU::isFAS()]
  virtual std::vector<std::string> launchArguments();  // [fnd::ProcessInfo]
  virtual std::optional<fnd::Value> infoDictionaryValue(const std::string& key);  // [main bundle]

  // ---- Events and user properties. Worker queue.
  // The internal-event road of the pipeline.
  virtual void handleInternalEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) = 0;
  virtual void notifyEventListeners(const std::shared_ptr<ZIVEvent>& event) = 0;
  // Writes the event as a raw event (the pipeline's storing step).
  virtual void writeEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) = 0;
  virtual void setUserAttributeOnWorkerQueue(
      const std::shared_ptr<ZIVUserAttribute>& attribute) = 0;
  virtual void removeUserAttributeOnWorkerQueue(const std::string& name) = 0;
  // The parameters with the first-open consent parameters added.
  virtual fnd::Dictionary paramsWithAddedFirstOpenConsentedEventParams(
      const fnd::Dictionary& parameters) = 0;
  // The facade's internal event call (any thread; the facade queues it).
  virtual void logInternalEvent(const std::string& origin, const std::string& name,
                                const fnd::Dictionary& parameters) = 0;

  // ---- Application. Main queue: hands a deferred deep link to the application; false when the
  // application does not take it (always, on this platform).
  virtual bool sendDeepLinkURLToAppDelegateOnMainThread(
      const std::string& url, const std::optional<fnd::Dictionary>& extraInfo);
};

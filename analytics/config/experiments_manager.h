// APMEManager: the process-wide experiments client. An SDK (in this program the server settings,
// registered as "duv_udiredururo") registers its description and default flag values and receives
// an APMEClient; through the client it reads flag values (activated snapshot first, then the
// launched one, then its defaults), activates the newest fetched snapshot and resets to defaults.
//
// The manager keeps the in-memory state (one activated, pending and launched snapshot per SDK) on
// its serial queue "APMEExperimentSerialQueue": reads wait for it, changes are queued. Storage,
// scheduling and network belong to the task manager (experiment_task_manager.h), whose delegate
// the manager is.
//
// Failures are logged through the experiments monitor (800000 to 830003) and answered with null,
// false or no effect.
//
// Thread safety: every public method may be called from any thread, except that a synchronous
// read must not be made from a block that the serial queue waits for.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/experiment_snapshot.h"
#include "analytics/config/experiment_task_manager.h"
#include "analytics/config/experiments_monitor.h"
#include "analytics/config/sdk_property.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/utilities/mutable_dictionary.h"

class APMEClient;
class APMEManager;

// What an SDK may observe of its experiments. Every operation is optional: a delegate says which
// ones it implements through the responds...() answers (all false by default).
class APMEExperimentObserverDelegate {
 public:
  virtual ~APMEExperimentObserverDelegate() = default;

  // A new snapshot was fetched and waits for activateLatestSnapshot(). A delegate that implements
  // this decides when snapshots are activated; without it they are activated at the next start.
  virtual bool respondsToClientDidReceiveNewSnapshot() const { return false; }
  virtual void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) {
    (void)client;
  }
  // The server answered with an error for this SDK. Called on the manager's serial queue.
  virtual bool respondsToClientDidReceiveFetchError() const { return false; }
  virtual void clientDidReceiveFetchError(const std::shared_ptr<APMEClient>& client,
                                          const fnd::Error& error) {
    (void)client;
    (void)error;
  }
  // Whether experiments should be fetched now; nullopt: not implemented (fetch).
  virtual std::optional<bool> shouldFetchExperimentsForClient(const APMEClient& client) {
    (void)client;
    return std::nullopt;
  }
  // The queue on which clientDidReceiveNewSnapshot() runs; null: the main queue.
  virtual std::shared_ptr<dispatch::Queue> queue() { return nullptr; }
};

// What a registered SDK holds: its property, its default flags and a way to its manager.
class APMEClient : public std::enable_shared_from_this<APMEClient> {
 public:
  // A client for the property and defaults (Flag messages). A null property (830000) or null
  // defaults (830001) is logged at level 0 and answers null.
  static std::shared_ptr<APMEClient> initWithSDKProperty(
      const std::shared_ptr<APMESDKProperty>& property,
      const std::optional<std::vector<std::shared_ptr<APMPBFlag>>>& defaultFlags,
      const std::shared_ptr<APMEManager>& manager);

  // The flag's value (activated, launched, default), or null. An empty name logs 830002.
  fnd::Value valueForFlag(const std::string& flagName) const;
  // The same for any key; a key that is not a string logs 830003 and answers null.
  fnd::Value objectForKeyedSubscript(const fnd::Value& key) const;
  // Activates the newest fetched snapshot of this SDK.
  bool activateLatestSnapshot(fnd::Error* error = nullptr) const;
  // True when the activated snapshot is older than 3 days.
  bool hasStaleSnapshot() const;
  // Drops the activated snapshot: flags read from the launched snapshot or the defaults again.
  void resetToDefaults() const;

  std::string SDKName() const { return SDKProperty_->name(); }
  std::vector<std::shared_ptr<APMPBFlag>> defaultFlags() const { return defaultFlags_; }
  const std::shared_ptr<APMESDKProperty>& SDKProperty() const { return SDKProperty_; }
  // Held weakly.
  std::shared_ptr<APMEExperimentObserverDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<APMEExperimentObserverDelegate>& delegate);

 private:
  APMEClient(std::shared_ptr<APMESDKProperty> property,
             std::vector<std::shared_ptr<APMPBFlag>> defaultFlags,
             std::weak_ptr<APMEManager> manager);

  // Constant after construction.
  const std::shared_ptr<APMESDKProperty> SDKProperty_;
  const std::vector<std::shared_ptr<APMPBFlag>> defaultFlags_;
  const std::weak_ptr<APMEManager> manager_;

  mutable std::mutex mu_;
  std::weak_ptr<APMEExperimentObserverDelegate> delegate_;  // Guarded by mu_.
};

class APMEManager : public APMETaskManagerDelegate,
                    public std::enable_shared_from_this<APMEManager> {
 public:
  // The process's manager, made once with its own task manager, which is then started.
  static const std::shared_ptr<APMEManager>& sharedInstance();
  // A manager over `taskManager`, which it makes its delegate (not started here). `clock` gives
  // now (Clock::current() at each use when null); `requestBuilder` receives the registered
  // properties (the shared builder when null).
  static std::shared_ptr<APMEManager> initWithTaskManager(
      std::shared_ptr<APMETaskManager> taskManager,
      std::shared_ptr<dispatch::Clock> clock = nullptr,
      std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder = nullptr);
  ~APMEManager() override;
  APMEManager(const APMEManager&) = delete;
  APMEManager& operator=(const APMEManager&) = delete;

  // The experiments client's log forwarder.
  static const std::shared_ptr<APMEMonitor>& monitor();
  // The experiments SDK version: "10000000" without its last three characters (10000).
  static int64_t version();
  // The same rule for any version text; shorter than 4 characters (or not a number) gives 0.
  static int64_t versionFromString(const std::string& text);

  // Registers an SDK with its default flags (name -> string or number) and answers its client at
  // once; the bookkeeping is queued. Null, logged, for a null property (800000), an empty name
  // (800001), a default that is not a valid flag (800002) or a client that cannot be made
  // (800004). Registering a name again replaces its client and defaults (800003).
  std::shared_ptr<APMEClient> registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                                                  const fnd::Dictionary& defaultFlags);
  // The registered client of the SDK, or null (800006 not a string, 800007 empty).
  std::shared_ptr<APMEClient> clientForSDKName(const fnd::Value& sdkName);
  // The flag's value: from the activated snapshot, else the launched one, else the default; null
  // when none has it or the arguments are bad (800008 to 800011) or the SDK is unknown.
  fnd::Value flagValueForFlagName(const fnd::Value& flagName, const fnd::Value& sdkName);
  // The IDs of the activated experiments of every SDK without its own diversion key, ascending.
  std::vector<int64_t> experimentIDs();
  // Puts the SDK's pending snapshot in force (memory now, database queued). False with *error for
  // a null or empty name; false when there is no pending snapshot.
  bool activateSnapshotOfSDK(const fnd::Value& sdkName, fnd::Error* error = nullptr);
  // -1 empty name or unregistered SDK; -2 no activated snapshot; 1 older than 3 days; 0 fresh.
  int64_t activatedSnapshotStatusOfSDKName(const std::string& sdkName);
  // Drops the SDK's activated snapshot in memory and in the database.
  void resetToDefaultsOfSDKName(const std::string& sdkName);
  // Empties (reset) or deletes (clearAndDelete) the database and forgets every snapshot in
  // memory; clients and defaults stay. Queued.
  void reset();
  void clearAndDelete();

  // Run a block on the serial queue; an exception is logged (800017, 800018) and swallowed.
  void dispatchAsyncOnSerialQueue(std::function<void()> block);
  void dispatchSyncOnSerialQueue(const std::function<void()>& block);

  const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }
  const std::shared_ptr<dispatch::Queue>& serialQueue() const { return serialQueue_; }

  // APMETaskManagerDelegate. Called on the task manager's worker queue.
  void taskManagerDidStartWithActivatedSnapshots(APMETaskManager& taskManager,
                                                 const APMESnapshots& activated,
                                                 const APMESnapshots& pending,
                                                 const APMESnapshots& launched) override;
  std::optional<bool> taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override;
  void taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager& taskManager,
                                                       const APMESnapshots& snapshots,
                                                       const APMESDKErrors& errors) override;
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager,
                                            const APMESnapshots& snapshots) override;

 private:
  APMEManager(std::shared_ptr<APMETaskManager> taskManager, std::shared_ptr<dispatch::Clock> clock,
              std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder);

  double now() const;
  // REQUIRES: on the serial queue.
  bool activateSnapshotOnSerialQueue(const std::string& sdkName);
  fnd::Value flagValueOnSerialQueue(const std::string& flagName, const std::string& sdkName);

  // Constant after construction.
  const std::shared_ptr<APMETaskManager> taskManager_;
  const std::shared_ptr<dispatch::Queue> serialQueue_;
  const std::shared_ptr<dispatch::Clock> clock_;  // May be null: Clock::current().
  const std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder_;

  // Snapshots by SDK name; thread-safe, changed only on the serial queue.
  RVLMutableDictionary<std::string, std::shared_ptr<APMESnapshot>> activatedSnapshotsBySDKName_;
  RVLMutableDictionary<std::string, std::shared_ptr<APMESnapshot>> pendingSnapshotsBySDKName_;
  RVLMutableDictionary<std::string, std::shared_ptr<APMESnapshot>> launchedSnapshotsBySDKName_;

  // Owned by the serial queue.
  std::map<std::string, std::shared_ptr<APMEClient>> registeredClientsBySDKName_;
  std::map<std::string, std::map<std::string, std::shared_ptr<APMPBFlag>>> defaultFlagsBySDKName_;
};

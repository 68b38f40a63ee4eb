// APMETaskManager: everything of the experiments client that touches time, the network and the
// disk. On its own serial worker queue ("ZIVExperimentWorkerQueue") it opens the experiments
// database, hands the stored snapshots to its delegate at start, decides when the next fetch
// runs, posts the experiment request to "/sdk-exp", turns the answer into pending snapshots and
// per-SDK errors, stores the snapshots and tells its delegate what came back. It keeps no flag
// values itself.
//
// Schedule: the first fetch of a process comes 10 s after start unless a success lies less than
// 4 h back; after a success the next comes 4 h later; after failures retries come 1800 s, 3600 s,
// ... (doubling, six times) after the regular time, then scheduling stops until something
// schedules again; a throttling answer (429, 503) holds fetches off for 12 h. The success,
// failure and back-off times persist in the preference suite "ZIVExperimentSuiteName".
//
// Failures are log lines through the experiments monitor (820001 to 820027); none reaches a
// caller. A database that cannot be opened leaves the task manager inert.
//
// Thread safety: every public method may be called from any thread; work hops to the worker
// queue. The delegate is called on the worker queue and is held weakly.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/config/experiment_database.h"
#include "analytics/config/experiment_request_builder.h"
#include "analytics/proto/messages.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/vendor/utilities/network.h"

class APMETaskManager;
class ZIVAlarm;
class ZIVUserDefaults;

// Schedule constants, in seconds (the retry count is a number of steps).
inline constexpr double APMEInitialDelayTimeIntervalInSeconds = 10;
inline constexpr double APMEFetchIntervalInSeconds = 14400;
inline constexpr double APMEFetchRetryIntervalInSeconds = 1800;
inline constexpr int32_t APMERetryCount = 6;
inline constexpr double APMEFetchBackoffIntervalInSeconds = 43200;

// Keys of the task manager's preference suite, each a double of seconds since 1970.
inline constexpr const char* kAPMEExperimentSuiteName = "ZIVExperimentSuiteName";
inline constexpr const char* kAPMEFetchSuccessTimestampKey = "ZIVExperimentFetchSuccessTimestamp";
inline constexpr const char* kAPMEFetchFailureTimestampKey = "ZIVExperimentFetchFailureTimestamp";
inline constexpr const char* kAPMEFetchBackoffTimestampKey = "ZIVExperimentFetchBackoffTimestamp";

// Where experiment requests go.
inline constexpr const char* kAPMEExperimentsServerHost = "experiments.quellmark.example";
inline constexpr const char* kAPMEExperimentsPath = "/sdk-exp";

// The domain of per-SDK fetch errors; codes -2, -3, -4 for statuses 1, 2, 3 and -1 for others.
inline constexpr const char* kAPMEErrorDomain = "com.rivado.experiments.ErrorDomain";

using APMESDKErrors = std::map<std::string, fnd::Error>;

// What the task manager tells its owner. Called on the task manager's worker queue.
class APMETaskManagerDelegate {
 public:
  virtual ~APMETaskManagerDelegate() = default;
  // The stored snapshots, once the database is open and cleaned at start. A list that could not
  // be read is empty.
  virtual void taskManagerDidStartWithActivatedSnapshots(APMETaskManager& taskManager,
                                                         const APMESnapshots& activated,
                                                         const APMESnapshots& pending,
                                                         const APMESnapshots& launched) = 0;
  // Asked before each fetch: false postpones it by 4 h. nullopt: no opinion (fetch).
  virtual std::optional<bool> taskManagerShouldFetchExperiments(APMETaskManager& taskManager) {
    (void)taskManager;
    return std::nullopt;
  }
  // After each successful fetch: the snapshots received and the per-SDK errors (both may be
  // empty).
  virtual void taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager& taskManager,
                                                               const APMESnapshots& snapshots,
                                                               const APMESDKErrors& errors) = 0;
  // After upsertPendingSnapshots() has stored the snapshots.
  virtual void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager,
                                                    const APMESnapshots& snapshots) = 0;
};

class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
 public:
  // The process's task manager parts: its worker queue, the alarm "ZIVExperimentAlarm", a network
  // object watching the experiments host, the suite "ZIVExperimentSuiteName", now as the
  // construction time and the default database location.
  static std::shared_ptr<APMETaskManager> init();
  // The designated initialiser. `clock` gives now (dispatch::Clock::current() at each use when
  // null), `requestBuilder` the request (the shared builder when null), `fetchURL` where to post
  // ("https://" + host + "/sdk-exp" when empty).
  static std::shared_ptr<APMETaskManager> initWithQueue(
      std::shared_ptr<dispatch::Queue> queue, std::shared_ptr<ZIVAlarm> alarm,
      std::shared_ptr<ZUZOzurivi> network, std::shared_ptr<ZIVUserDefaults> persistedStorage,
      std::string databasePath, double initTimestamp,
      std::shared_ptr<dispatch::Clock> clock = nullptr,
      std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder = nullptr,
      std::string fetchURL = std::string());

  ~APMETaskManager();
  APMETaskManager(const APMETaskManager&) = delete;
  APMETaskManager& operator=(const APMETaskManager&) = delete;

  // Opens the database, cleans and activates stored snapshots, tells the delegate and schedules
  // the first fetch; asynchronously on the worker queue.
  void startTaskManager();

  // Repeats a manager's activation in the database (transaction) at `timestamp`. Null logs
  // 820013; failure 820014.
  void activatePendingSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp);
  // Deletes the SDK's activated row. Empty name logs 820018; failure 820019.
  void resetToDefaultsForSDKName(const std::string& sdkName);
  // Stores the snapshots as pending rows, then tells the delegate. Empty list logs 820020;
  // failure 820021.
  void upsertPendingSnapshots(const APMESnapshots& snapshots);
  // Empties the database, forgets the fetch times and schedules anew.
  void reset();
  // Deletes the database, forgets the fetch times and schedules nothing more.
  void clearAndDelete();

  // When the next fetch should run (seconds since 1970), from the last success and failure times
  // (0 for none); 0 when the retry budget is spent. The first call of a process marks the initial
  // fetch as made.
  double fetchTimeFromLastSuccessfulTimestamp(double lastSuccessfulTimestamp,
                                              double lastFailedTimestamp);

  // The snapshots of an encoded ExperimentResponse; nullopt for empty data (820025), data that
  // does not decode, or no response.
  std::optional<APMESnapshots> experimentSnapshotsFromData(const fnd::Data& data);
  // The snapshots of a response: its snapshot list, or when that is empty the snapshots of its
  // per-SDK answers named after them. Unreadable ones are skipped (820016).
  std::optional<APMESnapshots> experimentSnapshotsFromExperimentResponse(
      const std::shared_ptr<APMPBExperimentResponse>& response);
  // SDK name -> error for every named per-SDK answer with a non-zero status; nullopt when the
  // response is null or has no per-SDK answer.
  static std::optional<APMESDKErrors> errorsFromExperimentResponse(
      const std::shared_ptr<APMPBExperimentResponse>& response);

  // Run a block on the worker queue; an exception is logged (820026, 820027) and swallowed by the
  // asynchronous form, passed on to the caller by the synchronous one.
  void dispatchAsyncOnWorkerQueue(std::function<void()> block);
  void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

  std::shared_ptr<APMETaskManagerDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<APMETaskManagerDelegate>& delegate);
  bool hasMadeInitialFetch() const { return hasMadeInitialFetch_.load(); }
  void setHasMadeInitialFetch(bool made) { hasMadeInitialFetch_.store(made); }
  double initializationTimestamp() const { return initializationTimestamp_.load(); }
  void setInitializationTimestamp(double timestamp) { initializationTimestamp_.store(timestamp); }

  const std::shared_ptr<dispatch::Queue>& workerQueue() const { return workerQueue_; }
  const std::string& databasePath() const { return databasePath_; }

 private:
  APMETaskManager(std::shared_ptr<dispatch::Queue> queue, std::shared_ptr<ZIVAlarm> alarm,
                  std::shared_ptr<ZUZOzurivi> network,
                  std::shared_ptr<ZIVUserDefaults> persistedStorage, std::string databasePath,
                  double initTimestamp, std::shared_ptr<dispatch::Clock> clock,
                  std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder,
                  std::string fetchURL);

  double now() const;
  // Runs `block` with this object on the worker queue, unless the object is gone by then.
  void onWorkerQueue(std::function<void(APMETaskManager&)> block);

  // REQUIRES: on the worker queue, for all of these.
  void startTaskManagerOnWorkerQueue();
  void fetchAllSnapshotsOnWorkerQueue();
  void scheduleFetchingExperimentsOnWorkerQueue();
  void postponeFetchExperiments();
  void fetchExperiments();
  void handleFetchingExperimentsResponse(const std::optional<ZUZOzuriviHTTPResponse>& response,
                                         const std::optional<fnd::Data>& data,
                                         const std::optional<fnd::Error>& error);
  void removeFetchTimestamps();

  // Constant after construction.
  const std::shared_ptr<ZIVAlarm> alarm_;
  const std::shared_ptr<ZUZOzurivi> network_;
  const std::shared_ptr<ZIVUserDefaults> persistedStorage_;
  const std::shared_ptr<dispatch::Queue> workerQueue_;
  const std::string databasePath_;
  const std::shared_ptr<dispatch::Clock> clock_;  // May be null: Clock::current().
  const std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder_;
  const std::string fetchURL_;

  std::atomic<bool> hasMadeInitialFetch_{false};
  std::atomic<double> initializationTimestamp_;

  mutable std::mutex mu_;
  std::weak_ptr<APMETaskManagerDelegate> delegate_;  // Guarded by mu_.

  // Owned by the worker queue.
  std::unique_ptr<APMEDatabase> database_;
  // Set by clearAndDelete(): answers still in flight are dropped and nothing is scheduled.
  bool stopped_ = false;
};

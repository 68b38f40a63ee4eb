#include "analytics/config/experiment_task_manager.h"

#include <cassert>
#include <cfloat>
#include <cmath>
#include <exception>

#include "analytics/config/experiments_monitor.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/service_url.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/vendor/utilities/gzip.h"

namespace {

fnd::Value RecordValue(const std::shared_ptr<fnd::Record>& record) {
  return record ? fnd::Value(record) : fnd::Value();
}

fnd::Value SnapshotNames(const APMESnapshots& snapshots) {
  fnd::Array names;
  for (const auto& snapshot : snapshots) names.push_back(fnd::Value(snapshot->SDKName()));
  return fnd::Value(std::move(names));
}

// The error code of a per-SDK status.
int64_t ErrorCodeForStatus(int32_t status) {
  switch (status) {
    case 1:
      return -2;
    case 2:
      return -3;
    case 3:
      return -4;
    default:
      return -1;
  }
}

}  // namespace

std::shared_ptr<APMETaskManager> APMETaskManager::init() {
  auto queue = dispatch::Queue::create("ZIVExperimentWorkerQueue", dispatch::Qos::kUtility);
  auto alarm = std::make_shared<ZIVAlarm>(queue, "ZIVExperimentAlarm");
  auto network = std::make_shared<ZUZOzurivi>(kAPMEExperimentsServerHost);
  auto storage = std::make_shared<ZIVUserDefaults>(kAPMEExperimentSuiteName);
  return initWithQueue(std::move(queue), std::move(alarm), std::move(network), std::move(storage),
                       ZIVFilePathForDatabaseName(kAPMEDatabaseName),
                       dispatch::Clock::current()->wallTime());
}

std::shared_ptr<APMETaskManager> APMETaskManager::initWithQueue(
    std::shared_ptr<dispatch::Queue> queue, std::shared_ptr<ZIVAlarm> alarm,
    std::shared_ptr<ZUZOzurivi> network, std::shared_ptr<ZIVUserDefaults> persistedStorage,
    std::string databasePath, double initTimestamp, std::shared_ptr<dispatch::Clock> clock,
    std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder, std::string fetchURL) {
  return std::shared_ptr<APMETaskManager>(
      new APMETaskManager(std::move(queue), std::move(alarm), std::move(network),
                          std::move(persistedStorage), std::move(databasePath), initTimestamp,
                          std::move(clock), std::move(requestBuilder), std::move(fetchURL)));
}

APMETaskManager::APMETaskManager(
    std::shared_ptr<dispatch::Queue> queue, std::shared_ptr<ZIVAlarm> alarm,
    std::shared_ptr<ZUZOzurivi> network, std::shared_ptr<ZIVUserDefaults> persistedStorage,
    std::string databasePath, double initTimestamp, std::shared_ptr<dispatch::Clock> clock,
    std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder, std::string fetchURL)
    : alarm_(std::move(alarm)),
      network_(std::move(network)),
      persistedStorage_(std::move(persistedStorage)),
      workerQueue_(std::move(queue)),
      databasePath_(std::move(databasePath)),
      clock_(std::move(clock)),
      requestBuilder_(requestBuilder ? std::move(requestBuilder)
                                     : APMEExperimentRequestBuilder::sharedInstance()),
      fetchURL_(fetchURL.empty() ? ZIVServiceURL(std::string("https://") +
                                                 kAPMEExperimentsServerHost + kAPMEExperimentsPath)
                                 : std::move(fetchURL)),
      initializationTimestamp_(initTimestamp) {}

APMETaskManager::~APMETaskManager() = default;

double APMETaskManager::now() const {
  return (clock_ ? clock_ : dispatch::Clock::current())->wallTime();
}

std::shared_ptr<APMETaskManagerDelegate> APMETaskManager::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

void APMETaskManager::setDelegate(const std::shared_ptr<APMETaskManagerDelegate>& delegate) {
  std::lock_guard<std::mutex> lock(mu_);
  delegate_ = delegate;
}

void APMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
  workerQueue_->async([block = std::move(block)] {
    try {
      if (block) block();
    } catch (...) {
      APMELog(1, 820026, "Exception on async worker queue", {ZIVCurrentExceptionContext()});
    }
  });
}

void APMETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
  std::exception_ptr failure;
  workerQueue_->sync([&] {
    try {
      if (block) block();
    } catch (...) {
      APMELog(1, 820027, "Exception on sync worker queue", {ZIVCurrentExceptionContext()});
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

void APMETaskManager::onWorkerQueue(std::function<void(APMETaskManager&)> block) {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak, block = std::move(block)] {
    if (auto self = weak.lock()) block(*self);
  });
}

void APMETaskManager::startTaskManager() {
  onWorkerQueue([](APMETaskManager& self) { self.startTaskManagerOnWorkerQueue(); });
}

void APMETaskManager::startTaskManagerOnWorkerQueue() {
  assert(workerQueue_->isCurrent());
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("startTaskManagerOnWorkerQueue");
  stopped_ = false;
  database_ = APMEDatabase::initWithPath(databasePath_, clock_);
  if (!database_) return;
  fetchAllSnapshotsOnWorkerQueue();
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
  assert(workerQueue_->isCurrent());
  APMEDatabase& database = *database_;
  const bool started = database.performTransaction([&database] {
    fnd::Error error;
    if (!database.deleteStaleActivatedSnapshots(&error)) {
      APMELog(1, 820006, "Cannot delete stale activated snapshots. Error",
              {ZIVErrorContext(error)});
      return false;
    }
    if (!database.activatePendingSnapshotsAutomatically(&error)) {
      APMELog(1, 820007, "Cannot activate pending snapshots automatically. Error",
              {ZIVErrorContext(error)});
      return false;
    }
    return true;
  });
  if (!started) {
    APMELog(2, 820008, "Failed to start the task manager");
    return;
  }
  APMELog(8, 820009, "Successfully start the task manager");
  std::shared_ptr<APMETaskManagerDelegate> delegate = this->delegate();
  if (!delegate) return;
  fnd::Error error;
  std::optional<APMESnapshots> activated = database.fetchAllActivatedSnapshots(&error);
  if (!activated) {
    APMELog(1, 820010, "Error in fetching all activated snapshots. Error",
            {ZIVErrorContext(error)});
  }
  std::optional<APMESnapshots> pending = database.fetchAllPendingSnapshots(&error);
  if (!pending) {
    APMELog(1, 820011, "Error in fetching all pending snapshots. Error", {ZIVErrorContext(error)});
  }
  std::optional<APMESnapshots> launched = database.fetchAllLaunchedSnapshots(&error);
  if (!launched) {
    APMELog(1, 820012, "Error in fetching all launched snapshots. Error", {ZIVErrorContext(error)});
  }
  delegate->taskManagerDidStartWithActivatedSnapshots(*this, activated.value_or(APMESnapshots()),
                                                      pending.value_or(APMESnapshots()),
                                                      launched.value_or(APMESnapshots()));
}

double APMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccessfulTimestamp,
                                                             double lastFailedTimestamp) {
  const double current = now();
  // A success time in the future counts as lying as far in the past.
  const double base = current - std::fabs(lastSuccessfulTimestamp - current);
  double next = base + APMEFetchIntervalInSeconds;
  if (!hasMadeInitialFetch_.exchange(true)) {
    return std::max(next, current + APMEInitialDelayTimeIntervalInSeconds);
  }
  if (lastFailedTimestamp <= 0) return next;
  if (base == 0) next = initializationTimestamp();  // No success recorded.
  for (int32_t i = 0; i < APMERetryCount; ++i) {
    next += APMEFetchRetryIntervalInSeconds * std::ldexp(1.0, i);
    if (next > lastFailedTimestamp) return next;
  }
  return 0;  // The retry budget is spent.
}

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  assert(workerQueue_->isCurrent());
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue");
  if (stopped_) return;
  double target = fetchTimeFromLastSuccessfulTimestamp(
      persistedStorage_->doubleForKey(kAPMEFetchSuccessTimestampKey),
      persistedStorage_->doubleForKey(kAPMEFetchFailureTimestampKey));
  if (std::fabs(target) < DBL_EPSILON) {
    persistedStorage_->removeObjectForKey(kAPMEFetchSuccessTimestampKey);
    APMELog(2, 820024, "Network attempted too many times. Will not schedule new network.");
    return;
  }
  const double current = now();
  const double scheduled = alarm_->scheduledTimestamp().value_or(0);
  if (scheduled != 0 && scheduled <= target) {
    APMELog(8, 820017,
            "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
            {fnd::Value(scheduled - current)});
    return;
  }
  // A back-off time in the future (a wall clock set back) counts as lying as far in the past, as
  // the success time does, so that it never holds fetches longer than its window from now.
  const double storedBackoff = persistedStorage_->doubleForKey(kAPMEFetchBackoffTimestampKey);
  const double backoff = current - std::fabs(storedBackoff - current);
  if (std::fabs(storedBackoff) >= DBL_EPSILON &&
      current - backoff < APMEFetchBackoffIntervalInSeconds) {
    target = std::max(backoff + APMEFetchBackoffIntervalInSeconds, target);
  }
  double delay = target - current;
  if (delay < DBL_EPSILON) delay = 0.001;
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    try {
      std::shared_ptr<APMETaskManagerDelegate> delegate = self->delegate();
      std::optional<bool> shouldFetch =
          delegate ? delegate->taskManagerShouldFetchExperiments(*self) : std::nullopt;
      if (shouldFetch.has_value() && !*shouldFetch) {
        self->postponeFetchExperiments();
      } else {
        self->fetchExperiments();
      }
    } catch (...) {
      APMELog(1, 820026, "Exception on async worker queue", {ZIVCurrentExceptionContext()});
    }
  });
}

void APMETaskManager::removeFetchTimestamps() {
  persistedStorage_->removeObjectForKey(kAPMEFetchBackoffTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMEFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMEFetchSuccessTimestampKey);
}

void APMETaskManager::postponeFetchExperiments() {
  assert(workerQueue_->isCurrent());
  persistedStorage_->setDouble(now(), kAPMEFetchSuccessTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMEFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMEFetchBackoffTimestampKey);
  persistedStorage_->synchronize();
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchExperiments() {
  assert(workerQueue_->isCurrent());
  std::shared_ptr<APMPBExperimentRequest> request = requestBuilder_->request();
  std::optional<fnd::Data> body = request ? request->protoBuffer() : std::nullopt;
  APMELog(8, 820001, "Fetching new experiments. Request",
          {RecordValue(std::static_pointer_cast<fnd::Record>(request))});
  if (!body) {
    // Nothing to send: counts as a failed attempt, so the retry ladder applies.
    handleFetchingExperimentsResponse(
        std::nullopt, std::nullopt,
        fnd::Error::withDescription(kAPMEErrorDomain, -1, "Cannot encode the experiment request"));
    return;
  }
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  network_->postURL(
      fetchURL_, *body, workerQueue_, false,
      [weak](const std::optional<ZUZOzuriviHTTPResponse>& response,
             const std::optional<fnd::Data>& data, const std::optional<fnd::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        try {
          std::optional<fnd::Data> inflated;
          if (data) {
            fnd::Error inflateError;
            inflated = gul_dataByInflatingGzippedData(*data, &inflateError);
            if (!inflated) {
              APMELog(2, 820023, "Cannot inflate downloaded experiment data. Error",
                      {ZIVErrorContext(inflateError)});
            }
          }
          self->handleFetchingExperimentsResponse(response, inflated, error);
        } catch (...) {
          APMELog(1, 820026, "Exception on async worker queue", {ZIVCurrentExceptionContext()});
        }
      });
}

void APMETaskManager::handleFetchingExperimentsResponse(
    const std::optional<ZUZOzuriviHTTPResponse>& response, const std::optional<fnd::Data>& data,
    const std::optional<fnd::Error>& error) {
  assert(workerQueue_->isCurrent());
  if (stopped_) return;  // Cleared while the request was in flight.
  const double current = now();
  const int64_t status = response ? response->statusCode : 0;
  if (status == kZUZOzuriviHTTPStatusOK || status == kZUZOzuriviHTTPStatusNoContent) {
    std::shared_ptr<APMPBExperimentResponse> message =
        APMPBExperimentResponse::initWithBuffer(data ? &*data : nullptr);
    APMELog(8, 820003, "Successful fetch. Got network response. Code, data",
            {fnd::Value(status), fnd::Value(static_cast<int64_t>(data ? data->size() : 0))});
    persistedStorage_->setDouble(current, kAPMEFetchSuccessTimestampKey);
    persistedStorage_->removeObjectForKey(kAPMEFetchFailureTimestampKey);
    persistedStorage_->removeObjectForKey(kAPMEFetchBackoffTimestampKey);
    persistedStorage_->synchronize();
    APMESnapshots snapshots =
        experimentSnapshotsFromExperimentResponse(message).value_or(APMESnapshots());
    APMESDKErrors errors = errorsFromExperimentResponse(message).value_or(APMESDKErrors());
    if (!snapshots.empty()) {
      fnd::Error upsertError;
      if (!database_ || !database_->upsertPendingExperimentSnapshots(snapshots, &upsertError)) {
        APMELog(1, 820022, "Cannot upsert pending snapshots. Error, snapshots",
                {ZIVErrorContext(upsertError), SnapshotNames(snapshots)});
      }
    }
    if (auto delegate = this->delegate()) {
      delegate->taskManagerDidFinishFetchingExperimentSnapshots(*this, snapshots, errors);
    }
  } else {
    persistedStorage_->setDouble(current, kAPMEFetchFailureTimestampKey);
    if (status == kZUZOzuriviHTTPStatusCodeUnavailable ||
        status == kZUZOzuriviHTTPStatusCodeCannotAcceptTraffic) {
      persistedStorage_->setDouble(current, kAPMEFetchBackoffTimestampKey);
    }
    persistedStorage_->synchronize();
    APMELog(1, 820002, "Network fetch failed. Will retry later. Code, error",
            {fnd::Value(status), error ? ZIVErrorContext(*error) : fnd::Value()});
  }
  scheduleFetchingExperimentsOnWorkerQueue();
}

std::optional<APMESnapshots> APMETaskManager::experimentSnapshotsFromData(const fnd::Data& data) {
  if (data.empty()) {
    APMELog(2, 820025, "Cannot create experiment snapshots from empty data");
    return std::nullopt;
  }
  return experimentSnapshotsFromExperimentResponse(APMPBExperimentResponse::initWithBuffer(data));
}

std::optional<APMESnapshots> APMETaskManager::experimentSnapshotsFromExperimentResponse(
    const std::shared_ptr<APMPBExperimentResponse>& response) {
  if (!response) {
    APMELog(2, 820015, "Cannot create experiment snapshots from nil response");
    return std::nullopt;
  }
  fnd::Array list = NANOGetArray(response.get(), APMPBExperimentResponse::kSnapshots,
                                 &APMPBSnapshot::messageClass())
                        .value_or(fnd::Array());
  if (list.empty() && NANOHasField(response.get(), APMPBExperimentResponse::kSdkResponses)) {
    fnd::Array answers = NANOGetArray(response.get(), APMPBExperimentResponse::kSdkResponses,
                                      &APMPBSdkResponse::messageClass())
                             .value_or(fnd::Array());
    for (const fnd::Value& item : answers) {
      auto answer = item.recordAs<APMPBSdkResponse>();
      if (!answer) continue;
      auto snapshot = NANOGetMessage<APMPBSnapshot>(answer.get(), APMPBSdkResponse::kSnapshot);
      if (!snapshot) continue;  // An answer without a snapshot (an error) has nothing to add.
      std::optional<std::string> name = NANOGetString(answer.get(), APMPBSdkResponse::kSdkName);
      if (name && !name->empty()) {
        NANOSetString(snapshot.get(), APMPBSnapshot::kSdkName, fnd::Value(*name));
      }
      list.push_back(fnd::Value(std::static_pointer_cast<fnd::Record>(snapshot)));
    }
  }
  APMESnapshots snapshots;
  for (const fnd::Value& item : list) {
    auto message = item.recordAs<APMPBSnapshot>();
    std::shared_ptr<APMESnapshot> snapshot =
        message ? APMESnapshot::initWithProtobuf(*message) : nullptr;
    if (!snapshot) {
      APMELog(2, 820016, "Cannot create a snapshot from the proto");
      continue;
    }
    snapshots.push_back(snapshot);
  }
  return snapshots;
}

std::optional<APMESDKErrors> APMETaskManager::errorsFromExperimentResponse(
    const std::shared_ptr<APMPBExperimentResponse>& response) {
  if (!response) return std::nullopt;
  std::optional<fnd::Array> answers = NANOGetArray(
      response.get(), APMPBExperimentResponse::kSdkResponses, &APMPBSdkResponse::messageClass());
  if (!answers || answers->empty()) return std::nullopt;
  APMESDKErrors errors;
  for (const fnd::Value& item : *answers) {
    auto answer = item.recordAs<APMPBSdkResponse>();
    if (!answer || !NANOHasField(answer.get(), APMPBSdkResponse::kStatus)) continue;
    const int32_t status = NANOGetInt32(answer.get(), APMPBSdkResponse::kStatus);
    std::optional<std::string> name = NANOGetString(answer.get(), APMPBSdkResponse::kSdkName);
    if (status == 0 || !name || name->empty()) continue;
    errors.insert_or_assign(*name, fnd::Error(kAPMEErrorDomain, ErrorCodeForStatus(status)));
  }
  return errors;
}

void APMETaskManager::activatePendingSnapshot(const std::shared_ptr<APMESnapshot>& snapshot,
                                              double timestamp) {
  if (!snapshot) {
    APMELog(0, 820013, "Cannot activate an empty snapshot");
    return;
  }
  onWorkerQueue([snapshot, timestamp](APMETaskManager& self) {
    fnd::Error error;
    bool activated = self.database_ && self.database_->performTransaction([&] {
      return self.database_->activateSnapshot(snapshot, timestamp, &error);
    });
    if (!activated) {
      APMELog(1, 820014, "Cannot activate snapshot for SDK Name. Error",
              {fnd::Value(snapshot->SDKName()), ZIVErrorContext(error)});
    }
  });
}

void APMETaskManager::resetToDefaultsForSDKName(const std::string& sdkName) {
  if (sdkName.empty()) {
    APMELog(1, 820018, "Cannot reset to defaults for empty SDK name");
    return;
  }
  onWorkerQueue([sdkName](APMETaskManager& self) {
    fnd::Error error;
    if (!self.database_ || !self.database_->deleteActivatedExperimentsOfSDKName(sdkName, &error)) {
      APMELog(1, 820019, "Cannot reset to defaults in the database. SDK Name, error",
              {fnd::Value(sdkName), ZIVErrorContext(error)});
    }
  });
}

void APMETaskManager::upsertPendingSnapshots(const APMESnapshots& snapshots) {
  if (snapshots.empty()) {
    APMELog(2, 820020, "Cannot upsert empty pending snapshot list");
    return;
  }
  onWorkerQueue([snapshots](APMETaskManager& self) {
    fnd::Error error;
    if (!self.database_ || !self.database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
      APMELog(1, 820021, "Cannot upsert pending snapshots into the database. Error",
              {ZIVErrorContext(error)});
      return;
    }
    if (auto delegate = self.delegate()) {
      delegate->taskManagerDidUpsertPendingSnapshots(self, snapshots);
    }
  });
}

void APMETaskManager::reset() {
  onWorkerQueue([](APMETaskManager& self) {
    if (self.database_) {
      self.database_->reset();
    } else {
      // Never opened, or deleted by clearAndDelete(): open it anew.
      self.database_ = APMEDatabase::initWithPath(self.databasePath_, self.clock_);
    }
    self.removeFetchTimestamps();
    self.persistedStorage_->synchronize();
    if (!self.database_) return;  // Still no database: stay inert.
    self.stopped_ = false;
    self.scheduleFetchingExperimentsOnWorkerQueue();
  });
}

void APMETaskManager::clearAndDelete() {
  onWorkerQueue([](APMETaskManager& self) {
    if (self.database_) self.database_->closeAndDelete();
    self.database_.reset();
    self.removeFetchTimestamps();
    self.persistedStorage_->synchronize();
    self.alarm_->cancel();
    self.stopped_ = true;
  });
}

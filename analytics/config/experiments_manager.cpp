#include "analytics/config/experiments_manager.h"

#include <algorithm>
#include <cassert>
#include <cfloat>
#include <cmath>

#include "analytics/config/experiment_flag.h"
#include "analytics/foundation/errors.h"
#include "analytics/foundation/monitor_context.h"

namespace {

// The experiments SDK version text; the version number drops its last three characters.
constexpr const char* kAPMESDKVersionString = "10000000";

// A short description of a snapshot for log contexts, or null.
fnd::Value SnapshotContext(const std::shared_ptr<APMESnapshot>& snapshot) {
  if (!snapshot) return fnd::Value();
  return fnd::Value(snapshot->SDKName() + " (" + std::to_string(snapshot->experiments().size()) +
                    " experiments, " + std::to_string(snapshot->timestamp()) + ")");
}

fnd::Value FlagContext(const std::shared_ptr<APMPBFlag>& flag) {
  if (!flag) return fnd::Value();
  return fnd::Value(std::static_pointer_cast<fnd::Record>(flag));
}

}  // namespace

// ---- APMEClient

APMEClient::APMEClient(std::shared_ptr<APMESDKProperty> property,
                       std::vector<std::shared_ptr<APMPBFlag>> defaultFlags,
                       std::weak_ptr<APMEManager> manager)
    : SDKProperty_(std::move(property)),
      defaultFlags_(std::move(defaultFlags)),
      manager_(std::move(manager)) {}

std::shared_ptr<APMEClient> APMEClient::initWithSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property,
    const std::optional<std::vector<std::shared_ptr<APMPBFlag>>>& defaultFlags,
    const std::shared_ptr<APMEManager>& manager) {
  if (!property) {
    APMELog(0, 830000, "Cannot initialize the client with nil property");
    return nullptr;
  }
  if (!defaultFlags) {
    APMELog(0, 830001, "Cannot initialize the client with nil default flags");
    return nullptr;
  }
  return std::shared_ptr<APMEClient>(new APMEClient(property, *defaultFlags, manager));
}

fnd::Value APMEClient::valueForFlag(const std::string& flagName) const {
  if (flagName.empty()) {
    APMELog(0, 830002, "Cannot get value for empty flag name");
    return fnd::Value();
  }
  auto manager = manager_.lock();
  return manager ? manager->flagValueForFlagName(fnd::Value(flagName), fnd::Value(SDKName()))
                 : fnd::Value();
}

fnd::Value APMEClient::objectForKeyedSubscript(const fnd::Value& key) const {
  if (!key.isString()) {
    APMELog(0, 830003, "Cannot get flag value of an invalid flag name");
    return fnd::Value();
  }
  return valueForFlag(key.asString());
}

bool APMEClient::activateLatestSnapshot(fnd::Error* error) const {
  auto manager = manager_.lock();
  if (!manager) return ZIVSetError(error, 1, "The experiments manager is gone");
  return manager->activateSnapshotOfSDK(fnd::Value(SDKName()), error);
}

bool APMEClient::hasStaleSnapshot() const {
  auto manager = manager_.lock();
  return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == 1;
}

void APMEClient::resetToDefaults() const {
  if (auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}

std::shared_ptr<APMEExperimentObserverDelegate> APMEClient::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

void APMEClient::setDelegate(const std::shared_ptr<APMEExperimentObserverDelegate>& delegate) {
  std::lock_guard<std::mutex> lock(mu_);
  delegate_ = delegate;
}

// ---- APMEManager

const std::shared_ptr<APMEManager>& APMEManager::sharedInstance() {
  static const std::shared_ptr<APMEManager>& manager = *new std::shared_ptr<APMEManager>([] {
    std::shared_ptr<APMEManager> made = initWithTaskManager(APMETaskManager::init());
    made->taskManager()->startTaskManager();
    return made;
  }());
  return manager;
}

std::shared_ptr<APMEManager> APMEManager::initWithTaskManager(
    std::shared_ptr<APMETaskManager> taskManager, std::shared_ptr<dispatch::Clock> clock,
    std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder) {
  if (!taskManager) return nullptr;
  std::shared_ptr<APMEManager> manager(
      new APMEManager(std::move(taskManager), std::move(clock), std::move(requestBuilder)));
  manager->taskManager_->setDelegate(manager);
  return manager;
}

APMEManager::APMEManager(std::shared_ptr<APMETaskManager> taskManager,
                         std::shared_ptr<dispatch::Clock> clock,
                         std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder)
    : taskManager_(std::move(taskManager)),
      serialQueue_(dispatch::Queue::create("APMEExperimentSerialQueue", dispatch::Qos::kUtility)),
      clock_(std::move(clock)),
      requestBuilder_(requestBuilder ? std::move(requestBuilder)
                                     : APMEExperimentRequestBuilder::sharedInstance()) {}

APMEManager::~APMEManager() = default;

const std::shared_ptr<APMEMonitor>& APMEManager::monitor() { return APMEMonitor::sharedMonitor(); }

int64_t APMEManager::version() { return versionFromString(kAPMESDKVersionString); }

int64_t APMEManager::versionFromString(const std::string& text) {
  if (text.size() < 4) return 0;
  const std::string head = text.substr(0, text.size() - 3);
  int64_t value = 0;
  for (char c : head) {
    if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

double APMEManager::now() const {
  return (clock_ ? clock_ : dispatch::Clock::current())->wallTime();
}

void APMEManager::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  serialQueue_->async([block = std::move(block)] {
    try {
      if (block) block();
    } catch (...) {
      APMELog(1, 800017, "Exception on async Experimentation serial queue",
              {ZIVCurrentExceptionContext()});
    }
  });
}

void APMEManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
  serialQueue_->sync([&block] {
    try {
      if (block) block();
    } catch (...) {
      APMELog(1, 800018, "Exception on sync Experimentation serial queue",
              {ZIVCurrentExceptionContext()});
    }
  });
}

std::shared_ptr<APMEClient> APMEManager::registerSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property, const fnd::Dictionary& defaultFlags) {
  if (!property) {
    APMELog(0, 800000, "Cannot register client with a nil SDK property");
    return nullptr;
  }
  const std::string sdkName = property->name();
  if (sdkName.empty()) {
    APMELog(0, 800001, "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  std::vector<std::shared_ptr<APMPBFlag>> flags;
  std::map<std::string, std::shared_ptr<APMPBFlag>> flagsByName;
  for (const auto& [name, value] : defaultFlags) {
    std::shared_ptr<APMPBFlag> flag = APMEFlagWithName(name, value);
    if (!flag) {
      APMELog(0, 800002, "Cannot register experiment client invalid flags. Flag name, value",
              {name, value});
      return nullptr;
    }
    flags.push_back(flag);
    flagsByName[name.asString()] = flag;
  }
  std::shared_ptr<APMEClient> client =
      APMEClient::initWithSDKProperty(property, flags, shared_from_this());
  if (!client) {
    APMELog(1, 800004, "Cannot register client. SDK name", {fnd::Value(sdkName)});
    return nullptr;
  }
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, client, property, sdkName, flagsByName] {
    auto self = weak.lock();
    if (!self) return;
    if (self->registeredClientsBySDKName_.count(sdkName)) {
      APMELog(3, 800003,
              "Registered an SDK that has already registered. Default flags will be "
              "overwritten. SDK name",
              {fnd::Value(sdkName)});
    }
    self->registeredClientsBySDKName_[sdkName] = client;
    self->defaultFlagsBySDKName_[sdkName] = flagsByName;
    self->requestBuilder_->addSDKProperty(property);
    APMELog(8, 800005, "Registered client", {fnd::Value(sdkName)});
  });
  return client;
}

std::shared_ptr<APMEClient> APMEManager::clientForSDKName(const fnd::Value& sdkName) {
  if (!sdkName.isString()) {
    APMELog(0, 800006, "Cannot find the client for invalid SDK name");
    return nullptr;
  }
  if (sdkName.asString().empty()) {
    APMELog(0, 800007, "Cannot find the client for empty SDK Name");
    return nullptr;
  }
  std::shared_ptr<APMEClient> client;
  dispatchSyncOnSerialQueue([&] {
    auto it = registeredClientsBySDKName_.find(sdkName.asString());
    if (it != registeredClientsBySDKName_.end()) client = it->second;
  });
  return client;
}

fnd::Value APMEManager::flagValueForFlagName(const fnd::Value& flagName,
                                             const fnd::Value& sdkName) {
  if (!sdkName.isString()) {
    APMELog(0, 800008, "Cannot get flag value for an invalid SDK name");
    return fnd::Value();
  }
  if (!flagName.isString()) {
    APMELog(0, 800009, "Cannot get flag value for invalid flag name. SDK name, flag name",
            {sdkName, flagName});
    return fnd::Value();
  }
  if (sdkName.asString().empty()) {
    APMELog(0, 800010, "Cannot retrieve flag value for empty SDK name");
    return fnd::Value();
  }
  if (flagName.asString().empty()) {
    APMELog(0, 800011, "Cannot retrieve flag value for empty flag name");
    return fnd::Value();
  }
  fnd::Value value;
  dispatchSyncOnSerialQueue(
      [&] { value = flagValueOnSerialQueue(flagName.asString(), sdkName.asString()); });
  return value;
}

fnd::Value APMEManager::flagValueOnSerialQueue(const std::string& flagName,
                                               const std::string& sdkName) {
  assert(serialQueue_->isCurrent());
  const fnd::Value sdk(sdkName);
  const fnd::Value flag(flagName);
  if (!registeredClientsBySDKName_.count(sdkName)) {
    APMELog(3, 800012, "SDK is not registered yet");
    return fnd::Value();
  }
  auto defaults = defaultFlagsBySDKName_.find(sdkName);
  if (defaults == defaultFlagsBySDKName_.end()) {
    APMELog(3, 800013, "Cannot get flag for unregistered SDK. SDK name, flag name", {sdk, flag});
    return fnd::Value();
  }
  std::shared_ptr<APMESnapshot> activated =
      activatedSnapshotsBySDKName_.objectForKey(sdkName).value_or(nullptr);
  APMELog(8, 800015, "Looking for activated flag. SDK name, flag name, activated snapshot",
          {sdk, flag, SnapshotContext(activated)});
  if (activated) {
    fnd::Value value = APMEValueFromFlagProto(activated->flagByName(flagName).get());
    if (!value.isNull()) return value;
  }
  std::shared_ptr<APMESnapshot> launched =
      launchedSnapshotsBySDKName_.objectForKey(sdkName).value_or(nullptr);
  APMELog(8, 800016,
          "Cannot find activated flag. Looking for launched flag. SDK name, flag name, launched "
          "flag",
          {sdk, flag, SnapshotContext(launched)});
  if (launched) {
    fnd::Value value = APMEValueFromFlagProto(launched->flagByName(flagName).get());
    if (!value.isNull()) return value;
  }
  auto entry = defaults->second.find(flagName);
  if (entry == defaults->second.end()) {
    APMELog(8, 800014, "No default flag value. SDK name, flag name", {sdk, flag});
    return fnd::Value();
  }
  APMELog(8, 800019,
          "Cannot find launched flag. Returned the default flag value. SDK name, flag name, "
          "default flag",
          {sdk, flag, FlagContext(entry->second)});
  return APMEValueFromFlagProto(entry->second.get());
}

std::vector<int64_t> APMEManager::experimentIDs() {
  std::vector<int64_t> ids;
  dispatchSyncOnSerialQueue([&] {
    for (const auto& [sdkName, client] : registeredClientsBySDKName_) {
      if (!client->SDKProperty()->diversionKey().empty()) continue;
      auto activated = activatedSnapshotsBySDKName_.objectForKey(sdkName).value_or(nullptr);
      if (!activated) continue;
      for (const auto& experiment : activated->experiments()) {
        ids.push_back(experiment->experimentID());
      }
    }
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool APMEManager::activateSnapshotOfSDK(const fnd::Value& sdkName, fnd::Error* error) {
  if (!ZIVAssertTrue(sdkName.isString(), error, 800021, "SDK name cannot be nil")) {
    APMELog(3, 800021, "Cannot activate a pending snapshot for a nil SDK name");
    return false;
  }
  const std::string name = sdkName.asString();
  if (!ZIVAssertTrue(!name.empty(), error, 800022, "SDK name cannot be empty")) {
    APMELog(3, 800022, "Cannot activate a pending snapshot for an empty SDK name");
    return false;
  }
  bool activated = false;
  dispatchSyncOnSerialQueue([&] { activated = activateSnapshotOnSerialQueue(name); });
  if (activated) APMELog(8, 800028, "Successfully activated a snapshot of SDK", {sdkName});
  return activated;
}

bool APMEManager::activateSnapshotOnSerialQueue(const std::string& sdkName) {
  assert(serialQueue_->isCurrent());
  std::shared_ptr<APMESnapshot> pending =
      pendingSnapshotsBySDKName_.objectForKey(sdkName).value_or(nullptr);
  if (!pending) {
    APMELog(3, 800023, "No pending snapshot to activate. SDK name", {fnd::Value(sdkName)});
    return false;
  }
  const double current = now();
  std::shared_ptr<APMESnapshot> activated = APMESnapshot::initWithSDKName(sdkName, {});
  if (!activated) return false;
  activated->setTimestamp(current);
  for (const auto& experiment : pending->experiments()) {
    if (experiment->experimentID() == APMELaunchedExperimentID) {
      if (auto launched = APMESnapshot::initWithSDKName(sdkName, {experiment})) {
        launchedSnapshotsBySDKName_.setObject(launched, sdkName);
      }
    } else {
      activated->addFlags(experiment->flagValues(), fnd::Value(experiment->experimentID()));
    }
  }
  activatedSnapshotsBySDKName_.setObject(activated, sdkName);
  pendingSnapshotsBySDKName_.removeObjectForKey(sdkName);
  taskManager_->activatePendingSnapshot(pending, current);
  return true;
}

int64_t APMEManager::activatedSnapshotStatusOfSDKName(const std::string& sdkName) {
  if (sdkName.empty()) {
    APMELog(0, 800024, "Cannot check activated snapshot for empty SDK Name");
    return -1;
  }
  int64_t status = -1;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClientsBySDKName_.count(sdkName)) return;
    auto activated = activatedSnapshotsBySDKName_.objectForKey(sdkName).value_or(nullptr);
    if (!activated || activated->timestamp() <= DBL_EPSILON) {
      status = -2;
      return;
    }
    status = std::fabs(activated->timestamp() - now()) > APMEFlagTimeToLiveInSeconds ? 1 : 0;
  });
  return status;
}

void APMEManager::resetToDefaultsOfSDKName(const std::string& sdkName) {
  if (sdkName.empty()) {
    APMELog(0, 800025, "Cannot reset to defaults for empty SDK Name");
    return;
  }
  dispatchSyncOnSerialQueue([&] {
    if (!activatedSnapshotsBySDKName_.objectForKey(sdkName)) {
      APMELog(0, 800026, "Cannot reset to defaults for unregistered SDK name");
      return;
    }
    activatedSnapshotsBySDKName_.removeObjectForKey(sdkName);
    taskManager_->resetToDefaultsForSDKName(sdkName);
    APMELog(8, 800027, "Reset all experiments to default. SDK name", {fnd::Value(sdkName)});
  });
}

void APMEManager::reset() {
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->taskManager_->reset();
    self->activatedSnapshotsBySDKName_.removeAllObjects();
    self->pendingSnapshotsBySDKName_.removeAllObjects();
    self->launchedSnapshotsBySDKName_.removeAllObjects();
  });
}

void APMEManager::clearAndDelete() {
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->taskManager_->clearAndDelete();
    self->activatedSnapshotsBySDKName_.removeAllObjects();
    self->pendingSnapshotsBySDKName_.removeAllObjects();
    self->launchedSnapshotsBySDKName_.removeAllObjects();
  });
}

// ---- APMETaskManagerDelegate

void APMEManager::taskManagerDidStartWithActivatedSnapshots(APMETaskManager& taskManager,
                                                            const APMESnapshots& activated,
                                                            const APMESnapshots& pending,
                                                            const APMESnapshots& launched) {
  (void)taskManager;
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, activated, pending, launched] {
    auto self = weak.lock();
    if (!self) return;
    for (const auto& s : activated) self->activatedSnapshotsBySDKName_.setObject(s, s->SDKName());
    for (const auto& s : pending) self->pendingSnapshotsBySDKName_.setObject(s, s->SDKName());
    for (const auto& s : launched) self->launchedSnapshotsBySDKName_.setObject(s, s->SDKName());
  });
}

std::optional<bool> APMEManager::taskManagerShouldFetchExperiments(APMETaskManager& taskManager) {
  (void)taskManager;
  bool shouldFetch = false;
  dispatchSyncOnSerialQueue([&] {
    for (const auto& [sdkName, client] : registeredClientsBySDKName_) {
      std::shared_ptr<APMEExperimentObserverDelegate> delegate = client->delegate();
      std::optional<bool> answer =
          delegate ? delegate->shouldFetchExperimentsForClient(*client) : std::nullopt;
      if (!answer.has_value() || *answer) {
        shouldFetch = true;
        return;
      }
    }
  });
  return shouldFetch;
}

void APMEManager::taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager& taskManager,
                                                                  const APMESnapshots& snapshots,
                                                                  const APMESDKErrors& errors) {
  (void)taskManager;
  if (snapshots.empty() && errors.empty()) {
    APMELog(3, 800020, "No pending snapshots to notify the clients");
    return;
  }
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, snapshots, errors] {
    auto self = weak.lock();
    if (!self) return;
    APMESnapshots observed;
    for (const auto& snapshot : snapshots) {
      std::shared_ptr<APMESnapshot> copy = snapshot->copy();
      if (!copy) continue;
      self->pendingSnapshotsBySDKName_.setObject(copy, copy->SDKName());
      auto client = self->registeredClientsBySDKName_.find(copy->SDKName());
      if (client == self->registeredClientsBySDKName_.end()) continue;
      auto delegate = client->second->delegate();
      if (delegate && delegate->respondsToClientDidReceiveNewSnapshot()) {
        copy->setManuallyActivated(true);
        observed.push_back(copy);
      }
    }
    for (const auto& [sdkName, error] : errors) {
      auto client = self->registeredClientsBySDKName_.find(sdkName);
      if (client == self->registeredClientsBySDKName_.end()) continue;
      auto delegate = client->second->delegate();
      if (delegate && delegate->respondsToClientDidReceiveFetchError()) {
        delegate->clientDidReceiveFetchError(client->second, error);
      }
    }
    // Snapshots nobody observes are already stored as fetched; only the observed ones change.
    if (!observed.empty()) self->taskManager_->upsertPendingSnapshots(observed);
  });
}

void APMEManager::taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager,
                                                       const APMESnapshots& snapshots) {
  (void)taskManager;
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, snapshots] {
    auto self = weak.lock();
    if (!self) return;
    for (const auto& snapshot : snapshots) {
      auto entry = self->registeredClientsBySDKName_.find(snapshot->SDKName());
      std::shared_ptr<APMEClient> client =
          entry == self->registeredClientsBySDKName_.end() ? nullptr : entry->second;
      std::shared_ptr<APMEExperimentObserverDelegate> delegate =
          client ? client->delegate() : nullptr;
      if (!delegate || !delegate->respondsToClientDidReceiveNewSnapshot()) {
        APMELog(0, 800021,
                "Cannot notify new snapshot for SDK because the delegate does not implement "
                "-clientDidReceiveNewSnapshot:",
                {fnd::Value(snapshot->SDKName())});
        continue;
      }
      std::shared_ptr<dispatch::Queue> queue = delegate->queue();
      if (!queue) queue = dispatch::Queue::main();
      queue->async([delegate, client] { delegate->clientDidReceiveNewSnapshot(client); });
    }
  });
}

#include "platform/vendor/remote_config/remote_config.h"

#include <set>
#include <utility>

namespace {

std::map<std::string, fnd::Data> DataMap(const fnd::Dictionary& parameters) {
  std::map<std::string, fnd::Data> map;
  for (const auto& [key, value] : parameters) {
    if (key.isString()) map[key.asString()] = DEVRemoteConfigDataFromValue(value);
  }
  return map;
}

fnd::Error RemoteConfigError(int64_t code, const std::string& description) {
  return fnd::Error::withDescription(kDEVRemoteConfigErrorDomain, code, description);
}

// The code points of UTF-8 text.
size_t CodePointCount(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

}  // namespace

void DEVConfigUpdateListenerRegistration::remove() {
  std::function<void()> remove;
  {
    std::lock_guard<std::mutex> lock(mu_);
    remove = std::move(remove_);
    remove_ = nullptr;
  }
  if (remove) remove();
}

std::shared_ptr<DEVRemoteConfig> DEVRemoteConfig::remoteConfigWithApp(const DAVOdu& app) {
  static std::mutex* mu = new std::mutex();
  static auto* instances = new std::map<std::string, std::shared_ptr<DEVRemoteConfig>>();
  std::lock_guard<std::mutex> lock(*mu);
  std::shared_ptr<DEVRemoteConfig>& instance = (*instances)[app.name()];
  if (!instance) instance = create(app.name(), nullptr, nullptr);
  return instance;
}

std::shared_ptr<DEVRemoteConfig> DEVRemoteConfig::create(
    std::string appName, std::shared_ptr<dispatch::Queue> callbackQueue,
    std::shared_ptr<dispatch::Clock> clock) {
  return std::make_shared<DEVRemoteConfig>(std::move(appName), std::move(callbackQueue),
                                           std::move(clock));
}

DEVRemoteConfig::DEVRemoteConfig(std::string appName,
                                 std::shared_ptr<dispatch::Queue> callbackQueue,
                                 std::shared_ptr<dispatch::Clock> clock)
    : appName_(std::move(appName)),
      callbackQueue_(callbackQueue
                         ? std::move(callbackQueue)
                         : dispatch::Queue::create("com.zudiroru.remoteconfig." + appName_)),
      clock_(std::move(clock)) {}

double DEVRemoteConfig::now() const {
  return (clock_ ? clock_ : dispatch::Clock::current())->wallTime();
}

DEVRemoteConfigSettings DEVRemoteConfig::configSettings() const {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_;
}

void DEVRemoteConfig::setConfigSettings(const DEVRemoteConfigSettings& settings) {
  std::lock_guard<std::mutex> lock(mu_);
  settings_ = settings;
}

void DEVRemoteConfig::setDefaults(const fnd::Dictionary& defaults) {
  std::lock_guard<std::mutex> lock(mu_);
  defaults_ = DataMap(defaults);
}

DEVRemoteConfigValue DEVRemoteConfig::configValueForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (auto it = active_.find(key); it != active_.end()) {
    return DEVRemoteConfigValue(it->second, DEVRemoteConfigSourceRemote);
  }
  if (auto it = defaults_.find(key); it != defaults_.end()) {
    return DEVRemoteConfigValue(it->second, DEVRemoteConfigSourceDefault);
  }
  return DEVRemoteConfigValue({}, DEVRemoteConfigSourceStatic);
}

std::vector<std::string> DEVRemoteConfig::allKeysFromSource(DEVRemoteConfigSource source) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> keys;
  const std::map<std::string, fnd::Data>* map = source == DEVRemoteConfigSourceRemote ? &active_
                                                : source == DEVRemoteConfigSourceDefault
                                                    ? &defaults_
                                                    : nullptr;
  if (map) {
    for (const auto& entry : *map) keys.push_back(entry.first);
  }
  return keys;
}

std::optional<double> DEVRemoteConfig::lastFetchTime() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastFetchTime_;
}

DEVRemoteConfigFetchStatus DEVRemoteConfig::lastFetchStatus() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastFetchStatus_;
}

DEVRemoteConfig::FetchOutcome DEVRemoteConfig::fetchLocked(std::optional<fnd::Error>* error) {
  double time = now();
  if (lastFetchTime_ && time - *lastFetchTime_ < settings_.minimumFetchInterval()) {
    return FetchOutcome::kCached;
  }
  if (throttleNextFetch_) {
    throttleNextFetch_ = false;
    lastFetchStatus_ = DEVRemoteConfigFetchStatusThrottled;
    *error = RemoteConfigError(kDEVRemoteConfigErrorThrottled, "Fetch was throttled.");
    return FetchOutcome::kFailed;
  }
  if (nextFetchError_) {
    *error = std::move(nextFetchError_);
    nextFetchError_.reset();
    lastFetchStatus_ = DEVRemoteConfigFetchStatusFailure;
    return FetchOutcome::kFailed;
  }
  if (serverLatency_ > settings_.fetchTimeout()) {
    lastFetchStatus_ = DEVRemoteConfigFetchStatusFailure;
    *error = RemoteConfigError(kDEVRemoteConfigErrorInternalError, "The request timed out.");
    return FetchOutcome::kFailed;
  }
  fetched_ = serverTemplate_;
  lastFetchTime_ = time;
  lastFetchStatus_ = DEVRemoteConfigFetchStatusSuccess;
  return FetchOutcome::kFetched;
}

void DEVRemoteConfig::fetchWithCompletionHandler(FetchCompletion completion) {
  std::optional<fnd::Error> error;
  DEVRemoteConfigFetchStatus status;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fetchLocked(&error);
    status = lastFetchStatus_;
  }
  if (!completion) return;
  callbackQueue_->async(
      [completion = std::move(completion), status, error] { completion(status, error); });
}

void DEVRemoteConfig::fetchAndActivateWithCompletionHandler(FetchAndActivateCompletion completion) {
  std::optional<fnd::Error> error;
  DEVRemoteConfigFetchAndActivateStatus status = DEVRemoteConfigFetchAndActivateStatusError;
  {
    std::lock_guard<std::mutex> lock(mu_);
    FetchOutcome outcome = fetchLocked(&error);
    if (outcome != FetchOutcome::kFailed) {
      if (fetched_) active_ = *std::exchange(fetched_, std::nullopt);
      status = outcome == FetchOutcome::kFetched
                   ? DEVRemoteConfigFetchAndActivateStatusSuccessFetchedFromRemote
                   : DEVRemoteConfigFetchAndActivateStatusSuccessUsingPreFetchedData;
    }
  }
  if (!completion) return;
  callbackQueue_->async(
      [completion = std::move(completion), status, error] { completion(status, error); });
}

void DEVRemoteConfig::activateWithCompletion(ActivateCompletion completion) {
  std::optional<fnd::Error> error;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (nextActivateError_) {
      error = std::exchange(nextActivateError_, std::nullopt);
    } else if (fetched_) {
      changed = *fetched_ != active_;
      active_ = *std::exchange(fetched_, std::nullopt);
    }
  }
  if (!completion) return;
  callbackQueue_->async(
      [completion = std::move(completion), changed, error] { completion(changed, error); });
}

void DEVRemoteConfig::ensureInitializedWithCompletionHandler(ErrorCompletion completion) {
  std::optional<fnd::Error> error;
  {
    std::lock_guard<std::mutex> lock(mu_);
    error = std::exchange(nextEnsureInitializedError_, std::nullopt);
  }
  if (!completion) return;
  callbackQueue_->async([completion = std::move(completion), error] { completion(error); });
}

void DEVRemoteConfig::setCustomSignals(CustomSignals signals, ErrorCompletion completion) {
  std::optional<fnd::Error> error;
  {
    std::lock_guard<std::mutex> lock(mu_);
    error = std::exchange(nextCustomSignalsError_, std::nullopt);
    std::map<std::string, CustomSignalValue> merged = customSignals_;
    for (const auto& [key, value] : signals) {
      if (error) break;
      const std::string* text = value && value->kind() == CustomSignalValue::Kind::kString
                                    ? &value->stringValue()
                                    : nullptr;
      if (key.empty() || CodePointCount(key) > kDEVRemoteConfigMaxCustomSignalKeyLength ||
          (text && CodePointCount(*text) > kDEVRemoteConfigMaxCustomSignalValueLength)) {
        error = RemoteConfigError(kDEVRemoteConfigErrorInvalidCustomSignals,
                                  "Invalid custom signal key or value: \"" + key + "\".");
      } else if (value) {
        merged.insert_or_assign(key, *value);
      } else {
        merged.erase(key);
      }
    }
    if (!error && merged.size() > kDEVRemoteConfigMaxCustomSignals) {
      error =
          RemoteConfigError(kDEVRemoteConfigErrorInvalidCustomSignals, "Too many custom signals.");
    }
    if (!error) customSignals_ = std::move(merged);
  }
  if (!completion) return;
  callbackQueue_->async([completion = std::move(completion), error] { completion(error); });
}

std::map<std::string, CustomSignalValue> DEVRemoteConfig::customSignals() const {
  std::lock_guard<std::mutex> lock(mu_);
  return customSignals_;
}

std::shared_ptr<DEVConfigUpdateListenerRegistration> DEVRemoteConfig::addOnConfigUpdateListener(
    UpdateListener listener) {
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (refuseListeners_ || !listener) return nullptr;
    id = nextListenerId_++;
    listeners_[id] = std::move(listener);
  }
  std::weak_ptr<DEVRemoteConfig> weakSelf = weak_from_this();
  return std::make_shared<DEVConfigUpdateListenerRegistration>([weakSelf, id] {
    if (auto self = weakSelf.lock()) {
      std::lock_guard<std::mutex> lock(self->mu_);
      self->listeners_.erase(id);
    }
  });
}

size_t DEVRemoteConfig::listenerCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return listeners_.size();
}

void DEVRemoteConfig::setServerTemplate(fnd::Dictionary parameters) {
  std::lock_guard<std::mutex> lock(mu_);
  serverTemplate_ = DataMap(parameters);
}

void DEVRemoteConfig::setServerLatency(double seconds) {
  std::lock_guard<std::mutex> lock(mu_);
  serverLatency_ = seconds;
}

void DEVRemoteConfig::failNextFetch(fnd::Error error) {
  std::lock_guard<std::mutex> lock(mu_);
  nextFetchError_ = std::move(error);
}

void DEVRemoteConfig::throttleNextFetch() {
  std::lock_guard<std::mutex> lock(mu_);
  throttleNextFetch_ = true;
}

void DEVRemoteConfig::failNextActivate(fnd::Error error) {
  std::lock_guard<std::mutex> lock(mu_);
  nextActivateError_ = std::move(error);
}

void DEVRemoteConfig::failNextEnsureInitialized(fnd::Error error) {
  std::lock_guard<std::mutex> lock(mu_);
  nextEnsureInitializedError_ = std::move(error);
}

void DEVRemoteConfig::failNextSetCustomSignals(fnd::Error error) {
  std::lock_guard<std::mutex> lock(mu_);
  nextCustomSignalsError_ = std::move(error);
}

void DEVRemoteConfig::refuseListeners(bool refuse) {
  std::lock_guard<std::mutex> lock(mu_);
  refuseListeners_ = refuse;
}

void DEVRemoteConfig::publishRealtimeUpdate() {
  std::vector<UpdateListener> listeners;
  std::set<std::string> changed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [key, data] : serverTemplate_) {
      auto it = active_.find(key);
      if (it == active_.end() || it->second != data) changed.insert(key);
    }
    for (const auto& entry : active_) {
      if (!serverTemplate_.count(entry.first)) changed.insert(entry.first);
    }
    fetched_ = serverTemplate_;
    lastFetchTime_ = now();
    lastFetchStatus_ = DEVRemoteConfigFetchStatusSuccess;
    for (const auto& entry : listeners_) listeners.push_back(entry.second);
  }
  auto update = std::make_shared<DEVRemoteConfigUpdate>(std::move(changed));
  for (auto& listener : listeners) {
    callbackQueue_->async([listener, update] { listener(update, std::nullopt); });
  }
}

void DEVRemoteConfig::publishRealtimeError(fnd::Error error) {
  std::vector<UpdateListener> listeners;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& entry : listeners_) listeners.push_back(entry.second);
  }
  for (auto& listener : listeners) {
    callbackQueue_->async([listener, error] { listener(nullptr, error); });
  }
}

// DEVRemoteConfig: the remote-configuration SDK of one Zudiroru app, as an in-memory simulation.
// It keeps the app's defaults, the last fetched and the active parameter set, the fetch settings
// and state, custom signals and real-time update listeners. The "server" is a template that the
// test scripts (setServerTemplate) with faults it can inject; nothing goes over the network.
//
// Fetching: a fetch within the minimum fetch interval of the last successful one answers success
// from the cache without asking the server. Otherwise the server's template is fetched (kept until
// activate) unless a fault was injected: an error, a throttled answer, or a server latency longer
// than the fetch timeout. Time comes from the instance's clock; the simulated fetch never waits.
//
// Thread safety: every method may be called from any thread. Completions and update listeners run
// on the instance's callback queue, never on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/core/davodu.h"
#include "platform/vendor/remote_config/remote_config_value.h"

// The SDK's error domain and codes.
inline constexpr const char* kDEVRemoteConfigErrorDomain = "com.zudiroru.remoteconfig.ErrorDomain";
inline constexpr int64_t kDEVRemoteConfigErrorInternalError = 8003;
inline constexpr int64_t kDEVRemoteConfigErrorThrottled = 8002;
inline constexpr int64_t kDEVRemoteConfigErrorInvalidCustomSignals = 8006;

// Limits of custom signals.
inline constexpr size_t kDEVRemoteConfigMaxCustomSignals = 100;
inline constexpr size_t kDEVRemoteConfigMaxCustomSignalKeyLength = 250;
inline constexpr size_t kDEVRemoteConfigMaxCustomSignalValueLength = 500;

// Keeps one update listener registered until remove() (or until the SDK object goes).
class DEVConfigUpdateListenerRegistration {
 public:
  explicit DEVConfigUpdateListenerRegistration(std::function<void()> remove)
      : remove_(std::move(remove)) {}
  // Stops the listener; later calls do nothing.
  void remove();

 private:
  std::mutex mu_;
  std::function<void()> remove_;  // Guarded by mu_; empty once removed.
};

class DEVRemoteConfig : public std::enable_shared_from_this<DEVRemoteConfig> {
 public:
  using FetchCompletion =
      std::function<void(DEVRemoteConfigFetchStatus status, std::optional<fnd::Error> error)>;
  using FetchAndActivateCompletion = std::function<void(
      DEVRemoteConfigFetchAndActivateStatus status, std::optional<fnd::Error> error)>;
  using ActivateCompletion = std::function<void(bool changed, std::optional<fnd::Error> error)>;
  using ErrorCompletion = std::function<void(std::optional<fnd::Error> error)>;
  using UpdateListener = std::function<void(std::shared_ptr<DEVRemoteConfigUpdate> update,
                                            std::optional<fnd::Error> error)>;
  using CustomSignals = std::map<std::string, std::optional<CustomSignalValue>>;

  // The instance of an app (by its name), made on first use and kept for the process.
  static std::shared_ptr<DEVRemoteConfig> remoteConfigWithApp(const DAVOdu& app);

  // A fresh instance. Null queue: a new serial queue; null clock: Clock::current() at each use.
  static std::shared_ptr<DEVRemoteConfig> create(std::string appName,
                                                 std::shared_ptr<dispatch::Queue> callbackQueue,
                                                 std::shared_ptr<dispatch::Clock> clock);

  const std::string& appName() const { return appName_; }

  DEVRemoteConfigSettings configSettings() const;
  void setConfigSettings(const DEVRemoteConfigSettings& settings);

  // Replaces the defaults; values are kept as DEVRemoteConfigDataFromValue makes them. Keys that
  // are not text are skipped.
  void setDefaults(const fnd::Dictionary& defaults);

  // The active value, else the default, else the empty static value.
  DEVRemoteConfigValue configValueForKey(const std::string& key) const;
  // The keys that have a value from the source (none for the static source), sorted.
  std::vector<std::string> allKeysFromSource(DEVRemoteConfigSource source) const;

  // The time of the last successful fetch, nullopt before one.
  std::optional<double> lastFetchTime() const;
  DEVRemoteConfigFetchStatus lastFetchStatus() const;

  void fetchWithCompletionHandler(FetchCompletion completion);
  void fetchAndActivateWithCompletionHandler(FetchAndActivateCompletion completion);
  // Makes the fetched set active; `changed` tells whether the active set changed.
  void activateWithCompletion(ActivateCompletion completion);
  void ensureInitializedWithCompletionHandler(ErrorCompletion completion);

  // Merges signals into the stored ones (an absent value removes its key). Refused as a whole
  // (kDEVRemoteConfigErrorInvalidCustomSignals) when a key is empty or too long, a text value is
  // too long, or the merged set would be too large.
  void setCustomSignals(CustomSignals signals, ErrorCompletion completion);
  std::map<std::string, CustomSignalValue> customSignals() const;

  // Listens for real-time updates; nullptr when the SDK refuses (see refuseListeners).
  std::shared_ptr<DEVConfigUpdateListenerRegistration> addOnConfigUpdateListener(
      UpdateListener listener);
  size_t listenerCount() const;

  // Test hooks: the server's side and injected faults. Each "next" fault is used once.
  void setServerTemplate(fnd::Dictionary parameters);
  void setServerLatency(double seconds);
  void failNextFetch(fnd::Error error);
  void throttleNextFetch();
  void failNextActivate(fnd::Error error);
  void failNextEnsureInitialized(fnd::Error error);
  void failNextSetCustomSignals(fnd::Error error);
  void refuseListeners(bool refuse);
  // The server pushes its template: it is fetched (not activated) and every listener hears the
  // keys whose value differs from the active set.
  void publishRealtimeUpdate();
  // The real-time connection fails: every listener hears the error.
  void publishRealtimeError(fnd::Error error);

  DEVRemoteConfig(std::string appName, std::shared_ptr<dispatch::Queue> callbackQueue,
                  std::shared_ptr<dispatch::Clock> clock);

 private:
  enum class FetchOutcome { kFetched, kCached, kFailed };
  // Runs one fetch against the simulated server. REQUIRES: mu_ held.
  FetchOutcome fetchLocked(std::optional<fnd::Error>* error);
  double now() const;

  // Constant after construction.
  const std::string appName_;
  const std::shared_ptr<dispatch::Queue> callbackQueue_;
  const std::shared_ptr<dispatch::Clock> clock_;  // May be null.

  mutable std::mutex mu_;
  // Guarded by mu_.
  DEVRemoteConfigSettings settings_;
  std::map<std::string, fnd::Data> defaults_;
  std::map<std::string, fnd::Data> active_;
  std::optional<std::map<std::string, fnd::Data>> fetched_;  // Not yet activated.
  std::optional<double> lastFetchTime_;
  DEVRemoteConfigFetchStatus lastFetchStatus_ = DEVRemoteConfigFetchStatusNoFetchYet;
  std::map<std::string, CustomSignalValue> customSignals_;
  std::map<uint64_t, UpdateListener> listeners_;
  uint64_t nextListenerId_ = 1;
  std::map<std::string, fnd::Data> serverTemplate_;
  double serverLatency_ = 0;
  std::optional<fnd::Error> nextFetchError_;
  bool throttleNextFetch_ = false;
  std::optional<fnd::Error> nextActivateError_;
  std::optional<fnd::Error> nextEnsureInitializedError_;
  std::optional<fnd::Error> nextCustomSignalsError_;
  bool refuseListeners_ = false;
};

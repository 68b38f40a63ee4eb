// ZIVSearchAdReporter: finds out once per installation whether the install came from a search ad
// in the platform's app store and, if so, logs the campaign event "_cmp" with source "Apple" and
// medium "search". The attribution token comes from the platform's ad-services class
// ("AAAttribution", found by name); the reporter POSTs it to the platform's attribution API and
// reads the JSON answer. Attempts are a day apart and at most ten per installation.
//
// An answer that is not a success status is a failed attempt, tried again a day later like a
// transport error: it is never taken as "no attribution" for good.
//
// Log codes 32000 to 32019 through the monitor.
//
// Thread safety: create, start, enable and schedule on the engine's worker queue; the network
// completion arrives on the transport's thread and moves to the worker queue before it touches
// anything. The stored flag is read and written under the reporter's lock, so two completions
// cannot both log the event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/engine/runtime_class_registry.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class ZIVAlarm;
class ZIVMonitor;
class ZIVPersistedConfig;
class ZUZOzuriviTransport;

inline constexpr const char* kAAAttributionClassName = "AAAttribution";
inline constexpr const char* kZIVSearchAdAttributionURL =
    "https://adservices.platform.example/api/v1/";
inline constexpr const char* kZIVSearchAdReportAlarmName = "Search Ad campaign report alarm";
// The platform's test answer.
inline constexpr const char* kZIVSearchAdTestIdentifier = "1234567890";

// The platform's ad-services attribution class.
class AAAttribution : public ZIVRuntimeClass {
 public:
  std::string className() const override { return kAAAttributionClassName; }
  // REQUIRES: respondsToSelector("attributionTokenWithError:").
  virtual std::optional<std::string> attributionTokenWithError(fnd::Error* error) = 0;
};

// What the reporter reads from its surroundings; empty members take the process's own.
struct ZIVSearchAdReporterEnvironment {
  std::shared_ptr<ZIVMonitor> monitor;               // [ZIVMeasurement::monitor()]
  std::shared_ptr<dispatch::Clock> clock;            // [dispatch::Clock::current()]
  ZIVRuntimeClassRegistry* classRegistry = nullptr;  // [the shared registry]
  // How the request reaches the network [a libcurl transport].
  std::shared_ptr<ZUZOzuriviTransport> transport;
  std::string attributionURL = kZIVSearchAdAttributionURL;
  // The facade's internal-event entry (origin, name, parameters). Required to log the event.
  std::function<void(const std::string&, const std::string&, const fnd::Dictionary&)>
      logInternalEvent;
};

class ZIVSearchAdReporter : public std::enable_shared_from_this<ZIVSearchAdReporter> {
 public:
  using Environment = ZIVSearchAdReporterEnvironment;

  // Null for no queue (32000), no persisted settings (32001), more than 9 attempts made already,
  // or a campaign already reported (32002).
  static std::shared_ptr<ZIVSearchAdReporter> initWithWorkerQueue(
      std::shared_ptr<dispatch::Queue> workerQueue,
      std::shared_ptr<ZIVPersistedConfig> persistedConfig, Environment environment = {});
  ~ZIVSearchAdReporter();
  ZIVSearchAdReporter(const ZIVSearchAdReporter&) = delete;
  ZIVSearchAdReporter& operator=(const ZIVSearchAdReporter&) = delete;

  void start();
  void setSearchAdReporterEnabled(bool enabled);
  bool isSearchAdReporterEnabled() const;

  void scheduleSearchAdReport();
  void cancelScheduling();
  void maybeLogIAdCampaignEvent();
  void fetchAttributionDetails();
  void requestAttributionPayloadWithToken(const std::string& token);
  void logCampaignEventWithSearchAdCampaign(bool isSearchAdCampaign, const std::string& campaign,
                                            const std::string& term);
  std::shared_ptr<AAAttribution> adClientInstance() const;

  // The alarm, or null once scheduling has been cancelled (for tests).
  std::shared_ptr<ZIVAlarm> alarm() const;

 private:
  ZIVSearchAdReporter(std::shared_ptr<dispatch::Queue> workerQueue,
                      std::shared_ptr<ZIVPersistedConfig> persistedConfig, Environment environment);
  void handleResponse(int64_t status, const fnd::Data& body,
                      const std::optional<fnd::Error>& error);

  // Constant after construction.
  const std::shared_ptr<dispatch::Queue> workerQueue_;
  const std::shared_ptr<ZIVPersistedConfig> persistedConfig_;
  const Environment environment_;

  mutable std::mutex mu_;
  std::shared_ptr<ZIVAlarm> alarm_;  // Guarded by mu_; used on the worker queue.
  bool enabled_ = false;             // Guarded by mu_.
  std::mutex campaignMutex_;         // Serialises the stored flag's read-and-write.
};

// ZIVEnvironmentInfo: the device facts the engine writes into raw event metadata and compares for
// the automatic OS-update event: device model, OS version, the user's preferred language and the
// local time zone's offset.
//
// Thread safety: every method may be called from any thread. The device model is read once, under
// once-only initialisation, and cached for the object's life; the other readers keep no state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/clock.h"
#include "platform/foundation/date.h"

class ZIVMonitor;

// Where the facts come from; each member left empty takes the process's own (in brackets).
struct ZIVEnvironmentInfoSources {
  std::function<std::string()> deviceModel;                      // [APMAEU::deviceModel()]
  std::function<std::string()> systemVersion;                    // [APMAEU::systemVersion()]
  std::function<std::vector<std::string>()> preferredLanguages;  // [fnd::PreferredLanguages()]
  std::function<fnd::TimeZone()> timeZone;                       // [fnd::TimeZone::Local()]
  // The instant whose offset is answered [dispatch::Clock::current() at creation].
  std::shared_ptr<dispatch::Clock> clock;
  // Log lines [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
};

class ZIVEnvironmentInfo {
 public:
  using Sources = ZIVEnvironmentInfoSources;

  // The process's instance, made once on first use.
  static ZIVEnvironmentInfo& sharedInstance();

  explicit ZIVEnvironmentInfo(Sources sources = {});
  ZIVEnvironmentInfo(const ZIVEnvironmentInfo&) = delete;
  ZIVEnvironmentInfo& operator=(const ZIVEnvironmentInfo&) = delete;

  // Read at the first call and cached. An empty model logs 14000 with the system error text and
  // stays cached as it is.
  std::string deviceModel();
  // Read at every call.
  std::string deviceOSVersion();
  // The first preferred language, lower-cased ("en-gb"); nullopt (logging 14001) when the list is
  // empty.
  std::optional<std::string> userDefaultLanguage();
  // The local time zone's offset from GMT now, in minutes, truncated towards zero.
  int32_t timeZoneOffsetMinutes();

 private:
  // Constant after construction.
  const Sources sources_;  // Every member filled.

  std::once_flag deviceModelOnce_;
  std::string deviceModel_;  // Written once under deviceModelOnce_.
};

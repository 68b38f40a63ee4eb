#include "analytics/engine/environment_info.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/aeu.h"
#include "analytics/foundation/monitor.h"
#include "platform/foundation/locale.h"
#include "platform/foundation/text.h"

namespace {

ZIVEnvironmentInfoSources WithDefaults(ZIVEnvironmentInfoSources sources) {
  if (!sources.deviceModel) sources.deviceModel = &APMAEU::deviceModel;
  if (!sources.systemVersion) sources.systemVersion = &APMAEU::systemVersion;
  if (!sources.preferredLanguages)
    sources.preferredLanguages = [] { return fnd::PreferredLanguages(); };
  if (!sources.timeZone) sources.timeZone = [] { return fnd::TimeZone::Local(); };
  if (!sources.clock) sources.clock = dispatch::Clock::current();
  if (!sources.monitor) sources.monitor = ZIVMeasurement::monitor();
  return sources;
}

}  // namespace

ZIVEnvironmentInfo& ZIVEnvironmentInfo::sharedInstance() {
  static ZIVEnvironmentInfo* instance = new ZIVEnvironmentInfo();
  return *instance;
}

ZIVEnvironmentInfo::ZIVEnvironmentInfo(Sources sources)
    : sources_(WithDefaults(std::move(sources))) {}

std::string ZIVEnvironmentInfo::deviceModel() {
  std::call_once(deviceModelOnce_, [this] {
    errno = 0;
    deviceModel_ = sources_.deviceModel();
    if (deviceModel_.empty()) {
      const int err = errno;
      sources_.monitor->logWithLevel(2, 14000, "Failed to get device model",
                                     fnd::Value(std::string(std::strerror(err))));
    }
  });
  return deviceModel_;
}

std::string ZIVEnvironmentInfo::deviceOSVersion() { return sources_.systemVersion(); }

std::optional<std::string> ZIVEnvironmentInfo::userDefaultLanguage() {
  std::vector<std::string> languages = sources_.preferredLanguages();
  if (languages.empty()) {
    sources_.monitor->logWithLevel(2, 14001, "Failed to get preferred language");
    return std::nullopt;
  }
  return fnd::ToLower(languages.front());
}

int32_t ZIVEnvironmentInfo::timeZoneOffsetMinutes() {
  const int32_t seconds = sources_.timeZone().secondsFromGMT(sources_.clock->wallTime());
  return seconds / 60;  // Integer division truncates towards zero.
}

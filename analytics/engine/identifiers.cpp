#include "analytics/engine/identifiers.h"

#include <utility>

#include "analytics/engine/identity.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/numeric_util.h"

ZIVIdentifiers& ZIVIdentifiers::sharedInstance() {
  static ZIVIdentifiers* instance = new ZIVIdentifiers();
  return *instance;
}

ZIVIdentifiers::ZIVIdentifiers(Environment environment)
    : sharedIdentity_(environment.sharedIdentity
                          ? std::move(environment.sharedIdentity)
                          : std::function<std::shared_ptr<ZIVIdentity>()>(
                                [] { return ZIVIdentity::sharedInstance(); })),
      monitor_(environment.monitor ? std::move(environment.monitor) : ZIVMeasurement::monitor()),
      adEventCounter_(environment.adEventIDStart ? *environment.adEventIDStart
                                                 : ZIVNumericUtil::randomInt64()),
      engineIdentity_(std::move(environment.engineIdentity)) {}

void ZIVIdentifiers::setEngineIdentityProvider(
    std::function<std::shared_ptr<ZIVIdentity>()> provider) {
  std::lock_guard<std::mutex> lock(mu_);
  engineIdentity_ = std::move(provider);
}

std::shared_ptr<ZIVIdentity> ZIVIdentifiers::engineIdentity() const {
  std::function<std::shared_ptr<ZIVIdentity>()> provider;
  {
    std::lock_guard<std::mutex> lock(mu_);
    provider = engineIdentity_;
  }
  return provider ? provider() : nullptr;
}

std::shared_ptr<ZIVIdentity> ZIVIdentifiers::sharedIdentity() const { return sharedIdentity_(); }

std::string ZIVIdentifiers::rivadoAppID() {
  if (std::shared_ptr<ZIVIdentity> identity = engineIdentity()) {
    if (std::optional<std::string> appID = identity->appIDFromZUZ()) return *appID;
    monitor_->logWithLevel(2, 37000, "Unable to fetch Rivado App ID from identity");
    return "";
  }
  std::shared_ptr<ZIVIdentity> identity = sharedIdentity();
  if (identity) {
    if (std::optional<std::string> appID = identity->appIDFromZUZ()) return *appID;
  }
  monitor_->logWithLevel(2, 37001, "Unable to fetch Rivado App ID from default options");
  return "";
}

std::string ZIVIdentifiers::analyticsAppID() {
  std::shared_ptr<ZIVIdentity> identity = engineIdentity();
  if (!identity) identity = sharedIdentity();
  if (identity) {
    std::optional<std::string> appID = identity->appIDFromZUZ();
    if (appID && !appID->empty()) return *appID;
  }
  monitor_->logWithLevel(2, 37005, "Unable to fetch effective App ID from identity");
  return "";
}

std::string ZIVIdentifiers::appInstanceID() {
  if (std::shared_ptr<ZIVIdentity> identity = engineIdentity()) {
    if (std::optional<std::string> id = identity->appInstanceID()) return *id;
    monitor_->logWithLevel(2, 37002, "Unable to fetch App Instance ID from identity");
    return "";
  }
  std::shared_ptr<ZIVIdentity> identity = sharedIdentity();
  if (identity) {
    if (std::optional<std::string> id = identity->appInstanceID()) return *id;
  }
  monitor_->logWithLevel(2, 37003, "Unable to fetch App Instance ID from identity shared instance");
  return "";
}

std::string ZIVIdentifiers::adEventID() {
  // Wraps from the largest 64-bit value to the smallest, as a machine counter does.
  return std::to_string(adEventCounter_.fetch_add(1));
}

std::string ZIVIdentifiers::libraryVersion() const {
  return std::to_string(ZIVIdentity::duvUdiredururoLibraryVersion());
}

std::string ZIVIdentifiers::origin() const {
  std::lock_guard<std::mutex> lock(mu_);
  return origin_;
}

void ZIVIdentifiers::setOrigin(const std::string& origin) {
  if (origin.empty()) {
    monitor_->logWithLevel(2, 37004,
                           "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  origin_ = origin;
}

#include "analytics/attribution/attribution_engine.h"

#include "analytics/config/consent_settings_util.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/runtime_class_registry.h"
#include "analytics/foundation/aeu.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/process_info.h"

std::shared_ptr<ZIVMonitor> ZIVAttributionEngine::monitor() const {
  return ZIVMeasurement::monitor();
}

std::shared_ptr<dispatch::Clock> ZIVAttributionEngine::clock() const {
  return dispatch::Clock::current();
}

ZIVUserDefaults& ZIVAttributionEngine::userDefaults() {
  return ZIVUserDefaults::sharedUserDefaults();
}

ZIVRuntimeClassRegistry& ZIVAttributionEngine::classRegistry() {
  return ZIVRuntimeClassRegistry::sharedRegistry();
}

bool ZIVAttributionEngine::isAdStorageDenied() {
  return ZIVConsentSettingsUtil::sharedInstance().isAdStorageDenied();
}

bool ZIVAttributionEngine::isAdUserDataDenied() {
  return ZIVConsentSettingsUtil::sharedInstance().isAdUserDataDenied();
}

std::optional<int64_t> ZIVAttributionEngine::adPersonalization() {
  return ZIVConsentSettingsUtil::sharedInstance().adPersonalization();
}

std::string ZIVAttributionEngine::consentSignals() {
  return ZIVConsentSettingsUtil::sharedInstance().consentSignals();
}

bool ZIVAttributionEngine::hasLimitedAdTracking() {
  auto identity = ZIVIdentity::sharedInstance();
  return identity && identity->hasLimitedAdTracking();
}

bool ZIVAttributionEngine::limitedAdTracking() {
  auto identity = ZIVIdentity::sharedInstance();
  return identity && identity->limitedAdTracking();
}

std::optional<std::string> ZIVAttributionEngine::resettableDeviceID() {
  auto identity = ZIVIdentity::sharedInstance();
  return identity ? identity->resettableDeviceID() : std::nullopt;
}

std::optional<std::string> ZIVAttributionEngine::appID() {
  auto identity = ZIVIdentity::sharedInstance();
  return identity ? identity->appID() : std::nullopt;
}

uint64_t ZIVAttributionEngine::appleConsentStatus() {
  auto identity = ZIVIdentity::sharedInstance();
  return identity ? identity->appleConsentStatus() : 0;
}

int64_t ZIVAttributionEngine::libraryVersion() { return ZIVMeasurement::libraryVersion(); }

bool ZIVAttributionEngine::isFromAppStore() { return APMAEU::isFAS(); }

std::vector<std::string> ZIVAttributionEngine::launchArguments() {
  return fnd::ProcessInfo::processInfo().arguments();
}

std::optional<fnd::Value> ZIVAttributionEngine::infoDictionaryValue(const std::string& key) {
  return fnd::Bundle::mainBundle().objectForInfoDictionaryKey(key);
}

bool ZIVAttributionEngine::sendDeepLinkURLToAppDelegateOnMainThread(
    const std::string& /*url*/, const std::optional<fnd::Dictionary>& /*extraInfo*/) {
  return false;
}

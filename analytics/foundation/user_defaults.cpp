#include "analytics/foundation/user_defaults.h"

#include <utility>
#include <vector>

#include "analytics/foundation/console_log.h"
#include "analytics/foundation/file_locations.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/preferences.h"

namespace {

bool IsNumber(const fnd::Value& value) { return value.isNumber() || value.isBool(); }

}  // namespace

ZIVUserDefaults& ZIVUserDefaults::sharedUserDefaults() {
  static ZIVUserDefaults* shared = [] {
    auto* defaults = new ZIVUserDefaults();
    defaults->setIsPreferenceFileExcluded(true);
    return defaults;
  }();
  return *shared;
}

ZIVUserDefaults::ZIVUserDefaults() : ZIVUserDefaults(std::string()) {}

ZIVUserDefaults::ZIVUserDefaults(std::string suiteName)
    : suiteName_(std::move(suiteName)),
      applicationID_(suiteName_.empty() ? std::string(fnd::kPreferencesCurrentApplication)
                                        : suiteName_) {}

bool ZIVUserDefaults::isAcceptedValue(const fnd::Value& value) {
  return value.isString() || IsNumber(value) || value.isArray() || value.isDictionary() ||
         value.isDate() || value.isData();
}

std::optional<fnd::Value> ZIVUserDefaults::objectForKey(const std::string& key) const {
  if (key.empty()) {
    ZIVStoreLogWarning(41001, "Cannot get object for invalid user default key.");
    return std::nullopt;
  }
  return fnd::PreferencesCopyAppValue(key, applicationID_);
}

void ZIVUserDefaults::setObject(const fnd::Value& value, const std::string& key) {
  if (key.empty()) {
    ZIVStoreLogWarning(41002, "Cannot set object for invalid user default key.");
    return;
  }
  auto logInvalidValue = [&value] {
    ZIVStoreLogWarning(
        41003,
        "Cannot set invalid object to user defaults. Must be a string or number or an "
        "array. Value " +
            value.description());
  };
  if (value.isNull()) {
    fnd::PreferencesSetAppValue(key, std::nullopt, applicationID_);
    return;
  }
  // A nested value that a property list cannot hold is refused by the store as a whole.
  if (!isAcceptedValue(value) || !fnd::PreferencesSetAppValue(key, value, applicationID_)) {
    logInvalidValue();
  }
}

void ZIVUserDefaults::clearAllData() {
  std::vector<std::string> keys = fnd::PreferencesCopyKeyList(applicationID_);
  if (keys.empty()) return;
  fnd::PreferencesSetMultiple(fnd::Dictionary(), keys, applicationID_);
}

void ZIVUserDefaults::synchronize() {
  if (!fnd::PreferencesAppSynchronize(applicationID_)) {
    ZIVStoreLogError(41004, "Cannot synchronize user defaults to disk");
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (isPreferenceFileExcluded_) return;
  const std::string path = ZIVFilePathForPreferencesName(suiteName_);
  if (path.empty() || !fnd::FileExists(path)) return;
  fnd::Error error;
  if (ZIVExcludeFilePathFromBackup(path, &error)) {
    isPreferenceFileExcluded_ = true;
  } else {
    ZIVStoreLogWarning(
        41000, "Failed to exclude preferences file from backup. Error code " + error.description());
  }
}

bool ZIVUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard<std::mutex> lock(mu_);
  return isPreferenceFileExcluded_;
}

void ZIVUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
  std::lock_guard<std::mutex> lock(mu_);
  isPreferenceFileExcluded_ = excluded;
}

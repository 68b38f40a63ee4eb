// The getters of the settings table that do more than read their row (remote_config_table.h).
#include <cmath>
#include <cstdint>

#include "analytics/config/remote_config.h"
#include "analytics/foundation/monitor.h"

namespace {

// A double as a 32-bit integer, truncated; NaN reads as 0 and values beyond the range saturate.
int32_t TruncatedInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

// A count sent through the interval lookup: the server value divided by 1000, truncated.
int32_t ZIVRemoteConfig::maxBundlesCreatedPerIteration() const {
  return TruncatedInt32(settingValue(kZIVSettingMaxBundlesCreatedPerIteration));
}

// Debug mode lifts the limit so that a developer can try matching repeatedly.
int32_t ZIVRemoteConfig::maxPSMStartCount() const {
  if (monitor().isDebugModeEnabled()) return kZIVConfigMaxPSMStartCountDebugMode;
  return settingValue(kZIVSettingMaxPSMStartCount);
}

bool ZIVRemoteConfig::PSMSessionStartEnabled() const {
  if (auto flag = experimentFlag(ZIVExperimentFlagPSMSessionStartEnabled)) return *flag;
  return settingValue(kZIVSettingPSMSessionStartEnabled);
}

bool ZIVRemoteConfig::PSMGroupIDEnabled() const {
  if (auto flag = experimentFlag(ZIVExperimentFlagPSMGroupIDEnabled)) return *flag;
  return settingValue(kZIVSettingPSMGroupIDEnabled);
}

bool ZIVRemoteConfig::sessionStitchingTokenFeatureEnabled() const {
  if (experimentClient_) {
    fnd::Value flag =
        experimentClient_->valueForFlag(ZIVExperimentFlagSessionStitchingTokenFeature);
    if (auto value = boolFromFlagValue(flag)) return *value;
  }
  return settingValue(kZIVSettingSessionStitchingTokenFeatureEnabled);
}

bool ZIVRemoteConfig::customerTypeEnabled() const {
  if (auto flag = experimentFlag(ZIVExperimentFlagCustomerTypeEnabled)) return *flag;
  return settingValue(kZIVSettingCustomerTypeEnabled);
}

int32_t ZIVRemoteConfig::maxInternalEventParameterValueLength() const {
  int32_t length = maxPublicEventParameterValueLength();
  return length <= kZIVConfigMaxInternalEventParameterValueLength
             ? kZIVConfigMaxInternalEventParameterValueLength
             : length;
}

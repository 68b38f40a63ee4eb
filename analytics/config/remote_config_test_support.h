// Test support for the server-settings tests: builders for configuration messages and a
// replaceable set of engine services. Not for production code.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/config/remote_config.h"
#include "analytics/proto/messages.h"

namespace rc_test {

inline fnd::Value Record(const std::shared_ptr<fnd::Record>& record) { return fnd::Value(record); }

// A configuration for `appID` (none when nullopt) with the given settings, in order.
inline std::shared_ptr<APMPBMeasurementConfig> Config(
    const std::optional<std::string>& appID,
    const std::vector<std::pair<std::string, std::string>>& settings = {}) {
  auto config = APMPBMeasurementConfig::initWithBuffer(nullptr);
  if (appID) NANOSetString(config.get(), APMPBMeasurementConfig::kAppId, fnd::Value(*appID));
  fnd::Array items;
  for (const auto& [name, value] : settings) {
    auto setting = APMPBSetting::initWithBuffer(nullptr);
    if (!name.empty()) NANOSetString(setting.get(), APMPBSetting::kName, fnd::Value(name));
    if (!value.empty()) NANOSetString(setting.get(), APMPBSetting::kValue, fnd::Value(value));
    items.push_back(Record(setting));
  }
  NANOSetArray(config.get(), APMPBMeasurementConfig::kSettings, &items);
  return config;
}

// One event rule; fields left nullopt are absent.
struct EventRule {
  std::string name;
  std::optional<bool> blocklisted;
  std::optional<bool> customConversion;
  std::optional<int32_t> samplingRate;
};

inline void SetEventRules(APMPBMeasurementConfig* config, const std::vector<EventRule>& rules) {
  fnd::Array items;
  for (const auto& rule : rules) {
    auto message = APMPBEventConfig::initWithBuffer(nullptr);
    if (!rule.name.empty()) {
      NANOSetString(message.get(), APMPBEventConfig::kName, fnd::Value(rule.name));
    }
    if (rule.blocklisted)
      NANOSetBool(message.get(), APMPBEventConfig::kBlocklisted, *rule.blocklisted);
    if (rule.customConversion) {
      NANOSetBool(message.get(), APMPBEventConfig::kCustomConversion, *rule.customConversion);
    }
    if (rule.samplingRate) {
      NANOSetInt32(message.get(), APMPBEventConfig::kSamplingRate, *rule.samplingRate);
    }
    items.push_back(Record(message));
  }
  NANOSetArray(config, APMPBMeasurementConfig::kEventConfigs, &items);
}

inline void SetDataControls(APMPBMeasurementConfig* config, const std::vector<std::string>& names) {
  fnd::Array items;
  for (const auto& name : names) {
    auto control = APMPBDataControl::initWithBuffer(nullptr);
    NANOSetString(control.get(), APMPBDataControl::kName, fnd::Value(name));
    items.push_back(Record(control));
  }
  NANOSetArray(config, APMPBMeasurementConfig::kDataControls, &items);
}

// The server-side tagging setting; empty texts and a nullopt percentage stay absent.
inline void SetSGTM(APMPBMeasurementConfig* config, const std::string& url,
                    const std::string& serverInfo = "", const std::string& urlPart = "",
                    std::optional<int32_t> rolloutPercentage = std::nullopt) {
  auto sgtm = APMPBSgtmSetting::initWithBuffer(nullptr);
  if (!url.empty()) NANOSetString(sgtm.get(), APMPBSgtmSetting::kSgtmUrl, fnd::Value(url));
  if (!serverInfo.empty()) {
    NANOSetString(sgtm.get(), APMPBSgtmSetting::kSgtmServerInfo, fnd::Value(serverInfo));
  }
  if (!urlPart.empty()) {
    NANOSetString(sgtm.get(), APMPBSgtmSetting::kSgtmUrlPart, fnd::Value(urlPart));
  }
  if (rolloutPercentage) NANOSetInt32(sgtm.get(), APMPBSgtmSetting::kTag4Value, *rolloutPercentage);
  NANOSetMessage(config, APMPBMeasurementConfig::kSgtmSetting, sgtm.get());
}

// Engine services whose answers a test sets. Without a factory, event editing is the real
// scripting runtime.
class TestServices : public ZIVRemoteConfigServices {
 public:
  bool hasSharedInstance() const override { return hasShared; }
  bool isEnabled() const override { return enabled; }
  std::optional<fnd::Dictionary> SGTMPreviewHeaders() const override { return previewHeaders; }
  std::optional<std::string> identityAppVersion() const override { return appVersion; }
  int64_t appDataConsentStatus() const override { return consentStatus; }
  int64_t libraryVersion() const override { return 120500; }
  std::optional<std::string> internalEventNameForPublicName(
      const std::string& name) const override {
    auto it = internalNames.find(name);
    if (it == internalNames.end()) return std::nullopt;
    return it->second;
  }
  std::shared_ptr<ZIVRemoteConfigEventEditing> makeEventEditing() const override {
    return editingFactory ? editingFactory() : ZIVRemoteConfigServices::makeEventEditing();
  }

  bool hasShared = false;
  bool enabled = false;
  std::optional<fnd::Dictionary> previewHeaders;
  std::optional<std::string> appVersion;
  int64_t consentStatus = 0;
  std::map<std::string, std::string> internalNames;
  std::function<std::shared_ptr<ZIVRemoteConfigEventEditing>()> editingFactory;
};

}  // namespace rc_test

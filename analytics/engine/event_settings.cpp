#include "analytics/engine/event_settings.h"

#include <mutex>

#include "analytics/config/remote_config.h"

namespace {

class RemoteConfigEventSettings final : public ZIVEventSettings {
 public:
  explicit RemoteConfigEventSettings(std::shared_ptr<ZIVRemoteConfig> config)
      : config_(std::move(config)) {}

  int32_t maxPublicEventParams() const override { return config().maxPublicEventParams(); }
  int32_t maxItemScopedCustomParameters() const override {
    return config().maxItemScopedCustomParameters();
  }
  int32_t maxPublicEventParameterValueLength() const override {
    return config().maxPublicEventParameterValueLength();
  }
  int32_t maxInternalEventParameterValueLength() const override {
    return config().maxInternalEventParameterValueLength();
  }

 private:
  const ZIVRemoteConfig& config() const {
    return config_ ? *config_ : *ZIVRemoteConfig::defaultInstance();
  }

  // Constant after construction; null stands for the default instance.
  const std::shared_ptr<ZIVRemoteConfig> config_;
};

// Both never destroyed: worker threads may still read the settings while the process exits.
std::mutex& SettingsMutex() {
  static std::mutex* mu = new std::mutex;
  return *mu;
}

// Guarded by SettingsMutex().
std::shared_ptr<const ZIVEventSettings>& InstalledSettings() {
  static auto* settings = new std::shared_ptr<const ZIVEventSettings>;
  return *settings;
}

}  // namespace

std::shared_ptr<const ZIVEventSettings> ZIVEventSettingsFromRemoteConfig(
    std::shared_ptr<ZIVRemoteConfig> config) {
  return std::make_shared<RemoteConfigEventSettings>(std::move(config));
}

void ZIVSetCurrentEventSettings(std::shared_ptr<const ZIVEventSettings> settings) {
  std::lock_guard<std::mutex> lock(SettingsMutex());
  InstalledSettings() = std::move(settings);
}

std::shared_ptr<const ZIVEventSettings> ZIVCurrentEventSettings() {
  {
    std::lock_guard<std::mutex> lock(SettingsMutex());
    if (InstalledSettings()) return InstalledSettings();
  }
  static const std::shared_ptr<const ZIVEventSettings>& defaults =
      *new std::shared_ptr<const ZIVEventSettings>(ZIVEventSettingsFromRemoteConfig(nullptr));
  return defaults;
}

// ZIVEventSettings: the server settings that the name, value and parameter rules read (the data
// type validator, parameter normalisation and trimming). The rules ask for the current settings
// at every use; the engine installs a view of its own server settings once it has them, and until
// then the built-in defaults of the server settings answer.
//
// Thread safety: the current settings may be installed and read from any thread; an installed
// object must answer from any thread.
#pragma once

#include <cstdint>
#include <memory>

class ZIVRemoteConfig;

class ZIVEventSettings {
 public:
  virtual ~ZIVEventSettings() = default;
  // "measurement.upload.max_public_event_params": default 100, 25 to 100.
  virtual int32_t maxPublicEventParams() const = 0;
  // "measurement.upload.max_item_scoped_custom_parameters": default 27, 10 to 35.
  virtual int32_t maxItemScopedCustomParameters() const = 0;
  // "measurement.upload.max_event_parameter_value_length": default 500, 100 to 500.
  virtual int32_t maxPublicEventParameterValueLength() const = 0;
  // The larger of maxPublicEventParameterValueLength() and 256.
  virtual int32_t maxInternalEventParameterValueLength() const = 0;
};

// A view of `config`'s getters; a null config stands for ZIVRemoteConfig::defaultInstance().
std::shared_ptr<const ZIVEventSettings> ZIVEventSettingsFromRemoteConfig(
    std::shared_ptr<ZIVRemoteConfig> config);

// Installs the settings the rules read from now on; null goes back to the built-in defaults.
void ZIVSetCurrentEventSettings(std::shared_ptr<const ZIVEventSettings> settings);
// The installed settings, or the built-in defaults. Never null.
std::shared_ptr<const ZIVEventSettings> ZIVCurrentEventSettings();

// The server settings that audience definitions are checked against. The engine hands in its
// server settings through ZIVRemoteConfigAudienceSettings; this base answers their defaults.
//
// Thread safety: the getters may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class ZIVRemoteConfig;

class ZIVAudienceSettings {
 public:
  virtual ~ZIVAudienceSettings() = default;
  // Audiences a configuration may define ("measurement.audience.max_count").
  virtual int32_t maxAudienceCount() const { return 100; }
  // Filters per audience, and the bound of filter IDs
  // ("measurement.audience.filter_max_count_per_audience").
  virtual int32_t maxFiltersPerAudience() const { return 10; }
  // Parameter filters per event filter ("measurement.audience.parameter_max_count_filter").
  virtual int32_t maxParametersPerFilter() const { return 25; }
  // Stored results above which those of removed audiences are deleted
  // ("measurement.audience.filter_result_max_count").
  virtual int32_t maxFilterResultCount() const { return 200; }
};

// The settings of the server settings object that `remoteConfig` answers at each call (the
// defaults while it answers null).
class ZIVRemoteConfigAudienceSettings : public ZIVAudienceSettings {
 public:
  using Provider = std::function<std::shared_ptr<ZIVRemoteConfig>()>;
  explicit ZIVRemoteConfigAudienceSettings(Provider remoteConfig)
      : remoteConfig_(std::move(remoteConfig)) {}

  int32_t maxAudienceCount() const override;
  int32_t maxFiltersPerAudience() const override;
  int32_t maxParametersPerFilter() const override;
  int32_t maxFilterResultCount() const override;

 private:
  const Provider remoteConfig_;
};

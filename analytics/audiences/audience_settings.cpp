#include "analytics/audiences/audience_settings.h"

#include "analytics/config/remote_config.h"

namespace {

template <typename Getter>
int32_t Read(const ZIVRemoteConfigAudienceSettings::Provider& provider, Getter getter,
             int32_t fallback) {
  std::shared_ptr<ZIVRemoteConfig> config = provider ? provider() : nullptr;
  return config ? ((*config).*getter)() : fallback;
}

}  // namespace

int32_t ZIVRemoteConfigAudienceSettings::maxAudienceCount() const {
  return Read(remoteConfig_, &ZIVRemoteConfig::maxAudienceCount,
              ZIVAudienceSettings::maxAudienceCount());
}

int32_t ZIVRemoteConfigAudienceSettings::maxFiltersPerAudience() const {
  return Read(remoteConfig_, &ZIVRemoteConfig::maxFiltersPerAudience,
              ZIVAudienceSettings::maxFiltersPerAudience());
}

int32_t ZIVRemoteConfigAudienceSettings::maxParametersPerFilter() const {
  return Read(remoteConfig_, &ZIVRemoteConfig::maxParametersPerFilter,
              ZIVAudienceSettings::maxParametersPerFilter());
}

int32_t ZIVRemoteConfigAudienceSettings::maxFilterResultCount() const {
  return Read(remoteConfig_, &ZIVRemoteConfig::maxFilterResultCount,
              ZIVAudienceSettings::maxFilterResultCount());
}

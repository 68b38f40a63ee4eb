#include "platform/vendor/utilities/gzip.h"

#include "platform/security/gzip.h"

std::optional<fnd::Data> gul_dataByInflatingGzippedData(const fnd::Data& data, fnd::Error* error,
                                                        size_t maxInflatedSize) {
  if (!security::IsGzipped(data)) return data;
  fnd::Data inflated;
  if (!security::Gunzip(data, maxInflatedSize, &inflated, error)) return std::nullopt;
  return inflated;
}

std::optional<fnd::Data> gul_dataByGzippingData(const fnd::Data& data, fnd::Error* error) {
  fnd::Data compressed;
  if (!security::Gzip(data, security::kDefaultCompressionLevel, &compressed, error)) {
    return std::nullopt;
  }
  return compressed;
}

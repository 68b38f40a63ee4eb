// gzip helpers of the vendor utilities: compression of request bodies and bounded inflation of
// fetched data, over platform/security's gzip routines.
//
// Thread safety: pure functions; call from any thread.
#pragma once

#include <cstddef>
#include <optional>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// The most bytes that inflation will produce. Fetched data that would inflate past it is refused
// instead of filling memory.
inline constexpr size_t kRVLMaxInflatedDataSize = 32 * 1024 * 1024;

// The data inflated. Data that does not start with the gzip magic bytes is not compressed and
// comes back unchanged (also empty data). A gzip stream that is corrupt, truncated, followed by
// other bytes or larger than `maxInflatedSize` once inflated gives nullopt and fills *error
// (security::kErrorDomain).
std::optional<fnd::Data> gul_dataByInflatingGzippedData(
    const fnd::Data& data, fnd::Error* error = nullptr,
    size_t maxInflatedSize = kRVLMaxInflatedDataSize);

// The data as one gzip member (default compression), or nullopt with *error filled.
std::optional<fnd::Data> gul_dataByGzippingData(const fnd::Data& data, fnd::Error* error = nullptr);

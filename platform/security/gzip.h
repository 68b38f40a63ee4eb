// gzip compression and bounded inflation over zlib: the format of the `gzip` command (RFC 1952)
// on the way out; gzip or zlib (RFC 1950) streams on the way in.
//
// Thread safety: pure functions; call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace security {

// Compression levels: 0 stores, 1 is fastest, 9 smallest; -1 is zlib's default (6).
inline constexpr int kDefaultCompressionLevel = -1;
inline constexpr int kNoCompression = 0;
inline constexpr int kBestSpeed = 1;
inline constexpr int kBestCompression = 9;

// Compresses `data` into one gzip member (10-byte header with no name and a zero time,
// deflate body, CRC-32 and length trailer) and replaces *out with it. Empty input gives a valid
// member of 20 bytes. A level outside -1..9 fails with kErrorInvalidArgument; on failure *out
// is empty.
[[nodiscard]] bool Gzip(std::span<const uint8_t> data, int level, fnd::Data* out,
                        fnd::Error* error = nullptr);

// The same, returning the compressed bytes, or empty data on failure (a valid result is never
// empty).
fnd::Data Gzip(std::span<const uint8_t> data, int level = kDefaultCompressionLevel);

// Inflates `data` and replaces *out with the result. `data` is a gzip stream (one or more
// members, as the `gzip` command concatenates them) when it starts with the gzip magic bytes,
// otherwise a zlib stream. Fails, leaving *out empty, with
//   kErrorTruncatedData  when the input is empty or ends before the stream does,
//   kErrorCorruptData    when it is not a valid stream (bad header, bad block, bad checksum
//                        or length in the trailer),
//   kErrorTrailingData   when anything but a further gzip member follows the end of the stream,
//   kErrorSizeLimit      as soon as the inflated size would pass `maxInflatedSize`.
// No more than `maxInflatedSize` bytes are ever held for the result, whatever the input claims;
// an output of exactly `maxInflatedSize` bytes is accepted.
[[nodiscard]] bool Gunzip(std::span<const uint8_t> data, size_t maxInflatedSize, fnd::Data* out,
                          fnd::Error* error = nullptr);

// True when `data` starts with the gzip magic bytes 1f 8b.
bool IsGzipped(std::span<const uint8_t> data);

}  // namespace security

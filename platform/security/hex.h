// Hexadecimal text of bytes (digests, tokens) and its parsing.
//
// Thread safety: pure functions; call from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace security {

// Two lower-case hexadecimal digits per byte, in order, nothing between them ("%02x" each).
std::string HexString(std::span<const uint8_t> bytes);

// Parses hexadecimal text (upper- or lower-case digits, two per byte, no prefix, no separators)
// into *out, replacing its content. Empty text gives empty data. Text of odd length or with any
// other character leaves *out empty and fails with kErrorInvalidHex.
[[nodiscard]] bool ParseHex(std::string_view text, fnd::Data* out, fnd::Error* error = nullptr);

}  // namespace security

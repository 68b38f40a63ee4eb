// JSON reading, as the platform's JSON serialisation class offers it: UTF-8 text to values.
// Objects become dictionaries (string keys, in text order; a repeated key keeps its last value),
// arrays arrays, strings strings, integral numbers 64-bit ints when they fit (else doubles), other
// numbers doubles, true/false bools and null a null value.
//
// Input is untrusted: nesting deeper than kJSONMaxDepth, invalid UTF-8, bad escapes, trailing
// text or numbers out of the double range are errors, never crashes.
//
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace fnd {

inline constexpr size_t kJSONMaxDepth = 64;
inline constexpr const char* kJSONErrorDomain = "NSCocoaErrorDomain";
// The code of every parse error (the platform's "property list read corrupt").
inline constexpr int64_t kJSONReadCorruptError = 3840;

// The value of a JSON text, or nullopt with *error set (description names the offset).
std::optional<Value> JSONObjectWithData(std::string_view text, Error* error = nullptr);
inline std::optional<Value> JSONObjectWithData(const Data& data, Error* error = nullptr) {
  return JSONObjectWithData(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), error);
}

}  // namespace fnd

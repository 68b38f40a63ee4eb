// The console's JSON notation for channel values.
//
// Plain JSON maps onto the standard codec's kinds: null, true/false, integers (32-bit when they
// fit, else 64-bit, as the Dart side writes them), floating-point numbers, strings, arrays and
// objects (maps with string keys). Tagged objects, with exactly the keys shown, force a kind that
// plain JSON cannot say:
//
//   {"$type": N, "$fields": VALUE}  a custom record: type byte N (128-255), then VALUE
//   {"$int64": "DIGITS"}            a 64-bit integer (a JSON integer is accepted too)
//   {"$double": X}                  a double; X is a number or "NaN", "Infinity", "-Infinity"
//   {"$bytes": "HEX"}               a uint8 typed array (bytes)
//   {"$int32s": [..]}, {"$int64s": [..]}, {"$float32s": [..]}, {"$float64s": [..]}
//                                   typed arrays
//   {"$map": [[KEY, VALUE], ...]}   a map whose keys are not all plain strings
//
// Any other object with a key beginning with "$" is an error. Printing uses the same notation, so
// that what is printed reads back to an equal value: a 64-bit integer prints as {"$int64": ...},
// a double always carries a fraction or exponent, and a map with a non-string key or a key that
// begins with "$" prints as {"$map": ...}.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace runner {

using Json = nlohmann::ordered_json;

// A custom record whose class the console does not know: its type byte and the one value written
// after it (for generated messages, the field list). Equal records have equal bytes and fields.
class TypedRecord : public fnd::Record {
 public:
  TypedRecord(uint8_t type, fnd::Value fields) : type_(type), fields_(std::move(fields)) {}

  uint8_t type() const { return type_; }
  const fnd::Value& fields() const { return fields_; }

  std::string typeName() const override;
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  const uint8_t type_;
  const fnd::Value fields_;
};

// Converts JSON in the notation above to a value. On malformed notation returns nullopt and, when
// `error` is non-null, stores a message naming what is wrong.
std::optional<fnd::Value> ValueFromJson(const Json& json, std::string* error = nullptr);

// Converts a value to JSON in the notation above. Never fails: a record that is not a
// TypedRecord prints as {"$record": "<type name>"}, a date as {"$date": seconds}.
Json JsonFromValue(const fnd::Value& value);

// Lower-case hex text of bytes, and back. HexDecode returns nullopt for odd lengths or a character
// that is not a hex digit; spaces are not allowed.
std::string HexEncode(const fnd::Data& data);
std::optional<fnd::Data> HexDecode(const std::string& text);

}  // namespace runner

// ZIVValue: the engine's one immutable typed value, used for event parameter values and user
// property values. Its kind is a double (0), a 64-bit integer (1), a string (2) or an array (3,
// whose items are parameter dictionaries). Values are shared by pointer (ZIVValuePtr) and can
// travel inside an fnd::Value as a record; two values are equal when their kinds and contents are
// equal.
//
// Thread safety: immutable after construction; may be read from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

class ZIVValue;
using ZIVValuePtr = std::shared_ptr<ZIVValue>;

class ZIVValue : public fnd::Record {
 public:
  // Kinds, as stored in valueType().
  static constexpr int64_t kDouble = 0;
  static constexpr int64_t kInt64 = 1;
  static constexpr int64_t kString = 2;
  static constexpr int64_t kArray = 3;

  // Designated constructor: stores both without checks. `value` is a double for kind 0, an int
  // for kind 1, a string for kind 2 and an array for kind 3.
  ZIVValue(int64_t valueType, fnd::Value value);

  // The same as valueFromObject(object, false).
  static ZIVValuePtr valueFromObject(const fnd::Value& object);
  // Null -> null and a log line; a ZIVValue record -> that same value; a string -> string kind;
  // a double -> double kind; an int or a bool -> int64 kind (a bool becomes 0 or 1); an array ->
  // array kind only when arrays are allowed; anything else -> null and a log line.
  static ZIVValuePtr valueFromObject(const fnd::Value& object, bool allowArray);

  static ZIVValuePtr initWithDouble(double value);
  static ZIVValuePtr initWithInt64(int64_t value);
  static ZIVValuePtr initWithString(const std::string& value);
  // Null or a non-string object -> null and a log line.
  static ZIVValuePtr initWithString(const fnd::Value& object);
  // Null or a non-array object -> null and a log line. The items are copied.
  static ZIVValuePtr initWithArray(const fnd::Value& object);

  int64_t valueType() const { return valueType_; }
  bool isDouble() const { return valueType_ == kDouble; }
  bool isInt64() const { return valueType_ == kInt64; }
  bool isString() const { return valueType_ == kString; }
  bool isArray() const { return valueType_ == kArray; }

  // 0.0 unless the kind is double.
  double doubleValue() const;
  // 0 unless the kind is int64.
  int64_t int64Value() const;
  // nullopt unless the kind is string.
  std::optional<std::string> stringValue() const;
  // Null unless the kind is array.
  const fnd::Array* arrayValue() const;
  // The underlying object.
  const fnd::Value& object() const { return value_; }

  // A new value of the same kind sharing the same underlying object.
  ZIVValuePtr copy() const;
  // This value as an fnd::Value: a record holding an equal value.
  fnd::Value asObject() const;

  // fnd::Record.
  std::string typeName() const override { return "ZIVValue"; }
  // True only for another ZIVValue (not a subclass) of the same kind with an equal object.
  bool isEqual(const fnd::Record& other) const override;
  // (kind x 31) XOR the object's hash.
  size_t hash() const override;
  // The underlying object's description: the text itself for a string, the number for numbers.
  std::string description() const override;

 private:
  // Constant after construction.
  const int64_t valueType_;
  const fnd::Value value_;
};

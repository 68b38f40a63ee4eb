#include "analytics/foundation/value.h"

#include <charconv>
#include <typeinfo>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"

namespace {

void LogRefusal(int64_t code, const std::string& message, const fnd::Value* context) {
  fnd::Array contexts;
  if (context) contexts.push_back(*context);
  ZIVMeasurement::monitor()->logWithLevel(0, code, message, contexts);
}

// The shortest text that reads back as the same double, as the platform prints numbers.
std::string DoubleDescription(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

}  // namespace

ZIVValue::ZIVValue(int64_t valueType, fnd::Value value)
    : valueType_(valueType), value_(std::move(value)) {}

ZIVValuePtr ZIVValue::valueFromObject(const fnd::Value& object) {
  return valueFromObject(object, false);
}

ZIVValuePtr ZIVValue::valueFromObject(const fnd::Value& object, bool allowArray) {
  if (object.isNull()) {
    LogRefusal(35000, "Cannot create Value type with nil value", nullptr);
    return nullptr;
  }
  if (auto value = object.recordAs<ZIVValue>()) return value;
  if (object.isString()) return std::make_shared<ZIVValue>(kString, object);
  if (object.isDouble()) return std::make_shared<ZIVValue>(kDouble, object);
  if (object.isInt() || object.isBool()) {
    return std::make_shared<ZIVValue>(kInt64, fnd::Value::Int64(object.asInt()));
  }
  if (object.isArray() && allowArray) return initWithArray(object);
  LogRefusal(35001,
             "Cannot create Value type with unsupported value. The Value has to be NSNumber, "
             "NSString or NSArray (if supported). Value",
             &object);
  return nullptr;
}

ZIVValuePtr ZIVValue::initWithDouble(double value) {
  return std::make_shared<ZIVValue>(kDouble, fnd::Value(value));
}

ZIVValuePtr ZIVValue::initWithInt64(int64_t value) {
  return std::make_shared<ZIVValue>(kInt64, fnd::Value::Int64(value));
}

ZIVValuePtr ZIVValue::initWithString(const std::string& value) {
  return std::make_shared<ZIVValue>(kString, fnd::Value(value));
}

ZIVValuePtr ZIVValue::initWithString(const fnd::Value& object) {
  if (object.isNull()) {
    LogRefusal(35002, "Cannot create String value with nil", nullptr);
    return nullptr;
  }
  if (!object.isString()) {
    LogRefusal(35003, "Cannot create String value with non-string value. Value", &object);
    return nullptr;
  }
  return std::make_shared<ZIVValue>(kString, object);
}

ZIVValuePtr ZIVValue::initWithArray(const fnd::Value& object) {
  if (object.isNull()) {
    LogRefusal(35004, "Cannot create Array value with nil", nullptr);
    return nullptr;
  }
  if (!object.isArray()) {
    LogRefusal(35005, "Cannot create Array value with non-array value. Value", &object);
    return nullptr;
  }
  // A new array of the items; fnd::Value copies are independent of the caller's array.
  return std::make_shared<ZIVValue>(kArray, fnd::Value(fnd::Array(*object.array())));
}

double ZIVValue::doubleValue() const { return valueType_ == kDouble ? value_.asDouble() : 0.0; }

int64_t ZIVValue::int64Value() const { return valueType_ == kInt64 ? value_.asInt() : 0; }

std::optional<std::string> ZIVValue::stringValue() const {
  if (valueType_ != kString || !value_.isString()) return std::nullopt;
  return value_.asString();
}

const fnd::Array* ZIVValue::arrayValue() const {
  return valueType_ == kArray ? value_.array() : nullptr;
}

ZIVValuePtr ZIVValue::copy() const { return std::make_shared<ZIVValue>(valueType_, value_); }

fnd::Value ZIVValue::asObject() const {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(copy()));
}

bool ZIVValue::isEqual(const fnd::Record& other) const {
  if (typeid(other) != typeid(ZIVValue)) return false;
  const auto& value = static_cast<const ZIVValue&>(other);
  return valueType_ == value.valueType_ && value_ == value.value_;
}

size_t ZIVValue::hash() const {
  return static_cast<size_t>(static_cast<uint64_t>(valueType_) * 31u) ^ value_.hash();
}

std::string ZIVValue::description() const {
  switch (value_.kind()) {
    case fnd::Value::Kind::kString:
      return value_.asString();
    case fnd::Value::Kind::kInt:
      return std::to_string(value_.asInt());
    case fnd::Value::Kind::kDouble:
      return DoubleDescription(value_.asDouble());
    default:
      return value_.description();
  }
}

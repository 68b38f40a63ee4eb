#include "analytics/script/event.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool IsNumber(const fnd::Value& value) { return value.isInt() || value.isDouble(); }
bool IsIntegerLike(const fnd::Value& value) { return value.isInt() || value.isBool(); }

int64_t TruncatedInt64(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
  if (value <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

// The decimal text of a number as the platform writes it: integers without a fraction, other
// doubles with the shortest digits that read back.
std::string DecimalText(const fnd::Value& number) {
  if (number.isInt()) return std::to_string(number.asInt());
  double value = number.asDouble();
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// Numbers (and bools) by value; strings, lists and dictionaries by content.
bool LooselyEqual(const fnd::Value& a, const fnd::Value& b, int depth) {
  if (depth > 64) return false;
  bool aNumber = IsNumber(a) || a.isBool();
  bool bNumber = IsNumber(b) || b.isBool();
  if (aNumber || bNumber) return aNumber && bNumber && a.asDouble() == b.asDouble();
  if (a.isArray() && b.isArray()) {
    const fnd::Array& x = *a.array();
    const fnd::Array& y = *b.array();
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (!LooselyEqual(x[i], y[i], depth + 1)) return false;
    }
    return true;
  }
  if (a.isDictionary() && b.isDictionary()) {
    const fnd::Dictionary& x = *a.dictionary();
    const fnd::Dictionary& y = *b.dictionary();
    if (x.size() != y.size()) return false;
    for (const auto& [key, value] : x) {
      const fnd::Value* other = y.find(key);
      if (!other || !LooselyEqual(value, *other, depth + 1)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

fnd::Value APMPNormalizedParameter(const std::string& name, const fnd::Value* current,
                                   const fnd::Value& newValue) {
  if (!IsNumber(newValue)) return newValue;
  if (name == "_syn" || name == "_err" || name == "_el") {
    return fnd::Value::Int64(TruncatedInt64(newValue.asDouble()));
  }
  if (current && current->isDouble()) return newValue;
  if (current && IsIntegerLike(*current)) {
    if (!name.empty() && name[0] == '_') return *current;
    return fnd::Value::Int64(TruncatedInt64(newValue.asDouble()));
  }
  if (current && current->isString()) return fnd::Value(DecimalText(newValue));
  return newValue;
}

APMPEvent::APMPEvent(std::string name, double timestamp, fnd::Dictionary parameters)
    : name_(std::move(name)), timestamp_(timestamp), parameters_(std::move(parameters)) {}

const fnd::Value* APMPEvent::parameterForName(const std::string& name) const {
  return parameters_.find(fnd::Value(name));
}

bool APMPEvent::hasParameterName(const std::string& name) const {
  return parameterForName(name) != nullptr;
}

void APMPEvent::setParameter(const std::optional<fnd::Value>& value, const std::string& name) {
  if (!value) {
    parameters_.erase(fnd::Value(name));
    return;
  }
  fnd::Value stored = APMPNormalizedParameter(name, parameterForName(name), *value);
  parameters_.set(fnd::Value(name), std::move(stored));
}

bool APMPEvent::isEqualToEvent(const APMPEvent& other) const {
  if (std::fabs(timestamp_ - other.timestamp_) > std::numeric_limits<double>::epsilon()) {
    return false;
  }
  if (name_ != other.name_ || parameters_.size() != other.parameters_.size()) return false;
  for (const auto& [key, value] : parameters_) {
    const fnd::Value* theirs = other.parameters_.find(key);
    if (!theirs) return false;
    if (IsNumber(value) && (!IsNumber(*theirs) || value.isDouble() != theirs->isDouble())) {
      return false;
    }
    if (!LooselyEqual(value, *theirs, 0)) return false;
  }
  return true;
}

#include "analytics/script/map_value.h"

#include <limits>

#include "analytics/script/object_manager.h"
#include "analytics/script/runtime_limits.h"

APMPMapValue::~APMPMapValue() = default;

std::u16string APMPMapValue::stringValueOrError(APMPError*) const {
  return std::u16string(APMPMapValueToString);
}

double APMPMapValue::doubleValueOrError(APMPError*) const {
  return std::numeric_limits<double>::quiet_NaN();
}

bool APMPMapValue::booleanValueOrError(APMPError*) const { return true; }

APMPValueRef APMPMapValue::applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                         const APMPScopeRef& scope, APMPError* error) {
  // Keep the receiver alive while a property function runs: it may drop the last reference.
  auto self = shared_from_this();
  bool handled = false;
  APMPValueRef result = applyPropertyMethod(name, arguments, scope, &handled, error);
  if (handled) return result;
  return APMPRuntimeValue::applyWithName(name, arguments, scope, error);
}

void APMPMapValue::mark(APMPMarker& marker) { markProperties(marker); }

void APMPMapValue::sweep() {
  if (marked_) {
    marked_ = false;
    return;
  }
  propertyMap_.clear();
}

bool APMPMapValue::isEqualAtDepth(const APMPRuntimeValue& other, int depth) const {
  if (this == &other) return true;
  if (!other.isMap() || depth >= APMPMaximumNestingDepth) return false;
  const auto& o = static_cast<const APMPMapValue&>(other);
  if (o.propertyMap_.count() != propertyMap_.count()) return false;
  for (const auto& entry : propertyMap_.entries()) {
    if (!o.propertyMap_.hasName(entry.first)) return false;
    if (!EqualAtDepth(*entry.second, *o.propertyMap_.valueForName(entry.first), depth + 1)) {
      return false;
    }
  }
  return true;
}

#include "analytics/script/property_holder.h"

#include "analytics/script/function_value.h"
#include "analytics/script/object_manager.h"

APMPValueRef APMPPropertyHolder::applyPropertyMethod(const std::u16string& name,
                                                     const APMPValueList& arguments,
                                                     const APMPScopeRef& scope, bool* handled,
                                                     APMPError* error) const {
  *handled = true;
  if (propertyMap_.hasName(name)) {
    auto function = APMPCast<APMPFunctionValue>(propertyMap_.valueForName(name));
    if (!function) {
      APMPSetError(error, APMPErrorCodeUnknownMethod);
      return APMPUndefined();
    }
    return function->invokeWithArguments(arguments, scope, error);
  }
  if (name == APMPHasOwnPropertyMethodName) {
    if (arguments.size() != 1) {
      APMPSetError(error, APMPErrorCodeArgumentCount);
      return APMPUndefined();
    }
    std::u16string key = arguments[0]->stringValueOrError(error);
    if (*error) return APMPUndefined();
    return APMPBooleanValue::booleanValueWithBool(propertyMap_.hasName(key));
  }
  *handled = false;
  return APMPUndefined();
}

void APMPPropertyHolder::markProperties(APMPMarker& marker) const {
  for (const auto& entry : propertyMap_.entries()) marker.markValue(entry.second);
}

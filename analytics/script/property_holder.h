// APMPPropertyHolder: the named properties that map values and function values keep, with the
// accessors, the method-call rule and the collector hooks both share. A container class derives
// from it beside APMPRuntimeValue.
//
// Thread safety: none; used by the script's thread only.
#pragma once

#include <string>
#include <vector>

#include "analytics/script/property_map.h"
#include "analytics/script/runtime_value.h"

class APMPPropertyHolder {
 public:
  bool hasProperty(const std::u16string& name) const { return propertyMap_.hasName(name); }
  void setValue(APMPValueRef value, const std::u16string& name) {
    propertyMap_.setValue(std::move(value), name);
  }
  // Undefined when absent.
  APMPValueRef valueForProperty(const std::u16string& name) const {
    return propertyMap_.valueForName(name);
  }
  void removeValueForProperty(const std::u16string& name) { propertyMap_.removeValueForName(name); }
  std::vector<std::u16string> allPropertyNames() const { return propertyMap_.allNames(); }
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }
  APMPPropertyMap& mutablePropertyMap() { return propertyMap_; }

 protected:
  APMPPropertyHolder() = default;
  ~APMPPropertyHolder() = default;

  // The method-call rule: a property of that name holding a function is invoked with the
  // arguments and scope; one holding anything else fails with 17; "hasOwnProperty" takes exactly
  // one argument (9) and tells whether a property named by its string form exists. Anything else
  // leaves *handled false: the caller runs its base operation.
  APMPValueRef applyPropertyMethod(const std::u16string& name, const APMPValueList& arguments,
                                   const APMPScopeRef& scope, bool* handled,
                                   APMPError* error) const;
  // Hands every property value to the marker.
  void markProperties(APMPMarker& marker) const;

  APMPPropertyMap propertyMap_;
};

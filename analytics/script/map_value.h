// APMPMapValue: a script object with named properties ("[object Object]"). Programs make maps
// through APMPObjectManager::mapValueWithScope() so that the collector tracks them.
//
// Thread safety: none; used by the script's thread only.
#pragma once

#include <string>
#include <vector>

#include "analytics/script/property_map.h"
#include "analytics/script/runtime_value.h"

class APMPMapValue : public APMPRuntimeValue {
 public:
  static constexpr Kind kKind = Kind::kMap;
  APMPMapValue() : APMPRuntimeValue(kKind) {}
  ~APMPMapValue() override;

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

  // "[object Object]", NaN, true.
  std::u16string stringValueOrError(APMPError* error) const override;
  double doubleValueOrError(APMPError* error) const override;
  bool booleanValueOrError(APMPError* error) const override;
  // A property of that name holding a function is called; one holding anything else fails with
  // 17. "hasOwnProperty" takes exactly one argument (9) and tells whether a property named by
  // its string form exists. Anything else goes to the base ("toString" or 17).
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopeRef& scope, APMPError* error) override;

  void mark(APMPMarker& marker) override;
  void sweep() override;

 protected:
  // Same property names, each with an equal value.
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;

 private:
  APMPPropertyMap propertyMap_;
};

// The property-call rule shared by maps and functions: a function property is invoked, another
// property fails with 17, "hasOwnProperty" answers from `map`, anything else goes to the base
// operation of `receiver`. `handled` is false when the base operation must run.
APMPValueRef APMPApplyPropertyMethod(const APMPPropertyMap& map, const std::u16string& name,
                                     const APMPValueList& arguments, const APMPScopeRef& scope,
                                     bool* handled, APMPError* error);

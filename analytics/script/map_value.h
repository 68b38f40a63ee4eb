// APMPMapValue: a script object with named properties ("[object Object]"). Programs make maps
// through APMPObjectManager::mapValueWithScope() so that the collector tracks them.
//
// Thread safety: none; used by the script's thread only.
#pragma once

#include <string>
#include <vector>

#include "analytics/script/property_holder.h"
#include "analytics/script/runtime_value.h"

class APMPMapValue : public APMPRuntimeValue, public APMPPropertyHolder {
 public:
  static constexpr Kind kKind = Kind::kMap;
  APMPMapValue() : APMPRuntimeValue(kKind) {}
  ~APMPMapValue() override;

  // "[object Object]", NaN, true.
  std::u16string stringValueOrError(APMPError* error) const override;
  double doubleValueOrError(APMPError* error) const override;
  bool booleanValueOrError(APMPError* error) const override;
  // The property-call rule of APMPPropertyHolder; anything else goes to the base ("toString" or
  // 17).
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopeRef& scope, APMPError* error) override;

  void mark(APMPMarker& marker) override;
  void sweep() override;

 protected:
  // Same property names, each with an equal value.
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;
};

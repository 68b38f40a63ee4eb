#include "analytics/audiences/conditional_user_property_validation.h"

#include <memory>

#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"

namespace {

bool InRange(double seconds) {
  // NaN fails both comparisons.
  return seconds >= ZIVConditionalUserPropertyMinInterval &&
         seconds <= ZIVConditionalUserPropertyMaxInterval;
}

}  // namespace

bool ZIVIsValidConditionalUserProperty(const ZIVConditionalUserProperty& property) {
  if (!ZIVDataTypeValidator::isValidConditionalUserPropertyOrigin(fnd::Value(property.origin)) ||
      !ZIVDataTypeValidator::isValidConditionalUserPropertyName(fnd::Value(property.name))) {
    return false;
  }
  if (property.value && !ZIVDataTypeValidator::isValidConditionalUserPropertyValue(
                            fnd::Value(std::shared_ptr<fnd::Record>(property.value)))) {
    return false;
  }
  if (!InRange(property.triggerTimeout)) {
    ZIVMeasurement::monitor()->logWithLevel(2, 11000,
                                            "Invalid conditional user property trigger timeout",
                                            fnd::Value(property.triggerTimeout));
    return false;
  }
  if (!InRange(property.timeToLive)) {
    ZIVMeasurement::monitor()->logWithLevel(2, 11001,
                                            "Invalid conditional user property time to live",
                                            fnd::Value(property.timeToLive));
    return false;
  }
  return true;
}

#include "analytics/engine/screen.h"

#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"

namespace {

bool IsValid(const std::optional<std::string>& text, uint64_t* failureCode = nullptr) {
  return text && ZIVDataTypeValidator::isValidScreenParameterValue(fnd::Value(*text), failureCode);
}

}  // namespace

fnd::Dictionary ZIVScreenParameters(const ZIVScreen* screen, ZIVMonitor* monitor) {
  fnd::Dictionary parameters;
  if (!screen) return parameters;
  ZIVMonitor& log = monitor ? *monitor : *ZIVMeasurement::monitor();
  parameters.set("_si", fnd::Value::Int64(screen->instanceID()));
  const std::optional<std::string>& className = screen->className();
  if (!className || className->empty()) {
    log.logWithLevel(3, 31014, "Screen class name is empty");
  } else {
    uint64_t failureCode = 0;
    if (!IsValid(className, &failureCode)) {
      log.logWithLevel(3, 31015, "Screen class name is invalid. Error code",
                       fnd::Value::Int64(static_cast<int64_t>(failureCode)));
      return parameters;
    }
    parameters.set("_sc", *className);
  }
  if (IsValid(screen->name())) parameters.set("_sn", *screen->name());
  return parameters;
}

fnd::Dictionary ZIVPreviousScreenParameters(const ZIVScreen* screen) {
  fnd::Dictionary parameters;
  if (!screen) return parameters;
  parameters.set("_pi", fnd::Value::Int64(screen->instanceID()));
  const std::optional<std::string>& className = screen->className();
  if (className && !className->empty() && IsValid(className)) parameters.set("_pc", *className);
  if (IsValid(screen->name())) parameters.set("_pn", *screen->name());
  return parameters;
}

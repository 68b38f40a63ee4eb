#include "analytics/config/experiment_flag.h"

#include "analytics/config/experiments_monitor.h"

std::shared_ptr<APMPBFlag> APMEFlagWithName(const fnd::Value& name, const fnd::Value& value) {
  if (name.isNull()) {
    APMELog(1, 850000, "Flag name must not be nil");
    return nullptr;
  }
  if (!name.isString()) {
    APMELog(1, 850001, "Flag name must be a string", {fnd::Value(APMEClassNameOfValue(name))});
    return nullptr;
  }
  if (!value.isString() && !value.isNumber() && !value.isBool()) {
    APMELog(1, 850002, "Flag value is invalid", {fnd::Value(APMEClassNameOfValue(value))});
    return nullptr;
  }
  auto flag = APMPBFlag::initWithBuffer(nullptr);
  if (!flag) return nullptr;
  NANOSetString(flag.get(), APMPBFlag::kName, name);
  if (value.isString()) {
    NANOSetString(flag.get(), APMPBFlag::kStringValue, value);
  } else if (value.isDouble()) {
    NANOSetDouble(flag.get(), APMPBFlag::kDoubleValue, value.asDouble());
  } else {
    NANOSetInt64(flag.get(), APMPBFlag::kIntValue, value.asInt());
  }
  return flag;
}

fnd::Value APMEValueFromFlagProto(const APMPBFlag* flag) {
  if (!flag) return fnd::Value();
  if (NANOHasField(flag, APMPBFlag::kIntValue)) {
    return fnd::Value::Int64(NANOGetInt64(flag, APMPBFlag::kIntValue));
  }
  if (NANOHasField(flag, APMPBFlag::kDoubleValue)) {
    return fnd::Value(NANOGetDouble(flag, APMPBFlag::kDoubleValue));
  }
  if (NANOHasField(flag, APMPBFlag::kStringValue)) {
    // A present string field reads back empty when it has no bytes.
    return fnd::Value(NANOGetString(flag, APMPBFlag::kStringValue).value_or(std::string()));
  }
  if (NANOHasField(flag, APMPBFlag::kBoolValue)) {
    return fnd::Value(NANOGetBool(flag, APMPBFlag::kBoolValue));
  }
  return fnd::Value();
}

std::string APMEFlagName(const APMPBFlag& flag) {
  return NANOGetString(&flag, APMPBFlag::kName).value_or(std::string());
}

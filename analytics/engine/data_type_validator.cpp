#include "analytics/engine/data_type_validator.h"

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/value.h"
#include "platform/foundation/text.h"

namespace {

constexpr const char* kForwardedOriginSuffix = "+gtm";

void SetFailure(uint64_t* failureCode, uint64_t code) {
  if (failureCode) *failureCode = code;
}

void Log(int64_t level, int64_t code, const std::string& message, fnd::Array contexts = {}) {
  ZIVMeasurement::monitor()->logWithLevel(level, code, message, contexts);
}

// Values of events' parameters and of user properties are warnings; everything else errors.
int64_t LevelForType(int type) {
  return type == kZIVDataTypeEventParameterValue || type == kZIVDataTypeUserPropertyValue ? 3 : 0;
}

}  // namespace

std::string ZIVPrependStringTypeName(int type, const std::string& text) {
  static const char* const kNames[] = {"Event name",
                                       "Event origin",
                                       "Event parameter name",
                                       "Event parameter value",
                                       "User property name",
                                       "User property value",
                                       "Screen parameter value",
                                       "Conditional user property origin",
                                       "Conditional user property name",
                                       "Conditional user property value"};
  std::string name = type >= 0 && type < 10 ? kNames[type] : "Object";
  return name + text;
}

bool ZIVIsNonNilZIVValue(const fnd::Value& value, int type, uint64_t* failureCode) {
  SetFailure(failureCode, kZIVDataTypeFailureNone);
  if (value.isNull()) {
    SetFailure(failureCode, kZIVDataTypeFailureRequired);
    Log(3, 13004, ZIVPrependStringTypeName(type, " cannot be nil"));
    return false;
  }
  if (!value.recordAs<ZIVValue>()) {
    SetFailure(failureCode, kZIVDataTypeFailureWrongType);
    std::string className =
        value.isRecord() ? (*value.record())->typeName() : fnd::Value::kindName(value.kind());
    Log(3, 13005, ZIVPrependStringTypeName(type, " must be a ZIVValue instance. value"),
        {fnd::Value(className)});
    return false;
  }
  return true;
}

bool ZIVDataTypeValidator::isValidString(const fnd::Value& object, int64_t minLength,
                                         int64_t maxLength, int type, uint64_t* failureCode) {
  SetFailure(failureCode, kZIVDataTypeFailureNone);
  const int64_t level = LevelForType(type);
  if (object.isNull()) {
    SetFailure(failureCode, kZIVDataTypeFailureRequired);
    Log(level, 13001, ZIVPrependStringTypeName(type, " is required and can't be nil"));
    return false;
  }
  if (!object.isString()) {
    SetFailure(failureCode, kZIVDataTypeFailureWrongType);
    Log(level, 13000, ZIVPrependStringTypeName(type, " must be of type NSString"), {object});
    return false;
  }
  const std::string& text = object.asString();
  if (text.empty() && minLength > 0) {
    SetFailure(failureCode, kZIVDataTypeFailureRequired);
    if (type != kZIVDataTypeEventParameterValue && type != kZIVDataTypeUserPropertyValue) {
      Log(level, 13001, ZIVPrependStringTypeName(type, " is required and can't be empty"));
    }
    return false;
  }
  const int64_t length = static_cast<int64_t>(fnd::CodePointLength(text));
  if (length > maxLength) {
    SetFailure(failureCode, kZIVDataTypeFailureTooLong);
    Log(level, 13000,
        ZIVPrependStringTypeName(
            type, " is too long. The maximum supported length is " + std::to_string(maxLength)),
        {object});
    return false;
  }
  if (length < minLength) {
    SetFailure(failureCode, kZIVDataTypeFailureTooShort);
    Log(level, 13000,
        ZIVPrependStringTypeName(
            type, " is too short. The minimum supported length is " + std::to_string(minLength)),
        {object});
    return false;
  }
  return true;
}

bool ZIVDataTypeValidator::isValidInternalName(const fnd::Value& name, int64_t maxLength, int type,
                                               uint64_t* failureCode) {
  if (!isValidString(name, 1, maxLength, type, failureCode)) return false;
  if (!fnd::ConsistsOnlyOf(name.asString(), fnd::CharacterClass::kNameCharacter)) {
    SetFailure(failureCode, kZIVDataTypeFailureCharacters);
    Log(0, 13002,
        ZIVPrependStringTypeName(type, " must contain only letters, numbers, or underscores"),
        {name});
    return false;
  }
  return true;
}

bool ZIVDataTypeValidator::isValidValue(const fnd::Value& value, int64_t minLength,
                                        int64_t maxLength, int type, uint64_t* failureCode) {
  if (!ZIVIsNonNilZIVValue(value, type, failureCode)) return false;
  auto typed = value.recordAs<ZIVValue>();
  if (typed->isString()) {
    return isValidString(typed->object(), minLength, maxLength, type, failureCode);
  }
  return true;
}

bool ZIVDataTypeValidator::isValidInternalEventName(const fnd::Value& name, uint64_t* failureCode) {
  return isValidInternalName(name, ZIVDataTypeEventMaxNameLength, kZIVDataTypeEventName,
                             failureCode);
}

bool ZIVDataTypeValidator::isValidInternalEventOrigin(const fnd::Value& origin,
                                                      uint64_t* failureCode) {
  return isValidInternalName(origin, ZIVDataTypeEventMaxOriginLength, kZIVDataTypeEventOrigin,
                             failureCode);
}

bool ZIVDataTypeValidator::isValidForwardedEventOrigin(const fnd::Value& origin,
                                                       uint64_t* failureCode) {
  SetFailure(failureCode, kZIVDataTypeFailureNone);
  if (!origin.isString() || origin.asString().empty()) {
    SetFailure(failureCode, kZIVDataTypeFailureRequired);
    return false;
  }
  const std::string& text = origin.asString();
  const std::string suffix = kForwardedOriginSuffix;
  if (text.size() < suffix.size() ||
      text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) {
    SetFailure(failureCode, kZIVDataTypeFailureNoGTMSuffix);
    return false;
  }
  return isValidInternalName(fnd::Value(text.substr(0, text.size() - suffix.size())),
                             ZIVDataTypeEventMaxOriginLength, kZIVDataTypeEventOrigin, failureCode);
}

bool ZIVDataTypeValidator::isValidInternalUserAttributeName(const fnd::Value& name,
                                                            uint64_t* failureCode) {
  return isValidInternalName(name, ZIVDataTypeUserAttributeMaxNameLength,
                             kZIVDataTypeUserPropertyName, failureCode);
}

bool ZIVDataTypeValidator::isValidInternalUserAttributeValue(const fnd::Value& value,
                                                             const std::string& name,
                                                             uint64_t* failureCode) {
  int64_t maxLength = ZIVDataTypeUserAttributeMaxValueLength;
  if (name == "_psmvalue" || name == "_psmvalue_gads") {
    maxLength = ZIVDataTypePSMValueMaxValueLength;
  } else if (name == "_gbraid") {
    maxLength = ZIVDataTypeGBRAIDMaxValueLength;
  } else if (name == "_id") {
    maxLength = ZIVDataTypeUserIDMaxValueLength;
  }
  return isValidValue(value, 1, maxLength, kZIVDataTypeUserPropertyValue, failureCode);
}

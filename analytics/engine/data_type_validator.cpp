#include "analytics/engine/data_type_validator.h"

#include "analytics/engine/event_settings.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/name_tables.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/value.h"
#include "platform/foundation/text.h"

namespace {

constexpr const char* kForwardedOriginSuffix = "+gtm";
constexpr int64_t kCurrencyCodeLength = 3;

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

// Refuses a reserved name (first) or a reserved prefix, each with its own log line.
bool CheckReserved(const std::string& name, bool reservedName, int64_t reservedNameCode,
                   const char* reservedNameMessage, int64_t prefixCode, const char* prefixMessage,
                   uint64_t* failureCode) {
  if (reservedName) {
    SetFailure(failureCode, kZIVDataTypeFailureReserved);
    Log(0, reservedNameCode, reservedNameMessage, {fnd::Value(name)});
    return false;
  }
  if (ZIVDataTypeValidator::hasReservedPrefixes(name)) {
    SetFailure(failureCode, kZIVDataTypeFailureReserved);
    Log(0, prefixCode, prefixMessage, {fnd::Value(name)});
    return false;
  }
  return true;
}

int64_t PublicValueLimit() {
  return ZIVCurrentEventSettings()->maxPublicEventParameterValueLength();
}

int64_t InternalValueLimit() {
  return ZIVCurrentEventSettings()->maxInternalEventParameterValueLength();
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

std::string ZIVClassNameOfObject(const fnd::Value& object) {
  using Kind = fnd::Value::Kind;
  switch (object.kind()) {
    case Kind::kNull:
      return "NSNull";
    case Kind::kBool:
    case Kind::kInt:
    case Kind::kDouble:
      return "NSNumber";
    case Kind::kString:
      return "NSString";
    case Kind::kData:
    case Kind::kInt32Array:
    case Kind::kInt64Array:
    case Kind::kFloat32Array:
    case Kind::kFloat64Array:
      return "NSData";
    case Kind::kArray:
      return "NSArray";
    case Kind::kDictionary:
      return "NSDictionary";
    case Kind::kDate:
      return "NSDate";
    case Kind::kRecord:
      return (*object.record())->typeName();
  }
  return "NSObject";
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
    Log(3, 13005, ZIVPrependStringTypeName(type, " must be a ZIVValue instance. value"),
        {fnd::Value(ZIVClassNameOfObject(value))});
    return false;
  }
  return true;
}

bool ZIVDataTypeValidator::hasReservedPrefixes(const std::string& text) {
  for (const char* prefix : {"zudiroru_", "rivado_", "ra_"}) {
    if (text.rfind(prefix, 0) == 0) return true;
  }
  return false;
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

bool ZIVDataTypeValidator::isValidPublicName(const fnd::Value& name, int64_t maxLength, int type,
                                             uint64_t* failureCode) {
  if (!isValidInternalName(name, maxLength, type, failureCode)) return false;
  const std::u32string codePoints = fnd::ToUTF32(name.asString());
  if (codePoints.empty() || !fnd::IsInClass(codePoints[0], fnd::CharacterClass::kLetter)) {
    SetFailure(failureCode, kZIVDataTypeFailureCharacters);
    Log(0, 13003, ZIVPrependStringTypeName(type, " must start with a letter"), {name});
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

bool ZIVDataTypeValidator::isValidPublicEventName(const fnd::Value& name, uint64_t* failureCode) {
  if (!isValidPublicName(name, ZIVDataTypeEventMaxNameLength, kZIVDataTypeEventName, failureCode)) {
    return false;
  }
  const std::string& text = name.asString();
  if (text == "screen_view") return true;
  const bool reserved = ZIVInternalEventNames().contains(name) &&
                        !ZIVInternalEventNamesByPublicEventNames().contains(name);
  return CheckReserved(text, reserved, 13006, "Event name is reserved. Ignoring event", 13007,
                       "Event name uses reserved prefix. Ignoring event", failureCode);
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

bool ZIVDataTypeValidator::isValidPublicEventParameterName(const fnd::Value& name,
                                                           uint64_t* failureCode) {
  if (!isValidPublicName(name, ZIVDataTypeEventParameterMaxNameLength,
                         kZIVDataTypeEventParameterName, failureCode)) {
    return false;
  }
  return CheckReserved(name.asString(), false, 0, "", 13008,
                       "Parameter name uses reserved prefix. Ignoring parameter", failureCode);
}

bool ZIVDataTypeValidator::isValidInternalEventParameterName(const fnd::Value& name,
                                                             uint64_t* failureCode) {
  return isValidInternalName(name, ZIVDataTypeEventParameterMaxNameLength,
                             kZIVDataTypeEventParameterName, failureCode);
}

bool ZIVDataTypeValidator::isValidPublicEventParameterValue(const fnd::Value& value,
                                                            uint64_t* failureCode) {
  return isValidValue(value, 0, PublicValueLimit(), kZIVDataTypeEventParameterValue, failureCode);
}

bool ZIVDataTypeValidator::isValidInternalEventParameterValue(const fnd::Value& value,
                                                              uint64_t* failureCode) {
  return isValidValue(value, 0, InternalValueLimit(), kZIVDataTypeEventParameterValue, failureCode);
}

bool ZIVDataTypeValidator::isValidArrayParamForEvent(const std::string& eventName,
                                                     const std::string& paramName,
                                                     int64_t arrayCount, bool isNestedArrayParam,
                                                     uint64_t* failureCode) {
  SetFailure(failureCode, kZIVDataTypeFailureNone);
  if (isNestedArrayParam) {
    SetFailure(failureCode, kZIVDataTypeFailureArrayNested);
    Log(0, 13013, "Nested array parameters are not allowed. Name", {fnd::Value(paramName)});
    return false;
  }
  if (!ZIVIsEcommerceEventNameInList(eventName)) {
    SetFailure(failureCode, kZIVDataTypeFailureArrayNotEcommerce);
    Log(0, 13013,
        "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
        {fnd::Value(eventName)});
    return false;
  }
  if (paramName != ZIVEventItemsParameterName) {
    SetFailure(failureCode, kZIVDataTypeFailureArrayName);
    Log(0, 13013,
        ZIVPrependStringTypeName(kZIVDataTypeEventParameterName,
                                 std::string(" is an invalid ecommerce items. The name of array "
                                             "parameters for ecommerce should be \"") +
                                     ZIVEventItemsParameterName + "\". Invalid parameter name"),
        {fnd::Value(paramName)});
    return false;
  }
  if (arrayCount > ZIVDataTypeEventParameterArrayItemsMaxSize) {
    SetFailure(failureCode, kZIVDataTypeFailureArrayTooLarge);
    Log(0, 13013,
        "Array parameter has too many items. The maximum number of supported items is " +
            std::to_string(ZIVDataTypeEventParameterArrayItemsMaxSize) + ". Invalid array size",
        {fnd::Value::Int64(arrayCount)});
    return false;
  }
  return true;
}

bool ZIVDataTypeValidator::isValidArrayParamItem(const fnd::Value& item, uint64_t* failureCode) {
  SetFailure(failureCode, kZIVDataTypeFailureNone);
  if (!item.isDictionary()) {
    SetFailure(failureCode, kZIVDataTypeFailureArrayItem);
    Log(0, 13014, "Array param must be a dictionary. Parameters", {item});
    return false;
  }
  return true;
}

bool ZIVDataTypeValidator::isValidPublicUserAttributeName(const fnd::Value& name,
                                                          uint64_t* failureCode) {
  if (!isValidPublicName(name, ZIVDataTypeUserAttributeMaxNameLength, kZIVDataTypeUserPropertyName,
                         failureCode)) {
    return false;
  }
  return CheckReserved(name.asString(), ZIVInternalUserPropertyNames().contains(name), 13009,
                       "User property name is reserved. Ignoring user property", 13010,
                       "User property name uses reserved prefix. Ignoring user property",
                       failureCode);
}

bool ZIVDataTypeValidator::isValidInternalUserAttributeName(const fnd::Value& name,
                                                            uint64_t* failureCode) {
  return isValidInternalName(name, ZIVDataTypeUserAttributeMaxNameLength,
                             kZIVDataTypeUserPropertyName, failureCode);
}

bool ZIVDataTypeValidator::isValidPublicUserAttributeValue(const fnd::Value& value,
                                                           uint64_t* failureCode) {
  return isValidValue(value, 1, ZIVDataTypeUserAttributeMaxValueLength,
                      kZIVDataTypeUserPropertyValue, failureCode);
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

bool ZIVDataTypeValidator::isValidScreenParameterValue(const fnd::Value& value,
                                                       uint64_t* failureCode) {
  return isValidString(value, 1, PublicValueLimit(), kZIVDataTypeScreenParameterValue, failureCode);
}

bool ZIVDataTypeValidator::isValidConditionalUserPropertyOrigin(const fnd::Value& origin,
                                                                uint64_t* failureCode) {
  return isValidInternalName(origin, ZIVDataTypeEventMaxOriginLength,
                             kZIVDataTypeConditionalUserPropertyOrigin, failureCode);
}

bool ZIVDataTypeValidator::isValidConditionalUserPropertyName(const fnd::Value& name,
                                                              uint64_t* failureCode) {
  return isValidInternalName(name, ZIVDataTypeUserAttributeMaxNameLength,
                             kZIVDataTypeConditionalUserPropertyName, failureCode);
}

bool ZIVDataTypeValidator::isValidConditionalUserPropertyValue(const fnd::Value& value,
                                                               uint64_t* failureCode) {
  return isValidValue(value, 1, ZIVDataTypeUserAttributeMaxValueLength,
                      kZIVDataTypeConditionalUserPropertyValue, failureCode);
}

bool ZIVDataTypeValidator::isValidNumericValue(const fnd::Value& value, uint64_t* failureCode) {
  if (!ZIVIsNonNilZIVValue(value, kZIVDataTypeEventParameterValue, failureCode)) return false;
  auto typed = value.recordAs<ZIVValue>();
  if (!typed->isInt64() && !typed->isDouble()) {
    SetFailure(failureCode, kZIVDataTypeFailureNotNumeric);
    Log(3, 13011,
        ZIVPrependStringTypeName(kZIVDataTypeEventParameterValue,
                                 " must be specified with a numeric type. value"),
        {fnd::Value(typed->description())});
    return false;
  }
  return true;
}

bool ZIVDataTypeValidator::isValidCurrencyCode(const fnd::Value& value, uint64_t* failureCode) {
  if (!ZIVIsNonNilZIVValue(value, kZIVDataTypeEventParameterValue, failureCode)) return false;
  auto typed = value.recordAs<ZIVValue>();
  bool valid = false;
  if (std::optional<std::string> text = typed->stringValue()) {
    const std::u16string units = fnd::ToUTF16(*text);
    valid = static_cast<int64_t>(units.size()) == kCurrencyCodeLength;
    // A unit of a surrogate pair is not a letter on its own.
    for (char16_t unit : units) {
      valid = valid && fnd::IsInClass(unit, fnd::CharacterClass::kLetter);
    }
  }
  if (!valid) {
    SetFailure(failureCode, kZIVDataTypeFailureCurrency);
    Log(3, 13012,
        ZIVPrependStringTypeName(kZIVDataTypeEventParameterValue,
                                 " must contain a " + std::to_string(kCurrencyCodeLength) +
                                     "-letter ISO_4217 currency code. value"),
        {value});
    return false;
  }
  return true;
}

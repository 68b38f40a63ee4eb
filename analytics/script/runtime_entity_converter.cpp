#include "analytics/script/runtime_entity_converter.h"

#include <cmath>
#include <limits>

#include "analytics/proto/field_accessors.h"
#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/script/array_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/runtime_limits.h"
#include "platform/foundation/text.h"

namespace {

enum EntityType : int32_t {
  kEntityString = 1,
  kEntityNumber = 2,
  kEntityBoolean = 3,
  kEntityStatement = 4,
};

APMPValueRef Fail(APMPError* error, int64_t code) {
  APMPSetError(error, code);
  return APMPUndefined();
}

APMPValueRef ValueFromEntity(const APMPBRuntimeEntity& entity, int depth, APMPError* error);

APMPValueRef StatementFromEntity(const APMPBRuntimeEntity& entity, int depth, APMPError* error) {
  std::optional<std::string> code;
  if (NANOHasField(&entity, APMPBRuntimeEntity::kStringValue)) {
    code = NANOGetString(&entity, APMPBRuntimeEntity::kStringValue);
  }
  if (!code) return Fail(error, APMPErrorCodeMissingCommandCode);
  if (depth >= APMPMaximumNestingDepth) return Fail(error, APMPErrorCodeResourceLimit);
  APMPValueList arguments;
  std::optional<fnd::Array> children =
      NANOGetArray(&entity, APMPBRuntimeEntity::kChildren, &APMPBRuntimeEntity::messageClass());
  if (children) {
    arguments.reserve(children->size());
    for (const auto& child : *children) {
      auto message = child.recordAs<APMPBRuntimeEntity>();
      if (!message) return Fail(error, APMPErrorCodeUnknownEntityType);
      arguments.push_back(ValueFromEntity(*message, depth + 1, error));
      if (*error) return APMPUndefined();
    }
  }
  return std::make_shared<APMPStatementValue>(fnd::ToUTF16(*code), std::move(arguments));
}

APMPValueRef ValueFromEntity(const APMPBRuntimeEntity& entity, int depth, APMPError* error) {
  switch (NANOGetInt32(&entity, APMPBRuntimeEntity::kType)) {
    case kEntityString: {
      std::optional<std::string> text;
      if (NANOHasField(&entity, APMPBRuntimeEntity::kTag4String)) {
        text = NANOGetString(&entity, APMPBRuntimeEntity::kTag4String);
      }
      return APMPStringValue::stringWithUTF8(text.value_or(std::string()));
    }
    case kEntityNumber: {
      double number = std::numeric_limits<double>::quiet_NaN();
      if (NANOHasField(&entity, APMPBRuntimeEntity::kNumberValue)) {
        number = NANOGetDouble(&entity, APMPBRuntimeEntity::kNumberValue);
      }
      return APMPNumberValue::numberWithDouble(number);
    }
    case kEntityBoolean: {
      bool flag = false;
      if (NANOHasField(&entity, APMPBRuntimeEntity::kBoolValue)) {
        flag = NANOGetBool(&entity, APMPBRuntimeEntity::kBoolValue);
      }
      return APMPBooleanValue::booleanValueWithBool(flag);
    }
    case kEntityStatement:
      return StatementFromEntity(entity, depth, error);
    default:
      return Fail(error, APMPErrorCodeUnknownEntityType);
  }
}

std::u16string KeyDescription(const fnd::Value& key) {
  if (const std::string* text = key.string()) return fnd::ToUTF16(*text);
  if (key.isInt()) return fnd::ToUTF16(std::to_string(key.asInt()));
  if (key.isDouble()) return APMPNumberToString(key.asDouble());
  if (key.isBool()) return key.asBool() ? u"1" : u"0";
  return fnd::ToUTF16(key.description());
}

APMPValueRef ValueFromObject(const fnd::Value& object, const APMPScopeRef& scope, int depth,
                             APMPError* error) {
  switch (object.kind()) {
    case fnd::Value::Kind::kNull:
      return APMPNull();
    case fnd::Value::Kind::kString:
      return APMPStringValue::stringWithUTF8(object.asString());
    case fnd::Value::Kind::kBool:
      return APMPBooleanValue::booleanValueWithBool(object.asBool());
    case fnd::Value::Kind::kInt:
    case fnd::Value::Kind::kDouble:
      return APMPNumberValue::numberWithDouble(object.asDouble());
    case fnd::Value::Kind::kDictionary: {
      if (depth >= APMPMaximumNestingDepth) return Fail(error, APMPErrorCodeResourceLimit);
      auto map = APMPObjectManager::mapValueWithScope(scope);
      for (const auto& [key, value] : *object.dictionary()) {
        APMPValueRef converted = ValueFromObject(value, scope, depth + 1, error);
        if (*error) return APMPUndefined();
        map->setValue(std::move(converted), KeyDescription(key));
      }
      return map;
    }
    case fnd::Value::Kind::kArray: {
      if (depth >= APMPMaximumNestingDepth) return Fail(error, APMPErrorCodeResourceLimit);
      if (object.array()->size() > APMPMaximumArrayLength) {
        return Fail(error, APMPErrorCodeResourceLimit);
      }
      APMPValueList elements;
      elements.reserve(object.array()->size());
      for (const auto& element : *object.array()) {
        elements.push_back(ValueFromObject(element, scope, depth + 1, error));
        if (*error) return APMPUndefined();
      }
      return APMPObjectManager::arrayValueWithArray(std::move(elements), scope);
    }
    default:
      return Fail(error, APMPErrorCodeNoScriptForm);
  }
}

std::optional<fnd::Value> ObjectFromValue(const APMPValueRef& value, int depth, APMPError* error);

fnd::Dictionary DictionaryFromMap(const APMPMapValue& map, int depth, APMPError* error) {
  fnd::Dictionary dictionary;
  if (depth >= APMPMaximumNestingDepth) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return dictionary;
  }
  for (const auto& [name, value] : map.propertyMap().entries()) {
    std::optional<fnd::Value> converted = ObjectFromValue(value, depth + 1, error);
    if (*error) return dictionary;
    if (converted) dictionary.set(fnd::Value(fnd::FromUTF16(name)), std::move(*converted));
  }
  return dictionary;
}

std::optional<fnd::Value> ObjectFromValue(const APMPValueRef& value, int depth, APMPError* error) {
  switch (value->kind()) {
    case APMPRuntimeValue::Kind::kNull:
      return std::nullopt;
    case APMPRuntimeValue::Kind::kUndefined:
      return fnd::Value("");
    case APMPRuntimeValue::Kind::kMap:
      return fnd::Value(DictionaryFromMap(static_cast<const APMPMapValue&>(*value), depth, error));
    case APMPRuntimeValue::Kind::kArray: {
      fnd::Array array;
      if (depth >= APMPMaximumNestingDepth) {
        APMPSetError(error, APMPErrorCodeResourceLimit);
        return fnd::Value(std::move(array));
      }
      for (const auto& element : static_cast<const APMPArrayValue&>(*value).allElements()) {
        std::optional<fnd::Value> converted = ObjectFromValue(element, depth + 1, error);
        if (*error) break;
        if (converted) array.push_back(std::move(*converted));
      }
      return fnd::Value(std::move(array));
    }
    default: {
      APMPError numberError;
      double number = value->doubleValueOrError(&numberError);
      if (!numberError && !std::isnan(number)) return fnd::Value(number);
      std::u16string text = value->stringValueOrError(error);
      if (*error) return std::nullopt;
      return fnd::Value(fnd::FromUTF16(text));
    }
  }
}

}  // namespace

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity, APMPError* error) {
  return ValueFromEntity(entity, 0, error);
}

APMPValueRef APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity, APMPError* error) {
  return StatementFromEntity(entity, 0, error);
}

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromNSObject(const fnd::Value& object,
                                                                  const APMPScopeRef& scope,
                                                                  APMPError* error) {
  return ValueFromObject(object, scope, 0, error);
}

std::optional<fnd::Value> APMPRuntimeEntityConverter::objectFromRuntimeValue(
    const APMPValueRef& value, APMPError* error) {
  return ObjectFromValue(value, 0, error);
}

fnd::Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(const APMPMapValue& map,
                                                                   APMPError* error) {
  return DictionaryFromMap(map, 0, error);
}

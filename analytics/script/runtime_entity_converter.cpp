#include "analytics/script/runtime_entity_converter.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "analytics/proto/field_accessors.h"
#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/script/array_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/work_meter.h"
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

// What converting a tree made: entries and code units, charged to the loading program.
struct TreeCost {
  size_t entries = 0;
  size_t units = 0;
};

// The fields of an entity record, read in place: a tree is converted in one pass over the
// decoded records, without copying any subtree.
const NanoField* FieldOf(const NanoMessageInfo& info, int32_t position) {
  return info.hasSlots() ? info.field(position) : nullptr;
}

// The text of a string field, as the accessors read it: absent for no field, no bytes or bytes
// that are not UTF-8.
std::optional<std::string> TextOf(const NanoMessageInfo& info, int32_t position) {
  const NanoField* field = FieldOf(info, position);
  const NanoString* string = field ? field->string() : nullptr;
  if (!string || !string->bytes || !fnd::IsValidUTF8(*string->bytes)) return std::nullopt;
  return *string->bytes;
}

const uint64_t* CellOf(const NanoMessageInfo& info, int32_t position) {
  const NanoField* field = FieldOf(info, position);
  return field ? field->cell() : nullptr;
}

APMPValueRef ValueFromRecord(const NanoMessageInfo& info, int depth, TreeCost* cost,
                             APMPError* error);

APMPValueRef StatementFromRecord(const NanoMessageInfo& info, int depth, TreeCost* cost,
                                 APMPError* error) {
  std::optional<std::string> code = TextOf(info, APMPBRuntimeEntity::kStringValue);
  if (!code) return Fail(error, APMPErrorCodeMissingCommandCode);
  if (depth >= APMPMaximumNestingDepth) return Fail(error, APMPErrorCodeResourceLimit);
  cost->units += code->size();
  APMPValueList arguments;
  const NanoField* children = FieldOf(info, APMPBRuntimeEntity::kChildren);
  const NanoArray* array = children ? children->array() : nullptr;
  if (array && array->items) {
    arguments.reserve(array->items->size());
    for (const auto& item : *array->items) {
      const NanoMessageInfo* child = item ? item->message() : nullptr;
      if (!child) continue;  // The accessors skip an item they cannot read.
      arguments.push_back(ValueFromRecord(*child, depth + 1, cost, error));
      if (*error) return APMPUndefined();
    }
  }
  return std::make_shared<APMPStatementValue>(fnd::ToUTF16(*code), std::move(arguments));
}

APMPValueRef ValueFromRecord(const NanoMessageInfo& info, int depth, TreeCost* cost,
                             APMPError* error) {
  ++cost->entries;
  const uint64_t* type = CellOf(info, APMPBRuntimeEntity::kType);
  switch (type ? static_cast<int32_t>(static_cast<uint32_t>(*type)) : 0) {
    case kEntityString: {
      std::string text = TextOf(info, APMPBRuntimeEntity::kTag4String).value_or(std::string());
      cost->units += text.size();
      return APMPStringValue::stringWithUTF8(text);
    }
    case kEntityNumber: {
      double number = std::numeric_limits<double>::quiet_NaN();
      if (const uint64_t* cell = CellOf(info, APMPBRuntimeEntity::kNumberValue)) {
        std::memcpy(&number, cell, sizeof(number));
      }
      return APMPNumberValue::numberWithDouble(number);
    }
    case kEntityBoolean: {
      const uint64_t* cell = CellOf(info, APMPBRuntimeEntity::kBoolValue);
      return APMPBooleanValue::booleanValueWithBool(cell && (*cell & 0xFF) == 1);
    }
    case kEntityStatement:
      return StatementFromRecord(info, depth, cost, error);
    default:
      return Fail(error, APMPErrorCodeUnknownEntityType);
  }
}

// The record of an entity message, or an empty record when it has none.
const NanoMessageInfo& RecordOf(const APMPBRuntimeEntity& entity) {
  static const NanoMessageInfo* empty = new NanoMessageInfo();
  const NanoMessageInfo* info = entity.messageInfo();
  return info ? *info : *empty;
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

// The work of one conversion for the host: every value reached counts one (a value reached again
// through another reference counts again) and every string's code units count too, capped at
// APMPMaximumHostConversionSize; with a scope the same work is charged to its instruction count.
class HostBudget {
 public:
  explicit HostBudget(const APMPScopeRef& scope) {
    if (scope) {
      values_.emplace(scope, APMPElementsPerInstruction);
      units_.emplace(scope, APMPHostUnitsPerInstruction);
    }
  }
  bool addValue(APMPError* error) {
    if (++valuesReached_ > APMPMaximumHostConversionValues) {
      return APMPSetError(error, APMPErrorCodeResourceLimit);
    }
    return add(1, values_, error);
  }
  bool addUnits(size_t units, APMPError* error) { return add(units, units_, error); }
  size_t used() const { return used_; }

 private:
  bool add(size_t amount, std::optional<APMPWorkMeter>& meter, APMPError* error) {
    used_ += amount;
    if (used_ > APMPMaximumHostConversionSize) {
      return APMPSetError(error, APMPErrorCodeResourceLimit);
    }
    return !meter || meter->add(amount, error);
  }

  size_t used_ = 0;
  size_t valuesReached_ = 0;
  std::optional<APMPWorkMeter> values_;
  std::optional<APMPWorkMeter> units_;
};

std::optional<fnd::Value> ObjectFromValue(const APMPValueRef& value, int depth, HostBudget& budget,
                                          APMPError* error);

fnd::Dictionary DictionaryFromMap(const APMPMapValue& map, int depth, HostBudget& budget,
                                  APMPError* error) {
  fnd::Dictionary dictionary;
  if (depth >= APMPMaximumNestingDepth) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return dictionary;
  }
  for (const auto& [name, value] : map.propertyMap().entries()) {
    if (!budget.addUnits(name.size(), error)) return dictionary;
    std::optional<fnd::Value> converted = ObjectFromValue(value, depth + 1, budget, error);
    if (*error) return dictionary;
    if (converted) dictionary.set(fnd::Value(fnd::FromUTF16(name)), std::move(*converted));
  }
  return dictionary;
}

std::optional<fnd::Value> ObjectFromValue(const APMPValueRef& value, int depth, HostBudget& budget,
                                          APMPError* error) {
  if (!budget.addValue(error)) return std::nullopt;
  switch (value->kind()) {
    case APMPRuntimeValue::Kind::kNull:
      return std::nullopt;
    case APMPRuntimeValue::Kind::kUndefined:
      return fnd::Value("");
    case APMPRuntimeValue::Kind::kMap:
      return fnd::Value(
          DictionaryFromMap(static_cast<const APMPMapValue&>(*value), depth, budget, error));
    case APMPRuntimeValue::Kind::kArray: {
      fnd::Array array;
      if (depth >= APMPMaximumNestingDepth) {
        APMPSetError(error, APMPErrorCodeResourceLimit);
        return fnd::Value(std::move(array));
      }
      const auto& source = static_cast<const APMPArrayValue&>(*value);
      for (size_t i = 0; i < source.count(); ++i) {
        std::optional<fnd::Value> converted =
            ObjectFromValue(source.elementAtIndex(i), depth + 1, budget, error);
        if (*error) break;
        if (converted) array.push_back(std::move(*converted));
      }
      return fnd::Value(std::move(array));
    }
    case APMPRuntimeValue::Kind::kString: {
      const std::u16string& text = static_cast<const APMPStringValue&>(*value).value();
      if (!budget.addUnits(text.size(), error)) return std::nullopt;
      double number = APMPStringToNumber(text);
      if (!std::isnan(number)) return fnd::Value(number);
      return fnd::Value(fnd::FromUTF16(text));
    }
    default: {
      APMPError numberError;
      double number = value->doubleValueOrError(&numberError);
      if (!numberError && !std::isnan(number)) return fnd::Value(number);
      std::u16string text = value->stringValueOrError(error);
      if (*error) return std::nullopt;
      if (!budget.addUnits(text.size(), error)) return std::nullopt;
      return fnd::Value(fnd::FromUTF16(text));
    }
  }
}

}  // namespace

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity, APMPError* error) {
  TreeCost cost;
  return ValueFromRecord(RecordOf(entity), 0, &cost, error);
}

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity, const APMPScopeRef& scope, APMPError* error) {
  TreeCost cost;
  APMPValueRef value = ValueFromRecord(RecordOf(entity), 0, &cost, error);
  if (*error) return APMPUndefined();
  if (!APMPChargeWork(scope, cost.entries, APMPElementsPerInstruction, error) ||
      !APMPChargeWork(scope, cost.units, APMPCodeUnitsPerInstruction, error)) {
    return APMPUndefined();
  }
  return value;
}

APMPValueRef APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity, APMPError* error) {
  TreeCost cost;
  return StatementFromRecord(RecordOf(entity), 0, &cost, error);
}

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromNSObject(const fnd::Value& object,
                                                                  const APMPScopeRef& scope,
                                                                  APMPError* error) {
  return ValueFromObject(object, scope, 0, error);
}

std::optional<fnd::Value> APMPRuntimeEntityConverter::objectFromRuntimeValue(
    const APMPValueRef& value, APMPError* error) {
  HostBudget budget(nullptr);
  return ObjectFromValue(value, 0, budget, error);
}

std::optional<fnd::Value> APMPRuntimeEntityConverter::objectFromRuntimeValue(
    const APMPValueRef& value, const APMPScopeRef& scope, APMPError* error, size_t* size) {
  HostBudget budget(scope);
  std::optional<fnd::Value> object = ObjectFromValue(value, 0, budget, error);
  if (size) *size = budget.used();
  return object;
}

fnd::Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(const APMPMapValue& map,
                                                                   APMPError* error) {
  HostBudget budget(nullptr);
  return DictionaryFromMap(map, 0, budget, error);
}

// The variable commands: declarations, assignment, reads, property access, literals and typeof.
// Their handlers receive the evaluated argument values.
#include "analytics/script/array_value.h"
#include "analytics/script/command_evaluator.h"
#include "analytics/script/commands.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/function_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/scope.h"

namespace {

APMPValueRef Fail(APMPError* error, int64_t code) {
  APMPSetError(error, code);
  return APMPUndefined();
}

// The text of a name argument, or null (code 10) when it is no string value.
const std::u16string* NameArgument(const APMPValueRef& value, APMPError* error) {
  if (!value->isString()) {
    APMPSetError(error, APMPErrorCodeArgumentKind);
    return nullptr;
  }
  return &static_cast<const APMPStringValue&>(*value).value();
}

APMPValueRef Assign(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 2, error)) return APMPUndefined();
  const std::u16string* name = NameArgument(values[0], error);
  if (!name) return APMPUndefined();
  if (!scope->hasName(*name)) return Fail(error, APMPErrorCodeUndeclaredAssignment);
  scope->setValue(values[1], *name);
  return values[1];
}

APMPValueRef Const(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  if (values.size() % 2 != 0) return Fail(error, APMPErrorCodeArgumentCount);
  for (size_t i = 0; i < values.size(); i += 2) {
    const std::u16string* name = NameArgument(values[i], error);
    if (!name) return APMPUndefined();
    scope->addImmutableValue(values[i + 1], *name);
  }
  return APMPUndefined();
}

APMPValueRef CreateArray(const APMPValueList& values, const APMPScopeRef& scope, APMPError*) {
  return APMPObjectManager::arrayValueWithArray(values, scope);
}

APMPValueRef CreateObject(const APMPValueList& values, const APMPScopeRef& scope,
                          APMPError* error) {
  if (values.size() % 2 != 0) return Fail(error, APMPErrorCodeArgumentCount);
  auto map = APMPObjectManager::mapValueWithScope(scope);
  for (size_t i = 0; i < values.size(); i += 2) {
    std::u16string key = values[i]->stringValueOrError(error);
    if (*error) return APMPUndefined();
    map->setValue(values[i + 1], key);
  }
  return map;
}

APMPValueRef Get(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 1, error)) return APMPUndefined();
  const std::u16string* name = NameArgument(values[0], error);
  if (!name) return APMPUndefined();
  return scope->valueForName(*name);
}

// GetIndex and GetProperty.
APMPValueRef GetProperty(const APMPValueList& values, const APMPScopeRef&, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 2, error)) return APMPUndefined();
  const APMPValueRef& receiver = values[0];
  const APMPValueRef& key = values[1];
  switch (receiver->kind()) {
    case APMPRuntimeValue::Kind::kArray: {
      APMPValueRef result =
          static_cast<const APMPArrayValue&>(*receiver).valueForProperty(key, error);
      if (*error) return APMPUndefined();
      return result;
    }
    case APMPRuntimeValue::Kind::kMap:
    case APMPRuntimeValue::Kind::kFunction: {
      std::u16string name = key->stringValueOrError(error);
      if (*error) return APMPUndefined();
      return receiver->isMap()
                 ? static_cast<const APMPMapValue&>(*receiver).valueForProperty(name)
                 : static_cast<const APMPFunctionValue&>(*receiver).valueForProperty(name);
    }
    case APMPRuntimeValue::Kind::kString: {
      const std::u16string& text = static_cast<const APMPStringValue&>(*receiver).value();
      std::u16string name = key->stringValueOrError(error);
      if (*error) return APMPUndefined();
      if (name == APMPLengthPropertyName) {
        return APMPNumberValue::numberWithDouble(static_cast<double>(text.size()));
      }
      if (APMPIsZeroOrPositiveInteger(key)) {
        double index = key->doubleValueOrError(error);
        if (*error) return APMPUndefined();
        if (index < static_cast<double>(text.size())) {
          return APMPStringValue::stringWithString(
              std::u16string(1, text[static_cast<size_t>(index)]));
        }
      }
      return APMPUndefined();
    }
    default:
      return APMPUndefined();
  }
}

APMPValueRef Null(const APMPValueList&, const APMPScopeRef&, APMPError*) { return APMPNull(); }

APMPValueRef SetProperty(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 3, error)) return APMPUndefined();
  const APMPValueRef& receiver = values[0];
  const APMPValueRef& key = values[1];
  const APMPValueRef& value = values[2];
  switch (receiver->kind()) {
    case APMPRuntimeValue::Kind::kNull:
    case APMPRuntimeValue::Kind::kUndefined:
      return Fail(error, APMPErrorCodePropertyWriteOnNull);
    case APMPRuntimeValue::Kind::kArray:
      // The value is the result even when the write failed; the error tells the caller.
      static_cast<APMPArrayValue&>(*receiver).setValue(value, key, scope, error);
      return value;
    case APMPRuntimeValue::Kind::kMap:
    case APMPRuntimeValue::Kind::kFunction: {
      std::u16string name = key->stringValueOrError(error);
      if (*error) return APMPUndefined();
      if (receiver->isMap()) {
        static_cast<APMPMapValue&>(*receiver).setValue(value, name);
      } else {
        static_cast<APMPFunctionValue&>(*receiver).setValue(value, name);
      }
      return value;
    }
    default:
      return value;
  }
}

APMPValueRef TypeOf(const APMPValueList& values, const APMPScopeRef&, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 1, error)) return APMPUndefined();
  return APMPStringValue::stringWithString(std::u16string(APMPTypeName(values[0])));
}

APMPValueRef Undefined(const APMPValueList&, const APMPScopeRef&, APMPError*) {
  return APMPUndefined();
}

APMPValueRef Var(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  for (const auto& value : values) {
    const std::u16string* name = NameArgument(value, error);
    if (!name) return APMPUndefined();
    scope->addValue(APMPUndefined(), *name);
  }
  return APMPUndefined();
}

}  // namespace

APMPVariableCommandEvaluator::APMPVariableCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kEvaluated,
                                {
                                    {std::u16string(APMPCommandAssign), Assign},
                                    {std::u16string(APMPCommandConst), Const},
                                    {std::u16string(APMPCommandCreateArray), CreateArray},
                                    {std::u16string(APMPCommandCreateObject), CreateObject},
                                    {std::u16string(APMPCommandGet), Get},
                                    {std::u16string(APMPCommandGetIndex), GetProperty},
                                    {std::u16string(APMPCommandGetProperty), GetProperty},
                                    {std::u16string(APMPCommandNull), Null},
                                    {std::u16string(APMPCommandSetProperty), SetProperty},
                                    {std::u16string(APMPCommandTypeof), TypeOf},
                                    {std::u16string(APMPCommandUndefined), Undefined},
                                    {std::u16string(APMPCommandVar), Var},
                                }) {}

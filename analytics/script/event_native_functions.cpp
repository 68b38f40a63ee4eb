#include "analytics/script/event_native_functions.h"

#include <cmath>
#include <limits>

#include "analytics/script/array_value.h"
#include "analytics/script/editing_callback_handler.h"
#include "analytics/script/editing_error.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/event_context.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/runtime.h"
#include "analytics/script/runtime_entity_converter.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/work_meter.h"
#include "platform/foundation/text.h"

namespace {

APMPValueRef Fail(APMPError* error, int64_t code) {
  APMPSetError(error, code);
  return APMPUndefined();
}

APMPValueRef GetEventName(const APMPValueList& arguments, const APMPScopeRef&,
                          APMPEventContext& context, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  return APMPStringValue::stringWithUTF8(context.outputEvent().name());
}

APMPValueRef GetParameter(const APMPValueList& arguments, const APMPScopeRef& scope,
                          APMPEventContext& context, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 1, error)) return APMPUndefined();
  std::u16string name = arguments[0]->stringValueOrError(error);
  if (*error) return APMPUndefined();
  const fnd::Value* value = context.outputEvent().parameterForName(fnd::FromUTF16(name));
  if (!value) return APMPNull();
  APMPValueRef result = APMPRuntimeEntityConverter::runtimeValueFromNSObject(*value, scope, error);
  if (*error) return APMPUndefined();
  return result;
}

APMPValueRef GetParameters(const APMPValueList& arguments, const APMPScopeRef& scope,
                           APMPEventContext& context, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  auto map = APMPObjectManager::mapValueWithScope(scope);
  for (const auto& [key, value] : context.outputEvent().parameters()) {
    APMPValueRef converted =
        APMPRuntimeEntityConverter::runtimeValueFromNSObject(value, scope, error);
    if (*error) return APMPUndefined();
    map->setValue(std::move(converted), fnd::ToUTF16(key.asString()));
  }
  return map;
}

APMPValueRef GetTimestamp(const APMPValueList& arguments, const APMPScopeRef&,
                          APMPEventContext& context, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  return APMPNumberValue::numberWithDouble(context.outputEvent().timestamp());
}

// The string form of a value for the host: charged by its length (an array's joined text like
// elements, as join charges it) and capped at APMPMaximumHostConversionSize code units.
bool HostText(const APMPValueRef& value, const APMPScopeRef& scope, std::u16string* text,
              APMPError* error) {
  auto array = APMPCast<APMPArrayValue>(value);
  if (array && !APMPChargeWork(scope, array->count(), APMPElementsPerInstruction, error)) {
    return false;
  }
  *text = value->stringValueOrError(error);
  if (*error) return false;
  if (text->size() > APMPMaximumHostConversionSize) {
    return APMPSetError(error, APMPErrorCodeResourceLimit);
  }
  return APMPChargeWork(scope, text->size(),
                        array ? APMPElementsPerInstruction : APMPHostUnitsPerInstruction, error);
}

APMPValueRef SetEventName(const APMPValueList& arguments, const APMPScopeRef& scope,
                          APMPEventContext& context, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 1, error)) return APMPUndefined();
  if (arguments[0]->isUndefined() || arguments[0]->isNull()) {
    return Fail(error, APMPErrorCodeArgumentKind);
  }
  std::u16string name;
  if (!HostText(arguments[0], scope, &name, error)) return APMPUndefined();
  context.mutableOutputEvent().setName(fnd::FromUTF16(name));
  return APMPStringValue::stringWithString(std::move(name));
}

APMPValueRef SetParameter(const APMPValueList& arguments, const APMPScopeRef& scope,
                          APMPEventContext& context, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 2, error)) return APMPUndefined();
  std::u16string name;
  if (!HostText(arguments[0], scope, &name, error)) return APMPUndefined();
  std::optional<fnd::Value> value =
      APMPRuntimeEntityConverter::objectFromRuntimeValue(arguments[1], scope, error);
  if (*error) return APMPUndefined();
  context.mutableOutputEvent().setParameter(value, fnd::FromUTF16(name));
  return arguments[1];
}

const std::unordered_map<std::u16string, APMPEventNativeFunctions::Handler>& Handlers() {
  static const auto* handlers =
      new std::unordered_map<std::u16string, APMPEventNativeFunctions::Handler>{
          {std::u16string(APMPEEventNativeCommandGetEventName), GetEventName},
          {std::u16string(APMPEEventNativeCommandGetParameter), GetParameter},
          {std::u16string(APMPEEventNativeCommandGetParameters), GetParameters},
          {std::u16string(APMPEEventNativeCommandGetTimestamp), GetTimestamp},
          {std::u16string(APMPEEventNativeCommandSetEventName), SetEventName},
          {std::u16string(APMPEEventNativeCommandSetParameter), SetParameter},
      };
  return *handlers;
}

}  // namespace

// Event object.

APMPEventNativeFunctions::APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> context)
    : eventContext_(std::move(context)) {}

APMPValueRef APMPEventNativeFunctions::applyWithName(const std::u16string& name,
                                                     const APMPValueList& arguments,
                                                     const APMPScopeRef& scope, APMPError* error) {
  auto it = Handlers().find(name);
  if (it == Handlers().end()) return APMPMapValue::applyWithName(name, arguments, scope, error);
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  APMPValueRef result = it->second(values, scope, *eventContext_, error);
  if (*error) return APMPUndefined();
  return result;
}

// Event logger.

APMPEventLogger::APMPEventLogger(std::shared_ptr<APMPEventContext> context)
    : APMPFunctionValue(u"internal.eventLogger"), eventContext_(std::move(context)) {}

APMPValueRef APMPEventLogger::invokeWithArguments(const APMPValueList& arguments,
                                                  const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 3, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  std::u16string name;
  if (!HostText(values[0], scope, &name, error)) return APMPUndefined();
  double seconds = APMPToInteger(values[1]->doubleValueOrError(error));
  if (*error) return APMPUndefined();
  auto map = APMPCast<APMPMapValue>(values[2]);
  if (!map) return Fail(error, APMPErrorCodeArgumentKind);
  // The parameters convert as one host value: the cap covers them together.
  size_t size = 0;
  std::optional<fnd::Value> converted =
      APMPRuntimeEntityConverter::objectFromRuntimeValue(map, scope, error, &size);
  if (*error) return APMPUndefined();
  fnd::Dictionary parameters;
  if (converted && converted->dictionary()) parameters = *converted->dictionary();
  // Each created event is stored like a logged one: their number and size per input event are
  // capped.
  if (eventContext_->eventsToLog().size() >= APMPMaximumCreatedEvents ||
      !eventContext_->addCreatedSize(name.size() + size, APMPMaximumCreatedEventsSize)) {
    return Fail(error, APMPErrorCodeInstructionLimit);
  }
  // Out-of-range times are clamped rather than converted with undefined behaviour.
  int64_t timestamp = 0;
  if (seconds >= 9.2233720368547758e18) {
    timestamp = std::numeric_limits<int64_t>::max();
  } else if (seconds <= -9.2233720368547758e18) {
    timestamp = std::numeric_limits<int64_t>::min();
  } else {
    timestamp = static_cast<int64_t>(seconds);
  }
  eventContext_->logEventWithName(fnd::FromUTF16(name), timestamp, parameters);
  return APMPUndefined();
}

// registerCallback.

APMPRegisterCallbackNativeFunctionValue::APMPRegisterCallbackNativeFunctionValue(
    std::weak_ptr<APMPEditingCallbackHandler> handler)
    : APMPFunctionValue(u"internal.registerCallback"), callbackHandler_(std::move(handler)) {}

APMPValueRef APMPRegisterCallbackNativeFunctionValue::invokeWithArguments(
    const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 3, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  auto callback = APMPCast<APMPFunctionValue>(values[1]);
  auto options = APMPCast<APMPMapValue>(values[2]);
  if (!callback || !options) return Fail(error, APMPErrorCodeArgumentKind);
  const std::u16string typeOption(APMPERegisterCallbackTypeOption);
  if (!options->hasProperty(typeOption)) {
    APMPESetError(error, APMPEErrorCodeMissingCallbackType);
    return APMPUndefined();
  }
  std::u16string type = options->valueForProperty(typeOption)->stringValueOrError(error);
  if (*error) return APMPUndefined();
  int32_t priority = APMPEDefaultPriority;
  const std::u16string priorityOption(APMPERegisterCallbackPriorityOption);
  if (options->hasProperty(priorityOption)) {
    double number = options->valueForProperty(priorityOption)->doubleValueOrError(error);
    if (*error) return APMPUndefined();
    priority = APMPToInt32(number);
  }
  if (auto handler = callbackHandler_.lock()) {
    handler->registerWithPriority(priority, std::move(callback), type, error);
  }
  return APMPUndefined();
}

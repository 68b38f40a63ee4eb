#include "analytics/script/editing_callback_handler.h"

#include <vector>

#include "analytics/script/editing_error.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/event_context.h"
#include "analytics/script/event_native_functions.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/release_queue.h"
#include "analytics/script/scope.h"

APMPEditingCallbackHandler::~APMPEditingCallbackHandler() { removeAllCallbacks(); }

void APMPEditingCallbackHandler::removeAllCallbacks() {
  auto edits = std::move(editCallbackMap_);
  auto creates = std::move(createCallbackMap_);
  editCallbackMap_.clear();
  createCallbackMap_.clear();
  for (auto& entry : edits) APMPReleaseLater(std::move(entry.second));
  for (auto& entry : creates) APMPReleaseLater(std::move(entry.second));
}

bool APMPEditingCallbackHandler::registerWithPriority(int32_t priority,
                                                      std::shared_ptr<APMPFunctionValue> callback,
                                                      const std::u16string& ruleType,
                                                      APMPError* error) {
  if (editCallbackMap_.size() + createCallbackMap_.size() >= static_cast<size_t>(APMPEMaxRules)) {
    return APMPESetError(error, APMPEErrorCodeTooManyCallbacks);
  }
  if (ruleType == APMPECallbackTypeCreate) {
    addCallback(std::move(callback), createCallbackMap_, priority);
  } else if (ruleType == APMPECallbackTypeEdit) {
    addCallback(std::move(callback), editCallbackMap_, priority);
  } else {
    return APMPESetError(error, APMPEErrorCodeUnknownCallbackType);
  }
  return true;
}

void APMPEditingCallbackHandler::addCallback(
    std::shared_ptr<APMPFunctionValue> callback,
    std::map<int64_t, std::shared_ptr<APMPFunctionValue>>& map, int64_t priority) {
  int64_t key = priority;
  if (map.count(key)) key = map.rbegin()->first + 1;
  map[key] = std::move(callback);
}

int32_t APMPEditingCallbackHandler::invokeCallbackWithScope(
    const APMPScopeRef& scope, const std::shared_ptr<APMPFunctionValue>& callback,
    const APMPValueRef& eventHandler, APMPError* error) {
  APMPValueRef result = callback->invokeWithArguments({eventHandler}, scope, error);
  if (*error) return APMPECallbackError;
  if (auto number = APMPCast<APMPNumberValue>(result)) return APMPToInt32(number->value());
  return APMPECallbackUnknown;
}

bool APMPEditingCallbackHandler::triggerCallbacksWithScope(
    const APMPScopeRef& scope, const std::shared_ptr<APMPEventContext>& context, APMPError* error) {
  auto eventObject = std::make_shared<APMPEventNativeFunctions>(context);
  // Scripts may hang values on the event object; the collector empties it once unreachable.
  if (auto manager = scope->objectManager()) manager->addObject(eventObject);
  // Callbacks may register further callbacks while they run; those run from the next event on.
  std::vector<std::shared_ptr<APMPFunctionValue>> edits;
  for (const auto& entry : editCallbackMap_) edits.push_back(entry.second);
  std::vector<std::shared_ptr<APMPFunctionValue>> creates;
  for (const auto& entry : createCallbackMap_) creates.push_back(entry.second);

  for (const auto& callback : edits) {
    APMPEvent snapshot = context->outputEvent();
    APMPError callbackError;
    int32_t result = invokeCallbackWithScope(scope, callback, eventObject, &callbackError);
    if (callbackError) {
      context->setOutputEvent(snapshot);
      if (error) *error = std::move(callbackError);
      return false;
    }
    if (result == APMPECallbackError || result == APMPECallbackUnknown) {
      context->setOutputEvent(snapshot);
    }
  }
  for (const auto& callback : creates) {
    APMPError callbackError;
    invokeCallbackWithScope(scope, callback, eventObject, &callbackError);
    if (callbackError) {
      if (error) *error = std::move(callbackError);
      return false;
    }
  }
  return true;
}

void APMPEditingCallbackHandler::mark(APMPMarker& marker) {
  for (const auto& entry : editCallbackMap_) marker.markValue(entry.second);
  for (const auto& entry : createCallbackMap_) marker.markValue(entry.second);
}

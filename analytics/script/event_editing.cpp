#include "analytics/script/event_editing.h"

#include "analytics/proto/field_accessors.h"
#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/script/editing_callback_handler.h"
#include "analytics/script/editing_error.h"
#include "analytics/script/event_context.h"
#include "analytics/script/event_native_functions.h"
#include "analytics/script/map_value.h"
#include "analytics/script/memory_account.h"
#include "analytics/script/runtime.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/scope.h"
#include "platform/foundation/text.h"

namespace {

bool Fail(fnd::Error* out, APMPError& error) {
  if (out && error) *out = std::move(*error);
  return false;
}

std::vector<std::shared_ptr<APMPBRuntimeEntity>> Entities(const NANOMessageBase& message,
                                                          int32_t position) {
  std::vector<std::shared_ptr<APMPBRuntimeEntity>> entities;
  std::optional<fnd::Array> items =
      NANOGetArray(&message, position, &APMPBRuntimeEntity::messageClass());
  if (!items) return entities;
  for (const auto& item : *items) {
    if (auto entity = item.recordAs<APMPBRuntimeEntity>()) entities.push_back(std::move(entity));
  }
  return entities;
}

}  // namespace

APMPEventEditing::APMPEventEditing() : APMPEventEditing(std::make_unique<APMPRuntime>()) {}

APMPEventEditing::APMPEventEditing(std::unique_ptr<APMPRuntime> runtime)
    : runtime_(runtime ? std::move(runtime) : std::make_unique<APMPRuntime>()),
      eventContext_(std::make_shared<APMPEventContext>()),
      callbackHandler_(std::make_shared<APMPEditingCallbackHandler>()) {
  runtime_->addGarbageCollectionRoot(callbackHandler_);
  std::weak_ptr<APMPEditingCallbackHandler> handler = callbackHandler_;
  runtime_->setModuleCreator(
      [handler] { return std::make_shared<APMPRegisterCallbackNativeFunctionValue>(handler); },
      APMPEModuleRegisterCallback);
  std::shared_ptr<APMPEventContext> context = eventContext_;
  runtime_->setModuleCreator([context] { return std::make_shared<APMPEventLogger>(context); },
                             APMPEModuleEventLogger);
}

APMPEventEditing::~APMPEventEditing() {
  callbackHandler_->removeAllCallbacks();
  runtime_.reset();
}

void APMPEventEditing::setModuleCreator(APMPModuleCreator creator, const std::string& name) {
  runtime_->setModuleCreator(std::move(creator), name);
}

bool APMPEventEditing::loadProgram(const APMPBProgram& program, fnd::Error* out) {
  APMPMemoryAccount::Activation activation(runtime_->memoryAccount());
  APMPError error;
  APMPValueRef result =
      runtime_->executeStatements(Entities(program, APMPBProgram::kEntities), &error);
  if (error) return Fail(out, error);
  if (result->isControl()) {
    APMPESetError(&error, APMPEErrorCodeProgramEndedInControl);
    return Fail(out, error);
  }
  if (auto activities = NANOGetMessage<APMPBOgtActivities>(&program, APMPBProgram::kActivities)) {
    std::optional<fnd::Array> items = NANOGetArray(
        activities.get(), APMPBOgtActivities::kActivities, &APMPBOgtActivity::messageClass());
    for (const auto& item : items.value_or(fnd::Array())) {
      auto activity = item.recordAs<APMPBOgtActivity>();
      if (activity && !loadActivityData(*activity, out)) return false;
    }
  }
  runtime_->collectGarbage();
  return true;
}

bool APMPEventEditing::loadActivityData(const APMPBOgtActivity& activity, fnd::Error* out) {
  std::string name = NANOGetString(&activity, APMPBOgtActivity::kName).value_or(std::string());
  for (const auto& entity : Entities(activity, APMPBOgtActivity::kEntities)) {
    APMPError error;
    APMPValueRef result = runtime_->executeStatements({entity}, &error);
    if (error) return Fail(out, error);
    auto rule = APMPCast<APMPMapValue>(result);
    if (!rule) {
      APMPESetError(&error, APMPEErrorCodeActivityDataNotAMap);
      return Fail(out, error);
    }
    if (!registerRuleWithName(name, rule, out)) return false;
  }
  return true;
}

bool APMPEventEditing::registerRuleWithName(const std::string& name,
                                            const std::shared_ptr<APMPMapValue>& rule,
                                            fnd::Error* out) {
  APMPMemoryAccount::Activation activation(runtime_->memoryAccount());
  APMPScopeRef scope = runtime_->getRunScope();
  APMPError error;
  auto function = APMPCast<APMPFunctionValue>(scope->valueForName(fnd::ToUTF16(name)));
  if (!function) {
    APMPESetError(&error, APMPEErrorCodeActivityNotAFunction);
    return Fail(out, error);
  }
  function->invokeWithArguments({rule}, scope, &error);
  if (error) return Fail(out, error);
  return true;
}

bool APMPEventEditing::handleEvent(const APMPEvent& event, fnd::Error* out) {
  eventContext_->setInputEvent(event);
  APMPError error;
  if (gaveUp_) {
    APMPSetError(&error, APMPErrorCodeInstructionLimit);
    return Fail(out, error);
  }
  {
    APMPMemoryAccount::Activation activation(runtime_->memoryAccount());
    runtime_->resetInstructionCount();
    APMPScopeRef scope = runtime_->getRunScope();
    callbackHandler_->triggerCallbacksWithScope(scope, eventContext_, &error);
  }
  runtime_->collectGarbage();
  if (!error && runtime_->memoryAccount()->liveBytes() > APMPMaximumRuntimeMemory) {
    // What the program keeps between events has outgrown its bound: it would only grow further.
    // The program is given up and its memory freed; this and every later event fail.
    gaveUp_ = true;
    callbackHandler_->removeAllCallbacks();
    runtime_->globalScope()->removeAllValues();
    runtime_->collectGarbage();
    APMPSetError(&error, APMPErrorCodeInstructionLimit);
  }
  if (error) return Fail(out, error);
  return hasEdits() || hasCreatedEvents();
}

bool APMPEventEditing::hasEdits() const {
  return !eventContext_->outputEvent().isEqualToEvent(eventContext_->inputEvent());
}

bool APMPEventEditing::hasCreatedEvents() const { return !eventContext_->eventsToLog().empty(); }

#include "analytics/script/function_value.h"

#include <limits>

#include "analytics/script/command_registrar.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/release_queue.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/scope.h"

APMPFunctionValue::APMPFunctionValue(std::u16string functionName,
                                     std::vector<std::u16string> parameterNames,
                                     APMPValueList statements, APMPScopeRef definingScope)
    : APMPRuntimeValue(kKind),
      functionName_(std::move(functionName)),
      parameters_(std::move(parameterNames)),
      statements_(std::move(statements)),
      definingScope_(definingScope ? std::move(definingScope) : APMPScope::create()) {}

APMPFunctionValue::APMPFunctionValue(std::u16string functionName)
    : APMPFunctionValue(std::move(functionName), {}, {}, APMPScope::create()) {}

APMPFunctionValue::~APMPFunctionValue() {
  APMPReleaseAllLater(spareScopes_);
  APMPReleaseAllLater(statements_);
  APMPReleaseLater(std::move(definingScope_));
}

APMPValueRef APMPFunctionValue::invokeWithArguments(const APMPValueList& arguments,
                                                    const APMPScopeRef& scope, APMPError* error) {
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  return invokeWithEvaluatedArguments(values, error);
}

APMPValueRef APMPFunctionValue::invokeWithEvaluatedArguments(const APMPValueList& arguments,
                                                             APMPError* error) {
  // The body may drop the last outside reference to this function (by reassigning its name), so
  // the function and what it owns stay alive until the call ends.
  auto self = shared_from_this();
  std::vector<const APMPValueRef*> pointers;
  pointers.reserve(arguments.size());
  for (const auto& argument : arguments) pointers.push_back(&argument);
  return callWithEvaluatedArguments(pointers.data(), pointers.size(), error);
}

APMPValueRef APMPFunctionValue::callWithEvaluatedArguments(const APMPValueRef* const* arguments,
                                                           size_t count, APMPError* error) {
  // The statements are read in place: nothing changes them while the function is alive (only a
  // collection empties them, and none runs during evaluation).
  APMPScopeRef callScope;
  if (!spareScopes_.empty()) {
    callScope = std::move(spareScopes_.back());
    spareScopes_.pop_back();
    callScope->refillParameters(arguments, count);
  } else {
    callScope = APMPScope::create(definingScope_ ? definingScope_ : APMPScope::create());
    callScope->declareParameters(parameters_, arguments, count);
  }
  APMPValueRef result =
      APMPCommandRegistrar::sharedInstance().executeFunctionBody(statements_, callScope, error);
  // The scope is kept for the next call only when it is as a fresh one would be after its
  // parameters were declared, and no one else can see it.
  if (definingScope_ && spareScopes_.size() < kMaximumSpareScopes &&
      callScope->parentScope() == definingScope_ &&
      APMPScope::DropParametersForReuse(callScope, parameters_)) {
    spareScopes_.push_back(std::move(callScope));
    if (spareScopes_.size() > sparePeak_) {
      sparePeak_ = spareScopes_.size();
      spareTicket_.set(
          static_cast<int64_t>(sparePeak_) *
          (APMPMemoryPerValue + static_cast<int64_t>(parameters_.size()) * APMPMemoryPerEntry));
    }
  }
  return result;
}

std::u16string APMPFunctionValue::stringValueOrError(APMPError*) const { return functionName_; }

double APMPFunctionValue::doubleValueOrError(APMPError*) const {
  return std::numeric_limits<double>::quiet_NaN();
}

bool APMPFunctionValue::booleanValueOrError(APMPError*) const { return true; }

APMPValueRef APMPFunctionValue::applyWithName(const std::u16string& name,
                                              const APMPValueList& arguments,
                                              const APMPScopeRef& scope, APMPError* error) {
  auto self = shared_from_this();
  bool handled = false;
  APMPValueRef result = applyPropertyMethod(name, arguments, scope, &handled, error);
  if (handled) return result;
  return APMPRuntimeValue::applyWithName(name, arguments, scope, error);
}

void APMPFunctionValue::mark(APMPMarker& marker) {
  markProperties(marker);
  for (const auto& statement : statements_) marker.markValue(statement);
  marker.markScope(definingScope_);
}

void APMPFunctionValue::sweep() {
  if (marked_) {
    marked_ = false;
    return;
  }
  APMPReleaseAllLater(spareScopes_);
  sparePeak_ = 0;
  spareTicket_.set(0);
  APMPReleaseAllLater(statements_);
  APMPReleaseLater(std::move(definingScope_));
  definingScope_ = nullptr;
  propertyMap_.clear();
}

bool APMPFunctionValue::isEqualAtDepth(const APMPRuntimeValue& other, int) const {
  if (this == &other) return true;
  if (!other.isFunction()) return false;
  return !functionName_.empty() &&
         functionName_ == static_cast<const APMPFunctionValue&>(other).functionName_;
}

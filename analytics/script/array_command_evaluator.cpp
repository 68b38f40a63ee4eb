#include "analytics/script/array_command_evaluator.h"

#include "analytics/script/array_methods.h"
#include "analytics/script/evaluator.h"

const APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
  static const APMPArrayCommandEvaluator* instance = new APMPArrayCommandEvaluator();
  return *instance;
}

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator() : handlers_(APMPArrayMethodHandlers()) {}

APMPValueRef APMPArrayCommandEvaluator::evaluateCommand(
    const std::u16string& name, const std::shared_ptr<APMPArrayValue>& array,
    const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) const {
  auto it = handlers_.find(name);
  if (it == handlers_.end()) {
    APMPSetError(error, APMPErrorCodeUnknownMethod);
    return APMPUndefined();
  }
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  return it->second(array, values, scope, error);
}

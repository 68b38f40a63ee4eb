#include "analytics/script/string_command_evaluator.h"

#include "analytics/script/evaluator.h"
#include "analytics/script/string_methods.h"

const APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
  static const APMPStringCommandEvaluator* instance = new APMPStringCommandEvaluator();
  return *instance;
}

APMPStringCommandEvaluator::APMPStringCommandEvaluator() : handlers_(APMPStringMethodHandlers()) {}

APMPValueRef APMPStringCommandEvaluator::evaluateCommand(const std::u16string& name,
                                                         const std::u16string& text,
                                                         const APMPValueList& arguments,
                                                         const APMPScopeRef& scope,
                                                         APMPError* error) const {
  auto it = handlers_.find(name);
  if (it == handlers_.end()) {
    APMPSetError(error, APMPErrorCodeUnknownMethod);
    return APMPUndefined();
  }
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  return it->second(text, values, scope, error);
}

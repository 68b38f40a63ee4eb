#include "analytics/script/command_registrar.h"

#include "analytics/script/evaluator.h"
#include "analytics/script/function_value.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/scope.h"

namespace {

// Evaluations nested on this thread.
thread_local int evaluationDepth = 0;

class DepthGuard {
 public:
  DepthGuard() { ++evaluationDepth; }
  ~DepthGuard() { --evaluationDepth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

}  // namespace

APMPValueRef APMPFunctionEvaluator::evaluateCommand(const std::u16string& command,
                                                    const APMPValueList& arguments,
                                                    const APMPScopeRef& scope,
                                                    APMPError* error) const {
  auto function = APMPCast<APMPFunctionValue>(scope->valueForName(command));
  if (!function) return APMPUndefined();
  return function->invokeWithArguments(arguments, scope, error);
}

const APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
  static const APMPCommandRegistrar* instance = [] {
    auto* registrar = new APMPCommandRegistrar();
    registrar->registerEvaluator(std::make_shared<APMPBitwiseCommandEvaluator>());
    registrar->registerEvaluator(std::make_shared<APMPComparisonCommandEvaluator>());
    registrar->registerEvaluator(std::make_shared<APMPControlCommandEvaluator>());
    registrar->registerEvaluator(std::make_shared<APMPLogicalCommandEvaluator>());
    registrar->registerEvaluator(std::make_shared<APMPLoopCommandEvaluator>());
    registrar->registerEvaluator(std::make_shared<APMPMathCommandEvaluator>());
    registrar->registerEvaluator(std::make_shared<APMPVariableCommandEvaluator>());
    return registrar;
  }();
  return *instance;
}

APMPCommandRegistrar::APMPCommandRegistrar() = default;

void APMPCommandRegistrar::registerEvaluator(
    const std::shared_ptr<const APMPCommandEvaluator>& evaluator) {
  if (!evaluator) return;
  for (const auto& command : evaluator->allSupportedCommands()) {
    commandEvaluators_[command] = evaluator;
  }
}

APMPValueRef APMPCommandRegistrar::evaluateStatement(const APMPValueRef& statement,
                                                     const APMPScopeRef& scope,
                                                     APMPError* error) const {
  APMPIncrementInstructionCounter(scope, error);
  if (*error) return APMPUndefined();
  auto node = APMPCast<APMPStatementValue>(statement);
  if (!node) return statement ? statement : APMPUndefined();
  if (evaluationDepth >= APMPMaximumEvaluationDepth) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return APMPUndefined();
  }
  DepthGuard guard;
  const APMPCommandEvaluator* evaluator = evaluatorForCommand(node->functionName());
  if (!evaluator) evaluator = &functionEvaluator_;
  APMPValueRef result =
      evaluator->evaluateCommand(node->functionName(), node->arguments(), scope, error);
  if (*error) return APMPUndefined();
  return result ? result : APMPUndefined();
}

const APMPCommandEvaluator* APMPCommandRegistrar::evaluatorForCommand(
    const std::u16string& command) const {
  auto it = commandEvaluators_.find(command);
  return it == commandEvaluators_.end() ? nullptr : it->second.get();
}

std::vector<std::u16string> APMPCommandRegistrar::allCommands() const {
  std::vector<std::u16string> commands;
  for (const auto& entry : commandEvaluators_) commands.push_back(entry.first);
  return commands;
}

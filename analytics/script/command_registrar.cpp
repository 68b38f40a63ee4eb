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
    // Resolve every code now, so that statements can keep a pointer to their entry.
    for (const auto& command : registrar->allCommands()) {
      registrar->dispatches_.emplace(command, registrar->resolve(command));
    }
    registrar->functionDispatch_.evaluator = &registrar->functionEvaluator_;
    registrar->cachesDispatch_ = true;
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
  if (!statement || !statement->isStatement()) return statement ? statement : APMPUndefined();
  // The caller's reference keeps the statement alive for the whole evaluation.
  const auto* node = static_cast<const APMPStatementValue*>(statement.get());
  if (evaluationDepth >= APMPMaximumEvaluationDepth) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return APMPUndefined();
  }
  DepthGuard guard;
  APMPValueRef result;
  if (cachesDispatch_) {
    auto dispatch = static_cast<const Dispatch*>(node->dispatch());
    if (!dispatch) {
      auto it = dispatches_.find(node->functionName());
      dispatch = it == dispatches_.end() ? &functionDispatch_ : &it->second;
      node->setDispatch(dispatch);
    }
    result = dispatch->handler ? APMPTableCommandEvaluator::Run(dispatch->mode, dispatch->handler,
                                                                node->arguments(), scope, error)
                               : dispatch->evaluator->evaluateCommand(
                                     node->functionName(), node->arguments(), scope, error);
  } else {
    const APMPCommandEvaluator* evaluator = evaluatorForCommand(node->functionName());
    if (!evaluator) evaluator = &functionEvaluator_;
    result = evaluator->evaluateCommand(node->functionName(), node->arguments(), scope, error);
  }
  if (*error) return APMPUndefined();
  return result ? result : APMPUndefined();
}

APMPCommandRegistrar::Dispatch APMPCommandRegistrar::resolve(const std::u16string& command) const {
  Dispatch dispatch;
  dispatch.evaluator = evaluatorForCommand(command);
  if (auto table = dynamic_cast<const APMPTableCommandEvaluator*>(dispatch.evaluator)) {
    dispatch.handler = table->handlerForCommand(command);
    dispatch.mode = table->argumentMode();
  }
  return dispatch;
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

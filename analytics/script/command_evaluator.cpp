#include "analytics/script/command_evaluator.h"

#include "analytics/script/evaluator.h"

APMPValueRef APMPCommandEvaluator::evaluateCommand(const std::u16string&, const APMPValueList&,
                                                   const APMPScopeRef&, APMPError*) const {
  return APMPUndefined();
}

std::vector<std::u16string> APMPCommandEvaluator::allSupportedCommands() const { return {}; }

APMPTableCommandEvaluator::APMPTableCommandEvaluator(
    ArgumentMode mode, std::unordered_map<std::u16string, APMPCommandHandler> handlers)
    : mode_(mode), handlers_(std::move(handlers)) {}

APMPValueRef APMPTableCommandEvaluator::evaluateCommand(const std::u16string& command,
                                                        const APMPValueList& arguments,
                                                        const APMPScopeRef& scope,
                                                        APMPError* error) const {
  APMPCommandHandler handler = handlerForCommand(command);
  if (!handler) return APMPUndefined();
  return Run(mode_, handler, arguments, scope, error);
}

APMPCommandHandler APMPTableCommandEvaluator::handlerForCommand(
    const std::u16string& command) const {
  auto it = handlers_.find(command);
  return it == handlers_.end() ? nullptr : it->second;
}

APMPValueRef APMPTableCommandEvaluator::Run(ArgumentMode mode, APMPCommandHandler handler,
                                            const APMPValueList& arguments,
                                            const APMPScopeRef& scope, APMPError* error) {
  switch (mode) {
    case ArgumentMode::kRaw:
      return handler(arguments, scope, error);
    case ArgumentMode::kExactlyTwoEvaluated:
      if (!APMPHasExpectedArgumentLength(arguments, 2, error)) return APMPUndefined();
      [[fallthrough]];
    case ArgumentMode::kEvaluated: {
      APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
      if (*error) return APMPUndefined();
      return handler(values, scope, error);
    }
  }
  return APMPUndefined();
}

std::vector<std::u16string> APMPTableCommandEvaluator::allSupportedCommands() const {
  std::vector<std::u16string> commands;
  commands.reserve(handlers_.size());
  for (const auto& entry : handlers_) commands.push_back(entry.first);
  return commands;
}

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
  auto it = handlers_.find(command);
  if (it == handlers_.end() || !it->second) return APMPUndefined();
  switch (mode_) {
    case ArgumentMode::kRaw:
      return it->second(arguments, scope, error);
    case ArgumentMode::kExactlyTwoEvaluated:
      if (!APMPHasExpectedArgumentLength(arguments, 2, error)) return APMPUndefined();
      [[fallthrough]];
    case ArgumentMode::kEvaluated: {
      APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
      if (*error) return APMPUndefined();
      return it->second(values, scope, error);
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

// The control commands: function definitions, branches, statement lists, method calls and
// break/continue/return. Their handlers receive the unevaluated argument nodes.
#include "analytics/script/array_value.h"
#include "analytics/script/command_evaluator.h"
#include "analytics/script/commands.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/function_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/scope.h"

namespace {

APMPValueRef Fail(APMPError* error, int64_t code) {
  APMPSetError(error, code);
  return APMPUndefined();
}

// Runs an array value's elements (holes read as undefined) as a statement list in `scope`.
APMPValueRef RunStatementList(const APMPArrayValue& list, const APMPScopeRef& scope,
                              APMPError* error) {
  return APMPEvaluator::executeStatements(list.allElements(), scope, error);
}

APMPValueRef Apply(const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 3, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  auto name = APMPCast<APMPStringValue>(values[1]);
  auto list = APMPCast<APMPArrayValue>(values[2]);
  if (!name || !list) return Fail(error, APMPErrorCodeArgumentKind);
  APMPValueRef receiver = values[0];
  APMPValueRef result = receiver->applyWithName(name->value(), list->allElements(), scope, error);
  if (*error) return APMPUndefined();
  return result;
}

APMPValueRef Block(const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) {
  return APMPEvaluator::executeStatements(arguments, scope->createChildScope(), error);
}

APMPValueRef Break(const APMPValueList& arguments, const APMPScopeRef&, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  return APMPControlValue::breakValue();
}

APMPValueRef Continue(const APMPValueList& arguments, const APMPScopeRef&, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  return APMPControlValue::continueValue();
}

// Case and Default: the body of a Switch, run in the current scope.
APMPValueRef Case(const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 1, error)) return APMPUndefined();
  APMPValueRef body = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (*error) return APMPUndefined();
  auto list = APMPCast<APMPArrayValue>(body);
  if (!list) return Fail(error, APMPErrorCodeArgumentKind);
  return RunStatementList(*list, scope, error);
}

std::shared_ptr<APMPFunctionValue> MakeFunction(const APMPValueList& arguments,
                                                const APMPScopeRef& scope, APMPError* error) {
  if (!APMPAssertArgumentsAtLeast(arguments, 2, error)) return nullptr;
  std::u16string name = arguments[0]->stringValueOrError(error);
  if (*error) return nullptr;
  APMPValueRef parameterList = APMPEvaluator::evaluateStatement(arguments[1], scope, error);
  if (*error) return nullptr;
  auto list = APMPCast<APMPArrayValue>(parameterList);
  if (!list) {
    APMPSetError(error, APMPErrorCodeArgumentKind);
    return nullptr;
  }
  std::vector<std::u16string> parameters;
  for (const auto& element : list->allElements()) {
    parameters.push_back(element->stringValueOrError(error));
    if (*error) return nullptr;
  }
  APMPValueList statements(arguments.begin() + 2, arguments.end());
  return APMPObjectManager::functionValueWithFunctionName(std::move(name), std::move(parameters),
                                                          std::move(statements), scope);
}

APMPValueRef Fn(const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) {
  auto function = MakeFunction(arguments, scope, error);
  if (!function) return APMPUndefined();
  return function;
}

APMPValueRef DefineFunction(const APMPValueList& arguments, const APMPScopeRef& scope,
                            APMPError* error) {
  auto function = MakeFunction(arguments, scope, error);
  if (!function) return APMPUndefined();
  scope->setValue(function, function->functionName());
  return function;
}

APMPValueRef ExpressionList(const APMPValueList& arguments, const APMPScopeRef& scope,
                            APMPError* error) {
  if (!APMPAssertArgumentsAtLeast(arguments, 1, error)) return APMPUndefined();
  APMPValueRef result = APMPUndefined();
  for (const auto& argument : arguments) {
    result = APMPEvaluator::evaluateStatement(argument, scope, error);
    if (*error) return APMPUndefined();
    if (result->isControl()) return Fail(error, APMPErrorCodeArgumentKind);
  }
  return result;
}

APMPValueRef If(const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) {
  if (arguments.empty() || arguments.size() > 3) return Fail(error, APMPErrorCodeArgumentCount);
  APMPValueRef condition = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (*error) return APMPUndefined();
  bool truth = condition->booleanValueOrError(error);
  if (*error) return APMPUndefined();
  size_t chosen = truth ? 1 : 2;
  if (chosen >= arguments.size()) return APMPUndefined();
  APMPValueRef branch = APMPEvaluator::evaluateStatement(arguments[chosen], scope, error);
  if (*error) return APMPUndefined();
  if (auto list = APMPCast<APMPArrayValue>(branch)) return RunStatementList(*list, scope, error);
  return branch;
}

APMPValueRef Quote(const APMPValueList& arguments, const APMPScopeRef& scope, APMPError*) {
  return APMPObjectManager::arrayValueWithArray(arguments, scope);
}

APMPValueRef Return(const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 1, error)) return APMPUndefined();
  APMPValueRef data = APMPUndefined();
  if (!arguments.empty()) {
    data = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
    if (*error) return APMPUndefined();
  }
  return APMPControlValue::returnValueWithData(std::move(data));
}

APMPValueRef Switch(const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 3, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  auto testList = APMPCast<APMPArrayValue>(values[1]);
  auto bodyList = APMPCast<APMPArrayValue>(values[2]);
  if (!testList || !bodyList) return Fail(error, APMPErrorCodeArgumentCount);
  const APMPValueRef& discriminant = values[0];
  APMPValueList tests = testList->allElements();
  APMPValueList bodies = bodyList->allElements();
  bool matched = false;
  for (size_t i = 0; i < tests.size(); ++i) {
    if (!matched) {
      APMPValueRef test = APMPEvaluator::evaluateStatement(tests[i], scope, error);
      if (*error) return APMPUndefined();
      bool equal = APMPStrictEqualityCompare(test, discriminant, error);
      if (*error) return APMPUndefined();
      if (!equal) continue;
      matched = true;
    }
    // A matched case without a body ends the switch.
    if (i >= bodies.size()) return APMPUndefined();
    APMPValueRef result = APMPEvaluator::evaluateStatement(bodies[i], scope, error);
    if (*error) return APMPUndefined();
    if (result == APMPControlValue::breakValue()) return APMPUndefined();
    if (result->isControl()) return result;
  }
  if (bodies.size() == tests.size() + 1) {
    APMPValueRef result = APMPEvaluator::evaluateStatement(bodies.back(), scope, error);
    if (*error) return APMPUndefined();
    if (result->isControl() && result != APMPControlValue::breakValue()) return result;
  }
  return APMPUndefined();
}

APMPValueRef Ternary(const APMPValueList& arguments, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 3, error)) return APMPUndefined();
  APMPValueRef condition = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (*error) return APMPUndefined();
  bool truth = condition->booleanValueOrError(error);
  if (*error) return APMPUndefined();
  APMPValueRef result = APMPEvaluator::evaluateStatement(arguments[truth ? 1 : 2], scope, error);
  if (*error) return APMPUndefined();
  return result;
}

}  // namespace

APMPControlCommandEvaluator::APMPControlCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kRaw,
                                {
                                    {std::u16string(APMPCommandApply), Apply},
                                    {std::u16string(APMPCommandBlock), Block},
                                    {std::u16string(APMPCommandBreak), Break},
                                    {std::u16string(APMPCommandCase), Case},
                                    {std::u16string(APMPCommandContinue), Continue},
                                    {std::u16string(APMPCommandDefault), Case},
                                    {std::u16string(APMPCommandDefineFunction), DefineFunction},
                                    {std::u16string(APMPCommandExpressionList), ExpressionList},
                                    {std::u16string(APMPCommandFn), Fn},
                                    {std::u16string(APMPCommandIf), If},
                                    {std::u16string(APMPCommandQuote), Quote},
                                    {std::u16string(APMPCommandReturn), Return},
                                    {std::u16string(APMPCommandSwitch), Switch},
                                    {std::u16string(APMPCommandTernary), Ternary},
                                }) {}

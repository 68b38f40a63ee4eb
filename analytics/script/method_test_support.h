// Test support for the operator, loop, array-method and string-method tests: runs programs in
// the notation of script_test_support.h with the handler tables of operators.h, loops.h,
// array_methods.h and string_methods.h in force, and calls single methods on a receiver.
// Not for production code.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/script/array_command_evaluator.h"
#include "analytics/script/array_methods.h"
#include "analytics/script/command_registrar.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/loops.h"
#include "analytics/script/operators.h"
#include "analytics/script/scope.h"
#include "analytics/script/script_test_support.h"
#include "analytics/script/string_command_evaluator.h"
#include "analytics/script/string_methods.h"

namespace script_test {

// An evaluator family built from one of the exported tables.
class TableEvaluator final : public APMPTableCommandEvaluator {
 public:
  TableEvaluator(ArgumentMode mode, std::unordered_map<std::u16string, APMPCommandHandler> table)
      : APMPTableCommandEvaluator(mode, std::move(table)) {}
};

// Makes sure that the shared registrar runs the operator and loop tables. The registrar's own
// families are built from them; should an evaluator still lack its handlers, the tables are
// registered in its place (the shared registrar is a heap object made without const).
inline void EnsureOperatorAndLoopTables() {
  const APMPCommandRegistrar& shared = APMPCommandRegistrar::sharedInstance();
  APMPScopeRef scope = APMPScope::create();
  APMPError error;
  APMPValueRef sum = shared.evaluatorForCommand(std::u16string(APMPCommandAdd))
                         ->evaluateCommand(std::u16string(APMPCommandAdd),
                                           {APMPNumberValue::numberWithDouble(1),
                                            APMPNumberValue::numberWithDouble(2)},
                                           scope, &error);
  if (sum->isNumber()) return;
  using Mode = APMPTableCommandEvaluator::ArgumentMode;
  auto& registrar = const_cast<APMPCommandRegistrar&>(shared);
  registrar.registerEvaluator(
      std::make_shared<TableEvaluator>(Mode::kEvaluated, APMPBitwiseCommandHandlers()));
  registrar.registerEvaluator(std::make_shared<TableEvaluator>(Mode::kExactlyTwoEvaluated,
                                                               APMPComparisonCommandHandlers()));
  registrar.registerEvaluator(
      std::make_shared<TableEvaluator>(Mode::kRaw, APMPLogicalCommandHandlers()));
  registrar.registerEvaluator(
      std::make_shared<TableEvaluator>(Mode::kRaw, APMPLoopCommandHandlers()));
  registrar.registerEvaluator(
      std::make_shared<TableEvaluator>(Mode::kEvaluated, APMPMathCommandHandlers()));
}

// True when Apply reaches the array and string method tables (the method evaluators are built
// from them).
inline bool MethodTablesWired() {
  APMPScopeRef scope = APMPScope::create();
  APMPError arrayError;
  APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(
      u"toString", std::make_shared<APMPArrayValue>(), {}, scope, &arrayError);
  APMPError stringError;
  APMPStringCommandEvaluator::sharedInstance().evaluateCommand(u"trim", u"", {}, scope,
                                                               &stringError);
  return !arrayError && !stringError;
}

// A program that evaluates to a new array whose elements are the space-separated forms of
// `elements`, "_" standing for a hole: Holey("1 _ 3") is [1, <hole>, 3].
inline std::string Holey(std::string_view elements) {
  std::string program = "(ExpressionList (Var \"holey\") (Assign \"holey\" (CreateArray))";
  size_t index = 0;
  size_t pos = 0;
  while (pos < elements.size()) {
    size_t end = elements.find(' ', pos);
    if (end == std::string_view::npos) end = elements.size();
    std::string_view form = elements.substr(pos, end - pos);
    if (!form.empty()) {
      if (form != "_") {
        program += " (SetProperty (Get \"holey\") " + std::to_string(index) + " " +
                   std::string(form) + ")";
      }
      ++index;
    }
    pos = end + 1;
  }
  program += " (SetProperty (Get \"holey\") \"length\" " + std::to_string(index) + ")";
  return program + " (Get \"holey\"))";
}

// Evaluates one program in the runtime's global scope; throws on an error.
inline APMPValueRef Evaluate(APMPRuntime& runtime, std::string_view program) {
  APMPError error;
  APMPValueRef value = runtime.executeStatements(Program(program), &error);
  if (error) throw std::runtime_error("evaluation failed: " + error->description());
  return value;
}

// Calls method `name` on the value of `receiver` with the values of the forms of `arguments`,
// the way Apply does, and renders the outcome. A mutating method's receiver is rendered after
// a " | ". With the method tables wired in, the call goes through applyWithName(); otherwise the
// tables are called the way the method evaluators call them.
inline std::string CallMethod(APMPRuntime& runtime, std::string_view receiver,
                              std::string_view name, std::string_view arguments,
                              bool showReceiver = false) {
  APMPValueRef target = Evaluate(runtime, receiver);
  APMPValueList values;
  for (const auto& entity : Program(arguments)) {
    APMPError error;
    values.push_back(runtime.executeStatements({entity}, &error));
    if (error) throw std::runtime_error("argument failed: " + error->description());
  }
  const std::u16string method = fnd::ToUTF16(name);
  const APMPScopeRef& scope = runtime.globalScope();
  APMPError error;
  APMPValueRef result;
  if (MethodTablesWired()) {
    result = target->applyWithName(method, values, scope, &error);
  } else if (auto array = APMPCast<APMPArrayValue>(target)) {
    auto table = APMPArrayMethodHandlers();
    auto it = table.find(method);
    if (it == table.end()) {
      APMPSetError(&error, APMPErrorCodeUnknownMethod);
    } else {
      APMPValueList evaluated = APMPEvaluateArguments(values, scope, &error);
      if (!error) result = it->second(array, evaluated, scope, &error);
    }
  } else if (auto string = APMPCast<APMPStringValue>(target)) {
    auto table = APMPStringMethodHandlers();
    auto it = table.find(method);
    if (it == table.end()) {
      APMPSetError(&error, APMPErrorCodeUnknownMethod);
    } else {
      APMPValueList evaluated = APMPEvaluateArguments(values, scope, &error);
      if (!error) result = it->second(string->value(), evaluated, scope, &error);
    }
  } else {
    result = target->applyWithName(method, values, scope, &error);
  }
  std::string outcome = Outcome(result, error);
  if (showReceiver) outcome += " | " + Show(target);
  return outcome;
}

}  // namespace script_test

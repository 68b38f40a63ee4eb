// The command evaluators: one per family of command codes (commands.h). Each family owns a table
// from code to handler, filled in its constructor and read-only afterwards, and one argument
// mode:
//   kEvaluated (bitwise, math, variable): all arguments are evaluated in order first
//     (APMPEvaluateArguments); a failure yields undefined with that error and the handler is not
//     called. The handler receives the values and checks their count itself.
//   kExactlyTwoEvaluated (comparison): exactly 2 arguments or code 9 with nothing evaluated;
//     then both are evaluated as above.
//   kRaw (control, logical, loop): the handler receives the unevaluated nodes.
// A code without a handler yields undefined with no error.
//
// Thread safety: evaluators are immutable after construction and keep no state between calls;
// handlers may be re-entered.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "analytics/script/runtime_value.h"

// A command handler: arguments (values or nodes, by the family's mode), the current scope and the
// error out-parameter; returns the result (undefined on failure).
using APMPCommandHandler = APMPValueRef (*)(const APMPValueList& arguments,
                                            const APMPScopeRef& scope, APMPError* error);

class APMPCommandEvaluator {
 public:
  virtual ~APMPCommandEvaluator() = default;
  // Undefined in the base.
  virtual APMPValueRef evaluateCommand(const std::u16string& command,
                                       const APMPValueList& arguments, const APMPScopeRef& scope,
                                       APMPError* error) const;
  // The codes this evaluator owns; empty in the base.
  virtual std::vector<std::u16string> allSupportedCommands() const;
};

// A family: one table, one argument mode.
class APMPTableCommandEvaluator : public APMPCommandEvaluator {
 public:
  enum class ArgumentMode { kEvaluated, kExactlyTwoEvaluated, kRaw };

  APMPValueRef evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopeRef& scope, APMPError* error) const override;
  std::vector<std::u16string> allSupportedCommands() const override;

  // The handler of a code (null when none) and this family's mode, for callers that resolve a
  // code once and then run its handler with Run().
  APMPCommandHandler handlerForCommand(const std::u16string& command) const;
  ArgumentMode argumentMode() const { return mode_; }
  // Applies the argument mode, then calls the handler (see the header comment).
  static APMPValueRef Run(ArgumentMode mode, APMPCommandHandler handler,
                          const APMPValueList& arguments, const APMPScopeRef& scope,
                          APMPError* error);

 protected:
  APMPTableCommandEvaluator(ArgumentMode mode,
                            std::unordered_map<std::u16string, APMPCommandHandler> handlers);

 private:
  const ArgumentMode mode_;
  const std::unordered_map<std::u16string, APMPCommandHandler> handlers_;
};

// Bitwise operators (7 codes, evaluated arguments).
class APMPBitwiseCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPBitwiseCommandEvaluator();
};

// Equality and ordering (8 codes, exactly two arguments, evaluated).
class APMPComparisonCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPComparisonCommandEvaluator();
};

// Functions, branches, statement lists, method calls, break/continue/return (14 codes, raw).
class APMPControlCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPControlCommandEvaluator();
};

// And, Or, Not (3 codes, raw).
class APMPLogicalCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPLogicalCommandEvaluator();
};

// While, ForLet and the for-in and for-of loops (8 codes, raw).
class APMPLoopCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPLoopCommandEvaluator();
};

// Arithmetic (10 codes, evaluated arguments).
class APMPMathCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPMathCommandEvaluator();
};

// Declarations, assignment, reads, property access, literals, typeof (12 codes, evaluated).
class APMPVariableCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPVariableCommandEvaluator();
};

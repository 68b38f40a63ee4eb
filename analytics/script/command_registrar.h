// APMPCommandRegistrar: maps each command code to the evaluator that owns it. The shared
// instance registers, in order, the bitwise, comparison, control, logical, loop, math and
// variable families; a later registration of a code replaces an earlier one. Codes that no
// evaluator owns go to the function evaluator, which calls a script function of that name.
//
// Thread safety: the shared instance is made once and read-only afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "analytics/script/command_evaluator.h"
#include "analytics/script/runtime_value.h"

// Looks the code up as a variable in the scope: a function value is invoked with the unevaluated
// arguments and the scope; anything else gives undefined without an error (and nothing is
// evaluated).
class APMPFunctionEvaluator final : public APMPCommandEvaluator {
 public:
  APMPValueRef evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopeRef& scope, APMPError* error) const override;
};

class APMPCommandRegistrar {
 public:
  static const APMPCommandRegistrar& sharedInstance();

  // An empty registrar; the shared instance adds the seven families.
  APMPCommandRegistrar();
  APMPCommandRegistrar(const APMPCommandRegistrar&) = delete;
  APMPCommandRegistrar& operator=(const APMPCommandRegistrar&) = delete;

  // Stores the evaluator under every code of its allSupportedCommands().
  void registerEvaluator(const std::shared_ptr<const APMPCommandEvaluator>& evaluator);

  // See APMPEvaluator::evaluateStatement() (evaluator.h).
  APMPValueRef evaluateStatement(const APMPValueRef& statement, const APMPScopeRef& scope,
                                 APMPError* error) const;

  // See APMPEvaluator::executeFunctionBody() (evaluator.h).
  APMPValueRef executeFunctionBody(const APMPValueList& statements, const APMPScopeRef& scope,
                                   APMPError* error) const;

  // The boolean form of what evaluating `node` gives (evaluateStatement(), then
  // booleanValueOrError()); false with the error on failure.
  bool evaluateCondition(const APMPValueRef& node, const APMPScopeRef& scope,
                         APMPError* error) const;

  // The evaluator registered for a code, or null.
  const APMPCommandEvaluator* evaluatorForCommand(const std::u16string& command) const;
  // Every registered code.
  std::vector<std::u16string> allCommands() const;

 private:
  // The commands that the registrar runs itself, without building an argument list, when their
  // arguments have the usual shape (anything else takes the family's handler).
  enum class Fast : uint8_t {
    kNone,
    kGet,
    kAssign,
    kAdd,
    kSubtract,
    kMultiply,
    kDivide,
    kModulus,
    kLessThan,
    kLessThanEquals,
    kGreaterThan,
    kGreaterThanEquals,
    kIf,
  };

  // A code resolved once: its evaluator, and for a table family its handler and mode. The shared
  // registrar keeps one per code it has seen (never removed, so statements may point at them).
  struct Dispatch {
    const APMPCommandEvaluator* evaluator = nullptr;
    APMPCommandHandler handler = nullptr;
    APMPTableCommandEvaluator::ArgumentMode mode = APMPTableCommandEvaluator::ArgumentMode::kRaw;
    Fast fast = Fast::kNone;
  };
  class Runner;
  friend class Runner;
  Dispatch resolve(const std::u16string& command) const;

  std::unordered_map<std::u16string, std::shared_ptr<const APMPCommandEvaluator>>
      commandEvaluators_;
  APMPFunctionEvaluator functionEvaluator_;
  // Filled by the constructor of the shared instance: one entry per registered code, and one for
  // every other code (the function evaluator).
  std::unordered_map<std::u16string, Dispatch> dispatches_;
  Dispatch functionDispatch_;
  const Dispatch* getDispatch_ = nullptr;
  const Dispatch* quoteDispatch_ = nullptr;
  const Dispatch* returnDispatch_ = nullptr;
  const Dispatch* ifDispatch_ = nullptr;
  bool cachesDispatch_ = false;
};

#include "analytics/script/command_registrar.h"

#include <cmath>
#include <utility>

#include "analytics/script/array_value.h"
#include "analytics/script/commands.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/function_value.h"
#include "analytics/script/memory_account.h"
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

// Counts one evaluation (APMPIncrementInstructionCounter(), with the runtime's hidden counter
// read in place). False with the error at the limit.
inline bool CountInstruction(const APMPScopeRef& scope, APMPError* error) {
  if (APMPScope* owner = scope->instructionCounterScope()) {
    const int32_t count = owner->instructionCount();
    if (count >= APMPInstructionCountHardLimit) {
      return APMPSetError(error, APMPErrorCodeInstructionLimit);
    }
    owner->setInstructionCount(count + 1);
    return true;
  }
  APMPIncrementInstructionCounter(scope, error);
  return !*error;
}

// Memory held for as long as the object lives, as a value of that size would hold it.
class TransientCharge {
 public:
  explicit TransientCharge(int64_t bytes) : account_(APMPMemoryAccount::current().get()) {
    if (account_) account_->charge(bytes_ = bytes);
  }
  ~TransientCharge() {
    if (account_) account_->charge(-bytes_);
  }
  TransientCharge(const TransientCharge&) = delete;
  TransientCharge& operator=(const TransientCharge&) = delete;

 private:
  APMPMemoryAccount* account_;
  int64_t bytes_ = 0;
};

}  // namespace

// The commands that the registrar runs itself. Each gives exactly what the family's handler
// gives for the same arguments, counting the same instructions in the same order: every
// argument evaluation counts one, a literal argument included.
class APMPCommandRegistrar::Runner {
 public:
  using Fast = APMPCommandRegistrar::Fast;

  // The name of a Get node whose one argument is a literal string, else null. Such a read
  // changes nothing, so a value read before it stays where it is.
  static const std::u16string* LiteralGetName(const APMPCommandRegistrar& registrar,
                                              const APMPValueRef& node) {
    if (!node || !node->isStatement()) return nullptr;
    const auto& statement = static_cast<const APMPStatementValue&>(*node);
    if (statement.dispatch() != registrar.getDispatch_ || statement.arguments().size() != 1) {
      return nullptr;
    }
    const APMPValueRef& name = statement.arguments()[0];
    if (!name || !name->isString()) return nullptr;
    return &static_cast<const APMPStringValue&>(*name).value();
  }

  // True when evaluating the node changes no variable or value: a literal or a literal Get.
  static bool IsPure(const APMPCommandRegistrar& registrar, const APMPValueRef& node) {
    return !node || !node->isStatement() || LiteralGetName(registrar, node);
  }

  // An evaluated argument: held, or read in place.
  struct OperandValue {
    APMPValueRef held;
    const APMPValueRef* borrowed = nullptr;

    const APMPValueRef& value() const { return borrowed ? *borrowed : held; }
    // The value as a reference of its own.
    APMPValueRef take() { return borrowed ? *borrowed : std::move(held); }
  };

  // Evaluates an argument node as evaluateStatement() does. A literal is counted and read in
  // place; with `borrow`, so is the result of a literal Get (valid until the next evaluation,
  // so only a literal or a literal Get may be evaluated before it is used).
  // On failure the error is set and the value is undefined. (The result is made in the caller's
  // frame, so that a value just returned is not copied again.)
  __attribute__((always_inline)) static OperandValue Operand(const APMPCommandRegistrar& registrar,
                                                             const APMPValueRef& node,
                                                             const APMPScopeRef& scope, bool borrow,
                                                             APMPError* error) {
    if (!node || !node->isStatement()) {
      if (!CountInstruction(scope, error)) return OperandValue{nullptr, &APMPUndefined()};
      return OperandValue{nullptr, node ? &node : &APMPUndefined()};
    }
    if (const std::u16string* name = LiteralGetName(registrar, node)) {
      // The Get, then its literal name: both counted at once when neither reaches a limit.
      APMPScope* owner = scope->instructionCounterScope();
      if (owner && owner->instructionCount() <= APMPInstructionCountHardLimit - 2 &&
          evaluationDepth < APMPMaximumEvaluationDepth) {
        owner->setInstructionCount(owner->instructionCount() + 2);
      } else if (!Enter(scope, error) || !CountInstruction(scope, error)) {
        return OperandValue{nullptr, &APMPUndefined()};
      }
      const APMPValueRef* value = scope->find(*name);
      if (!value) value = &APMPUndefined();
      // Outside a runtime the count is a variable that counting may declare, which could move
      // the value read; there it is always copied.
      if (borrow && owner) return OperandValue{nullptr, value};
      return OperandValue{*value};
    }
    return OperandValue{registrar.evaluateStatement(node, scope, error)};
  }

  static APMPValueRef Get(const APMPCommandRegistrar& registrar, const APMPValueList& arguments,
                          const APMPScopeRef& scope, APMPError* error) {
    const OperandValue operand = Operand(registrar, arguments[0], scope, true, error);
    if (*error) return APMPUndefined();
    const APMPValueRef& name = operand.value();
    if (!name->isString()) {
      APMPSetError(error, APMPErrorCodeArgumentKind);
      return APMPUndefined();
    }
    const APMPValueRef* value = scope->find(static_cast<const APMPStringValue&>(*name).value());
    return value ? *value : APMPUndefined();
  }

  static APMPValueRef Assign(const APMPCommandRegistrar& registrar, const APMPValueList& arguments,
                             const APMPScopeRef& scope, APMPError* error) {
    const OperandValue nameOperand =
        Operand(registrar, arguments[0], scope, IsPure(registrar, arguments[1]), error);
    if (*error) return APMPUndefined();
    OperandValue operand = Operand(registrar, arguments[1], scope, false, error);
    if (*error) return APMPUndefined();
    APMPValueRef value = operand.take();
    const APMPValueRef& name = nameOperand.value();
    if (!name->isString()) {
      APMPSetError(error, APMPErrorCodeArgumentKind);
      return APMPUndefined();
    }
    if (!scope->assignIfDeclared(value, static_cast<const APMPStringValue&>(*name).value())) {
      APMPSetError(error, APMPErrorCodeUndeclaredAssignment);
      return APMPUndefined();
    }
    return value;
  }

  // Arithmetic and ordering on two numbers; other operands go to the handler.
  static APMPValueRef Binary(const APMPCommandRegistrar& registrar, const Dispatch& dispatch,
                             const APMPValueList& arguments, const APMPScopeRef& scope,
                             APMPError* error) {
    const OperandValue first =
        Operand(registrar, arguments[0], scope, IsPure(registrar, arguments[1]), error);
    if (*error) return APMPUndefined();
    const OperandValue second = Operand(registrar, arguments[1], scope, true, error);
    if (*error) return APMPUndefined();
    const APMPValueRef* a = &first.value();
    const APMPValueRef* b = &second.value();
    if ((*a)->isNumber() && (*b)->isNumber()) {
      const double x = static_cast<const APMPNumberValue&>(**a).value();
      const double y = static_cast<const APMPNumberValue&>(**b).value();
      switch (dispatch.fast) {
        case Fast::kAdd:
          return APMPNumberValue::numberWithDouble(x + y);
        case Fast::kSubtract:
          return APMPNumberValue::numberWithDouble(x - y);
        case Fast::kMultiply:
          return APMPNumberValue::numberWithDouble(x * y);
        case Fast::kDivide:
          return APMPNumberValue::numberWithDouble(x / y);
        case Fast::kModulus:
          return APMPNumberValue::numberWithDouble(std::fmod(x, y));
        case Fast::kLessThan:
          return APMPBooleanValue::booleanValueWithBool(x < y);
        case Fast::kLessThanEquals:
          return APMPBooleanValue::booleanValueWithBool(x <= y);
        case Fast::kGreaterThan:
          return APMPBooleanValue::booleanValueWithBool(y < x);
        case Fast::kGreaterThanEquals:
          return APMPBooleanValue::booleanValueWithBool(y <= x);
        default:
          break;
      }
    }
    const APMPValueList values{*a, *b};
    return Checked(dispatch.handler(values, scope, error), error);
  }

  static bool IsOrdering(Fast fast) {
    return fast == Fast::kLessThan || fast == Fast::kLessThanEquals || fast == Fast::kGreaterThan ||
           fast == Fast::kGreaterThanEquals;
  }

  // The boolean form of a condition node, as evaluating it and asking its result for it gives
  // (false with the error on failure). An ordering of two numbers is decided without making the
  // boolean value, counting what evaluating its node counts.
  static bool Truth(const APMPCommandRegistrar& registrar, const APMPValueRef& node,
                    const APMPScopeRef& scope, APMPError* error) {
    if (registrar.cachesDispatch_ && node && node->isStatement()) {
      const auto& statement = static_cast<const APMPStatementValue&>(*node);
      const auto* dispatch = static_cast<const Dispatch*>(statement.dispatch());
      const APMPValueList& arguments = statement.arguments();
      if (dispatch && IsOrdering(dispatch->fast) && arguments.size() == 2) {
        if (!Enter(scope, error)) return false;
        DepthGuard guard;
        const OperandValue first =
            Operand(registrar, arguments[0], scope, IsPure(registrar, arguments[1]), error);
        if (*error) return false;
        const OperandValue second = Operand(registrar, arguments[1], scope, true, error);
        if (*error) return false;
        const APMPValueRef& a = first.value();
        const APMPValueRef& b = second.value();
        if (a->isNumber() && b->isNumber()) {
          const double x = static_cast<const APMPNumberValue&>(*a).value();
          const double y = static_cast<const APMPNumberValue&>(*b).value();
          switch (dispatch->fast) {
            case Fast::kLessThan:
              return x < y;
            case Fast::kLessThanEquals:
              return x <= y;
            case Fast::kGreaterThan:
              return y < x;
            default:
              return y <= x;
          }
        }
        const APMPValueList values{a, b};
        const APMPValueRef result = Checked(dispatch->handler(values, scope, error), error);
        if (*error) return false;
        return result->booleanValueOrError(error);
      }
    }
    const OperandValue condition = Operand(registrar, node, scope, true, error);
    if (*error) return false;
    return condition.value()->booleanValueOrError(error);
  }

  // If whose chosen branch is a Quote: the quoted statements run in place of the array that the
  // Quote would make and the branch would run at once (its instruction, depth check and memory
  // are kept).
  static APMPValueRef If(const APMPCommandRegistrar& registrar, const APMPValueList& arguments,
                         const APMPScopeRef& scope, APMPError* error) {
    const bool truth = Truth(registrar, arguments[0], scope, error);
    if (*error) return APMPUndefined();
    const size_t chosen = truth ? 1 : 2;
    if (chosen >= arguments.size()) return APMPUndefined();
    const APMPValueRef& branch = arguments[chosen];
    if (const APMPValueList* quoted = QuotedStatements(registrar, branch)) {
      if (!CountInstruction(scope, error)) return APMPUndefined();
      if (evaluationDepth >= APMPMaximumEvaluationDepth) {
        APMPSetError(error, APMPErrorCodeResourceLimit);
        return APMPUndefined();
      }
      TransientCharge list(APMPMemoryPerValue +
                           static_cast<int64_t>(quoted->size()) * APMPMemoryPerElement);
      return APMPEvaluator::executeStatements(*quoted, scope, error);
    }
    APMPValueRef value = registrar.evaluateStatement(branch, scope, error);
    if (*error) return APMPUndefined();
    if (value->isArray()) {
      return APMPEvaluator::executeStatements(
          static_cast<const APMPArrayValue&>(*value).allElements(), scope, error);
    }
    return value;
  }

  // The arguments of a Quote node when they are all values an array keeps as they are (no hole),
  // else null.
  static const APMPValueList* QuotedStatements(const APMPCommandRegistrar& registrar,
                                               const APMPValueRef& node) {
    if (!node || !node->isStatement()) return nullptr;
    const auto& statement = static_cast<const APMPStatementValue&>(*node);
    if (statement.dispatch() != registrar.quoteDispatch_) return nullptr;
    for (const auto& argument : statement.arguments()) {
      if (!argument || argument->isHole()) return nullptr;
    }
    return &statement.arguments();
  }

  // How a statement list of a function body ended.
  enum class BodyEnd { kRanThrough, kReturned, kControl };

  // Runs a statement list of a function body as executeStatements() does, the body's own list
  // or one that a quoted If branch in it runs. *value gets the last result (undefined for an
  // empty list), the data of a Return (kReturned), or a break or continue value (kControl). A
  // Return and an If with a quoted branch are evaluated here, counting what evaluateStatement()
  // counts, so that a return makes no control value. On an error *value is undefined.
  static BodyEnd RunBodyList(const APMPCommandRegistrar& registrar, const APMPValueList& statements,
                             const APMPScopeRef& scope, APMPValueRef* value, APMPError* error) {
    // Every statement sets *value; an empty list gives undefined.
    if (statements.empty()) *value = APMPUndefined();
    for (const auto& statement : statements) {
      if (const APMPValueList* returned = ReturnArguments(registrar, statement)) {
        if (!Enter(scope, error)) return Failed(value);
        DepthGuard guard;
        if (returned->empty()) {
          *value = APMPUndefined();
          return BodyEnd::kReturned;
        }
        OperandValue data = Operand(registrar, (*returned)[0], scope, true, error);
        if (*error) return Failed(value);
        *value = data.take();
        return BodyEnd::kReturned;
      }
      if (IsDirectIf(registrar, statement)) {
        const APMPValueList& arguments =
            static_cast<const APMPStatementValue&>(*statement).arguments();
        if (!Enter(scope, error)) return Failed(value);
        DepthGuard guard;
        const bool truth = Truth(registrar, arguments[0], scope, error);
        if (*error) return Failed(value);
        const size_t chosen = truth ? 1 : 2;
        if (chosen >= arguments.size()) {
          *value = APMPUndefined();
          continue;
        }
        const APMPValueRef& branch = arguments[chosen];
        if (const APMPValueList* quoted = QuotedStatements(registrar, branch)) {
          if (!Enter(scope, error)) return Failed(value);
          TransientCharge list(APMPMemoryPerValue +
                               static_cast<int64_t>(quoted->size()) * APMPMemoryPerElement);
          const BodyEnd end = RunBodyList(registrar, *quoted, scope, value, error);
          if (*error) return Failed(value);
          if (end != BodyEnd::kRanThrough) return end;
          continue;
        }
        APMPValueRef result = registrar.evaluateStatement(branch, scope, error);
        if (*error) return Failed(value);
        if (result->isArray()) {
          result = APMPEvaluator::executeStatements(
              static_cast<const APMPArrayValue&>(*result).allElements(), scope, error);
          if (*error) return Failed(value);
        }
        if (const BodyEnd end = Settle(std::move(result), value); end != BodyEnd::kRanThrough) {
          return end;
        }
        continue;
      }
      APMPValueRef result = registrar.evaluateStatement(statement, scope, error);
      if (*error) return Failed(value);
      if (const BodyEnd end = Settle(std::move(result), value); end != BodyEnd::kRanThrough) {
        return end;
      }
    }
    return BodyEnd::kRanThrough;
  }

  // An If node that RunBodyList() evaluates itself (one to three arguments).
  static bool IsDirectIf(const APMPCommandRegistrar& registrar, const APMPValueRef& node) {
    if (!registrar.ifDispatch_ || !node || !node->isStatement()) return false;
    const auto& statement = static_cast<const APMPStatementValue&>(*node);
    const size_t count = statement.arguments().size();
    return statement.dispatch() == registrar.ifDispatch_ && count >= 1 && count <= 3;
  }

  // The count and the nesting check of one statement evaluation. False with the error.
  static bool Enter(const APMPScopeRef& scope, APMPError* error) {
    if (!CountInstruction(scope, error)) return false;
    if (evaluationDepth >= APMPMaximumEvaluationDepth) {
      return APMPSetError(error, APMPErrorCodeResourceLimit);
    }
    return true;
  }

  static BodyEnd Failed(APMPValueRef* value) {
    *value = APMPUndefined();
    return BodyEnd::kRanThrough;
  }

  // A statement's result in a body list: a control value ends the list.
  static BodyEnd Settle(APMPValueRef result, APMPValueRef* value) {
    if (result->isControl()) {
      const auto& control = static_cast<const APMPControlValue&>(*result);
      if (control.isReturn()) {
        *value = control.data();
        return BodyEnd::kReturned;
      }
      *value = std::move(result);
      return BodyEnd::kControl;
    }
    *value = std::move(result);
    return BodyEnd::kRanThrough;
  }

  // A handler's result as evaluateStatement() gives it: undefined after an error or for none.
  static APMPValueRef Checked(APMPValueRef result, APMPError* error) {
    if (*error || !result) return APMPUndefined();
    return result;
  }

  // The arguments of a Return node with at most one argument, else null.
  static const APMPValueList* ReturnArguments(const APMPCommandRegistrar& registrar,
                                              const APMPValueRef& node) {
    if (!registrar.returnDispatch_ || !node || !node->isStatement()) return nullptr;
    const auto& statement = static_cast<const APMPStatementValue&>(*node);
    if (statement.dispatch() != registrar.returnDispatch_ || statement.arguments().size() > 1) {
      return nullptr;
    }
    return &statement.arguments();
  }

  // A call of a script function: the arguments are evaluated into place, without a list.
  static APMPValueRef Call(const APMPCommandRegistrar& registrar,
                           const APMPStatementValue& statement, const APMPScopeRef& scope,
                           APMPError* error) {
    const APMPValueRef* found = scope->find(statement.functionName());
    if (!found || !(*found)->isFunction()) return APMPUndefined();
    // Held for the whole call: evaluating the arguments may reassign the name.
    auto function = std::static_pointer_cast<APMPFunctionValue>(*found);
    const APMPValueList& arguments = statement.arguments();
    if (!function->isScriptFunction() || arguments.size() > kInlineArguments) {
      return Checked(function->invokeWithArguments(arguments, scope, error), error);
    }
    if (arguments.size() == 1) {
      const OperandValue value = Operand(registrar, arguments[0], scope, true, error);
      if (*error) return APMPUndefined();
      const APMPValueRef* pointer = &value.value();
      return function->callWithEvaluatedArguments(&pointer, 1, error);
    }
    // An argument is read in place when nothing evaluated after it can change it.
    OperandValue values[kInlineArguments];
    const APMPValueRef* pointers[kInlineArguments];
    for (size_t i = 0; i < arguments.size(); ++i) {
      bool pure = true;
      for (size_t j = i + 1; j < arguments.size() && pure; ++j) {
        pure = IsPure(registrar, arguments[j]);
      }
      values[i] = Operand(registrar, arguments[i], scope, pure, error);
      if (*error) return APMPUndefined();
    }
    for (size_t i = 0; i < arguments.size(); ++i) pointers[i] = &values[i].value();
    return function->callWithEvaluatedArguments(pointers, arguments.size(), error);
  }

 private:
  static constexpr size_t kInlineArguments = 4;
};

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
    const std::pair<std::u16string_view, Fast> fast[] = {
        {APMPCommandGet, Fast::kGet},
        {APMPCommandAssign, Fast::kAssign},
        {APMPCommandAdd, Fast::kAdd},
        {APMPCommandSubtract, Fast::kSubtract},
        {APMPCommandMultiply, Fast::kMultiply},
        {APMPCommandDivide, Fast::kDivide},
        {APMPCommandModulus, Fast::kModulus},
        {APMPCommandLessThan, Fast::kLessThan},
        {APMPCommandLessThanEquals, Fast::kLessThanEquals},
        {APMPCommandGreaterThan, Fast::kGreaterThan},
        {APMPCommandGreaterThanEquals, Fast::kGreaterThanEquals},
        {APMPCommandIf, Fast::kIf},
    };
    for (const auto& [code, op] : fast) {
      auto it = registrar->dispatches_.find(std::u16string(code));
      if (it != registrar->dispatches_.end() && it->second.handler) it->second.fast = op;
    }
    registrar->getDispatch_ = &registrar->dispatches_.at(std::u16string(APMPCommandGet));
    registrar->quoteDispatch_ = &registrar->dispatches_.at(std::u16string(APMPCommandQuote));
    registrar->returnDispatch_ = &registrar->dispatches_.at(std::u16string(APMPCommandReturn));
    registrar->ifDispatch_ = &registrar->dispatches_.at(std::u16string(APMPCommandIf));
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
  if (!CountInstruction(scope, error)) return APMPUndefined();
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
    // The direct paths give undefined after an error and never null, and return at once, so
    // that their result is made in the caller's frame.
    const APMPValueList& arguments = node->arguments();
    switch (dispatch->fast) {
      case Fast::kNone:
        if (dispatch == &functionDispatch_) return Runner::Call(*this, *node, scope, error);
        break;
      case Fast::kGet:
        if (arguments.size() == 1) return Runner::Get(*this, arguments, scope, error);
        break;
      case Fast::kAssign:
        if (arguments.size() == 2) return Runner::Assign(*this, arguments, scope, error);
        break;
      case Fast::kIf:
        if (!arguments.empty() && arguments.size() <= 3) {
          return Runner::If(*this, arguments, scope, error);
        }
        break;
      default:
        if (arguments.size() == 2) return Runner::Binary(*this, *dispatch, arguments, scope, error);
        break;
    }
    if (dispatch->handler) {
      result = APMPTableCommandEvaluator::Run(dispatch->mode, dispatch->handler, arguments, scope,
                                              error);
    } else {
      result = dispatch->evaluator->evaluateCommand(node->functionName(), arguments, scope, error);
    }
  } else {
    const APMPCommandEvaluator* evaluator = evaluatorForCommand(node->functionName());
    if (!evaluator) evaluator = &functionEvaluator_;
    result = evaluator->evaluateCommand(node->functionName(), node->arguments(), scope, error);
  }
  if (*error || !result) return APMPUndefined();
  return result;
}

APMPValueRef APMPCommandRegistrar::executeFunctionBody(const APMPValueList& statements,
                                                       const APMPScopeRef& scope,
                                                       APMPError* error) const {
  APMPValueRef value;
  Runner::RunBodyList(*this, statements, scope, &value, error);
  if (*error) return APMPUndefined();
  return value;
}

bool APMPCommandRegistrar::evaluateCondition(const APMPValueRef& node, const APMPScopeRef& scope,
                                             APMPError* error) const {
  return Runner::Truth(*this, node, scope, error);
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

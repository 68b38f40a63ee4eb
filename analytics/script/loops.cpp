#include "analytics/script/loops.h"

#include <string>
#include <vector>

#include "analytics/script/array_value.h"
#include "analytics/script/command_registrar.h"
#include "analytics/script/commands.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/function_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/scope.h"
#include "analytics/script/work_meter.h"

namespace {

APMPValueRef Fail(APMPError* error, int64_t code) {
  APMPSetError(error, code);
  return APMPUndefined();
}

// Runs one iteration of `body` in `scope`. True when the loop goes on; otherwise *result is the
// loop's result (undefined after an error or break, the return value after a return).
bool RunIteration(const APMPValueList& body, const APMPScopeRef& scope, APMPValueRef* result,
                  APMPError* error) {
  APMPValueRef outcome = APMPEvaluator::executeStatements(body, scope, error);
  if (*error) {
    *result = APMPUndefined();
    return false;
  }
  if (auto control = APMPCast<APMPControlValue>(outcome)) {
    if (control->isBreak()) {
      *result = APMPUndefined();
      return false;
    }
    if (control->isReturn()) {
      *result = outcome;
      return false;
    }
  }
  return true;
}

// Evaluates a node and its boolean form; an error counts as false and is kept.
bool EvaluateCondition(const APMPValueRef& node, const APMPScopeRef& scope, APMPError* error) {
  const bool truth = APMPCommandRegistrar::sharedInstance().evaluateCondition(node, scope, error);
  return !*error && truth;
}

// Evaluates a node that must yield an array value (10 otherwise). Null on failure.
std::shared_ptr<APMPArrayValue> EvaluateArray(const APMPValueRef& node, const APMPScopeRef& scope,
                                              APMPError* error) {
  APMPValueRef value = APMPEvaluator::evaluateStatement(node, scope, error);
  if (*error) return nullptr;
  auto array = APMPCast<APMPArrayValue>(value);
  if (!array) APMPSetError(error, APMPErrorCodeArgumentKind);
  return array;
}

// While: condition, update, run-first flag, body; all in the current scope.
APMPValueRef While(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(nodes, 4, error)) return APMPUndefined();
  bool runFirst = EvaluateCondition(nodes[2], scope, error);
  if (*error) return APMPUndefined();
  auto bodyArray = EvaluateArray(nodes[3], scope, error);
  if (!bodyArray) return APMPUndefined();
  const APMPValueList body = bodyArray->allElements();
  APMPValueRef result = APMPUndefined();
  // The do-while form runs once before the first test, without the update after it.
  if (runFirst && !RunIteration(body, scope, &result, error)) return result;
  while (true) {
    if (!EvaluateCondition(nodes[0], scope, error)) return APMPUndefined();
    if (!RunIteration(body, scope, &result, error)) return result;
    APMPEvaluator::evaluateStatement(nodes[1], scope, error);
    if (*error) return APMPUndefined();
  }
}

// Declares in `to` every name of `names` with the value that `from` finds for it. Copies are
// mutable. False with the error when a name has no string form or the work limit is reached.
// The per-iteration copy is charged only for long name lists, which no counting loop of a real
// program has: an iteration already counts its condition.
bool CopyVariables(const APMPArrayValue& names, const APMPScopeRef& from, const APMPScopeRef& to,
                   APMPError* error) {
  const APMPValueList list = names.allElements();
  if (!APMPChargeWork(from, list.size(), APMPBindingsPerInstruction, error)) return false;
  for (const auto& element : list) {
    std::u16string name = element->stringValueOrError(error);
    if (*error) return false;
    to->addValue(from->valueForName(name), name);
  }
  return true;
}

// ForLet: per-iteration names, condition, update, body. Each iteration runs in a fresh child of
// the current scope C holding copies of the names; the update runs in the next iteration's
// scope, after the copy, so that closures made in an iteration keep that iteration's values.
APMPValueRef ForLet(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(nodes, 4, error)) return APMPUndefined();
  auto names = EvaluateArray(nodes[0], scope, error);
  if (!names) return APMPUndefined();
  auto bodyArray = EvaluateArray(nodes[3], scope, error);
  if (!bodyArray) return APMPUndefined();
  const APMPValueList body = bodyArray->allElements();
  APMPScopeRef iteration = scope->createChildScope();
  if (!CopyVariables(*names, scope, iteration, error)) return APMPUndefined();
  APMPValueRef result = APMPUndefined();
  while (true) {
    if (!EvaluateCondition(nodes[1], iteration, error)) return APMPUndefined();
    if (!RunIteration(body, iteration, &result, error)) return result;
    APMPScopeRef next = scope->createChildScope();
    if (!CopyVariables(*names, iteration, next, error)) return APMPUndefined();
    APMPEvaluator::evaluateStatement(nodes[2], next, error);
    if (*error) return APMPUndefined();
    iteration = std::move(next);
  }
}

// The items of a key or item loop, taken once from the subject. Strings are immutable, so their
// keys and code units are made one at a time instead of all at once.
class LoopItems {
 public:
  static LoopItems OfValues(APMPValueList values) {
    LoopItems items;
    items.values_ = std::move(values);
    items.count_ = items.values_.size();
    return items;
  }
  static LoopItems OfStringIndexes(size_t length) {
    LoopItems items;
    items.mode_ = Mode::kIndexes;
    items.count_ = length;
    return items;
  }
  static LoopItems OfCodeUnits(std::u16string text) {
    LoopItems items;
    items.mode_ = Mode::kCodeUnits;
    items.count_ = text.size();
    items.text_ = std::move(text);
    return items;
  }

  size_t count() const { return count_; }
  // True when the items were copied from a container rather than made on demand.
  bool copied() const { return mode_ == Mode::kValues; }
  APMPValueRef at(size_t i) const {
    switch (mode_) {
      case Mode::kValues:
        return values_[i];
      case Mode::kIndexes:
        return APMPStringValue::stringWithUTF8(std::to_string(i));
      case Mode::kCodeUnits:
        return APMPStringValue::stringWithString(std::u16string(1, text_[i]));
    }
    return APMPUndefined();
  }

 private:
  enum class Mode { kValues, kIndexes, kCodeUnits };
  Mode mode_ = Mode::kValues;
  size_t count_ = 0;
  APMPValueList values_;
  std::u16string text_;
};

APMPValueList StringValues(const std::vector<std::u16string>& names) {
  APMPValueList values;
  values.reserve(names.size());
  for (const auto& name : names) values.push_back(APMPStringValue::stringWithString(name));
  return values;
}

// For-in keys: the indexes of a string (as strings), the property names of an array (named
// first, then the indexes of non-holes), of a map or of a function; nothing for anything else.
LoopItems ForInItems(const APMPValueRef& subject) {
  switch (subject->kind()) {
    case APMPRuntimeValue::Kind::kString:
      return LoopItems::OfStringIndexes(
          static_cast<const APMPStringValue&>(*subject).value().size());
    case APMPRuntimeValue::Kind::kArray:
      return LoopItems::OfValues(static_cast<const APMPArrayValue&>(*subject).allPropertyNames());
    case APMPRuntimeValue::Kind::kMap:
      return LoopItems::OfValues(
          StringValues(static_cast<const APMPMapValue&>(*subject).allPropertyNames()));
    case APMPRuntimeValue::Kind::kFunction:
      return LoopItems::OfValues(
          StringValues(static_cast<const APMPFunctionValue&>(*subject).allPropertyNames()));
    default:
      return LoopItems::OfValues({});
  }
}

// For-of items: the code units of a string (one-unit strings), the elements of an array (holes
// as undefined); anything else fails with 16.
bool ForOfItems(const APMPValueRef& subject, LoopItems* items, APMPError* error) {
  if (auto string = APMPCast<APMPStringValue>(subject)) {
    *items = LoopItems::OfCodeUnits(string->value());
    return true;
  }
  if (auto array = APMPCast<APMPArrayValue>(subject)) {
    *items = LoopItems::OfValues(array->allElements());
    return true;
  }
  return APMPSetError(error, APMPErrorCodeNotIterable);
}

enum class Binding { kAssign, kConst, kLet };

// The key and item loops: variable name, subject, body.
APMPValueRef KeyOrItemLoop(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error,
                           bool keys, Binding binding) {
  if (!APMPHasExpectedArgumentLength(nodes, 3, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(nodes, scope, error);
  if (*error) return APMPUndefined();
  const std::u16string name = values[0]->stringValueOrError(error);
  if (*error) return APMPUndefined();
  const APMPValueRef& subject = values[1];
  LoopItems items;
  if (keys) {
    items = ForInItems(subject);
  } else if (!ForOfItems(subject, &items, error)) {
    return APMPUndefined();
  }
  // Taking the items copied the elements or property names of a container (a string's items are
  // made one at a time).
  if (items.copied() && !APMPChargeWork(scope, items.count(), APMPElementsPerInstruction, error)) {
    return APMPUndefined();
  }
  auto bodyArray = APMPCast<APMPArrayValue>(values[2]);
  if (!bodyArray) return Fail(error, APMPErrorCodeArgumentKind);
  const APMPValueList body = bodyArray->allElements();
  // An iteration whose body evaluates nothing counts no instruction, so its bindings are
  // charged instead; otherwise the body's evaluations bound the loop.
  APMPWorkMeter meter(scope, APMPBindingsPerInstruction);
  APMPValueRef result = APMPUndefined();
  for (size_t i = 0; i < items.count(); ++i) {
    if (body.empty() && !meter.add(1, error)) return APMPUndefined();
    APMPScopeRef iteration = scope;
    switch (binding) {
      case Binding::kAssign:
        scope->setValue(items.at(i), name);
        break;
      case Binding::kConst:
        iteration = scope->createChildScope();
        iteration->addImmutableValue(items.at(i), name);
        break;
      case Binding::kLet:
        iteration = scope->createChildScope();
        iteration->addValue(items.at(i), name);
        break;
    }
    if (!RunIteration(body, iteration, &result, error)) return result;
  }
  return APMPUndefined();
}

APMPValueRef ForIn(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  return KeyOrItemLoop(nodes, scope, error, true, Binding::kAssign);
}
APMPValueRef ForInConst(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  return KeyOrItemLoop(nodes, scope, error, true, Binding::kConst);
}
APMPValueRef ForInLet(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  return KeyOrItemLoop(nodes, scope, error, true, Binding::kLet);
}
APMPValueRef ForOf(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  return KeyOrItemLoop(nodes, scope, error, false, Binding::kAssign);
}
APMPValueRef ForOfConst(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  return KeyOrItemLoop(nodes, scope, error, false, Binding::kConst);
}
APMPValueRef ForOfLet(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  return KeyOrItemLoop(nodes, scope, error, false, Binding::kLet);
}

std::u16string Code(std::u16string_view code) { return std::u16string(code); }

}  // namespace

std::unordered_map<std::u16string, APMPCommandHandler> APMPLoopCommandHandlers() {
  return {
      {Code(APMPCommandWhile), While},           {Code(APMPCommandForLet), ForLet},
      {Code(APMPCommandForIn), ForIn},           {Code(APMPCommandForInConst), ForInConst},
      {Code(APMPCommandForInLet), ForInLet},     {Code(APMPCommandForOf), ForOf},
      {Code(APMPCommandForOfConst), ForOfConst}, {Code(APMPCommandForOfLet), ForOfLet},
  };
}

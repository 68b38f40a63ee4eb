#include "analytics/script/array_methods.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "analytics/script/array_value.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/function_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/work_meter.h"

namespace {

using ArrayRef = std::shared_ptr<APMPArrayValue>;

APMPValueRef Fail(APMPError* error, int64_t code) {
  APMPSetError(error, code);
  return APMPUndefined();
}

APMPValueRef Number(double value) { return APMPNumberValue::numberWithDouble(value); }

// Charges `count` elements of work on the receiver.
bool ChargeElements(const APMPScopeRef& scope, size_t count, APMPError* error) {
  return APMPChargeWork(scope, count, APMPElementsPerInstruction, error);
}

// APMPToInteger of the value's number form. NaN with the error on failure.
double IntegerArgument(const APMPValueRef& value, APMPError* error) {
  double number = value->doubleValueOrError(error);
  if (*error) return std::nan("");
  return APMPToInteger(number);
}

// A whole number (possibly infinite) brought into [low, high].
int64_t Clamp(double value, int64_t low, int64_t high) {
  if (!(value > static_cast<double>(low))) return low;
  if (value >= static_cast<double>(high)) return high;
  return static_cast<int64_t>(value);
}

// An index argument: negative counts from the end; then kept within [0, length].
int64_t RelativeIndex(double index, int64_t length) {
  if (index < 0) index += static_cast<double>(length);
  return Clamp(index, 0, length);
}

// Charges a strict-equality search from `from` to `to` (exclusive): every element, and for a
// string search value the texts of the same length that it may have to compare unit by unit.
bool ChargeSearch(const APMPArrayValue& array, const APMPValueRef& search, size_t from, size_t to,
                  const APMPScopeRef& scope, APMPError* error) {
  if (!APMPChargeWork(scope, to - from, APMPElementsPerInstruction, error)) return false;
  auto text = APMPCast<APMPStringValue>(search);
  if (!text || text->value().empty()) return true;
  const size_t length = text->value().size();
  size_t units = 0;
  for (size_t i = from; i < to; ++i) {
    auto element = APMPCast<APMPStringValue>(array.elements()[i]);
    if (element && element->value().size() == length) units += length;
  }
  return APMPChargeWork(scope, units, APMPCodeUnitsPerInstruction, error);
}

// True when index i is below the current count and holds no hole.
bool IsPresent(const APMPArrayValue& array, size_t i) {
  return i < array.count() && !array.elements()[i]->isHole();
}

// Callback walks: every, filter, forEach, map, some.

enum class Walk { kEvery, kFilter, kForEach, kMap, kSome };

APMPValueRef ForEachHelper(const ArrayRef& receiver, const APMPValueList& arguments,
                           const APMPScopeRef& scope, APMPError* error, Walk walk) {
  if (!APMPHasExpectedArgumentLength(arguments, 1, error)) return APMPUndefined();
  auto function = APMPCast<APMPFunctionValue>(arguments[0]);
  if (!function) return Fail(error, APMPErrorCodeArgumentKind);
  const size_t n = receiver->count();
  APMPWorkMeter meter(scope, APMPElementsPerInstruction);
  bool flag = walk == Walk::kEvery;
  APMPValueList kept;  // filter
  ArrayRef mapped;     // map
  if (walk == Walk::kMap) mapped = APMPObjectManager::arrayValueWithScope(scope);
  for (size_t i = 0; i < n; ++i) {
    // A call counts its own instructions; a skipped hole is charged.
    if (!IsPresent(*receiver, i)) {
      if (!meter.add(1, error)) return APMPUndefined();
      continue;
    }
    APMPValueRef element = receiver->elements()[i];
    APMPValueRef index = Number(static_cast<double>(i));
    APMPValueRef result = function->invokeWithArguments({element, index, receiver}, scope, error);
    if (*error) return APMPUndefined();
    switch (walk) {
      case Walk::kForEach:
        break;
      case Walk::kEvery:
      case Walk::kSome:
      case Walk::kFilter: {
        bool truth = result->booleanValueOrError(error);
        if (*error) return APMPUndefined();
        if (walk == Walk::kFilter) {
          if (truth) kept.push_back(element);
        } else if (truth != (walk == Walk::kEvery)) {
          return APMPBooleanValue::booleanValueWithBool(!flag);
        }
        break;
      }
      case Walk::kMap:
        mapped->setValue(result, index, error);
        if (*error) return APMPUndefined();
        break;
    }
  }
  switch (walk) {
    case Walk::kEvery:
    case Walk::kSome:
      return APMPBooleanValue::booleanValueWithBool(flag);
    case Walk::kFilter:
      return APMPObjectManager::arrayValueWithArray(std::move(kept), scope);
    case Walk::kMap:
      return mapped;
    case Walk::kForEach:
      break;
  }
  return APMPUndefined();
}

APMPValueRef Every(const ArrayRef& r, const APMPValueList& a, const APMPScopeRef& s, APMPError* e) {
  return ForEachHelper(r, a, s, e, Walk::kEvery);
}
APMPValueRef Filter(const ArrayRef& r, const APMPValueList& a, const APMPScopeRef& s,
                    APMPError* e) {
  return ForEachHelper(r, a, s, e, Walk::kFilter);
}
APMPValueRef ForEach(const ArrayRef& r, const APMPValueList& a, const APMPScopeRef& s,
                     APMPError* e) {
  return ForEachHelper(r, a, s, e, Walk::kForEach);
}
APMPValueRef Map(const ArrayRef& r, const APMPValueList& a, const APMPScopeRef& s, APMPError* e) {
  return ForEachHelper(r, a, s, e, Walk::kMap);
}
APMPValueRef Some(const ArrayRef& r, const APMPValueList& a, const APMPScopeRef& s, APMPError* e) {
  return ForEachHelper(r, a, s, e, Walk::kSome);
}

// reduce (ascending) and reduceRight (descending).
APMPValueRef ReduceHelper(const ArrayRef& receiver, const APMPValueList& arguments,
                          const APMPScopeRef& scope, APMPError* error, bool ascending) {
  if (!APMPAssertArgumentsAtLeast(arguments, 1, error) ||
      !APMPAssertArgumentsAtMost(arguments, 2, error)) {
    return APMPUndefined();
  }
  auto function = APMPCast<APMPFunctionValue>(arguments[0]);
  if (!function) return Fail(error, APMPErrorCodeArgumentKind);
  const bool hasInitial = arguments.size() == 2;
  if (hasInitial && arguments[1]->isControl()) return Fail(error, APMPErrorCodeArgumentKind);
  const int64_t n = static_cast<int64_t>(receiver->count());
  const int64_t step = ascending ? 1 : -1;
  int64_t i = ascending ? 0 : n - 1;
  auto inWalk = [&](int64_t k) { return ascending ? k < n : k >= 0; };
  APMPWorkMeter meter(scope, APMPElementsPerInstruction);
  APMPValueRef accumulator;
  if (hasInitial) {
    accumulator = arguments[1];
  } else {
    while (inWalk(i) && !IsPresent(*receiver, static_cast<size_t>(i))) {
      if (!meter.add(1, error)) return APMPUndefined();
      i += step;
    }
    if (!inWalk(i)) return Fail(error, APMPErrorCodeReduceOfEmptyArray);
    accumulator = receiver->elements()[static_cast<size_t>(i)];
    i += step;
  }
  for (; inWalk(i); i += step) {
    if (!IsPresent(*receiver, static_cast<size_t>(i))) {
      if (!meter.add(1, error)) return APMPUndefined();
      continue;
    }
    APMPValueRef element = receiver->elements()[static_cast<size_t>(i)];
    accumulator = function->invokeWithArguments(
        {accumulator, element, Number(static_cast<double>(i)), receiver}, scope, error);
    if (*error) return APMPUndefined();
  }
  return accumulator;
}

APMPValueRef Reduce(const ArrayRef& r, const APMPValueList& a, const APMPScopeRef& s,
                    APMPError* e) {
  return ReduceHelper(r, a, s, e, true);
}
APMPValueRef ReduceRight(const ArrayRef& r, const APMPValueList& a, const APMPScopeRef& s,
                         APMPError* e) {
  return ReduceHelper(r, a, s, e, false);
}

APMPValueRef Concat(const ArrayRef& receiver, const APMPValueList& arguments,
                    const APMPScopeRef& scope, APMPError* error) {
  size_t work = receiver->count();
  for (const auto& argument : arguments) {
    work += argument->isArray() ? static_cast<const APMPArrayValue&>(*argument).count() : 1;
  }
  if (!ChargeElements(scope, work, error)) return APMPUndefined();
  ArrayRef result = APMPObjectManager::arrayValueWithScope(scope);
  result->concat(receiver, error);
  if (*error) return APMPUndefined();
  for (const auto& argument : arguments) {
    result->concat(argument, error);
    if (*error) return APMPUndefined();
  }
  return result;
}

APMPValueRef HasOwnProperty(const ArrayRef& receiver, const APMPValueList& arguments,
                            const APMPScopeRef&, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 1, error)) return APMPUndefined();
  std::u16string key = arguments[0]->stringValueOrError(error);
  if (*error) return APMPUndefined();
  if (key == APMPLengthPropertyName) return APMPBooleanValue::booleanValueWithBool(true);
  bool has = receiver->hasProperty(arguments[0], error);
  if (*error) return APMPUndefined();
  return APMPBooleanValue::booleanValueWithBool(has);
}

APMPValueRef IndexOf(const ArrayRef& receiver, const APMPValueList& arguments,
                     const APMPScopeRef& scope, APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 2, error)) return APMPUndefined();
  APMPValueRef search = arguments.empty() ? APMPUndefined() : arguments[0];
  const int64_t length = static_cast<int64_t>(receiver->count());
  double start = 0;
  if (arguments.size() == 2) {
    start = IntegerArgument(arguments[1], error);
    if (*error) return APMPUndefined();
  }
  if (start >= static_cast<double>(length)) return Number(-1);
  int64_t from = RelativeIndex(start, length);
  if (!ChargeSearch(*receiver, search, static_cast<size_t>(from), static_cast<size_t>(length),
                    scope, error)) {
    return APMPUndefined();
  }
  int64_t found = receiver->indexOfValue(search, from, error);
  if (*error) return APMPUndefined();
  return Number(static_cast<double>(found));
}

APMPValueRef LastIndexOf(const ArrayRef& receiver, const APMPValueList& arguments,
                         const APMPScopeRef& scope, APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 2, error)) return APMPUndefined();
  APMPValueRef search = arguments.empty() ? APMPUndefined() : arguments[0];
  const int64_t length = static_cast<int64_t>(receiver->count());
  double start = static_cast<double>(length - 1);
  if (arguments.size() == 2) {
    double number = arguments[1]->doubleValueOrError(error);
    if (*error) return APMPUndefined();
    if (!std::isnan(number)) {
      start = APMPToInteger(number);
      if (start < 0) start += static_cast<double>(length);
    }
  }
  if (start < 0) return Number(-1);
  int64_t from = Clamp(start, 0, std::max<int64_t>(length - 1, 0));
  if (length > 0 &&
      !ChargeSearch(*receiver, search, 0, static_cast<size_t>(from) + 1, scope, error)) {
    return APMPUndefined();
  }
  int64_t found = receiver->lastIndexOfValue(search, from, error);
  if (*error) return APMPUndefined();
  return Number(static_cast<double>(found));
}

// The receiver's elements joined by `separator`, as a new string value. The joined text is
// charged like elements, since arrays nested in the receiver are joined too.
APMPValueRef JoinWith(const ArrayRef& receiver, std::u16string_view separator,
                      const APMPScopeRef& scope, APMPError* error) {
  if (!ChargeElements(scope, receiver->count(), error)) return APMPUndefined();
  std::u16string text = receiver->stringValueWithSeparator(separator, error);
  if (*error) return APMPUndefined();
  if (!APMPChargeWork(scope, text.size(), APMPElementsPerInstruction, error)) {
    return APMPUndefined();
  }
  return APMPMakeString(std::move(text), error);
}

APMPValueRef Join(const ArrayRef& receiver, const APMPValueList& arguments,
                  const APMPScopeRef& scope, APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 1, error)) return APMPUndefined();
  std::u16string separator = u",";
  if (!arguments.empty()) {
    const APMPValueRef& argument = arguments[0];
    if (argument->isNull() || argument->isUndefined()) {
      separator.clear();
    } else {
      separator = argument->stringValueOrError(error);
      if (*error) return APMPUndefined();
    }
  }
  return JoinWith(receiver, separator, scope, error);
}

APMPValueRef ToString(const ArrayRef& receiver, const APMPValueList& arguments,
                      const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  return JoinWith(receiver, u",", scope, error);
}

APMPValueRef Pop(const ArrayRef& receiver, const APMPValueList& arguments, const APMPScopeRef&,
                 APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  return receiver->removeLastElement();
}

APMPValueRef Shift(const ArrayRef& receiver, const APMPValueList& arguments,
                   const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  // Every remaining element moves down by one.
  if (!ChargeElements(scope, receiver->count(), error)) return APMPUndefined();
  return receiver->removeFirstElement();
}

APMPValueRef Push(const ArrayRef& receiver, const APMPValueList& arguments,
                  const APMPScopeRef& scope, APMPError* error) {
  if (!ChargeElements(scope, arguments.size(), error)) return APMPUndefined();
  size_t count = receiver->appendElements(arguments, error);
  if (*error) return APMPUndefined();
  return Number(static_cast<double>(count));
}

APMPValueRef Unshift(const ArrayRef& receiver, const APMPValueList& arguments,
                     const APMPScopeRef& scope, APMPError* error) {
  // Every element moves up.
  if (!ChargeElements(scope, receiver->count() + arguments.size(), error)) {
    return APMPUndefined();
  }
  size_t count = receiver->prependElements(arguments, error);
  if (*error) return APMPUndefined();
  return Number(static_cast<double>(count));
}

APMPValueRef Reverse(const ArrayRef& receiver, const APMPValueList& arguments,
                     const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  if (!ChargeElements(scope, receiver->count(), error)) return APMPUndefined();
  receiver->reverse();
  return receiver;
}

APMPValueRef Slice(const ArrayRef& receiver, const APMPValueList& arguments,
                   const APMPScopeRef& scope, APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 2, error)) return APMPUndefined();
  const int64_t length = static_cast<int64_t>(receiver->count());
  int64_t start = 0;
  int64_t end = length;
  if (!arguments.empty()) {
    double number = IntegerArgument(arguments[0], error);
    if (*error) return APMPUndefined();
    start = RelativeIndex(number, length);
  }
  if (arguments.size() == 2) {
    double number = IntegerArgument(arguments[1], error);
    if (*error) return APMPUndefined();
    if (number < 0) number += static_cast<double>(length);
    end = Clamp(number, start, length);
  }
  if (!ChargeElements(scope, static_cast<size_t>(end - start), error)) return APMPUndefined();
  return APMPObjectManager::subarrayWithArray(*receiver, start, end - start, scope);
}

APMPValueRef Splice(const ArrayRef& receiver, const APMPValueList& arguments,
                    const APMPScopeRef& scope, APMPError* error) {
  if (arguments.empty()) return APMPObjectManager::arrayValueWithScope(scope);
  const int64_t length = static_cast<int64_t>(receiver->count());
  double number = IntegerArgument(arguments[0], error);
  if (*error) return APMPUndefined();
  const int64_t start = RelativeIndex(number, length);
  int64_t deleteCount = length - start;
  if (arguments.size() >= 2) {
    double count = IntegerArgument(arguments[1], error);
    if (*error) return APMPUndefined();
    deleteCount = Clamp(count, 0, length - start);
  }
  APMPValueList items(arguments.begin() + std::min<size_t>(arguments.size(), 2), arguments.end());
  // The elements after the removed range move.
  if (!ChargeElements(scope, static_cast<size_t>(length) + items.size(), error)) {
    return APMPUndefined();
  }
  APMPValueList removed = receiver->spliceFrom(start, deleteCount, items, error);
  if (*error) return APMPUndefined();
  return APMPObjectManager::arrayValueWithArray(std::move(removed), scope);
}

APMPValueRef Sort(const ArrayRef& receiver, const APMPValueList& arguments,
                  const APMPScopeRef& scope, APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 1, error)) return APMPUndefined();
  const size_t n = receiver->count();
  if (n < 2) return receiver;
  std::shared_ptr<APMPFunctionValue> function;
  if (!arguments.empty()) {
    function = APMPCast<APMPFunctionValue>(arguments[0]);
    if (!function) return Fail(error, APMPErrorCodeArgumentKind);
  }
  // The sort charges its conversions and comparisons as it makes them.
  receiver->sortUsingFunctionValue(function, scope, error);
  return receiver;
}

std::u16string Name(std::u16string_view name) { return std::u16string(name); }

}  // namespace

std::unordered_map<std::u16string, APMPArrayCommandEvaluator::Handler> APMPArrayMethodHandlers() {
  return {
      {Name(APMPArrayCommandConcat), Concat},
      {Name(APMPArrayCommandEvery), Every},
      {Name(APMPArrayCommandFilter), Filter},
      {Name(APMPArrayCommandForEach), ForEach},
      {Name(APMPArrayCommandHasOwnProperty), HasOwnProperty},
      {Name(APMPArrayCommandIndexOf), IndexOf},
      {Name(APMPArrayCommandJoin), Join},
      {Name(APMPArrayCommandLastIndexOf), LastIndexOf},
      {Name(APMPArrayCommandMap), Map},
      {Name(APMPArrayCommandPop), Pop},
      {Name(APMPArrayCommandPush), Push},
      {Name(APMPArrayCommandReduce), Reduce},
      {Name(APMPArrayCommandReduceRight), ReduceRight},
      {Name(APMPArrayCommandReverse), Reverse},
      {Name(APMPArrayCommandShift), Shift},
      {Name(APMPArrayCommandSlice), Slice},
      {Name(APMPArrayCommandSome), Some},
      {Name(APMPArrayCommandSort), Sort},
      {Name(APMPArrayCommandSplice), Splice},
      {Name(APMPArrayCommandToString), ToString},
      {Name(APMPArrayCommandUnshift), Unshift},
  };
}

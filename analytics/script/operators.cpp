#include "analytics/script/operators.h"

#include <cmath>
#include <cstdint>

#include "analytics/script/array_value.h"
#include "analytics/script/commands.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/work_meter.h"
#include "platform/foundation/text.h"

namespace {

APMPValueRef Number(double value) { return APMPNumberValue::numberWithDouble(value); }
const APMPValueRef& Boolean(bool value) { return APMPBooleanValue::booleanValueWithBool(value); }

// Conversions of operands that charge their work against the instruction limit: a string is
// charged by its length, an array by its element count before it is joined and by the length of
// the joined text after, like elements, since every separator in it stands for an element (this
// also counts the arrays nested inside it). An array's number is the number of its joined text,
// as for every array.

bool ToText(const APMPValueRef& value, const APMPScopeRef& scope, std::u16string* text,
            APMPError* error) {
  if (auto string = APMPCast<APMPStringValue>(value)) {
    if (!APMPChargeWork(scope, string->value().size(), APMPCodeUnitsPerInstruction, error)) {
      return false;
    }
    *text = string->value();
    return true;
  }
  if (auto array = APMPCast<APMPArrayValue>(value)) {
    if (!APMPChargeWork(scope, array->count(), APMPElementsPerInstruction, error)) return false;
    *text = array->stringValueOrError(error);
    if (*error) return false;
    return APMPChargeWork(scope, text->size(), APMPElementsPerInstruction, error);
  }
  *text = value->stringValueOrError(error);
  return !*error;
}

bool ToNumber(const APMPValueRef& value, const APMPScopeRef& scope, double* number,
              APMPError* error) {
  if (value->isArray() || value->isString()) {
    std::u16string text;
    if (!ToText(value, scope, &text, error)) return false;
    *number = APMPStringToNumber(text);
    return true;
  }
  *number = value->doubleValueOrError(error);
  return !*error;
}

// Both number forms, first then second. False with the error when one fails.
bool NumberPair(const APMPValueList& values, const APMPScopeRef& scope, double* a, double* b,
                APMPError* error) {
  return ToNumber(values[0], scope, a, error) && ToNumber(values[1], scope, b, error);
}

// Type rank of loose equality: 0 undefined and null, 1 number and boolean, 2 string, 3 the rest.
int TypeRank(const APMPValueRef& value) {
  switch (value->kind()) {
    case APMPRuntimeValue::Kind::kUndefined:
    case APMPRuntimeValue::Kind::kNull:
      return 0;
    case APMPRuntimeValue::Kind::kNumber:
    case APMPRuntimeValue::Kind::kBoolean:
      return 1;
    case APMPRuntimeValue::Kind::kString:
      return 2;
    default:
      return 3;
  }
}

// Arithmetic.

// Both operands as numbers, first then second, combined by `operation`.
using BinaryOperation = double (*)(double, double);

APMPValueRef Binary(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error,
                    BinaryOperation operation) {
  if (!APMPHasExpectedArgumentLength(values, 2, error)) return APMPUndefined();
  double a = 0;
  double b = 0;
  if (!NumberPair(values, scope, &a, &b, error)) return APMPUndefined();
  return Number(operation(a, b));
}

APMPValueRef Add(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 2, error)) return APMPUndefined();
  if (!APMPIsNonNullObjectOrString(values[0]) && !APMPIsNonNullObjectOrString(values[1])) {
    return Binary(values, scope, error, [](double a, double b) { return a + b; });
  }
  // A string operand is read in place; anything else is converted (and charged) first.
  std::u16string converted[2];
  const std::u16string* parts[2];
  for (int i = 0; i < 2; ++i) {
    if (auto string = APMPCast<APMPStringValue>(values[i])) {
      parts[i] = &string->value();
    } else {
      if (!ToText(values[i], scope, &converted[i], error)) return APMPUndefined();
      parts[i] = &converted[i];
    }
  }
  const size_t size = parts[0]->size() + parts[1]->size();
  if (size > APMPMaximumStringLength) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return APMPUndefined();
  }
  // The join is charged by the units it copies, and its memory is reserved before it is made.
  if (!APMPChargeWork(scope, size, APMPCodeUnitsPerInstruction, error) ||
      !APMPReserveMemory(static_cast<int64_t>(size * sizeof(char16_t)), error)) {
    return APMPUndefined();
  }
  std::u16string text;
  text.reserve(size);
  text += *parts[0];
  text += *parts[1];
  return APMPMakeString(std::move(text), error);
}

APMPValueRef Subtract(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  return Binary(values, scope, error, [](double a, double b) { return a - b; });
}

APMPValueRef Multiply(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  return Binary(values, scope, error, [](double a, double b) { return a * b; });
}

APMPValueRef Divide(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  return Binary(values, scope, error, [](double a, double b) { return a / b; });
}

// fmod: the sign of the dividend; NaN for a zero divisor or an infinite dividend; the dividend
// for an infinite divisor.
APMPValueRef Modulus(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  return Binary(values, scope, error, [](double a, double b) { return std::fmod(a, b); });
}

APMPValueRef Negate(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 1, error)) return APMPUndefined();
  double a = 0;
  if (!ToNumber(values[0], scope, &a, error)) return APMPUndefined();
  return Number(-a);
}

// The tree passes the updated value; the command yields it.
APMPValueRef PreChange(const APMPValueList& values, const APMPScopeRef&, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 1, error)) return APMPUndefined();
  return values[0];
}

// The tree passes the value read before the update, then the update; the command yields the
// former.
APMPValueRef PostChange(const APMPValueList& values, const APMPScopeRef&, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 2, error)) return APMPUndefined();
  return values[0];
}

// Comparison. The evaluator has checked that there are exactly two values.

APMPValueRef Equals(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  bool equal = APMPLooseEqualityCompare(values[0], values[1], scope, error);
  if (*error) return APMPUndefined();
  return Boolean(equal);
}

APMPValueRef NotEquals(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  APMPValueRef equal = Equals(values, scope, error);
  if (*error) return APMPUndefined();
  bool flag = equal->booleanValueOrError(error);
  if (*error) return APMPUndefined();
  return Boolean(!flag);
}

APMPValueRef Identity(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error,
                      bool wanted) {
  // Two strings are compared unit by unit.
  if (values[0]->isString() && values[1]->isString()) {
    size_t units = static_cast<const APMPStringValue&>(*values[0]).value().size();
    if (!APMPChargeWork(scope, units, APMPCodeUnitsPerInstruction, error)) return APMPUndefined();
  }
  bool equal = APMPStrictEqualityCompare(values[0], values[1], error);
  if (*error) return APMPUndefined();
  return Boolean(equal == wanted);
}

APMPValueRef IdentityEquals(const APMPValueList& values, const APMPScopeRef& scope,
                            APMPError* error) {
  return Identity(values, scope, error, true);
}

APMPValueRef IdentityNotEquals(const APMPValueList& values, const APMPScopeRef& scope,
                               APMPError* error) {
  return Identity(values, scope, error, false);
}

// Compare(first, second) for LessThan and LessThanEquals, Compare(second, first) for
// GreaterThan and GreaterThanEquals; true when the result is -1 (or 0 when `orEqual`).
APMPValueRef Relation(const APMPValueRef& first, const APMPValueRef& second,
                      const APMPScopeRef& scope, APMPError* error, bool orEqual) {
  int order = APMPCompareValues(first, second, scope, error);
  if (*error) return APMPUndefined();
  return Boolean(order == -1 || (orEqual && order == 0));
}

APMPValueRef LessThan(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  return Relation(values[0], values[1], scope, error, false);
}

APMPValueRef LessThanEquals(const APMPValueList& values, const APMPScopeRef& scope,
                            APMPError* error) {
  return Relation(values[0], values[1], scope, error, true);
}

APMPValueRef GreaterThan(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  return Relation(values[1], values[0], scope, error, false);
}

APMPValueRef GreaterThanEquals(const APMPValueList& values, const APMPScopeRef& scope,
                               APMPError* error) {
  return Relation(values[1], values[0], scope, error, true);
}

// Logical. The handlers receive the unevaluated nodes.

// Evaluates a node and its boolean form. False with the error on failure.
bool EvaluateTruth(const APMPValueRef& node, const APMPScopeRef& scope, APMPValueRef* value,
                   APMPError* error) {
  *value = APMPEvaluator::evaluateStatement(node, scope, error);
  if (*error) return false;
  bool truth = (*value)->booleanValueOrError(error);
  return !*error && truth;
}

APMPValueRef AndOr(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error,
                   bool isAnd) {
  if (!APMPHasExpectedArgumentLength(nodes, 2, error)) return APMPUndefined();
  APMPValueRef first;
  bool truth = EvaluateTruth(nodes[0], scope, &first, error);
  if (*error) return APMPUndefined();
  if (truth != isAnd) return first;
  APMPValueRef second = APMPEvaluator::evaluateStatement(nodes[1], scope, error);
  if (*error) return APMPUndefined();
  return second;
}

APMPValueRef And(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  return AndOr(nodes, scope, error, true);
}

APMPValueRef Or(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  return AndOr(nodes, scope, error, false);
}

APMPValueRef Not(const APMPValueList& nodes, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(nodes, 1, error)) return APMPUndefined();
  APMPValueRef value;
  bool truth = EvaluateTruth(nodes[0], scope, &value, error);
  if (*error) return APMPUndefined();
  return Boolean(!truth);
}

// Bitwise. The result is a 32-bit integer held exactly in a double.

// Shift counts use the low five bits of ToUint32.
uint32_t ShiftCount(double b) { return APMPToUInt32(b) & 31u; }

APMPValueRef BitwiseAnd(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  return Binary(values, scope, error,
                [](double a, double b) -> double { return APMPToInt32(a) & APMPToInt32(b); });
}

APMPValueRef BitwiseOr(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  return Binary(values, scope, error,
                [](double a, double b) -> double { return APMPToInt32(a) | APMPToInt32(b); });
}

APMPValueRef BitwiseXor(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  return Binary(values, scope, error,
                [](double a, double b) -> double { return APMPToInt32(a) ^ APMPToInt32(b); });
}

APMPValueRef BitwiseLeftShift(const APMPValueList& values, const APMPScopeRef& scope,
                              APMPError* error) {
  return Binary(values, scope, error, [](double a, double b) -> double {
    // Shifted as unsigned so that bits leaving the top are dropped, then read as signed.
    return static_cast<int32_t>(APMPToUInt32(a) << ShiftCount(b));
  });
}

APMPValueRef BitwiseRightShift(const APMPValueList& values, const APMPScopeRef& scope,
                               APMPError* error) {
  return Binary(values, scope, error,
                [](double a, double b) -> double { return APMPToInt32(a) >> ShiftCount(b); });
}

APMPValueRef BitwiseUnsignedRightShift(const APMPValueList& values, const APMPScopeRef& scope,
                                       APMPError* error) {
  return Binary(values, scope, error,
                [](double a, double b) -> double { return APMPToUInt32(a) >> ShiftCount(b); });
}

APMPValueRef BitwiseNot(const APMPValueList& values, const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(values, 1, error)) return APMPUndefined();
  double a = 0;
  if (!ToNumber(values[0], scope, &a, error)) return APMPUndefined();
  return Number(~APMPToInt32(a));
}

std::u16string Code(std::u16string_view code) { return std::u16string(code); }

}  // namespace

bool APMPLooseEqualityCompare(const APMPValueRef& lhs, const APMPValueRef& rhs,
                              const APMPScopeRef& scope, APMPError* error) {
  const int lhsRank = TypeRank(lhs);
  const int rhsRank = TypeRank(rhs);
  const APMPValueRef& low = rhsRank < lhsRank ? rhs : lhs;
  const APMPValueRef& high = rhsRank < lhsRank ? lhs : rhs;
  switch (TypeRank(low)) {
    case 0:
      return TypeRank(high) == 0;
    case 1: {
      double a = 0;
      double b = 0;
      if (!ToNumber(low, scope, &a, error) || !ToNumber(high, scope, &b, error)) return false;
      return APMPNumberEquals(a, b);
    }
    case 2: {
      std::u16string a;
      std::u16string b;
      if (!ToText(low, scope, &a, error) || !ToText(high, scope, &b, error)) return false;
      return APMPStringEquals(a, b);
    }
    default:
      return low.get() == high.get();
  }
}

int APMPCompareValues(const APMPValueRef& lhs, const APMPValueRef& rhs, const APMPScopeRef& scope,
                      APMPError* error) {
  if (APMPIsNonNullObjectOrString(lhs) && APMPIsNonNullObjectOrString(rhs)) {
    std::u16string a;
    std::u16string b;
    if (!ToText(lhs, scope, &a, error) || !ToText(rhs, scope, &b, error)) return 0;
    return fnd::CanonicalCompare(std::u16string_view(a), std::u16string_view(b));
  }
  double a = 0;
  double b = 0;
  if (!ToNumber(lhs, scope, &a, error) || !ToNumber(rhs, scope, &b, error)) return 0;
  if (a < b) return -1;
  if (a == b) return 0;
  return 1;
}

std::unordered_map<std::u16string, APMPCommandHandler> APMPMathCommandHandlers() {
  return {
      {Code(APMPCommandAdd), Add},
      {Code(APMPCommandDivide), Divide},
      {Code(APMPCommandModulus), Modulus},
      {Code(APMPCommandMultiply), Multiply},
      {Code(APMPCommandNegate), Negate},
      {Code(APMPCommandPostDecrement), PostChange},
      {Code(APMPCommandPostIncrement), PostChange},
      {Code(APMPCommandPreDecrement), PreChange},
      {Code(APMPCommandPreIncrement), PreChange},
      {Code(APMPCommandSubtract), Subtract},
  };
}

std::unordered_map<std::u16string, APMPCommandHandler> APMPComparisonCommandHandlers() {
  return {
      {Code(APMPCommandEquals), Equals},
      {Code(APMPCommandGreaterThan), GreaterThan},
      {Code(APMPCommandGreaterThanEquals), GreaterThanEquals},
      {Code(APMPCommandIdentityEquals), IdentityEquals},
      {Code(APMPCommandIdentityNotEquals), IdentityNotEquals},
      {Code(APMPCommandLessThan), LessThan},
      {Code(APMPCommandLessThanEquals), LessThanEquals},
      {Code(APMPCommandNotEquals), NotEquals},
  };
}

std::unordered_map<std::u16string, APMPCommandHandler> APMPLogicalCommandHandlers() {
  return {
      {Code(APMPCommandAnd), And},
      {Code(APMPCommandNot), Not},
      {Code(APMPCommandOr), Or},
  };
}

std::unordered_map<std::u16string, APMPCommandHandler> APMPBitwiseCommandHandlers() {
  return {
      {Code(APMPCommandBitwiseAnd), BitwiseAnd},
      {Code(APMPCommandBitwiseLeftShift), BitwiseLeftShift},
      {Code(APMPCommandBitwiseNot), BitwiseNot},
      {Code(APMPCommandBitwiseOr), BitwiseOr},
      {Code(APMPCommandBitwiseRightShift), BitwiseRightShift},
      {Code(APMPCommandBitwiseUnsignedRightShift), BitwiseUnsignedRightShift},
      {Code(APMPCommandBitwiseXor), BitwiseXor},
  };
}

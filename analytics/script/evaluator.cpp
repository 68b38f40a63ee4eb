#include "analytics/script/evaluator.h"

#include <cmath>

#include "analytics/script/command_registrar.h"
#include "analytics/script/scope.h"

APMPValueRef APMPEvaluator::evaluateStatement(const APMPValueRef& statement,
                                              const APMPScopeRef& scope, APMPError* error) {
  return APMPCommandRegistrar::sharedInstance().evaluateStatement(statement, scope, error);
}

APMPValueRef APMPEvaluator::executeStatements(const APMPValueList& statements,
                                              const APMPScopeRef& scope, APMPError* error) {
  APMPValueRef result = APMPUndefined();
  for (const auto& statement : statements) {
    result = evaluateStatement(statement, scope, error);
    if (*error) return APMPUndefined();
    if (result->isControl()) return result;
  }
  return result;
}

APMPValueRef APMPEvaluator::executeFunctionBody(const APMPValueList& statements,
                                                const APMPScopeRef& scope, APMPError* error) {
  return APMPCommandRegistrar::sharedInstance().executeFunctionBody(statements, scope, error);
}

APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                    APMPError* error) {
  APMPValueList values;
  values.reserve(arguments.size());
  for (const auto& argument : arguments) {
    values.push_back(APMPEvaluator::evaluateStatement(argument, scope, error));
    if (*error) break;
  }
  return values;
}

bool APMPHasExpectedArgumentLength(const APMPValueList& arguments, size_t n, APMPError* error) {
  if (arguments.size() == n) return true;
  return APMPSetError(error, APMPErrorCodeArgumentCount);
}

bool APMPAssertArgumentsAtLeast(const APMPValueList& arguments, size_t n, APMPError* error) {
  if (arguments.size() >= n) return true;
  return APMPSetError(error, APMPErrorCodeArgumentCount);
}

bool APMPAssertArgumentsAtMost(const APMPValueList& arguments, size_t n, APMPError* error) {
  if (arguments.size() <= n) return true;
  return APMPSetError(error, APMPErrorCodeArgumentCount);
}

int32_t APMPIncrementInstructionCounter(const APMPScopeRef& scope, APMPError* error) {
  if (APMPScope* owner = scope->instructionCounterScope()) {
    int32_t count = owner->instructionCount();
    if (count >= APMPInstructionCountHardLimit) {
      APMPSetError(error, APMPErrorCodeInstructionLimit);
      return count;
    }
    owner->setInstructionCount(count + 1);
    return count + 1;
  }
  // A chain outside any runtime counts in the script variable.
  const std::u16string name(APMPInstructionCounterVariableName);
  double number = scope->valueForName(name)->doubleValueOrError(error);
  if (*error) return 0;
  int32_t count = APMPToInt32(number);
  if (count >= APMPInstructionCountHardLimit) {
    APMPSetError(error, APMPErrorCodeInstructionLimit);
    return count;
  }
  scope->setValue(APMPNumberValue::numberWithDouble(count + 1), name);
  return count + 1;
}

int32_t APMPToInt32(double value) { return static_cast<int32_t>(APMPToUInt32(value)); }

uint32_t APMPToUInt32(double value) {
  if (!std::isfinite(value)) return 0;
  double truncated = std::trunc(value);
  double modulo = std::fmod(truncated, 4294967296.0);
  if (modulo < 0) modulo += 4294967296.0;
  return static_cast<uint32_t>(modulo);
}

double APMPToInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value == 0 || std::isinf(value)) return value;
  return std::trunc(value);
}

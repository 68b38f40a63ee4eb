// APMPEvaluator: evaluates one statement or a list of them through the shared command registrar,
// and the helpers that every command evaluator uses: argument evaluation and count checks, the
// instruction counter, and the integer conversions of numbers.
//
// Every evaluation counts one instruction in the variable "runtime.counter", read through the
// scope chain; the runtime resets it before each handled event. The 1000001st evaluation after a
// reset fails with code 18. Evaluations nested more than APMPMaximumEvaluationDepth deep on one
// thread fail with APMPErrorCodeResourceLimit, so no program can exhaust the stack.
//
// Thread safety: the functions keep no state beyond the nesting depth of the calling thread;
// scopes and values belong to the script's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analytics/script/runtime_value.h"

inline constexpr std::u16string_view APMPInstructionCounterVariableName = u"runtime.counter";
inline constexpr int32_t APMPInstructionCountHardLimit = 1000000;

class APMPEvaluator {
 public:
  // Counts one instruction, then returns a value that is no statement unchanged and sends a
  // statement to the evaluator of its command code (the function evaluator when none owns it).
  // Undefined with the error on failure.
  static APMPValueRef evaluateStatement(const APMPValueRef& statement, const APMPScopeRef& scope,
                                        APMPError* error);
  // Evaluates in order; stops at the first error (undefined) or the first control value (which
  // is returned); otherwise the last result, undefined for an empty list.
  static APMPValueRef executeStatements(const APMPValueList& statements, const APMPScopeRef& scope,
                                        APMPError* error);
  // A function body: executeStatements(), with a "return" value unwrapped to its data.
  static APMPValueRef executeFunctionBody(const APMPValueList& statements,
                                          const APMPScopeRef& scope, APMPError* error);
};

// Evaluates each argument in order. The first error stops: the results so far are returned,
// the failed one (undefined) included.
APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                    APMPError* error);

// Count checks: exactly n, at least n, at most n. On failure each sets code 9 and returns false.
bool APMPHasExpectedArgumentLength(const APMPValueList& arguments, size_t n, APMPError* error);
bool APMPAssertArgumentsAtLeast(const APMPValueList& arguments, size_t n, APMPError* error);
bool APMPAssertArgumentsAtMost(const APMPValueList& arguments, size_t n, APMPError* error);

// Reads the count, fails with code 18 (count unchanged) at the hard limit, otherwise stores
// count + 1 and returns it. The count is the hidden counter of the nearest scope that has one
// (the runtime's root scope, see APMPScope::enableInstructionCounter()), so that no program can
// reset it by assigning a variable; a chain without one counts in the variable
// "runtime.counter", read through the chain (missing reads as 0) and written with setValue().
int32_t APMPIncrementInstructionCounter(const APMPScopeRef& scope, APMPError* error);

// ECMAScript ToInt32 / ToUint32: NaN and infinities give 0; otherwise truncation toward zero
// modulo 2^32 (ToInt32 then maps values >= 2^31 down by 2^32).
int32_t APMPToInt32(double value);
uint32_t APMPToUInt32(double value);
// NaN gives 0; zeros and infinities unchanged; otherwise truncation toward zero.
double APMPToInteger(double value);

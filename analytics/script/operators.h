// The operator commands: arithmetic (APMPMathCommandEvaluator), comparison
// (APMPComparisonCommandEvaluator), logical (APMPLogicalCommandEvaluator) and bitwise
// (APMPBitwiseCommandEvaluator). The evaluator classes are declared in command_evaluator.h; their
// handler tables, from command code (commands.h) to handler, are made here.
//
// The operators follow JavaScript's closely but not exactly, and the differences are the
// contract:
//   Add joins strings when either operand is an array, function, map or string value, and
//     otherwise adds numbers (true + 1 is 2, null + 1 is 1, [1, 2] + 3 is "1,23").
//   The relational operators compare strings (canonical UTF-16 order) only when both operands
//     are arrays, functions, maps or strings, and numbers otherwise; any NaN makes them false.
//   Loose equality ranks the operands (undefined/null 0, number/boolean 1, string 2, anything
//     else 3) and compares by the lower rank: as strings, as numbers, as "both rank 0", or by
//     identity. Strict equality is APMPStrictEqualityCompare (runtime_value.h).
//   And and Or evaluate their second operand only when needed and yield an operand's value.
//   The bitwise operators work on ToInt32/ToUint32 of the number forms; shift counts are taken
//     modulo 32.
//   PreIncrement/PreDecrement yield their one argument and PostIncrement/PostDecrement the first
//     of their two: the program tree carries the read, the arithmetic and the assignment.
// A wrong argument count fails with code 9; a failed conversion yields undefined with its error
// (3, 4 or 5). Arithmetic never fails: overflow and division by zero give IEEE results.
//
// Thread safety: the tables hold plain functions without state.
#pragma once

#include <string>
#include <unordered_map>

#include "analytics/script/command_evaluator.h"
#include "analytics/script/runtime_value.h"

// The handler table of each operator family, for the constructors of its evaluator class. Math
// and bitwise handlers receive evaluated arguments, comparison handlers exactly two evaluated
// arguments, logical handlers the unevaluated nodes (command_evaluator.h).
std::unordered_map<std::u16string, APMPCommandHandler> APMPMathCommandHandlers();
std::unordered_map<std::u16string, APMPCommandHandler> APMPComparisonCommandHandlers();
std::unordered_map<std::u16string, APMPCommandHandler> APMPLogicalCommandHandlers();
std::unordered_map<std::u16string, APMPCommandHandler> APMPBitwiseCommandHandlers();

// Loose equality (the Equals command): false with the error when a conversion fails. Long texts
// and arrays converted on the way are charged to the instruction count of `scope`'s chain
// (work_meter.h).
bool APMPLooseEqualityCompare(const APMPValueRef& lhs, const APMPValueRef& rhs,
                              const APMPScopeRef& scope, APMPError* error);

// The ordering of the relational operators: -1 when lhs comes first, 0 when equal, 1 otherwise
// (a NaN gives 1). 0 with the error when a conversion fails. Charged like the equality above.
int APMPCompareValues(const APMPValueRef& lhs, const APMPValueRef& rhs, const APMPScopeRef& scope,
                      APMPError* error);

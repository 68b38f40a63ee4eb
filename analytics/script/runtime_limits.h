// Resource limits of the scripting runtime beyond the instruction count (evaluator.h). They keep
// a hostile or broken program from exhausting the stack or the memory of the process: reaching
// one fails the operation with APMPErrorCodeResourceLimit.
#pragma once

#include <cstddef>

// Statement evaluations nested inside each other on one thread (argument evaluation, function
// calls, blocks, loops, method callbacks).
inline constexpr int APMPMaximumEvaluationDepth = 400;

// Nesting of program-tree entries converted to statements, and of containers converted to or
// from Foundation objects, joined to text or compared for equality.
inline constexpr int APMPMaximumNestingDepth = 200;

// Elements of one array value (its length, holes included).
inline constexpr size_t APMPMaximumArrayLength = 1u << 20;

// UTF-16 code units of one string value made by the runtime.
inline constexpr size_t APMPMaximumStringLength = 1u << 24;

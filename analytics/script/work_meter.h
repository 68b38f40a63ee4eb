// APMPWorkMeter: charges the work of native operations (array methods, string methods, loops,
// conversions of whole arrays) against the instruction counter of evaluator.h.
//
// The instruction limit counts statement evaluations, but one evaluation of a native method can
// walk a million elements or scan sixteen million code units, so a program that repeats such a
// call would keep the worker queue busy for hours within the limit. A meter adds one instruction
// for every `unitsPerInstruction` units of native work, so the limit bounds the time of every
// program. Operations on small values never reach one charge and count exactly as the
// evaluations they make.
//
// Thread safety: none; a meter lives on the stack of one operation on the script's thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "analytics/script/runtime_value.h"

// Units of native work that cost one instruction.
inline constexpr size_t APMPElementsPerInstruction = 16;    // Elements copied, moved or compared.
inline constexpr size_t APMPCodeUnitsPerInstruction = 256;  // UTF-16 units scanned or copied.
inline constexpr size_t APMPBindingsPerInstruction = 16;    // Variables bound by a loop.
// Instructions that one step of the regular-expression engine costs (a step is a fixed batch of
// its operations, a few hundred microseconds of backtracking).
inline constexpr int64_t APMPInstructionsPerRegexStep = 256;
// Code units converted for the host (to UTF-8, to a number, into an event) per instruction.
inline constexpr size_t APMPHostUnitsPerInstruction = 64;

// Adds `instructions` to the instruction count that APMPIncrementInstructionCounter() keeps for
// the scope's chain (the runtime's hidden counter, or the script variable outside a runtime).
// When the sum would pass APMPInstructionCountHardLimit the count is set to the limit and the
// call fails with code 18. A conversion error of the variable is passed on. Charging 0 does
// nothing.
[[nodiscard]] bool APMPChargeInstructions(const APMPScopeRef& scope, int64_t instructions,
                                          APMPError* error);

class APMPWorkMeter {
 public:
  // `scope` is the scope whose chain holds the counter; the meter keeps it alive.
  APMPWorkMeter(const APMPScopeRef& scope, size_t unitsPerInstruction)
      : scope_(scope), unitsPerInstruction_(unitsPerInstruction == 0 ? 1 : unitsPerInstruction) {}
  APMPWorkMeter(const APMPWorkMeter&) = delete;
  APMPWorkMeter& operator=(const APMPWorkMeter&) = delete;

  // Adds `units` of work and charges one instruction for each full `unitsPerInstruction` units
  // gathered so far. False with code 18 when the limit is reached: the caller stops its work.
  [[nodiscard]] bool add(size_t units, APMPError* error);

 private:
  const APMPScopeRef scope_;
  const size_t unitsPerInstruction_;
  size_t pending_ = 0;  // Units not yet charged; always below unitsPerInstruction_.
};

// Charges the work of one step of `units` units at once (an APMPWorkMeter used a single time).
[[nodiscard]] bool APMPChargeWork(const APMPScopeRef& scope, size_t units,
                                  size_t unitsPerInstruction, APMPError* error);

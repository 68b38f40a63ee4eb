// Conversions from doubles (and sums of 64-bit integers) to 64-bit integers that never overflow:
// amounts in micros, times in milliseconds, rounded hours and counters all pass through here, so
// a hostile or extreme value ends at a bound (or is refused) instead of in undefined behaviour.
//
// Thread safety: pure functions.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

// The value truncated toward zero when it fits in int64, else nullopt (also for NaN).
inline std::optional<int64_t> ZIVCheckedInt64FromDouble(double value) {
  // 2^63 is exactly representable; every double below it (and at or above -2^63) fits.
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (std::isnan(value) || value >= kTwoTo63 || value < -kTwoTo63) return std::nullopt;
  return static_cast<int64_t>(value);
}

// The value truncated toward zero, held at the int64 bounds; NaN gives 0.
inline int64_t ZIVSaturatingInt64FromDouble(double value) {
  if (std::isnan(value)) return 0;
  if (auto checked = ZIVCheckedInt64FromDouble(value)) return *checked;
  return value > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

// a + b held at the int64 bounds.
inline int64_t ZIVSaturatingAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

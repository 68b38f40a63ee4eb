// Number filters of audience definitions: a comparison of a value with decimal constants that the
// server writes as strings. A filter is checked for validity when a definition is accepted and
// again before each evaluation. Evaluation answers true, false or nullopt (not evaluable); every
// reason for nullopt is logged through the engine's monitor with the filter as context.
//
// Doubles are compared as doubles (equality with a tolerance of two representable steps);
// integers and numeric strings are compared exactly as decimal numbers.
//
// Thread safety: pure functions; the filter message must not be changed by another thread
// meanwhile. The engine calls them on its worker queue.
#pragma once

#include <cstdint>
#include <optional>

#include "analytics/foundation/numeric_util.h"

class APMPBNumberFilter;

// The locale whose number format the double path reads constants in.
inline constexpr const char* ZIVAudienceEnUSLocale = "en_US";

// Comparison types of a number filter (position 0).
enum ZIVAudienceComparisonType : int32_t {
  ZIVAudienceComparisonTypeUnknown = 0,
  ZIVAudienceComparisonTypeLessThan = 1,
  ZIVAudienceComparisonTypeGreaterThan = 2,
  ZIVAudienceComparisonTypeEqual = 3,
  ZIVAudienceComparisonTypeBetween = 4,
};

// The parsed constants of one decimal evaluation; `valid` turns false at the first constant that
// is missing or does not parse.
struct ZIVAudienceComparisonValues {
  std::optional<ZIVDecimalNumber> comparisonValue;
  std::optional<ZIVDecimalNumber> minComparisonValue;
  std::optional<ZIVDecimalNumber> maxComparisonValue;
  bool valid = true;
};

// A comparison type and the numeric constants it needs (logs 8006 to 8011 otherwise). Null is
// invalid.
bool ZIVAudienceIsValidNumberFilter(const APMPBNumberFilter* filter);

// The comparison of a finite double with the filter's constants.
std::optional<bool> ZIVAudienceEvaluateNumberFilterWithDouble(const APMPBNumberFilter* filter,
                                                              double value);
// The integer as an exact decimal number, then the decimal comparison.
std::optional<bool> ZIVAudienceEvaluateNumberFilterWithInt64(const APMPBNumberFilter* filter,
                                                             int64_t value);
// The exact decimal comparison.
std::optional<bool> ZIVAudienceEvaluateNumberFilterWithDecimalNumber(
    const APMPBNumberFilter* filter, const ZIVDecimalNumber& value);

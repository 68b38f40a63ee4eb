#include "analytics/audiences/number_filter.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "analytics/audiences/audience_messages.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"

namespace {

void Log(int64_t code, const std::string& message, const APMPBNumberFilter* filter) {
  ZIVMeasurement::monitor()->logWithLevel(1, code, message, ZIVAudienceMessageContext(filter));
}

std::optional<std::string> Constant(const APMPBNumberFilter* filter, int32_t position) {
  return ZIVAudienceStringField(filter, position);
}

bool IsNumericConstant(const APMPBNumberFilter* filter, int32_t position) {
  std::optional<std::string> text = Constant(filter, position);
  return text && ZIVIsValidNumericString(*text);
}

// The constant read as the "en_US" number format reads "+"-prefixed or plain decimal text: an
// optional sign, digits and at most one ".". Text whose value does not fit a double is refused.
std::optional<double> DoubleConstant(const APMPBNumberFilter* filter, int32_t position) {
  std::optional<std::string> text = Constant(filter, position);
  if (!text || !ZIVIsValidNumericString(*text)) return std::nullopt;
  std::string_view view = *text;
  bool negative = false;
  if (!view.empty() && (view.front() == '+' || view.front() == '-')) {
    negative = view.front() == '-';
    view.remove_prefix(1);
  }
  double value = 0;
  const auto [end, ec] =
      std::from_chars(view.data(), view.data() + view.size(), value, std::chars_format::fixed);
  if (ec != std::errc() || end != view.data() + view.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

int32_t ComparisonType(const APMPBNumberFilter* filter) {
  return NANOGetInt32(filter, APMPBNumberFilter::kComparisonType);
}

}  // namespace

bool ZIVAudienceIsValidNumberFilter(const APMPBNumberFilter* filter) {
  if (!filter || !NANOHasField(filter, APMPBNumberFilter::kComparisonType)) {
    Log(8006, "Number filter has no comparison type", filter);
    return false;
  }
  switch (ComparisonType(filter)) {
    case ZIVAudienceComparisonTypeLessThan:
    case ZIVAudienceComparisonTypeGreaterThan:
    case ZIVAudienceComparisonTypeEqual:
      if (IsNumericConstant(filter, APMPBNumberFilter::kTag3Text)) return true;
      Log(8008, "Numeric filter does not have a valid comparison value. Filter", filter);
      return false;
    case ZIVAudienceComparisonTypeBetween: {
      bool valid = true;
      if (!IsNumericConstant(filter, APMPBNumberFilter::kTag4Text)) {
        Log(8009, "Numeric filter does not have a valid min comparison value. Filter", filter);
        valid = false;
      }
      if (!IsNumericConstant(filter, APMPBNumberFilter::kTag5Text)) {
        Log(8010, "Numeric filter does not have a valid max comparison value. Filter", filter);
        valid = false;
      }
      return valid;
    }
    case ZIVAudienceComparisonTypeUnknown:
      Log(8007, "Number filter has unknown comparison type", filter);
      return false;
    default:
      Log(8011, "Number filter has a real unknown comparison type", filter);
      return false;
  }
}

std::optional<bool> ZIVAudienceEvaluateNumberFilterWithDouble(const APMPBNumberFilter* filter,
                                                              double value) {
  if (!ZIVAudienceIsValidNumberFilter(filter)) return std::nullopt;
  const int32_t type = ComparisonType(filter);
  std::optional<double> constant;
  std::optional<double> minimum;
  std::optional<double> maximum;
  bool parsed = true;
  if (type >= ZIVAudienceComparisonTypeLessThan && type <= ZIVAudienceComparisonTypeEqual) {
    constant = DoubleConstant(filter, APMPBNumberFilter::kTag3Text);
    parsed = constant.has_value();
  } else if (type == ZIVAudienceComparisonTypeBetween) {
    minimum = DoubleConstant(filter, APMPBNumberFilter::kTag4Text);
    maximum = DoubleConstant(filter, APMPBNumberFilter::kTag5Text);
    parsed = minimum && maximum;
  }
  if (!parsed) {
    Log(8012,
        "Number filter is invalid, the comparison filter is not valid. Audience filter will not "
        "be evaluated",
        filter);
    return std::nullopt;
  }
  constexpr double kInf = std::numeric_limits<double>::infinity();
  switch (type) {
    case ZIVAudienceComparisonTypeLessThan:
      return value < *constant;
    case ZIVAudienceComparisonTypeGreaterThan:
      return value > *constant;
    case ZIVAudienceComparisonTypeEqual: {
      // The constant and its nearest representable neighbours count as equal.
      const double lower = std::nextafter(std::nextafter(*constant, -kInf), -kInf);
      const double upper = std::nextafter(std::nextafter(*constant, kInf), kInf);
      return lower < value && value < upper;
    }
    case ZIVAudienceComparisonTypeBetween:
      return *minimum <= value && value <= *maximum;
    case ZIVAudienceComparisonTypeUnknown:
      Log(8013,
          "Validated double number filter has unknown comparison type. Audience filter will not "
          "be evaluated",
          filter);
      return std::nullopt;
    default:
      return false;
  }
}

std::optional<bool> ZIVAudienceEvaluateNumberFilterWithInt64(const APMPBNumberFilter* filter,
                                                             int64_t value) {
  std::optional<ZIVDecimalNumber> number = ZIVDecimalNumber::FromString(std::to_string(value));
  if (!number) return std::nullopt;  // Every int64 fits the decimal type.
  return ZIVAudienceEvaluateNumberFilterWithDecimalNumber(filter, *number);
}

namespace {

std::optional<ZIVAudienceComparisonValues> ParsedComparisonValues(const APMPBNumberFilter* filter) {
  ZIVAudienceComparisonValues values;
  const int32_t type = ComparisonType(filter);
  auto fail = [&](int64_t code, const char* message) {
    Log(code, message, filter);
    values.valid = false;
  };
  if (type >= ZIVAudienceComparisonTypeLessThan && type <= ZIVAudienceComparisonTypeEqual) {
    std::optional<std::string> text = Constant(filter, APMPBNumberFilter::kTag3Text);
    if (!text) {
      fail(8001, "Number filter has no comparison value");
    } else if (!(values.comparisonValue = ZIVParseNumericValueFromString(*text))) {
      fail(8002, "Number filter comparison value is not a number");
    }
  } else if (type == ZIVAudienceComparisonTypeBetween) {
    std::optional<std::string> minText = Constant(filter, APMPBNumberFilter::kTag4Text);
    std::optional<std::string> maxText = Constant(filter, APMPBNumberFilter::kTag5Text);
    if (!minText || !maxText) {
      fail(8003, "Number filter does not have both min and max comparison values");
    } else if (!(values.minComparisonValue = ZIVParseNumericValueFromString(*minText))) {
      fail(8004, "Number filter min comparison value is not a number");
    } else if (!(values.maxComparisonValue = ZIVParseNumericValueFromString(*maxText))) {
      fail(8005, "Number filter max comparison value is not a number");
    }
  } else if (type == ZIVAudienceComparisonTypeUnknown) {
    fail(8000, "Number filter has unknown comparison type");
  }
  return values;
}

}  // namespace

std::optional<bool> ZIVAudienceEvaluateNumberFilterWithDecimalNumber(
    const APMPBNumberFilter* filter, const ZIVDecimalNumber& value) {
  if (!ZIVAudienceIsValidNumberFilter(filter)) return std::nullopt;
  std::optional<ZIVAudienceComparisonValues> values = ParsedComparisonValues(filter);
  if (!values) {
    Log(8014, "Number filter is invalid. Audience filter will not be evaluated. Filter", filter);
    return std::nullopt;
  }
  if (!values->valid) {
    Log(8015,
        "Parsed decimal number comparison values are not valid. Audience filter will not be "
        "evaluated. Filter",
        filter);
    return std::nullopt;
  }
  switch (ComparisonType(filter)) {
    case ZIVAudienceComparisonTypeLessThan:
      return value.compare(*values->comparisonValue) < 0;
    case ZIVAudienceComparisonTypeGreaterThan:
      return value.compare(*values->comparisonValue) > 0;
    case ZIVAudienceComparisonTypeEqual:
      return value.compare(*values->comparisonValue) == 0;
    case ZIVAudienceComparisonTypeBetween:
      return values->minComparisonValue->compare(value) <= 0 &&
             value.compare(*values->maxComparisonValue) <= 0;
    case ZIVAudienceComparisonTypeUnknown:
      Log(8016,
          "Validated decimal number for number filter has unknown comparison type. Audience "
          "filter will not be evaluated",
          filter);
      return std::nullopt;
    default:
      return false;
  }
}

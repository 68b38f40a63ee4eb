#include "analytics/engine/bundling_hooks.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "analytics/foundation/aeu.h"
#include "analytics/foundation/value.h"

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// |digits| * 10^exponent truncated toward zero, with the sign, saturating.
int64_t ScaleDecimal(bool negative, const std::string& digits, int exponent) {
  uint64_t value = 0;
  bool saturated = false;
  // Digits that end up after the decimal point are dropped (truncation).
  const int kept = static_cast<int>(digits.size()) + exponent;
  for (int i = 0; i < kept; ++i) {
    const int digit = i < static_cast<int>(digits.size()) ? digits[i] - '0' : 0;
    if (value > (static_cast<uint64_t>(kMax) - digit) / 10) {
      saturated = true;
      break;
    }
    value = value * 10 + digit;
  }
  if (saturated) return negative ? kMin : kMax;
  return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

}  // namespace

std::optional<int64_t> ZIVDecimalValueInMicros(const fnd::Value& number) {
  if (number.isInt()) {
    const int64_t value = number.asInt();
    if (value > kMax / 1000000) return kMax;
    if (value < kMin / 1000000) return kMin;
    return value * 1000000;
  }
  if (!number.isDouble()) return std::nullopt;
  const double value = number.asDouble();
  if (std::isnan(value)) return std::nullopt;
  if (std::isinf(value)) return value > 0 ? kMax : kMin;
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  if (ec != std::errc()) return std::nullopt;
  std::string text(buffer, end);
  bool negative = false;
  size_t i = 0;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  std::string digits;
  int exponent = 0;
  bool afterPoint = false;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    if (text[i] == '.') {
      afterPoint = true;
    } else {
      digits.push_back(text[i]);
      if (afterPoint) --exponent;
    }
  }
  if (i < text.size()) exponent += std::stoi(text.substr(i + 1));
  return ScaleDecimal(negative, digits, exponent + 6);
}

std::optional<int64_t> ZIVPurchaseHooks::valueInMicros(const ZIVValue& value) {
  if (value.isInt64()) return ZIVDecimalValueInMicros(fnd::Value::Int64(value.int64Value()));
  if (value.isDouble()) return ZIVDecimalValueInMicros(fnd::Value(value.doubleValue()));
  return std::nullopt;
}

bool ZIVPurchaseHooks::isSandboxReceipt() { return APMAEU::isASRS(); }

bool ZIVPurchaseHooks::validateStoreReceipt() { return false; }

#include "platform/storekit/decimal_number.h"

#include <cstdlib>

namespace {

// Exponents are kept within this range, far beyond any price, so that a hostile text cannot make
// stringValue() build a huge string.
constexpr int64_t kMaxExponent = 400;
// Significant digits a text may give.
constexpr size_t kMaxDigits = 64;

}  // namespace

SKDecimalNumber::SKDecimalNumber(bool negative, std::string digits, int64_t exponent)
    : negative_(negative), digits_(std::move(digits)), exponent_(exponent) {
  normalize();
}

void SKDecimalNumber::normalize() {
  size_t first = digits_.find_first_not_of('0');
  if (first == std::string::npos) {
    digits_ = "0";
    exponent_ = 0;
    negative_ = false;
    return;
  }
  digits_.erase(0, first);
  while (digits_.size() > 1 && digits_.back() == '0') {
    digits_.pop_back();
    ++exponent_;
  }
}

std::optional<SKDecimalNumber> SKDecimalNumber::fromString(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::string digits;
  int64_t exponent = 0;
  bool sawDigit = false;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    digits.push_back(text[i++]);
    sawDigit = true;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      digits.push_back(text[i++]);
      --exponent;
      sawDigit = true;
    }
  }
  if (!sawDigit) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
    int64_t value = 0;
    size_t count = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && count < 4) {
      value = value * 10 + (text[i++] - '0');
      ++count;
    }
    if (count == 0) return std::nullopt;
    exponent += negativeExponent ? -value : value;
  }
  if (i != text.size()) return std::nullopt;
  // The limits apply to the amount, not to its spelling: leading zeros and trailing zeros (which
  // move into the exponent) do not count, so that the plain text stringValue() gives of any
  // amount read here reads back.
  SKDecimalNumber number(negative, std::move(digits), exponent);
  if (number.digits_.size() > kMaxDigits) return std::nullopt;
  if (number.exponent_ > kMaxExponent || number.exponent_ < -kMaxExponent) return std::nullopt;
  return number;
}

SKDecimalNumber SKDecimalNumber::fromInt64(int64_t value) {
  const bool negative = value < 0;
  // Through unsigned arithmetic so that the smallest int64 has a magnitude too.
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  return SKDecimalNumber(negative, std::to_string(magnitude), 0);
}

SKDecimalNumber SKDecimalNumber::multiplyingByPowerOf10(int32_t power) const {
  if (isZero()) return *this;
  int64_t exponent = exponent_ + power;
  if (exponent > kMaxExponent) exponent = kMaxExponent;
  if (exponent < -kMaxExponent) exponent = -kMaxExponent;
  return SKDecimalNumber(negative_, digits_, exponent);
}

SKDecimalNumber SKDecimalNumber::multiplying(const SKDecimalNumber& other) const {
  if (isZero() || other.isZero()) return SKDecimalNumber();
  const std::string& a = digits_;
  const std::string& b = other.digits_;
  std::string product(a.size() + b.size(), 0);
  // Schoolbook multiplication over the digit strings, least significant digit last.
  for (size_t i = a.size(); i-- > 0;) {
    int carry = 0;
    for (size_t j = b.size(); j-- > 0;) {
      int sum = product[i + j + 1] + (a[i] - '0') * (b[j] - '0') + carry;
      product[i + j + 1] = static_cast<char>(sum % 10);
      carry = sum / 10;
    }
    product[i] = static_cast<char>(product[i] + carry);
  }
  for (char& c : product) c = static_cast<char>(c + '0');
  int64_t exponent = exponent_ + other.exponent_;
  if (exponent > kMaxExponent) exponent = kMaxExponent;
  if (exponent < -kMaxExponent) exponent = -kMaxExponent;
  return SKDecimalNumber(negative_ != other.negative_, std::move(product), exponent);
}

double SKDecimalNumber::doubleValue() const {
  std::string text = (negative_ ? "-" : "") + digits_ + "e" + std::to_string(exponent_);
  return std::strtod(text.c_str(), nullptr);
}

std::string SKDecimalNumber::stringValue() const {
  std::string sign = negative_ ? "-" : "";
  if (exponent_ >= 0) return sign + digits_ + std::string(static_cast<size_t>(exponent_), '0');
  const size_t fraction = static_cast<size_t>(-exponent_);
  if (digits_.size() > fraction) {
    return sign + digits_.substr(0, digits_.size() - fraction) + "." +
           digits_.substr(digits_.size() - fraction);
  }
  return sign + "0." + std::string(fraction - digits_.size(), '0') + digits_;
}

bool operator==(const SKDecimalNumber& a, const SKDecimalNumber& b) {
  return a.negative_ == b.negative_ && a.digits_ == b.digits_ && a.exponent_ == b.exponent_;
}

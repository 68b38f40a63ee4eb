// SKDecimalNumber: an exact decimal amount (a price), as the store hands it out. It is a sign, a
// run of decimal digits and a power-of-ten exponent, so that scaling by a power of ten or
// multiplying by a whole quantity never rounds; only doubleValue() rounds, once.
//
// Thread safety: an immutable value; may be shared between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class SKDecimalNumber {
 public:
  // Zero.
  SKDecimalNumber() = default;

  // Parses "[+-]digits[.digits]" with at least one digit and an optional exponent part
  // ("e" or "E", sign, up to four digits). Anything else gives nullopt, and so does an amount of
  // more than 64 significant digits (leading and trailing zeros do not count) or one whose
  // exponent, once trailing zeros are taken into it, lies beyond +-400.
  static std::optional<SKDecimalNumber> fromString(std::string_view text);
  static SKDecimalNumber fromInt64(int64_t value);

  // Exact results.
  SKDecimalNumber multiplyingByPowerOf10(int32_t power) const;
  SKDecimalNumber multiplying(const SKDecimalNumber& other) const;

  bool isNegative() const { return negative_; }
  bool isZero() const { return digits_ == "0"; }
  // The nearest double (infinite when the amount is beyond the double range).
  double doubleValue() const;
  // Plain decimal text without exponent: "9.99", "-0.5", "120".
  std::string stringValue() const;

  friend bool operator==(const SKDecimalNumber& a, const SKDecimalNumber& b);

 private:
  SKDecimalNumber(bool negative, std::string digits, int64_t exponent);
  void normalize();

  bool negative_ = false;
  std::string digits_ = "0";  // No leading zeros; "0" for zero.
  int64_t exponent_ = 0;      // Value = digits x 10^exponent.
};

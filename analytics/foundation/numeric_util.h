// Numeric helpers of the engine: the check and parse of numeric strings into decimal numbers,
// and secure random numbers.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A decimal number as the platform's decimal type holds it: at most 38 significant digits and a
// power-of-ten exponent from -128 to 127.
class ZIVDecimalNumber {
 public:
  static constexpr int kMaxDigits = 38;

  // Zero.
  ZIVDecimalNumber() = default;

  // Parses [+-]digits[.digits] (the locale "en_US": "." separates the fraction). Digits beyond
  // kMaxDigits are dropped, as the decimal type drops them. nullopt for anything else and for an
  // exponent out of range.
  static std::optional<ZIVDecimalNumber> FromString(const std::string& text);

  bool isNegative() const { return negative_; }
  bool isZero() const { return digits_ == "0"; }
  // The plain text: "-0.5", "12", "0"; no exponent, no trailing fraction zeros.
  std::string stringValue() const;
  double doubleValue() const;
  // The absolute value.
  ZIVDecimalNumber absoluteValue() const;
  // Exact comparison: -1 when this is smaller than `other`, 0 when equal, 1 when larger.
  int compare(const ZIVDecimalNumber& other) const;

  bool operator==(const ZIVDecimalNumber&) const = default;

 private:
  bool negative_ = false;
  std::string digits_ = "0";  // Significant digits without leading or trailing zeros ("0").
  int exponent_ = 0;          // Value = digits * 10^exponent.
};

// True when the string is not empty and wholly matches
// "^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$" (compiled once, case-insensitive). When the expression
// cannot be compiled, logs 26000 at level 2 and answers false; the next call tries again.
bool ZIVIsValidNumericString(const std::string& string);

// The decimal number of a numeric string, or nullopt: an invalid string logs 26001, a string that
// does not parse logs 26002, and a number whose plain text is not found in the string (precision
// lost) logs 26003, all at level 2 with the string as context.
std::optional<ZIVDecimalNumber> ZIVParseNumericValueFromString(const std::string& string);

class ZIVNumericUtil {
 public:
  // 8 bytes from the secure random source. On failure logs 26004 at level 5 with the system's
  // error text and returns what was filled (0 when nothing was).
  static int64_t randomInt64();
  // A uniform integer in [0, upperBound) from the secure random source; 0 when upperBound < 2.
  static uint64_t randomUniform(uint64_t upperBound);
};

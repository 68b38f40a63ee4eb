#include "analytics/foundation/numeric_util.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "platform/foundation/regex.h"
#include "platform/security/random.h"

namespace {

constexpr const char* kNumericPattern = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";

}  // namespace

std::optional<ZIVDecimalNumber> ZIVDecimalNumber::FromString(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::string integerDigits;
  std::string fractionDigits;
  bool sawPoint = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      (sawPoint ? fractionDigits : integerDigits) += c;
    } else if (c == '.' && !sawPoint) {
      sawPoint = true;
    } else {
      return std::nullopt;
    }
  }
  if (integerDigits.empty() && fractionDigits.empty()) return std::nullopt;

  std::string all = integerDigits + fractionDigits;
  int64_t exponent = -static_cast<int64_t>(fractionDigits.size());
  const size_t first = all.find_first_not_of('0');
  ZIVDecimalNumber number;
  if (first == std::string::npos) return number;  // Zero, whatever its sign.
  all.erase(0, first);
  if (all.size() > static_cast<size_t>(kMaxDigits)) {
    exponent += static_cast<int64_t>(all.size() - kMaxDigits);
    all.resize(kMaxDigits);
  }
  while (all.size() > 1 && all.back() == '0') {
    all.pop_back();
    ++exponent;
  }
  if (exponent < -128 || exponent > 127) return std::nullopt;
  number.negative_ = negative;
  number.digits_ = std::move(all);
  number.exponent_ = static_cast<int>(exponent);
  return number;
}

std::string ZIVDecimalNumber::stringValue() const {
  std::string out;
  if (exponent_ >= 0) {
    out = digits_ + std::string(static_cast<size_t>(exponent_), '0');
  } else {
    const size_t fraction = static_cast<size_t>(-exponent_);
    if (digits_.size() > fraction) {
      out = digits_.substr(0, digits_.size() - fraction) + "." +
            digits_.substr(digits_.size() - fraction);
    } else {
      out = "0." + std::string(fraction - digits_.size(), '0') + digits_;
    }
  }
  return negative_ && !isZero() ? "-" + out : out;
}

double ZIVDecimalNumber::doubleValue() const { return std::strtod(stringValue().c_str(), nullptr); }

ZIVDecimalNumber ZIVDecimalNumber::absoluteValue() const {
  ZIVDecimalNumber copy = *this;
  copy.negative_ = false;
  return copy;
}

int ZIVDecimalNumber::compare(const ZIVDecimalNumber& other) const {
  const bool negative = negative_ && !isZero();
  const bool otherNegative = other.negative_ && !other.isZero();
  if (negative != otherNegative) return negative ? -1 : 1;
  int magnitude = 0;
  if (isZero() || other.isZero()) {
    magnitude = isZero() ? (other.isZero() ? 0 : -1) : 1;
  } else {
    // Position of the most significant digit, then the digits themselves.
    const int64_t top = static_cast<int64_t>(digits_.size()) + exponent_;
    const int64_t otherTop = static_cast<int64_t>(other.digits_.size()) + other.exponent_;
    if (top != otherTop) {
      magnitude = top < otherTop ? -1 : 1;
    } else {
      const int order = digits_.compare(other.digits_);  // Neither has trailing zeros.
      magnitude = order < 0 ? -1 : (order > 0 ? 1 : 0);
    }
  }
  return negative ? -magnitude : magnitude;
}

bool ZIVIsValidNumericString(const std::string& string) {
  static std::mutex mu;
  static std::optional<fnd::Regex> regex;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!regex) {
      fnd::Error error;
      regex = fnd::Regex::Compile(kNumericPattern, fnd::Regex::kCaseInsensitive, &error);
      if (!regex) {
        ZIVMeasurement::monitor()->logWithLevel(
            2, 26000, "Unable to initialize decimal number regexp. Regex, error",
            fnd::Value(kNumericPattern), ZIVErrorContext(error));
        return false;
      }
    }
  }
  if (string.empty()) return false;
  return regex->matches(string);
}

std::optional<ZIVDecimalNumber> ZIVParseNumericValueFromString(const std::string& string) {
  const auto& monitor = ZIVMeasurement::monitor();
  if (!ZIVIsValidNumericString(string)) {
    monitor->logWithLevel(2, 26001, "String value does not represent a numeric value. Value",
                          fnd::Value(string));
    return std::nullopt;
  }
  std::optional<ZIVDecimalNumber> number = ZIVDecimalNumber::FromString(string);
  if (!number) {
    monitor->logWithLevel(2, 26002, "Unable to create a NSDecimalNumber from string value. Value",
                          fnd::Value(string));
    return std::nullopt;
  }
  std::string text = string;
  if (text.rfind("+.", 0) == 0 || text.rfind("-.", 0) == 0) {
    text.replace(1, 1, "0.");
  } else if (text.rfind(".", 0) == 0) {
    text.replace(0, 1, "0.");
  }
  if (text.find(number->absoluteValue().stringValue()) == std::string::npos) {
    monitor->logWithLevel(
        2, 26003, "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
        fnd::Value(string));
    return std::nullopt;
  }
  return number;
}

int64_t ZIVNumericUtil::randomInt64() {
  int64_t value = 0;
  errno = 0;
  if (security::SecRandomCopyBytes(security::kSecRandomDefault, sizeof(value), &value) !=
      security::errSecSuccess) {
    const int err = errno;
    ZIVMeasurement::monitor()->logWithLevel(5, 26004, "Unable to generate random integer",
                                            fnd::Value(std::strerror(err)));
  }
  return value;
}

uint64_t ZIVNumericUtil::randomUniform(uint64_t upperBound) {
  if (upperBound < 2) return 0;
  // Rejection sampling: draws below `limit` map evenly onto [0, upperBound).
  const uint64_t limit = UINT64_MAX - (UINT64_MAX % upperBound);
  for (;;) {
    uint64_t draw = 0;
    if (!security::RandomFill(&draw, sizeof(draw))) {
      static std::mutex mu;
      static std::mt19937_64 fallback{std::random_device{}()};
      std::lock_guard<std::mutex> lock(mu);
      draw = fallback();
    }
    if (draw < limit) return draw % upperBound;
  }
}

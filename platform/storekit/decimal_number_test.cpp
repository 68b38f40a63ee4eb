#include "platform/storekit/decimal_number.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

std::string Zeros(size_t n) { return std::string(n, '0'); }

TEST(SKDecimalNumberTest, ParsesAndPrintsPlainText) {
  struct Case {
    std::string text;
    std::optional<std::string> printed;  // nullopt: refused.
  } cases[] = {
      {"9.99", "9.99"},
      {"-0.50", "-0.5"},
      {"+120", "120"},
      {"1.5e2", "150"},
      {"-12.50e-3", "-0.0125"},
      {"-0", "0"},
      {"0e999", "0"},
      {"", std::nullopt},
      {"-", std::nullopt},
      {".", std::nullopt},
      {"1e", std::nullopt},
      {"1e12345", std::nullopt},
      {"1.2.3", std::nullopt},
      {"12x", std::nullopt},
      // Only significant digits count against the limit of 64.
      {Zeros(100) + "7", "7"},
      {"1" + Zeros(141), "1" + Zeros(141)},
      {std::string(64, '9'), std::string(64, '9')},
      {std::string(65, '9'), std::nullopt},
      {"1." + std::string(64, '0'), "1"},
      // The exponent is bounded once trailing zeros are in it.
      {"1e400", "1" + Zeros(400)},
      {"1e401", std::nullopt},
      {"1000e398", std::nullopt},
      {"1e-400", "0." + Zeros(399) + "1"},
      {"0.1e-400", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    std::optional<SKDecimalNumber> number = SKDecimalNumber::fromString(c.text);
    ASSERT_EQ(number.has_value(), c.printed.has_value());
    if (!number) continue;
    EXPECT_EQ(number->stringValue(), *c.printed);
  }
}

// Found by fuzzing: "1e141" printed 142 digits that no longer parsed, because the limit counted
// the zeros of the spelling rather than the digits of the amount.
TEST(SKDecimalNumberTest, WhatItPrintsReadsBackEqual) {
  for (const char* text : {"1e141", "1e400", "1e-400", "123456789e-300", "-5e399", "0.000001"}) {
    SCOPED_TRACE(text);
    std::optional<SKDecimalNumber> number = SKDecimalNumber::fromString(text);
    ASSERT_TRUE(number);
    std::optional<SKDecimalNumber> again = SKDecimalNumber::fromString(number->stringValue());
    ASSERT_TRUE(again);
    EXPECT_TRUE(*again == *number);
  }
}

TEST(SKDecimalNumberTest, ExactArithmeticAndDouble) {
  SKDecimalNumber price = *SKDecimalNumber::fromString("9.99");
  EXPECT_EQ(price.multiplying(SKDecimalNumber::fromInt64(3)).stringValue(), "29.97");
  EXPECT_EQ(price.multiplyingByPowerOf10(2).stringValue(), "999");
  EXPECT_EQ(SKDecimalNumber::fromInt64(INT64_MIN).stringValue(), "-9223372036854775808");
  EXPECT_DOUBLE_EQ(price.doubleValue(), 9.99);
  EXPECT_TRUE(SKDecimalNumber::fromString("0.00")->isZero());
}

}  // namespace

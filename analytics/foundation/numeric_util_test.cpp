#include "analytics/foundation/numeric_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "analytics/foundation/test_support.h"
#include "platform/security/random.h"

namespace {

class NumericUtilTest : public ZIVFoundationTest {};

TEST_F(NumericUtilTest, ValidNumericStrings) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"5", true},     {"5.", true},   {".5", true},     {"-.5", true},  {"+12.25", true},
      {"007", true},   {"0.50", true}, {"", false},      {"+", false},   {"-", false},
      {".", false},    {"1e5", false}, {"1.2.3", false}, {" 1", false},  {"1 ", false},
      {"0x10", false}, {"١٢", false},  {"12a", false},   {"--1", false}, {"1\n", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ZIVIsValidNumericString(c.text), c.valid) << c.text;
}

TEST_F(NumericUtilTest, DecimalNumbersCompareExactly) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const Case cases[] = {
      {"5", "5", 0},        {"5", "5.0", 0},
      {"-0", "0", 0},       {"5", "5.0000000001", -1},
      {"12", "1.2", 1},     {"1.2", "1.23", -1},
      {"-1", "1", -1},      {"-2", "-1", -1},
      {"0", "-0.001", 1},   {"0", "0.001", -1},
      {"100", "99.999", 1}, {"9223372036854775807", "9223372036854775806", 1},
  };
  for (const Case& c : cases) {
    auto a = ZIVDecimalNumber::FromString(c.a);
    auto b = ZIVDecimalNumber::FromString(c.b);
    ASSERT_TRUE(a && b) << c.a << " " << c.b;
    EXPECT_EQ(a->compare(*b), c.order) << c.a << " vs " << c.b;
    EXPECT_EQ(b->compare(*a), -c.order) << c.b << " vs " << c.a;
  }
}

TEST_F(NumericUtilTest, ParsedNumbersKeepTheirPlainText) {
  struct Case {
    const char* text;
    const char* plain;
    double value;
  };
  const Case cases[] = {
      {"-.5", "-0.5", -0.5},
      {"0.50", "0.5", 0.5},
      {".5", "0.5", 0.5},
      {"+.25", "0.25", 0.25},
      {"5.", "5", 5},
      {"007", "7", 7},
      {"-0", "0", 0},
      {"100", "100", 100},
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678",
       1.2345678901234568e37},
  };
  for (const Case& c : cases) {
    auto number = ZIVParseNumericValueFromString(c.text);
    ASSERT_TRUE(number.has_value()) << c.text;
    EXPECT_EQ(number->stringValue(), c.plain) << c.text;
    EXPECT_DOUBLE_EQ(number->doubleValue(), c.value) << c.text;
  }
  EXPECT_TRUE(sharedLog_.entries().empty());
}

TEST_F(NumericUtilTest, FailuresAreLoggedWithTheString) {
  EXPECT_EQ(ZIVParseNumericValueFromString("1e5"), std::nullopt);
  ExpectLogged(sharedLog_, 2, 26001, "String value does not represent a numeric value. Value");
  EXPECT_EQ(sharedLog_.withCode(26001)[0].contexts, fnd::Array{fnd::Value("1e5")});

  // More digits than the decimal type holds: the parsed number drops some.
  const std::string long_digits = "123456789012345678901234567890123456789012";
  EXPECT_EQ(ZIVParseNumericValueFromString(long_digits), std::nullopt);
  ExpectLogged(sharedLog_, 2, 26003,
               "Unable to create a NSDecimalNumber from string value: loss of precision. Value");
  EXPECT_EQ(sharedLog_.withCode(26003)[0].contexts, fnd::Array{fnd::Value(long_digits)});

  // Beyond the decimal type's exponent: no number at all.
  EXPECT_EQ(ZIVParseNumericValueFromString(std::string(200, '9')), std::nullopt);
  ExpectLogged(sharedLog_, 2, 26002, "Unable to create a NSDecimalNumber from string value. Value");
  // Level 2 is silent: nothing reaches the console.
  ZIVMeasurement::monitor()->flush();
  EXPECT_TRUE(sharedConsole_.lines().empty());
}

TEST_F(NumericUtilTest, RandomIntegersComeFromTheSecureSource) {
  {
    security::ScopedRandomOverride pattern(fnd::Data{1, 2, 3, 4, 5, 6, 7, 8});
    int64_t expected = 0;
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(&expected, bytes, sizeof(expected));
    EXPECT_EQ(ZIVNumericUtil::randomInt64(), expected);
    EXPECT_TRUE(sharedLog_.entries().empty());
  }
  {
    security::ScopedRandomOverride failing(fnd::Data{});
    errno = 0;
    ZIVNumericUtil::randomInt64();
    ExpectLogged(sharedLog_, 5, 26004, "Unable to generate random integer");
    ASSERT_EQ(sharedLog_.withCode(26004)[0].contexts.size(), 1u);
    EXPECT_TRUE(sharedLog_.withCode(26004)[0].contexts[0].isString());
  }
}

TEST_F(NumericUtilTest, UniformDrawsStayBelowTheBound) {
  EXPECT_EQ(ZIVNumericUtil::randomUniform(0), 0u);
  EXPECT_EQ(ZIVNumericUtil::randomUniform(1), 0u);
  for (int i = 0; i < 200; ++i) EXPECT_LT(ZIVNumericUtil::randomUniform(7), 7u);
  security::ScopedRandomOverride pattern(fnd::Data{5, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(ZIVNumericUtil::randomUniform(86400000), 5u);
}

}  // namespace

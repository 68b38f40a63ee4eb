#include "analytics/audiences/number_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analytics/audiences/audiences_test_support.h"

// The case tables name only the fields that matter to each case.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using audience_test::Number;
using audience_test::NumberFilter;

class NumberFilterTest : public ZIVFoundationTest {};

constexpr double kInf = std::numeric_limits<double>::infinity();

double Up(double v, int steps) {
  for (int i = 0; i < steps; ++i) v = std::nextafter(v, kInf);
  return v;
}
double Down(double v, int steps) {
  for (int i = 0; i < steps; ++i) v = std::nextafter(v, -kInf);
  return v;
}

TEST_F(NumberFilterTest, ValidityNeedsATypeAndItsNumericConstants) {
  struct Case {
    Number filter;
    bool valid;
    std::vector<int64_t> codes;
  };
  const Case cases[] = {
      {{.type = 1, .value = "5"}, true, {}},
      {{.type = 3, .value = "+.5"}, true, {}},
      {{.type = 2, .value = "5x"}, false, {8008}},
      {{.type = 2}, false, {8008}},
      {{.type = 4, .min = "1", .max = "3"}, true, {}},
      {{.type = 4, .min = "1"}, false, {8010}},
      {{.type = 4}, false, {8009, 8010}},
      {{.type = 0, .value = "1"}, false, {8007}},
      {{.type = 9, .value = "1"}, false, {8011}},
      {{.value = "1", .hasType = false}, false, {8006}},
  };
  for (const Case& c : cases) {
    sharedLog_.clear();
    auto filter = NumberFilter(c.filter);
    EXPECT_EQ(ZIVAudienceIsValidNumberFilter(filter.get()), c.valid);
    EXPECT_EQ(sharedLog_.codes(), c.codes);
  }
  EXPECT_FALSE(ZIVAudienceIsValidNumberFilter(nullptr));
}

TEST_F(NumberFilterTest, DoubleEqualityAcceptsTheConstantAndOneStepEitherSide) {
  auto filter = NumberFilter({.type = 3, .value = "0.1"});
  const double tenth = 0.1;
  struct Case {
    double value;
    bool equal;
  };
  const Case cases[] = {
      {tenth, true},         {Up(tenth, 1), true},    {Down(tenth, 1), true},
      {Up(tenth, 2), false}, {Down(tenth, 2), false}, {0.10000001, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithDouble(filter.get(), c.value), c.equal)
        << std::hexfloat << c.value;
  }
}

TEST_F(NumberFilterTest, DoubleComparisons) {
  struct Case {
    Number filter;
    double value;
    std::optional<bool> outcome;
  };
  const Case cases[] = {
      {{.type = 1, .value = "5"}, 4.999, true},
      {{.type = 1, .value = "5"}, 5, false},
      {{.type = 2, .value = "-2.5"}, -2.4, true},
      {{.type = 2, .value = "+7"}, 7, false},
      {{.type = 4, .min = "1", .max = "3"}, 1, true},
      {{.type = 4, .min = "1", .max = "3"}, 3, true},
      {{.type = 4, .min = "1", .max = "3"}, Up(3, 1), false},
      {{.type = 4, .min = "1", .max = "3"}, Down(1, 1), false},
      {{.type = 4, .min = "1"}, 2, std::nullopt},
  };
  for (const Case& c : cases) {
    auto filter = NumberFilter(c.filter);
    EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithDouble(filter.get(), c.value), c.outcome)
        << c.value;
  }
}

TEST_F(NumberFilterTest, DoubleConstantBeyondTheDoubleRangeIsNotEvaluable) {
  auto filter = NumberFilter({.type = 2, .value = "1" + std::string(400, '0')});
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithDouble(filter.get(), 1), std::nullopt);
  ExpectLogged(sharedLog_, 1, 8012,
               "Number filter is invalid, the comparison filter is not valid. Audience filter "
               "will not be evaluated");
}

TEST_F(NumberFilterTest, DecimalPathComparesExactly) {
  auto decimal = [](const char* text) { return *ZIVDecimalNumber::FromString(text); };
  auto five = NumberFilter({.type = 3, .value = "5"});
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithInt64(five.get(), 5), true);
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithDecimalNumber(five.get(), decimal("5.0000000001")),
            false);
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithDecimalNumber(five.get(), decimal("5.000")), true);

  auto between = NumberFilter({.type = 4, .min = "1", .max = "3"});
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithInt64(between.get(), 1), true);
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithInt64(between.get(), 3), true);
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithInt64(between.get(), 4), false);
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithDecimalNumber(between.get(), decimal("0.9999")),
            false);

  auto big = NumberFilter({.type = 2, .value = "9223372036854775806"});
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithInt64(big.get(), INT64_MAX), true);
  auto negative = NumberFilter({.type = 1, .value = "-.5"});
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithInt64(negative.get(), -1), true);
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithInt64(negative.get(), 0), false);
}

TEST_F(NumberFilterTest, InvalidFiltersAreNotEvaluable) {
  auto unknown = NumberFilter({.type = 0, .value = "1"});
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithInt64(unknown.get(), 1), std::nullopt);
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithDouble(unknown.get(), 1), std::nullopt);
  EXPECT_EQ(ZIVAudienceEvaluateNumberFilterWithInt64(nullptr, 1), std::nullopt);
}

}  // namespace

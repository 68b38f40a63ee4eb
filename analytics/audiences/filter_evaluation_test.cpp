#include "analytics/audiences/filter_evaluation.h"

#include <gtest/gtest.h>

#include <cmath>

#include "analytics/audiences/audiences_test_support.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace audience_test;

ZIVValuePtr Str(const char* text) { return ZIVValue::initWithString(std::string(text)); }

class FilterEvaluationTest : public ZIVFoundationTest {
 protected:
  std::optional<bool> Evaluate(const std::shared_ptr<APMPBEventFilter>& filter,
                               const ZIVEvent::Parameters& parameters, int32_t lifetime = 1,
                               int32_t session = 1, const std::string& aggregatesName = "shop") {
    auto aggregates = ZIVEventAggregates::initWithName(aggregatesName, lifetime, 0, session, 0);
    return ZIVAudienceEvaluateEventFilter(filter.get(), "shop", parameters, aggregates.get());
  }
  std::optional<bool> EvaluateProperty(const std::shared_ptr<APMPBFilter>& filter,
                                       ZIVValuePtr value) {
    auto property = PropertyFilter(1, "level", filter);
    auto attribute = ZIVUserAttribute::initWithOrigin("app", "level", std::move(value), 1);
    return ZIVAudienceEvaluatePropertyFilter(property.get(), attribute.get());
  }
};

std::shared_ptr<APMPBFilter> ParamNumber(const std::string& name, Number number,
                                         bool complement = false) {
  return ValueFilter(NumberFilter(number), nullptr, name, complement);
}
std::shared_ptr<APMPBFilter> ParamText(const std::string& name, Text text,
                                       bool complement = false) {
  return ValueFilter(nullptr, StringFilter(text), name, complement);
}

TEST_F(FilterEvaluationTest, EventFilterWithOnlyANameIsTrueForEveryEventOfThatName) {
  EXPECT_EQ(Evaluate(EventFilter(1, "shop"), {}), true);
  EXPECT_EQ(ZIVAudienceEvaluateEventFilter(EventFilter(1, "shop").get(), "other", {}, nullptr),
            std::nullopt);
  EXPECT_EQ(sharedLog_.codes(), std::vector<int64_t>{7006});
}

TEST_F(FilterEvaluationTest, CountFilterReadsLifetimeOrSessionCount) {
  const Number moreThanTwo{.type = 2, .value = "2"};
  auto lifetime = EventFilter(1, "shop", {}, NumberFilter(moreThanTwo));
  auto session = EventFilter(1, "shop", {}, NumberFilter(moreThanTwo), {.sessionScoped = true});
  EXPECT_EQ(Evaluate(lifetime, {}, 3, 1), true);
  EXPECT_EQ(Evaluate(lifetime, {}, 2, 5), false);
  EXPECT_EQ(Evaluate(session, {}, 3, 1), false);
  EXPECT_EQ(Evaluate(session, {}, 1, 3), true);
  EXPECT_EQ(Evaluate(lifetime, {}, 3, 1, "other"), std::nullopt);
  EXPECT_EQ(sharedLog_.codes(), std::vector<int64_t>{7007});
}

TEST_F(FilterEvaluationTest, ParameterFilters) {
  const ZIVEvent::Parameters parameters = {
      {"price", ZIVValue::initWithDouble(9.5)},
      {"qty", ZIVValue::initWithInt64(3)},
      {"code", Str("12")},
      {"item", Str("Red Shoe")},
  };
  struct Case {
    std::shared_ptr<APMPBFilter> filter;
    std::optional<bool> outcome;
    std::vector<int64_t> codes;
  };
  const Case cases[] = {
      {ParamNumber("price", {.type = 2, .value = "9"}), true, {}},
      {ParamNumber("qty", {.type = 3, .value = "3"}), true, {}},
      {ParamNumber("qty", {.type = 3, .value = "3"}, true), false, {}},
      {ParamText("item", {.type = 4, .expression = "shoe"}), true, {}},
      // A string parameter needs a string filter, whatever it holds.
      {ParamNumber("code", {.type = 3, .value = "12"}), std::nullopt, {7010}},
      // A number against a string filter.
      {ParamText("qty", {.type = 5, .expression = "3"}), std::nullopt, {7003}},
      // A missing parameter leaves the filter unevaluated, complemented or not.
      {ParamNumber("absent", {.type = 2, .value = "0"}, true), std::nullopt, {7009}},
      // An invalid inner filter stays not evaluable under the complement.
      {ParamText("item", {.type = 6}, true), std::nullopt, {9003, 9006}},
      {ValueFilter(nullptr, nullptr, "qty"), std::nullopt, {7000}},
  };
  for (const Case& c : cases) {
    sharedLog_.clear();
    EXPECT_EQ(Evaluate(EventFilter(1, "shop", {c.filter}), parameters), c.outcome);
    EXPECT_EQ(sharedLog_.codes(), c.codes);
  }
  // Every parameter filter must pass; the first false decides.
  EXPECT_EQ(Evaluate(EventFilter(1, "shop",
                                 {ParamNumber("qty", {.type = 1, .value = "1"}),
                                  ParamNumber("absent", {.type = 1, .value = "1"})}),
                     parameters),
            false);
}

TEST_F(FilterEvaluationTest, PropertyValues) {
  auto equalsTwelve = ValueFilter(NumberFilter({.type = 3, .value = "12"}), nullptr);
  EXPECT_EQ(EvaluateProperty(equalsTwelve, Str("12")), true);
  EXPECT_EQ(EvaluateProperty(equalsTwelve, Str("12.0")), true);
  EXPECT_EQ(EvaluateProperty(equalsTwelve, ZIVValue::initWithInt64(12)), true);
  EXPECT_EQ(EvaluateProperty(equalsTwelve, ZIVValue::initWithDouble(12.000000001)), false);
  sharedLog_.clear();
  EXPECT_EQ(EvaluateProperty(equalsTwelve, Str("12a")), std::nullopt);
  EXPECT_EQ(sharedLog_.withCode(7001).size(), 1u);
  EXPECT_EQ(EvaluateProperty(equalsTwelve, ZIVValue::initWithDouble(NAN)), std::nullopt);
  EXPECT_EQ(sharedLog_.withCode(7002).size(), 1u);

  auto other = PropertyFilter(1, "other", equalsTwelve);
  auto attribute = ZIVUserAttribute::initWithOrigin("app", "level", ZIVValue::initWithInt64(12), 1);
  EXPECT_EQ(ZIVAudienceEvaluatePropertyFilter(other.get(), attribute.get()), std::nullopt);
  EXPECT_EQ(
      ZIVAudienceEvaluatePropertyFilter(PropertyFilter(1, "level", nullptr).get(), attribute.get()),
      std::nullopt);
  EXPECT_EQ(sharedLog_.withCode(7013).size(), 1u);
  EXPECT_EQ(sharedLog_.withCode(7014).size(), 1u);
}

TEST_F(FilterEvaluationTest, StoredFilterRules) {
  ZIVPropertyFilter stored;
  stored.audienceID = 1;
  stored.filterID = 2;
  stored.propertyName = "level";
  stored.data =
      PropertyFilter(2, "level", ValueFilter(NumberFilter({.type = 2, .value = "5"}), nullptr))
          ->protoBuffer()
          .value();
  auto low = ZIVUserAttribute::initWithOrigin("app", "level", ZIVValue::initWithInt64(1), 1);
  auto high = ZIVUserAttribute::initWithOrigin("app", "level", ZIVValue::initWithInt64(9), 1);
  // A static filter that was true ignores a false outcome; a dynamic one takes it.
  EXPECT_EQ(ZIVGetPropertyFilterEvaluationResult(true, stored, *low), std::nullopt);
  EXPECT_EQ(ZIVGetPropertyFilterEvaluationResult(true, stored, *high), true);
  EXPECT_EQ(ZIVGetPropertyFilterEvaluationResult(false, stored, *low), false);
  stored.dynamic = true;
  EXPECT_EQ(ZIVGetPropertyFilterEvaluationResult(true, stored, *low), false);
  EXPECT_TRUE(ZIVShouldUpdatePropertyFilterEvaluationResult(false, stored));
  stored.sessionScoped = true;
  EXPECT_FALSE(ZIVShouldUpdatePropertyFilterEvaluationResult(false, stored));
  EXPECT_TRUE(ZIVShouldUpdatePropertyFilterEvaluationResult(true, stored));

  EXPECT_FALSE(ZIVShouldEvaluateFilter(true, ZIVEventFilter{}));
  EXPECT_TRUE(ZIVShouldEvaluateFilter(false, ZIVEventFilter{}));
  EXPECT_TRUE(ZIVShouldEvaluateFilter(true, ZIVEventFilter{{.sequence = true}, "purchase"}));

  stored.data = fnd::Data{0xff, 0xff};
  EXPECT_EQ(ZIVGetPropertyFilterEvaluationResult(false, stored, *high), std::nullopt);
  EXPECT_EQ(sharedLog_.withCode(6036).size(), 1u);
}

TEST_F(FilterEvaluationTest, UserAttributeMessagesConvert) {
  auto message = APMPBUserAttribute::initWithMessageInfo(nullptr);
  NANOSetString(message.get(), APMPBUserAttribute::kName, fnd::Value("level"));
  NANOSetInt64(message.get(), APMPBUserAttribute::kSetTimestampMillis, 1500);
  EXPECT_EQ(ZIVConvertNanoToUserProperty(message.get()), nullptr);
  NANOSetInt64(message.get(), APMPBUserAttribute::kIntValue, 4);
  auto attribute = ZIVConvertNanoToUserProperty(message.get());
  ASSERT_NE(attribute, nullptr);
  EXPECT_EQ(attribute->lastSetTimestamp(), 1.5);
  EXPECT_EQ(attribute->origin(), "");
  EXPECT_EQ(attribute->value()->int64Value(), 4);
  NANOSetDouble(message.get(), APMPBUserAttribute::kDoubleValue, 2.5);
  EXPECT_TRUE(ZIVConvertNanoToUserProperty(message.get())->value()->isDouble());
  NANOSetString(message.get(), APMPBUserAttribute::kStringValue, fnd::Value("gold"));
  EXPECT_EQ(ZIVConvertNanoToUserProperty(message.get())->value()->stringValue(), "gold");
}

}  // namespace

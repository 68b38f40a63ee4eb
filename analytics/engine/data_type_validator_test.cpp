#include "analytics/engine/data_type_validator.h"

#include <gtest/gtest.h>

#include "analytics/foundation/test_support.h"
#include "analytics/foundation/value.h"

namespace {

fnd::Value Typed(ZIVValuePtr value) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(value));
}

struct Case {
  const char* name;
  std::function<bool(uint64_t*)> check;
  uint64_t failure;
  int64_t logCode;  // 0: no line
  int64_t level;
  const char* message;
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZIVLogCapture logs(ZIVMeasurement::monitor());
    uint64_t failure = 99;
    EXPECT_EQ(c.check(&failure), c.failure == 0);
    EXPECT_EQ(failure, c.failure);
    auto entries = logs.entries();
    if (c.logCode == 0) {
      EXPECT_TRUE(entries.empty());
      continue;
    }
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].messageCode, c.logCode);
    EXPECT_EQ(entries[0].level, c.level);
    EXPECT_EQ(entries[0].message, c.message);
  }
}

TEST(ZIVDataTypeValidatorTest, InternalUserAttributeNames) {
  using V = ZIVDataTypeValidator;
  // 24 letters outside the Basic Multilingual Plane: 48 UTF-16 units, 24 code points.
  std::string wide;
  for (int i = 0; i < 24; ++i) wide += "\xF0\x9D\x90\x80";  // U+1D400, a letter.
  RunCases({
      {"valid",
       [](uint64_t* f) { return V::isValidInternalUserAttributeName(fnd::Value("_fot"), f); }, 0, 0,
       0, ""},
      {"digit first",
       [](uint64_t* f) { return V::isValidInternalUserAttributeName(fnd::Value("1st"), f); }, 0, 0,
       0, ""},
      {"24 code points",
       [&](uint64_t* f) { return V::isValidInternalUserAttributeName(fnd::Value(wide), f); }, 0, 0,
       0, ""},
      {"nil", [](uint64_t* f) { return V::isValidInternalUserAttributeName(fnd::Value(), f); }, 1,
       13001, 0, "User property name is required and can't be nil"},
      {"number", [](uint64_t* f) { return V::isValidInternalUserAttributeName(fnd::Value(5), f); },
       5, 13000, 0, "User property name must be of type NSString"},
      {"empty", [](uint64_t* f) { return V::isValidInternalUserAttributeName(fnd::Value(""), f); },
       1, 13001, 0, "User property name is required and can't be empty"},
      {"too long",
       [](uint64_t* f) {
         return V::isValidInternalUserAttributeName(fnd::Value(std::string(25, 'a')), f);
       },
       2, 13000, 0, "User property name is too long. The maximum supported length is 24"},
      {"hyphen",
       [](uint64_t* f) { return V::isValidInternalUserAttributeName(fnd::Value("a-b"), f); }, 3,
       13002, 0, "User property name must contain only letters, numbers, or underscores"},
  });
}

TEST(ZIVDataTypeValidatorTest, InternalUserAttributeValues) {
  using V = ZIVDataTypeValidator;
  RunCases({
      {"number",
       [](uint64_t* f) {
         return V::isValidInternalUserAttributeValue(Typed(ZIVValue::initWithInt64(1)), "n", f);
       },
       0, 0, 0, ""},
      {"empty string, silently",
       [](uint64_t* f) {
         return V::isValidInternalUserAttributeValue(Typed(ZIVValue::initWithString(std::string())),
                                                     "n", f);
       },
       1, 0, 0, ""},
      {"nil",
       [](uint64_t* f) { return V::isValidInternalUserAttributeValue(fnd::Value(), "n", f); }, 1,
       13004, 3, "User property value cannot be nil"},
      {"not a typed value",
       [](uint64_t* f) { return V::isValidInternalUserAttributeValue(fnd::Value("x"), "n", f); }, 5,
       13005, 3, "User property value must be a ZIVValue instance. value"},
      {"37 code points",
       [](uint64_t* f) {
         return V::isValidInternalUserAttributeValue(
             Typed(ZIVValue::initWithString(std::string(37, 'v'))), "n", f);
       },
       2, 13000, 3, "User property value is too long. The maximum supported length is 36"},
      {"512 for _psmvalue_gads",
       [](uint64_t* f) {
         return V::isValidInternalUserAttributeValue(
             Typed(ZIVValue::initWithString(std::string(512, 'v'))), "_psmvalue_gads", f);
       },
       0, 0, 0, ""},
  });
}

TEST(ZIVDataTypeValidatorTest, EventOrigins) {
  using V = ZIVDataTypeValidator;
  RunCases({
      {"forwarded",
       [](uint64_t* f) { return V::isValidForwardedEventOrigin(fnd::Value("app+gtm"), f); }, 0, 0,
       0, ""},
      {"no suffix",
       [](uint64_t* f) { return V::isValidForwardedEventOrigin(fnd::Value("app"), f); }, 6, 0, 0,
       ""},
      {"empty", [](uint64_t* f) { return V::isValidForwardedEventOrigin(fnd::Value(""), f); }, 1, 0,
       0, ""},
      {"internal", [](uint64_t* f) { return V::isValidInternalEventOrigin(fnd::Value("auto"), f); },
       0, 0, 0, ""},
      {"internal too long",
       [](uint64_t* f) {
         return V::isValidInternalEventOrigin(fnd::Value(std::string(33, 'o')), f);
       },
       2, 13000, 0, "Event origin is too long. The maximum supported length is 32"},
      {"event name of 40",
       [](uint64_t* f) { return V::isValidInternalEventName(fnd::Value(std::string(40, 'e')), f); },
       0, 0, 0, ""},
  });
}

TEST(ZIVDataTypeValidatorTest, PublicNames) {
  using V = ZIVDataTypeValidator;
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += "\xF0\x9D\x90\x80";  // 40 code points, 80 UTF-16 units.
  RunCases({
      {"40 wide letters",
       [&](uint64_t* f) { return V::isValidPublicEventName(fnd::Value(wide), f); }, 0, 0, 0, ""},
      {"41 letters",
       [](uint64_t* f) { return V::isValidPublicEventName(fnd::Value(std::string(41, 'e')), f); },
       2, 13000, 0, "Event name is too long. The maximum supported length is 40"},
      {"digit first", [](uint64_t* f) { return V::isValidPublicEventName(fnd::Value("1a"), f); }, 3,
       13003, 0, "Event name must start with a letter"},
      {"invalid UTF-8",
       [](uint64_t* f) { return V::isValidPublicEventName(fnd::Value("a\xFF"), f); }, 3, 13002, 0,
       "Event name must contain only letters, numbers, or underscores"},
      {"screen_view",
       [](uint64_t* f) { return V::isValidPublicEventName(fnd::Value("screen_view"), f); }, 0, 0, 0,
       ""},
      {"ad_impression",
       [](uint64_t* f) { return V::isValidPublicEventName(fnd::Value("ad_impression"), f); }, 0, 0,
       0, ""},
      {"session_start",
       [](uint64_t* f) { return V::isValidPublicEventName(fnd::Value("session_start"), f); }, 4,
       13006, 0, "Event name is reserved. Ignoring event"},
      {"ra_ prefix", [](uint64_t* f) { return V::isValidPublicEventName(fnd::Value("ra_x"), f); },
       4, 13007, 0, "Event name uses reserved prefix. Ignoring event"},
      {"parameter prefix",
       [](uint64_t* f) { return V::isValidPublicEventParameterName(fnd::Value("rivado_p"), f); }, 4,
       13008, 0, "Parameter name uses reserved prefix. Ignoring parameter"},
      {"user_id",
       [](uint64_t* f) { return V::isValidPublicUserAttributeName(fnd::Value("user_id"), f); }, 4,
       13009, 0, "User property name is reserved. Ignoring user property"},
      {"zudiroru_ property",
       [](uint64_t* f) { return V::isValidPublicUserAttributeName(fnd::Value("zudiroru_x"), f); },
       4, 13010, 0, "User property name uses reserved prefix. Ignoring user property"},
      {"25-point property",
       [](uint64_t* f) {
         return V::isValidPublicUserAttributeName(fnd::Value(std::string(25, 'p')), f);
       },
       2, 13000, 0, "User property name is too long. The maximum supported length is 24"},
      {"conditional origin",
       [](uint64_t* f) { return V::isValidConditionalUserPropertyOrigin(fnd::Value(""), f); }, 1,
       13001, 0, "Conditional user property origin is required and can't be empty"},
  });
}

TEST(ZIVDataTypeValidatorTest, Values) {
  using V = ZIVDataTypeValidator;
  auto text = [](size_t n) { return Typed(ZIVValue::initWithString(std::string(n, 'v'))); };
  RunCases({
      {"property of 36",
       [&](uint64_t* f) { return V::isValidPublicUserAttributeValue(text(36), f); }, 0, 0, 0, ""},
      {"property of 37",
       [&](uint64_t* f) { return V::isValidPublicUserAttributeValue(text(37), f); }, 2, 13000, 3,
       "User property value is too long. The maximum supported length is 36"},
      {"empty property",
       [&](uint64_t* f) { return V::isValidPublicUserAttributeValue(text(0), f); }, 1, 0, 0, ""},
      {"_id of 256",
       [&](uint64_t* f) { return V::isValidInternalUserAttributeValue(text(256), "_id", f); }, 0, 0,
       0, ""},
      {"public parameter of 501",
       [&](uint64_t* f) { return V::isValidPublicEventParameterValue(text(501), f); }, 2, 13000, 3,
       "Event parameter value is too long. The maximum supported length is 500"},
      {"empty parameter",
       [&](uint64_t* f) { return V::isValidPublicEventParameterValue(text(0), f); }, 0, 0, 0, ""},
      {"screen value is a plain string",
       [&](uint64_t* f) { return V::isValidScreenParameterValue(text(3), f); }, 5, 13000, 0,
       "Screen parameter value must be of type NSString"},
      {"conditional value",
       [&](uint64_t* f) { return V::isValidConditionalUserPropertyValue(text(37), f); }, 2, 13000,
       0, "Conditional user property value is too long. The maximum supported length is 36"},
      {"numeric int",
       [](uint64_t* f) { return V::isValidNumericValue(Typed(ZIVValue::initWithInt64(1)), f); }, 0,
       0, 0, ""},
      {"numeric text", [&](uint64_t* f) { return V::isValidNumericValue(text(1), f); }, 8, 13011, 3,
       "Event parameter value must be specified with a numeric type. value"},
      {"currency eur",
       [](uint64_t* f) {
         return V::isValidCurrencyCode(Typed(ZIVValue::initWithString(std::string("eur"))), f);
       },
       0, 0, 0, ""},
      {"currency with a digit",
       [](uint64_t* f) {
         return V::isValidCurrencyCode(Typed(ZIVValue::initWithString(std::string("US1"))), f);
       },
       9, 13012, 3, "Event parameter value must contain a 3-letter ISO_4217 currency code. value"},
      {"currency of two units and a pair",
       [](uint64_t* f) {
         return V::isValidCurrencyCode(
             Typed(ZIVValue::initWithString(std::string("A\xF0\x9D\x90\x80"))), f);
       },
       9, 13012, 3, "Event parameter value must contain a 3-letter ISO_4217 currency code. value"},
      {"currency number",
       [](uint64_t* f) { return V::isValidCurrencyCode(Typed(ZIVValue::initWithInt64(840)), f); },
       9, 13012, 3, "Event parameter value must contain a 3-letter ISO_4217 currency code. value"},
      {"currency nil", [](uint64_t* f) { return V::isValidCurrencyCode(fnd::Value(), f); }, 1,
       13004, 3, "Event parameter value cannot be nil"},
  });
}

TEST(ZIVDataTypeValidatorTest, ArrayParameters) {
  using V = ZIVDataTypeValidator;
  RunCases({
      {"200 items",
       [](uint64_t* f) { return V::isValidArrayParamForEvent("purchase", "items", 200, false, f); },
       0, 0, 0, ""},
      {"201 items",
       [](uint64_t* f) { return V::isValidArrayParamForEvent("purchase", "items", 201, false, f); },
       12, 13013, 0,
       "Array parameter has too many items. The maximum number of supported items is 200. "
       "Invalid array size"},
      {"not ecommerce",
       [](uint64_t* f) { return V::isValidArrayParamForEvent("level_up", "items", 1, false, f); },
       10, 13013, 0,
       "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name"},
      {"other name",
       [](uint64_t* f) { return V::isValidArrayParamForEvent("purchase", "things", 1, false, f); },
       11, 13013, 0,
       "Event parameter name is an invalid ecommerce items. The name of array parameters for "
       "ecommerce should be \"items\". Invalid parameter name"},
      {"nested first",
       [](uint64_t* f) { return V::isValidArrayParamForEvent("level_up", "x", 999, true, f); }, 13,
       13013, 0, "Nested array parameters are not allowed. Name"},
      {"item not a dictionary",
       [](uint64_t* f) { return V::isValidArrayParamItem(fnd::Value(1), f); }, 14, 13014, 0,
       "Array param must be a dictionary. Parameters"},
  });
}

}  // namespace

#include "analytics/engine/data_type_validator.h"

#include <gtest/gtest.h>

#include "analytics/foundation/value.h"
#include "analytics/storage/storage_test_support.h"

namespace {

using ziv_storage_test::LogCapture;

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
    LogCapture logs;
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

}  // namespace

#include "analytics/foundation/value.h"

#include <gtest/gtest.h>

#include "analytics/foundation/test_support.h"

namespace {

TEST(ZIVValueTest, ValueFromObjectKeepsTheNumberKind) {
  struct Case {
    const char* name;
    fnd::Value object;
    bool allowArray;
    std::optional<int64_t> kind;  // nullopt: refused
    int64_t logCode;              // 0: no log
  };
  const fnd::Array items{fnd::Value(fnd::Dictionary{{"a", 1}})};
  const std::vector<Case> cases = {
      {"true", fnd::Value(true), false, ZIVValue::kInt64, 0},
      {"int", fnd::Value(7), false, ZIVValue::kInt64, 0},
      {"integral double", fnd::Value(2.0), false, ZIVValue::kDouble, 0},
      {"float", fnd::Value(1.5f), false, ZIVValue::kDouble, 0},
      {"string", fnd::Value("x"), false, ZIVValue::kString, 0},
      {"array allowed", fnd::Value(items), true, ZIVValue::kArray, 0},
      {"array refused", fnd::Value(items), false, std::nullopt, 35001},
      {"date", fnd::Value(fnd::Date{1}), true, std::nullopt, 35001},
      {"nil", fnd::Value(), false, std::nullopt, 35000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZIVLogCapture logs(ZIVMeasurement::monitor());
    ZIVValuePtr value = ZIVValue::valueFromObject(c.object, c.allowArray);
    EXPECT_EQ(value != nullptr, c.kind.has_value());
    if (value) {
      EXPECT_EQ(value->valueType(), *c.kind);
    }
    if (c.logCode) {
      auto lines = logs.withCode(c.logCode);
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].level, 0);
    } else {
      EXPECT_TRUE(logs.entries().empty());
    }
  }
  EXPECT_EQ(ZIVValue::valueFromObject(fnd::Value(true))->int64Value(), 1);
  EXPECT_EQ(ZIVValue::valueFromObject(fnd::Value(false))->int64Value(), 0);
  ZIVValuePtr same = ZIVValue::initWithInt64(3);
  EXPECT_EQ(ZIVValue::valueFromObject(fnd::Value(std::static_pointer_cast<fnd::Record>(same))),
            same);
}

TEST(ZIVValueTest, EqualityReadersAndCopies) {
  ZIVValuePtr integer = ZIVValue::initWithInt64(1);
  ZIVValuePtr real = ZIVValue::initWithDouble(1.0);
  EXPECT_FALSE(integer->isEqual(*real));
  EXPECT_TRUE(integer->isEqual(*ZIVValue::initWithInt64(1)));
  ZIVValuePtr copy = integer->copy();
  EXPECT_TRUE(copy->isEqual(*integer));
  EXPECT_EQ(copy->hash(), integer->hash());
  EXPECT_EQ(integer->stringValue(), std::nullopt);
  EXPECT_EQ(integer->doubleValue(), 0.0);
  EXPECT_EQ(real->int64Value(), 0);
  EXPECT_EQ(real->arrayValue(), nullptr);
  EXPECT_EQ(ZIVValue::initWithString(std::string("abc"))->description(), "abc");
  EXPECT_EQ(real->description(), "1");
  EXPECT_EQ(ZIVValue::initWithDouble(0.1)->description(), "0.1");
}

TEST(ZIVValueTest, TypedInitialisersRefuseOtherObjects) {
  struct Case {
    const char* name;
    std::function<ZIVValuePtr()> make;
    int64_t code;
  };
  const std::vector<Case> cases = {
      {"nil string", [] { return ZIVValue::initWithString(fnd::Value()); }, 35002},
      {"number as string", [] { return ZIVValue::initWithString(fnd::Value(1)); }, 35003},
      {"nil array", [] { return ZIVValue::initWithArray(fnd::Value()); }, 35004},
      {"string as array", [] { return ZIVValue::initWithArray(fnd::Value("x")); }, 35005},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZIVLogCapture logs(ZIVMeasurement::monitor());
    EXPECT_EQ(c.make(), nullptr);
    EXPECT_EQ(logs.withCode(c.code).size(), 1u);
  }
}

}  // namespace

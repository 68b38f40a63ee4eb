#include "analytics/config/experiment_flag.h"

#include <gtest/gtest.h>

#include "analytics/config/experiments_test_support.h"

namespace {

using apme_test::APMETest;

class ExperimentFlagTest : public APMETest {};

TEST_F(ExperimentFlagTest, ValuesGoToTheFieldOfTheirKindAndReadBack) {
  struct Case {
    fnd::Value value;
    int32_t position;
    fnd::Value readBack;
  };
  const Case cases[] = {
      {fnd::Value("on"), APMPBFlag::kStringValue, fnd::Value("on")},
      {fnd::Value(7), APMPBFlag::kIntValue, fnd::Value::Int64(7)},
      {fnd::Value(int64_t{1} << 40), APMPBFlag::kIntValue, fnd::Value::Int64(int64_t{1} << 40)},
      // A floating-point number stays a double even when whole.
      {fnd::Value(2.0), APMPBFlag::kDoubleValue, fnd::Value(2.0)},
      {fnd::Value(0.25), APMPBFlag::kDoubleValue, fnd::Value(0.25)},
      // A boolean number is not floating-point: it is stored as an integer.
      {fnd::Value(true), APMPBFlag::kIntValue, fnd::Value::Int64(1)},
  };
  for (const Case& c : cases) {
    auto flag = APMEFlagWithName(fnd::Value("name"), c.value);
    ASSERT_TRUE(flag) << c.value.description();
    EXPECT_EQ(APMEFlagName(*flag), "name");
    for (int32_t position : {APMPBFlag::kIntValue, APMPBFlag::kStringValue, APMPBFlag::kDoubleValue,
                             APMPBFlag::kBoolValue}) {
      EXPECT_EQ(NANOHasField(flag.get(), position), position == c.position)
          << c.value.description() << " position " << position;
    }
    fnd::Value read = APMEValueFromFlagProto(flag.get());
    EXPECT_EQ(read, c.readBack) << c.value.description();
    EXPECT_EQ(read.kind(), c.readBack.kind()) << c.value.description();
  }
}

TEST_F(ExperimentFlagTest, ReadingTakesTheFirstPresentFieldInOrder) {
  auto flag = APMPBFlag::initWithBuffer(nullptr);
  EXPECT_TRUE(APMEValueFromFlagProto(flag.get()).isNull());
  EXPECT_TRUE(APMEValueFromFlagProto(nullptr).isNull());
  NANOSetBool(flag.get(), APMPBFlag::kBoolValue, 1);
  EXPECT_EQ(APMEValueFromFlagProto(flag.get()), fnd::Value(true));
  NANOSetString(flag.get(), APMPBFlag::kStringValue, fnd::Value("s"));
  EXPECT_EQ(APMEValueFromFlagProto(flag.get()), fnd::Value("s"));
  NANOSetDouble(flag.get(), APMPBFlag::kDoubleValue, 1.5);
  EXPECT_EQ(APMEValueFromFlagProto(flag.get()), fnd::Value(1.5));
  NANOSetInt64(flag.get(), APMPBFlag::kIntValue, 3);
  EXPECT_EQ(APMEValueFromFlagProto(flag.get()), fnd::Value::Int64(3));
}

TEST_F(ExperimentFlagTest, BadNamesAndValuesAreRefusedWithTheirCodes) {
  struct Case {
    fnd::Value name;
    fnd::Value value;
    int64_t code;
    std::string message;
  };
  const Case cases[] = {
      {fnd::Value(), fnd::Value(1), 850000, "Flag name must not be nil"},
      {fnd::Value(5), fnd::Value(1), 850001, "Flag name must be a string"},
      {fnd::Value("n"), fnd::Value(), 850002, "Flag value is invalid"},
      {fnd::Value("n"), fnd::Value(fnd::Array{}), 850002, "Flag value is invalid"},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_FALSE(APMEFlagWithName(c.name, c.value));
    ExpectLogged(log_, 1, c.code, c.message);
  }
  EXPECT_EQ(log_.withCode(850002)[0].contexts, (fnd::Array{fnd::Value("array")}));
}

}  // namespace

#include "analytics/foundation/value.h"

#include <gtest/gtest.h>

#include "analytics/engine/event.h"
#include "analytics/foundation/user_attribute.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/storage_test_support.h"

namespace {

using ziv_storage_test::LogCapture;

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
    LogCapture logs;
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
    LogCapture logs;
    EXPECT_EQ(c.make(), nullptr);
    EXPECT_EQ(logs.withCode(c.code).size(), 1u);
  }
}

TEST(ZIVUserAttributeTest, ConstructionFollowsTheInternalRules) {
  struct Case {
    std::string name;
    std::string value;
    bool made;
  };
  const std::vector<Case> cases = {
      {"_fot", "x", true},
      {"plain_name", std::string(36, 'v'), true},
      {"plain_name", std::string(37, 'v'), false},
      {"_id", std::string(256, 'v'), true},
      {"_id", std::string(257, 'v'), false},
      {"_psmvalue", std::string(512, 'v'), true},
      {"_gbraid", std::string(257, 'v'), false},
      {"bad-name", "x", false},
      {std::string(25, 'n'), "x", false},
      {"", "x", false},
      {"name", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + "=" + c.value.substr(0, 5));
    auto attribute =
        ZIVUserAttribute::initWithOrigin("app", c.name, ZIVValue::initWithString(c.value), 1);
    EXPECT_EQ(attribute != nullptr, c.made);
  }
  EXPECT_EQ(ZIVUserAttribute::initWithOrigin("app", "n", nullptr, 1), nullptr);
  EXPECT_FALSE(
      ZIVUserAttribute::initWithOrigin("auto", "_fot", ZIVValue::initWithInt64(1), 1)->isPublic());
  EXPECT_TRUE(
      ZIVUserAttribute::initWithOrigin("app", "level", ZIVValue::initWithInt64(1), 1)->isPublic());
}

TEST(ZIVUserAttributeTest, ProtoCarriesOneValueFieldAndMilliseconds) {
  auto integer =
      ZIVUserAttribute::initWithOrigin("app", "level", ZIVValue::initWithInt64(5), 1.2345);
  auto proto = integer->protoUserAttribute();
  EXPECT_EQ(NANOGetInt64(proto.get(), APMPBUserAttribute::kSetTimestampMillis), 1234);
  EXPECT_EQ(NANOGetString(proto.get(), APMPBUserAttribute::kName), "level");
  EXPECT_EQ(NANOGetInt64(proto.get(), APMPBUserAttribute::kIntValue), 5);
  EXPECT_FALSE(NANOHasField(proto.get(), APMPBUserAttribute::kStringValue));
  EXPECT_FALSE(NANOHasField(proto.get(), APMPBUserAttribute::kDoubleValue));

  auto real = ZIVUserAttribute::initWithOrigin("app", "score", ZIVValue::initWithDouble(2.5), 0);
  EXPECT_EQ(NANOGetDouble(real->protoUserAttribute().get(), APMPBUserAttribute::kDoubleValue), 2.5);
  auto text = ZIVUserAttribute::initWithOrigin("app", "team",
                                               ZIVValue::initWithString(std::string("red")), 0);
  EXPECT_EQ(NANOGetString(text->protoUserAttribute().get(), APMPBUserAttribute::kStringValue),
            "red");
}

TEST(ZIVEventTest, ProtoRoundTripKeepsNameTimesOriginAndParameters) {
  auto event = ZIVEvent::initWithOrigin("app", false, "level_up", 1.2345, 0,
                                        {{"level", ZIVValue::initWithInt64(3)},
                                         {"score", ZIVValue::initWithDouble(0.5)},
                                         {"who", ZIVValue::initWithString(std::string("me"))},
                                         {"_o", ZIVValue::initWithString(std::string("ignored"))}});
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->parameters().at("_o")->stringValue(), "app");
  auto proto = event->protoEvent();
  EXPECT_EQ(NANOGetInt64(proto.get(), APMPBEvent::kTimestampMillis), 1234);
  EXPECT_FALSE(NANOHasField(proto.get(), APMPBEvent::kPreviousTimestampMillis));
  auto bytes = proto->protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  auto back = ZIVEvent::initWithEventProto(*APMPBEvent::initWithBuffer(*bytes));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->name(), "level_up");
  EXPECT_DOUBLE_EQ(back->timestamp(), 1.234);
  ASSERT_EQ(back->parameters().size(), 4u);
  EXPECT_TRUE(back->parameters().at("level")->isEqual(*ZIVValue::initWithInt64(3)));
  EXPECT_TRUE(back->parameters().at("score")->isEqual(*ZIVValue::initWithDouble(0.5)));
}

TEST(ZIVEventTest, EventProtoWithoutAStringOriginIsRefused) {
  auto proto = APMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(proto.get(), APMPBEvent::kName, fnd::Value("e"));
  auto origin = APMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(origin.get(), APMPBEventParam::kName, fnd::Value("_o"));
  NANOSetInt64(origin.get(), APMPBEventParam::kIntValue, 1);
  auto floatOnly = APMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(floatOnly.get(), APMPBEventParam::kName, fnd::Value("f"));
  fnd::Array params{fnd::Value(std::static_pointer_cast<fnd::Record>(floatOnly)),
                    fnd::Value(std::static_pointer_cast<fnd::Record>(origin))};
  NANOSetArray(proto.get(), APMPBEvent::kParams, &params);
  LogCapture logs;
  EXPECT_EQ(ZIVEvent::initWithEventProto(*proto), nullptr);
  EXPECT_EQ(logs.withCode(15001).size(), 1u);
  EXPECT_EQ(logs.withCode(15002).size(), 1u);  // The parameter without a value is skipped.

  auto empty = APMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(empty.get(), APMPBEvent::kName, fnd::Value("e"));
  EXPECT_EQ(ZIVEvent::initWithEventProto(*empty), nullptr);  // No origin at all.
}

TEST(ZIVEventTest, AggregatesWrapAtTheTopAndRefuseNegativeCounts) {
  EXPECT_EQ(ZIVEventAggregates::initWithName("e", -1, 0, 0, 0), nullptr);
  EXPECT_EQ(ZIVEventAggregates::initWithName("bad name", 0, 0, 0, 0), nullptr);
  auto aggregates = ZIVEventAggregates::initWithName("e", 2147483647, 0, 0, 0);
  ASSERT_NE(aggregates, nullptr);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  LogCapture logs;
  aggregates->incrementLifetimeCount();
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
  EXPECT_EQ(logs.withCode(17001).size(), 1u);
}

}  // namespace

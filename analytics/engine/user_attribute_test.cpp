#include "analytics/engine/user_attribute.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analytics/proto/messages.h"

namespace {

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

}  // namespace

#include "platform/foundation/json_serialization.h"

#include <gtest/gtest.h>

namespace fnd {
namespace {

TEST(JSONSerializationTest, ReadsEveryKind) {
  auto value = JSONObjectWithData(std::string_view(
      R"( {"s":"a\u00e9\ud83d\ude00\n","i":-12,"big":12345678901234567890,"d":1.5e2,)"
      R"("t":true,"f":false,"n":null,"a":[1,[]],"o":{},"s":"last"} )"));
  ASSERT_TRUE(value && value->isDictionary());
  const Dictionary& d = *value->dictionary();
  EXPECT_EQ(d.get("s").asString(), "last");  // A repeated key keeps its last value.
  EXPECT_TRUE(d.get("i").isInt());
  EXPECT_EQ(d.get("i").asInt(), -12);
  EXPECT_TRUE(d.get("big").isDouble());
  EXPECT_EQ(d.get("d").asDouble(), 150.0);
  EXPECT_TRUE(d.get("t").isBool());
  EXPECT_TRUE(d.get("n").isNull());
  EXPECT_EQ(d.get("a").array()->size(), 2u);
}

TEST(JSONSerializationTest, RefusesBadText) {
  const char* cases[] = {"",        "{",        "{\"a\":}",    "[1,]",  "01",
                         "\"\\x\"", "1 2",      "\"\\ud800\"", "1e999", "tru",
                         "{'a':1}", "\"\x01\"", "\"\xff\""};
  for (const char* text : cases) {
    Error error;
    EXPECT_FALSE(JSONObjectWithData(std::string_view(text), &error)) << text;
    EXPECT_EQ(error.code(), kJSONReadCorruptError) << text;
  }
  std::string deep(kJSONMaxDepth + 2, '[');
  deep += std::string(kJSONMaxDepth + 2, ']');
  EXPECT_FALSE(JSONObjectWithData(deep));
  std::string ok(kJSONMaxDepth, '[');
  ok += std::string(kJSONMaxDepth, ']');
  EXPECT_TRUE(JSONObjectWithData(ok));
}

}  // namespace
}  // namespace fnd

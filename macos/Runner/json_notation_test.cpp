#include "macos/Runner/json_notation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace runner {
namespace {

using fnd::Array;
using fnd::Value;

TEST(JsonNotationTest, ValuesPrintAndReadBack) {
  fnd::Dictionary plain{{"a", 1}, {"b", Value()}};
  fnd::Dictionary oddKeys{{1, "one"}, {"$x", true}};
  struct Case {
    Value value;
    const char* json;
  } cases[] = {
      {Value(), "null"},
      {Value(true), "true"},
      {Value(7), "7"},
      {Value(-2147483648LL), "-2147483648"},
      {Value::Int64(7), R"({"$int64":"7"})"},
      {Value(int64_t{1} << 40), R"({"$int64":"1099511627776"})"},
      {Value(1.0), "1.0"},
      {Value(0.1), "0.1"},
      {Value(std::numeric_limits<double>::infinity()), R"({"$double":"Infinity"})"},
      {Value("text \"quoted\""), R"("text \"quoted\"")"},
      {Value(fnd::Data{0x00, 0xab, 0xff}), R"({"$bytes":"00abff"})"},
      {Value(std::vector<int32_t>{1, -2}), R"({"$int32s":[1,-2]})"},
      {Value(std::vector<int64_t>{3}), R"({"$int64s":["3"]})"},
      {Value(std::vector<double>{0.5}), R"({"$float64s":[0.5]})"},
      {Value(std::vector<float>{0.5f}), R"({"$float32s":[0.5]})"},
      {Value(Array{1, "x", Value()}), R"([1,"x",null])"},
      {Value(plain), R"({"a":1,"b":null})"},
      {Value(oddKeys), R"({"$map":[[1,"one"],["$x",true]]})"},
      {Value(std::make_shared<TypedRecord>(129, Value(Array{"k", Value()}))),
       R"({"$type":129,"$fields":["k",null]})"},
  };
  for (const Case& c : cases) {
    Json printed = JsonFromValue(c.value);
    EXPECT_EQ(printed.dump(), c.json) << c.value.description();
    std::string error;
    auto back = ValueFromJson(Json::parse(c.json), &error);
    ASSERT_TRUE(back) << c.json << ": " << error;
    EXPECT_EQ(*back, c.value) << c.json;
    EXPECT_EQ(back->isInt64(), c.value.isInt64()) << c.json;
  }
  // NaN prints as a tag and reads back as NaN.
  auto nan = ValueFromJson(JsonFromValue(Value(std::nan(""))));
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan(nan->asDouble()));
}

TEST(JsonNotationTest, TagsThatOnlyRead) {
  struct Case {
    const char* json;
    Value expected;
  } cases[] = {
      {R"({"$int64": 5})", Value::Int64(5)},
      {R"({"$double": 2})", Value(2.0)},
      {R"({"$double": "-Infinity"})", Value(-std::numeric_limits<double>::infinity())},
      {R"({"$bytes": "ABcd"})", Value(fnd::Data{0xab, 0xcd})},
      {R"({"$type": 200, "$fields": {"$int64": "1"}})",
       Value(std::make_shared<TypedRecord>(200, Value::Int64(1)))},
  };
  for (const Case& c : cases) {
    auto v = ValueFromJson(Json::parse(c.json));
    ASSERT_TRUE(v) << c.json;
    EXPECT_EQ(*v, c.expected) << c.json;
  }
}

TEST(JsonNotationTest, MalformedNotationIsAnError) {
  const char* cases[] = {
      R"({"$type": 127, "$fields": []})",
      R"({"$type": 256, "$fields": []})",
      R"({"$type": "129", "$fields": []})",
      R"({"$type": 129})",
      R"({"$type": 129, "$fields": [], "extra": 1})",
      R"({"$int64": "12x"})",
      R"({"$int64": "99999999999999999999"})",
      R"({"$int64": 1.5})",
      R"({"$double": "lots"})",
      R"({"$bytes": "abc"})",
      R"({"$bytes": "zz"})",
      R"({"$bytes": 12})",
      R"({"$int32s": [1, 4294967296]})",
      R"({"$float64s": ["x"]})",
      R"({"$map": [[1]]})",
      R"({"$map": {"a": 1}})",
      R"({"$unknown": 1})",
      R"({"a": 1, "$int64": "1"})",
      R"([1, {"$bytes": "q"}])",
      "18446744073709551615",
  };
  for (const char* c : cases) {
    std::string error;
    EXPECT_FALSE(ValueFromJson(Json::parse(c), &error)) << c;
    EXPECT_FALSE(error.empty()) << c;
  }
}

TEST(JsonNotationTest, DeepNestingIsRefusedNotOverflowed) {
  std::string ok(128, '[');
  ok += std::string(128, ']');
  EXPECT_TRUE(ValueFromJson(Json::parse(ok)));
  for (size_t depth : {130, 100000}) {
    std::string deep(depth, '[');
    deep += std::string(depth, ']');
    std::string error;
    EXPECT_FALSE(ValueFromJson(Json::parse(deep), &error)) << depth;
    EXPECT_NE(error.find("nested deeper"), std::string::npos);
  }
}

TEST(JsonNotationTest, Hex) {
  EXPECT_EQ(HexEncode({}), "");
  EXPECT_EQ(HexEncode({0x0c, 0x01, 0x00}), "0c0100");
  EXPECT_EQ(HexDecode("0C0100"), (fnd::Data{0x0c, 0x01, 0x00}));
  EXPECT_EQ(HexDecode(""), fnd::Data{});
  EXPECT_EQ(HexDecode("0c 01"), std::nullopt);
}

}  // namespace
}  // namespace runner

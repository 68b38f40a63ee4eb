#include "plugins/zudiroru_core/pigeon.h"

#include <gtest/gtest.h>

#include "platform/flutter/codec.h"
#include "platform/foundation/test_home.h"
#include "plugins/zudiroru_core/core_messages.h"
#include "plugins/zudiroru_core/pigeon_error.h"

namespace {

using fnd::Array;
using fnd::Value;
using zudiroru::PigeonChannelName;

TEST(PigeonTest, ChannelNames) {
  struct Case {
    const char* name;
    const char* suffix;
    const char* expected;
  } cases[] = {
      {"pkg.Api.method", "", "dev.flutter.pigeon.pkg.Api.method"},
      {"pkg.Api.method", "second", "dev.flutter.pigeon.pkg.Api.method.second"},
      {"zudiroru_core_platform_interface.ZudiroruAppHostApi.delete", "",
       "dev.flutter.pigeon.zudiroru_core_platform_interface.ZudiroruAppHostApi.delete"},
  };
  for (const Case& c : cases) EXPECT_EQ(PigeonChannelName(c.name, c.suffix), c.expected);
  EXPECT_EQ(zudiroru::PluginChannelName("zudiroru_auth"), "plugins.flutter.io/zudiroru_auth");
}

TEST(PigeonTest, NullableObjectAtIndexNeverReadsPastTheList) {
  Array list{Value("a"), Value()};
  EXPECT_EQ(GetNullableObjectAtIndex(list, 0), Value("a"));
  EXPECT_TRUE(GetNullableObjectAtIndex(list, 1).isNull());
  EXPECT_TRUE(GetNullableObjectAtIndex(list, 2).isNull());
  EXPECT_TRUE(GetNullableObjectAtIndex(list, SIZE_MAX).isNull());
  EXPECT_TRUE(GetNullableObjectAtIndex(Value("not a list"), 0).isNull());
  EXPECT_EQ(GetNullableObjectAtIndex(Value(list), 0), Value("a"));
}

TEST(PigeonTest, WrapResultEnvelopes) {
  auto bare = std::make_shared<flutter::FlutterError>("code", std::nullopt, Value());
  auto full = std::make_shared<flutter::FlutterError>("code", "message", Value(Array{1}));
  struct Case {
    Value result;
    std::shared_ptr<const flutter::FlutterError> error;
    Value expected;
  } cases[] = {
      {Value(), nullptr, Value(Array{Value()})},
      {Value("r"), nullptr, Value(Array{"r"})},
      {Value("ignored"), bare, Value(Array{"code", Value(), Value()})},
      {Value(), full, Value(Array{"code", "message", Value(Array{1})})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wrapResult(c.result, c.error), c.expected) << c.expected.description();
  }
}

class CoreMessagesTest : public ::testing::Test {
 protected:
  fnd::Data Encode(const Value& v) {
    fnd::Error error;
    auto data = ZudiroruCoreGetCodec()->encode(v, &error);
    EXPECT_TRUE(data) << error.description();
    return data.value_or(fnd::Data{});
  }
  std::optional<Value> Decode(const fnd::Data& data, fnd::Error* error = nullptr) {
    return ZudiroruCoreGetCodec()->decode(data, error);
  }

  fnd::ScopedTestHome home_;
};

TEST_F(CoreMessagesTest, EmptyOptionsAreAFullListOfNulls) {
  CoreZudiroruOptions empty;
  Array list = empty.toList();
  ASSERT_EQ(list.size(), 14u);
  for (const Value& v : list) EXPECT_TRUE(v.isNull());
  EXPECT_EQ(CoreInitializeResponse().toList(), Array(4, Value()));
}

TEST_F(CoreMessagesTest, OptionsTravelAsTypeByteAndFieldList) {
  auto options = std::make_shared<CoreZudiroruOptions>();
  options->apiKey = "k";
  options->appGroupId = "g";
  fnd::Data expected = {129, 12, 14, 7, 1, 'k'};
  for (int i = 0; i < 12; ++i) expected.push_back(0);
  expected.insert(expected.end(), {7, 1, 'g'});
  EXPECT_EQ(Encode(Value(std::shared_ptr<fnd::Record>(options))), expected);

  auto decoded = Decode(expected);
  ASSERT_TRUE(decoded);
  auto back = decoded->recordAs<CoreZudiroruOptions>();
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->apiKey, "k");
  EXPECT_EQ(back->appGroupId, "g");
  EXPECT_EQ(back->appId, std::nullopt);
}

TEST_F(CoreMessagesTest, ResponsesRoundTripWithNestedOptions) {
  auto response = CoreInitializeResponse::make(
      "[DEFAULT]",
      CoreZudiroruOptions::make("key", "app", "sender", "project", std::nullopt, std::nullopt,
                                "bucket", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                "client", "bundle", std::nullopt),
      false, fnd::Dictionary{{"plugins.flutter.io/x", fnd::Dictionary{{"k", 1}}}});
  Value list(Array{Value(std::shared_ptr<fnd::Record>(response))});
  fnd::Data bytes = Encode(list);
  ASSERT_GE(bytes.size(), 17u);
  EXPECT_EQ(bytes[2], 130);  // A list of one, then the response's type byte.
  // Its field list of four: the name (7, 9, "[DEFAULT]"), then the options record.
  EXPECT_EQ(bytes[16], 129);
  auto decoded = Decode(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, list);
}

TEST_F(CoreMessagesTest, ShortAndMalformedRecordsAreHandled) {
  // A field list shorter than the message reads the missing fields as absent.
  auto shortList = Decode({129, 12, 1, 7, 1, 'k'});
  ASSERT_TRUE(shortList);
  auto options = shortList->recordAs<CoreZudiroruOptions>();
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->apiKey, "k");
  EXPECT_EQ(options->appGroupId, std::nullopt);

  struct Case {
    const char* what;
    fnd::Data bytes;
    int64_t code;
  } cases[] = {
      {"record without a list", {129, 7, 1, 'k'}, flutter::kFlutterCodecInvalidValue},
      {"record cut short", {130}, flutter::kFlutterCodecTruncated},
      {"unknown type byte", {131, 12, 0}, flutter::kFlutterCodecUnknownType},
  };
  for (const Case& c : cases) {
    fnd::Error error;
    EXPECT_FALSE(Decode(c.bytes, &error)) << c.what;
    EXPECT_EQ(error.code(), c.code) << c.what;
  }
}

TEST_F(CoreMessagesTest, FieldsOfTheWrongKindReadAsAbsent) {
  auto response = CoreInitializeResponse::fromList(
      {Value(7), Value("not options"), Value("yes"), Value(Array{})});
  EXPECT_EQ(response->name, std::nullopt);
  EXPECT_EQ(response->options, nullptr);
  EXPECT_EQ(response->isAutomaticDataCollectionEnabled, std::nullopt);
  EXPECT_EQ(response->pluginConstants, std::nullopt);
  EXPECT_EQ(CoreInitializeResponse::nullableFromList(Value()), nullptr);
  // Options given as a bare list are accepted too.
  auto withList = CoreInitializeResponse::fromList({Value("n"), Value(Array{"key"})});
  ASSERT_NE(withList->options, nullptr);
  EXPECT_EQ(withList->options->apiKey, "key");
}

TEST(PigeonErrorTest, WrapErrorShapes) {
  EXPECT_EQ(zudiroru::wrapError(zudiroru::PigeonError("c")), (Array{"c", Value(), Value()}));
  EXPECT_EQ(zudiroru::wrapError(zudiroru::PigeonError("c", "m", Value(1))), (Array{"c", "m", 1}));
  EXPECT_EQ(zudiroru::wrapError(flutter::FlutterError("f", std::nullopt, Value())),
            (Array{"f", Value(), Value()}));
  EXPECT_EQ(zudiroru::wrapError(Value(std::make_shared<zudiroru::PigeonError>("p"))),
            (Array{"p", Value(), Value()}));

  Array other = zudiroru::wrapError(fnd::Error::withDescription("dom", 3, "broken"));
  ASSERT_EQ(other.size(), 3u);
  EXPECT_NE(other[0].asString().find("broken"), std::string::npos);
  EXPECT_EQ(other[2].asString().rfind("Stacktrace: ", 0), 0u);

  Array thrown = zudiroru::wrapError(std::runtime_error("boom"));
  EXPECT_EQ(thrown[0], Value("boom"));
  EXPECT_EQ(thrown[1], Value("runtime_error"));
  EXPECT_EQ(thrown[2].asString().rfind("Stacktrace: ", 0), 0u);
}

TEST(PigeonErrorTest, NilOrValue) {
  EXPECT_EQ(zudiroru::nilOrValue(Value()), std::nullopt);
  EXPECT_EQ(zudiroru::nilOrValue(Value(0)), Value(0));
  EXPECT_EQ(zudiroru::nilOrValue<std::string>(Value("s")), "s");
  EXPECT_EQ(zudiroru::nilOrValue<std::string>(Value(1)), std::nullopt);
  EXPECT_EQ(zudiroru::nilOrValue<bool>(Value(false)), false);
  EXPECT_EQ(zudiroru::nilOrValue<int64_t>(Value::Int64(1)), 1);
  EXPECT_EQ(zudiroru::nilOrValue<double>(Value(2)), 2.0);
}

TEST(PigeonErrorTest, DeepEqualityAndHash) {
  using Opt = std::optional<Value>;
  fnd::Dictionary ab{{"a", 1}, {"b", Value()}};
  fnd::Dictionary ba{{"b", Value()}, {"a", 1}};
  fnd::Dictionary ac{{"a", 1}, {"c", Value()}};
  struct Case {
    const char* what;
    Opt left, right;
    bool equal;
  } cases[] = {
      {"null and absent", Value(), std::nullopt, true},
      {"absent and value", std::nullopt, Value(1), false},
      {"lists of different lengths", Value(Array{1}), Value(Array{1, 1}), false},
      {"lists with null elements", Value(Array{Value(), 2}), Value(Array{Value(), 2}), true},
      {"maps in other order", Value(ab), Value(ba), true},
      {"map missing a key on the right", Value(ab), Value(ac), false},
      {"int and double", Value(1), Value(1.0), false},
      {"nested lists", Value(Array{Value(Array{"x"})}), Value(Array{Value(Array{"x"})}), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(zudiroru::PigeonDeepEquals(c.left, c.right), c.equal) << c.what;
    if (c.equal) {
      zudiroru::PigeonHasher l, r;
      zudiroru::PigeonDeepHash(c.left, l);
      zudiroru::PigeonDeepHash(c.right, r);
      EXPECT_EQ(l.finalize(), r.finalize()) << c.what;
    }
  }
}

}  // namespace

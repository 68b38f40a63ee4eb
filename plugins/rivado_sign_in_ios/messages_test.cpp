#include "plugins/rivado_sign_in_ios/messages.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/test_home.h"

namespace {

using fnd::Array;
using fnd::Value;

Value Rec(std::shared_ptr<fnd::Record> r) { return Value(std::move(r)); }

TEST(SignInMessagesTest, EmptyUserDataIsByte130AndSixNulls) {
  fnd::ScopedTestHome home;
  auto codec = FSIRivadoSignInApiGetCodec();
  EXPECT_EQ(codec, FSIRivadoSignInApiGetCodec()) << "made once";
  auto user = FSIUserData::makeWithDisplayName({}, {}, {}, {}, {}, {});
  auto bytes = codec->encode(Rec(user));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, (fnd::Data{130, 12, 6, 0, 0, 0, 0, 0, 0}));
  auto back = codec->decode(*bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, Rec(user));
}

TEST(SignInMessagesTest, RecordsRoundTripUnderTheirTypeBytes) {
  fnd::ScopedTestHome home;
  struct Case {
    uint8_t type;
    Value record;
    Array fields;
  } cases[] = {
      {128, Rec(FSIInitParams::makeWithScopes({"a", "b"}, "corp.example", "client", {})),
       Array{Value(Array{"a", "b"}), "corp.example", "client", Value()}},
      {129, Rec(FSITokenData::makeWithIdToken("id", "access")), Array{"id", "access"}},
      {130, Rec(FSIUserData::makeWithDisplayName("Ada", "ada@example.com", "u1", {}, "code", "id")),
       Array{"Ada", "ada@example.com", "u1", Value(), "code", "id"}},
  };
  auto codec = FSIRivadoSignInApiGetCodec();
  for (const Case& c : cases) {
    // Inside a list, as replies carry them.
    auto bytes = codec->encode(Value(Array{c.record}));
    ASSERT_TRUE(bytes) << int(c.type);
    ASSERT_GT(bytes->size(), 3u);
    EXPECT_EQ((*bytes)[2], c.type);
    auto back = codec->decode(*bytes);
    ASSERT_TRUE(back) << int(c.type);
    EXPECT_EQ(*back, Value(Array{c.record})) << int(c.type);
    EXPECT_EQ(back->array()->at(0).recordAs<zudiroru::PigeonMessage>()->toList(), c.fields);
  }
}

TEST(SignInMessagesTest, FieldListsOfTheWrongShapeDoNotDecode) {
  fnd::ScopedTestHome home;
  auto codec = FSIRivadoSignInApiGetCodec();
  auto standard = flutter::FlutterStandardMessageCodec::sharedInstance();
  struct Case {
    const char* what;
    uint8_t type;
    Value fields;
  } cases[] = {
      {"not a list", 128, Value("scopes")},
      {"a scope that is not a string", 128, Value(Array{Value(Array{"a", 1})})},
      {"a client id that is a number", 128, Value(Array{Value(Array{}), Value(), 7})},
      {"a token that is a bool", 129, Value(Array{true})},
      {"a user id that is a list", 130, Value(Array{Value(), Value(), Value(Array{})})},
  };
  for (const Case& c : cases) {
    fnd::Data bytes{c.type};
    auto body = standard->encode(c.fields);
    ASSERT_TRUE(body);
    bytes.insert(bytes.end(), body->begin(), body->end());
    fnd::Error error;
    EXPECT_FALSE(codec->decode(bytes, &error)) << c.what;
    EXPECT_EQ(error.code(), flutter::kFlutterCodecInvalidValue) << c.what;
  }
  // Short lists and a null scope list are what older Dart code sends; they read as absent.
  auto params = FSIInitParams::fromList(Array{Value()});
  ASSERT_TRUE(params);
  EXPECT_TRUE(params->scopes.empty());
  EXPECT_FALSE(params->clientId);
  EXPECT_EQ(FSIInitParams::nullableFromList(Value()), nullptr);
}

}  // namespace

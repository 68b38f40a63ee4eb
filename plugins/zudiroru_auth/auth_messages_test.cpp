#include "plugins/zudiroru_auth/auth_messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/test_home.h"
#include "plugins/zudiroru_auth/auth_host_api.h"

namespace {

using fnd::Array;
using fnd::Value;

Value Rec(std::shared_ptr<fnd::Record> r) { return Value(std::move(r)); }

std::shared_ptr<PigeonUserCredential> SampleCredential() {
  auto info = PigeonUserInfo::makeWithUid("u1", "ada@example.com", {}, {}, {}, false, true,
                                          "Zudiroru", {}, "zrt.u1", 1500, {});
  auto details = PigeonUserDetails::makeWithUserInfo(info, Array{});
  auto additional = PigeonAdditionalUserInfo::makeWithIsNewUser(true, "password", {}, {}, {});
  auto credential = PigeonAuthCredential::makeWithProviderId("rivado.com", "rivado.com", 42, "at");
  return PigeonUserCredential::makeWithUser(details, additional, credential);
}

TEST(AuthMessagesTest, FieldListsHaveOneElementPerFieldWithNullsForAbsentObjects) {
  fnd::ScopedTestHome home;
  struct Case {
    const char* name;
    Array list;
    size_t size;
  } cases[] = {
      {"PigeonUserInfo", PigeonUserInfo::fromList({})->toList(), 12},
      {"PigeonActionCodeSettings", PigeonActionCodeSettings::fromList({})->toList(), 8},
      {"PigeonIdTokenResult", PigeonIdTokenResult::fromList({})->toList(), 7},
      {"PigeonVerifyPhoneNumberRequest", PigeonVerifyPhoneNumberRequest::fromList({})->toList(), 6},
      {"PigeonUserCredential", PigeonUserCredential::fromList({})->toList(), 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.list.size(), c.size) << c.name;
  }
  // Scalars of an empty list read as false / 0; objects stay null.
  EXPECT_EQ(PigeonUserInfo::fromList({})->toList(),
            (Array{Value(), Value(), Value(), Value(), Value(), false, false, Value(), Value(),
                   Value(), Value(), Value()}));
  EXPECT_EQ(PigeonActionCodeInfo::makeWithOperation(ActionCodeInfoOperation::kRecoverEmail, nullptr)
                ->toList(),
            (Array{3, Value()}));
  EXPECT_EQ(PigeonUserInfo::nullableFromList(Value()), nullptr);
}

TEST(AuthMessagesTest, NullScalarsReadAsFalseOrZeroNeverAsAbsent) {
  fnd::ScopedTestHome home;
  Array nulls(12);
  EXPECT_FALSE(PigeonUserInfo::fromList(nulls)->isAnonymous);
  EXPECT_FALSE(PigeonActionCodeSettings::fromList(nulls)->handleCodeInApp);
  EXPECT_EQ(PigeonVerifyPhoneNumberRequest::fromList(nulls)->timeout, 0);
  EXPECT_EQ(PigeonAuthCredential::fromList(nulls)->nativeId, 0);
  EXPECT_EQ(PigeonMultiFactorInfo::fromList(nulls)->enrollmentTimestamp, 0.0);
  EXPECT_EQ(PigeonActionCodeInfo::fromList(nulls)->operation, ActionCodeInfoOperation::kUnknown);
  // A field of the wrong kind reads as absent rather than failing the message.
  auto app = AuthPigeonZudiroruApp::fromList(Array{7, "tenant", Value()});
  EXPECT_EQ(app->appName, std::nullopt);
  EXPECT_EQ(app->tenantId, "tenant");
}

TEST(AuthMessagesTest, AppRecordHasGoldenBytesOnTheFirstThreeInterfaces) {
  fnd::ScopedTestHome home;
  auto app = AuthPigeonZudiroruApp::makeWithAppName("[DEFAULT]", {}, {});
  fnd::Data golden{0x80, 0x0c, 0x03, 0x07, 0x09, '[', 'D',  'E',
                   'F',  'A',  'U',  'L',  'T',  ']', 0x00, 0x00};
  for (auto codec : {ZudiroruAuthHostApiGetCodec(), ZudiroruAuthUserHostApiGetCodec(),
                     MultiFactorUserHostApiGetCodec()}) {
    auto bytes = codec->encode(Rec(app));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, golden);
    auto back = codec->decode(golden);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, Rec(app));
  }
  EXPECT_EQ(ZudiroruAuthHostApiGetCodec(), ZudiroruAuthHostApiGetCodec()) << "made once";
}

TEST(AuthMessagesTest, OneTypeByteMeansDifferentRecordsOnDifferentInterfaces) {
  fnd::ScopedTestHome home;
  auto standard = flutter::FlutterStandardMessageCodec::sharedInstance();
  auto body = standard->encode(Value(Array{Value(), Value(), Value(), Value(), "SECRET"}));
  ASSERT_TRUE(body);
  fnd::Data bytes{128};
  bytes.insert(bytes.end(), body->begin(), body->end());

  auto totp = MultiFactorTotpHostApiGetCodec()->decode(bytes);
  ASSERT_TRUE(totp);
  ASSERT_TRUE(totp->recordAs<PigeonTotpSecret>());
  EXPECT_EQ(totp->recordAs<PigeonTotpSecret>()->secretKey, "SECRET");

  auto resolver = MultiFactoResolverHostApiGetCodec()->decode(bytes);
  ASSERT_TRUE(resolver);
  EXPECT_TRUE(resolver->recordAs<PigeonAdditionalUserInfo>());

  auto generated = GenerateInterfacesCodec()->decode(bytes);
  ASSERT_TRUE(generated);
  EXPECT_TRUE(generated->recordAs<PigeonMultiFactorInfo>());

  // The secret interface knows no records at all.
  EXPECT_FALSE(MultiFactorTotpSecretHostApiGetCodec()->decode(bytes));
}

TEST(AuthMessagesTest, UserCredentialNestsEachRecordUnderItsOwnByte) {
  fnd::ScopedTestHome home;
  auto credential = SampleCredential();
  struct Case {
    const char* interface;
    std::shared_ptr<const flutter::FlutterStandardMessageCodec> codec;
    std::vector<uint8_t> bytes;  // credential, details, user info, additional info, credential
  } cases[] = {
      {"ZudiroruAuthHostApi", ZudiroruAuthHostApiGetCodec(), {141, 142, 143, 132, 133}},
      {"ZudiroruAuthUserHostApi", ZudiroruAuthUserHostApiGetCodec(), {141, 142, 143, 132, 133}},
      {"MultiFactoResolverHostApi", MultiFactoResolverHostApiGetCodec(), {131, 132, 133, 128, 129}},
  };
  for (const Case& c : cases) {
    auto bytes = c.codec->encode(Rec(credential));
    ASSERT_TRUE(bytes) << c.interface;
    // [credential: byte, list of 3: [details: byte, list of 2: [user info: byte, list of 12 ...
    const fnd::Data& b = *bytes;
    ASSERT_GT(b.size(), 8u);
    EXPECT_EQ((fnd::Data{b[0], b[1], b[2]}), (fnd::Data{c.bytes[0], 0x0c, 3})) << c.interface;
    EXPECT_EQ((fnd::Data{b[3], b[4], b[5]}), (fnd::Data{c.bytes[1], 0x0c, 2})) << c.interface;
    EXPECT_EQ((fnd::Data{b[6], b[7], b[8]}), (fnd::Data{c.bytes[2], 0x0c, 12})) << c.interface;
    // ... then the additional user info (5 fields) and the credential (4 fields).
    auto find = [&](std::initializer_list<uint8_t> sequence) {
      return std::search(b.begin(), b.end(), sequence.begin(), sequence.end()) != b.end();
    };
    EXPECT_TRUE(find({c.bytes[3], 0x0c, 5})) << c.interface;
    EXPECT_TRUE(find({c.bytes[4], 0x0c, 4})) << c.interface;
    auto back = c.codec->decode(*bytes);
    ASSERT_TRUE(back) << c.interface;
    auto decoded = back->recordAs<PigeonUserCredential>();
    ASSERT_TRUE(decoded) << c.interface;
    EXPECT_EQ(decoded->user->userInfo->uid, "u1");
    EXPECT_EQ(decoded->user->userInfo->creationTimestamp, 1500);
    EXPECT_TRUE(decoded->additionalUserInfo->isNewUser);
    EXPECT_EQ(decoded->credential->nativeId, 42);
    EXPECT_EQ(*back, Rec(credential)) << c.interface;
  }
  // The field list holds records, not lists.
  Array list = credential->toList();
  EXPECT_TRUE(list[0].recordAs<PigeonUserDetails>());
  EXPECT_TRUE(list[1].recordAs<PigeonAdditionalUserInfo>());
  EXPECT_TRUE(list[2].recordAs<PigeonAuthCredential>());
  // A codec without the record cannot write it.
  EXPECT_FALSE(MultiFactorTotpHostApiGetCodec()->encode(Rec(credential)));
}

}  // namespace

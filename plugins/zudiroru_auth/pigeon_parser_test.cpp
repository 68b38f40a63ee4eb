#include "plugins/zudiroru_auth/pigeon_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/foundation/test_home.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

std::shared_ptr<DEVUserInfo> ProviderInfo(std::string provider, std::optional<std::string> uid,
                                          std::optional<std::string> photo) {
  return std::make_shared<DEVUserInfo>(DEVUserInfo::Fields{
      std::move(provider), std::move(uid), "Ada", std::nullopt, std::nullopt, std::move(photo)});
}

std::shared_ptr<DEVUser> User(std::optional<std::string> photo) {
  DEVUserState state;
  state.uid = "u1";
  state.email = "ada@example.com";
  state.photoURL = std::move(photo);
  state.emailVerified = true;
  state.refreshToken = "zrt.u1";
  state.metadata.creationDate = 1.5;
  state.metadata.lastSignInDate = 2.0009;
  state.providerData = {ProviderInfo("password", "ada@example.com", std::nullopt),
                        ProviderInfo("rivado.com", std::nullopt, "")};
  return std::make_shared<DEVUser>(std::weak_ptr<DEVAuth>(), state, nullptr);
}

TEST(PigeonParserTest, UserInfoKeepsMillisecondsOfMetadataAndDropsAnEmptyPhoto) {
  fnd::ScopedTestHome home;
  auto info = PigeonParser::getPigeonUserInfo(*User(""));
  EXPECT_EQ(info->creationTimestamp, 1500);
  EXPECT_EQ(info->lastSignInTimestamp, 2000);
  EXPECT_EQ(info->photoUrl, std::nullopt);
  EXPECT_EQ(info->providerId, "Zudiroru");
  EXPECT_TRUE(info->isEmailVerified);
  EXPECT_EQ(PigeonParser::getPigeonUserInfo(*User("https://img.example/a"))->photoUrl,
            "https://img.example/a");
  EXPECT_EQ(PigeonParser::getPigeonUserInfo(*User(std::nullopt))->photoUrl, std::nullopt);
}

TEST(PigeonParserTest, ProviderDataEntriesHaveEightKeysInOrder) {
  fnd::ScopedTestHome home;
  Array data = PigeonParser::getProviderData(User({})->providerData());
  ASSERT_EQ(data.size(), 2u);
  Dictionary expected0{{"providerId", "password"}, {"uid", "ada@example.com"},
                       {"displayName", "Ada"},     {"email", Value()},
                       {"phoneNumber", Value()},   {"photoURL", Value()},
                       {"isAnonymous", false},     {"isEmailVerified", true}};
  EXPECT_EQ(data[0], Value(expected0));
  Array keys = data[1].dictionary()->keys();
  ASSERT_EQ(keys.size(), 8u);
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(keys[i], Value(PigeonParser::providerDataKeys()[i]));
  }
  // No uid reads as the empty string; an empty photo URL stays empty.
  EXPECT_EQ(data[1].dictionary()->get("uid"), Value(""));
  EXPECT_EQ(data[1].dictionary()->get("photoURL"), Value(""));

  auto details = PigeonParser::getPigeonDetails(*User({}));
  Array manual = PigeonParser::getManualList(*details);
  ASSERT_EQ(manual.size(), 2u);
  EXPECT_EQ(manual[0], Value(details->userInfo->toList()));
  EXPECT_EQ(manual[1].array()->size(), 2u);
}

TEST(PigeonParserTest, TokenTimesAreWholeSecondsInMilliseconds) {
  fnd::ScopedTestHome home;
  DEVAuthTokenResult::Fields fields;
  fields.token = "zid.u1.1";
  fields.issuedAtDate = 1.5;
  fields.authDate = 2.999;
  fields.expirationDate = 3601.5;
  fields.signInProvider = "password";
  fields.signInSecondFactor = "totp";
  fields.claims = Dictionary{{"sub", "u1"}};
  auto result = PigeonParser::parseIdTokenResult(DEVAuthTokenResult(fields));
  EXPECT_EQ(result->issuedAtTimestamp, 1000);
  EXPECT_EQ(result->authTimestamp, 2000);
  EXPECT_EQ(result->expirationTimestamp, 3601000);
  EXPECT_EQ(result->signInSecondFactor, "totp");
  EXPECT_EQ(result->claims, (Dictionary{{"sub", "u1"}}));
}

TEST(PigeonParserTest, CredentialsCarryTheirKeyAndOnlyOAuthTokens) {
  fnd::ScopedTestHome home;
  auto password = DEVEmailAuthProvider::credentialWithEmail("ada@example.com", "secret");
  auto withKey = PigeonParser::getPigeonAuthCredential(password, 42);
  EXPECT_EQ(withKey->nativeId, 42);
  EXPECT_EQ(withKey->providerId, "password");
  EXPECT_EQ(withKey->signInMethod, "password");
  EXPECT_EQ(withKey->accessToken, std::nullopt);
  EXPECT_EQ(static_cast<uint64_t>(PigeonParser::getPigeonAuthCredential(password, {})->nativeId),
            static_cast<uint64_t>(password->hash()));
  auto idOnly = DEVOAuthProvider::credentialWithProviderID("oidc.example", "id-token", {}, {});
  EXPECT_EQ(PigeonParser::getPigeonAuthCredential(idOnly, {})->accessToken, "id-token");
  auto both = DEVRivadoAuthProvider::credentialWithIDToken("id-token", "access");
  EXPECT_EQ(PigeonParser::getPigeonAuthCredential(both, {})->accessToken, "access");
  EXPECT_EQ(PigeonParser::getPigeonAuthCredential(nullptr, 1), nullptr);
}

TEST(PigeonParserTest, ActionCodeSettingsApplyOnlyWhatThePlatformUses) {
  fnd::ScopedTestHome home;
  EXPECT_EQ(PigeonParser::parseActionCodeSettings(nullptr), nullptr);
  auto settings = PigeonActionCodeSettings::makeWithUrl({}, "links.example", true, "com.example",
                                                        "com.example.android", true, "12", {});
  auto parsed = PigeonParser::parseActionCodeSettings(settings);
  EXPECT_EQ(parsed->URL(), std::nullopt);
  EXPECT_TRUE(parsed->handleCodeInApp());
  EXPECT_EQ(parsed->iOSBundleID(), "com.example");
  EXPECT_EQ(parsed->androidPackageName(), std::nullopt);
  EXPECT_EQ(parsed->linkDomain(), std::nullopt);
}

TEST(PigeonParserTest, AdditionalUserInfoIsMadeEvenWithoutOne) {
  fnd::ScopedTestHome home;
  auto none = PigeonParser::getPigeonAdditionalUserInfo(nullptr, "code-1");
  EXPECT_EQ(none->toList(), (Array{false, Value(), Value(), "code-1", Value()}));
  auto totp = PigeonParser::getPigeonTotpSecret(DEVTOTPSecret({}, "KEY", "s"));
  EXPECT_EQ(totp->toList(), (Array{Value(), Value(), Value(), Value(), "KEY"}));
}

}  // namespace

#include "plugins/zudiroru_auth/zudiroru_auth_plugin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/authenticationservices/authorization_controller.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/locale.h"
#include "platform/foundation/test_home.h"
#include "platform/security/random.h"
#include "plugins/zudiroru_auth/pigeon_parser.h"
#include "plugins/zudiroru_core/pigeon.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

constexpr const char* kAuth = "ZudiroruAuthHostApi";
constexpr const char* kUser = "ZudiroruAuthUserHostApi";
constexpr const char* kMfaUser = "MultiFactorUserHostApi";
constexpr const char* kResolver = "MultiFactoResolverHostApi";
constexpr const char* kTotp = "MultiFactorTotpHostApi";
constexpr const char* kTotpSecret = "MultiFactorTotpSecretHostApi";

Value Rec(std::shared_ptr<fnd::Record> r) { return r ? Value(std::move(r)) : Value(); }

std::shared_ptr<const flutter::FlutterStandardMessageCodec> CodecOf(const std::string& interface) {
  static const std::map<std::string, std::shared_ptr<const flutter::FlutterStandardMessageCodec>>
      codecs{{kAuth, ZudiroruAuthHostApiGetCodec()},
             {kUser, ZudiroruAuthUserHostApiGetCodec()},
             {kMfaUser, MultiFactorUserHostApiGetCodec()},
             {kResolver, MultiFactoResolverHostApiGetCodec()},
             {kTotp, MultiFactorTotpHostApiGetCodec()},
             {kTotpSecret, MultiFactorTotpSecretHostApiGetCodec()}};
  return codecs.at(interface);
}

std::string ChannelOf(const std::string& interface, const std::string& method) {
  return zudiroru::PigeonChannelName(std::string(kAuthPigeonPackage) + "." + interface + "." +
                                     method);
}

Value App(const char* name = "[DEFAULT]") {
  return Rec(AuthPigeonZudiroruApp::makeWithAppName(name, std::nullopt, std::nullopt));
}

Value Provider(const char* id, std::vector<std::string> scopes = {}) {
  Array list(scopes.begin(), scopes.end());
  return Rec(PigeonSignInProvider::makeWithProviderId(id, list, std::nullopt));
}

class AuthPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    DEVAuthTesting::resetForTesting();
    ASAuthorizationTesting::resetForTesting();
    ASSERT_TRUE(DAVOdu::configureWithOptions(DEVOptions("1:1:ios:1", "sender")));
    ASSERT_TRUE(DAVOdu::configureWithName("secondary", DEVOptions("1:2:ios:2", "sender")));
    plugin_ = FLTZudiroruAuthPlugin::createRegisteredWith(registry_, engine_->binaryMessenger());
    plugin_->setLogSink([this](const std::string& line) {
      std::lock_guard lock(logMu_);
      log_.push_back(line);
    });
    FLTZudiroruAuthPlugin::registerWithRegistrar(
        *engine_->registrarForPlugin("FLTZudiroruAuthPlugin"), plugin_);
    auth_ = DEVAuth::auth();
  }
  void TearDown() override {
    engine_->shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
    ASAuthorizationTesting::resetForTesting();
    DEVAuthTesting::resetForTesting();
    DAVOdu::resetForTesting();
  }

  std::shared_ptr<flutter::FlutterDartReply> SendAsync(const std::string& interface,
                                                       const std::string& method,
                                                       const Array& args) {
    fnd::Error error;
    auto reply = engine_->dart().sendMessage(ChannelOf(interface, method), Value(args),
                                             CodecOf(interface), &error);
    EXPECT_NE(reply, nullptr) << error.description();
    return reply;
  }
  // Sends as Dart does, lets the host and the SDK finish and decodes the reply (null for none).
  Value Send(const std::string& interface, const std::string& method, const Array& args) {
    auto reply = SendAsync(interface, method, args);
    if (!reply) return Value("no reply");
    dispatch::RunLoop::main().runUntil([&] { return reply->received(); });
    dispatch::RunLoop::main().runUntilIdle();  // Listener calls the answer has set off.
    return Decode(interface, *reply);
  }
  static Value Decode(const std::string& interface, const flutter::FlutterDartReply& reply) {
    if (!reply.received()) return Value("no reply");
    fnd::Error error;
    auto value = reply.message(CodecOf(interface), &error);
    EXPECT_TRUE(value) << error.description();
    return value.value_or(Value("undecodable"));
  }
  static Value Result(const Value& reply) {
    EXPECT_TRUE(reply.isArray() && reply.array()->size() == 1) << reply.description();
    return GetNullableObjectAtIndex(reply, 0);
  }
  static void ExpectError(const Value& reply, const std::string& code,
                          std::optional<std::string> message = std::nullopt) {
    ASSERT_TRUE(reply.isArray() && reply.array()->size() == 3) << reply.description();
    EXPECT_EQ(reply.array()->at(0), Value(code)) << reply.description();
    if (message) {
      EXPECT_EQ(reply.array()->at(1), Value(*message)) << reply.description();
    }
  }
  static Dictionary Details(const Value& reply) {
    const Dictionary* d =
        reply.isArray() && reply.array()->size() == 3 ? reply.array()->at(2).dictionary() : nullptr;
    return d ? *d : Dictionary();
  }

  std::shared_ptr<PigeonUserCredential> SignUp(const char* email = "ada@quellmark.example",
                                               const char* password = "engine-1") {
    Value reply = Send(kAuth, "createUserWithEmailAndPassword", {App(), email, password});
    return Result(reply).recordAs<PigeonUserCredential>();
  }
  std::vector<std::string> Log() {
    std::lock_guard lock(logMu_);
    return log_;
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>(1500.25);
  dispatch::ScopedClock scopedClock_{clock_};
  FLTZudiroruPluginRegistry registry_;
  std::shared_ptr<flutter::FlutterEngine> engine_ = std::make_shared<flutter::FlutterEngine>();
  std::shared_ptr<FLTZudiroruAuthPlugin> plugin_;
  std::shared_ptr<DEVAuth> auth_;
  std::mutex logMu_;
  std::vector<std::string> log_;
};

// Every method of the six interfaces, with arguments of the right kinds.
struct Method {
  const char* interface;
  const char* name;
  Array args;
};

std::vector<Method> AllMethods() {
  Value settings = Rec(PigeonActionCodeSettings::makeWithUrl("https://quellmark.example", {}, true,
                                                             {}, {}, false, {}, {}));
  Value phone = Rec(PigeonPhoneMultiFactorAssertion::makeWithVerificationId("v", "123456"));
  return {
      {kAuth, "registerIdTokenListener", {App()}},
      {kAuth, "registerAuthStateListener", {App()}},
      {kAuth, "useEmulator", {App(), "localhost", 9099}},
      {kAuth, "applyActionCode", {App(), "code"}},
      {kAuth, "checkActionCode", {App(), "code"}},
      {kAuth, "confirmPasswordReset", {App(), "code", "new-password"}},
      {kAuth, "createUserWithEmailAndPassword", {App(), "x@quellmark.example", "engine-1"}},
      {kAuth, "signInAnonymously", {App()}},
      {kAuth, "signInWithCredential", {App(), Dictionary{{"signInMethod", "phone"}}}},
      {kAuth, "signInWithCustomToken", {App(), "token"}},
      {kAuth, "signInWithEmailAndPassword", {App(), "x@quellmark.example", "engine-1"}},
      {kAuth, "signInWithEmailLink", {App(), "x@quellmark.example", "https://l.example"}},
      {kAuth, "signInWithProvider", {App(), Provider("github.com")}},
      {kAuth, "signOut", {App()}},
      {kAuth, "fetchSignInMethodsForEmail", {App(), "x@quellmark.example"}},
      {kAuth, "sendPasswordResetEmail", {App(), "x@quellmark.example", settings}},
      {kAuth, "sendSignInLinkToEmail", {App(), "x@quellmark.example", settings}},
      {kAuth, "setLanguageCode", {App(), "fr"}},
      {kAuth, "setSettings", {App(), Value()}},
      {kAuth, "verifyPasswordResetCode", {App(), "code"}},
      {kAuth, "verifyPhoneNumber", {App(), Value()}},
      {kAuth, "revokeTokenWithAuthorizationCode", {App(), "code"}},
      {kAuth, "initializeRecaptchaConfig", {App()}},
      {kUser, "delete", {App()}},
      {kUser, "getIdToken", {App(), true}},
      {kUser, "linkWithCredential", {App(), Dictionary{}}},
      {kUser, "linkWithProvider", {App(), Provider("github.com")}},
      {kUser, "reauthenticateWithCredential", {App(), Dictionary{}}},
      {kUser, "reauthenticateWithProvider", {App(), Provider("github.com")}},
      {kUser, "reload", {App()}},
      {kUser, "sendEmailVerification", {App(), settings}},
      {kUser, "unlink", {App(), "github.com"}},
      {kUser, "updateEmail", {App(), "y@quellmark.example"}},
      {kUser, "updatePassword", {App(), "engine-2"}},
      {kUser, "updatePhoneNumber", {App(), Dictionary{}}},
      {kUser,
       "updateProfile",
       {App(), Rec(PigeonUserProfile::makeWithDisplayName("A", {}, true, false))}},
      {kUser, "verifyBeforeUpdateEmail", {App(), "y@quellmark.example", settings}},
      {kMfaUser, "enrollPhone", {App(), phone, "phone"}},
      {kMfaUser, "enrollTotp", {App(), "assertion", "app"}},
      {kMfaUser, "getSession", {App()}},
      {kMfaUser, "unenroll", {App(), "factor"}},
      {kMfaUser, "getEnrolledFactors", {App()}},
      {kResolver, "resolveSignIn", {"resolver", Value(), "assertion"}},
      {kTotp, "generateSecret", {"session"}},
      {kTotp, "getAssertionForEnrollment", {"secret", "123456"}},
      {kTotp, "getAssertionForSignIn", {"enrollment", "123456"}},
      {kTotpSecret, "generateQrCodeUrl", {"secret", "ada", "quellmark"}},
      {kTotpSecret, "openInOtpApp", {"secret", "otpauth://x"}},
  };
}

TEST_F(AuthPluginTest, EveryChannelOfTheSixInterfacesAnswersAndCanBeCleared) {
  std::vector<Method> methods = AllMethods();
  ASSERT_EQ(methods.size(), 48u);
  for (const Method& m : methods) {
    Value reply = Send(m.interface, m.name, m.args);
    ASSERT_TRUE(reply.isArray()) << m.interface << "." << m.name << ": " << reply.description();
    size_t size = reply.array()->size();
    EXPECT_TRUE(size == 1 || size == 3) << m.name;
    if (size == 3) {
      EXPECT_NE(reply.array()->at(0), Value(kAuthInvalidArgumentCode))
          << m.name << ": " << reply.description();
    }
  }
  // A registered plugin's library is announced to the vendor core.
  bool announced = false;
  for (const auto& [name, version] : DAVOdu::registeredLibraries()) {
    announced |= name == "flutter-dero-auth" && version == "6.1.3";
  }
  EXPECT_TRUE(announced);

  SetUpZudiroruAuthHostApi(engine_->binaryMessenger(), nullptr);
  SetUpMultiFactorTotpSecretHostApi(engine_->binaryMessenger(), nullptr);
  for (const Method& m : methods) {
    if (std::string(m.interface) != kAuth && std::string(m.interface) != kTotpSecret) continue;
    auto reply = SendAsync(m.interface, m.name, m.args);
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_TRUE(reply->received() && reply->data().empty()) << m.name;
  }
}

TEST_F(AuthPluginTest, ChannelNamesTakeASuffixAfterADot) {
  EXPECT_EQ(ChannelOf(kAuth, "signOut"),
            "dev.flutter.pigeon.zudiroru_auth_platform_interface.ZudiroruAuthHostApi.signOut");
  SetUpMultiFactorTotpSecretHostApiWithSuffix(engine_->binaryMessenger(), plugin_, "second");
  fnd::Error error;
  auto reply = engine_->dart().sendMessage(ChannelOf(kTotpSecret, "openInOtpApp") + ".second",
                                           Value(Array{"k", "u"}), nullptr, &error);
  dispatch::RunLoop::main().runUntilIdle();
  ASSERT_TRUE(reply && reply->received());
  EXPECT_EQ(reply->message(), Value(Array{Value()}));
}

TEST_F(AuthPluginTest, ArgumentsOfTheWrongKindAreRefusedAndNullScalarsReadAsZero) {
  ExpectError(Send(kAuth, "signOut", {"not an app"}), kAuthInvalidArgumentCode);
  ExpectError(Send(kAuth, "signInWithCustomToken", {App(), 7}), kAuthInvalidArgumentCode);
  EXPECT_EQ(Send(kAuth, "useEmulator", {App(), "localhost", Value()}), Value(Array{Value()}));
  ASSERT_TRUE(auth_->emulator());
  EXPECT_EQ(auth_->emulator()->second, 0);
  ASSERT_TRUE(SignUp());
  auto token = Result(Send(kUser, "getIdToken", {App(), Value()})).recordAs<PigeonIdTokenResult>();
  ASSERT_TRUE(token);
  EXPECT_EQ(token->token, auth_->currentUser()->token()->token()) << "not refreshed";
}

TEST_F(AuthPluginTest, AnUnknownAppNameIsAnsweredInsteadOfReachingTheSdk) {
  for (const char* method : {"signOut", "signInAnonymously", "registerAuthStateListener"}) {
    ExpectError(Send(kAuth, method, {App("nowhere")}), "no-app",
                "No Zudiroru app named 'nowhere' is configured.");
  }
  ExpectError(Send(kMfaUser, "getSession", {App("nowhere")}), "no-app");
}

TEST_F(AuthPluginTest, TheCallsTenantAndAuthDomainAreAppliedOnEveryCall) {
  Send(kAuth, "signOut",
       {Rec(AuthPigeonZudiroruApp::makeWithAppName("[DEFAULT]", "tenant-1", "login.example"))});
  EXPECT_EQ(auth_->tenantID(), "tenant-1");
  EXPECT_EQ(auth_->customAuthDomain(), "login.example");
  Send(kAuth, "signOut", {App()});
  EXPECT_EQ(auth_->tenantID(), std::nullopt);
  EXPECT_EQ(auth_->customAuthDomain(), std::nullopt);
}

TEST_F(AuthPluginTest, VendorErrorsBecomeHyphenatedCodesWithTheirMessages) {
  struct Case {
    const char* what;
    std::optional<fnd::Error> error;
    std::string code;
    std::string message;
  } cases[] = {
      {"two words", DEVAuthError(DEVAuthErrorCodeWrongPassword), "wrong-password",
       "The password is invalid or the user does not have a password."},
      {"weak password text", DEVAuthError(DEVAuthErrorCodeWeakPassword), "weak-password",
       "Password should be at least 6 characters"},
      {"no name", fnd::Error::withDescription("Other", 5, "Something broke."), "unknown",
       "Something broke."},
      {"no description", fnd::Error("Other", 5), "unknown", "An unknown error has occurred."},
      {"no error", std::nullopt, "unknown", "An unknown error has occurred."},
  };
  for (const Case& c : cases) {
    auto error = plugin_->convertToFlutterError(c.error);
    EXPECT_EQ(error->code(), c.code) << c.what;
    EXPECT_EQ(error->message(), c.message) << c.what;
    EXPECT_EQ(error->details(), Value(Dictionary())) << c.what;
  }
  ASSERT_TRUE(SignUp());
  Send(kAuth, "signOut", {App()});
  Value reply = Send(kAuth, "signInWithEmailAndPassword", {App(), "ada@quellmark.example", "x"});
  ExpectError(reply, "wrong-password");
  ExpectError(
      Send(kAuth, "createUserWithEmailAndPassword", {App(), "b@quellmark.example", "12345"}),
      "weak-password", "Password should be at least 6 characters");
}

TEST_F(AuthPluginTest, ACredentialInAnErrorComesBackThroughItsToken) {
  DEVAuthProviderIdentity identity;
  identity.providerID = "github.com";
  identity.uid = "gh-ada";
  identity.email = "ada@quellmark.example";
  auth_->registerProviderTokenForTesting("gh-token", identity);
  ASSERT_TRUE(SignUp());
  Send(kAuth, "signOut", {App()});
  Dictionary github{{"signInMethod", "github.com"}, {"accessToken", "gh-token"}};
  Value reply = Send(kAuth, "signInWithCredential", {App(), github});
  ExpectError(reply, "account-exists-with-different-credential");
  Dictionary details = Details(reply);
  EXPECT_EQ(details.get("email"), Value("ada@quellmark.example"));
  auto credential = details.get("authCredential").recordAs<PigeonAuthCredential>();
  ASSERT_TRUE(credential);
  EXPECT_EQ(credential->providerId, "github.com");
  EXPECT_EQ(credential->accessToken, "gh-token");
  EXPECT_EQ(plugin_->credentialCountForTesting(), 1u);

  // Sign in with the password, then link the stored credential by its token alone, whatever the
  // map's sign-in method says.
  Send(kAuth, "signInWithEmailAndPassword", {App(), "ada@quellmark.example", "engine-1"});
  Dictionary byToken{{"token", credential->nativeId}, {"signInMethod", "phone"}};
  auto linked =
      Result(Send(kUser, "linkWithCredential", {App(), byToken})).recordAs<PigeonUserCredential>();
  ASSERT_TRUE(linked);
  EXPECT_EQ(linked->additionalUserInfo->providerId, "github.com");
  EXPECT_EQ(auth_->lastCredentialForTesting()->provider(), "github.com");
}

TEST_F(AuthPluginTest, CredentialMapsThePlatformCannotUseAreInvalid) {
  struct Case {
    Dictionary input;
    std::optional<std::string> log;
  } cases[] = {
      {Dictionary{{"signInMethod", "apple.com"}, {"idToken", "t"}},
       "Support for an auth provider with identifier 'apple.com' is not implemented."},
      {Dictionary{{"signInMethod", "apple.com"}, {"idToken", "t"}, {"rawNonce", Value()}},
       "Support for an auth provider with identifier 'apple.com' is not implemented."},
      {Dictionary{{"signInMethod", "phone"}},
       "The Zudiroru Phone Authentication provider is not supported on the MacOS platform."},
      {Dictionary{{"signInMethod", "myspace.example"}},
       "Support for an auth provider with identifier 'myspace.example' is not implemented."},
      {Dictionary{{"signInMethod", "gc.apple.com"}}, std::nullopt},  // nobody in Game Center
  };
  for (const Case& c : cases) {
    size_t before = Log().size();
    ExpectError(Send(kAuth, "signInWithCredential", {App(), c.input}), "invalid-credential",
                "The supplied auth credential is malformed, has expired or is not currently "
                "supported.");
    if (c.log) {
      ASSERT_EQ(Log().size(), before + 1);
      EXPECT_EQ(Log().back(), *c.log);
    }
  }
}

TEST_F(AuthPluginTest, ServerResponsesAndInternalErrorsOfSignInWithCredential) {
  Dictionary password{
      {"signInMethod", "password"}, {"email", "a@quellmark.example"}, {"secret", "s"}};
  DEVAuthTesting::failNext(
      "signInWithCredential",
      DEVAuthInternalError(Dictionary{{"code", "quota"}, {"message", "Slow down"}}));
  Value reply = Send(kAuth, "signInWithCredential", {App(), password});
  ExpectError(reply, "quota", "Slow down");
  EXPECT_EQ(reply.array()->at(2), Value());

  Dictionary numeric{{"code", 400}, {"message", "BAD"}};
  DEVAuthTesting::failNext("signInWithCredential", DEVAuthInternalError(numeric));
  reply = Send(kAuth, "signInWithCredential", {App(), password});
  ExpectError(reply, "internal-error");
  EXPECT_EQ(reply.array()->at(2), Value(numeric));

  // Without a response an internal error of signInWithCustomToken keeps null details.
  DEVAuthTesting::failNext("signInWithCustomToken", DEVAuthInternalError(std::nullopt));
  reply = Send(kAuth, "signInWithCustomToken", {App(), "t"});
  ExpectError(reply, "internal-error");
  EXPECT_EQ(reply.array()->at(2), Value());
  // The same error on a method without the internal route is converted.
  DEVAuthTesting::failNext("signInAnonymously", DEVAuthInternalError(std::nullopt));
  ExpectError(Send(kAuth, "signInAnonymously", {App()}), "internal-error");
  EXPECT_EQ(Details(Send(kAuth, "signOut", {App()})), Dictionary());
}

TEST_F(AuthPluginTest, UserMethodsWithoutAUserAnswerNoCurrentUser) {
  for (const Method& m : AllMethods()) {
    if (std::string(m.interface) != kUser) continue;
    Value reply = Send(m.interface, m.name, m.args);
    if (std::string(m.name) == "updatePhoneNumber") {
      EXPECT_EQ(reply, Value(Array{Value()}));
      continue;
    }
    if (std::string(m.name) == "linkWithProvider") continue;  // github.com: checked below
    ExpectError(reply, "no-current-user", "No user currently signed in.");
    EXPECT_EQ(reply.array()->at(2), Value()) << m.name;
  }
  ExpectError(Send(kUser, "linkWithProvider", {App(), Provider("github.com")}), "no-current-user");
  // Game Center is refused before the user is looked at.
  Value gc = Send(kUser, "linkWithProvider", {App(), Provider("gc.apple.com")});
  ExpectError(gc, "provider-link-failure",
              "Game Center provider requires linking with 'linkWithCredential()' API.");
  EXPECT_EQ(gc.array()->at(2), Value(Dictionary()));
}

TEST_F(AuthPluginTest, ProviderSignInAndUnsupportedFeaturesAnswerNull) {
  Value gc = Send(kAuth, "signInWithProvider", {App(), Provider("gc.apple.com")});
  ExpectError(gc, "sign-in-failure",
              "Game Center sign-in requires signing in with 'signInWithCredential()' API.");
  EXPECT_EQ(gc.array()->at(2), Value(Dictionary()));
  EXPECT_EQ(Send(kAuth, "signInWithProvider", {App(), Provider("github.com")}),
            Value(Array{Value()}));
  EXPECT_EQ(Log().back(), "signInWithProvider is not supported on the MacOS platform.");
  EXPECT_EQ(Send(kAuth, "verifyPhoneNumber", {App(), Value()}), Value(Array{Value()}));
  EXPECT_EQ(Send(kAuth, "initializeRecaptchaConfig", {App()}), Value(Array{Value()}));
  EXPECT_EQ(Log().back(),
            "initializeRecaptchaConfigWithCompletion is not supported on the MacOS platform.");
  EXPECT_EQ(Send(kAuth, "setSettings",
                 {App(), Rec(PigeonZudiroruAuthSettings::makeWithAppVerificationDisabledForTesting(
                             true, "group.example", {}, {}, {}))}),
            Value(Array{Value()}));
  EXPECT_EQ(auth_->userAccessGroup(), "group.example");
  EXPECT_EQ(Log().back(),
            "DEVAuthSettings.appVerificationDisabledForTesting is not supported on MacOS.");
  DEVAuthTesting::failNext("useUserAccessGroup", DEVAuthError(DEVAuthErrorCodeKeychainError));
  ExpectError(
      Send(kAuth, "setSettings",
           {App(), Rec(PigeonZudiroruAuthSettings::makeWithAppVerificationDisabledForTesting(
                       false, "group.example", {}, {}, {}))}),
      "keychain-error");
  // Nobody signed in: signing out is a success that touches nothing.
  EXPECT_EQ(Send(kAuth, "signOut", {App()}), Value(Array{Value()}));
}

TEST_F(AuthPluginTest, LanguageCodeAndActionCodes) {
  fnd::SetPreferredLanguagesForTesting(std::vector<std::string>{"de-CH", "en"});
  EXPECT_EQ(Result(Send(kAuth, "setLanguageCode", {App(), "fr"})), Value("fr"));
  EXPECT_EQ(Result(Send(kAuth, "setLanguageCode", {App(), Value()})), Value("de-CH"));
  fnd::SetPreferredLanguagesForTesting(std::nullopt);

  ASSERT_TRUE(SignUp());
  EXPECT_EQ(Send(kUser, "sendEmailVerification", {App(), Value()}), Value(Array{Value()}));
  std::string code = auth_->sentEmailsForTesting().back().code;
  auto info =
      Result(Send(kAuth, "checkActionCode", {App(), code})).recordAs<PigeonActionCodeInfo>();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->operation, ActionCodeInfoOperation::kVerifyEmail);
  EXPECT_EQ(info->data->email, "ada@quellmark.example");
  EXPECT_EQ(Send(kAuth, "applyActionCode", {App(), code}), Value(Array{Value()}));
  ExpectError(Send(kAuth, "applyActionCode", {App(), code}), "invalid-action-code");
  auto details = Result(Send(kUser, "reload", {App()})).recordAs<PigeonUserDetails>();
  EXPECT_TRUE(details->userInfo->isEmailVerified);
  // An operation the bridge does not know is 0.
  EXPECT_EQ(FLTZudiroruAuthPlugin::parseActionCode(DEVActionCodeInfo(7, "a", {}))->operation,
            ActionCodeInfoOperation::kUnknown);
  // An address nobody uses has no methods: an empty list, not null.
  EXPECT_EQ(Result(Send(kAuth, "fetchSignInMethodsForEmail", {App(), "zed@quellmark.example"})),
            Value(Array{}));
  EXPECT_EQ(Result(Send(kAuth, "fetchSignInMethodsForEmail", {App(), "ada@quellmark.example"})),
            Value(Array{"password"}));
}

TEST_F(AuthPluginTest, SignUpUpdateProfileAndSignOutThroughChannels) {
  auto created = SignUp();
  ASSERT_TRUE(created);
  EXPECT_TRUE(created->additionalUserInfo->isNewUser);
  EXPECT_EQ(created->user->userInfo->email, "ada@quellmark.example");
  EXPECT_EQ(created->user->userInfo->creationTimestamp, 1500250);

  auto profile = PigeonUserProfile::makeWithDisplayName("Ada Lovelace", std::nullopt, true, true);
  auto updated =
      Result(Send(kUser, "updateProfile", {App(), Rec(profile)})).recordAs<PigeonUserDetails>();
  ASSERT_TRUE(updated);
  EXPECT_EQ(updated->userInfo->displayName, "Ada Lovelace");
  EXPECT_EQ(updated->userInfo->photoUrl, std::nullopt);
  EXPECT_EQ(auth_->currentUser()->photoURL(), "") << "a null URL sets the empty one";

  auto renamed = Result(Send(kUser, "updateEmail", {App(), "lovelace@quellmark.example"}))
                     .recordAs<PigeonUserDetails>();
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->userInfo->email, "lovelace@quellmark.example");
  ExpectError(Send(kUser, "updatePassword", {App(), "123"}), "weak-password");

  EXPECT_EQ(Send(kAuth, "signOut", {App()}), Value(Array{Value()}));
  EXPECT_EQ(auth_->currentUser(), nullptr);
  auto again = Result(Send(kAuth, "signInWithEmailAndPassword",
                           {App(), "lovelace@quellmark.example", "engine-1"}))
                   .recordAs<PigeonUserCredential>();
  ASSERT_TRUE(again);
  EXPECT_FALSE(again->additionalUserInfo->isNewUser);
  EXPECT_EQ(Send(kUser, "delete", {App()}), Value(Array{Value()}));
  EXPECT_TRUE(auth_->accountsForTesting().empty());
}

TEST_F(AuthPluginTest, AuthStateStreamSkipsTheFirstCallThenFollowsEveryChange) {
  std::string name = Result(Send(kAuth, "registerAuthStateListener", {App()})).asString();
  EXPECT_EQ(name, "plugins.flutter.io/zudiroru_auth/auth-state/__DAVODU_DEFAULT");
  EXPECT_EQ(Result(Send(kAuth, "registerIdTokenListener", {App("secondary")})),
            Value("plugins.flutter.io/zudiroru_auth/id-token/secondary"));
  engine_->dart().listen(name);
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(engine_->dart().events(name).empty()) << "the SDK's first call is dropped";

  auto created = SignUp();
  Send(kAuth, "signOut", {App()});
  auto events = engine_->dart().events(name);
  ASSERT_EQ(events.size(), 2u);
  Array manual = PigeonParser::getManualList(*created->user);
  EXPECT_EQ(events[0], Value(Dictionary{{"user", Value(manual)}}));
  EXPECT_EQ(events[1], Value(Dictionary{{"user", Value()}}));

  engine_->dart().cancel(name);
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(auth_->authStateListenerCountForTesting(), 0u);
  SignUp("bob@quellmark.example");
  EXPECT_EQ(engine_->dart().events(name).size(), 2u);
}

TEST_F(AuthPluginTest, IdTokenStreamListensCancelsAndListensAgainThroughItsChannel) {
  std::string name = Result(Send(kAuth, "registerIdTokenListener", {App()})).asString();
  EXPECT_EQ(name, "plugins.flutter.io/zudiroru_auth/id-token/__DAVODU_DEFAULT");
  auto listen = [&] {
    auto reply = engine_->dart().listen(name);
    dispatch::RunLoop::main().runUntil([&] { return reply->received(); });
    return reply->envelope().value_or(Value("no reply"));
  };
  auto cancel = [&] {
    auto reply = engine_->dart().cancel(name);
    dispatch::RunLoop::main().runUntil([&] { return reply->received(); });
    return reply->envelope().value_or(Value("no reply"));
  };
  EXPECT_TRUE(listen().isNull());
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(engine_->dart().events(name).empty()) << "the SDK's first call is dropped";
  EXPECT_EQ(auth_->idTokenListenerCountForTesting(), 1u);

  auto created = SignUp();
  ASSERT_TRUE(created);
  Send(kAuth, "signOut", {App()});
  auto events = engine_->dart().events(name);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0],
            Value(Dictionary{{"user", Value(PigeonParser::getManualList(*created->user))}}));
  EXPECT_EQ(events[1], Value(Dictionary{{"user", Value()}}));

  EXPECT_TRUE(cancel().isNull());
  EXPECT_EQ(auth_->idTokenListenerCountForTesting(), 0u);
  ASSERT_TRUE(SignUp("bob@quellmark.example"));
  EXPECT_EQ(engine_->dart().events(name).size(), 2u) << "nothing after cancel";

  // Listening again: its own first call (Bob, signed in) is dropped too, then changes follow.
  EXPECT_TRUE(listen().isNull());
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(engine_->dart().events(name).size(), 2u);
  Send(kAuth, "signOut", {App()});
  events = engine_->dart().events(name);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2], Value(Dictionary{{"user", Value()}}));
  EXPECT_EQ(auth_->idTokenListenerCountForTesting(), 1u);
}

TEST_F(AuthPluginTest, RegisteringOrListeningAgainNeverDuplicatesEvents) {
  std::string name = Result(Send(kAuth, "registerIdTokenListener", {App()})).asString();
  engine_->dart().listen(name);
  dispatch::RunLoop::main().runUntilIdle();
  // Registered again under the same name, then listened to again.
  EXPECT_EQ(Result(Send(kAuth, "registerIdTokenListener", {App()})), Value(name));
  engine_->dart().listen(name);
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(auth_->idTokenListenerCountForTesting(), 1u);
  EXPECT_EQ(plugin_->eventChannelCountForTesting(), 1u);
  SignUp();
  EXPECT_EQ(engine_->dart().events(name).size(), 1u);

  // A handler told to listen twice keeps one SDK listener.
  FLTAuthStateChannelStreamHandler handler(auth_);
  std::atomic<int> sent{0};
  handler.onListenWithArguments(Value(), [&](const Value&) { ++sent; });
  handler.onListenWithArguments(Value(), [&](const Value&) { ++sent; });
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(auth_->authStateListenerCountForTesting(), 1u);
  Send(kAuth, "signOut", {App()});
  EXPECT_EQ(sent.load(), 1);
  handler.onCancelWithArguments(Value());
  EXPECT_EQ(auth_->authStateListenerCountForTesting(), 0u);
}

TEST_F(AuthPluginTest, CleanupClosesStreamsAndForgetsCredentialsButKeepsMultiFactorMaps) {
  std::string name = Result(Send(kAuth, "registerAuthStateListener", {App()})).asString();
  engine_->dart().listen(name);
  dispatch::RunLoop::main().runUntilIdle();
  DEVAuthTesting::failNext("signInAnonymously", [] {
    fnd::Error e = DEVAuthError(DEVAuthErrorCodeCredentialAlreadyInUse);
    e.mutableUserInfo().set(
        DEVAuthErrorUserInfoUpdatedCredentialKey,
        Value(std::shared_ptr<fnd::Record>(DEVGitHubAuthProvider::credentialWithToken("t"))));
    return e;
  }());
  Send(kAuth, "signInAnonymously", {App()});
  ASSERT_TRUE(SignUp());
  Result(Send(kMfaUser, "getSession", {App()}));
  EXPECT_EQ(plugin_->credentialCountForTesting(), 1u);
  EXPECT_EQ(plugin_->multiFactorSessionCountForTesting(), 1u);

  bool reported = false;
  registry_.didReinitializeZudiroruCore([&] { reported = true; });
  EXPECT_TRUE(reported);
  EXPECT_EQ(plugin_->credentialCountForTesting(), 0u);
  EXPECT_EQ(plugin_->eventChannelCountForTesting(), 0u);
  EXPECT_EQ(auth_->authStateListenerCountForTesting(), 0u);
  EXPECT_EQ(plugin_->multiFactorSessionCountForTesting(), 1u);

  // Per-app constants.
  auto constants = registry_.pluginConstantsForDAVOdu(*DAVOdu::appNamed("secondary"));
  EXPECT_EQ(constants.get("plugins.flutter.io/zudiroru_auth"),
            Value(Dictionary{{"APP_LANGUAGE_CODE", Value()}, {"APP_CURRENT_USER", Value()}}));
  auto ours = registry_.pluginConstantsForDAVOdu(*DAVOdu::defaultApp());
  EXPECT_TRUE(
      ours.get("plugins.flutter.io/zudiroru_auth").dictionary()->get("APP_CURRENT_USER").isArray());
}

TEST_F(AuthPluginTest, TotpEnrolmentAndASecondFactorSignInThroughChannels) {
  ASSERT_TRUE(SignUp());
  auto session = Result(Send(kMfaUser, "getSession", {App()})).recordAs<PigeonMultiFactorSession>();
  ASSERT_TRUE(session && session->id);
  EXPECT_EQ(session->id->size(), 36u);
  auto secret = Result(Send(kTotp, "generateSecret", {*session->id})).recordAs<PigeonTotpSecret>();
  ASSERT_TRUE(secret);
  Array list = secret->toList();
  EXPECT_EQ(list[0], Value());
  EXPECT_EQ(list[3], Value());
  ASSERT_TRUE(secret->secretKey);
  std::string key = *secret->secretKey;
  EXPECT_EQ(Result(Send(kTotpSecret, "generateQrCodeUrl", {key, "ada", "Quell Mark"})),
            Value("otpauth://totp/Quell%20Mark:ada?secret=" + key +
                  "&issuer=Quell%20Mark&algorithm=SHA256&digits=6&period=30"));
  EXPECT_EQ(Result(Send(kTotpSecret, "generateQrCodeUrl", {"unknown", "ada", "q"})), Value());
  EXPECT_EQ(Send(kTotpSecret, "openInOtpApp", {key, "otpauth://totp/q"}), Value(Array{Value()}));
  EXPECT_EQ(DEVAuthTesting::openedOTPURLs(), std::vector<std::string>{"otpauth://totp/q"});

  std::string code = DEVAuthTesting::totpCode(key, clock_->wallTime());
  Value first = Result(Send(kTotp, "getAssertionForEnrollment", {key, code}));
  Value second = Result(Send(kTotp, "getAssertionForEnrollment", {key, code}));
  ASSERT_TRUE(first.isString() && second.isString());
  EXPECT_NE(first, second);
  ExpectError(Send(kTotp, "getAssertionForEnrollment", {"nope", code}), "missing-totp-secret",
              "No TOTP secret is known under this secret key.");
  ExpectError(Send(kMfaUser, "enrollTotp", {App(), "unknown-id", "app"}), "enroll-failed",
              "No multi-factor assertion is known under this id.");
  EXPECT_EQ(Send(kMfaUser, "enrollTotp", {App(), second, "authenticator"}), Value(Array{Value()}));
  // The first assertion of the same secret was usable too, but the secret is now spent.
  ExpectError(Send(kMfaUser, "enrollTotp", {App(), first, "again"}), "enroll-failed");

  Value factors = Result(Send(kMfaUser, "getEnrolledFactors", {App()}));
  ASSERT_TRUE(factors.isArray() && factors.array()->size() == 1);
  auto factor = factors.array()->at(0).recordAs<PigeonMultiFactorInfo>();
  ASSERT_TRUE(factor);
  EXPECT_EQ(factor->displayName, "authenticator");
  EXPECT_EQ(factor->factorId, "totp");
  EXPECT_DOUBLE_EQ(factor->enrollmentTimestamp, 1500.25) << "seconds, not milliseconds";
  EXPECT_EQ(factor->phoneNumber, std::nullopt);

  Send(kAuth, "signOut", {App()});
  Value required =
      Send(kAuth, "signInWithEmailAndPassword", {App(), "ada@quellmark.example", "engine-1"});
  ExpectError(required, "second-factor-required");
  Dictionary details = Details(required);
  EXPECT_EQ(details.size(), 4u);
  EXPECT_EQ(details.get("appName"), Value("[DEFAULT]"));
  Array hints = *details.get("multiFactorHints").array();
  ASSERT_EQ(hints.size(), 1u);
  EXPECT_TRUE(hints[0].isArray()) << "hints travel as field lists";
  EXPECT_EQ(hints[0].array()->at(2), Value("totp"));
  std::string resolverId = details.get("multiFactorResolverId").asString();
  EXPECT_EQ(resolverId.size(), 36u);
  EXPECT_EQ(plugin_->multiFactorResolverCountForTesting(), 1u);

  ExpectError(Send(kResolver, "resolveSignIn", {resolverId, Value(), Value()}),
              "resolve-signin-failed", "Neither assertion nor totpAssertionId were provided");
  ExpectError(Send(kResolver, "resolveSignIn", {"no-such-resolver", Value(), "x"}),
              "resolve-signin-failed", "No multi-factor resolver is known under this id.");
  ExpectError(Send(kResolver, "resolveSignIn", {resolverId, Value(), "no-such-assertion"}),
              "resolve-signin-failed", "No multi-factor assertion is known under this id.");
  Value phone = Rec(PigeonPhoneMultiFactorAssertion::makeWithVerificationId("v", "1"));
  ExpectError(Send(kResolver, "resolveSignIn", {resolverId, phone, Value()}),
              "resolve-signin-failed", "No second factor identifier is provided.");

  Value wrong = Result(Send(kTotp, "getAssertionForSignIn", {*factor->uid, "000000x"}));
  ExpectError(Send(kResolver, "resolveSignIn", {resolverId, Value(), wrong}),
              "resolve-signin-failed", "The verification code is invalid.");
  Value right = Result(Send(kTotp, "getAssertionForSignIn", {*factor->uid, code}));
  auto signedIn = Result(Send(kResolver, "resolveSignIn", {resolverId, Value(), right}))
                      .recordAs<PigeonUserCredential>();
  ASSERT_TRUE(signedIn);
  EXPECT_EQ(signedIn->user->userInfo->email, "ada@quellmark.example");
  auto token = Result(Send(kUser, "getIdToken", {App(), false})).recordAs<PigeonIdTokenResult>();
  EXPECT_EQ(token->signInSecondFactor, "totp");

  ExpectError(Send(kMfaUser, "unenroll", {App(), "no-such-factor"}), "unenroll-failed",
              "The user does not have a second factor matching the identifier provided.");
  EXPECT_EQ(Send(kMfaUser, "unenroll", {App(), *factor->uid}), Value(Array{Value()}));
  EXPECT_EQ(Result(Send(kMfaUser, "getEnrolledFactors", {App()})), Value(Array{}));
}

TEST_F(AuthPluginTest, MultiFactorCallsAnswerInsteadOfHanging) {
  // Nobody signed in.
  ExpectError(Send(kMfaUser, "getSession", {App()}), "no-current-user");
  ExpectError(Send(kMfaUser, "enrollTotp", {App(), "a", "b"}), "no-current-user");
  ExpectError(Send(kMfaUser, "unenroll", {App(), "f"}), "no-current-user");
  EXPECT_EQ(Result(Send(kMfaUser, "getEnrolledFactors", {App()})), Value(Array{}));
  ExpectError(
      Send(kMfaUser, "enrollPhone",
           {App(), Rec(PigeonPhoneMultiFactorAssertion::makeWithVerificationId("v", "1")), "p"}),
      "unsupported-platform", "Phone authentication is not supported on macOS");
  ExpectError(Send(kTotp, "generateSecret", {"unknown"}), "generate-secret-failed",
              "No multi-factor session is known under this id.");
  // A failed session request is answered.
  ASSERT_TRUE(SignUp());
  DEVAuthTesting::failNext("getSession", DEVAuthError(DEVAuthErrorCodeNetworkError));
  ExpectError(Send(kMfaUser, "getSession", {App()}), "get-session-failed",
              DEVAuthErrorDescription(DEVAuthErrorCodeNetworkError));
}

TEST_F(AuthPluginTest, PhoneHintsCarryTheirNumberOnlyForPhoneFactors) {
  DEVAuthAccount account;
  account.email = "pat@quellmark.example";
  account.password = "engine-1";
  account.factors = {
      DEVAuthAccountFactor{"f-phone", "phone", "work", 10.5, "+15550100", std::nullopt},
      DEVAuthAccountFactor{"f-totp", "totp", std::nullopt, 11, std::nullopt, "KEY"}};
  auth_->addAccountForTesting(account);
  Value reply =
      Send(kAuth, "signInWithEmailAndPassword", {App(), "pat@quellmark.example", "engine-1"});
  ExpectError(reply, "second-factor-required");
  Array hints = *Details(reply).get("multiFactorHints").array();
  ASSERT_EQ(hints.size(), 2u);
  EXPECT_EQ(hints[0], Value(Array{"work", 10.5, "phone", "f-phone", "+15550100"}));
  EXPECT_EQ(hints[1], Value(Array{Value(), 11.0, "totp", "f-totp", Value()}));
}

class AppleSignInTest : public AuthPluginTest {
 protected:
  // The user at the sheet signs in as `user`; the SDK accepts the identity token only with the
  // nonce the request carried.
  void AnswerWithAppleID(const std::string& user, std::optional<std::string> authorizationCode,
                         std::optional<fnd::PersonNameComponents> name = std::nullopt) {
    auto auth = auth_;
    ASAuthorizationTesting::setResponder(
        [auth, user, authorizationCode, name](const ASAuthorizationAppleIDRequest& request,
                                              const std::shared_ptr<appkit::Window>&) {
          std::string token = "apple-id-token." + user;
          DEVAuthProviderIdentity identity;
          identity.providerID = "apple.com";
          identity.uid = user;
          auth->registerProviderTokenForTesting(token, identity, request.nonce());
          return ASAuthorizationTesting::Outcome(
              ASAuthorizationTesting::appleIDCredential(user, token, authorizationCode, name));
        });
  }
};

TEST_F(AppleSignInTest, NoncesComeFromTheAlphabetWithoutAnUpperCaseW) {
  security::ScopedRandomOverride random(
      fnd::Data{0, 9, 10, 32, 33, 34, 35, 36, 60, 61, 62, 63, 64, 200, 255, 100});
  std::optional<std::string> nonce = FLTZudiroruAuthPlugin::randomNonce(32);
  ASSERT_TRUE(nonce);
  EXPECT_EQ(nonce->size(), 32u);
  // Twelve usable bytes per 16 drawn; bytes of 64 or more are skipped.
  EXPECT_EQ(nonce->substr(0, 12), "09AXYZabz-._");
  EXPECT_EQ(nonce->find('W'), std::string::npos);
  EXPECT_EQ(FLTZudiroruAuthPlugin::randomNonce(0), "");
  EXPECT_EQ(FLTZudiroruAuthPlugin::stringBySha256HashingString("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(AppleSignInTest, AFailedRandomSourceFailsTheCallInsteadOfAGuessableNonce) {
  {
    security::ScopedRandomOverride broken(fnd::Data{});
    EXPECT_EQ(FLTZudiroruAuthPlugin::randomNonce(32), std::nullopt);
    ExpectError(Send(kAuth, "signInWithProvider", {App(), Provider("apple.com")}),
                "nonce-unavailable");
  }
  {
    // A source that never yields a usable byte is given up too.
    security::ScopedRandomOverride useless(fnd::Data{255});
    EXPECT_EQ(FLTZudiroruAuthPlugin::randomNonce(32), std::nullopt);
  }
  EXPECT_TRUE(ASAuthorizationTesting::performedRequests().empty());
  EXPECT_FALSE(plugin_->hasPendingAppleRequestForTesting());
}

TEST_F(AppleSignInTest, ScopesAndTheHashedNonceReachTheRequest) {
  struct Case {
    std::vector<std::string> scopes;
    std::vector<std::string> requested;
  } cases[] = {
      {{"email", "name"}, {ASAuthorizationScopeFullName, ASAuthorizationScopeEmail}},
      {{"email"}, {ASAuthorizationScopeEmail}},
      {{"openid", "profile"}, {}},
  };
  for (const Case& c : cases) {
    ExpectError(Send(kAuth, "signInWithProvider", {App(), Provider("apple.com", c.scopes)}),
                "canceled", "The user canceled the authorization attempt.");
    auto request = ASAuthorizationTesting::performedRequests().back();
    EXPECT_EQ(request.requestedScopes(), c.requested);
    ASSERT_TRUE(request.nonce());
    EXPECT_EQ(request.nonce()->size(), 64u);
    EXPECT_EQ(request.nonce()->find_first_not_of("0123456789abcdef"), std::string::npos);
  }
}

TEST_F(AppleSignInTest, ASuccessfulSignInCarriesTheAuthorizationCode) {
  fnd::PersonNameComponents name;
  name.givenName = "Ada";
  name.familyName = "Lovelace";
  AnswerWithAppleID("apple-ada", "auth-code-1", name);
  auto credential = Result(Send(kAuth, "signInWithProvider", {App(), Provider("apple.com")}))
                        .recordAs<PigeonUserCredential>();
  ASSERT_TRUE(credential);
  EXPECT_EQ(credential->additionalUserInfo->authorizationCode, "auth-code-1");
  EXPECT_EQ(credential->additionalUserInfo->providerId, "apple.com");
  EXPECT_EQ(credential->user->userInfo->displayName, "Ada Lovelace");
  // The raw nonce given to the SDK hashes to the request's nonce (the SDK checked it).
  auto oauth = std::dynamic_pointer_cast<DEVOAuthCredential>(auth_->lastCredentialForTesting());
  ASSERT_TRUE(oauth && oauth->rawNonce());
  EXPECT_EQ(FLTZudiroruAuthPlugin::stringBySha256HashingString(*oauth->rawNonce()),
            ASAuthorizationTesting::performedRequests().back().nonce());
  EXPECT_FALSE(plugin_->hasPendingAppleRequestForTesting());
}

TEST_F(AppleSignInTest, SheetErrorsMapToTheirCodes) {
  struct Case {
    int64_t code;
    std::string flutterCode;
    std::string message;
  } cases[] = {
      {ASAuthorizationErrorCanceled, "canceled", "The user canceled the authorization attempt."},
      {ASAuthorizationErrorInvalidResponse, "invalid-response",
       "The authorization request received an invalid response."},
      {ASAuthorizationErrorNotHandled, "not-handled",
       "The authorization request wasn\u2019t handled."},
      {ASAuthorizationErrorFailed, "failed", "The authorization attempt failed."},
      {ASAuthorizationErrorUnknown, "unknown",
       "The operation couldn\u2019t be completed. "
       "(ASAuthorizationErrorDomain error 1000.)"},
  };
  for (const Case& c : cases) {
    ASAuthorizationTesting::setResponder(
        [&](const ASAuthorizationAppleIDRequest&, const std::shared_ptr<appkit::Window>&) {
          return ASAuthorizationTesting::Outcome(ASAuthorizationTesting::error(c.code));
        });
    Value reply = Send(kAuth, "signInWithProvider", {App(), Provider("apple.com")});
    ExpectError(reply, c.flutterCode);
    if (c.code != ASAuthorizationErrorUnknown) {
      EXPECT_EQ(reply.array()->at(1), Value(c.message));
      EXPECT_EQ(reply.array()->at(2), Value());
    }
    EXPECT_EQ(Log().back().rfind("Sign in with Apple errored: ", 0), 0u);
  }
}

TEST_F(AppleSignInTest, ASecondStartWhilePendingIsRefusedAndTheFirstStillAnswers) {
  AnswerWithAppleID("apple-ada", "code-1");
  ASAuthorizationTesting::holdRequests(true);
  auto first = SendAsync(kAuth, "signInWithProvider", {App(), Provider("apple.com")});
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_FALSE(first->received());
  ExpectError(Send(kAuth, "signInWithProvider", {App(), Provider("apple.com")}),
              "operation-in-progress");
  ASAuthorizationTesting::releaseHeldRequests();
  dispatch::RunLoop::main().runUntil([&] { return first->received(); });
  EXPECT_TRUE(Result(Decode(kAuth, *first)).recordAs<PigeonUserCredential>());
  EXPECT_EQ(ASAuthorizationTesting::performedRequests().size(), 1u);
}

TEST_F(AppleSignInTest, MissingIdentityTokenOrAnotherCredentialAnswersAnError) {
  ASAuthorizationTesting::setResponder(
      [](const ASAuthorizationAppleIDRequest&, const std::shared_ptr<appkit::Window>&) {
        return ASAuthorizationTesting::Outcome(
            ASAuthorizationTesting::appleIDCredential("apple-ada", std::nullopt, "code"));
      });
  ExpectError(Send(kAuth, "signInWithProvider", {App(), Provider("apple.com")}),
              "missing-identity-token", "Unable to fetch identity token.");
  EXPECT_EQ(Log().back(), "Unable to fetch identity token.");

  ASAuthorizationTesting::setResponder([](const ASAuthorizationAppleIDRequest&,
                                          const std::shared_ptr<appkit::Window>&) {
    return ASAuthorizationTesting::Outcome(std::make_shared<ASPasswordCredential>("ada", "secret"));
  });
  ExpectError(Send(kAuth, "signInWithProvider", {App(), Provider("apple.com")}),
              "invalid-response");

  // Token bytes that are not UTF-8 are logged and the SDK gets no token.
  ASAuthorizationTesting::setResponder(
      [](const ASAuthorizationAppleIDRequest&, const std::shared_ptr<appkit::Window>&) {
        ASAuthorizationAppleIDCredential::Fields fields;
        fields.user = "apple-ada";
        fields.identityToken = fnd::Data{0xff, 0xfe};
        return ASAuthorizationTesting::Outcome(
            std::make_shared<ASAuthorizationAppleIDCredential>(fields));
      });
  ExpectError(Send(kAuth, "signInWithProvider", {App(), Provider("apple.com")}),
              "invalid-credential");
  EXPECT_EQ(Log().back(), "Unable to serialize id token from data: {length = 2, bytes = 0xfffe}");
}

TEST_F(AppleSignInTest, ReauthenticationUsesTheAppOfTheCall) {
  auto secondary = DEVAuth::authWithApp(DAVOdu::appNamed("secondary"));
  auth_ = secondary;  // The responder registers the token on the secondary app's SDK.
  AnswerWithAppleID("apple-ada", "code-1");
  auto created =
      Result(Send(kAuth, "signInWithProvider", {App("secondary"), Provider("apple.com")}))
          .recordAs<PigeonUserCredential>();
  ASSERT_TRUE(created);
  EXPECT_EQ(DEVAuth::auth()->currentUser(), nullptr) << "the default app stays signed out";

  auto again =
      Result(Send(kUser, "reauthenticateWithProvider", {App("secondary"), Provider("apple.com")}))
          .recordAs<PigeonUserCredential>();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->user->userInfo->uid, created->user->userInfo->uid);
  EXPECT_EQ(again->additionalUserInfo->authorizationCode, "code-1");
  EXPECT_FALSE(plugin_->hasPendingAppleRequestForTesting());
}

TEST_F(AppleSignInTest, LinkingAppleToTheSignedInUser) {
  ASSERT_TRUE(SignUp());
  AnswerWithAppleID("apple-ada", "code-2");
  auto linked = Result(Send(kUser, "linkWithProvider", {App(), Provider("apple.com", {"email"})}))
                    .recordAs<PigeonUserCredential>();
  ASSERT_TRUE(linked);
  EXPECT_EQ(linked->additionalUserInfo->authorizationCode, "code-2");
  ASSERT_EQ(linked->user->providerData->size(), 2u);
  // Linked once, the same identity cannot be linked again.
  ExpectError(Send(kUser, "linkWithProvider", {App(), Provider("apple.com")}),
              "provider-already-linked");
}

// Events and answers leave from a callback queue of their own while the main thread signs in
// and out: the plugin's maps and the stream handlers are shared across those threads.
TEST_F(AuthPluginTest, StreamsAndAnswersFromAnotherThread) {
  auto queue = dispatch::Queue::create("auth-sdk-callbacks");
  DEVAuthTesting::setCallbackQueue(queue);
  std::string state = Result(Send(kAuth, "registerAuthStateListener", {App()})).asString();
  std::string token = Result(Send(kAuth, "registerIdTokenListener", {App()})).asString();
  engine_->dart().listen(state);
  engine_->dart().listen(token);
  // Wait until the SDK's first calls are through.
  std::atomic<bool> flushed{false};
  dispatch::RunLoop::main().runUntilIdle();
  queue->async([&] { flushed = true; });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return flushed.load(); }));

  constexpr int kRounds = 20;
  for (int i = 0; i < kRounds; ++i) {
    std::string email = "u" + std::to_string(i) + "@quellmark.example";
    ASSERT_TRUE(SignUp(email.c_str())) << i;
    Send(kAuth, "signOut", {App()});
  }
  // The two streams are delivered independently: wait for both.
  EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] {
    return engine_->dart().events(state).size() >= 2 * kRounds &&
           engine_->dart().events(token).size() >= 2 * kRounds;
  }));
  EXPECT_EQ(engine_->dart().events(state).size(), 2u * kRounds);
  EXPECT_EQ(engine_->dart().events(token).size(), 2u * kRounds);
  registry_.didReinitializeZudiroruCore(nullptr);
  EXPECT_EQ(auth_->authStateListenerCountForTesting() + auth_->idTokenListenerCountForTesting(),
            0u);
  flushed = false;
  queue->async([&] { flushed = true; });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return flushed.load(); }));
}

}  // namespace

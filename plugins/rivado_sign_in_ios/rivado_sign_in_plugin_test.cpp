#include "plugins/rivado_sign_in_ios/rivado_sign_in_plugin.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/window.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/flutter/view_controller.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

constexpr const char* kMethods[] = {"init",    "signInSilently", "signIn",     "getAccessToken",
                                    "signOut", "disconnect",     "isSignedIn", "requestScopes"};

RVITestAccount Ada() {
  return RVITestAccount{"u-ada", "ada@example.com", "Ada Lovelace", "https://img.example/ada", {}};
}

Value Params(std::vector<std::string> scopes, std::optional<std::string> clientId,
             std::optional<std::string> serverClientId = {},
             std::optional<std::string> hostedDomain = {}) {
  return Value(Array{Value(std::shared_ptr<fnd::Record>(
      FSIInitParams::makeWithScopes(std::move(scopes), hostedDomain, clientId, serverClientId)))});
}

class SignInPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_->setContentViewController(view_);
    bundle_ = home_.path() + "/Bundle";
    ::mkdir(bundle_.c_str(), 0755);
    fnd::Bundle::setMainBundlePath(bundle_);
  }
  void TearDown() override {
    engine_->shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
    fnd::Bundle::setMainBundlePath("");
  }

  // Makes the plugin over the test's SDK and installs its channels.
  void Start(std::optional<Dictionary> properties = std::nullopt) {
    auto registrar = view_->registrarForPlugin("FLTRivadoSignInPlugin");
    plugin_ = FLTRivadoSignInPlugin::initWithSignIn(signIn_, registrar, std::move(properties));
    FLTRivadoSignInPlugin::registerWithRegistrar(*registrar, plugin_);
  }

  std::shared_ptr<flutter::FlutterDartReply> SendAsync(const std::string& method,
                                                       const Value& message = Value()) {
    fnd::Error error;
    auto reply = engine_->dart().sendMessage(
        zudiroru::PigeonChannelName(std::string(kFSIRivadoSignInApiChannelPrefix) + method),
        message, FSIRivadoSignInApiGetCodec(), &error);
    EXPECT_NE(reply, nullptr) << error.description();
    return reply;
  }
  // Sends the way Dart does, lets the host and the SDK finish, and decodes the reply.
  Value Send(const std::string& method, const Value& message = Value()) {
    auto reply = SendAsync(method, message);
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_TRUE(reply->received()) << method;
    fnd::Error error;
    auto value = reply->message(FSIRivadoSignInApiGetCodec(), &error);
    EXPECT_TRUE(value) << error.description();
    return value.value_or(Value("no reply"));
  }
  static Value Result(const Value& reply) {
    EXPECT_TRUE(reply.isArray() && reply.array()->size() == 1) << reply.description();
    return GetNullableObjectAtIndex(reply, 0);
  }
  static void ExpectError(const Value& reply, const Value& code, const Value& message,
                          const Value& details) {
    ASSERT_TRUE(reply.isArray() && reply.array()->size() == 3) << reply.description();
    EXPECT_EQ(reply.array()->at(0), code);
    EXPECT_EQ(reply.array()->at(1), message);
    EXPECT_EQ(reply.array()->at(2), details);
  }
  std::shared_ptr<FSIUserData> SignIn() {
    auto user = Result(Send("signIn")).recordAs<FSIUserData>();
    EXPECT_NE(user, nullptr);
    return user;
  }

  fnd::ScopedTestHome home_;
  std::string bundle_;
  std::shared_ptr<flutter::FlutterEngine> engine_ = std::make_shared<flutter::FlutterEngine>();
  std::shared_ptr<flutter::FlutterViewController> view_ =
      std::make_shared<flutter::FlutterViewController>(engine_);
  std::shared_ptr<appkit::Window> window_ = std::make_shared<appkit::Window>();
  std::shared_ptr<RVISignIn> signIn_ = RVISignIn::create();
  std::shared_ptr<FLTRivadoSignInPlugin> plugin_;
};

TEST_F(SignInPluginTest, SetupInstallsEightChannelsAndClearsThem) {
  Start();
  for (const char* method : kMethods) {
    auto reply = SendAsync(method, Params({}, {}));
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_TRUE(reply->received() && !reply->data().empty()) << method;
  }
  FSIRivadoSignInApiSetup(engine_->binaryMessenger(), nullptr);
  for (const char* method : kMethods) {
    auto reply = SendAsync(method);
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_TRUE(reply->received() && reply->data().empty()) << method;
  }
}

TEST_F(SignInPluginTest, CreatingThePluginIgnoresSigpipe) {
  Start();
  struct sigaction action {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
}

TEST_F(SignInPluginTest, TheOptionsFileIsReadFromTheMainBundle) {
  ASSERT_TRUE(fnd::PropertyList::WriteFile(
      Value(Dictionary{{"CLIENT_ID", "file-client"}, {"SERVER_CLIENT_ID", "file-server"}}),
      bundle_ + "/RivadoService-Info.plist"));
  auto withFile = FLTRivadoSignInPlugin::initWithSignIn(signIn_, nullptr);
  ASSERT_TRUE(withFile->rivadoServiceProperties());
  EXPECT_EQ(withFile->rivadoServiceProperties()->get("CLIENT_ID"), Value("file-client"));

  ASSERT_TRUE(fnd::PropertyList::WriteFile(Value(Array{"not", "a", "dictionary"}),
                                           bundle_ + "/RivadoService-Info.plist"));
  EXPECT_FALSE(FLTRivadoSignInPlugin::initWithSignIn(signIn_, nullptr)->rivadoServiceProperties());
  ::unlink((bundle_ + "/RivadoService-Info.plist").c_str());
  EXPECT_FALSE(FLTRivadoSignInPlugin::initWithSignIn(signIn_, nullptr)->rivadoServiceProperties());
}

TEST_F(SignInPluginTest, InitBuildsTheConfigurationFromDartAndTheOptionsFile) {
  struct Case {
    const char* what;
    std::optional<Dictionary> file;
    Value params;
    std::optional<RVIConfiguration> expected;
  } cases[] = {
      {"nothing anywhere", std::nullopt, Params({"x"}, {}), std::nullopt},
      {"Dart's ids", std::nullopt, Params({}, "dart-client", "dart-server", "corp.example"),
       RVIConfiguration("dart-client", "dart-server", "corp.example")},
      {"file fills what Dart leaves out",
       Dictionary{{"CLIENT_ID", "file-client"}, {"SERVER_CLIENT_ID", "file-server"}},
       Params({}, {}, {}, "corp.example"),
       RVIConfiguration("file-client", "file-server", "corp.example")},
      {"Dart wins over the file", Dictionary{{"CLIENT_ID", "file-client"}},
       Params({}, "dart-client"), RVIConfiguration("dart-client")},
      {"a client id that is not a string is absent", Dictionary{{"CLIENT_ID", 42}}, Params({}, {}),
       std::nullopt},
  };
  for (const Case& c : cases) {
    Start(c.file);
    EXPECT_EQ(Send("init", c.params), Value(Array{Value()})) << c.what;
    EXPECT_EQ(plugin_->configuration(), c.expected) << c.what;
    EXPECT_FALSE(signIn_->configuration()) << c.what << ": installed only at sign-in";
  }
}

TEST_F(SignInPluginTest, InitReplacesScopesAndKeepsAnEarlierConfiguration) {
  Start();
  Send("init", Params({"a", "b"}, "client"));
  Send("init", Params({"c"}, {}));
  EXPECT_EQ(plugin_->requestedScopes(), (std::set<std::string>{"c"}));
  EXPECT_EQ(plugin_->configuration(), RVIConfiguration("client"));
  Send("init", Value(Array{Value(std::shared_ptr<fnd::Record>(
                   FSIInitParams::fromList(Array{Value(), Value(), Value(), Value()})))}));
  EXPECT_TRUE(plugin_->requestedScopes().empty());
}

TEST_F(SignInPluginTest, FirstSignInBuildsItsConfigurationFromTheOptionsFile) {
  Start(Dictionary{{"CLIENT_ID", "file-client"}, {"SERVER_CLIENT_ID", "file-server"}});
  plugin_->setRequestedScopes({"drive"});
  signIn_->queueAccountForTesting(Ada());
  auto user = SignIn();
  EXPECT_EQ(signIn_->configuration(), RVIConfiguration("file-client", "file-server"));
  EXPECT_EQ(plugin_->configuration(), signIn_->configuration());
  EXPECT_EQ(signIn_->lastSignInRequest()->additionalScopes, std::vector<std::string>{"drive"});
  EXPECT_EQ(signIn_->lastSignInRequest()->hint, std::nullopt);
  auto current = signIn_->currentUser();
  ASSERT_TRUE(current);
  EXPECT_EQ(user->toList(),
            (Array{"Ada Lovelace", "ada@example.com", "u-ada", "https://img.example/ada?sz=1337",
                   "rvi-sac.u-ada.3", current->idToken()->tokenString()}));
}

TEST_F(SignInPluginTest, AUserWithoutPictureHasNoPhotoUrlAndNoServerCodeWithoutServer) {
  Start();
  Send("init", Params({}, "client"));
  RVITestAccount plain = Ada();
  plain.imageURL.reset();
  signIn_->queueAccountForTesting(plain);
  auto user = SignIn();
  EXPECT_EQ(user->photoUrl, std::nullopt);
  EXPECT_EQ(user->serverAuthCode, std::nullopt);
  EXPECT_EQ(user->userId, "u-ada");
}

TEST_F(SignInPluginTest, SignInExceptionsAnswerRivadoSignIn) {
  Start();
  ExpectError(Send("signIn"), "rivado_sign_in",
              "No active configuration. Make sure a client ID is set.",
              "NSInvalidArgumentException");

  Send("init", Params({}, "client"));
  signIn_->raiseNext(RVISignIn::Operation::kSignIn, RVIException("ScriptedException", "boom"));
  ExpectError(Send("signIn"), "rivado_sign_in", "boom", "ScriptedException");

  // No window to present in.
  window_->setContentViewController(nullptr);
  ExpectError(Send("signIn"), "rivado_sign_in", "presentingWindow must be set.",
              "NSInvalidArgumentException");
}

TEST_F(SignInPluginTest, VendorErrorsMapToUnderscoredCodes) {
  Start();
  Send("init", Params({}, "client"));
  struct Case {
    const char* domain;
    int64_t code;
    const char* expected;
  } cases[] = {
      {kRVISignInErrorDomain, -4, "sign_in_required"},
      {"NSURLErrorDomain", -4, "sign_in_required"},
      {kRVISignInErrorDomain, -5, "sign_in_canceled"},
      {"NSURLErrorDomain", -5, "sign_in_canceled"},
      {"NSURLErrorDomain", -1009, "network_error"},
      {kRVISignInErrorDomain, -1, "sign_in_failed"},
      {"SomeOtherDomain", 12, "sign_in_failed"},
  };
  for (const Case& c : cases) {
    signIn_->failNext(RVISignIn::Operation::kSignIn,
                      fnd::Error::withDescription(c.domain, c.code, "it went wrong"));
    ExpectError(Send("signIn"), c.expected, c.domain, "it went wrong");
  }
  // Nobody picks an account: the user closed the flow.
  Value canceled = Send("signIn");
  ASSERT_EQ(canceled.array()->size(), 3u);
  EXPECT_EQ(canceled.array()->at(0), Value("sign_in_canceled"));
  EXPECT_EQ(canceled.array()->at(1), Value(kRVISignInErrorDomain));
}

TEST_F(SignInPluginTest, SignInSilentlyRestoresWithoutInstallingAConfiguration) {
  Start(Dictionary{{"CLIENT_ID", "file-client"}});
  Value none = Send("signInSilently");
  ASSERT_EQ(none.array()->size(), 3u);
  EXPECT_EQ(none.array()->at(0), Value("sign_in_required"));

  signIn_->setPreviousSignInForTesting(Ada());
  auto user = Result(Send("signInSilently")).recordAs<FSIUserData>();
  ASSERT_TRUE(user);
  EXPECT_EQ(user->email, "ada@example.com");
  EXPECT_EQ(user->serverAuthCode, std::nullopt);
  EXPECT_FALSE(signIn_->configuration());
  EXPECT_FALSE(plugin_->configuration());
}

TEST_F(SignInPluginTest, GetAccessTokenAnswersTheCurrentTokens) {
  Start();
  ExpectError(Send("getAccessToken"), "sign_in_required", "No account to get tokens for.", Value());

  signIn_->setPreviousSignInForTesting(Ada());
  Send("signInSilently");
  auto tokens = Result(Send("getAccessToken")).recordAs<FSITokenData>();
  ASSERT_TRUE(tokens);
  auto user = signIn_->currentUser();
  EXPECT_EQ(tokens->idToken, user->idToken()->tokenString());
  EXPECT_EQ(tokens->accessToken, user->accessToken().tokenString());

  signIn_->failNext(RVISignIn::Operation::kRefreshTokens,
                    fnd::Error::withDescription("NSURLErrorDomain", -1009, "offline"));
  ExpectError(Send("getAccessToken"), "network_error", "NSURLErrorDomain", "offline");
}

TEST_F(SignInPluginTest, SignOutDisconnectAndIsSignedIn) {
  Start();
  EXPECT_EQ(Send("isSignedIn"), Value(Array{false}));
  signIn_->setPreviousSignInForTesting(Ada());
  EXPECT_EQ(Send("isSignedIn"), Value(Array{true}));
  EXPECT_EQ(Send("signOut"), Value(Array{Value()}));
  EXPECT_EQ(Send("isSignedIn"), Value(Array{false}));

  signIn_->setPreviousSignInForTesting(Ada());
  Send("signInSilently");
  signIn_->failNext(RVISignIn::Operation::kDisconnect,
                    fnd::Error::withDescription(kRVISignInErrorDomain, -1, "revocation failed"));
  EXPECT_EQ(Send("disconnect"), Value(Array{Value()}));
  EXPECT_TRUE(signIn_->currentUser()) << "the failed disconnect changed nothing";
  EXPECT_EQ(Send("disconnect"), Value(Array{Value()}));
  EXPECT_FALSE(signIn_->currentUser());
  EXPECT_EQ(Send("isSignedIn"), Value(Array{false}));
}

TEST_F(SignInPluginTest, RequestScopesWithoutAUserOnlyRemembersTheScopes) {
  Start();
  plugin_->setRequestedScopes({"a"});
  ExpectError(Send("requestScopes", Value(Array{Value(Array{"b"})})), "sign_in_required",
              "No account to grant scopes.", Value());
  EXPECT_EQ(plugin_->requestedScopes(), (std::set<std::string>{"a", "b"}));
}

TEST_F(SignInPluginTest, RequestScopesAnswersWhetherEveryRequestedScopeIsGranted) {
  Start();
  Send("init", Params({}, "client"));
  signIn_->queueAccountForTesting(Ada());
  SignIn();

  // Already granted: the SDK's code -8 answers true.
  EXPECT_EQ(Send("requestScopes", Value(Array{Value(Array{"email"})})), Value(Array{true}));
  EXPECT_EQ(Send("requestScopes", Value(Array{Value(Array{"drive"})})), Value(Array{true}));
  EXPECT_EQ(signIn_->currentUser()->grantedScopes().back(), "drive");

  signIn_->setScopeConsentForTesting([](const std::string& s) { return s != "contacts"; });
  EXPECT_EQ(Send("requestScopes", Value(Array{Value(Array{"contacts", "photos"})})),
            Value(Array{false}));
  // Any other SDK error answers false.
  signIn_->failNext(RVISignIn::Operation::kAddScopes,
                    fnd::Error::withDescription(kRVISignInErrorDomain, -5, "closed"));
  EXPECT_EQ(Send("requestScopes", Value(Array{Value(Array{"calendar"})})), Value(Array{false}));

  // Every scope asked for so far goes to the consent flow.
  EXPECT_EQ(plugin_->requestedScopes(),
            (std::set<std::string>{"calendar", "contacts", "drive", "email", "photos"}));
}

TEST_F(SignInPluginTest, RequestScopesForAStaleUserAnswersMismatchUser) {
  Start();
  Send("init", Params({}, "client"));
  signIn_->queueAccountForTesting(Ada());
  SignIn();
  // The user signs out while the consent flow is open.
  auto scopes = SendAsync("requestScopes", Value(Array{Value(Array{"drive"})}));
  auto signOut = SendAsync("signOut");
  dispatch::RunLoop::main().runUntilIdle();
  ExpectError(*scopes->message(FSIRivadoSignInApiGetCodec()), "mismatch_user",
              "There is an operation on a previous user. Try signing in again.", Value());
}

TEST_F(SignInPluginTest, RequestScopesExceptionsAnswerRequestScopes) {
  Start();
  Send("init", Params({}, "client"));
  signIn_->queueAccountForTesting(Ada());
  SignIn();
  signIn_->raiseNext(RVISignIn::Operation::kAddScopes, RVIException("ScriptedException", "nope"));
  ExpectError(Send("requestScopes", Value(Array{Value(Array{"drive"})})), "request_scopes", "nope",
              "ScriptedException");
  window_->setContentViewController(nullptr);
  ExpectError(Send("requestScopes", Value(Array{Value(Array{"drive"})})), "request_scopes",
              "presentingWindow must be set.", "NSInvalidArgumentException");
}

TEST_F(SignInPluginTest, UnusableArgumentsGetAClearError) {
  Start();
  struct Case {
    const char* method;
    Value message;
  } cases[] = {
      {"init", Value()},
      {"init", Value(Array{})},
      {"init", Value(Array{5})},
      {"init", Value("params")},
      {"requestScopes", Value()},
      {"requestScopes", Value(Array{Value(Array{"a", 1})})},
      {"requestScopes", Value(Array{"a"})},
  };
  for (const Case& c : cases) {
    Value reply = Send(c.method, c.message);
    ASSERT_TRUE(reply.isArray() && reply.array()->size() == 3) << c.message.description();
    EXPECT_EQ(reply.array()->at(0), Value(kFSIInvalidArgumentsErrorCode));
  }
  // A record whose fields have the wrong kinds does not decode; the channel answers empty and
  // the host goes on.
  fnd::Data bytes{12, 1, 128, 12, 4, 0, 0, 3, 7, 0, 0, 0, 0};
  auto reply = engine_->dart().send(
      zudiroru::PigeonChannelName(std::string(kFSIRivadoSignInApiChannelPrefix) + "init"), bytes);
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(reply->received());
  EXPECT_TRUE(reply->data().empty());
  EXPECT_EQ(Send("isSignedIn"), Value(Array{false}));
}

TEST_F(SignInPluginTest, OpenURLsAreOfferedToTheSDK) {
  Start();
  EXPECT_FALSE(plugin_->handleOpenURLs({"com.example.apps.123:/redirect"}));
  Send("init", Params({}, "123.apps.example.com"));
  signIn_->queueAccountForTesting(Ada());
  SignIn();  // Installs the configuration.
  EXPECT_TRUE(plugin_->handleOpenURLs({"https://other.example/", "com.example.apps.123:/r"}));
  EXPECT_FALSE(plugin_->handleOpenURLs({"https://other.example/"}));
}

TEST_F(SignInPluginTest, TheRegistrationEntryPointServesTheApplicationWindow) {
  // The shared SDK: script it through the plugin that the entry point made.
  FLTRivadoSignInPlugin::registerWithRegistrar(*view_->registrarForPlugin("FLTRivadoSignInPlugin"));
  EXPECT_EQ(Send("init", Params({}, "shared-client")), Value(Array{Value()}));
  RVISignIn::sharedInstance()->queueAccountForTesting(Ada());
  auto user = SignIn();
  ASSERT_TRUE(user);
  EXPECT_EQ(user->userId, "u-ada");
  EXPECT_EQ(Send("signOut"), Value(Array{Value()}));
  EXPECT_EQ(Send("isSignedIn"), Value(Array{false}));
}

}  // namespace

#include "platform/vendor/auth/auth.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"
#include "platform/security/digest.h"
#include "platform/security/hex.h"
#include "platform/vendor/core/options.h"

namespace {

DEVAuthProviderIdentity Identity(std::string provider, std::string uid,
                                 std::optional<std::string> email = std::nullopt) {
  DEVAuthProviderIdentity identity;
  identity.providerID = std::move(provider);
  identity.uid = std::move(uid);
  identity.email = std::move(email);
  return identity;
}

using Outcome = std::pair<std::shared_ptr<DEVAuthDataResult>, std::optional<fnd::Error>>;

class AuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    DEVAuthTesting::resetForTesting();
    DEVOptions options("1:1:ios:1", "1");
    options.setProjectID("quellmark-test");
    ASSERT_TRUE(DAVOdu::configureWithOptions(options));
    auth_ = DEVAuth::auth();
    ASSERT_NE(auth_, nullptr);
  }
  void TearDown() override {
    dispatch::RunLoop::main().runUntilIdle();
    DEVAuthTesting::resetForTesting();
    DAVOdu::resetForTesting();
  }

  static void Drain() { dispatch::RunLoop::main().runUntilIdle(); }

  // Runs an SDK call with a result completion and waits for it.
  template <typename Call>
  static Outcome Run(Call call) {
    std::optional<Outcome> outcome;
    call([&](std::shared_ptr<DEVAuthDataResult> result, const std::optional<fnd::Error>& error) {
      outcome = Outcome{result, error};
    });
    Drain();
    EXPECT_TRUE(outcome.has_value());
    return outcome.value_or(Outcome{});
  }
  template <typename Call>
  static std::optional<fnd::Error> RunVoid(Call call) {
    bool done = false;
    std::optional<fnd::Error> error;
    call([&](const std::optional<fnd::Error>& e) {
      done = true;
      error = e;
    });
    Drain();
    EXPECT_TRUE(done);
    return error;
  }
  Outcome SignUp(const std::string& email, const std::string& password) {
    return Run([&](auto cb) { auth_->createUserWithEmail(email, password, cb); });
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>(1000.5);
  dispatch::ScopedClock scopedClock_{clock_};
  std::shared_ptr<DEVAuth> auth_;
};

TEST_F(AuthTest, ListenersHearTheCurrentUserFirstThenEachChangeUntilRemoved) {
  std::vector<std::string> state, token;
  auto name = [](const std::shared_ptr<DEVUser>& u) { return u ? u->uid() : std::string("-"); };
  auto stateHandle = auth_->addAuthStateDidChangeListener(
      [&](std::shared_ptr<DEVAuth>, std::shared_ptr<DEVUser> u) { state.push_back(name(u)); });
  auth_->addIDTokenDidChangeListener(
      [&](std::shared_ptr<DEVAuth>, std::shared_ptr<DEVUser> u) { token.push_back(name(u)); });
  Drain();
  EXPECT_EQ(state, (std::vector<std::string>{"-"}));

  Outcome created = SignUp("ada@quellmark.example", "engine-1");
  ASSERT_TRUE(created.first) << created.second->description();
  std::string uid = created.first->user()->uid();
  // A forced refresh is news for ID-token listeners only.
  std::string before = created.first->user()->token()->token();
  std::optional<std::string> refreshed;
  created.first->user()->getIDTokenResultForcingRefresh(
      true, [&](std::shared_ptr<DEVAuthTokenResult> r, const std::optional<fnd::Error>&) {
        refreshed = r ? r->token() : "";
      });
  Drain();
  ASSERT_TRUE(refreshed);
  EXPECT_NE(*refreshed, before);
  ASSERT_TRUE(auth_->signOut());
  Drain();
  EXPECT_EQ(state, (std::vector<std::string>{"-", uid, "-"}));
  EXPECT_EQ(token, (std::vector<std::string>{"-", uid, uid, "-"}));

  auth_->removeAuthStateDidChangeListener(stateHandle);
  SignUp("bob@quellmark.example", "engine-2");
  EXPECT_EQ(state.size(), 3u);
  EXPECT_EQ(auth_->authStateListenerCountForTesting(), 0u);
  EXPECT_EQ(auth_->idTokenListenerCountForTesting(), 1u);
}

TEST_F(AuthTest, EmailAndPasswordErrorsCarryTheirVendorNames) {
  ASSERT_TRUE(SignUp("ada@quellmark.example", "engine-1").first);
  struct Case {
    const char* email;
    const char* password;
    bool create;
    int64_t code;
    const char* name;
  } cases[] = {
      {"not-an-address", "engine-1", true, DEVAuthErrorCodeInvalidEmail, "ERROR_INVALID_EMAIL"},
      {"new@quellmark.example", "five5", true, DEVAuthErrorCodeWeakPassword, "ERROR_WEAK_PASSWORD"},
      {"ada@quellmark.example", "engine-2", true, DEVAuthErrorCodeEmailAlreadyInUse,
       "ERROR_EMAIL_ALREADY_IN_USE"},
      {"ada@quellmark.example", "wrong-one", false, DEVAuthErrorCodeWrongPassword,
       "ERROR_WRONG_PASSWORD"},
      {"nobody@quellmark.example", "engine-1", false, DEVAuthErrorCodeUserNotFound,
       "ERROR_USER_NOT_FOUND"},
  };
  for (const Case& c : cases) {
    Outcome o = c.create ? SignUp(c.email, c.password)
                         : Run([&](auto cb) { auth_->signInWithEmail(c.email, c.password, cb); });
    ASSERT_TRUE(o.second) << c.email;
    EXPECT_EQ(o.second->code(), c.code) << c.email;
    EXPECT_EQ(o.second->userInfo().get(DEVAuthErrorUserInfoNameKey), fnd::Value(c.name));
  }
  EXPECT_EQ(SignUp("new@quellmark.example", "five5").second->localizedDescription(),
            "The password must be 6 characters long or more.");
}

TEST_F(AuthTest, FederatedSignInNeedsARegisteredTokenAndReportsConflicts) {
  DEVAuthProviderIdentity grace = Identity(DEVRivadoAuthProviderID, "r-grace", "grace@example.com");
  grace.displayName = "Grace";
  grace.username = "grace";
  auth_->registerProviderTokenForTesting("rivado-id-1", grace);

  Outcome unknown = Run([&](auto cb) {
    auth_->signInWithCredential(DEVRivadoAuthProvider::credentialWithIDToken("nope", "at"), cb);
  });
  ASSERT_TRUE(unknown.second);
  EXPECT_EQ(unknown.second->code(), DEVAuthErrorCodeInvalidCredential);

  auto credential = DEVRivadoAuthProvider::credentialWithIDToken("rivado-id-1", "at-1");
  Outcome first = Run([&](auto cb) { auth_->signInWithCredential(credential, cb); });
  ASSERT_TRUE(first.first);
  EXPECT_TRUE(first.first->additionalUserInfo()->isNewUser());
  EXPECT_EQ(first.first->additionalUserInfo()->username(), "grace");
  EXPECT_EQ(first.first->credential(), credential);
  EXPECT_EQ(first.first->user()->displayName(), "Grace");
  Outcome again = Run([&](auto cb) { auth_->signInWithCredential(credential, cb); });
  EXPECT_FALSE(again.first->additionalUserInfo()->isNewUser());
  EXPECT_EQ(again.first->user()->uid(), first.first->user()->uid());

  // A second provider identity with the same address belongs to nobody yet.
  DEVAuthProviderIdentity other =
      Identity(DEVGitHubAuthProviderID, "gh-grace", "grace@example.com");
  auth_->registerProviderTokenForTesting("gh-token", other);
  auto github = DEVGitHubAuthProvider::credentialWithToken("gh-token");
  Outcome exists = Run([&](auto cb) { auth_->signInWithCredential(github, cb); });
  ASSERT_TRUE(exists.second);
  EXPECT_EQ(exists.second->code(), DEVAuthErrorCodeAccountExistsWithDifferentCredential);
  EXPECT_EQ(exists.second->userInfo().get(DEVAuthErrorUserInfoEmailKey),
            fnd::Value("grace@example.com"));
  EXPECT_EQ(exists.second->userInfo()
                .get(DEVAuthErrorUserInfoUpdatedCredentialKey)
                .recordAs<DEVAuthCredential>(),
            github);

  // Linking the Rivado identity to another account is refused with the credential to retry.
  Outcome ada = SignUp("ada@quellmark.example", "engine-1");
  Outcome link = Run([&](auto cb) { ada.first->user()->linkWithCredential(credential, cb); });
  ASSERT_TRUE(link.second);
  EXPECT_EQ(link.second->code(), DEVAuthErrorCodeCredentialAlreadyInUse);
  EXPECT_TRUE(link.second->userInfo().get(DEVAuthErrorUserInfoUpdatedCredentialKey).isRecord());
}

TEST_F(AuthTest, AppleCredentialsMustCarryTheNonceTheTokenWasRequestedWith) {
  std::string rawNonce = "raw-nonce-1";
  std::string hashed = security::HexString(security::SHA256(rawNonce));
  auth_->registerProviderTokenForTesting("apple-token",
                                         Identity(DEVAppleAuthProviderID, "apple-ada"), hashed);
  fnd::PersonNameComponents name;
  name.givenName = "Ada";
  name.familyName = "Lovelace";
  Outcome wrong = Run([&](auto cb) {
    auth_->signInWithCredential(
        DEVOAuthProvider::appleCredentialWithIDToken("apple-token", "other", name), cb);
  });
  ASSERT_TRUE(wrong.second);
  EXPECT_EQ(wrong.second->code(), DEVAuthErrorCodeInvalidCredential);
  Outcome right = Run([&](auto cb) {
    auth_->signInWithCredential(
        DEVOAuthProvider::appleCredentialWithIDToken("apple-token", rawNonce, name), cb);
  });
  ASSERT_TRUE(right.first);
  EXPECT_EQ(right.first->user()->displayName(), "Ada Lovelace");
}

TEST_F(AuthTest, PasswordResetAndEmailLinkCodesWorkOnceThroughTheRecordedMails) {
  ASSERT_TRUE(SignUp("ada@quellmark.example", "engine-1").first);
  EXPECT_FALSE(
      RunVoid([&](auto cb) { auth_->sendPasswordResetWithEmail("ada@quellmark.example", cb); }));
  auto mails = auth_->sentEmailsForTesting();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].operation, DEVActionCodeOperationPasswordReset);
  EXPECT_NE(mails[0].link.find("quellmark-test.auth.example"), std::string::npos);
  std::optional<std::string> email;
  auth_->verifyPasswordResetCode(
      mails[0].code,
      [&](std::optional<std::string> e, const std::optional<fnd::Error>&) { email = e; });
  Drain();
  EXPECT_EQ(email, "ada@quellmark.example");
  EXPECT_FALSE(RunVoid(
      [&](auto cb) { auth_->confirmPasswordResetWithCode(mails[0].code, "engine-9", cb); }));
  auto reused =
      RunVoid([&](auto cb) { auth_->confirmPasswordResetWithCode(mails[0].code, "engine-8", cb); });
  ASSERT_TRUE(reused);
  EXPECT_EQ(reused->code(), DEVAuthErrorCodeInvalidActionCode);
  EXPECT_TRUE(
      Run([&](auto cb) { auth_->signInWithEmail("ada@quellmark.example", "engine-9", cb); }).first);

  auto settings = std::make_shared<DEVActionCodeSettings>();
  EXPECT_TRUE(RunVoid(
      [&](auto cb) { auth_->sendSignInLinkToEmail("bob@quellmark.example", settings, cb); }));
  settings->setHandleCodeInApp(true);
  EXPECT_FALSE(RunVoid(
      [&](auto cb) { auth_->sendSignInLinkToEmail("bob@quellmark.example", settings, cb); }));
  std::string link = auth_->sentEmailsForTesting().back().link;
  Outcome bob =
      Run([&](auto cb) { auth_->signInWithEmailLink("bob@quellmark.example", link, cb); });
  ASSERT_TRUE(bob.first);
  EXPECT_TRUE(bob.first->user()->isEmailVerified());
  EXPECT_TRUE(bob.first->additionalUserInfo()->isNewUser());
}

TEST_F(AuthTest, TotpEnrolmentMakesTheNextSignInAskForTheSecondFactor) {
  Outcome ada = SignUp("ada@quellmark.example", "engine-1");
  std::shared_ptr<DEVUser> user = ada.first->user();
  std::shared_ptr<DEVMultiFactorSession> session;
  user->multiFactor()->getSessionWithCompletion(
      [&](std::shared_ptr<DEVMultiFactorSession> s, const std::optional<fnd::Error>&) {
        session = s;
      });
  Drain();
  ASSERT_TRUE(session);
  std::shared_ptr<DEVTOTPSecret> secret;
  DEVTOTPMultiFactorGenerator::generateSecretWithMultiFactorSession(
      session,
      [&](std::shared_ptr<DEVTOTPSecret> s, const std::optional<fnd::Error>&) { secret = s; });
  Drain();
  ASSERT_TRUE(secret);
  EXPECT_EQ(secret->sharedSecretKey().size(), 32u);

  auto bad = DEVTOTPMultiFactorGenerator::assertionForEnrollmentWithSecret(secret, "000000x");
  auto badError =
      RunVoid([&](auto cb) { user->multiFactor()->enrollWithAssertion(bad, "phone app", cb); });
  ASSERT_TRUE(badError);
  EXPECT_EQ(badError->code(), DEVAuthErrorCodeInvalidVerificationCode);
  std::string code = DEVAuthTesting::totpCode(secret->sharedSecretKey(), clock_->wallTime());
  auto good = DEVTOTPMultiFactorGenerator::assertionForEnrollmentWithSecret(secret, code);
  EXPECT_FALSE(
      RunVoid([&](auto cb) { user->multiFactor()->enrollWithAssertion(good, "phone app", cb); }));
  ASSERT_EQ(user->multiFactor()->enrolledFactors().size(), 1u);
  std::string factorUid = user->multiFactor()->enrolledFactors()[0]->uid();

  ASSERT_TRUE(auth_->signOut());
  Outcome first =
      Run([&](auto cb) { auth_->signInWithEmail("ada@quellmark.example", "engine-1", cb); });
  ASSERT_TRUE(first.second);
  EXPECT_EQ(first.second->code(), DEVAuthErrorCodeSecondFactorRequired);
  EXPECT_EQ(auth_->currentUser(), nullptr);
  auto resolver = first.second->userInfo()
                      .get(DEVAuthErrorUserInfoMultiFactorResolverKey)
                      .recordAs<DEVMultiFactorResolver>();
  ASSERT_TRUE(resolver);
  ASSERT_EQ(resolver->hints().size(), 1u);
  EXPECT_EQ(resolver->hints()[0]->displayName(), "phone app");

  clock_->advance(45);  // One step later the previous code is still accepted.
  Outcome resolved = Run([&](auto cb) {
    resolver->resolveSignInWithAssertion(
        DEVTOTPMultiFactorGenerator::assertionForSignInWithEnrollmentID(factorUid, code), cb);
  });
  ASSERT_TRUE(resolved.first) << resolved.second->description();
  EXPECT_EQ(resolved.first->user()->token()->signInSecondFactor(), "totp");
  EXPECT_EQ(auth_->currentUser(), resolved.first->user());
  // A pending sign-in resolves once.
  Outcome twice = Run([&](auto cb) {
    resolver->resolveSignInWithAssertion(
        DEVTOTPMultiFactorGenerator::assertionForSignInWithEnrollmentID(factorUid, code), cb);
  });
  ASSERT_TRUE(twice.second);
  EXPECT_EQ(twice.second->code(), DEVAuthErrorCodeInvalidMultiFactorSession);
}

TEST_F(AuthTest, FaultsAndInternalErrorsReachTheCompletionOnTheCallbackQueue) {
  auto queue = dispatch::Queue::create("auth-callbacks");
  DEVAuthTesting::setCallbackQueue(queue);
  fnd::Dictionary response{{"code", 400}, {"message", "BAD_REQUEST"}};
  DEVAuthTesting::failNext("signInAnonymously", DEVAuthInternalError(response));
  std::atomic<bool> done = false;
  std::optional<fnd::Error> error;
  bool onQueue = false;
  auth_->signInAnonymouslyWithCompletion(
      [&](std::shared_ptr<DEVAuthDataResult>, const std::optional<fnd::Error>& e) {
        error = e;
        onQueue = queue->isCurrent();
        done = true;
      });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done.load(); }));
  EXPECT_TRUE(onQueue);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), DEVAuthErrorCodeInternalError);
  auto underlying = DEVAuthUnderlyingErrorOf(*error);
  ASSERT_TRUE(underlying);
  EXPECT_EQ(underlying->userInfo().get(DEVAuthErrorUserInfoDeserializedResponseKey),
            fnd::Value(response));
}

}  // namespace

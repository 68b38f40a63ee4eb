#include "platform/vendor/signin/sign_in.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/window.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"

namespace {

RVITestAccount Ada() { return RVITestAccount{"u-ada", "ada@example.com", "Ada", std::nullopt, {}}; }

class SignInTest : public ::testing::Test {
 protected:
  void TearDown() override { dispatch::RunLoop::main().runUntilIdle(); }

  // Runs an interactive sign-in to its end.
  std::pair<std::optional<RVISignInResult>, std::optional<fnd::Error>> SignIn(
      std::vector<std::string> scopes = {}) {
    std::pair<std::optional<RVISignInResult>, std::optional<fnd::Error>> out;
    bool done = false;
    signIn_->signInWithPresentingWindow(window_, std::nullopt, scopes,
                                        [&](const auto& result, const auto& error) {
                                          out = {result, error};
                                          done = true;
                                        });
    EXPECT_FALSE(done) << "completions never run on the calling thread";
    dispatch::RunLoop::main().runUntilIdle();
    EXPECT_TRUE(done);
    return out;
  }
  std::pair<std::optional<RVISignInResult>, std::optional<fnd::Error>> AddScopes(
      const std::shared_ptr<RVIRivadoUser>& user, std::vector<std::string> scopes) {
    std::pair<std::optional<RVISignInResult>, std::optional<fnd::Error>> out;
    user->addScopes(scopes, window_, [&](const auto& result, const auto& error) {
      out = {result, error};
    });
    dispatch::RunLoop::main().runUntilIdle();
    return out;
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  std::shared_ptr<RVISignIn> signIn_ = RVISignIn::create(nullptr, clock_);
  std::shared_ptr<appkit::Window> window_ = std::make_shared<appkit::Window>();
};

TEST_F(SignInTest, InteractiveSignInRaisesForProgrammerErrors) {
  try {
    signIn_->signInWithPresentingWindow(window_, std::nullopt, {}, nullptr);
    FAIL() << "no configuration must raise";
  } catch (const RVIException& e) {
    EXPECT_EQ(e.name(), kRVIInvalidArgumentException);
  }
  signIn_->setConfiguration(RVIConfiguration("client"));
  EXPECT_THROW(signIn_->signInWithPresentingWindow(nullptr, std::nullopt, {}, nullptr),
               RVIException);
  signIn_->raiseNext(RVISignIn::Operation::kSignIn, RVIException("Boom", "scripted"));
  EXPECT_THROW(signIn_->signInWithPresentingWindow(window_, std::nullopt, {}, nullptr),
               RVIException);
}

TEST_F(SignInTest, InteractiveSignInSignsInTheQueuedAccountOrIsCanceled) {
  signIn_->setConfiguration(RVIConfiguration("client", "server"));
  auto [none, canceled] = SignIn();
  ASSERT_TRUE(canceled);
  EXPECT_EQ(canceled->code(), kRVISignInErrorCodeCanceled);
  EXPECT_FALSE(signIn_->hasPreviousSignIn());

  RVITestAccount ada = Ada();
  ada.imageURL = "https://img.example/ada";
  signIn_->queueAccountForTesting(ada);
  auto [result, error] = SignIn({"drive", "email"});
  ASSERT_FALSE(error);
  ASSERT_TRUE(result && result->user);
  EXPECT_EQ(result->user, signIn_->currentUser());
  EXPECT_TRUE(signIn_->hasPreviousSignIn());
  EXPECT_EQ(result->serverAuthCode, "rvi-sac.u-ada.3");
  EXPECT_EQ(result->user->grantedScopes(),
            (std::vector<std::string>{"openid", "profile", "email", "drive"}));
  EXPECT_EQ(result->user->profile()->imageURLWithDimension(48), "https://img.example/ada?sz=48");
  EXPECT_EQ(signIn_->lastSignInRequest()->additionalScopes,
            (std::vector<std::string>{"drive", "email"}));
}

TEST_F(SignInTest, HostedDomainRefusesOtherAccounts) {
  signIn_->setConfiguration(RVIConfiguration("client", std::nullopt, "corp.example"));
  signIn_->queueAccountForTesting(Ada());
  auto [result, error] = SignIn();
  ASSERT_TRUE(error);
  EXPECT_FALSE(signIn_->currentUser());
}

TEST_F(SignInTest, RestoreBringsBackTheStoredSignInWithItsScopes) {
  std::optional<fnd::Error> error;
  signIn_->restorePreviousSignInWithCompletion(
      [&](const std::shared_ptr<RVIRivadoUser>&, const std::optional<fnd::Error>& e) {
        error = e;
      });
  dispatch::RunLoop::main().runUntilIdle();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kRVISignInErrorCodeHasNoAuthInKeychain);

  RVITestAccount ada = Ada();
  ada.grantedScopes = {"calendar"};
  signIn_->setPreviousSignInForTesting(ada);
  std::shared_ptr<RVIRivadoUser> user;
  signIn_->restorePreviousSignInWithCompletion(
      [&](const std::shared_ptr<RVIRivadoUser>& u, const std::optional<fnd::Error>&) { user = u; });
  dispatch::RunLoop::main().runUntilIdle();
  ASSERT_TRUE(user);
  EXPECT_EQ(user->userID(), "u-ada");
  EXPECT_EQ(user->grantedScopes().back(), "calendar");
  EXPECT_EQ(signIn_->currentUser(), user);

  signIn_->signOut();
  EXPECT_FALSE(signIn_->currentUser());
  EXPECT_FALSE(signIn_->hasPreviousSignIn());
}

TEST_F(SignInTest, AddScopesAnswersByWhatTheUserGrantsAndWhoIsCurrent) {
  signIn_->setConfiguration(RVIConfiguration("client"));
  signIn_->queueAccountForTesting(Ada());
  auto user = SignIn().first->user;

  auto [already, alreadyError] = AddScopes(user, {"email"});
  ASSERT_TRUE(alreadyError);
  EXPECT_EQ(alreadyError->code(), kRVISignInErrorCodeScopesAlreadyGranted);

  signIn_->setScopeConsentForTesting([](const std::string& s) { return s != "contacts"; });
  auto [partial, partialError] = AddScopes(user, {"drive", "contacts"});
  ASSERT_FALSE(partialError);
  EXPECT_EQ(partial->user->grantedScopes().back(), "drive");

  EXPECT_THROW(user->addScopes({"x"}, nullptr, nullptr), RVIException);

  // Signed out while the consent flow was open.
  std::optional<fnd::Error> mismatch;
  user->addScopes({"photos"}, window_, [&](const auto&, const auto& e) { mismatch = e; });
  signIn_->signOut();
  dispatch::RunLoop::main().runUntilIdle();
  ASSERT_TRUE(mismatch);
  EXPECT_EQ(mismatch->code(), kRVISignInErrorCodeMismatchWithCurrentUser);
}

TEST_F(SignInTest, TokensRefreshOnlyNearTheirExpiry) {
  signIn_->setConfiguration(RVIConfiguration("client"));
  signIn_->queueAccountForTesting(Ada());
  auto user = SignIn().first->user;
  const std::string first = user->accessToken().tokenString();
  auto refresh = [&] {
    user->refreshTokensIfNeededWithCompletion(nullptr);
    dispatch::RunLoop::main().runUntilIdle();
    return user->accessToken().tokenString();
  };
  EXPECT_EQ(refresh(), first);
  clock_->setWallTime(clock_->wallTime() + RVISignIn::kTokenLifetime - 10);
  EXPECT_NE(refresh(), first);

  signIn_->failNext(RVISignIn::Operation::kRefreshTokens,
                    fnd::Error::withDescription("NSURLErrorDomain", -1009, "offline"));
  std::optional<fnd::Error> error;
  user->refreshTokensIfNeededWithCompletion([&](const auto& u, const auto& e) {
    EXPECT_FALSE(u);
    error = e;
  });
  dispatch::RunLoop::main().runUntilIdle();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSURLErrorDomain");
}

TEST_F(SignInTest, DisconnectRevokesAndAFaultChangesNothing) {
  signIn_->setConfiguration(RVIConfiguration("client"));
  signIn_->queueAccountForTesting(Ada());
  auto user = SignIn().first->user;
  signIn_->failNext(RVISignIn::Operation::kDisconnect,
                    fnd::Error::withDescription(kRVISignInErrorDomain, -1, "server said no"));
  std::optional<fnd::Error> error;
  signIn_->disconnectWithCompletion([&](const auto& e) { error = e; });
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(error);
  EXPECT_EQ(signIn_->currentUser(), user);

  signIn_->disconnectWithCompletion(nullptr);
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_FALSE(signIn_->currentUser());
  EXPECT_FALSE(signIn_->hasPreviousSignIn());
  EXPECT_EQ(signIn_->revokedTokens(), std::vector<std::string>{user->accessToken().tokenString()});
}

TEST_F(SignInTest, HandlesRedirectsOfTheReversedClientID) {
  EXPECT_FALSE(signIn_->handleURL("com.example.apps.123:/oauth"));
  signIn_->setConfiguration(RVIConfiguration("123.apps.example.com"));
  struct Case {
    const char* url;
    bool handled;
  } cases[] = {
      {"com.example.apps.123:/oauth2redirect?code=x", true},
      {"COM.Example.apps.123:/x", true},
      {"https://example.com/", false},
      {"no-scheme", false},
  };
  for (const Case& c : cases) EXPECT_EQ(signIn_->handleURL(c.url), c.handled) << c.url;
}

}  // namespace

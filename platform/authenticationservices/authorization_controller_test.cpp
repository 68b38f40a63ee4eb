#include "platform/authenticationservices/authorization_controller.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/appkit/window.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"

namespace {

class Recorder : public ASAuthorizationControllerDelegate,
                 public ASAuthorizationControllerPresentationContextProviding {
 public:
  void authorizationControllerDidCompleteWithAuthorization(
      ASAuthorizationController&, const ASAuthorization& authorization) override {
    ++answers;
    credential = authorization.credential();
  }
  void authorizationControllerDidCompleteWithError(ASAuthorizationController&,
                                                   const fnd::Error& e) override {
    ++answers;
    error = e;
  }
  std::shared_ptr<appkit::Window> presentationAnchorForAuthorizationController(
      ASAuthorizationController&) override {
    return window;
  }

  int answers = 0;
  std::shared_ptr<ASAuthorizationCredential> credential;
  std::optional<fnd::Error> error;
  std::shared_ptr<appkit::Window> window = std::make_shared<appkit::Window>();
};

class AuthorizationControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASAuthorizationTesting::resetForTesting(); }
  void TearDown() override {
    dispatch::RunLoop::main().runUntilIdle();
    ASAuthorizationTesting::resetForTesting();
  }
  std::shared_ptr<ASAuthorizationController> Perform(std::vector<std::string> scopes = {}) {
    auto request = ASAuthorizationAppleIDProvider().createRequest();
    request->setRequestedScopes(std::move(scopes));
    request->setNonce("nonce-hash");
    auto controller = ASAuthorizationController::initWithAuthorizationRequests({request});
    controller->setDelegate(recorder_);
    controller->setPresentationContextProvider(recorder_);
    controller->performRequests();
    return controller;
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
};

TEST_F(AuthorizationControllerTest, UnscriptedSheetsAreCanceledOnTheMainQueue) {
  Perform();
  EXPECT_EQ(recorder_->answers, 0) << "never on the calling stack";
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(recorder_->answers, 1);
  ASSERT_TRUE(recorder_->error);
  EXPECT_EQ(recorder_->error->domain(), ASAuthorizationErrorDomain);
  EXPECT_EQ(recorder_->error->code(), ASAuthorizationErrorCanceled);
}

TEST_F(AuthorizationControllerTest, TheResponderSeesTheRequestAndTheAnchor) {
  std::shared_ptr<appkit::Window> anchor;
  ASAuthorizationTesting::setResponder([&](const ASAuthorizationAppleIDRequest& request,
                                           const std::shared_ptr<appkit::Window>& window) {
    anchor = window;
    EXPECT_EQ(request.nonce(), "nonce-hash");
    return ASAuthorizationTesting::Outcome(
        ASAuthorizationTesting::appleIDCredential("u1", "token", "code"));
  });
  auto controller = Perform({ASAuthorizationScopeEmail});
  controller->performRequests();  // A controller performs once.
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(recorder_->answers, 1);
  EXPECT_EQ(anchor, recorder_->window);
  auto apple = std::dynamic_pointer_cast<ASAuthorizationAppleIDCredential>(recorder_->credential);
  ASSERT_TRUE(apple);
  EXPECT_EQ(apple->identityToken(), (fnd::Data{'t', 'o', 'k', 'e', 'n'}));
  ASSERT_EQ(ASAuthorizationTesting::performedRequests().size(), 1u);
  EXPECT_EQ(ASAuthorizationTesting::performedRequests()[0].requestedScopes(),
            std::vector<std::string>{ASAuthorizationScopeEmail});
}

TEST_F(AuthorizationControllerTest, HeldRequestsWaitAndAGoneDelegateHearsNothing) {
  ASAuthorizationTesting::holdRequests(true);
  Perform();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(recorder_->answers, 0);
  ASAuthorizationTesting::releaseHeldRequests();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(recorder_->answers, 1);

  Perform();
  std::weak_ptr<Recorder> gone = recorder_;
  recorder_.reset();
  ASAuthorizationTesting::releaseHeldRequests();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(gone.expired());
}

}  // namespace

#include "platform/authenticationservices/authorization_controller.h"

#include <utility>

#include "platform/dispatch/queue.h"

namespace {

struct Sheet {
  std::mutex mu;
  // Guarded by mu.
  ASAuthorizationTesting::Responder responder;
  bool hold = false;
  std::vector<std::shared_ptr<ASAuthorizationController>> held;
  std::vector<ASAuthorizationAppleIDRequest> performed;
};

Sheet& sheet() {
  static Sheet* s = new Sheet();
  return *s;
}

}  // namespace

std::shared_ptr<ASAuthorizationController> ASAuthorizationController::initWithAuthorizationRequests(
    std::vector<std::shared_ptr<ASAuthorizationRequest>> requests) {
  return std::make_shared<ASAuthorizationController>(std::move(requests));
}

void ASAuthorizationController::setDelegate(
    std::weak_ptr<ASAuthorizationControllerDelegate> delegate) {
  std::lock_guard lock(mu_);
  delegate_ = std::move(delegate);
}

void ASAuthorizationController::setPresentationContextProvider(
    std::weak_ptr<ASAuthorizationControllerPresentationContextProviding> provider) {
  std::lock_guard lock(mu_);
  provider_ = std::move(provider);
}

void ASAuthorizationController::performRequests() {
  {
    std::lock_guard lock(mu_);
    if (performed_) return;
    performed_ = true;
  }
  ASAuthorizationTesting::perform(shared_from_this());
}

void ASAuthorizationController::answer() {
  std::shared_ptr<ASAuthorizationControllerDelegate> delegate;
  std::shared_ptr<ASAuthorizationControllerPresentationContextProviding> provider;
  {
    std::lock_guard lock(mu_);
    delegate = delegate_.lock();
    provider = provider_.lock();
  }
  std::shared_ptr<appkit::Window> anchor =
      provider ? provider->presentationAnchorForAuthorizationController(*this) : nullptr;
  std::shared_ptr<ASAuthorizationAppleIDRequest> request;
  for (const auto& r : requests_) {
    if ((request = std::dynamic_pointer_cast<ASAuthorizationAppleIDRequest>(r))) break;
  }
  ASAuthorizationTesting::Responder responder;
  {
    std::lock_guard lock(sheet().mu);
    responder = sheet().responder;
  }
  ASAuthorizationTesting::Outcome outcome = ASAuthorizationTesting::error(
      request ? ASAuthorizationErrorCanceled : ASAuthorizationErrorNotHandled);
  if (request && responder) outcome = responder(*request, anchor);
  if (!delegate) return;
  if (auto* credential = std::get_if<std::shared_ptr<ASAuthorizationCredential>>(&outcome)) {
    if (*credential) {
      delegate->authorizationControllerDidCompleteWithAuthorization(*this,
                                                                    ASAuthorization(*credential));
      return;
    }
    outcome = ASAuthorizationTesting::error(ASAuthorizationErrorInvalidResponse);
  }
  delegate->authorizationControllerDidCompleteWithError(*this, std::get<fnd::Error>(outcome));
}

void ASAuthorizationTesting::perform(std::shared_ptr<ASAuthorizationController> controller) {
  {
    std::lock_guard lock(sheet().mu);
    for (const auto& r : controller->authorizationRequests()) {
      if (auto apple = std::dynamic_pointer_cast<ASAuthorizationAppleIDRequest>(r)) {
        sheet().performed.push_back(*apple);
      }
    }
    if (sheet().hold) {
      sheet().held.push_back(std::move(controller));
      return;
    }
  }
  dispatch::Queue::main()->async([controller] { controller->answer(); });
}

void ASAuthorizationTesting::setResponder(Responder responder) {
  std::lock_guard lock(sheet().mu);
  sheet().responder = std::move(responder);
}

void ASAuthorizationTesting::holdRequests(bool hold) {
  std::lock_guard lock(sheet().mu);
  sheet().hold = hold;
}

void ASAuthorizationTesting::releaseHeldRequests() {
  std::vector<std::shared_ptr<ASAuthorizationController>> held;
  {
    std::lock_guard lock(sheet().mu);
    held.swap(sheet().held);
  }
  for (auto& controller : held) {
    dispatch::Queue::main()->async([controller] { controller->answer(); });
  }
}

std::vector<ASAuthorizationAppleIDRequest> ASAuthorizationTesting::performedRequests() {
  std::lock_guard lock(sheet().mu);
  return sheet().performed;
}

fnd::Error ASAuthorizationTesting::error(int64_t code) {
  return fnd::Error(ASAuthorizationErrorDomain, code);
}

std::shared_ptr<ASAuthorizationAppleIDCredential> ASAuthorizationTesting::appleIDCredential(
    std::string user, std::optional<std::string> identityToken,
    std::optional<std::string> authorizationCode, std::optional<fnd::PersonNameComponents> fullName,
    std::optional<std::string> email) {
  ASAuthorizationAppleIDCredential::Fields fields;
  fields.user = std::move(user);
  if (identityToken) fields.identityToken = fnd::Data(identityToken->begin(), identityToken->end());
  if (authorizationCode) {
    fields.authorizationCode = fnd::Data(authorizationCode->begin(), authorizationCode->end());
  }
  fields.fullName = std::move(fullName);
  fields.email = std::move(email);
  return std::make_shared<ASAuthorizationAppleIDCredential>(std::move(fields));
}

void ASAuthorizationTesting::resetForTesting() {
  std::lock_guard lock(sheet().mu);
  sheet().responder = nullptr;
  sheet().hold = false;
  sheet().held.clear();
  sheet().performed.clear();
}

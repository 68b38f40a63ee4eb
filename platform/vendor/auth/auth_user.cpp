#include "platform/vendor/auth/auth_user.h"

#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/vendor/auth/auth.h"

namespace {

// The error of an operation on a user whose instance no longer exists.
fnd::Error Detached() {
  return DEVAuthError(DEVAuthErrorCodeUserNotFound, "The user's auth instance no longer exists.");
}

void Post(std::function<void()> block) { DEVAuthTesting::callbackQueue()->async(std::move(block)); }

void FailVoid(DEVAuthVoidCallback completion) {
  Post([completion = std::move(completion)] {
    if (completion) completion(Detached());
  });
}

void FailResult(DEVAuthDataResultCallback completion) {
  Post([completion = std::move(completion)] {
    if (completion) completion(nullptr, Detached());
  });
}

}  // namespace

DEVUser::DEVUser(std::weak_ptr<DEVAuth> auth, DEVUserState state,
                 std::shared_ptr<DEVAuthTokenResult> token)
    : auth_(std::move(auth)), state_(std::move(state)), token_(std::move(token)) {}

std::string DEVUser::uid() const {
  std::lock_guard lock(mu_);
  return state_.uid;
}

std::optional<std::string> DEVUser::email() const {
  std::lock_guard lock(mu_);
  return state_.email;
}

std::optional<std::string> DEVUser::displayName() const {
  std::lock_guard lock(mu_);
  return state_.displayName;
}

std::optional<std::string> DEVUser::photoURL() const {
  std::lock_guard lock(mu_);
  return state_.photoURL;
}

std::optional<std::string> DEVUser::phoneNumber() const {
  std::lock_guard lock(mu_);
  return state_.phoneNumber;
}

bool DEVUser::isAnonymous() const {
  std::lock_guard lock(mu_);
  return state_.isAnonymous;
}

bool DEVUser::isEmailVerified() const {
  std::lock_guard lock(mu_);
  return state_.emailVerified;
}

std::optional<std::string> DEVUser::tenantID() const {
  std::lock_guard lock(mu_);
  return state_.tenantID;
}

std::string DEVUser::refreshToken() const {
  std::lock_guard lock(mu_);
  return state_.refreshToken;
}

DEVUserMetadata DEVUser::metadata() const {
  std::lock_guard lock(mu_);
  return state_.metadata;
}

std::vector<std::shared_ptr<DEVUserInfo>> DEVUser::providerData() const {
  std::lock_guard lock(mu_);
  return state_.providerData;
}

std::shared_ptr<DEVMultiFactor> DEVUser::multiFactor() {
  std::lock_guard lock(mu_);
  if (!multiFactor_) multiFactor_ = std::make_shared<DEVMultiFactor>(weak_from_this());
  return multiFactor_;
}

DEVUserState DEVUser::state() const {
  std::lock_guard lock(mu_);
  return state_;
}

void DEVUser::setState(DEVUserState state) {
  std::lock_guard lock(mu_);
  state_ = std::move(state);
}

std::shared_ptr<DEVAuthTokenResult> DEVUser::token() const {
  std::lock_guard lock(mu_);
  return token_;
}

void DEVUser::setToken(std::shared_ptr<DEVAuthTokenResult> token) {
  std::lock_guard lock(mu_);
  token_ = std::move(token);
}

std::string DEVUser::description() const { return "<DEVUser " + uid() + ">"; }

void DEVUser::deleteWithCompletion(DEVAuthVoidCallback completion) {
  if (auto a = auth()) return a->userDelete(shared_from_this(), std::move(completion));
  FailVoid(std::move(completion));
}

void DEVUser::getIDTokenResultForcingRefresh(bool forceRefresh, TokenCallback completion) {
  if (auto a = auth()) return a->userToken(shared_from_this(), forceRefresh, std::move(completion));
  Post([completion = std::move(completion)] {
    if (completion) completion(nullptr, Detached());
  });
}

void DEVUser::linkWithCredential(std::shared_ptr<DEVAuthCredential> credential,
                                 DEVAuthDataResultCallback completion) {
  if (auto a = auth()) return a->userLink(shared_from_this(), credential, std::move(completion));
  FailResult(std::move(completion));
}

void DEVUser::reauthenticateWithCredential(std::shared_ptr<DEVAuthCredential> credential,
                                           DEVAuthDataResultCallback completion) {
  if (auto a = auth()) {
    return a->userReauthenticate(shared_from_this(), credential, std::move(completion));
  }
  FailResult(std::move(completion));
}

void DEVUser::reloadWithCompletion(DEVAuthVoidCallback completion) {
  if (auto a = auth()) return a->userReload(shared_from_this(), std::move(completion));
  FailVoid(std::move(completion));
}

void DEVUser::sendEmailVerificationWithActionCodeSettings(
    std::shared_ptr<DEVActionCodeSettings> settings, DEVAuthVoidCallback completion) {
  if (auto a = auth()) {
    return a->userSendVerification(shared_from_this(), std::nullopt, settings,
                                   std::move(completion));
  }
  FailVoid(std::move(completion));
}

void DEVUser::unlinkFromProvider(std::string provider, UserCallback completion) {
  if (auto a = auth()) return a->userUnlink(shared_from_this(), provider, std::move(completion));
  Post([completion = std::move(completion)] {
    if (completion) completion(nullptr, Detached());
  });
}

void DEVUser::updateEmail(std::string email, DEVAuthVoidCallback completion) {
  auto a = auth();
  if (!a) return FailVoid(std::move(completion));
  a->userUpdate(
      shared_from_this(), "updateEmail",
      [email = std::move(email)](DEVAuthAccount& account) -> std::optional<fnd::Error> {
        if (email.empty()) return DEVAuthError(DEVAuthErrorCodeMissingEmail);
        if (account.email != email) account.emailVerified = false;
        account.email = email;
        return std::nullopt;
      },
      std::move(completion));
}

void DEVUser::updatePassword(std::string password, DEVAuthVoidCallback completion) {
  auto a = auth();
  if (!a) return FailVoid(std::move(completion));
  a->userUpdate(
      shared_from_this(), "updatePassword",
      [password = std::move(password)](DEVAuthAccount& account) -> std::optional<fnd::Error> {
        if (password.size() < 6) return DEVAuthError(DEVAuthErrorCodeWeakPassword);
        account.password = password;
        return std::nullopt;
      },
      std::move(completion));
}

std::shared_ptr<DEVUserProfileChangeRequest> DEVUser::profileChangeRequest() {
  return std::make_shared<DEVUserProfileChangeRequest>(shared_from_this());
}

void DEVUser::sendEmailVerificationBeforeUpdatingEmail(
    std::string email, std::shared_ptr<DEVActionCodeSettings> settings,
    DEVAuthVoidCallback completion) {
  if (auto a = auth()) {
    return a->userSendVerification(shared_from_this(), std::move(email), settings,
                                   std::move(completion));
  }
  FailVoid(std::move(completion));
}

void DEVUserProfileChangeRequest::setDisplayName(std::optional<std::string> displayName) {
  std::lock_guard lock(mu_);
  displayName_ = std::move(displayName);
}

void DEVUserProfileChangeRequest::setPhotoURL(std::optional<std::string> photoURL) {
  std::lock_guard lock(mu_);
  photoURL_ = std::move(photoURL);
}

void DEVUserProfileChangeRequest::commitChangesWithCompletion(DEVAuthVoidCallback completion) {
  std::optional<std::optional<std::string>> displayName;
  std::optional<std::optional<std::string>> photoURL;
  {
    std::lock_guard lock(mu_);
    if (committed_) {
      Post([completion = std::move(completion)] {
        if (completion) {
          completion(DEVAuthError(DEVAuthErrorCodeInternalError,
                                  "A profile change request can be committed only once."));
        }
      });
      return;
    }
    committed_ = true;
    displayName = displayName_;
    photoURL = photoURL_;
  }
  auto a = user_->auth();
  if (!a) return FailVoid(std::move(completion));
  a->userUpdate(
      user_, "commitProfileChanges",
      [displayName, photoURL](DEVAuthAccount& account) -> std::optional<fnd::Error> {
        if (displayName) account.displayName = *displayName;
        if (photoURL) account.photoURL = *photoURL;
        return std::nullopt;
      },
      std::move(completion));
}

#include "platform/vendor/signin/rivado_user.h"

#include <algorithm>

#include "platform/vendor/signin/sign_in.h"

std::optional<std::string> RVIProfileData::imageURLWithDimension(uint32_t dimension) const {
  if (!imageURL_) return std::nullopt;
  const char* separator = imageURL_->find('?') == std::string::npos ? "?" : "&";
  return *imageURL_ + separator + "sz=" + std::to_string(dimension);
}

RVIRivadoUser::RVIRivadoUser(std::weak_ptr<RVISignIn> signIn, std::optional<std::string> userID,
                             std::shared_ptr<const RVIProfileData> profile,
                             std::vector<std::string> scopes, std::optional<RVIToken> idToken,
                             RVIToken accessToken)
    : signIn_(std::move(signIn)),
      userID_(std::move(userID)),
      profile_(std::move(profile)),
      scopes_(std::move(scopes)),
      idToken_(std::move(idToken)),
      accessToken_(std::move(accessToken)) {}

std::vector<std::string> RVIRivadoUser::grantedScopes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return scopes_;
}

std::optional<RVIToken> RVIRivadoUser::idToken() const {
  std::lock_guard<std::mutex> lock(mu_);
  return idToken_;
}

RVIToken RVIRivadoUser::accessToken() const {
  std::lock_guard<std::mutex> lock(mu_);
  return accessToken_;
}

void RVIRivadoUser::setTokens(std::optional<RVIToken> idToken, RVIToken accessToken) {
  std::lock_guard<std::mutex> lock(mu_);
  idToken_ = std::move(idToken);
  accessToken_ = std::move(accessToken);
}

void RVIRivadoUser::addGrantedScopes(const std::vector<std::string>& scopes) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const std::string& scope : scopes) {
    if (std::find(scopes_.begin(), scopes_.end(), scope) == scopes_.end()) {
      scopes_.push_back(scope);
    }
  }
}

void RVIRivadoUser::refreshTokensIfNeededWithCompletion(UserCompletion completion) {
  auto signIn = signIn_.lock();
  if (!signIn) {
    // The SDK that made the user is gone: the tokens are what they are.
    if (completion) completion(shared_from_this(), std::nullopt);
    return;
  }
  signIn->refreshTokens(shared_from_this(), std::move(completion));
}

void RVIRivadoUser::addScopes(const std::vector<std::string>& scopes,
                              const std::shared_ptr<appkit::Window>& presentingWindow,
                              ResultCompletion completion) {
  auto signIn = signIn_.lock();
  if (!signIn) throw RVIException(kRVIInvalidArgumentException, "The sign-in SDK is gone.");
  signIn->addScopes(shared_from_this(), scopes, presentingWindow, std::move(completion));
}

// The signed-in user of the sign-in SDK and its parts: RVIToken (an OAuth token with its expiry),
// RVIProfileData (name, e-mail, picture) and RVIRivadoUser (who the user is, which scopes the user
// granted, and the current tokens), plus RVISignInResult, what an interactive flow answers.
//
// Users are made only by RVISignIn; tokens and granted scopes change as the SDK refreshes tokens
// and adds scopes. Thread safety: every method may be called from any thread; completions run on
// the callback queue of the RVISignIn that made the user.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"

namespace appkit {
class Window;
}

class RVISignIn;
class RVIRivadoUser;

class RVIToken {
 public:
  RVIToken(std::string tokenString, double expirationDate)
      : tokenString_(std::move(tokenString)), expirationDate_(expirationDate) {}

  const std::string& tokenString() const { return tokenString_; }
  // Seconds since 1970.
  double expirationDate() const { return expirationDate_; }

  bool operator==(const RVIToken&) const = default;

 private:
  std::string tokenString_;
  double expirationDate_;
};

class RVIProfileData {
 public:
  // `imageURL` is the base address of the user's picture; none when the user has no picture.
  RVIProfileData(std::string email, std::string name, std::optional<std::string> imageURL)
      : email_(std::move(email)), name_(std::move(name)), imageURL_(std::move(imageURL)) {}

  const std::string& email() const { return email_; }
  const std::string& name() const { return name_; }
  bool hasImage() const { return imageURL_.has_value(); }
  // The absolute address of the picture scaled to `dimension` pixels square, or none when the
  // user has no picture.
  std::optional<std::string> imageURLWithDimension(uint32_t dimension) const;

 private:
  const std::string email_;
  const std::string name_;
  const std::optional<std::string> imageURL_;
};

// What an interactive sign-in or a scope request answers: the user and, when the configuration
// names a server client, a one-time code for that server.
struct RVISignInResult {
  std::shared_ptr<RVIRivadoUser> user;
  std::optional<std::string> serverAuthCode;
};

class RVIRivadoUser : public std::enable_shared_from_this<RVIRivadoUser> {
 public:
  using UserCompletion = std::function<void(std::shared_ptr<RVIRivadoUser> user,
                                            const std::optional<fnd::Error>& error)>;
  using ResultCompletion = std::function<void(const std::optional<RVISignInResult>& result,
                                              const std::optional<fnd::Error>& error)>;

  // Made by RVISignIn.
  RVIRivadoUser(std::weak_ptr<RVISignIn> signIn, std::optional<std::string> userID,
                std::shared_ptr<const RVIProfileData> profile, std::vector<std::string> scopes,
                std::optional<RVIToken> idToken, RVIToken accessToken);
  RVIRivadoUser(const RVIRivadoUser&) = delete;
  RVIRivadoUser& operator=(const RVIRivadoUser&) = delete;

  const std::optional<std::string>& userID() const { return userID_; }
  // None when the profile scope was not granted.
  std::shared_ptr<const RVIProfileData> profile() const { return profile_; }

  // The scopes the user granted, in the order they were granted.
  std::vector<std::string> grantedScopes() const;
  // None when the sign-in did not ask for OpenID.
  std::optional<RVIToken> idToken() const;
  RVIToken accessToken() const;

  // Answers this user, with fresh tokens when the access token expires within five minutes.
  void refreshTokensIfNeededWithCompletion(UserCompletion completion);

  // Asks the user to grant `scopes` in a consent flow presented over `presentingWindow`. Answers
  // an error of code kRVISignInErrorCodeScopesAlreadyGranted when the user already granted them
  // all, kRVISignInErrorCodeMismatchWithCurrentUser when this user is no longer the current user
  // when the flow ends, else the user with the scopes the user accepted.
  // Throws RVIException when `presentingWindow` is null.
  void addScopes(const std::vector<std::string>& scopes,
                 const std::shared_ptr<appkit::Window>& presentingWindow,
                 ResultCompletion completion);

 private:
  friend class RVISignIn;
  void setTokens(std::optional<RVIToken> idToken, RVIToken accessToken);
  void addGrantedScopes(const std::vector<std::string>& scopes);

  // Constant after construction.
  const std::weak_ptr<RVISignIn> signIn_;
  const std::optional<std::string> userID_;
  const std::shared_ptr<const RVIProfileData> profile_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::vector<std::string> scopes_;
  std::optional<RVIToken> idToken_;
  RVIToken accessToken_;
};

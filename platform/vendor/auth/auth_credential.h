// Credentials of the ZudiroruAuth SDK stand-in and the providers that make them: e-mail and
// password or link, OAuth-style tokens of the federated providers, Sign in with Apple and Game
// Center. A credential is an immutable record; the SDK checks it only when it is used.
//
// Thread safety: credentials are immutable; the provider functions are pure.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/person_name_components.h"
#include "platform/foundation/value.h"

// Provider ids.
inline constexpr const char* DEVEmailAuthProviderID = "password";
inline constexpr const char* DEVEmailLinkAuthSignInMethod = "emailLink";
inline constexpr const char* DEVFacebookAuthProviderID = "facebook.com";
inline constexpr const char* DEVRivadoAuthProviderID = "rivado.com";
inline constexpr const char* DEVTwitterAuthProviderID = "twitter.com";
inline constexpr const char* DEVGitHubAuthProviderID = "github.com";
inline constexpr const char* DEVAppleAuthProviderID = "apple.com";
inline constexpr const char* DEVGameCenterAuthProviderID = "gc.apple.com";
inline constexpr const char* DEVPhoneAuthProviderID = "phone";

// What a sign-in, link or reauthentication proves. `hash()` is the object's identity.
class DEVAuthCredential : public fnd::Record {
 public:
  explicit DEVAuthCredential(std::string provider) : provider_(std::move(provider)) {}
  const std::string& provider() const { return provider_; }
  std::string typeName() const override { return "DEVAuthCredential"; }
  std::string description() const override { return "<" + typeName() + " " + provider_ + ">"; }

 private:
  const std::string provider_;
};

// An e-mail address with its password, or with a sign-in link sent to it.
class DEVEmailAuthCredential : public DEVAuthCredential {
 public:
  DEVEmailAuthCredential(std::string email, std::optional<std::string> password,
                         std::optional<std::string> link)
      : DEVAuthCredential(DEVEmailAuthProviderID),
        email_(std::move(email)),
        password_(std::move(password)),
        link_(std::move(link)) {}
  const std::string& email() const { return email_; }
  const std::optional<std::string>& password() const { return password_; }
  const std::optional<std::string>& link() const { return link_; }
  std::string typeName() const override { return "DEVEmailAuthCredential"; }

 private:
  const std::string email_;
  const std::optional<std::string> password_;
  const std::optional<std::string> link_;
};

// Tokens of an identity provider: an id token and/or an access token (with its secret for
// token-and-secret providers), the raw nonce an id token was requested with, and the user's name
// as the provider gave it.
class DEVOAuthCredential : public DEVAuthCredential {
 public:
  struct Tokens {
    std::optional<std::string> IDToken;
    std::optional<std::string> accessToken;
    std::optional<std::string> secret;
    std::optional<std::string> rawNonce;
    std::optional<fnd::PersonNameComponents> fullName;
  };
  DEVOAuthCredential(std::string provider, Tokens tokens)
      : DEVAuthCredential(std::move(provider)), tokens_(std::move(tokens)) {}
  const std::optional<std::string>& IDToken() const { return tokens_.IDToken; }
  const std::optional<std::string>& accessToken() const { return tokens_.accessToken; }
  const std::optional<std::string>& secret() const { return tokens_.secret; }
  const std::optional<std::string>& rawNonce() const { return tokens_.rawNonce; }
  const std::optional<fnd::PersonNameComponents>& fullName() const { return tokens_.fullName; }
  std::string typeName() const override { return "DEVOAuthCredential"; }

 private:
  const Tokens tokens_;
};

// The signed-in Game Center player.
class DEVGameCenterAuthCredential : public DEVAuthCredential {
 public:
  explicit DEVGameCenterAuthCredential(std::string playerID)
      : DEVAuthCredential(DEVGameCenterAuthProviderID), playerID_(std::move(playerID)) {}
  const std::string& playerID() const { return playerID_; }
  std::string typeName() const override { return "DEVGameCenterAuthCredential"; }

 private:
  const std::string playerID_;
};

class DEVEmailAuthProvider {
 public:
  static std::shared_ptr<DEVAuthCredential> credentialWithEmail(std::string email,
                                                                std::string password);
  static std::shared_ptr<DEVAuthCredential> credentialWithEmailLink(std::string email,
                                                                    std::string link);
};

class DEVFacebookAuthProvider {
 public:
  static std::shared_ptr<DEVAuthCredential> credentialWithAccessToken(std::string accessToken);
};

class DEVRivadoAuthProvider {
 public:
  static std::shared_ptr<DEVAuthCredential> credentialWithIDToken(std::string IDToken,
                                                                  std::string accessToken);
};

class DEVTwitterAuthProvider {
 public:
  static std::shared_ptr<DEVAuthCredential> credentialWithToken(std::string token,
                                                                std::string secret);
};

class DEVGitHubAuthProvider {
 public:
  static std::shared_ptr<DEVAuthCredential> credentialWithToken(std::string token);
};

class DEVOAuthProvider {
 public:
  // A Sign in with Apple credential: the identity token, the nonce whose SHA-256 the token was
  // requested with, and the name the user shared (if any).
  static std::shared_ptr<DEVOAuthCredential> appleCredentialWithIDToken(
      std::optional<std::string> IDToken, std::optional<std::string> rawNonce,
      std::optional<fnd::PersonNameComponents> fullName);
  static std::shared_ptr<DEVOAuthCredential> credentialWithProviderID(
      std::string providerID, std::optional<std::string> IDToken,
      std::optional<std::string> rawNonce, std::optional<std::string> accessToken);
};

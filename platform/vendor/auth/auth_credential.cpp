#include "platform/vendor/auth/auth_credential.h"

#include <memory>
#include <utility>

std::shared_ptr<DEVAuthCredential> DEVEmailAuthProvider::credentialWithEmail(std::string email,
                                                                             std::string password) {
  return std::make_shared<DEVEmailAuthCredential>(std::move(email), std::move(password),
                                                  std::nullopt);
}

std::shared_ptr<DEVAuthCredential> DEVEmailAuthProvider::credentialWithEmailLink(std::string email,
                                                                                 std::string link) {
  return std::make_shared<DEVEmailAuthCredential>(std::move(email), std::nullopt, std::move(link));
}

std::shared_ptr<DEVAuthCredential> DEVFacebookAuthProvider::credentialWithAccessToken(
    std::string accessToken) {
  DEVOAuthCredential::Tokens tokens;
  tokens.accessToken = std::move(accessToken);
  return std::make_shared<DEVOAuthCredential>(DEVFacebookAuthProviderID, std::move(tokens));
}

std::shared_ptr<DEVAuthCredential> DEVRivadoAuthProvider::credentialWithIDToken(
    std::string IDToken, std::string accessToken) {
  DEVOAuthCredential::Tokens tokens;
  tokens.IDToken = std::move(IDToken);
  tokens.accessToken = std::move(accessToken);
  return std::make_shared<DEVOAuthCredential>(DEVRivadoAuthProviderID, std::move(tokens));
}

std::shared_ptr<DEVAuthCredential> DEVTwitterAuthProvider::credentialWithToken(std::string token,
                                                                               std::string secret) {
  DEVOAuthCredential::Tokens tokens;
  tokens.accessToken = std::move(token);
  tokens.secret = std::move(secret);
  return std::make_shared<DEVOAuthCredential>(DEVTwitterAuthProviderID, std::move(tokens));
}

std::shared_ptr<DEVAuthCredential> DEVGitHubAuthProvider::credentialWithToken(std::string token) {
  DEVOAuthCredential::Tokens tokens;
  tokens.accessToken = std::move(token);
  return std::make_shared<DEVOAuthCredential>(DEVGitHubAuthProviderID, std::move(tokens));
}

std::shared_ptr<DEVOAuthCredential> DEVOAuthProvider::appleCredentialWithIDToken(
    std::optional<std::string> IDToken, std::optional<std::string> rawNonce,
    std::optional<fnd::PersonNameComponents> fullName) {
  DEVOAuthCredential::Tokens tokens;
  tokens.IDToken = std::move(IDToken);
  tokens.rawNonce = std::move(rawNonce);
  tokens.fullName = std::move(fullName);
  return std::make_shared<DEVOAuthCredential>(DEVAppleAuthProviderID, std::move(tokens));
}

std::shared_ptr<DEVOAuthCredential> DEVOAuthProvider::credentialWithProviderID(
    std::string providerID, std::optional<std::string> IDToken, std::optional<std::string> rawNonce,
    std::optional<std::string> accessToken) {
  DEVOAuthCredential::Tokens tokens;
  tokens.IDToken = std::move(IDToken);
  tokens.rawNonce = std::move(rawNonce);
  tokens.accessToken = std::move(accessToken);
  return std::make_shared<DEVOAuthCredential>(std::move(providerID), std::move(tokens));
}

#include "platform/vendor/auth/multi_factor.h"

#include <cstdio>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/vendor/auth/auth.h"

namespace {

// RFC 3986 unreserved characters stay; every other byte becomes %XX.
std::string PercentEncode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof(escaped), "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

fnd::Error Detached() {
  return DEVAuthError(DEVAuthErrorCodeUserNotFound, "The user's auth instance no longer exists.");
}

void Post(std::function<void()> block) { DEVAuthTesting::callbackQueue()->async(std::move(block)); }

}  // namespace

std::string DEVTOTPSecret::generateQRCodeURLWithAccountName(const std::string& accountName,
                                                            const std::string& issuer) const {
  std::string encodedIssuer = PercentEncode(issuer);
  return "otpauth://totp/" + encodedIssuer + ":" + PercentEncode(accountName) +
         "?secret=" + sharedSecretKey_ + "&issuer=" + encodedIssuer +
         "&algorithm=SHA256&digits=6&period=30";
}

void DEVTOTPSecret::openInOTPAppWithQRCodeURL(const std::string& qrCodeURL) const {
  DEVAuthTesting::recordOpenedOTPURL(qrCodeURL);
}

void DEVTOTPMultiFactorGenerator::generateSecretWithMultiFactorSession(
    std::shared_ptr<DEVMultiFactorSession> session, SecretCallback completion) {
  if (auto auth = session ? session->auth() : nullptr) {
    return auth->generateSecret(session, std::move(completion));
  }
  Post([completion = std::move(completion)] {
    if (completion) completion(nullptr, DEVAuthError(DEVAuthErrorCodeInvalidMultiFactorSession));
  });
}

std::shared_ptr<DEVTOTPMultiFactorAssertion>
DEVTOTPMultiFactorGenerator::assertionForEnrollmentWithSecret(std::shared_ptr<DEVTOTPSecret> secret,
                                                              std::string oneTimePassword) {
  if (!secret) return nullptr;
  return std::make_shared<DEVTOTPMultiFactorAssertion>(std::move(secret), std::nullopt,
                                                       std::move(oneTimePassword));
}

std::shared_ptr<DEVTOTPMultiFactorAssertion>
DEVTOTPMultiFactorGenerator::assertionForSignInWithEnrollmentID(std::string enrollmentID,
                                                                std::string oneTimePassword) {
  return std::make_shared<DEVTOTPMultiFactorAssertion>(nullptr, std::move(enrollmentID),
                                                       std::move(oneTimePassword));
}

std::vector<std::shared_ptr<DEVMultiFactorInfo>> DEVMultiFactor::enrolledFactors() const {
  auto user = user_.lock();
  return user ? user->state().enrolledFactors : std::vector<std::shared_ptr<DEVMultiFactorInfo>>{};
}

void DEVMultiFactor::getSessionWithCompletion(SessionCallback completion) {
  auto user = user_.lock();
  if (auto auth = user ? user->auth() : nullptr) {
    return auth->multiFactorSession(user, std::move(completion));
  }
  Post([completion = std::move(completion)] {
    if (completion) completion(nullptr, Detached());
  });
}

void DEVMultiFactor::enrollWithAssertion(std::shared_ptr<DEVMultiFactorAssertion> assertion,
                                         std::optional<std::string> displayName,
                                         DEVAuthVoidCallback completion) {
  auto user = user_.lock();
  if (auto auth = user ? user->auth() : nullptr) {
    return auth->multiFactorEnroll(user, assertion, std::move(displayName), std::move(completion));
  }
  Post([completion = std::move(completion)] {
    if (completion) completion(Detached());
  });
}

void DEVMultiFactor::unenrollWithFactorUID(std::string factorUID, DEVAuthVoidCallback completion) {
  auto user = user_.lock();
  if (auto auth = user ? user->auth() : nullptr) {
    return auth->multiFactorUnenroll(user, factorUID, std::move(completion));
  }
  Post([completion = std::move(completion)] {
    if (completion) completion(Detached());
  });
}

void DEVMultiFactorResolver::resolveSignInWithAssertion(
    std::shared_ptr<DEVMultiFactorAssertion> assertion, DEVAuthDataResultCallback completion) {
  if (auto a = auth()) return a->resolve(session_, assertion, std::move(completion));
  Post([completion = std::move(completion)] {
    if (completion) completion(nullptr, Detached());
  });
}

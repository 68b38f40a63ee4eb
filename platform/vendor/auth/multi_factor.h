// Second factors of the ZudiroruAuth SDK stand-in: enrolled factors (phone numbers and TOTP
// authenticators), sessions that prove a first factor, TOTP secrets and assertions, a user's
// multi-factor object and the resolver that finishes a sign-in interrupted by
// DEVAuthErrorCodeSecondFactorRequired.
//
// TOTP codes here are not the standard algorithm: the code of a secret at a time is six digits
// derived from a SHA-256 digest of the secret key and the 30-second step
// (DEVAuthTesting::totpCode tells a test the current one). A code is accepted during its step and
// the one before. Phone factors can be scripted on accounts but not enrolled or used here.
//
// Thread safety: every object may be used from any thread; completions run on the SDK's
// callback queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/auth/auth_user.h"

inline constexpr const char* DEVPhoneMultiFactorID = "phone";
inline constexpr const char* DEVTOTPMultiFactorID = "totp";

// One enrolled second factor.
class DEVMultiFactorInfo : public fnd::Record {
 public:
  DEVMultiFactorInfo(std::string uid, std::string factorID, std::optional<std::string> displayName,
                     double enrollmentDate)
      : uid_(std::move(uid)),
        factorID_(std::move(factorID)),
        displayName_(std::move(displayName)),
        enrollmentDate_(enrollmentDate) {}
  const std::string& uid() const { return uid_; }
  const std::string& factorID() const { return factorID_; }
  const std::optional<std::string>& displayName() const { return displayName_; }
  // Seconds since 1970.
  double enrollmentDate() const { return enrollmentDate_; }
  std::string typeName() const override { return "DEVMultiFactorInfo"; }

 private:
  const std::string uid_;
  const std::string factorID_;
  const std::optional<std::string> displayName_;
  const double enrollmentDate_;
};

class DEVPhoneMultiFactorInfo : public DEVMultiFactorInfo {
 public:
  DEVPhoneMultiFactorInfo(std::string uid, std::optional<std::string> displayName,
                          double enrollmentDate, std::string phoneNumber)
      : DEVMultiFactorInfo(std::move(uid), DEVPhoneMultiFactorID, std::move(displayName),
                           enrollmentDate),
        phoneNumber_(std::move(phoneNumber)) {}
  const std::string& phoneNumber() const { return phoneNumber_; }
  std::string typeName() const override { return "DEVPhoneMultiFactorInfo"; }

 private:
  const std::string phoneNumber_;
};

class DEVTOTPMultiFactorInfo : public DEVMultiFactorInfo {
 public:
  using DEVMultiFactorInfo::DEVMultiFactorInfo;
  std::string typeName() const override { return "DEVTOTPMultiFactorInfo"; }
};

// Proof of a first factor: of the signed-in user (to enrol) or of a pending sign-in (to resolve).
class DEVMultiFactorSession : public fnd::Record {
 public:
  DEVMultiFactorSession(std::weak_ptr<DEVAuth> auth, std::string sessionID)
      : auth_(std::move(auth)), sessionID_(std::move(sessionID)) {}
  const std::string& sessionID() const { return sessionID_; }
  std::shared_ptr<DEVAuth> auth() const { return auth_.lock(); }
  std::string typeName() const override { return "DEVMultiFactorSession"; }

 private:
  const std::weak_ptr<DEVAuth> auth_;
  const std::string sessionID_;
};

// A TOTP secret issued for one enrolment session.
class DEVTOTPSecret : public fnd::Record {
 public:
  DEVTOTPSecret(std::weak_ptr<DEVAuth> auth, std::string sharedSecretKey, std::string sessionID)
      : auth_(std::move(auth)),
        sharedSecretKey_(std::move(sharedSecretKey)),
        sessionID_(std::move(sessionID)) {}
  const std::string& sharedSecretKey() const { return sharedSecretKey_; }
  const std::string& sessionID() const { return sessionID_; }
  std::shared_ptr<DEVAuth> auth() const { return auth_.lock(); }
  // "otpauth://totp/ISSUER:ACCOUNT?secret=KEY&issuer=ISSUER&algorithm=SHA256&digits=6&period=30",
  // with ISSUER and ACCOUNT percent-encoded.
  std::string generateQRCodeURLWithAccountName(const std::string& accountName,
                                               const std::string& issuer) const;
  // Hands the URL to the authenticator app (here: recorded, see DEVAuthTesting::openedOTPURLs).
  void openInOTPAppWithQRCodeURL(const std::string& qrCodeURL) const;
  std::string typeName() const override { return "DEVTOTPSecret"; }

 private:
  const std::weak_ptr<DEVAuth> auth_;
  const std::string sharedSecretKey_;
  const std::string sessionID_;
};

// A second factor's proof.
class DEVMultiFactorAssertion : public fnd::Record {
 public:
  explicit DEVMultiFactorAssertion(std::string factorID) : factorID_(std::move(factorID)) {}
  const std::string& factorID() const { return factorID_; }
  std::string typeName() const override { return "DEVMultiFactorAssertion"; }

 private:
  const std::string factorID_;
};

// A TOTP code for enrolment (with the secret) or for sign-in (with the enrolled factor's id).
class DEVTOTPMultiFactorAssertion : public DEVMultiFactorAssertion {
 public:
  DEVTOTPMultiFactorAssertion(std::shared_ptr<DEVTOTPSecret> secret,
                              std::optional<std::string> enrollmentID, std::string oneTimePassword)
      : DEVMultiFactorAssertion(DEVTOTPMultiFactorID),
        secret_(std::move(secret)),
        enrollmentID_(std::move(enrollmentID)),
        oneTimePassword_(std::move(oneTimePassword)) {}
  const std::shared_ptr<DEVTOTPSecret>& secret() const { return secret_; }
  const std::optional<std::string>& enrollmentID() const { return enrollmentID_; }
  const std::string& oneTimePassword() const { return oneTimePassword_; }
  std::string typeName() const override { return "DEVTOTPMultiFactorAssertion"; }

 private:
  const std::shared_ptr<DEVTOTPSecret> secret_;
  const std::optional<std::string> enrollmentID_;
  const std::string oneTimePassword_;
};

class DEVTOTPMultiFactorGenerator {
 public:
  using SecretCallback = std::function<void(std::shared_ptr<DEVTOTPSecret> secret,
                                            const std::optional<fnd::Error>& error)>;
  // A new secret for an enrolment session of the signed-in user; a null or unknown session fails
  // with invalid-multi-factor-session.
  static void generateSecretWithMultiFactorSession(std::shared_ptr<DEVMultiFactorSession> session,
                                                   SecretCallback completion);
  // Null when the secret is null.
  static std::shared_ptr<DEVTOTPMultiFactorAssertion> assertionForEnrollmentWithSecret(
      std::shared_ptr<DEVTOTPSecret> secret, std::string oneTimePassword);
  static std::shared_ptr<DEVTOTPMultiFactorAssertion> assertionForSignInWithEnrollmentID(
      std::string enrollmentID, std::string oneTimePassword);
};

// The second factors of one user.
class DEVMultiFactor : public fnd::Record {
 public:
  using SessionCallback = std::function<void(std::shared_ptr<DEVMultiFactorSession> session,
                                             const std::optional<fnd::Error>& error)>;
  explicit DEVMultiFactor(std::weak_ptr<DEVUser> user) : user_(std::move(user)) {}

  // As of the user's last reload or update.
  std::vector<std::shared_ptr<DEVMultiFactorInfo>> enrolledFactors() const;
  // A session to enrol with; fails with user-not-found once the account is gone.
  void getSessionWithCompletion(SessionCallback completion);
  // Enrols the TOTP factor of the assertion's secret when its code is right.
  void enrollWithAssertion(std::shared_ptr<DEVMultiFactorAssertion> assertion,
                           std::optional<std::string> displayName, DEVAuthVoidCallback completion);
  void unenrollWithFactorUID(std::string factorUID, DEVAuthVoidCallback completion);
  std::string typeName() const override { return "DEVMultiFactor"; }

 private:
  const std::weak_ptr<DEVUser> user_;
};

// Finishes a sign-in that needs a second factor: the hints list the account's factors.
class DEVMultiFactorResolver : public fnd::Record {
 public:
  DEVMultiFactorResolver(std::weak_ptr<DEVAuth> auth,
                         std::vector<std::shared_ptr<DEVMultiFactorInfo>> hints,
                         std::shared_ptr<DEVMultiFactorSession> session)
      : auth_(std::move(auth)), hints_(std::move(hints)), session_(std::move(session)) {}
  const std::vector<std::shared_ptr<DEVMultiFactorInfo>>& hints() const { return hints_; }
  const std::shared_ptr<DEVMultiFactorSession>& session() const { return session_; }
  std::shared_ptr<DEVAuth> auth() const { return auth_.lock(); }
  // Signs the pending user in with a second factor; a null assertion fails with
  // missing-multi-factor-info. A pending sign-in resolves once.
  void resolveSignInWithAssertion(std::shared_ptr<DEVMultiFactorAssertion> assertion,
                                  DEVAuthDataResultCallback completion);
  std::string typeName() const override { return "DEVMultiFactorResolver"; }

 private:
  const std::weak_ptr<DEVAuth> auth_;
  const std::vector<std::shared_ptr<DEVMultiFactorInfo>> hints_;
  const std::shared_ptr<DEVMultiFactorSession> session_;
};

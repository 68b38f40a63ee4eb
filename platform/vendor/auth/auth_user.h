// A signed-in user of the ZudiroruAuth SDK stand-in (DEVUser) and what it is made of: the profiles
// of its linked providers (DEVUserInfo), its creation and sign-in dates (DEVUserMetadata), its ID
// token (DEVAuthTokenResult) and the request that changes its profile.
//
// A DEVUser is a view of one account of its DEVAuth instance, taken at sign-in and refreshed by
// reload and by the user's own updates; another DEVUser of the same account does not see those
// updates until it reloads. Operations work on the account through the instance and complete on
// the SDK's callback queue (DEVAuthTesting).
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/auth/auth_credential.h"

class DEVAuth;
class DEVAuthDataResult;
class DEVActionCodeSettings;
class DEVMultiFactor;
class DEVMultiFactorInfo;

using DEVAuthVoidCallback = std::function<void(const std::optional<fnd::Error>& error)>;
using DEVAuthDataResultCallback = std::function<void(std::shared_ptr<DEVAuthDataResult> result,
                                                     const std::optional<fnd::Error>& error)>;

// The profile of one linked identity provider.
class DEVUserInfo : public fnd::Record {
 public:
  struct Fields {
    std::string providerID;
    std::optional<std::string> uid;
    std::optional<std::string> displayName;
    std::optional<std::string> email;
    std::optional<std::string> phoneNumber;
    std::optional<std::string> photoURL;
  };
  explicit DEVUserInfo(Fields fields) : fields_(std::move(fields)) {}
  const std::string& providerID() const { return fields_.providerID; }
  const std::optional<std::string>& uid() const { return fields_.uid; }
  const std::optional<std::string>& displayName() const { return fields_.displayName; }
  const std::optional<std::string>& email() const { return fields_.email; }
  const std::optional<std::string>& phoneNumber() const { return fields_.phoneNumber; }
  const std::optional<std::string>& photoURL() const { return fields_.photoURL; }
  std::string typeName() const override { return "DEVUserInfo"; }

 private:
  const Fields fields_;
};

// When the account was made and last signed in to, in seconds since 1970.
struct DEVUserMetadata {
  std::optional<double> creationDate;
  std::optional<double> lastSignInDate;
};

// An ID token with its claims. Dates are seconds since 1970.
class DEVAuthTokenResult : public fnd::Record {
 public:
  struct Fields {
    std::string token;
    double expirationDate = 0;
    double authDate = 0;
    double issuedAtDate = 0;
    std::optional<std::string> signInProvider;
    std::optional<std::string> signInSecondFactor;
    fnd::Dictionary claims;
  };
  explicit DEVAuthTokenResult(Fields fields) : fields_(std::move(fields)) {}
  const std::string& token() const { return fields_.token; }
  double expirationDate() const { return fields_.expirationDate; }
  double authDate() const { return fields_.authDate; }
  double issuedAtDate() const { return fields_.issuedAtDate; }
  const std::optional<std::string>& signInProvider() const { return fields_.signInProvider; }
  const std::optional<std::string>& signInSecondFactor() const {
    return fields_.signInSecondFactor;
  }
  const fnd::Dictionary& claims() const { return fields_.claims; }
  std::string typeName() const override { return "DEVAuthTokenResult"; }

 private:
  const Fields fields_;
};

// What a DEVUser shows of its account.
struct DEVUserState {
  std::string uid;
  std::optional<std::string> email;
  std::optional<std::string> displayName;
  std::optional<std::string> photoURL;
  std::optional<std::string> phoneNumber;
  bool isAnonymous = false;
  bool emailVerified = false;
  std::optional<std::string> tenantID;
  std::string refreshToken;
  DEVUserMetadata metadata;
  std::vector<std::shared_ptr<DEVUserInfo>> providerData;
  std::vector<std::shared_ptr<DEVMultiFactorInfo>> enrolledFactors;
};

class DEVUserProfileChangeRequest;

class DEVUser : public fnd::Record, public std::enable_shared_from_this<DEVUser> {
 public:
  // The provider id every user reports.
  static constexpr const char* kProviderID = "Zudiroru";
  using UserCallback =
      std::function<void(std::shared_ptr<DEVUser> user, const std::optional<fnd::Error>& error)>;
  using TokenCallback = std::function<void(std::shared_ptr<DEVAuthTokenResult> result,
                                           const std::optional<fnd::Error>& error)>;

  // Made by the SDK.
  DEVUser(std::weak_ptr<DEVAuth> auth, DEVUserState state,
          std::shared_ptr<DEVAuthTokenResult> token);

  std::string uid() const;
  std::optional<std::string> email() const;
  std::optional<std::string> displayName() const;
  std::optional<std::string> photoURL() const;
  std::optional<std::string> phoneNumber() const;
  bool isAnonymous() const;
  bool isEmailVerified() const;
  std::string providerID() const { return kProviderID; }
  std::optional<std::string> tenantID() const;
  std::string refreshToken() const;
  DEVUserMetadata metadata() const;
  std::vector<std::shared_ptr<DEVUserInfo>> providerData() const;
  // The user's second factors; never null.
  std::shared_ptr<DEVMultiFactor> multiFactor();
  // The instance the user belongs to; null once it is gone.
  std::shared_ptr<DEVAuth> auth() const { return auth_.lock(); }

  // Removes the account; a current user is signed out.
  void deleteWithCompletion(DEVAuthVoidCallback completion);
  // The cached token, or a new one when forced or expired (ID-token listeners then hear of it).
  void getIDTokenResultForcingRefresh(bool forceRefresh, TokenCallback completion);
  void linkWithCredential(std::shared_ptr<DEVAuthCredential> credential,
                          DEVAuthDataResultCallback completion);
  void reauthenticateWithCredential(std::shared_ptr<DEVAuthCredential> credential,
                                    DEVAuthDataResultCallback completion);
  // Reads the account again; fails with user-not-found when it is gone.
  void reloadWithCompletion(DEVAuthVoidCallback completion);
  void sendEmailVerificationWithActionCodeSettings(std::shared_ptr<DEVActionCodeSettings> settings,
                                                   DEVAuthVoidCallback completion);
  void unlinkFromProvider(std::string provider, UserCallback completion);
  void updateEmail(std::string email, DEVAuthVoidCallback completion);
  void updatePassword(std::string password, DEVAuthVoidCallback completion);
  std::shared_ptr<DEVUserProfileChangeRequest> profileChangeRequest();
  void sendEmailVerificationBeforeUpdatingEmail(std::string email,
                                                std::shared_ptr<DEVActionCodeSettings> settings,
                                                DEVAuthVoidCallback completion);

  std::string typeName() const override { return "DEVUser"; }
  std::string description() const override;

  // Internal to the SDK.
  DEVUserState state() const;
  void setState(DEVUserState state);
  std::shared_ptr<DEVAuthTokenResult> token() const;
  void setToken(std::shared_ptr<DEVAuthTokenResult> token);

 private:
  // Constant after construction.
  const std::weak_ptr<DEVAuth> auth_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  DEVUserState state_;
  std::shared_ptr<DEVAuthTokenResult> token_;
  std::shared_ptr<DEVMultiFactor> multiFactor_;
};

// Profile changes collected and committed together.
class DEVUserProfileChangeRequest {
 public:
  explicit DEVUserProfileChangeRequest(std::shared_ptr<DEVUser> user) : user_(std::move(user)) {}
  // nullopt clears the field.
  void setDisplayName(std::optional<std::string> displayName);
  void setPhotoURL(std::optional<std::string> photoURL);
  // Writes the changes set so far to the account; a request commits once.
  void commitChangesWithCompletion(DEVAuthVoidCallback completion);

 private:
  const std::shared_ptr<DEVUser> user_;
  std::mutex mu_;
  // Guarded by mu_.
  std::optional<std::optional<std::string>> displayName_;
  std::optional<std::optional<std::string>> photoURL_;
  bool committed_ = false;
};

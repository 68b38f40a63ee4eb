// The eighteen message records that the authentication bridge and Dart exchange over the six
// authentication host interfaces, and the action-code operation they carry.
//
// Every record travels as its field list: one element per field in declaration order, null for an
// absent field; booleans, integers, doubles and the operation always have a value (a null element
// reads as false, 0 or 0.0). Nested records stay records inside a field list, so that the codec of
// the interface writes each with its own type byte. Reading is lenient in kind: an element of
// another kind than its field reads as absent (or false / 0), never as a fault.
//
// Thread safety: a record is a plain value object, used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "plugins/zudiroru_core/pigeon.h"

// What an e-mail action code is for: 0 for an operation the bridge does not know, else the
// vendor's own number.
enum class ActionCodeInfoOperation : uint64_t {
  kUnknown = 0,
  kPasswordReset = 1,
  kVerifyEmail = 2,
  kRecoverEmail = 3,
  kEmailSignIn = 4,
  kVerifyAndChangeEmail = 5,
  kRevertSecondFactorAddition = 6,
};

// A mutable box around one operation (part of the generated interface; nothing uses it).
class ActionCodeInfoOperationBox {
 public:
  explicit ActionCodeInfoOperationBox(ActionCodeInfoOperation value) : value(value) {}
  ActionCodeInfoOperation value;
};

class PigeonActionCodeInfoData;
class PigeonAdditionalUserInfo;
class PigeonAuthCredential;
class PigeonUserDetails;
class PigeonUserInfo;

// The app and tenant that a call addresses; first argument of every app-scoped method.
class AuthPigeonZudiroruApp : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<AuthPigeonZudiroruApp> makeWithAppName(
      std::optional<std::string> appName, std::optional<std::string> tenantId,
      std::optional<std::string> customAuthDomain);
  static std::shared_ptr<AuthPigeonZudiroruApp> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<AuthPigeonZudiroruApp> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "AuthPigeonZudiroruApp"; }

  std::optional<std::string> appName;
  std::optional<std::string> tenantId;
  std::optional<std::string> customAuthDomain;
};

// A multi-factor session handle.
class PigeonMultiFactorSession : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonMultiFactorSession> makeWithId(std::optional<std::string> id);
  static std::shared_ptr<PigeonMultiFactorSession> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonMultiFactorSession> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonMultiFactorSession"; }

  std::optional<std::string> id;
};

// A phone second-factor assertion.
class PigeonPhoneMultiFactorAssertion : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonPhoneMultiFactorAssertion> makeWithVerificationId(
      std::optional<std::string> verificationId, std::optional<std::string> verificationCode);
  static std::shared_ptr<PigeonPhoneMultiFactorAssertion> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonPhoneMultiFactorAssertion> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonPhoneMultiFactorAssertion"; }

  std::optional<std::string> verificationId;
  std::optional<std::string> verificationCode;
};

// One enrolled second factor; the enrolment time is in seconds since 1970.
class PigeonMultiFactorInfo : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonMultiFactorInfo> makeWithDisplayName(
      std::optional<std::string> displayName, double enrollmentTimestamp,
      std::optional<std::string> factorId, std::optional<std::string> uid,
      std::optional<std::string> phoneNumber);
  static std::shared_ptr<PigeonMultiFactorInfo> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonMultiFactorInfo> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonMultiFactorInfo"; }

  std::optional<std::string> displayName;
  double enrollmentTimestamp = 0;
  std::optional<std::string> factorId;
  std::optional<std::string> uid;
  std::optional<std::string> phoneNumber;
};

// The e-mail addresses of an action code.
class PigeonActionCodeInfoData : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonActionCodeInfoData> makeWithEmail(
      std::optional<std::string> email, std::optional<std::string> previousEmail);
  static std::shared_ptr<PigeonActionCodeInfoData> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonActionCodeInfoData> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonActionCodeInfoData"; }

  std::optional<std::string> email;
  std::optional<std::string> previousEmail;
};

// The result of checking an action code.
class PigeonActionCodeInfo : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonActionCodeInfo> makeWithOperation(
      ActionCodeInfoOperation operation, std::shared_ptr<PigeonActionCodeInfoData> data);
  static std::shared_ptr<PigeonActionCodeInfo> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonActionCodeInfo> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonActionCodeInfo"; }

  ActionCodeInfoOperation operation = ActionCodeInfoOperation::kUnknown;
  std::shared_ptr<PigeonActionCodeInfoData> data;
};

// Extra facts of a sign-in.
class PigeonAdditionalUserInfo : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonAdditionalUserInfo> makeWithIsNewUser(
      bool isNewUser, std::optional<std::string> providerId, std::optional<std::string> username,
      std::optional<std::string> authorizationCode, std::optional<fnd::Dictionary> profile);
  static std::shared_ptr<PigeonAdditionalUserInfo> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonAdditionalUserInfo> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonAdditionalUserInfo"; }

  bool isNewUser = false;
  std::optional<std::string> providerId;
  std::optional<std::string> username;
  std::optional<std::string> authorizationCode;
  std::optional<fnd::Dictionary> profile;
};

// A credential the host keeps for later use under `nativeId`.
class PigeonAuthCredential : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonAuthCredential> makeWithProviderId(
      std::optional<std::string> providerId, std::optional<std::string> signInMethod,
      int64_t nativeId, std::optional<std::string> accessToken);
  static std::shared_ptr<PigeonAuthCredential> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonAuthCredential> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonAuthCredential"; }

  std::optional<std::string> providerId;
  std::optional<std::string> signInMethod;
  int64_t nativeId = 0;
  std::optional<std::string> accessToken;
};

// The main profile of a user; timestamps are milliseconds since 1970.
class PigeonUserInfo : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonUserInfo> makeWithUid(
      std::optional<std::string> uid, std::optional<std::string> email,
      std::optional<std::string> displayName, std::optional<std::string> photoUrl,
      std::optional<std::string> phoneNumber, bool isAnonymous, bool isEmailVerified,
      std::optional<std::string> providerId, std::optional<std::string> tenantId,
      std::optional<std::string> refreshToken, std::optional<int64_t> creationTimestamp,
      std::optional<int64_t> lastSignInTimestamp);
  static std::shared_ptr<PigeonUserInfo> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonUserInfo> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonUserInfo"; }

  std::optional<std::string> uid;
  std::optional<std::string> email;
  std::optional<std::string> displayName;
  std::optional<std::string> photoUrl;
  std::optional<std::string> phoneNumber;
  bool isAnonymous = false;
  bool isEmailVerified = false;
  std::optional<std::string> providerId;
  std::optional<std::string> tenantId;
  std::optional<std::string> refreshToken;
  std::optional<int64_t> creationTimestamp;
  std::optional<int64_t> lastSignInTimestamp;
};

// A user with the profiles (maps) of its linked providers.
class PigeonUserDetails : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonUserDetails> makeWithUserInfo(
      std::shared_ptr<PigeonUserInfo> userInfo, std::optional<fnd::Array> providerData);
  static std::shared_ptr<PigeonUserDetails> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonUserDetails> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonUserDetails"; }

  std::shared_ptr<PigeonUserInfo> userInfo;
  std::optional<fnd::Array> providerData;
};

// The outcome of a sign-in, link, reauthentication or unlink.
class PigeonUserCredential : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonUserCredential> makeWithUser(
      std::shared_ptr<PigeonUserDetails> user,
      std::shared_ptr<PigeonAdditionalUserInfo> additionalUserInfo,
      std::shared_ptr<PigeonAuthCredential> credential);
  static std::shared_ptr<PigeonUserCredential> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonUserCredential> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonUserCredential"; }

  std::shared_ptr<PigeonUserDetails> user;
  std::shared_ptr<PigeonAdditionalUserInfo> additionalUserInfo;
  std::shared_ptr<PigeonAuthCredential> credential;
};

// How an e-mail action link is to be built.
class PigeonActionCodeSettings : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonActionCodeSettings> makeWithUrl(
      std::optional<std::string> url, std::optional<std::string> dynamicLinkDomain,
      bool handleCodeInApp, std::optional<std::string> iOSBundleId,
      std::optional<std::string> androidPackageName, bool androidInstallApp,
      std::optional<std::string> androidMinimumVersion, std::optional<std::string> linkDomain);
  static std::shared_ptr<PigeonActionCodeSettings> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonActionCodeSettings> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonActionCodeSettings"; }

  std::optional<std::string> url;
  std::optional<std::string> dynamicLinkDomain;
  bool handleCodeInApp = false;
  std::optional<std::string> iOSBundleId;
  std::optional<std::string> androidPackageName;
  bool androidInstallApp = false;
  std::optional<std::string> androidMinimumVersion;
  std::optional<std::string> linkDomain;
};

// Authentication settings of an app.
class PigeonZudiroruAuthSettings : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonZudiroruAuthSettings> makeWithAppVerificationDisabledForTesting(
      bool appVerificationDisabledForTesting, std::optional<std::string> userAccessGroup,
      std::optional<std::string> phoneNumber, std::optional<std::string> smsCode,
      std::optional<bool> forceRecaptchaFlow);
  static std::shared_ptr<PigeonZudiroruAuthSettings> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonZudiroruAuthSettings> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonZudiroruAuthSettings"; }

  bool appVerificationDisabledForTesting = false;
  std::optional<std::string> userAccessGroup;
  std::optional<std::string> phoneNumber;
  std::optional<std::string> smsCode;
  std::optional<bool> forceRecaptchaFlow;
};

// An identity provider to sign in with.
class PigeonSignInProvider : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonSignInProvider> makeWithProviderId(
      std::optional<std::string> providerId, std::optional<fnd::Array> scopes,
      std::optional<fnd::Dictionary> customParameters);
  static std::shared_ptr<PigeonSignInProvider> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonSignInProvider> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonSignInProvider"; }

  std::optional<std::string> providerId;
  std::optional<fnd::Array> scopes;
  std::optional<fnd::Dictionary> customParameters;
};

// A request to verify a phone number.
class PigeonVerifyPhoneNumberRequest : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonVerifyPhoneNumberRequest> makeWithPhoneNumber(
      std::optional<std::string> phoneNumber, int64_t timeout,
      std::optional<int64_t> forceResendingToken,
      std::optional<std::string> autoRetrievedSmsCodeForTesting,
      std::optional<std::string> multiFactorInfoId,
      std::optional<std::string> multiFactorSessionId);
  static std::shared_ptr<PigeonVerifyPhoneNumberRequest> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonVerifyPhoneNumberRequest> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonVerifyPhoneNumberRequest"; }

  std::optional<std::string> phoneNumber;
  int64_t timeout = 0;
  std::optional<int64_t> forceResendingToken;
  std::optional<std::string> autoRetrievedSmsCodeForTesting;
  std::optional<std::string> multiFactorInfoId;
  std::optional<std::string> multiFactorSessionId;
};

// An ID token with its claims; timestamps are milliseconds since 1970.
class PigeonIdTokenResult : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonIdTokenResult> makeWithToken(
      std::optional<std::string> token, std::optional<int64_t> expirationTimestamp,
      std::optional<int64_t> authTimestamp, std::optional<int64_t> issuedAtTimestamp,
      std::optional<std::string> signInProvider, std::optional<fnd::Dictionary> claims,
      std::optional<std::string> signInSecondFactor);
  static std::shared_ptr<PigeonIdTokenResult> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonIdTokenResult> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonIdTokenResult"; }

  std::optional<std::string> token;
  std::optional<int64_t> expirationTimestamp;
  std::optional<int64_t> authTimestamp;
  std::optional<int64_t> issuedAtTimestamp;
  std::optional<std::string> signInProvider;
  std::optional<fnd::Dictionary> claims;
  std::optional<std::string> signInSecondFactor;
};

// A profile change request.
class PigeonUserProfile : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonUserProfile> makeWithDisplayName(
      std::optional<std::string> displayName, std::optional<std::string> photoUrl,
      bool displayNameChanged, bool photoUrlChanged);
  static std::shared_ptr<PigeonUserProfile> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonUserProfile> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonUserProfile"; }

  std::optional<std::string> displayName;
  std::optional<std::string> photoUrl;
  bool displayNameChanged = false;
  bool photoUrlChanged = false;
};

// A time-based one-time-password secret.
class PigeonTotpSecret : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<PigeonTotpSecret> makeWithCodeIntervalSeconds(
      std::optional<int64_t> codeIntervalSeconds, std::optional<int64_t> codeLength,
      std::optional<int64_t> enrollmentCompletionDeadline,
      std::optional<std::string> hashingAlgorithm, std::optional<std::string> secretKey);
  static std::shared_ptr<PigeonTotpSecret> fromList(const fnd::Array& list);
  // Null for a value that is not a list.
  static std::shared_ptr<PigeonTotpSecret> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonTotpSecret"; }

  std::optional<int64_t> codeIntervalSeconds;
  std::optional<int64_t> codeLength;
  std::optional<int64_t> enrollmentCompletionDeadline;
  std::optional<std::string> hashingAlgorithm;
  std::optional<std::string> secretKey;
};

// The six generated host interfaces of the authentication bridge: the operations the plugin
// implements, the codec of each interface and the installers of their channels.
//
// Channel of a method: "dev.flutter.pigeon.zudiroru_auth_platform_interface.<Interface>.<method>",
// then "." and the suffix when a suffix is given. The message is the list of the method's
// arguments; the reply is [result] ([null] for a method without a result) or
// [code, message, details]. A null argument reaches the operation as absent (the two scalars,
// useEmulator's port and getIdToken's forceRefresh, as 0 and false). An argument of a kind the
// method cannot use is refused with kAuthInvalidArgumentCode before it reaches the operation.
//
// Each interface has its own codec, numbering the records it knows from 128, so one type byte
// means different records on different interfaces (128 is AuthPigeonZudiroruApp on the first
// three, PigeonAdditionalUserInfo on the resolver interface and PigeonTotpSecret on the TOTP
// interface). MultiFactorTotpSecretHostApi uses the standard codec.
//
// Thread safety: handlers run on the main thread; an operation calls its completion once, from
// any thread, and the reply goes out from there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/codec.h"
#include "platform/flutter/standard_codec.h"
#include "plugins/zudiroru_auth/auth_messages.h"

// The package part of every channel name.
inline constexpr const char* kAuthPigeonPackage = "zudiroru_auth_platform_interface";
// The code of the refusal of arguments a method cannot take.
inline constexpr const char* kAuthInvalidArgumentCode = "invalid-argument";

// What every operation's completion takes.
struct AuthHostApiTypes {
  using ErrorPtr = std::shared_ptr<flutter::FlutterError>;
  using App = std::shared_ptr<AuthPigeonZudiroruApp>;
  using VoidCompletion = std::function<void(ErrorPtr error)>;
  using StringCompletion =
      std::function<void(const std::optional<std::string>& result, ErrorPtr error)>;
  using StringsCompletion =
      std::function<void(const std::optional<std::vector<std::string>>& result, ErrorPtr error)>;
  template <typename T>
  using RecordCompletion = std::function<void(std::shared_ptr<T> result, ErrorPtr error)>;
  using UserCredentialCompletion = RecordCompletion<PigeonUserCredential>;
  using UserDetailsCompletion = RecordCompletion<PigeonUserDetails>;
  using FactorsCompletion = std::function<void(
      const std::optional<std::vector<std::shared_ptr<PigeonMultiFactorInfo>>>& result,
      ErrorPtr error)>;
};

class ZudiroruAuthHostApi : public AuthHostApiTypes {
 public:
  virtual ~ZudiroruAuthHostApi() = default;
  virtual void registerIdTokenListenerApp(App app, StringCompletion completion) = 0;
  virtual void registerAuthStateListenerApp(App app, StringCompletion completion) = 0;
  virtual void useEmulatorApp(App app, std::optional<std::string> host, int64_t port,
                              VoidCompletion completion) = 0;
  virtual void applyActionCodeApp(App app, std::optional<std::string> code,
                                  VoidCompletion completion) = 0;
  virtual void checkActionCodeApp(App app, std::optional<std::string> code,
                                  RecordCompletion<PigeonActionCodeInfo> completion) = 0;
  virtual void confirmPasswordResetApp(App app, std::optional<std::string> code,
                                       std::optional<std::string> newPassword,
                                       VoidCompletion completion) = 0;
  virtual void createUserWithEmailAndPasswordApp(App app, std::optional<std::string> email,
                                                 std::optional<std::string> password,
                                                 UserCredentialCompletion completion) = 0;
  virtual void signInAnonymouslyApp(App app, UserCredentialCompletion completion) = 0;
  virtual void signInWithCredentialApp(App app, std::optional<fnd::Dictionary> input,
                                       UserCredentialCompletion completion) = 0;
  virtual void signInWithCustomTokenApp(App app, std::optional<std::string> token,
                                        UserCredentialCompletion completion) = 0;
  virtual void signInWithEmailAndPasswordApp(App app, std::optional<std::string> email,
                                             std::optional<std::string> password,
                                             UserCredentialCompletion completion) = 0;
  virtual void signInWithEmailLinkApp(App app, std::optional<std::string> email,
                                      std::optional<std::string> emailLink,
                                      UserCredentialCompletion completion) = 0;
  virtual void signInWithProviderApp(App app, std::shared_ptr<PigeonSignInProvider> signInProvider,
                                     UserCredentialCompletion completion) = 0;
  virtual void signOutApp(App app, VoidCompletion completion) = 0;
  virtual void fetchSignInMethodsForEmailApp(App app, std::optional<std::string> email,
                                             StringsCompletion completion) = 0;
  virtual void sendPasswordResetEmailApp(
      App app, std::optional<std::string> email,
      std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings, VoidCompletion completion) = 0;
  virtual void sendSignInLinkToEmailApp(
      App app, std::optional<std::string> email,
      std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings, VoidCompletion completion) = 0;
  virtual void setLanguageCodeApp(App app, std::optional<std::string> languageCode,
                                  StringCompletion completion) = 0;
  virtual void setSettingsApp(App app, std::shared_ptr<PigeonZudiroruAuthSettings> settings,
                              VoidCompletion completion) = 0;
  virtual void verifyPasswordResetCodeApp(App app, std::optional<std::string> code,
                                          StringCompletion completion) = 0;
  virtual void verifyPhoneNumberApp(App app,
                                    std::shared_ptr<PigeonVerifyPhoneNumberRequest> request,
                                    StringCompletion completion) = 0;
  virtual void revokeTokenWithAuthorizationCodeApp(App app,
                                                   std::optional<std::string> authorizationCode,
                                                   VoidCompletion completion) = 0;
  virtual void initializeRecaptchaConfigApp(App app, VoidCompletion completion) = 0;
};

class ZudiroruAuthUserHostApi : public AuthHostApiTypes {
 public:
  virtual ~ZudiroruAuthUserHostApi() = default;
  virtual void deleteApp(App app, VoidCompletion completion) = 0;
  virtual void getIdTokenApp(App app, bool forceRefresh,
                             RecordCompletion<PigeonIdTokenResult> completion) = 0;
  virtual void linkWithCredentialApp(App app, std::optional<fnd::Dictionary> input,
                                     UserCredentialCompletion completion) = 0;
  virtual void linkWithProviderApp(App app, std::shared_ptr<PigeonSignInProvider> signInProvider,
                                   UserCredentialCompletion completion) = 0;
  virtual void reauthenticateWithCredentialApp(App app, std::optional<fnd::Dictionary> input,
                                               UserCredentialCompletion completion) = 0;
  virtual void reauthenticateWithProviderApp(App app,
                                             std::shared_ptr<PigeonSignInProvider> signInProvider,
                                             UserCredentialCompletion completion) = 0;
  virtual void reloadApp(App app, UserDetailsCompletion completion) = 0;
  virtual void sendEmailVerificationApp(
      App app, std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings,
      VoidCompletion completion) = 0;
  virtual void unlinkApp(App app, std::optional<std::string> providerId,
                         UserCredentialCompletion completion) = 0;
  virtual void updateEmailApp(App app, std::optional<std::string> newEmail,
                              UserDetailsCompletion completion) = 0;
  virtual void updatePasswordApp(App app, std::optional<std::string> newPassword,
                                 UserDetailsCompletion completion) = 0;
  virtual void updatePhoneNumberApp(App app, std::optional<fnd::Dictionary> input,
                                    UserDetailsCompletion completion) = 0;
  virtual void updateProfileApp(App app, std::shared_ptr<PigeonUserProfile> profile,
                                UserDetailsCompletion completion) = 0;
  virtual void verifyBeforeUpdateEmailApp(
      App app, std::optional<std::string> newEmail,
      std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings, VoidCompletion completion) = 0;
};

class MultiFactorUserHostApi : public AuthHostApiTypes {
 public:
  virtual ~MultiFactorUserHostApi() = default;
  virtual void enrollPhoneApp(App app, std::shared_ptr<PigeonPhoneMultiFactorAssertion> assertion,
                              std::optional<std::string> displayName,
                              VoidCompletion completion) = 0;
  virtual void enrollTotpApp(App app, std::optional<std::string> assertionId,
                             std::optional<std::string> displayName, VoidCompletion completion) = 0;
  virtual void getSessionApp(App app, RecordCompletion<PigeonMultiFactorSession> completion) = 0;
  virtual void unenrollApp(App app, std::optional<std::string> factorUid,
                           VoidCompletion completion) = 0;
  virtual void getEnrolledFactorsApp(App app, FactorsCompletion completion) = 0;
};

class MultiFactoResolverHostApi : public AuthHostApiTypes {
 public:
  virtual ~MultiFactoResolverHostApi() = default;
  virtual void resolveSignInResolverId(std::optional<std::string> resolverId,
                                       std::shared_ptr<PigeonPhoneMultiFactorAssertion> assertion,
                                       std::optional<std::string> totpAssertionId,
                                       UserCredentialCompletion completion) = 0;
};

class MultiFactorTotpHostApi : public AuthHostApiTypes {
 public:
  virtual ~MultiFactorTotpHostApi() = default;
  virtual void generateSecretSessionId(std::optional<std::string> sessionId,
                                       RecordCompletion<PigeonTotpSecret> completion) = 0;
  virtual void getAssertionForEnrollmentSecretKey(std::optional<std::string> secretKey,
                                                  std::optional<std::string> oneTimePassword,
                                                  StringCompletion completion) = 0;
  virtual void getAssertionForSignInEnrollmentId(std::optional<std::string> enrollmentId,
                                                 std::optional<std::string> oneTimePassword,
                                                 StringCompletion completion) = 0;
};

class MultiFactorTotpSecretHostApi : public AuthHostApiTypes {
 public:
  virtual ~MultiFactorTotpSecretHostApi() = default;
  virtual void generateQrCodeUrlSecretKey(std::optional<std::string> secretKey,
                                          std::optional<std::string> accountName,
                                          std::optional<std::string> issuer,
                                          StringCompletion completion) = 0;
  virtual void openInOtpAppSecretKey(std::optional<std::string> secretKey,
                                     std::optional<std::string> qrCodeUrl,
                                     VoidCompletion completion) = 0;
};

// The codecs, each made once.
std::shared_ptr<const flutter::FlutterStandardMessageCodec> ZudiroruAuthHostApiGetCodec();
std::shared_ptr<const flutter::FlutterStandardMessageCodec> ZudiroruAuthUserHostApiGetCodec();
std::shared_ptr<const flutter::FlutterStandardMessageCodec> MultiFactorUserHostApiGetCodec();
std::shared_ptr<const flutter::FlutterStandardMessageCodec> MultiFactoResolverHostApiGetCodec();
std::shared_ptr<const flutter::FlutterStandardMessageCodec> MultiFactorTotpHostApiGetCodec();
// The standard codec.
std::shared_ptr<const flutter::FlutterStandardMessageCodec> MultiFactorTotpSecretHostApiGetCodec();
// A codec that knows only PigeonMultiFactorInfo (128); part of the generated interface, used by
// no channel.
std::shared_ptr<const flutter::FlutterStandardMessageCodec> GenerateInterfacesCodec();

// Installers: one channel per method, in declaration order; a null api clears the channels.
void SetUpZudiroruAuthHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                              const std::shared_ptr<ZudiroruAuthHostApi>& api);
void SetUpZudiroruAuthHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<ZudiroruAuthHostApi>& api, const std::string& suffix);
void SetUpZudiroruAuthUserHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                                  const std::shared_ptr<ZudiroruAuthUserHostApi>& api);
void SetUpZudiroruAuthUserHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<ZudiroruAuthUserHostApi>& api, const std::string& suffix);
void SetUpMultiFactorUserHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                                 const std::shared_ptr<MultiFactorUserHostApi>& api);
void SetUpMultiFactorUserHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactorUserHostApi>& api, const std::string& suffix);
void SetUpMultiFactoResolverHostApi(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactoResolverHostApi>& api);
void SetUpMultiFactoResolverHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactoResolverHostApi>& api, const std::string& suffix);
void SetUpMultiFactorTotpHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                                 const std::shared_ptr<MultiFactorTotpHostApi>& api);
void SetUpMultiFactorTotpHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactorTotpHostApi>& api, const std::string& suffix);
void SetUpMultiFactorTotpSecretHostApi(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactorTotpSecretHostApi>& api);
void SetUpMultiFactorTotpSecretHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactorTotpSecretHostApi>& api, const std::string& suffix);

// FLTZudiroruAuthPlugin: the native half of the Zudiroru authentication plugin. One plugin serves
// the six authentication host interfaces (auth_host_api.h) for every Zudiroru app, over the auth
// SDK (platform/vendor/auth), and opens the auth-state and ID-token event channels. It is a
// Zudiroru bridge: the registry gets its per-app constants and asks it to reset on a Dart hot
// restart.
//
// Each call names its app (AuthPigeonZudiroruApp); the plugin looks up the app's DEVAuth, sets its
// tenant and custom auth domain from the call, and answers "no-app" when no app of that name is
// configured. SDK errors become FlutterErrors with lower-case hyphenated codes ("wrong-password"
// for ERROR_WRONG_PASSWORD); a second-factor requirement answers "second-factor-required" with
// hints and the ids of the session and resolver the plugin keeps for the multi-factor calls; an
// error that carries a credential to retry with keeps it under a number that Dart can send back
// as a credential's "token".
//
// Sign in with Apple runs one request at a time through AuthenticationServices with a fresh
// nonce; a second start while one is pending is refused ("operation-in-progress"), and a nonce
// that cannot be drawn from the secure random source fails the call ("nonce-unavailable").
//
// Thread safety: channel handlers and stream requests run on the main thread; SDK completions
// and listener calls run on the SDK's callback queue, and the plugin answers from there. The
// plugin's maps and the pending Apple request are guarded by its own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/authenticationservices/authorization_controller.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/plugin.h"
#include "platform/vendor/auth/auth.h"
#include "plugins/zudiroru_auth/auth_host_api.h"
#include "plugins/zudiroru_auth/auth_messages.h"
#include "plugins/zudiroru_core/plugin_registry.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

inline constexpr const char* kFLTZudiroruAuthLibraryName = "flutter-dero-auth";
inline constexpr const char* kFLTZudiroruAuthLibraryVersion = "6.1.3";
// The package of the method channel and the event channels.
inline constexpr const char* kFLTZudiroruAuthPackage = "zudiroru_auth";

// Keys of the per-app constants.
inline constexpr const char* kFLTZudiroruAuthAppLanguageCodeKey = "APP_LANGUAGE_CODE";
inline constexpr const char* kFLTZudiroruAuthAppCurrentUserKey = "APP_CURRENT_USER";

// SDK error codes that select an answer of their own.
inline constexpr int64_t kFLTZudiroruAuthSecondFactorRequired = 17078;
inline constexpr int64_t kFLTZudiroruAuthInternalError = 17999;

// The event stream of one app's auth state (DEVAuth's auth-state listener) or ID token (its
// ID-token listener). Listening adds an SDK listener whose first call, which only reports the
// state at that moment, is dropped; every later call sends {"user": manual list} or
// {"user": null}. Listening again removes the earlier SDK listener first; cancel removes it.
// Listen and cancel run on the main thread; events go out from the SDK's callback queue.
class FLTAuthListenerStreamHandler : public flutter::FlutterStreamHandler {
 public:
  FLTAuthListenerStreamHandler(std::shared_ptr<DEVAuth> auth, bool idToken)
      : auth_(std::move(auth)), idToken_(idToken) {}
  ~FLTAuthListenerStreamHandler() override;

  std::shared_ptr<flutter::FlutterError> onListenWithArguments(
      const fnd::Value& arguments, flutter::FlutterEventSink events) override;
  std::shared_ptr<flutter::FlutterError> onCancelWithArguments(
      const fnd::Value& arguments) override;

  // Whether an SDK listener is attached.
  bool isListening() const;

 private:
  void removeListenerLocked();

  // Constant after construction.
  const std::shared_ptr<DEVAuth> auth_;
  const bool idToken_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::shared_ptr<DEVAuth::ListenerHandle> listener_;
};

class FLTAuthStateChannelStreamHandler : public FLTAuthListenerStreamHandler {
 public:
  explicit FLTAuthStateChannelStreamHandler(std::shared_ptr<DEVAuth> auth)
      : FLTAuthListenerStreamHandler(std::move(auth), false) {}
};

class FLTIdTokenChannelStreamHandler : public FLTAuthListenerStreamHandler {
 public:
  explicit FLTIdTokenChannelStreamHandler(std::shared_ptr<DEVAuth> auth)
      : FLTAuthListenerStreamHandler(std::move(auth), true) {}
};

// The phone-verification stream of other platforms: listening and cancelling do nothing, and
// nothing here opens one.
class FLTPhoneNumberVerificationStreamHandler : public flutter::FlutterStreamHandler {
 public:
  FLTPhoneNumberVerificationStreamHandler(std::shared_ptr<DEVAuth> auth,
                                          const PigeonVerifyPhoneNumberRequest& request)
      : auth_(std::move(auth)), phoneNumber_(request.phoneNumber) {}
  std::shared_ptr<flutter::FlutterError> onListenWithArguments(const fnd::Value&,
                                                               flutter::FlutterEventSink) override {
    return nullptr;
  }
  std::shared_ptr<flutter::FlutterError> onCancelWithArguments(const fnd::Value&) override {
    return nullptr;
  }

 private:
  const std::shared_ptr<DEVAuth> auth_;
  const std::optional<std::string> phoneNumber_;
};

class FLTZudiroruAuthPlugin : public flutter::FlutterPlugin,
                              public flutter::FlutterAppLifecycleDelegate,
                              public FLTZudiroruPlugin,
                              public ZudiroruAuthHostApi,
                              public ZudiroruAuthUserHostApi,
                              public MultiFactorUserHostApi,
                              public MultiFactoResolverHostApi,
                              public MultiFactorTotpHostApi,
                              public MultiFactorTotpSecretHostApi,
                              public ASAuthorizationControllerDelegate,
                              public ASAuthorizationControllerPresentationContextProviding,
                              public std::enable_shared_from_this<FLTZudiroruAuthPlugin> {
 public:
  using ErrorPtr = AuthHostApiTypes::ErrorPtr;
  using App = AuthHostApiTypes::App;
  using VoidCompletion = AuthHostApiTypes::VoidCompletion;
  using StringCompletion = AuthHostApiTypes::StringCompletion;
  using StringsCompletion = AuthHostApiTypes::StringsCompletion;
  template <typename T>
  using RecordCompletion = AuthHostApiTypes::RecordCompletion<T>;
  using UserCredentialCompletion = AuthHostApiTypes::UserCredentialCompletion;
  using UserDetailsCompletion = AuthHostApiTypes::UserDetailsCompletion;
  using FactorsCompletion = AuthHostApiTypes::FactorsCompletion;
  using LogSink = std::function<void(const std::string& line)>;

  // Called once at start-up by RegisterGeneratedPlugins: a plugin on the registrar's messenger,
  // registered with the shared plugin registry.
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);
  // The same steps with a given plugin (tests make their own).
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar,
                                    const std::shared_ptr<FLTZudiroruAuthPlugin>& plugin);
  // A plugin on `messenger`, registered with `registry`.
  static std::shared_ptr<FLTZudiroruAuthPlugin> createRegisteredWith(
      FLTZudiroruPluginRegistry& registry,
      std::shared_ptr<flutter::FlutterBinaryMessenger> messenger);

  // Not registered anywhere.
  explicit FLTZudiroruAuthPlugin(std::shared_ptr<flutter::FlutterBinaryMessenger> messenger);

  // The method channel and the prefix of the event channels: "plugins.flutter.io/zudiroru_auth".
  static std::string channelName();

  // Where the plugin's log lines go (standard error by default).
  void setLogSink(LogSink sink);

  // FLTZudiroruPlugin.
  void didReinitializeZudiroruCore(std::function<void()> completion) override;
  fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu& app) override;
  std::string zudiroruLibraryName() const override { return kFLTZudiroruAuthLibraryName; }
  std::string zudiroruLibraryVersion() const override { return kFLTZudiroruAuthLibraryVersion; }
  std::string flutterChannelName() const override { return channelName(); }

  // FlutterPlugin: the engine goes; the streams are cleaned up.
  void detachFromEngineForRegistrar(flutter::FlutterPluginRegistrar& registrar) override;
  std::string typeName() const override { return "FLTZudiroruAuthPlugin"; }

  // Empties the credential store, closes every event channel and removes every SDK listener,
  // then calls `completion` (when given). The multi-factor maps stay.
  void cleanupWithCompletion(std::function<void()> completion);

  // The app's DEVAuth with the call's tenant and custom auth domain applied; null with *error
  // set ("no-app") when no app of that name is configured.
  std::shared_ptr<DEVAuth> getDEVAuthFromAppNameFromPigeon(const App& app, ErrorPtr* error);
  // The current user's multi-factor object, or null when nobody is signed in.
  std::shared_ptr<DEVMultiFactor> getAppMultiFactorFromPigeon(const App& app, ErrorPtr* error);

  // An SDK error (or none) as a FlutterError; keeps the error's updated credential, if any.
  ErrorPtr convertToFlutterError(const std::optional<fnd::Error>& error);
  // Keeps the error's updated credential and returns its key, or nullopt when it has none.
  std::optional<uint64_t> storeAuthCredentialIfPresent(const fnd::Error& error);
  // "internal-error" with the server's decoded response as details.
  static ErrorPtr handleInternalError(const fnd::Error& error);
  // "second-factor-required": keeps the resolver and its session under new ids.
  ErrorPtr handleMultiFactorError(const App& app, const fnd::Error& error);

  // An action code's info: the SDK's operation when it is 1 to 6, else 0, and its addresses.
  static std::shared_ptr<PigeonActionCodeInfo> parseActionCode(const DEVActionCodeInfo& info);

  // Sign in with Apple.
  // A nonce of `length` characters from the secure random source, or nullopt when it fails.
  static std::optional<std::string> randomNonce(int length);
  // Lower-case hexadecimal SHA-256 of the text's UTF-8 bytes.
  static std::string stringBySha256HashingString(const std::string& text);

  // ZudiroruAuthHostApi.
  void registerIdTokenListenerApp(App app, StringCompletion completion) override;
  void registerAuthStateListenerApp(App app, StringCompletion completion) override;
  void useEmulatorApp(App app, std::optional<std::string> host, int64_t port,
                      VoidCompletion completion) override;
  void applyActionCodeApp(App app, std::optional<std::string> code,
                          VoidCompletion completion) override;
  void checkActionCodeApp(App app, std::optional<std::string> code,
                          RecordCompletion<PigeonActionCodeInfo> completion) override;
  void confirmPasswordResetApp(App app, std::optional<std::string> code,
                               std::optional<std::string> newPassword,
                               VoidCompletion completion) override;
  void createUserWithEmailAndPasswordApp(App app, std::optional<std::string> email,
                                         std::optional<std::string> password,
                                         UserCredentialCompletion completion) override;
  void signInAnonymouslyApp(App app, UserCredentialCompletion completion) override;
  void signInWithCredentialApp(App app, std::optional<fnd::Dictionary> input,
                               UserCredentialCompletion completion) override;
  void signInWithCustomTokenApp(App app, std::optional<std::string> token,
                                UserCredentialCompletion completion) override;
  void signInWithEmailAndPasswordApp(App app, std::optional<std::string> email,
                                     std::optional<std::string> password,
                                     UserCredentialCompletion completion) override;
  void signInWithEmailLinkApp(App app, std::optional<std::string> email,
                              std::optional<std::string> emailLink,
                              UserCredentialCompletion completion) override;
  void signInWithProviderApp(App app, std::shared_ptr<PigeonSignInProvider> signInProvider,
                             UserCredentialCompletion completion) override;
  void signOutApp(App app, VoidCompletion completion) override;
  void fetchSignInMethodsForEmailApp(App app, std::optional<std::string> email,
                                     StringsCompletion completion) override;
  void sendPasswordResetEmailApp(App app, std::optional<std::string> email,
                                 std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings,
                                 VoidCompletion completion) override;
  void sendSignInLinkToEmailApp(App app, std::optional<std::string> email,
                                std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings,
                                VoidCompletion completion) override;
  void setLanguageCodeApp(App app, std::optional<std::string> languageCode,
                          StringCompletion completion) override;
  void setSettingsApp(App app, std::shared_ptr<PigeonZudiroruAuthSettings> settings,
                      VoidCompletion completion) override;
  void verifyPasswordResetCodeApp(App app, std::optional<std::string> code,
                                  StringCompletion completion) override;
  void verifyPhoneNumberApp(App app, std::shared_ptr<PigeonVerifyPhoneNumberRequest> request,
                            StringCompletion completion) override;
  void revokeTokenWithAuthorizationCodeApp(App app, std::optional<std::string> authorizationCode,
                                           VoidCompletion completion) override;
  void initializeRecaptchaConfigApp(App app, VoidCompletion completion) override;

  // ZudiroruAuthUserHostApi.
  void deleteApp(App app, VoidCompletion completion) override;
  void getIdTokenApp(App app, bool forceRefresh,
                     RecordCompletion<PigeonIdTokenResult> completion) override;
  void linkWithCredentialApp(App app, std::optional<fnd::Dictionary> input,
                             UserCredentialCompletion completion) override;
  void linkWithProviderApp(App app, std::shared_ptr<PigeonSignInProvider> signInProvider,
                           UserCredentialCompletion completion) override;
  void reauthenticateWithCredentialApp(App app, std::optional<fnd::Dictionary> input,
                                       UserCredentialCompletion completion) override;
  void reauthenticateWithProviderApp(App app, std::shared_ptr<PigeonSignInProvider> signInProvider,
                                     UserCredentialCompletion completion) override;
  void reloadApp(App app, UserDetailsCompletion completion) override;
  void sendEmailVerificationApp(App app,
                                std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings,
                                VoidCompletion completion) override;
  void unlinkApp(App app, std::optional<std::string> providerId,
                 UserCredentialCompletion completion) override;
  void updateEmailApp(App app, std::optional<std::string> newEmail,
                      UserDetailsCompletion completion) override;
  void updatePasswordApp(App app, std::optional<std::string> newPassword,
                         UserDetailsCompletion completion) override;
  void updatePhoneNumberApp(App app, std::optional<fnd::Dictionary> input,
                            UserDetailsCompletion completion) override;
  void updateProfileApp(App app, std::shared_ptr<PigeonUserProfile> profile,
                        UserDetailsCompletion completion) override;
  void verifyBeforeUpdateEmailApp(App app, std::optional<std::string> newEmail,
                                  std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings,
                                  VoidCompletion completion) override;

  // MultiFactorUserHostApi.
  void enrollPhoneApp(App app, std::shared_ptr<PigeonPhoneMultiFactorAssertion> assertion,
                      std::optional<std::string> displayName, VoidCompletion completion) override;
  void enrollTotpApp(App app, std::optional<std::string> assertionId,
                     std::optional<std::string> displayName, VoidCompletion completion) override;
  void getSessionApp(App app, RecordCompletion<PigeonMultiFactorSession> completion) override;
  void unenrollApp(App app, std::optional<std::string> factorUid,
                   VoidCompletion completion) override;
  void getEnrolledFactorsApp(App app, FactorsCompletion completion) override;

  // MultiFactoResolverHostApi.
  void resolveSignInResolverId(std::optional<std::string> resolverId,
                               std::shared_ptr<PigeonPhoneMultiFactorAssertion> assertion,
                               std::optional<std::string> totpAssertionId,
                               UserCredentialCompletion completion) override;

  // MultiFactorTotpHostApi.
  void generateSecretSessionId(std::optional<std::string> sessionId,
                               RecordCompletion<PigeonTotpSecret> completion) override;
  void getAssertionForEnrollmentSecretKey(std::optional<std::string> secretKey,
                                          std::optional<std::string> oneTimePassword,
                                          StringCompletion completion) override;
  void getAssertionForSignInEnrollmentId(std::optional<std::string> enrollmentId,
                                         std::optional<std::string> oneTimePassword,
                                         StringCompletion completion) override;

  // MultiFactorTotpSecretHostApi.
  void generateQrCodeUrlSecretKey(std::optional<std::string> secretKey,
                                  std::optional<std::string> accountName,
                                  std::optional<std::string> issuer,
                                  StringCompletion completion) override;
  void openInOtpAppSecretKey(std::optional<std::string> secretKey,
                             std::optional<std::string> qrCodeUrl,
                             VoidCompletion completion) override;

  // AuthenticationServices.
  void authorizationControllerDidCompleteWithAuthorization(
      ASAuthorizationController& controller, const ASAuthorization& authorization) override;
  void authorizationControllerDidCompleteWithError(ASAuthorizationController& controller,
                                                   const fnd::Error& error) override;
  std::shared_ptr<appkit::Window> presentationAnchorForAuthorizationController(
      ASAuthorizationController& controller) override;

  // Test support: sizes of the plugin's maps.
  size_t credentialCountForTesting() const;
  size_t eventChannelCountForTesting() const;
  size_t multiFactorSessionCountForTesting() const;
  size_t multiFactorResolverCountForTesting() const;
  bool hasPendingAppleRequestForTesting() const;

 private:
  // How a method answers an SDK error.
  enum class ErrorRoute {
    kConvert,                // convertToFlutterError only.
    kMultiFactor,            // 17078, else conversion.
    kInternal,               // 17999, else conversion.
    kMultiFactorOrInternal,  // 17078, then 17999, else conversion.
    kDeserializedResponse,   // the server's response, then as kMultiFactorOrInternal.
  };
  // What a pending Sign in with Apple request does with the credential.
  struct AppleMode {
    bool reauthenticate = false;
    std::shared_ptr<DEVUser> linkUser;
    std::shared_ptr<DEVAuth> auth;
  };

  ErrorPtr errorByRoute(ErrorRoute route, const App& app, const fnd::Error& error);
  // The completion of an SDK sign-in-like call, answering with a user credential.
  DEVAuthDataResultCallback userCredentialAnswer(ErrorRoute route, App app,
                                                 UserCredentialCompletion completion);
  // The completion of an SDK call without a result.
  DEVAuthVoidCallback voidAnswer(ErrorRoute route, App app, VoidCompletion completion);
  // Resolves the app and its current user; answers the error itself and returns null.
  std::shared_ptr<DEVUser> currentUserOrAnswer(const App& app, std::shared_ptr<DEVAuth>* auth,
                                               const std::function<void(ErrorPtr)>& fail);
  // The credential a map describes (or an error, or neither) to `completion`.
  void getDEVAuthCredentialFromArguments(
      const fnd::Dictionary& arguments,
      std::function<void(std::shared_ptr<DEVAuthCredential>, std::optional<fnd::Error>)>
          completion);
  // Runs `use` with the credential of `input`, or answers "invalid-credential".
  void withCredential(const std::optional<fnd::Dictionary>& input,
                      std::function<void(ErrorPtr)> fail,
                      std::function<void(std::shared_ptr<DEVAuthCredential>)> use);
  // Reloads the user, then answers its details (a step of the update methods).
  void reloadAndAnswer(std::shared_ptr<DEVAuth> auth, std::shared_ptr<DEVUser> user,
                       UserDetailsCompletion completion);
  // Opens an auth-state or ID-token event channel for the call's app.
  void registerListenerChannel(const App& app, bool idToken, StringCompletion completion);
  void launchAppleSignInRequest(const App& app,
                                const std::shared_ptr<PigeonSignInProvider>& provider,
                                AppleMode mode, UserCredentialCompletion completion);
  void handleSignInWithApple(std::shared_ptr<DEVAuthDataResult> result,
                             const std::optional<std::string>& authorizationCode,
                             const std::optional<fnd::Error>& error);
  // Takes the pending Apple completion (and the request's app) out of the plugin.
  UserCredentialCompletion takeAppleCompletion(App* app);
  void log(const std::string& line) const;
  // A new id for the multi-factor maps.
  static std::string newIdentifier();

  // Constant after construction.
  const std::shared_ptr<flutter::FlutterBinaryMessenger> binaryMessenger_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  LogSink logSink_;
  std::map<uint64_t, std::shared_ptr<DEVAuthCredential>> credentialsMap_;
  std::map<std::string, std::shared_ptr<DEVMultiFactorSession>> multiFactorSessionMap_;
  std::map<std::string, std::shared_ptr<DEVMultiFactorResolver>> multiFactorResolverMap_;
  std::map<std::string, std::shared_ptr<DEVMultiFactorAssertion>> multiFactorAssertionMap_;
  std::map<std::string, std::shared_ptr<DEVTOTPSecret>> multiFactorTotpSecretMap_;
  std::map<std::string, std::shared_ptr<flutter::FlutterEventChannel>> eventChannels_;
  std::map<std::string, std::shared_ptr<FLTAuthListenerStreamHandler>> streamHandlers_;
  // The one Sign in with Apple request in flight.
  bool isReauthenticatingWithApple_ = false;
  std::shared_ptr<DEVUser> linkWithAppleUser_;
  std::shared_ptr<DEVAuth> signInWithAppleAuth_;
  std::string currentNonce_;
  UserCredentialCompletion appleCompletion_;
  App appleArguments_;
};

// The ZudiroruAuth SDK, simulated in memory: one DEVAuth per Zudiroru app, each with its own
// account store (the "backend"), the signed-in user, auth-state and ID-token listeners, e-mail
// actions (password reset, verification, sign-in links) and second factors.
//
// Nothing reaches a server. Accounts are made by sign-ups, by federated and custom-token sign-ins
// and by tests (addAccountForTesting). Federated tokens are accepted only when a test registered
// them (registerProviderTokenForTesting); custom tokens likewise. E-mails are recorded instead of
// sent (sentEmailsForTesting), with the action code they carry. Tokens are deterministic
// ("zid.<uid>.<n>", "zrt.<uid>.<n>") and live an hour on dispatch::Clock's wall time.
//
// Every operation with a completion does its work on the calling thread and runs the completion
// on the SDK's callback queue (the main queue unless DEVAuthTesting says otherwise), never on the
// calling thread. Listeners are called on that queue too: once right after they are added (with
// the user of that moment), then for every change they follow, in order; a removed listener is
// not called again. Nothing raises; a rejected argument is an error of DEVAuthErrorDomain.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/auth/auth_credential.h"
#include "platform/vendor/auth/auth_errors.h"
#include "platform/vendor/auth/auth_user.h"
#include "platform/vendor/auth/multi_factor.h"
#include "platform/vendor/core/davodu.h"

namespace dispatch {
class Queue;
}

// Extra facts of a sign-in.
class DEVAdditionalUserInfo : public fnd::Record {
 public:
  struct Fields {
    std::string providerID;
    std::optional<fnd::Dictionary> profile;
    std::optional<std::string> username;
    bool isNewUser = false;
  };
  explicit DEVAdditionalUserInfo(Fields fields) : fields_(std::move(fields)) {}
  const std::string& providerID() const { return fields_.providerID; }
  const std::optional<fnd::Dictionary>& profile() const { return fields_.profile; }
  const std::optional<std::string>& username() const { return fields_.username; }
  bool isNewUser() const { return fields_.isNewUser; }
  std::string typeName() const override { return "DEVAdditionalUserInfo"; }

 private:
  const Fields fields_;
};

// The outcome of a sign-in, link or reauthentication.
class DEVAuthDataResult : public fnd::Record {
 public:
  DEVAuthDataResult(std::shared_ptr<DEVUser> user,
                    std::shared_ptr<DEVAdditionalUserInfo> additionalUserInfo,
                    std::shared_ptr<DEVAuthCredential> credential)
      : user_(std::move(user)),
        additionalUserInfo_(std::move(additionalUserInfo)),
        credential_(std::move(credential)) {}
  const std::shared_ptr<DEVUser>& user() const { return user_; }
  // Null for e-mail, anonymous and custom-token sign-ins.
  const std::shared_ptr<DEVAdditionalUserInfo>& additionalUserInfo() const {
    return additionalUserInfo_;
  }
  // The provider's credential of a federated sign-in, else null.
  const std::shared_ptr<DEVAuthCredential>& credential() const { return credential_; }
  std::string typeName() const override { return "DEVAuthDataResult"; }

 private:
  const std::shared_ptr<DEVUser> user_;
  const std::shared_ptr<DEVAdditionalUserInfo> additionalUserInfo_;
  const std::shared_ptr<DEVAuthCredential> credential_;
};

// What an e-mail action code is for.
enum DEVActionCodeOperation : int64_t {
  DEVActionCodeOperationUnknown = 0,
  DEVActionCodeOperationPasswordReset = 1,
  DEVActionCodeOperationVerifyEmail = 2,
  DEVActionCodeOperationRecoverEmail = 3,
  DEVActionCodeOperationEmailLink = 4,
  DEVActionCodeOperationVerifyAndChangeEmail = 5,
  DEVActionCodeOperationRevertSecondFactorAddition = 6,
};

class DEVActionCodeInfo : public fnd::Record {
 public:
  DEVActionCodeInfo(int64_t operation, std::optional<std::string> email,
                    std::optional<std::string> previousEmail)
      : operation_(operation), email_(std::move(email)), previousEmail_(std::move(previousEmail)) {}
  // A DEVActionCodeOperation, or another number for an operation this SDK does not name.
  int64_t operation() const { return operation_; }
  const std::optional<std::string>& email() const { return email_; }
  const std::optional<std::string>& previousEmail() const { return previousEmail_; }
  std::string typeName() const override { return "DEVActionCodeInfo"; }

 private:
  const int64_t operation_;
  const std::optional<std::string> email_;
  const std::optional<std::string> previousEmail_;
};

// How the link of an e-mail action is built.
class DEVActionCodeSettings {
 public:
  const std::optional<std::string>& URL() const { return URL_; }
  void setURL(std::optional<std::string> url) { URL_ = std::move(url); }
  const std::optional<std::string>& linkDomain() const { return linkDomain_; }
  void setLinkDomain(std::optional<std::string> domain) { linkDomain_ = std::move(domain); }
  bool handleCodeInApp() const { return handleCodeInApp_; }
  void setHandleCodeInApp(bool handle) { handleCodeInApp_ = handle; }
  const std::optional<std::string>& iOSBundleID() const { return iOSBundleID_; }
  void setIOSBundleID(std::optional<std::string> id) { iOSBundleID_ = std::move(id); }
  const std::optional<std::string>& androidPackageName() const { return androidPackageName_; }
  void setAndroidPackageName(std::optional<std::string> name, bool installIfNotAvailable,
                             std::optional<std::string> minimumVersion) {
    androidPackageName_ = std::move(name);
    androidInstallIfNotAvailable_ = installIfNotAvailable;
    androidMinimumVersion_ = std::move(minimumVersion);
  }
  bool androidInstallIfNotAvailable() const { return androidInstallIfNotAvailable_; }
  const std::optional<std::string>& androidMinimumVersion() const { return androidMinimumVersion_; }

 private:
  std::optional<std::string> URL_;
  std::optional<std::string> linkDomain_;
  bool handleCodeInApp_ = false;
  std::optional<std::string> iOSBundleID_;
  std::optional<std::string> androidPackageName_;
  bool androidInstallIfNotAvailable_ = false;
  std::optional<std::string> androidMinimumVersion_;
};

class DEVGameCenterAuthProvider {
 public:
  using CredentialCallback = std::function<void(std::shared_ptr<DEVAuthCredential> credential,
                                                const std::optional<fnd::Error>& error)>;
  // The credential of the local Game Center player (DEVAuthTesting::setGameCenterPlayer), or
  // game-center-not-signed-in.
  static void getCredentialWithCompletion(CredentialCallback completion);
};

// A federated identity as a provider describes it.
struct DEVAuthProviderIdentity {
  std::string providerID;
  std::string uid;
  std::optional<std::string> displayName;
  std::optional<std::string> email;
  std::optional<std::string> phoneNumber;
  std::optional<std::string> photoURL;
  std::optional<std::string> username;
  std::optional<fnd::Dictionary> profile;
};

// An enrolled second factor of an account.
struct DEVAuthAccountFactor {
  std::string uid;
  std::string factorID;  // DEVPhoneMultiFactorID or DEVTOTPMultiFactorID.
  std::optional<std::string> displayName;
  double enrollmentDate = 0;
  std::optional<std::string> phoneNumber;  // Phone factors.
  std::optional<std::string> secretKey;    // TOTP factors.
};

// One account of the store.
struct DEVAuthAccount {
  std::string uid;  // Empty: the store picks one.
  std::optional<std::string> email;
  std::optional<std::string> password;
  std::optional<std::string> displayName;
  std::optional<std::string> photoURL;
  std::optional<std::string> phoneNumber;
  bool emailVerified = false;
  bool disabled = false;
  bool anonymous = false;
  std::optional<std::string> tenantID;
  double creationDate = 0;  // 0: the time it is added.
  double lastSignInDate = 0;
  std::vector<DEVAuthProviderIdentity> identities;
  std::vector<DEVAuthAccountFactor> factors;
};

// An e-mail the SDK would have sent.
struct DEVAuthSentEmail {
  std::string email;
  int64_t operation = DEVActionCodeOperationUnknown;
  std::string code;
  std::string link;
  std::optional<std::string> continueURL;
  bool handleCodeInApp = false;
  std::optional<std::string> languageCode;
};

class DEVAuth : public fnd::Record, public std::enable_shared_from_this<DEVAuth> {
 public:
  using Listener =
      std::function<void(std::shared_ptr<DEVAuth> auth, std::shared_ptr<DEVUser> user)>;
  using ActionCodeCallback = std::function<void(std::shared_ptr<DEVActionCodeInfo> info,
                                                const std::optional<fnd::Error>& error)>;
  using StringCallback =
      std::function<void(std::optional<std::string> value, const std::optional<fnd::Error>& error)>;
  using ProvidersCallback = std::function<void(std::optional<std::vector<std::string>> providers,
                                               const std::optional<fnd::Error>& error)>;

  // A listener as added; pass it back to remove the listener.
  class ListenerHandle : public fnd::Record {
   public:
    explicit ListenerHandle(uint64_t id) : id_(id) {}
    uint64_t id() const { return id_; }
    std::string typeName() const override { return "DEVAuthListenerHandle"; }

   private:
    const uint64_t id_;
  };

  // How long an ID token lives, in seconds.
  static constexpr double kTokenLifetime = 3600;

  // The instance of the default app; null when it is not configured.
  static std::shared_ptr<DEVAuth> auth();
  // The instance of an app, made on first use and kept for the process; null for a null app.
  static std::shared_ptr<DEVAuth> authWithApp(const std::shared_ptr<DAVOdu>& app);

  const std::shared_ptr<DAVOdu>& app() const { return app_; }

  std::optional<std::string> tenantID() const;
  void setTenantID(std::optional<std::string> tenantID);
  std::optional<std::string> customAuthDomain() const;
  void setCustomAuthDomain(std::optional<std::string> domain);
  std::optional<std::string> languageCode() const;
  void setLanguageCode(std::optional<std::string> languageCode);
  // Sets the language code to the first preferred language of the process.
  void useAppLanguage();
  // Where requests would go; recorded only.
  void useEmulatorWithHost(std::string host, int64_t port);
  std::optional<std::pair<std::string, int64_t>> emulator() const;
  // The keychain access group that stores the user; fails when a test scripted a fault.
  bool useUserAccessGroup(std::optional<std::string> group, fnd::Error* error = nullptr);
  std::optional<std::string> userAccessGroup() const;

  std::shared_ptr<DEVUser> currentUser() const;

  void applyActionCode(std::string code, DEVAuthVoidCallback completion);
  void checkActionCode(std::string code, ActionCodeCallback completion);
  void confirmPasswordResetWithCode(std::string code, std::string newPassword,
                                    DEVAuthVoidCallback completion);
  void verifyPasswordResetCode(std::string code, StringCallback completion);
  void createUserWithEmail(std::string email, std::string password,
                           DEVAuthDataResultCallback completion);
  void signInAnonymouslyWithCompletion(DEVAuthDataResultCallback completion);
  void signInWithCredential(std::shared_ptr<DEVAuthCredential> credential,
                            DEVAuthDataResultCallback completion);
  void signInWithCustomToken(std::string token, DEVAuthDataResultCallback completion);
  void signInWithEmail(std::string email, std::string password,
                       DEVAuthDataResultCallback completion);
  void signInWithEmailLink(std::string email, std::string link,
                           DEVAuthDataResultCallback completion);
  // Signs the current user out (listeners hear of it). Fails only by a scripted fault.
  bool signOut(fnd::Error* error = nullptr);
  void fetchSignInMethodsForEmail(std::string email, ProvidersCallback completion);
  void sendPasswordResetWithEmail(std::string email, DEVAuthVoidCallback completion);
  void sendPasswordResetWithEmail(std::string email,
                                  std::shared_ptr<DEVActionCodeSettings> settings,
                                  DEVAuthVoidCallback completion);
  // Requires settings with handleCodeInApp set.
  void sendSignInLinkToEmail(std::string email, std::shared_ptr<DEVActionCodeSettings> settings,
                             DEVAuthVoidCallback completion);
  void revokeTokenWithAuthorizationCode(std::string authorizationCode,
                                        DEVAuthVoidCallback completion);

  std::shared_ptr<ListenerHandle> addAuthStateDidChangeListener(Listener listener);
  void removeAuthStateDidChangeListener(const std::shared_ptr<ListenerHandle>& handle);
  std::shared_ptr<ListenerHandle> addIDTokenDidChangeListener(Listener listener);
  void removeIDTokenDidChangeListener(const std::shared_ptr<ListenerHandle>& handle);

  // Test hooks. An account's uid is returned (a new one when it had none); adding an account
  // whose uid exists replaces it.
  std::string addAccountForTesting(DEVAuthAccount account);
  std::optional<DEVAuthAccount> accountForTesting(const std::string& uid) const;
  std::vector<DEVAuthAccount> accountsForTesting() const;
  // Makes `token` (an id token, or an access token for providers without one) sign in as
  // `identity` with identity.providerID. With `nonceSHA256`, the credential's raw nonce must hash
  // (lower-case hexadecimal SHA-256) to it.
  void registerProviderTokenForTesting(std::string token, DEVAuthProviderIdentity identity,
                                       std::optional<std::string> nonceSHA256 = std::nullopt);
  void registerCustomTokenForTesting(std::string token, std::string uid);
  std::vector<DEVAuthSentEmail> sentEmailsForTesting() const;
  std::vector<std::string> revokedAuthorizationCodesForTesting() const;
  // The credential of the last sign-in, link or reauthentication attempt.
  std::shared_ptr<DEVAuthCredential> lastCredentialForTesting() const;
  // Listeners added and not removed.
  size_t authStateListenerCountForTesting() const;
  size_t idTokenListenerCountForTesting() const;

  std::string typeName() const override { return "DEVAuth"; }

 private:
  friend class DEVUser;
  friend class DEVUserProfileChangeRequest;
  friend class DEVMultiFactor;
  friend class DEVMultiFactorResolver;
  friend class DEVTOTPMultiFactorGenerator;
  friend class DEVTOTPSecret;

  struct ListenerEntry {
    uint64_t id;
    bool idToken;
    Listener listener;
  };
  struct ActionCode {
    int64_t operation;
    std::string uid;  // Empty for sign-in links.
    std::string email;
    std::optional<std::string> previousEmail;
    std::optional<std::string> newEmail;
  };
  struct ProviderToken {
    DEVAuthProviderIdentity identity;
    std::optional<std::string> nonceSHA256;
  };
  // A first factor passed, waiting for the second.
  struct PendingSignIn {
    std::string uid;
    std::string provider;
    std::shared_ptr<DEVAdditionalUserInfo> additionalUserInfo;
    std::shared_ptr<DEVAuthCredential> credential;
  };
  // What a completed step hands back, to be delivered after the lock is released.
  using Delivery = std::vector<std::function<void()>>;
  using Outcome = std::pair<std::shared_ptr<DEVAuthDataResult>, std::optional<fnd::Error>>;

  explicit DEVAuth(std::shared_ptr<DAVOdu> app);

  // Runs the completion-bearing calls below. REQUIRES: mu_ not held.
  void deliver(Delivery delivery);
  void post(std::function<void()> block) const;
  // Runs the completion with the outcome on the callback queue.
  void finish(DEVAuthDataResultCallback completion, Outcome outcome) const;
  void finish(DEVAuthVoidCallback completion, std::optional<fnd::Error> error) const;
  double now() const;

  // REQUIRES: mu_ held, for every *Locked member.
  DEVAuthAccount* findLocked(const std::string& uid);
  DEVAuthAccount* findByEmailLocked(const std::string& email);
  DEVAuthAccount* findByIdentityLocked(const std::string& providerID, const std::string& uid);
  std::string newUIDLocked();
  std::string newCodeLocked(const char* prefix);
  DEVUserState stateLocked(const DEVAuthAccount& account) const;
  std::shared_ptr<DEVAuthTokenResult> newTokenLocked(const DEVAuthAccount& account,
                                                     const std::string& provider,
                                                     std::optional<std::string> secondFactor,
                                                     double authDate);
  std::shared_ptr<DEVMultiFactorInfo> factorInfoLocked(const DEVAuthAccount& account,
                                                       const DEVAuthAccountFactor& factor) const;
  // Makes `user` current (null signs out) and queues the listener calls it causes.
  void setCurrentUserLocked(std::shared_ptr<DEVUser> user, bool tokenChanged, Delivery* delivery);
  // Signs an account in: the second-factor error when it has factors (unless `secondFactor`
  // names the factor that was just passed), else a new current user and the result.
  Outcome signInAccountLocked(DEVAuthAccount& account, const std::string& provider,
                              std::shared_ptr<DEVAdditionalUserInfo> info,
                              std::shared_ptr<DEVAuthCredential> credential,
                              std::optional<std::string> secondFactor, Delivery* delivery);
  // The identity a federated credential proves, or the error to fail with.
  std::optional<DEVAuthProviderIdentity> identityOfLocked(const DEVAuthCredential& credential,
                                                          fnd::Error* error);
  Outcome signInWithCredentialLocked(const std::shared_ptr<DEVAuthCredential>& credential,
                                     Delivery* delivery);
  void refreshUserLocked(DEVUser& user);
  void sendEmailLocked(const std::string& email, int64_t operation, ActionCode code,
                       const std::shared_ptr<DEVActionCodeSettings>& settings);
  void signOutLocked(Delivery* delivery);
  // The call of one listener with `user`, skipped if the listener is removed by then.
  std::function<void()> listenerCallLocked(uint64_t id, const Listener& listener,
                                           std::shared_ptr<DEVUser> user);
  std::shared_ptr<ListenerHandle> addListener(Listener listener, bool idToken);

  // DEVUser and multi-factor operations.
  void userDelete(const std::shared_ptr<DEVUser>& user, DEVAuthVoidCallback completion);
  void userToken(const std::shared_ptr<DEVUser>& user, bool force,
                 DEVUser::TokenCallback completion);
  void userLink(const std::shared_ptr<DEVUser>& user,
                const std::shared_ptr<DEVAuthCredential>& credential,
                DEVAuthDataResultCallback completion);
  void userReauthenticate(const std::shared_ptr<DEVUser>& user,
                          const std::shared_ptr<DEVAuthCredential>& credential,
                          DEVAuthDataResultCallback completion);
  void userReload(const std::shared_ptr<DEVUser>& user, DEVAuthVoidCallback completion);
  void userSendVerification(const std::shared_ptr<DEVUser>& user,
                            std::optional<std::string> newEmail,
                            const std::shared_ptr<DEVActionCodeSettings>& settings,
                            DEVAuthVoidCallback completion);
  void userUnlink(const std::shared_ptr<DEVUser>& user, const std::string& provider,
                  DEVUser::UserCallback completion);
  void userUpdate(const std::shared_ptr<DEVUser>& user, const char* operation,
                  std::function<std::optional<fnd::Error>(DEVAuthAccount&)> change,
                  DEVAuthVoidCallback completion);
  void multiFactorSession(const std::shared_ptr<DEVUser>& user,
                          DEVMultiFactor::SessionCallback completion);
  void multiFactorEnroll(const std::shared_ptr<DEVUser>& user,
                         const std::shared_ptr<DEVMultiFactorAssertion>& assertion,
                         std::optional<std::string> displayName, DEVAuthVoidCallback completion);
  void multiFactorUnenroll(const std::shared_ptr<DEVUser>& user, const std::string& factorUID,
                           DEVAuthVoidCallback completion);
  void resolve(const std::shared_ptr<DEVMultiFactorSession>& session,
               const std::shared_ptr<DEVMultiFactorAssertion>& assertion,
               DEVAuthDataResultCallback completion);
  void generateSecret(const std::shared_ptr<DEVMultiFactorSession>& session,
                      DEVTOTPMultiFactorGenerator::SecretCallback completion);
  void recordOpenedOTPURL(const std::string& url);

  // Constant after construction.
  const std::shared_ptr<DAVOdu> app_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::optional<std::string> tenantID_;
  std::optional<std::string> customAuthDomain_;
  std::optional<std::string> languageCode_;
  std::optional<std::pair<std::string, int64_t>> emulator_;
  std::optional<std::string> userAccessGroup_;
  std::shared_ptr<DEVUser> currentUser_;
  std::map<std::string, DEVAuthAccount> accounts_;
  std::map<std::string, ProviderToken> providerTokens_;  // Token -> identity.
  std::map<std::string, std::string> customTokens_;      // Token -> uid.
  std::map<std::string, ActionCode> actionCodes_;
  std::vector<DEVAuthSentEmail> sentEmails_;
  std::vector<std::string> revokedCodes_;
  std::vector<ListenerEntry> listeners_;
  std::map<std::string, std::string> enrollmentSessions_;  // Session id -> uid.
  std::map<std::string, PendingSignIn> pendingSignIns_;    // Session id -> sign-in.
  std::map<std::string, std::string> secrets_;             // Secret key -> session id.
  std::shared_ptr<DEVAuthCredential> lastCredential_;
  uint64_t counter_ = 0;
};

// Test hooks of the SDK stand-in, process-wide.
class DEVAuthTesting {
 public:
  // Where completions and listener calls run; null restores the main queue.
  static void setCallbackQueue(std::shared_ptr<dispatch::Queue> queue);
  // The next call of `operation` fails with `error` (faults queue up per operation). Operations:
  // "applyActionCode", "checkActionCode", "confirmPasswordReset", "verifyPasswordResetCode",
  // "createUser", "signInAnonymously", "signInWithCredential", "signInWithCustomToken",
  // "signInWithEmail", "signInWithEmailLink", "signOut", "fetchSignInMethods",
  // "sendPasswordReset", "sendSignInLink", "revokeToken", "useUserAccessGroup", "delete",
  // "getIDToken", "link", "reauthenticate", "reload", "sendEmailVerification", "unlink",
  // "updateEmail", "updatePassword", "commitProfileChanges", "getSession", "enroll", "unenroll",
  // "resolveSignIn", "generateSecret", "gameCenterCredential".
  static void failNext(std::string operation, fnd::Error error);
  // The local Game Center player; nullopt: nobody is signed in to Game Center.
  static void setGameCenterPlayer(std::optional<std::string> playerID);
  // The code a TOTP authenticator shows for the secret key at a wall time (seconds since 1970).
  static std::string totpCode(const std::string& secretKey, double wallTime);
  // The URLs handed to the authenticator app, in order.
  static std::vector<std::string> openedOTPURLs();
  // Forgets every instance, fault, player and URL; restores the main queue.
  static void resetForTesting();

  // Internal to the SDK.
  static std::optional<fnd::Error> takeFault(const std::string& operation);
  static std::shared_ptr<dispatch::Queue> callbackQueue();
  static std::optional<std::string> gameCenterPlayer();
  static void recordOpenedOTPURL(std::string url);
};

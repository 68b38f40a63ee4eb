// RVISignIn: the Rivado sign-in SDK, simulated in memory. It keeps the configuration, the current
// user and the stored previous sign-in (the keychain item of the real SDK, here kept in memory),
// runs interactive sign-ins and consent flows, refreshes tokens and disconnects.
//
// No browser exists here: what the user does in an interactive flow is scripted by the test
// hooks. An interactive sign-in signs in the next account queued with queueAccountForTesting, or
// answers kRVISignInErrorCodeCanceled (the user closed the flow) when none is queued. A consent
// flow grants each new scope that the consent hook accepts (all by default). Tokens are
// deterministic ("rvi-id.<user>.<n>", "rvi-at.<user>.<n>", "rvi-sac.<user>.<n>") and live an hour
// on the SDK's clock. Faults and exceptions are injected per operation.
//
// Programmer errors raise RVIException (named like the platform's exceptions) from the calling
// thread, before anything starts: an interactive sign-in without a configuration or without a
// presenting window, a consent flow without a window.
//
// Thread safety: every method may be called from any thread. Completions run on the callback
// queue given at creation (the main queue by default), never on the calling thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/vendor/signin/configuration.h"
#include "platform/vendor/signin/rivado_user.h"

namespace appkit {
class Window;
}

// The SDK's error domain and codes.
inline constexpr const char* kRVISignInErrorDomain = "com.rivado.RVISignIn";
inline constexpr int64_t kRVISignInErrorCodeUnknown = -1;
inline constexpr int64_t kRVISignInErrorCodeKeychain = -2;
inline constexpr int64_t kRVISignInErrorCodeHasNoAuthInKeychain = -4;
inline constexpr int64_t kRVISignInErrorCodeCanceled = -5;
inline constexpr int64_t kRVISignInErrorCodeEMM = -6;
inline constexpr int64_t kRVISignInErrorCodeScopesAlreadyGranted = -8;
inline constexpr int64_t kRVISignInErrorCodeMismatchWithCurrentUser = -9;

// The name of the exception raised for a programmer error.
inline constexpr const char* kRVIInvalidArgumentException = "NSInvalidArgumentException";

// An exception of the SDK: a name and a reason.
class RVIException : public std::exception {
 public:
  RVIException(std::string name, std::string reason)
      : name_(std::move(name)), reason_(std::move(reason)) {}
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
};

// An account a test scripts as the one the user picks in an interactive flow, or as the one the
// keychain remembers from an earlier run.
struct RVITestAccount {
  std::string userID;
  std::string email;
  std::string name;
  std::optional<std::string> imageURL;  // None: the account has no picture.
  // Scopes granted on top of the basic ones ("openid", "profile", "email").
  std::vector<std::string> grantedScopes;
};

class RVISignIn : public std::enable_shared_from_this<RVISignIn> {
 public:
  using SignInCompletion = RVIRivadoUser::ResultCompletion;
  using UserCompletion = RVIRivadoUser::UserCompletion;
  using ErrorCompletion = std::function<void(const std::optional<fnd::Error>& error)>;

  // What faults and exceptions can be injected into.
  enum class Operation { kSignIn, kRestore, kRefreshTokens, kAddScopes, kDisconnect };

  // What the last interactive sign-in was started with.
  struct SignInRequest {
    RVIConfiguration configuration;
    std::optional<std::string> hint;
    std::vector<std::string> additionalScopes;
  };

  // The scopes every sign-in grants.
  static const std::vector<std::string>& basicScopes();
  // Access tokens older than this many seconds before their expiry are refreshed.
  static constexpr double kTokenRefreshMargin = 300;
  static constexpr double kTokenLifetime = 3600;

  // The process's SDK, made on first use, with the main queue and the current clock.
  static std::shared_ptr<RVISignIn> sharedInstance();
  // A fresh SDK: completions on `callbackQueue` (the main queue when null), time from `clock`
  // (Clock::current() at each use when null).
  static std::shared_ptr<RVISignIn> create(std::shared_ptr<dispatch::Queue> callbackQueue = nullptr,
                                           std::shared_ptr<dispatch::Clock> clock = nullptr);
  RVISignIn(std::shared_ptr<dispatch::Queue> callbackQueue, std::shared_ptr<dispatch::Clock> clock);
  RVISignIn(const RVISignIn&) = delete;
  RVISignIn& operator=(const RVISignIn&) = delete;

  std::optional<RVIConfiguration> configuration() const;
  void setConfiguration(std::optional<RVIConfiguration> configuration);

  // The signed-in user, or null.
  std::shared_ptr<RVIRivadoUser> currentUser() const;
  // Whether a sign-in is stored that restorePreviousSignInWithCompletion can bring back.
  bool hasPreviousSignIn() const;

  // Makes the stored sign-in the current user, with fresh tokens and no server auth code. Answers
  // kRVISignInErrorCodeHasNoAuthInKeychain when none is stored.
  void restorePreviousSignInWithCompletion(UserCompletion completion);

  // Runs an interactive sign-in over `presentingWindow` asking for the basic scopes and
  // `additionalScopes`. Success makes the user current and stores the sign-in. Throws
  // RVIException without a configuration or a window.
  void signInWithPresentingWindow(const std::shared_ptr<appkit::Window>& presentingWindow,
                                  const std::optional<std::string>& hint,
                                  const std::vector<std::string>& additionalScopes,
                                  SignInCompletion completion);

  // Forgets the current user and the stored sign-in. Tokens stay valid at the server.
  void signOut();
  // Revokes the tokens and signs out; on an error nothing changes.
  void disconnectWithCompletion(ErrorCompletion completion);

  // Whether `url` is a redirect of this SDK: its scheme is the configuration's client ID with
  // its dot-separated parts reversed.
  bool handleURL(const std::string& url);

  // Test hooks.
  void queueAccountForTesting(RVITestAccount account);
  void setPreviousSignInForTesting(std::optional<RVITestAccount> account);
  // The next call of `operation` fails with `error` (faults queue up per operation).
  void failNext(Operation operation, fnd::Error error);
  // The next call of `operation` raises `exception` from the calling thread.
  void raiseNext(Operation operation, RVIException exception);
  // Which new scopes the user accepts in a consent flow; null accepts all.
  void setScopeConsentForTesting(std::function<bool(const std::string& scope)> accepts);
  std::optional<SignInRequest> lastSignInRequest() const;
  // Tokens revoked by disconnect, in order.
  std::vector<std::string> revokedTokens() const;

 private:
  friend class RVIRivadoUser;

  void refreshTokens(const std::shared_ptr<RVIRivadoUser>& user, UserCompletion completion);
  void addScopes(const std::shared_ptr<RVIRivadoUser>& user, const std::vector<std::string>& scopes,
                 const std::shared_ptr<appkit::Window>& presentingWindow,
                 RVIRivadoUser::ResultCompletion completion);

  // Throws the injected exception of `operation`, if any. REQUIRES: mu_ not held.
  void raiseInjected(Operation operation);
  // The injected fault of the next `operation`, if any. REQUIRES: mu_ held.
  std::optional<fnd::Error> takeFaultLocked(Operation operation);
  // A user for `account` with fresh tokens. REQUIRES: mu_ held.
  std::shared_ptr<RVIRivadoUser> makeUserLocked(const RVITestAccount& account);
  // Fresh tokens for `userID`. REQUIRES: mu_ held.
  RVIToken newTokenLocked(const char* kind, const std::string& userID);
  double now() const;
  void post(std::function<void()> block);

  // Constant after construction.
  const std::shared_ptr<dispatch::Queue> callbackQueue_;
  const std::shared_ptr<dispatch::Clock> clock_;  // May be null: Clock::current().

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::optional<RVIConfiguration> configuration_;
  std::shared_ptr<RVIRivadoUser> currentUser_;
  std::optional<RVITestAccount> previousSignIn_;  // The stored sign-in, scopes kept current.
  std::vector<RVITestAccount> accounts_;          // Picked by the next interactive sign-ins.
  std::map<Operation, std::vector<fnd::Error>> faults_;
  std::map<Operation, std::vector<RVIException>> exceptions_;
  std::function<bool(const std::string&)> consent_;
  std::optional<SignInRequest> lastRequest_;
  std::vector<std::string> revoked_;
  uint64_t tokenCounter_ = 0;
};

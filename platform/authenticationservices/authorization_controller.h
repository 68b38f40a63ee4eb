// AuthenticationServices, as far as Sign in with Apple needs it: Apple ID requests with scopes
// and a nonce, the controller that performs them over a presentation anchor, and the credential
// or error it reports to its delegate.
//
// There is no system sheet: what the user does with it is scripted through
// ASAuthorizationTesting. A performed request is answered on the main queue: by the responder a
// test installed, else as if the user closed the sheet (ASAuthorizationErrorCanceled). While
// requests are held they wait for releaseHeldRequests. A controller answers its delegate once;
// a delegate or provider that is gone by then hears nothing.
//
// Thread safety: requests and controllers are made and performed on the main thread; the test
// hooks may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/person_name_components.h"
#include "platform/foundation/value.h"

namespace appkit {
class Window;
}

inline constexpr const char* ASAuthorizationErrorDomain = "ASAuthorizationErrorDomain";

enum ASAuthorizationErrorCode : int64_t {
  ASAuthorizationErrorUnknown = 1000,
  ASAuthorizationErrorCanceled = 1001,
  ASAuthorizationErrorInvalidResponse = 1002,
  ASAuthorizationErrorNotHandled = 1003,
  ASAuthorizationErrorFailed = 1004,
  ASAuthorizationErrorNotInteractive = 1005,
};

// Scopes of an Apple ID request.
inline constexpr const char* ASAuthorizationScopeFullName = "full_name";
inline constexpr const char* ASAuthorizationScopeEmail = "email";

class ASAuthorizationRequest {
 public:
  virtual ~ASAuthorizationRequest() = default;
};

class ASAuthorizationAppleIDRequest : public ASAuthorizationRequest {
 public:
  const std::vector<std::string>& requestedScopes() const { return requestedScopes_; }
  void setRequestedScopes(std::vector<std::string> scopes) { requestedScopes_ = std::move(scopes); }
  const std::optional<std::string>& nonce() const { return nonce_; }
  void setNonce(std::optional<std::string> nonce) { nonce_ = std::move(nonce); }

 private:
  std::vector<std::string> requestedScopes_;
  std::optional<std::string> nonce_;
};

class ASAuthorizationAppleIDProvider {
 public:
  std::shared_ptr<ASAuthorizationAppleIDRequest> createRequest() const {
    return std::make_shared<ASAuthorizationAppleIDRequest>();
  }
};

class ASAuthorizationCredential {
 public:
  virtual ~ASAuthorizationCredential() = default;
};

// What Sign in with Apple hands back. The tokens are bytes (UTF-8 text when well formed).
class ASAuthorizationAppleIDCredential : public ASAuthorizationCredential {
 public:
  struct Fields {
    std::string user;
    std::optional<fnd::Data> identityToken;
    std::optional<fnd::Data> authorizationCode;
    std::optional<fnd::PersonNameComponents> fullName;
    std::optional<std::string> email;
    std::vector<std::string> authorizedScopes;
  };
  explicit ASAuthorizationAppleIDCredential(Fields fields) : fields_(std::move(fields)) {}
  const std::string& user() const { return fields_.user; }
  const std::optional<fnd::Data>& identityToken() const { return fields_.identityToken; }
  const std::optional<fnd::Data>& authorizationCode() const { return fields_.authorizationCode; }
  const std::optional<fnd::PersonNameComponents>& fullName() const { return fields_.fullName; }
  const std::optional<std::string>& email() const { return fields_.email; }
  const std::vector<std::string>& authorizedScopes() const { return fields_.authorizedScopes; }

 private:
  const Fields fields_;
};

// A saved password picked instead of an Apple ID.
class ASPasswordCredential : public ASAuthorizationCredential {
 public:
  ASPasswordCredential(std::string user, std::string password)
      : user_(std::move(user)), password_(std::move(password)) {}
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }

 private:
  const std::string user_;
  const std::string password_;
};

class ASAuthorization {
 public:
  explicit ASAuthorization(std::shared_ptr<ASAuthorizationCredential> credential)
      : credential_(std::move(credential)) {}
  const std::shared_ptr<ASAuthorizationCredential>& credential() const { return credential_; }

 private:
  const std::shared_ptr<ASAuthorizationCredential> credential_;
};

class ASAuthorizationController;

class ASAuthorizationControllerDelegate {
 public:
  virtual ~ASAuthorizationControllerDelegate() = default;
  virtual void authorizationControllerDidCompleteWithAuthorization(
      ASAuthorizationController& controller, const ASAuthorization& authorization) = 0;
  virtual void authorizationControllerDidCompleteWithError(ASAuthorizationController& controller,
                                                           const fnd::Error& error) = 0;
};

class ASAuthorizationControllerPresentationContextProviding {
 public:
  virtual ~ASAuthorizationControllerPresentationContextProviding() = default;
  // The window the sheet is shown over; null when there is none.
  virtual std::shared_ptr<appkit::Window> presentationAnchorForAuthorizationController(
      ASAuthorizationController& controller) = 0;
};

class ASAuthorizationController : public std::enable_shared_from_this<ASAuthorizationController> {
 public:
  static std::shared_ptr<ASAuthorizationController> initWithAuthorizationRequests(
      std::vector<std::shared_ptr<ASAuthorizationRequest>> requests);

  const std::vector<std::shared_ptr<ASAuthorizationRequest>>& authorizationRequests() const {
    return requests_;
  }
  // Kept weakly, as the platform does.
  void setDelegate(std::weak_ptr<ASAuthorizationControllerDelegate> delegate);
  void setPresentationContextProvider(
      std::weak_ptr<ASAuthorizationControllerPresentationContextProviding> provider);

  // Shows the sheet; the answer comes later, on the main queue. A controller performs once.
  void performRequests();

  explicit ASAuthorizationController(std::vector<std::shared_ptr<ASAuthorizationRequest>> requests)
      : requests_(std::move(requests)) {}

 private:
  friend class ASAuthorizationTesting;
  // Asks the responder and tells the delegate. Main queue.
  void answer();

  const std::vector<std::shared_ptr<ASAuthorizationRequest>> requests_;
  std::mutex mu_;
  // Guarded by mu_.
  std::weak_ptr<ASAuthorizationControllerDelegate> delegate_;
  std::weak_ptr<ASAuthorizationControllerPresentationContextProviding> provider_;
  bool performed_ = false;
};

// What the user does with the sheet, as a test scripts it.
class ASAuthorizationTesting {
 public:
  // The credential picked, or the error the sheet ends with.
  using Outcome = std::variant<std::shared_ptr<ASAuthorizationCredential>, fnd::Error>;
  // Called with the Apple ID request shown and the presentation anchor (null when the provider
  // gave none).
  using Responder = std::function<Outcome(const ASAuthorizationAppleIDRequest& request,
                                          const std::shared_ptr<appkit::Window>& anchor)>;

  // Null restores the default: the user closes the sheet (canceled).
  static void setResponder(Responder responder);
  // While held, performed requests wait for releaseHeldRequests, which answers them in order.
  static void holdRequests(bool hold);
  static void releaseHeldRequests();
  // Apple ID requests performed so far, in order (copies of what they asked for).
  static std::vector<ASAuthorizationAppleIDRequest> performedRequests();
  // An error of ASAuthorizationErrorDomain.
  static fnd::Error error(int64_t code);
  // An Apple ID credential whose tokens are the UTF-8 bytes of the given texts.
  static std::shared_ptr<ASAuthorizationAppleIDCredential> appleIDCredential(
      std::string user, std::optional<std::string> identityToken,
      std::optional<std::string> authorizationCode,
      std::optional<fnd::PersonNameComponents> fullName = std::nullopt,
      std::optional<std::string> email = std::nullopt);
  // Forgets the responder, held and performed requests.
  static void resetForTesting();

 private:
  friend class ASAuthorizationController;
  static void perform(std::shared_ptr<ASAuthorizationController> controller);
};

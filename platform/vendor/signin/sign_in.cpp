#include "platform/vendor/signin/sign_in.h"

#include <algorithm>
#include <utility>

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

void AppendMissing(std::vector<std::string>& list, const std::vector<std::string>& items) {
  for (const std::string& item : items) {
    if (!Contains(list, item)) list.push_back(item);
  }
}

fnd::Error SignInError(int64_t code, std::string description) {
  return fnd::Error::withDescription(kRVISignInErrorDomain, code, std::move(description));
}

// The domain part of an e-mail address, lower-cased.
std::string EmailDomain(const std::string& email) {
  size_t at = email.rfind('@');
  std::string domain = at == std::string::npos ? std::string() : email.substr(at + 1);
  std::transform(domain.begin(), domain.end(), domain.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return domain;
}

}  // namespace

const std::vector<std::string>& RVISignIn::basicScopes() {
  static const std::vector<std::string> scopes = {"openid", "profile", "email"};
  return scopes;
}

std::shared_ptr<RVISignIn> RVISignIn::sharedInstance() {
  static const std::shared_ptr<RVISignIn>& instance = *new std::shared_ptr<RVISignIn>(create());
  return instance;
}

std::shared_ptr<RVISignIn> RVISignIn::create(std::shared_ptr<dispatch::Queue> callbackQueue,
                                             std::shared_ptr<dispatch::Clock> clock) {
  return std::make_shared<RVISignIn>(std::move(callbackQueue), std::move(clock));
}

RVISignIn::RVISignIn(std::shared_ptr<dispatch::Queue> callbackQueue,
                     std::shared_ptr<dispatch::Clock> clock)
    : callbackQueue_(callbackQueue ? std::move(callbackQueue) : dispatch::Queue::main()),
      clock_(std::move(clock)) {}

std::optional<RVIConfiguration> RVISignIn::configuration() const {
  std::lock_guard<std::mutex> lock(mu_);
  return configuration_;
}

void RVISignIn::setConfiguration(std::optional<RVIConfiguration> configuration) {
  std::lock_guard<std::mutex> lock(mu_);
  configuration_ = std::move(configuration);
}

std::shared_ptr<RVIRivadoUser> RVISignIn::currentUser() const {
  std::lock_guard<std::mutex> lock(mu_);
  return currentUser_;
}

bool RVISignIn::hasPreviousSignIn() const {
  std::lock_guard<std::mutex> lock(mu_);
  return previousSignIn_.has_value();
}

void RVISignIn::restorePreviousSignInWithCompletion(UserCompletion completion) {
  raiseInjected(Operation::kRestore);
  std::shared_ptr<RVIRivadoUser> user;
  std::optional<fnd::Error> error;
  {
    std::lock_guard<std::mutex> lock(mu_);
    error = takeFaultLocked(Operation::kRestore);
    if (!error && !previousSignIn_) {
      error = SignInError(kRVISignInErrorCodeHasNoAuthInKeychain,
                          "The user has never signed in before, or they have since signed out.");
    }
    if (!error) {
      user = makeUserLocked(*previousSignIn_);
      currentUser_ = user;
    }
  }
  post([completion = std::move(completion), user, error] {
    if (completion) completion(user, error);
  });
}

void RVISignIn::signInWithPresentingWindow(const std::shared_ptr<appkit::Window>& presentingWindow,
                                           const std::optional<std::string>& hint,
                                           const std::vector<std::string>& additionalScopes,
                                           SignInCompletion completion) {
  std::optional<RVIConfiguration> configuration = this->configuration();
  if (!configuration) {
    throw RVIException(kRVIInvalidArgumentException,
                       "No active configuration. Make sure a client ID is set.");
  }
  if (!presentingWindow) {
    throw RVIException(kRVIInvalidArgumentException, "presentingWindow must be set.");
  }
  raiseInjected(Operation::kSignIn);

  std::optional<RVISignInResult> result;
  std::optional<fnd::Error> error;
  {
    std::lock_guard<std::mutex> lock(mu_);
    lastRequest_ = SignInRequest{*configuration, hint, additionalScopes};
    error = takeFaultLocked(Operation::kSignIn);
    if (!error && accounts_.empty()) {
      error = SignInError(kRVISignInErrorCodeCanceled, "The user canceled the sign-in flow.");
    }
    if (!error) {
      RVITestAccount account = accounts_.front();
      accounts_.erase(accounts_.begin());
      const std::optional<std::string>& domain = configuration->hostedDomain();
      if (domain && EmailDomain(account.email) != EmailDomain("@" + *domain)) {
        error = SignInError(kRVISignInErrorCodeUnknown,
                            "The account does not belong to the hosted domain " + *domain + ".");
      } else {
        for (const std::string& scope : additionalScopes) {
          if (Contains(basicScopes(), scope) || Contains(account.grantedScopes, scope)) continue;
          if (!consent_ || consent_(scope)) account.grantedScopes.push_back(scope);
        }
        result = RVISignInResult{makeUserLocked(account), std::nullopt};
        if (configuration->serverClientID()) {
          result->serverAuthCode = newTokenLocked("rvi-sac", account.userID).tokenString();
        }
        currentUser_ = result->user;
        previousSignIn_ = account;
      }
    }
  }
  post([completion = std::move(completion), result, error] {
    if (completion) completion(result, error);
  });
}

void RVISignIn::signOut() {
  std::lock_guard<std::mutex> lock(mu_);
  currentUser_.reset();
  previousSignIn_.reset();
}

void RVISignIn::disconnectWithCompletion(ErrorCompletion completion) {
  raiseInjected(Operation::kDisconnect);
  std::optional<fnd::Error> error;
  {
    std::lock_guard<std::mutex> lock(mu_);
    error = takeFaultLocked(Operation::kDisconnect);
    if (!error) {
      if (currentUser_) revoked_.push_back(currentUser_->accessToken().tokenString());
      currentUser_.reset();
      previousSignIn_.reset();
    }
  }
  post([completion = std::move(completion), error] {
    if (completion) completion(error);
  });
}

bool RVISignIn::handleURL(const std::string& url) {
  std::optional<RVIConfiguration> configuration = this->configuration();
  if (!configuration || configuration->clientID().empty()) return false;
  // "123-abc.apps.example.com" redirects to "com.example.apps.123-abc:/...".
  std::vector<std::string> parts;
  const std::string& id = configuration->clientID();
  for (size_t start = 0;;) {
    size_t dot = id.find('.', start);
    parts.push_back(id.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  std::string scheme;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (!scheme.empty()) scheme += '.';
    scheme += *it;
  }
  size_t colon = url.find(':');
  if (colon == std::string::npos) return false;
  std::string urlScheme = url.substr(0, colon);
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
  };
  return lower(urlScheme) == lower(scheme);
}

void RVISignIn::refreshTokens(const std::shared_ptr<RVIRivadoUser>& user,
                              UserCompletion completion) {
  raiseInjected(Operation::kRefreshTokens);
  std::optional<fnd::Error> error;
  {
    std::lock_guard<std::mutex> lock(mu_);
    error = takeFaultLocked(Operation::kRefreshTokens);
    if (!error && user->accessToken().expirationDate() - now() < kTokenRefreshMargin) {
      const std::string id = user->userID().value_or("");
      std::optional<RVIToken> idToken;
      if (user->idToken()) idToken = newTokenLocked("rvi-id", id);
      user->setTokens(std::move(idToken), newTokenLocked("rvi-at", id));
    }
  }
  post([completion = std::move(completion), user, error] {
    if (completion) completion(error ? nullptr : user, error);
  });
}

void RVISignIn::addScopes(const std::shared_ptr<RVIRivadoUser>& user,
                          const std::vector<std::string>& scopes,
                          const std::shared_ptr<appkit::Window>& presentingWindow,
                          RVIRivadoUser::ResultCompletion completion) {
  if (!presentingWindow) {
    throw RVIException(kRVIInvalidArgumentException, "presentingWindow must be set.");
  }
  raiseInjected(Operation::kAddScopes);
  std::optional<fnd::Error> fault;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fault = takeFaultLocked(Operation::kAddScopes);
  }
  // The consent flow ends later; whoever is current by then decides.
  post([self = shared_from_this(), user, scopes, fault, completion = std::move(completion)] {
    std::optional<RVISignInResult> result;
    std::optional<fnd::Error> error = fault;
    {
      std::lock_guard<std::mutex> lock(self->mu_);
      std::vector<std::string> granted = user->grantedScopes();
      std::vector<std::string> fresh;
      for (const std::string& scope : scopes) {
        if (!Contains(granted, scope) && !Contains(fresh, scope)) fresh.push_back(scope);
      }
      if (!error && self->currentUser_ != user) {
        error = SignInError(kRVISignInErrorCodeMismatchWithCurrentUser,
                            "The current user does not match the user who asked for scopes.");
      }
      if (!error && fresh.empty()) {
        error = SignInError(kRVISignInErrorCodeScopesAlreadyGranted,
                            "The requested scopes have already been granted to the current user.");
      }
      if (!error) {
        std::vector<std::string> accepted;
        for (const std::string& scope : fresh) {
          if (!self->consent_ || self->consent_(scope)) accepted.push_back(scope);
        }
        user->addGrantedScopes(accepted);
        if (self->previousSignIn_) AppendMissing(self->previousSignIn_->grantedScopes, accepted);
        result = RVISignInResult{user, std::nullopt};
      }
    }
    if (completion) completion(result, error);
  });
}

void RVISignIn::queueAccountForTesting(RVITestAccount account) {
  std::lock_guard<std::mutex> lock(mu_);
  accounts_.push_back(std::move(account));
}

void RVISignIn::setPreviousSignInForTesting(std::optional<RVITestAccount> account) {
  std::lock_guard<std::mutex> lock(mu_);
  previousSignIn_ = std::move(account);
}

void RVISignIn::failNext(Operation operation, fnd::Error error) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_[operation].push_back(std::move(error));
}

void RVISignIn::raiseNext(Operation operation, RVIException exception) {
  std::lock_guard<std::mutex> lock(mu_);
  exceptions_[operation].push_back(std::move(exception));
}

void RVISignIn::setScopeConsentForTesting(std::function<bool(const std::string&)> accepts) {
  std::lock_guard<std::mutex> lock(mu_);
  consent_ = std::move(accepts);
}

std::optional<RVISignIn::SignInRequest> RVISignIn::lastSignInRequest() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastRequest_;
}

std::vector<std::string> RVISignIn::revokedTokens() const {
  std::lock_guard<std::mutex> lock(mu_);
  return revoked_;
}

void RVISignIn::raiseInjected(Operation operation) {
  std::optional<RVIException> exception;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = exceptions_.find(operation);
    if (it == exceptions_.end() || it->second.empty()) return;
    exception = it->second.front();
    it->second.erase(it->second.begin());
  }
  throw *exception;
}

std::optional<fnd::Error> RVISignIn::takeFaultLocked(Operation operation) {
  auto it = faults_.find(operation);
  if (it == faults_.end() || it->second.empty()) return std::nullopt;
  fnd::Error error = it->second.front();
  it->second.erase(it->second.begin());
  return error;
}

std::shared_ptr<RVIRivadoUser> RVISignIn::makeUserLocked(const RVITestAccount& account) {
  std::vector<std::string> scopes = basicScopes();
  AppendMissing(scopes, account.grantedScopes);
  auto profile = std::make_shared<RVIProfileData>(account.email, account.name, account.imageURL);
  return std::make_shared<RVIRivadoUser>(
      weak_from_this(), account.userID, std::move(profile), std::move(scopes),
      newTokenLocked("rvi-id", account.userID), newTokenLocked("rvi-at", account.userID));
}

RVIToken RVISignIn::newTokenLocked(const char* kind, const std::string& userID) {
  ++tokenCounter_;
  return RVIToken(std::string(kind) + "." + userID + "." + std::to_string(tokenCounter_),
                  now() + kTokenLifetime);
}

double RVISignIn::now() const { return (clock_ ? clock_ : dispatch::Clock::current())->wallTime(); }

void RVISignIn::post(std::function<void()> block) { callbackQueue_->async(std::move(block)); }

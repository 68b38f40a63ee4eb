#include "platform/vendor/auth/auth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <utility>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/locale.h"
#include "platform/security/digest.h"
#include "platform/security/hex.h"

namespace {

// Process-wide state of the SDK stand-in.
struct Registry {
  std::mutex mu;
  // Guarded by mu.
  std::map<std::string, std::shared_ptr<DEVAuth>> instances;
  std::shared_ptr<dispatch::Queue> callbackQueue;
  std::map<std::string, std::deque<fnd::Error>> faults;
  std::optional<std::string> gameCenterPlayer;
  std::vector<std::string> openedURLs;
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

bool IsValidEmail(const std::string& email) {
  size_t at = email.find('@');
  return at != std::string::npos && at > 0 && at + 1 < email.size() &&
         email.find('@', at + 1) == std::string::npos && email.find(' ') == std::string::npos;
}

constexpr size_t kMinimumPasswordLength = 6;

const char* ModeOf(int64_t operation) {
  switch (operation) {
    case DEVActionCodeOperationPasswordReset:
      return "resetPassword";
    case DEVActionCodeOperationVerifyEmail:
      return "verifyEmail";
    case DEVActionCodeOperationRecoverEmail:
      return "recoverEmail";
    case DEVActionCodeOperationEmailLink:
      return "signIn";
    case DEVActionCodeOperationVerifyAndChangeEmail:
      return "verifyAndChangeEmail";
    case DEVActionCodeOperationRevertSecondFactorAddition:
      return "revertSecondFactorAddition";
    default:
      return "unknown";
  }
}

// The value of "oobCode=" in a link, or "".
std::string OobCodeOf(const std::string& link) {
  static const std::string kKey = "oobCode=";
  size_t start = link.find(kKey);
  if (start == std::string::npos) return "";
  if (start > 0 && link[start - 1] != '?' && link[start - 1] != '&') return "";
  start += kKey.size();
  size_t end = link.find_first_of("&#", start);
  return link.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::optional<std::string> FullNameText(const std::optional<fnd::PersonNameComponents>& name) {
  if (!name) return std::nullopt;
  std::string text;
  for (const auto* part : {&name->givenName, &name->middleName, &name->familyName}) {
    if (!*part || (*part)->empty()) continue;
    if (!text.empty()) text += ' ';
    text += **part;
  }
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace

// ---- DEVAuthTesting ----

void DEVAuthTesting::setCallbackQueue(std::shared_ptr<dispatch::Queue> queue) {
  std::lock_guard lock(registry().mu);
  registry().callbackQueue = std::move(queue);
}

void DEVAuthTesting::failNext(std::string operation, fnd::Error error) {
  std::lock_guard lock(registry().mu);
  registry().faults[operation].push_back(std::move(error));
}

void DEVAuthTesting::setGameCenterPlayer(std::optional<std::string> playerID) {
  std::lock_guard lock(registry().mu);
  registry().gameCenterPlayer = std::move(playerID);
}

std::string DEVAuthTesting::totpCode(const std::string& secretKey, double wallTime) {
  auto step = static_cast<int64_t>(std::floor(wallTime / 30.0));
  fnd::Data digest = security::SHA256(secretKey + ":" + std::to_string(step));
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && i < digest.size(); ++i) value = (value << 8) | digest[i];
  char text[8];
  std::snprintf(text, sizeof(text), "%06u", value % 1000000u);
  return text;
}

std::vector<std::string> DEVAuthTesting::openedOTPURLs() {
  std::lock_guard lock(registry().mu);
  return registry().openedURLs;
}

void DEVAuthTesting::resetForTesting() {
  std::lock_guard lock(registry().mu);
  registry().instances.clear();
  registry().callbackQueue = nullptr;
  registry().faults.clear();
  registry().gameCenterPlayer.reset();
  registry().openedURLs.clear();
}

std::optional<fnd::Error> DEVAuthTesting::takeFault(const std::string& operation) {
  std::lock_guard lock(registry().mu);
  auto it = registry().faults.find(operation);
  if (it == registry().faults.end() || it->second.empty()) return std::nullopt;
  fnd::Error error = std::move(it->second.front());
  it->second.pop_front();
  return error;
}

std::shared_ptr<dispatch::Queue> DEVAuthTesting::callbackQueue() {
  std::lock_guard lock(registry().mu);
  return registry().callbackQueue ? registry().callbackQueue : dispatch::Queue::main();
}

std::optional<std::string> DEVAuthTesting::gameCenterPlayer() {
  std::lock_guard lock(registry().mu);
  return registry().gameCenterPlayer;
}

void DEVAuthTesting::recordOpenedOTPURL(std::string url) {
  std::lock_guard lock(registry().mu);
  registry().openedURLs.push_back(std::move(url));
}

// ---- DEVGameCenterAuthProvider ----

void DEVGameCenterAuthProvider::getCredentialWithCompletion(CredentialCallback completion) {
  std::shared_ptr<DEVAuthCredential> credential;
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("gameCenterCredential");
  if (!error) {
    if (auto player = DEVAuthTesting::gameCenterPlayer()) {
      credential = std::make_shared<DEVGameCenterAuthCredential>(*player);
    } else {
      error = DEVAuthError(DEVAuthErrorCodeGameCenterNotSignedIn);
    }
  }
  DEVAuthTesting::callbackQueue()->async([completion = std::move(completion), credential, error] {
    if (completion) completion(credential, error);
  });
}

// ---- DEVAuth: instances and properties ----

DEVAuth::DEVAuth(std::shared_ptr<DAVOdu> app) : app_(std::move(app)) {}

std::shared_ptr<DEVAuth> DEVAuth::auth() { return authWithApp(DAVOdu::defaultApp()); }

std::shared_ptr<DEVAuth> DEVAuth::authWithApp(const std::shared_ptr<DAVOdu>& app) {
  if (!app) return nullptr;
  std::lock_guard lock(registry().mu);
  auto& instance = registry().instances[app->name()];
  if (!instance || instance->app_ != app) instance.reset(new DEVAuth(app));
  return instance;
}

std::optional<std::string> DEVAuth::tenantID() const {
  std::lock_guard lock(mu_);
  return tenantID_;
}

void DEVAuth::setTenantID(std::optional<std::string> tenantID) {
  std::lock_guard lock(mu_);
  tenantID_ = std::move(tenantID);
}

std::optional<std::string> DEVAuth::customAuthDomain() const {
  std::lock_guard lock(mu_);
  return customAuthDomain_;
}

void DEVAuth::setCustomAuthDomain(std::optional<std::string> domain) {
  std::lock_guard lock(mu_);
  customAuthDomain_ = std::move(domain);
}

std::optional<std::string> DEVAuth::languageCode() const {
  std::lock_guard lock(mu_);
  return languageCode_;
}

void DEVAuth::setLanguageCode(std::optional<std::string> languageCode) {
  std::lock_guard lock(mu_);
  languageCode_ = std::move(languageCode);
}

void DEVAuth::useAppLanguage() {
  std::vector<std::string> languages = fnd::PreferredLanguages();
  std::lock_guard lock(mu_);
  languageCode_ = languages.empty() ? std::nullopt : std::optional<std::string>(languages[0]);
}

void DEVAuth::useEmulatorWithHost(std::string host, int64_t port) {
  std::lock_guard lock(mu_);
  emulator_ = std::make_pair(std::move(host), port);
}

std::optional<std::pair<std::string, int64_t>> DEVAuth::emulator() const {
  std::lock_guard lock(mu_);
  return emulator_;
}

bool DEVAuth::useUserAccessGroup(std::optional<std::string> group, fnd::Error* error) {
  if (auto fault = DEVAuthTesting::takeFault("useUserAccessGroup")) {
    return fnd::SetError(error, std::move(*fault));
  }
  std::lock_guard lock(mu_);
  userAccessGroup_ = std::move(group);
  return true;
}

std::optional<std::string> DEVAuth::userAccessGroup() const {
  std::lock_guard lock(mu_);
  return userAccessGroup_;
}

std::shared_ptr<DEVUser> DEVAuth::currentUser() const {
  std::lock_guard lock(mu_);
  return currentUser_;
}

// ---- DEVAuth: internals ----

void DEVAuth::post(std::function<void()> block) const {
  DEVAuthTesting::callbackQueue()->async(std::move(block));
}

void DEVAuth::deliver(Delivery delivery) {
  for (auto& block : delivery) post(std::move(block));
}

void DEVAuth::finish(DEVAuthDataResultCallback completion, Outcome outcome) const {
  post([completion = std::move(completion), outcome = std::move(outcome)] {
    if (completion) completion(outcome.first, outcome.second);
  });
}

void DEVAuth::finish(DEVAuthVoidCallback completion, std::optional<fnd::Error> error) const {
  post([completion = std::move(completion), error = std::move(error)] {
    if (completion) completion(error);
  });
}

double DEVAuth::now() const { return dispatch::Clock::current()->wallTime(); }

DEVAuthAccount* DEVAuth::findLocked(const std::string& uid) {
  auto it = accounts_.find(uid);
  return it == accounts_.end() ? nullptr : &it->second;
}

DEVAuthAccount* DEVAuth::findByEmailLocked(const std::string& email) {
  for (auto& [uid, account] : accounts_) {
    if (account.email && *account.email == email) return &account;
  }
  return nullptr;
}

DEVAuthAccount* DEVAuth::findByIdentityLocked(const std::string& providerID,
                                              const std::string& uid) {
  for (auto& [ignored, account] : accounts_) {
    for (const auto& identity : account.identities) {
      if (identity.providerID == providerID && identity.uid == uid) return &account;
    }
  }
  return nullptr;
}

std::string DEVAuth::newUIDLocked() {
  std::string uid;
  do {
    fnd::Data digest = security::SHA256(app_->name() + "/uid/" + std::to_string(++counter_));
    uid = security::HexString(std::span<const uint8_t>(digest.data(), 14));
  } while (accounts_.count(uid));
  return uid;
}

std::string DEVAuth::newCodeLocked(const char* prefix) {
  return std::string(prefix) + "-" + std::to_string(++counter_);
}

std::shared_ptr<DEVMultiFactorInfo> DEVAuth::factorInfoLocked(
    const DEVAuthAccount& /*account*/, const DEVAuthAccountFactor& factor) const {
  if (factor.factorID == DEVPhoneMultiFactorID) {
    return std::make_shared<DEVPhoneMultiFactorInfo>(
        factor.uid, factor.displayName, factor.enrollmentDate, factor.phoneNumber.value_or(""));
  }
  if (factor.factorID == DEVTOTPMultiFactorID) {
    return std::make_shared<DEVTOTPMultiFactorInfo>(factor.uid, factor.factorID, factor.displayName,
                                                    factor.enrollmentDate);
  }
  return std::make_shared<DEVMultiFactorInfo>(factor.uid, factor.factorID, factor.displayName,
                                              factor.enrollmentDate);
}

DEVUserState DEVAuth::stateLocked(const DEVAuthAccount& account) const {
  DEVUserState state;
  state.uid = account.uid;
  state.email = account.email;
  state.displayName = account.displayName;
  state.photoURL = account.photoURL;
  state.phoneNumber = account.phoneNumber;
  state.isAnonymous = account.anonymous;
  state.emailVerified = account.emailVerified;
  state.tenantID = account.tenantID;
  state.refreshToken = "zrt." + account.uid;
  state.metadata.creationDate = account.creationDate;
  if (account.lastSignInDate > 0) state.metadata.lastSignInDate = account.lastSignInDate;
  if (account.password && account.email) {
    state.providerData.push_back(std::make_shared<DEVUserInfo>(
        DEVUserInfo::Fields{DEVEmailAuthProviderID, account.email, account.displayName,
                            account.email, std::nullopt, account.photoURL}));
  }
  for (const auto& identity : account.identities) {
    state.providerData.push_back(std::make_shared<DEVUserInfo>(DEVUserInfo::Fields{
        identity.providerID, identity.uid.empty() ? std::nullopt : std::optional(identity.uid),
        identity.displayName, identity.email, identity.phoneNumber, identity.photoURL}));
  }
  for (const auto& factor : account.factors) {
    state.enrolledFactors.push_back(factorInfoLocked(account, factor));
  }
  return state;
}

std::shared_ptr<DEVAuthTokenResult> DEVAuth::newTokenLocked(const DEVAuthAccount& account,
                                                            const std::string& provider,
                                                            std::optional<std::string> secondFactor,
                                                            double authDate) {
  DEVAuthTokenResult::Fields fields;
  fields.token = "zid." + account.uid + "." + std::to_string(++counter_);
  fields.issuedAtDate = now();
  fields.expirationDate = fields.issuedAtDate + kTokenLifetime;
  fields.authDate = authDate;
  fields.signInProvider = provider;
  fields.signInSecondFactor = secondFactor;
  fnd::Dictionary zudiroru;
  zudiroru.set("sign_in_provider", provider);
  if (secondFactor) zudiroru.set("sign_in_second_factor", *secondFactor);
  if (account.tenantID) zudiroru.set("tenant", *account.tenantID);
  fields.claims.set("sub", account.uid);
  if (account.email) {
    fields.claims.set("email", *account.email);
    fields.claims.set("email_verified", account.emailVerified);
  }
  fields.claims.set("auth_time", static_cast<int64_t>(authDate));
  fields.claims.set("iat", static_cast<int64_t>(fields.issuedAtDate));
  fields.claims.set("exp", static_cast<int64_t>(fields.expirationDate));
  fields.claims.set("zudiroru", std::move(zudiroru));
  return std::make_shared<DEVAuthTokenResult>(std::move(fields));
}

void DEVAuth::setCurrentUserLocked(std::shared_ptr<DEVUser> user, bool tokenChanged,
                                   Delivery* delivery) {
  std::optional<std::string> before =
      currentUser_ ? std::optional(currentUser_->uid()) : std::nullopt;
  std::optional<std::string> after = user ? std::optional(user->uid()) : std::nullopt;
  bool stateChanged = before != after;
  currentUser_ = user;
  if (!stateChanged && !tokenChanged) return;
  for (const auto& entry : listeners_) {
    if (!entry.idToken && !stateChanged) continue;
    delivery->push_back(listenerCallLocked(entry.id, entry.listener, user));
  }
}

void DEVAuth::signOutLocked(Delivery* delivery) { setCurrentUserLocked(nullptr, true, delivery); }

DEVAuth::Outcome DEVAuth::signInAccountLocked(DEVAuthAccount& account, const std::string& provider,
                                              std::shared_ptr<DEVAdditionalUserInfo> info,
                                              std::shared_ptr<DEVAuthCredential> credential,
                                              std::optional<std::string> secondFactor,
                                              Delivery* delivery) {
  if (account.disabled) return {nullptr, DEVAuthError(DEVAuthErrorCodeUserDisabled)};
  if (!secondFactor && !account.factors.empty()) {
    std::string sessionID = newCodeLocked("mfa-signin");
    pendingSignIns_[sessionID] = PendingSignIn{account.uid, provider, info, credential};
    std::vector<std::shared_ptr<DEVMultiFactorInfo>> hints;
    for (const auto& factor : account.factors) hints.push_back(factorInfoLocked(account, factor));
    auto session = std::make_shared<DEVMultiFactorSession>(weak_from_this(), sessionID);
    fnd::Error error = DEVAuthError(DEVAuthErrorCodeSecondFactorRequired);
    error.mutableUserInfo().set(DEVAuthErrorUserInfoMultiFactorResolverKey,
                                fnd::Value(std::make_shared<DEVMultiFactorResolver>(
                                    weak_from_this(), std::move(hints), std::move(session))));
    return {nullptr, std::move(error)};
  }
  double time = now();
  account.lastSignInDate = time;
  auto user = std::make_shared<DEVUser>(weak_from_this(), stateLocked(account),
                                        newTokenLocked(account, provider, secondFactor, time));
  setCurrentUserLocked(user, true, delivery);
  return {std::make_shared<DEVAuthDataResult>(user, std::move(info), std::move(credential)),
          std::nullopt};
}

std::optional<DEVAuthProviderIdentity> DEVAuth::identityOfLocked(
    const DEVAuthCredential& credential, fnd::Error* error) {
  if (auto* gameCenter = dynamic_cast<const DEVGameCenterAuthCredential*>(&credential)) {
    DEVAuthProviderIdentity identity;
    identity.providerID = DEVGameCenterAuthProviderID;
    identity.uid = gameCenter->playerID();
    return identity;
  }
  auto* oauth = dynamic_cast<const DEVOAuthCredential*>(&credential);
  if (!oauth) {
    fnd::SetError(error, DEVAuthError(DEVAuthErrorCodeInvalidCredential));
    return std::nullopt;
  }
  const std::optional<std::string>& token =
      oauth->IDToken() ? oauth->IDToken() : oauth->accessToken();
  auto it = token ? providerTokens_.find(*token) : providerTokens_.end();
  if (it == providerTokens_.end() || it->second.identity.providerID != credential.provider()) {
    fnd::SetError(error, DEVAuthError(DEVAuthErrorCodeInvalidCredential));
    return std::nullopt;
  }
  if (it->second.nonceSHA256) {
    std::string hashed;
    if (oauth->rawNonce()) {
      fnd::Data digest = security::SHA256(*oauth->rawNonce());
      hashed = security::HexString(digest);
    }
    if (hashed != *it->second.nonceSHA256) {
      fnd::SetError(error, DEVAuthError(DEVAuthErrorCodeInvalidCredential,
                                        "The nonce of the credential does not match its token."));
      return std::nullopt;
    }
  }
  DEVAuthProviderIdentity identity = it->second.identity;
  if (!identity.displayName) identity.displayName = FullNameText(oauth->fullName());
  return identity;
}

DEVAuth::Outcome DEVAuth::signInWithCredentialLocked(
    const std::shared_ptr<DEVAuthCredential>& credential, Delivery* delivery) {
  if (!credential) return {nullptr, DEVAuthError(DEVAuthErrorCodeInvalidCredential)};
  lastCredential_ = credential;
  if (auto* email = dynamic_cast<const DEVEmailAuthCredential*>(credential.get())) {
    DEVAuthAccount* account = nullptr;
    bool isNew = false;
    if (email->password()) {
      account = findByEmailLocked(email->email());
      if (!account) return {nullptr, DEVAuthError(DEVAuthErrorCodeUserNotFound)};
      if (!account->password || *account->password != *email->password()) {
        return {nullptr, DEVAuthError(DEVAuthErrorCodeWrongPassword)};
      }
    } else {
      auto code = actionCodes_.find(OobCodeOf(email->link().value_or("")));
      if (code == actionCodes_.end() || code->second.operation != DEVActionCodeOperationEmailLink ||
          code->second.email != email->email()) {
        return {nullptr, DEVAuthError(DEVAuthErrorCodeInvalidActionCode)};
      }
      actionCodes_.erase(code);
      account = findByEmailLocked(email->email());
      if (!account) {
        DEVAuthAccount created;
        created.uid = newUIDLocked();
        created.email = email->email();
        created.tenantID = tenantID_;
        created.creationDate = now();
        account = &(accounts_[created.uid] = std::move(created));
        isNew = true;
      }
      account->emailVerified = true;
    }
    auto info = std::make_shared<DEVAdditionalUserInfo>(
        DEVAdditionalUserInfo::Fields{DEVEmailAuthProviderID, std::nullopt, std::nullopt, isNew});
    return signInAccountLocked(*account, DEVEmailAuthProviderID, std::move(info), nullptr,
                               std::nullopt, delivery);
  }
  fnd::Error error;
  std::optional<DEVAuthProviderIdentity> identity = identityOfLocked(*credential, &error);
  if (!identity) return {nullptr, error};
  DEVAuthAccount* account = findByIdentityLocked(identity->providerID, identity->uid);
  bool isNew = false;
  if (!account) {
    if (identity->email) {
      if (findByEmailLocked(*identity->email)) {
        fnd::Error exists = DEVAuthError(DEVAuthErrorCodeAccountExistsWithDifferentCredential);
        exists.mutableUserInfo().set(DEVAuthErrorUserInfoEmailKey, *identity->email);
        exists.mutableUserInfo().set(DEVAuthErrorUserInfoUpdatedCredentialKey,
                                     fnd::Value(std::shared_ptr<fnd::Record>(credential)));
        return {nullptr, std::move(exists)};
      }
    }
    DEVAuthAccount created;
    created.uid = newUIDLocked();
    created.email = identity->email;
    created.emailVerified = identity->email.has_value();
    created.displayName = identity->displayName;
    created.photoURL = identity->photoURL;
    created.phoneNumber = identity->phoneNumber;
    created.tenantID = tenantID_;
    created.creationDate = now();
    created.identities.push_back(*identity);
    account = &(accounts_[created.uid] = std::move(created));
    isNew = true;
  }
  auto info = std::make_shared<DEVAdditionalUserInfo>(DEVAdditionalUserInfo::Fields{
      identity->providerID, identity->profile, identity->username, isNew});
  std::shared_ptr<DEVAuthCredential> resultCredential =
      std::dynamic_pointer_cast<DEVOAuthCredential>(credential) ? credential : nullptr;
  return signInAccountLocked(*account, identity->providerID, std::move(info),
                             std::move(resultCredential), std::nullopt, delivery);
}

void DEVAuth::refreshUserLocked(DEVUser& user) {
  if (DEVAuthAccount* account = findLocked(user.uid())) user.setState(stateLocked(*account));
}

void DEVAuth::sendEmailLocked(const std::string& email, int64_t operation, ActionCode code,
                              const std::shared_ptr<DEVActionCodeSettings>& settings) {
  std::string oob = newCodeLocked("oob");
  std::string domain = customAuthDomain_.value_or(
      app_->options().projectID().value_or("quellmark") + ".auth.example");
  if (settings && settings->linkDomain()) domain = *settings->linkDomain();
  DEVAuthSentEmail sent;
  sent.email = email;
  sent.operation = operation;
  sent.code = oob;
  sent.link = "https://" + domain + "/__/auth/action?mode=" + ModeOf(operation) + "&oobCode=" + oob;
  if (settings) {
    sent.continueURL = settings->URL();
    sent.handleCodeInApp = settings->handleCodeInApp();
    if (settings->URL()) sent.link += "&continueUrl=" + *settings->URL();
  }
  sent.languageCode = languageCode_;
  code.operation = operation;
  actionCodes_[oob] = std::move(code);
  sentEmails_.push_back(std::move(sent));
}

// ---- DEVAuth: instance operations ----

void DEVAuth::applyActionCode(std::string code, DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("applyActionCode");
  if (!error) {
    std::lock_guard lock(mu_);
    auto it = actionCodes_.find(code);
    int64_t op = it == actionCodes_.end() ? DEVActionCodeOperationUnknown : it->second.operation;
    DEVAuthAccount* account = it == actionCodes_.end() ? nullptr : findLocked(it->second.uid);
    if (op != DEVActionCodeOperationVerifyEmail && op != DEVActionCodeOperationRecoverEmail &&
        op != DEVActionCodeOperationVerifyAndChangeEmail) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidActionCode);
    } else if (!account) {
      error = DEVAuthError(DEVAuthErrorCodeUserNotFound);
    } else {
      if (op == DEVActionCodeOperationVerifyEmail) {
        account->emailVerified = true;
      } else if (op == DEVActionCodeOperationRecoverEmail) {
        account->email = it->second.previousEmail;
      } else {
        account->email = it->second.newEmail;
        account->emailVerified = true;
      }
      actionCodes_.erase(it);
    }
  }
  finish(std::move(completion), std::move(error));
}

void DEVAuth::checkActionCode(std::string code, ActionCodeCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("checkActionCode");
  std::shared_ptr<DEVActionCodeInfo> info;
  if (!error) {
    std::lock_guard lock(mu_);
    auto it = actionCodes_.find(code);
    if (it == actionCodes_.end()) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidActionCode);
    } else {
      const ActionCode& c = it->second;
      info = std::make_shared<DEVActionCodeInfo>(
          c.operation, c.newEmail ? c.newEmail : std::optional(c.email), c.previousEmail);
    }
  }
  post([completion = std::move(completion), info, error] {
    if (completion) completion(info, error);
  });
}

void DEVAuth::verifyPasswordResetCode(std::string code, StringCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("verifyPasswordResetCode");
  std::optional<std::string> email;
  if (!error) {
    std::lock_guard lock(mu_);
    auto it = actionCodes_.find(code);
    if (it == actionCodes_.end() || it->second.operation != DEVActionCodeOperationPasswordReset) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidActionCode);
    } else {
      email = it->second.email;
    }
  }
  post([completion = std::move(completion), email, error] {
    if (completion) completion(email, error);
  });
}

void DEVAuth::confirmPasswordResetWithCode(std::string code, std::string newPassword,
                                           DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("confirmPasswordReset");
  if (!error) {
    std::lock_guard lock(mu_);
    auto it = actionCodes_.find(code);
    DEVAuthAccount* account = it == actionCodes_.end() ? nullptr : findLocked(it->second.uid);
    if (it == actionCodes_.end() || it->second.operation != DEVActionCodeOperationPasswordReset) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidActionCode);
    } else if (!account) {
      error = DEVAuthError(DEVAuthErrorCodeUserNotFound);
    } else if (newPassword.size() < kMinimumPasswordLength) {
      error = DEVAuthError(DEVAuthErrorCodeWeakPassword);
    } else {
      account->password = newPassword;
      actionCodes_.erase(it);
    }
  }
  finish(std::move(completion), std::move(error));
}

void DEVAuth::createUserWithEmail(std::string email, std::string password,
                                  DEVAuthDataResultCallback completion) {
  Outcome outcome{nullptr, DEVAuthTesting::takeFault("createUser")};
  Delivery delivery;
  if (!outcome.second) {
    std::lock_guard lock(mu_);
    if (!IsValidEmail(email)) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidEmail);
    } else if (password.size() < kMinimumPasswordLength) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeWeakPassword);
    } else if (findByEmailLocked(email)) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeEmailAlreadyInUse);
    } else {
      DEVAuthAccount account;
      account.uid = newUIDLocked();
      account.email = email;
      account.password = password;
      account.tenantID = tenantID_;
      account.creationDate = now();
      DEVAuthAccount& stored = accounts_[account.uid] = std::move(account);
      auto info = std::make_shared<DEVAdditionalUserInfo>(
          DEVAdditionalUserInfo::Fields{DEVEmailAuthProviderID, std::nullopt, std::nullopt, true});
      outcome = signInAccountLocked(stored, DEVEmailAuthProviderID, std::move(info), nullptr,
                                    std::nullopt, &delivery);
    }
  }
  deliver(std::move(delivery));
  finish(std::move(completion), std::move(outcome));
}

void DEVAuth::signInAnonymouslyWithCompletion(DEVAuthDataResultCallback completion) {
  Outcome outcome{nullptr, DEVAuthTesting::takeFault("signInAnonymously")};
  Delivery delivery;
  if (!outcome.second) {
    std::lock_guard lock(mu_);
    auto info = [](bool isNew) {
      return std::make_shared<DEVAdditionalUserInfo>(
          DEVAdditionalUserInfo::Fields{"", std::nullopt, std::nullopt, isNew});
    };
    if (currentUser_ && currentUser_->isAnonymous()) {
      outcome.first = std::make_shared<DEVAuthDataResult>(currentUser_, info(false), nullptr);
    } else {
      DEVAuthAccount account;
      account.uid = newUIDLocked();
      account.anonymous = true;
      account.tenantID = tenantID_;
      account.creationDate = now();
      DEVAuthAccount& stored = accounts_[account.uid] = std::move(account);
      outcome =
          signInAccountLocked(stored, "anonymous", info(true), nullptr, std::nullopt, &delivery);
    }
  }
  deliver(std::move(delivery));
  finish(std::move(completion), std::move(outcome));
}

void DEVAuth::signInWithCredential(std::shared_ptr<DEVAuthCredential> credential,
                                   DEVAuthDataResultCallback completion) {
  Outcome outcome{nullptr, DEVAuthTesting::takeFault("signInWithCredential")};
  Delivery delivery;
  if (!outcome.second) {
    std::lock_guard lock(mu_);
    outcome = signInWithCredentialLocked(credential, &delivery);
  }
  deliver(std::move(delivery));
  finish(std::move(completion), std::move(outcome));
}

void DEVAuth::signInWithCustomToken(std::string token, DEVAuthDataResultCallback completion) {
  Outcome outcome{nullptr, DEVAuthTesting::takeFault("signInWithCustomToken")};
  Delivery delivery;
  if (!outcome.second) {
    std::lock_guard lock(mu_);
    auto it = customTokens_.find(token);
    if (it == customTokens_.end()) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidCustomToken);
    } else {
      DEVAuthAccount* account = findLocked(it->second);
      bool isNew = account == nullptr;
      if (!account) {
        DEVAuthAccount created;
        created.uid = it->second;
        created.tenantID = tenantID_;
        created.creationDate = now();
        account = &(accounts_[created.uid] = std::move(created));
      }
      auto info = std::make_shared<DEVAdditionalUserInfo>(
          DEVAdditionalUserInfo::Fields{"", std::nullopt, std::nullopt, isNew});
      outcome = signInAccountLocked(*account, "custom", std::move(info), nullptr, std::nullopt,
                                    &delivery);
    }
  }
  deliver(std::move(delivery));
  finish(std::move(completion), std::move(outcome));
}

void DEVAuth::signInWithEmail(std::string email, std::string password,
                              DEVAuthDataResultCallback completion) {
  Outcome outcome{nullptr, DEVAuthTesting::takeFault("signInWithEmail")};
  Delivery delivery;
  if (!outcome.second) {
    std::lock_guard lock(mu_);
    if (!IsValidEmail(email)) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidEmail);
    } else {
      outcome = signInWithCredentialLocked(
          DEVEmailAuthProvider::credentialWithEmail(std::move(email), std::move(password)),
          &delivery);
    }
  }
  deliver(std::move(delivery));
  finish(std::move(completion), std::move(outcome));
}

void DEVAuth::signInWithEmailLink(std::string email, std::string link,
                                  DEVAuthDataResultCallback completion) {
  Outcome outcome{nullptr, DEVAuthTesting::takeFault("signInWithEmailLink")};
  Delivery delivery;
  if (!outcome.second) {
    std::lock_guard lock(mu_);
    if (!IsValidEmail(email)) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidEmail);
    } else {
      outcome = signInWithCredentialLocked(
          DEVEmailAuthProvider::credentialWithEmailLink(std::move(email), std::move(link)),
          &delivery);
    }
  }
  deliver(std::move(delivery));
  finish(std::move(completion), std::move(outcome));
}

bool DEVAuth::signOut(fnd::Error* error) {
  if (auto fault = DEVAuthTesting::takeFault("signOut")) {
    return fnd::SetError(error, std::move(*fault));
  }
  Delivery delivery;
  {
    std::lock_guard lock(mu_);
    signOutLocked(&delivery);
  }
  deliver(std::move(delivery));
  return true;
}

void DEVAuth::fetchSignInMethodsForEmail(std::string email, ProvidersCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("fetchSignInMethods");
  std::optional<std::vector<std::string>> methods;
  if (!error) {
    std::lock_guard lock(mu_);
    if (!IsValidEmail(email)) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidEmail);
    } else {
      std::vector<std::string> found;
      for (const auto& [uid, account] : accounts_) {
        if (account.email == email && account.password) found.push_back(DEVEmailAuthProviderID);
        for (const auto& identity : account.identities) {
          if (identity.email == email &&
              std::find(found.begin(), found.end(), identity.providerID) == found.end()) {
            found.push_back(identity.providerID);
          }
        }
      }
      // The SDK answers no list at all, rather than an empty one, for an unknown address.
      if (!found.empty()) methods = std::move(found);
    }
  }
  post([completion = std::move(completion), methods, error] {
    if (completion) completion(methods, error);
  });
}

void DEVAuth::sendPasswordResetWithEmail(std::string email, DEVAuthVoidCallback completion) {
  sendPasswordResetWithEmail(std::move(email), nullptr, std::move(completion));
}

void DEVAuth::sendPasswordResetWithEmail(std::string email,
                                         std::shared_ptr<DEVActionCodeSettings> settings,
                                         DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("sendPasswordReset");
  if (!error) {
    std::lock_guard lock(mu_);
    DEVAuthAccount* account = IsValidEmail(email) ? findByEmailLocked(email) : nullptr;
    if (!IsValidEmail(email)) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidEmail);
    } else if (!account) {
      error = DEVAuthError(DEVAuthErrorCodeUserNotFound);
    } else {
      sendEmailLocked(email, DEVActionCodeOperationPasswordReset,
                      ActionCode{0, account->uid, email, std::nullopt, std::nullopt}, settings);
    }
  }
  finish(std::move(completion), std::move(error));
}

void DEVAuth::sendSignInLinkToEmail(std::string email,
                                    std::shared_ptr<DEVActionCodeSettings> settings,
                                    DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("sendSignInLink");
  if (!error) {
    std::lock_guard lock(mu_);
    if (!IsValidEmail(email)) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidEmail);
    } else if (!settings || !settings->handleCodeInApp()) {
      error = DEVAuthError(DEVAuthErrorCodeOperationNotAllowed,
                           "Sign-in links must be handled in the app (handleCodeInApp).");
    } else {
      sendEmailLocked(email, DEVActionCodeOperationEmailLink,
                      ActionCode{0, "", email, std::nullopt, std::nullopt}, settings);
    }
  }
  finish(std::move(completion), std::move(error));
}

void DEVAuth::revokeTokenWithAuthorizationCode(std::string authorizationCode,
                                               DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("revokeToken");
  if (!error) {
    std::lock_guard lock(mu_);
    if (authorizationCode.empty()) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidCredential);
    } else {
      revokedCodes_.push_back(std::move(authorizationCode));
    }
  }
  finish(std::move(completion), std::move(error));
}

std::function<void()> DEVAuth::listenerCallLocked(uint64_t id, const Listener& listener,
                                                  std::shared_ptr<DEVUser> user) {
  auto self = shared_from_this();
  return [self, id, listener, user] {
    {
      std::lock_guard lock(self->mu_);
      bool registered = std::any_of(self->listeners_.begin(), self->listeners_.end(),
                                    [id](const ListenerEntry& e) { return e.id == id; });
      if (!registered) return;  // Removed since the change: not called again.
    }
    listener(self, user);
  };
}

std::shared_ptr<DEVAuth::ListenerHandle> DEVAuth::addListener(Listener listener, bool idToken) {
  if (!listener) return nullptr;
  std::shared_ptr<ListenerHandle> handle;
  std::function<void()> first;
  {
    std::lock_guard lock(mu_);
    handle = std::make_shared<ListenerHandle>(++counter_);
    listeners_.push_back(ListenerEntry{handle->id(), idToken, listener});
    // The first call tells the listener who is signed in now.
    first = listenerCallLocked(handle->id(), listener, currentUser_);
  }
  post(std::move(first));
  return handle;
}

std::shared_ptr<DEVAuth::ListenerHandle> DEVAuth::addAuthStateDidChangeListener(Listener listener) {
  return addListener(std::move(listener), false);
}

std::shared_ptr<DEVAuth::ListenerHandle> DEVAuth::addIDTokenDidChangeListener(Listener listener) {
  return addListener(std::move(listener), true);
}

void DEVAuth::removeAuthStateDidChangeListener(const std::shared_ptr<ListenerHandle>& handle) {
  if (!handle) return;
  std::lock_guard lock(mu_);
  std::erase_if(listeners_, [&](const ListenerEntry& e) { return e.id == handle->id(); });
}

void DEVAuth::removeIDTokenDidChangeListener(const std::shared_ptr<ListenerHandle>& handle) {
  removeAuthStateDidChangeListener(handle);
}

// ---- DEVAuth: test hooks ----

std::string DEVAuth::addAccountForTesting(DEVAuthAccount account) {
  std::lock_guard lock(mu_);
  if (account.uid.empty()) account.uid = newUIDLocked();
  if (account.creationDate == 0) account.creationDate = now();
  std::string uid = account.uid;
  accounts_[uid] = std::move(account);
  return uid;
}

std::optional<DEVAuthAccount> DEVAuth::accountForTesting(const std::string& uid) const {
  std::lock_guard lock(mu_);
  auto it = accounts_.find(uid);
  if (it == accounts_.end()) return std::nullopt;
  return it->second;
}

std::vector<DEVAuthAccount> DEVAuth::accountsForTesting() const {
  std::lock_guard lock(mu_);
  std::vector<DEVAuthAccount> out;
  for (const auto& [uid, account] : accounts_) out.push_back(account);
  return out;
}

void DEVAuth::registerProviderTokenForTesting(std::string token, DEVAuthProviderIdentity identity,
                                              std::optional<std::string> nonceSHA256) {
  std::lock_guard lock(mu_);
  providerTokens_[std::move(token)] = ProviderToken{std::move(identity), std::move(nonceSHA256)};
}

void DEVAuth::registerCustomTokenForTesting(std::string token, std::string uid) {
  std::lock_guard lock(mu_);
  customTokens_[std::move(token)] = std::move(uid);
}

std::vector<DEVAuthSentEmail> DEVAuth::sentEmailsForTesting() const {
  std::lock_guard lock(mu_);
  return sentEmails_;
}

std::vector<std::string> DEVAuth::revokedAuthorizationCodesForTesting() const {
  std::lock_guard lock(mu_);
  return revokedCodes_;
}

std::shared_ptr<DEVAuthCredential> DEVAuth::lastCredentialForTesting() const {
  std::lock_guard lock(mu_);
  return lastCredential_;
}

size_t DEVAuth::authStateListenerCountForTesting() const {
  std::lock_guard lock(mu_);
  return std::count_if(listeners_.begin(), listeners_.end(),
                       [](const ListenerEntry& e) { return !e.idToken; });
}

size_t DEVAuth::idTokenListenerCountForTesting() const {
  std::lock_guard lock(mu_);
  return std::count_if(listeners_.begin(), listeners_.end(),
                       [](const ListenerEntry& e) { return e.idToken; });
}

// ---- DEVAuth: operations of a user ----

namespace {

fnd::Error UserGone() { return DEVAuthError(DEVAuthErrorCodeUserNotFound); }

}  // namespace

void DEVAuth::userDelete(const std::shared_ptr<DEVUser>& user, DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("delete");
  Delivery delivery;
  if (!error) {
    std::lock_guard lock(mu_);
    if (!accounts_.erase(user->uid())) {
      error = UserGone();
    } else if (currentUser_ && currentUser_->uid() == user->uid()) {
      signOutLocked(&delivery);
    }
  }
  deliver(std::move(delivery));
  finish(std::move(completion), std::move(error));
}

void DEVAuth::userToken(const std::shared_ptr<DEVUser>& user, bool force,
                        DEVUser::TokenCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("getIDToken");
  std::shared_ptr<DEVAuthTokenResult> token;
  Delivery delivery;
  if (!error) {
    std::lock_guard lock(mu_);
    DEVAuthAccount* account = findLocked(user->uid());
    token = user->token();
    if (!account) {
      error = UserGone();
      token = nullptr;
    } else if (force || !token || now() >= token->expirationDate()) {
      token = newTokenLocked(*account, token ? token->signInProvider().value_or("") : "",
                             token ? token->signInSecondFactor() : std::nullopt,
                             token ? token->authDate() : account->lastSignInDate);
      user->setToken(token);
      if (currentUser_ == user) setCurrentUserLocked(user, true, &delivery);
    }
  }
  deliver(std::move(delivery));
  post([completion = std::move(completion), token, error] {
    if (completion) completion(token, error);
  });
}

void DEVAuth::userLink(const std::shared_ptr<DEVUser>& user,
                       const std::shared_ptr<DEVAuthCredential>& credential,
                       DEVAuthDataResultCallback completion) {
  Outcome outcome{nullptr, DEVAuthTesting::takeFault("link")};
  if (!outcome.second) {
    std::lock_guard lock(mu_);
    lastCredential_ = credential;
    DEVAuthAccount* account = findLocked(user->uid());
    auto* email = dynamic_cast<const DEVEmailAuthCredential*>(credential.get());
    if (!account) {
      outcome.second = UserGone();
    } else if (!credential) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidCredential);
    } else if (email) {
      DEVAuthAccount* owner = findByEmailLocked(email->email());
      if (account->password) {
        outcome.second = DEVAuthError(DEVAuthErrorCodeProviderAlreadyLinked);
      } else if (owner && owner != account) {
        outcome.second = DEVAuthError(DEVAuthErrorCodeEmailAlreadyInUse);
      } else if (email->password() && email->password()->size() < kMinimumPasswordLength) {
        outcome.second = DEVAuthError(DEVAuthErrorCodeWeakPassword);
      } else if (!email->password()) {
        auto code = actionCodes_.find(OobCodeOf(email->link().value_or("")));
        if (code == actionCodes_.end() ||
            code->second.operation != DEVActionCodeOperationEmailLink ||
            code->second.email != email->email()) {
          outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidActionCode);
        } else {
          actionCodes_.erase(code);
          account->email = email->email();
          account->emailVerified = true;
          account->anonymous = false;
        }
      } else {
        account->email = email->email();
        account->password = email->password();
        account->anonymous = false;
      }
      if (!outcome.second) {
        refreshUserLocked(*user);
        outcome.first = std::make_shared<DEVAuthDataResult>(
            user,
            std::make_shared<DEVAdditionalUserInfo>(DEVAdditionalUserInfo::Fields{
                DEVEmailAuthProviderID, std::nullopt, std::nullopt, false}),
            nullptr);
      }
    } else {
      fnd::Error error;
      std::optional<DEVAuthProviderIdentity> identity = identityOfLocked(*credential, &error);
      if (!identity) {
        outcome.second = error;
      } else if (std::any_of(account->identities.begin(), account->identities.end(),
                             [&](const DEVAuthProviderIdentity& i) {
                               return i.providerID == identity->providerID;
                             })) {
        outcome.second = DEVAuthError(DEVAuthErrorCodeProviderAlreadyLinked);
      } else if (findByIdentityLocked(identity->providerID, identity->uid)) {
        fnd::Error inUse = DEVAuthError(DEVAuthErrorCodeCredentialAlreadyInUse);
        if (identity->email)
          inUse.mutableUserInfo().set(DEVAuthErrorUserInfoEmailKey, *identity->email);
        inUse.mutableUserInfo().set(DEVAuthErrorUserInfoUpdatedCredentialKey,
                                    fnd::Value(std::shared_ptr<fnd::Record>(credential)));
        outcome.second = std::move(inUse);
      } else {
        account->identities.push_back(*identity);
        account->anonymous = false;
        if (!account->email) account->email = identity->email;
        if (!account->displayName) account->displayName = identity->displayName;
        refreshUserLocked(*user);
        outcome.first = std::make_shared<DEVAuthDataResult>(
            user,
            std::make_shared<DEVAdditionalUserInfo>(DEVAdditionalUserInfo::Fields{
                identity->providerID, identity->profile, identity->username, false}),
            std::dynamic_pointer_cast<DEVOAuthCredential>(credential) ? credential : nullptr);
      }
    }
  }
  finish(std::move(completion), std::move(outcome));
}

void DEVAuth::userReauthenticate(const std::shared_ptr<DEVUser>& user,
                                 const std::shared_ptr<DEVAuthCredential>& credential,
                                 DEVAuthDataResultCallback completion) {
  Outcome outcome{nullptr, DEVAuthTesting::takeFault("reauthenticate")};
  Delivery delivery;
  if (!outcome.second) {
    std::lock_guard lock(mu_);
    lastCredential_ = credential;
    DEVAuthAccount* account = nullptr;
    std::string provider;
    std::shared_ptr<DEVAdditionalUserInfo> info;
    auto* email = dynamic_cast<const DEVEmailAuthCredential*>(credential.get());
    if (!credential) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidCredential);
    } else if (email && email->password()) {
      account = findByEmailLocked(email->email());
      if (!account) {
        outcome.second = DEVAuthError(DEVAuthErrorCodeUserMismatch);
      } else if (!account->password || *account->password != *email->password()) {
        outcome.second = DEVAuthError(DEVAuthErrorCodeWrongPassword);
      }
      provider = DEVEmailAuthProviderID;
    } else if (email) {
      auto code = actionCodes_.find(OobCodeOf(email->link().value_or("")));
      if (code == actionCodes_.end() || code->second.operation != DEVActionCodeOperationEmailLink ||
          code->second.email != email->email()) {
        outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidActionCode);
      } else {
        actionCodes_.erase(code);
        account = findByEmailLocked(email->email());
        if (!account) outcome.second = DEVAuthError(DEVAuthErrorCodeUserMismatch);
      }
      provider = DEVEmailAuthProviderID;
    } else {
      fnd::Error error;
      std::optional<DEVAuthProviderIdentity> identity = identityOfLocked(*credential, &error);
      if (!identity) {
        outcome.second = error;
      } else {
        account = findByIdentityLocked(identity->providerID, identity->uid);
        if (!account) outcome.second = DEVAuthError(DEVAuthErrorCodeUserMismatch);
        provider = identity->providerID;
        info = std::make_shared<DEVAdditionalUserInfo>(DEVAdditionalUserInfo::Fields{
            identity->providerID, identity->profile, identity->username, false});
      }
    }
    if (!outcome.second && account->uid != user->uid()) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeUserMismatch);
    }
    if (!outcome.second) {
      std::shared_ptr<DEVAuthCredential> resultCredential =
          std::dynamic_pointer_cast<DEVOAuthCredential>(credential) ? credential : nullptr;
      if (!info) {
        info = std::make_shared<DEVAdditionalUserInfo>(
            DEVAdditionalUserInfo::Fields{provider, std::nullopt, std::nullopt, false});
      }
      if (account->disabled) {
        outcome.second = DEVAuthError(DEVAuthErrorCodeUserDisabled);
      } else if (!account->factors.empty()) {
        // The second factor is asked for as in a sign-in.
        outcome = signInAccountLocked(*account, provider, info, resultCredential, std::nullopt,
                                      &delivery);
      } else {
        double time = now();
        account->lastSignInDate = time;
        user->setToken(newTokenLocked(*account, provider, std::nullopt, time));
        refreshUserLocked(*user);
        if (currentUser_ == user) setCurrentUserLocked(user, true, &delivery);
        outcome.first = std::make_shared<DEVAuthDataResult>(user, info, resultCredential);
      }
    }
  }
  deliver(std::move(delivery));
  finish(std::move(completion), std::move(outcome));
}

void DEVAuth::userReload(const std::shared_ptr<DEVUser>& user, DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("reload");
  if (!error) {
    std::lock_guard lock(mu_);
    if (DEVAuthAccount* account = findLocked(user->uid())) {
      user->setState(stateLocked(*account));
    } else {
      error = UserGone();
    }
  }
  finish(std::move(completion), std::move(error));
}

void DEVAuth::userSendVerification(const std::shared_ptr<DEVUser>& user,
                                   std::optional<std::string> newEmail,
                                   const std::shared_ptr<DEVActionCodeSettings>& settings,
                                   DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault(
      newEmail ? "sendEmailVerificationBeforeUpdatingEmail" : "sendEmailVerification");
  if (!error) {
    std::lock_guard lock(mu_);
    DEVAuthAccount* account = findLocked(user->uid());
    if (!account) {
      error = UserGone();
    } else if (!account->email) {
      error = DEVAuthError(DEVAuthErrorCodeMissingEmail);
    } else if (newEmail && !IsValidEmail(*newEmail)) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidEmail);
    } else if (newEmail && findByEmailLocked(*newEmail)) {
      error = DEVAuthError(DEVAuthErrorCodeEmailAlreadyInUse);
    } else if (newEmail) {
      sendEmailLocked(*newEmail, DEVActionCodeOperationVerifyAndChangeEmail,
                      ActionCode{0, account->uid, *newEmail, account->email, newEmail}, settings);
    } else {
      sendEmailLocked(*account->email, DEVActionCodeOperationVerifyEmail,
                      ActionCode{0, account->uid, *account->email, std::nullopt, std::nullopt},
                      settings);
    }
  }
  finish(std::move(completion), std::move(error));
}

void DEVAuth::userUnlink(const std::shared_ptr<DEVUser>& user, const std::string& provider,
                         DEVUser::UserCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("unlink");
  std::shared_ptr<DEVUser> result;
  if (!error) {
    std::lock_guard lock(mu_);
    DEVAuthAccount* account = findLocked(user->uid());
    if (!account) {
      error = UserGone();
    } else if (provider == DEVEmailAuthProviderID && account->password) {
      account->password.reset();
    } else if (std::erase_if(account->identities, [&](const DEVAuthProviderIdentity& i) {
                 return i.providerID == provider;
               }) == 0) {
      error = DEVAuthError(DEVAuthErrorCodeNoSuchProvider);
    }
    if (!error) {
      refreshUserLocked(*user);
      result = user;
    }
  }
  post([completion = std::move(completion), result, error] {
    if (completion) completion(result, error);
  });
}

void DEVAuth::userUpdate(const std::shared_ptr<DEVUser>& user, const char* operation,
                         std::function<std::optional<fnd::Error>(DEVAuthAccount&)> change,
                         DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault(operation);
  if (!error) {
    std::lock_guard lock(mu_);
    DEVAuthAccount* account = findLocked(user->uid());
    if (!account) {
      error = UserGone();
    } else {
      DEVAuthAccount changed = *account;
      error = change(changed);
      if (!error && changed.email && changed.email != account->email &&
          !IsValidEmail(*changed.email)) {
        error = DEVAuthError(DEVAuthErrorCodeInvalidEmail);
      }
      if (!error && changed.email && changed.email != account->email &&
          findByEmailLocked(*changed.email)) {
        error = DEVAuthError(DEVAuthErrorCodeEmailAlreadyInUse);
      }
      if (!error && changed.password && changed.password != account->password &&
          changed.password->size() < kMinimumPasswordLength) {
        error = DEVAuthError(DEVAuthErrorCodeWeakPassword);
      }
      if (!error) {
        *account = std::move(changed);
        refreshUserLocked(*user);
      }
    }
  }
  finish(std::move(completion), std::move(error));
}

// ---- DEVAuth: second factors ----

void DEVAuth::multiFactorSession(const std::shared_ptr<DEVUser>& user,
                                 DEVMultiFactor::SessionCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("getSession");
  std::shared_ptr<DEVMultiFactorSession> session;
  if (!error) {
    std::lock_guard lock(mu_);
    if (!findLocked(user->uid())) {
      error = UserGone();
    } else {
      std::string id = newCodeLocked("mfa-enroll");
      enrollmentSessions_[id] = user->uid();
      session = std::make_shared<DEVMultiFactorSession>(weak_from_this(), id);
    }
  }
  post([completion = std::move(completion), session, error] {
    if (completion) completion(session, error);
  });
}

void DEVAuth::generateSecret(const std::shared_ptr<DEVMultiFactorSession>& session,
                             DEVTOTPMultiFactorGenerator::SecretCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("generateSecret");
  std::shared_ptr<DEVTOTPSecret> secret;
  if (!error) {
    std::lock_guard lock(mu_);
    if (!session || !enrollmentSessions_.count(session->sessionID())) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidMultiFactorSession);
    } else {
      static constexpr char kBase32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
      fnd::Data digest = security::SHA256(app_->name() + "/totp/" + std::to_string(++counter_));
      std::string key;
      for (uint8_t byte : digest) key += kBase32[byte % 32];
      secrets_[key] = session->sessionID();
      secret = std::make_shared<DEVTOTPSecret>(weak_from_this(), key, session->sessionID());
    }
  }
  post([completion = std::move(completion), secret, error] {
    if (completion) completion(secret, error);
  });
}

namespace {

// Whether `code` is the secret's code now or one step ago.
bool TOTPCodeMatches(const std::string& secretKey, const std::string& code, double now) {
  return code == DEVAuthTesting::totpCode(secretKey, now) ||
         code == DEVAuthTesting::totpCode(secretKey, now - 30);
}

}  // namespace

void DEVAuth::multiFactorEnroll(const std::shared_ptr<DEVUser>& user,
                                const std::shared_ptr<DEVMultiFactorAssertion>& assertion,
                                std::optional<std::string> displayName,
                                DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("enroll");
  if (!error) {
    std::lock_guard lock(mu_);
    DEVAuthAccount* account = findLocked(user->uid());
    auto totp = std::dynamic_pointer_cast<DEVTOTPMultiFactorAssertion>(assertion);
    auto secret = totp ? totp->secret() : nullptr;
    auto session = secret ? secrets_.find(secret->sharedSecretKey()) : secrets_.end();
    if (!account) {
      error = UserGone();
    } else if (!secret) {
      error = DEVAuthError(DEVAuthErrorCodeMissingMultiFactorInfo);
    } else if (session == secrets_.end() || enrollmentSessions_.count(session->second) == 0 ||
               enrollmentSessions_[session->second] != account->uid) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidMultiFactorSession);
    } else if (!TOTPCodeMatches(secret->sharedSecretKey(), totp->oneTimePassword(), now())) {
      error = DEVAuthError(DEVAuthErrorCodeInvalidVerificationCode);
    } else {
      account->factors.push_back(DEVAuthAccountFactor{newCodeLocked("factor"), DEVTOTPMultiFactorID,
                                                      std::move(displayName), now(), std::nullopt,
                                                      secret->sharedSecretKey()});
      secrets_.erase(session);
      refreshUserLocked(*user);
    }
  }
  finish(std::move(completion), std::move(error));
}

void DEVAuth::multiFactorUnenroll(const std::shared_ptr<DEVUser>& user,
                                  const std::string& factorUID, DEVAuthVoidCallback completion) {
  std::optional<fnd::Error> error = DEVAuthTesting::takeFault("unenroll");
  if (!error) {
    std::lock_guard lock(mu_);
    DEVAuthAccount* account = findLocked(user->uid());
    if (!account) {
      error = UserGone();
    } else if (std::erase_if(account->factors, [&](const DEVAuthAccountFactor& f) {
                 return f.uid == factorUID;
               }) == 0) {
      error = DEVAuthError(DEVAuthErrorCodeMultiFactorInfoNotFound);
    } else {
      refreshUserLocked(*user);
    }
  }
  finish(std::move(completion), std::move(error));
}

void DEVAuth::resolve(const std::shared_ptr<DEVMultiFactorSession>& session,
                      const std::shared_ptr<DEVMultiFactorAssertion>& assertion,
                      DEVAuthDataResultCallback completion) {
  Outcome outcome{nullptr, DEVAuthTesting::takeFault("resolveSignIn")};
  Delivery delivery;
  if (!outcome.second) {
    std::lock_guard lock(mu_);
    auto pending = session ? pendingSignIns_.find(session->sessionID()) : pendingSignIns_.end();
    auto totp = std::dynamic_pointer_cast<DEVTOTPMultiFactorAssertion>(assertion);
    DEVAuthAccount* account =
        pending == pendingSignIns_.end() ? nullptr : findLocked(pending->second.uid);
    const DEVAuthAccountFactor* factor = nullptr;
    if (account && totp && totp->enrollmentID()) {
      for (const auto& f : account->factors) {
        if (f.uid == *totp->enrollmentID() && f.factorID == DEVTOTPMultiFactorID) factor = &f;
      }
    }
    if (pending == pendingSignIns_.end()) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidMultiFactorSession);
    } else if (!account) {
      outcome.second = UserGone();
    } else if (!totp || !totp->enrollmentID()) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeMissingMultiFactorInfo);
    } else if (!factor) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeMultiFactorInfoNotFound);
    } else if (!TOTPCodeMatches(factor->secretKey.value_or(""), totp->oneTimePassword(), now())) {
      outcome.second = DEVAuthError(DEVAuthErrorCodeInvalidVerificationCode);
    } else {
      PendingSignIn signIn = std::move(pending->second);
      pendingSignIns_.erase(pending);
      outcome = signInAccountLocked(*account, signIn.provider, signIn.additionalUserInfo,
                                    signIn.credential, DEVTOTPMultiFactorID, &delivery);
    }
  }
  deliver(std::move(delivery));
  finish(std::move(completion), std::move(outcome));
}

void DEVAuth::recordOpenedOTPURL(const std::string& url) {
  DEVAuthTesting::recordOpenedOTPURL(url);
}

#include "plugins/zudiroru_auth/pigeon_parser.h"

#include <cmath>

namespace {

std::optional<int64_t> MetadataMilliseconds(const std::optional<double>& seconds) {
  if (!seconds || !std::isfinite(*seconds)) return std::nullopt;
  return static_cast<int64_t>(*seconds * 1000.0);
}

int64_t TokenMilliseconds(double seconds) {
  if (!std::isfinite(seconds)) return 0;
  return static_cast<int64_t>(std::trunc(seconds)) * 1000;
}

fnd::Value OptionalText(const std::optional<std::string>& text) {
  return text ? fnd::Value(*text) : fnd::Value();
}

}  // namespace

const std::vector<std::string>& PigeonParser::providerDataKeys() {
  static const auto* keys =
      new std::vector<std::string>{"providerId",  "uid",      "displayName", "email",
                                   "phoneNumber", "photoURL", "isAnonymous", "isEmailVerified"};
  return *keys;
}

std::shared_ptr<PigeonUserCredential> PigeonParser::getPigeonUserCredentialFromAuthResult(
    const DEVAuthDataResult& result, const std::optional<std::string>& authorizationCode) {
  return PigeonUserCredential::makeWithUser(
      result.user() ? getPigeonDetails(*result.user()) : nullptr,
      getPigeonAdditionalUserInfo(result.additionalUserInfo(), authorizationCode),
      getPigeonAuthCredential(result.credential(), std::nullopt));
}

std::shared_ptr<PigeonUserCredential> PigeonParser::getPigeonUserCredentialFromDEVUser(
    const DEVUser& user) {
  return PigeonUserCredential::makeWithUser(getPigeonDetails(user), nullptr, nullptr);
}

std::shared_ptr<PigeonUserDetails> PigeonParser::getPigeonDetails(const DEVUser& user) {
  return PigeonUserDetails::makeWithUserInfo(getPigeonUserInfo(user),
                                             getProviderData(user.providerData()));
}

std::shared_ptr<PigeonUserInfo> PigeonParser::getPigeonUserInfo(const DEVUser& user) {
  DEVUserState state = user.state();
  std::optional<std::string> photoUrl = state.photoURL;
  if (photoUrl && photoUrl->empty()) photoUrl.reset();
  return PigeonUserInfo::makeWithUid(state.uid, state.email, state.displayName, photoUrl,
                                     state.phoneNumber, state.isAnonymous, state.emailVerified,
                                     user.providerID(), state.tenantID, state.refreshToken,
                                     MetadataMilliseconds(state.metadata.creationDate),
                                     MetadataMilliseconds(state.metadata.lastSignInDate));
}

fnd::Array PigeonParser::getProviderData(
    const std::vector<std::shared_ptr<DEVUserInfo>>& providerData) {
  fnd::Array list;
  for (const auto& info : providerData) {
    if (!info) continue;
    fnd::Dictionary entry;
    entry.set("providerId", info->providerID());
    entry.set("uid", info->uid().value_or(""));
    entry.set("displayName", OptionalText(info->displayName()));
    entry.set("email", OptionalText(info->email()));
    entry.set("phoneNumber", OptionalText(info->phoneNumber()));
    entry.set("photoURL", OptionalText(info->photoURL()));
    entry.set("isAnonymous", false);
    entry.set("isEmailVerified", true);
    list.push_back(fnd::Value(std::move(entry)));
  }
  return list;
}

std::shared_ptr<PigeonAdditionalUserInfo> PigeonParser::getPigeonAdditionalUserInfo(
    const std::shared_ptr<DEVAdditionalUserInfo>& info,
    const std::optional<std::string>& authorizationCode) {
  if (!info) {
    return PigeonAdditionalUserInfo::makeWithIsNewUser(false, std::nullopt, std::nullopt,
                                                       authorizationCode, std::nullopt);
  }
  return PigeonAdditionalUserInfo::makeWithIsNewUser(
      info->isNewUser(), info->providerID(), info->username(), authorizationCode, info->profile());
}

std::shared_ptr<PigeonTotpSecret> PigeonParser::getPigeonTotpSecret(const DEVTOTPSecret& secret) {
  return PigeonTotpSecret::makeWithCodeIntervalSeconds(std::nullopt, std::nullopt, std::nullopt,
                                                       std::nullopt, secret.sharedSecretKey());
}

std::shared_ptr<PigeonAuthCredential> PigeonParser::getPigeonAuthCredential(
    const std::shared_ptr<DEVAuthCredential>& credential, std::optional<uint64_t> token) {
  if (!credential) return nullptr;
  std::optional<std::string> accessToken;
  if (auto oauth = std::dynamic_pointer_cast<DEVOAuthCredential>(credential)) {
    accessToken = oauth->accessToken() ? oauth->accessToken() : oauth->IDToken();
  }
  uint64_t nativeId = token ? *token : static_cast<uint64_t>(credential->hash());
  return PigeonAuthCredential::makeWithProviderId(credential->provider(), credential->provider(),
                                                  static_cast<int64_t>(nativeId), accessToken);
}

std::shared_ptr<DEVActionCodeSettings> PigeonParser::parseActionCodeSettings(
    const std::shared_ptr<PigeonActionCodeSettings>& settings) {
  if (!settings) return nullptr;
  auto out = std::make_shared<DEVActionCodeSettings>();
  if (settings->url) out->setURL(settings->url);
  if (settings->linkDomain) out->setLinkDomain(settings->linkDomain);
  out->setHandleCodeInApp(settings->handleCodeInApp);
  if (settings->iOSBundleId) out->setIOSBundleID(settings->iOSBundleId);
  return out;
}

std::shared_ptr<PigeonIdTokenResult> PigeonParser::parseIdTokenResult(
    const DEVAuthTokenResult& result) {
  return PigeonIdTokenResult::makeWithToken(
      result.token(), TokenMilliseconds(result.expirationDate()),
      TokenMilliseconds(result.authDate()), TokenMilliseconds(result.issuedAtDate()),
      result.signInProvider(), result.claims(), result.signInSecondFactor());
}

fnd::Array PigeonParser::getManualList(const PigeonUserDetails& details) {
  return fnd::Array{details.userInfo ? fnd::Value(details.userInfo->toList()) : fnd::Value(),
                    details.providerData ? fnd::Value(*details.providerData) : fnd::Value()};
}

#include "plugins/zudiroru_auth/auth_messages.h"

#include <utility>

std::shared_ptr<AuthPigeonZudiroruApp> AuthPigeonZudiroruApp::makeWithAppName(
    std::optional<std::string> appName, std::optional<std::string> tenantId,
    std::optional<std::string> customAuthDomain) {
  auto r = std::make_shared<AuthPigeonZudiroruApp>();
  r->appName = std::move(appName);
  r->tenantId = std::move(tenantId);
  r->customAuthDomain = std::move(customAuthDomain);
  return r;
}

std::shared_ptr<AuthPigeonZudiroruApp> AuthPigeonZudiroruApp::fromList(const fnd::Array& list) {
  auto r = std::make_shared<AuthPigeonZudiroruApp>();
  r->appName = zudiroru::PigeonString(list, 0);
  r->tenantId = zudiroru::PigeonString(list, 1);
  r->customAuthDomain = zudiroru::PigeonString(list, 2);
  return r;
}

std::shared_ptr<AuthPigeonZudiroruApp> AuthPigeonZudiroruApp::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array AuthPigeonZudiroruApp::toList() const {
  return fnd::Array{zudiroru::PigeonField(appName), zudiroru::PigeonField(tenantId),
                    zudiroru::PigeonField(customAuthDomain)};
}

std::shared_ptr<PigeonMultiFactorSession> PigeonMultiFactorSession::makeWithId(
    std::optional<std::string> id) {
  auto r = std::make_shared<PigeonMultiFactorSession>();
  r->id = std::move(id);
  return r;
}

std::shared_ptr<PigeonMultiFactorSession> PigeonMultiFactorSession::fromList(
    const fnd::Array& list) {
  auto r = std::make_shared<PigeonMultiFactorSession>();
  r->id = zudiroru::PigeonString(list, 0);
  return r;
}

std::shared_ptr<PigeonMultiFactorSession> PigeonMultiFactorSession::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonMultiFactorSession::toList() const {
  return fnd::Array{zudiroru::PigeonField(id)};
}

std::shared_ptr<PigeonPhoneMultiFactorAssertion>
PigeonPhoneMultiFactorAssertion::makeWithVerificationId(
    std::optional<std::string> verificationId, std::optional<std::string> verificationCode) {
  auto r = std::make_shared<PigeonPhoneMultiFactorAssertion>();
  r->verificationId = std::move(verificationId);
  r->verificationCode = std::move(verificationCode);
  return r;
}

std::shared_ptr<PigeonPhoneMultiFactorAssertion> PigeonPhoneMultiFactorAssertion::fromList(
    const fnd::Array& list) {
  auto r = std::make_shared<PigeonPhoneMultiFactorAssertion>();
  r->verificationId = zudiroru::PigeonString(list, 0);
  r->verificationCode = zudiroru::PigeonString(list, 1);
  return r;
}

std::shared_ptr<PigeonPhoneMultiFactorAssertion> PigeonPhoneMultiFactorAssertion::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonPhoneMultiFactorAssertion::toList() const {
  return fnd::Array{zudiroru::PigeonField(verificationId), zudiroru::PigeonField(verificationCode)};
}

std::shared_ptr<PigeonMultiFactorInfo> PigeonMultiFactorInfo::makeWithDisplayName(
    std::optional<std::string> displayName, double enrollmentTimestamp,
    std::optional<std::string> factorId, std::optional<std::string> uid,
    std::optional<std::string> phoneNumber) {
  auto r = std::make_shared<PigeonMultiFactorInfo>();
  r->displayName = std::move(displayName);
  r->enrollmentTimestamp = enrollmentTimestamp;
  r->factorId = std::move(factorId);
  r->uid = std::move(uid);
  r->phoneNumber = std::move(phoneNumber);
  return r;
}

std::shared_ptr<PigeonMultiFactorInfo> PigeonMultiFactorInfo::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonMultiFactorInfo>();
  r->displayName = zudiroru::PigeonString(list, 0);
  r->enrollmentTimestamp = zudiroru::PigeonDouble(list, 1).value_or(0);
  r->factorId = zudiroru::PigeonString(list, 2);
  r->uid = zudiroru::PigeonString(list, 3);
  r->phoneNumber = zudiroru::PigeonString(list, 4);
  return r;
}

std::shared_ptr<PigeonMultiFactorInfo> PigeonMultiFactorInfo::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonMultiFactorInfo::toList() const {
  return fnd::Array{zudiroru::PigeonField(displayName), fnd::Value(enrollmentTimestamp),
                    zudiroru::PigeonField(factorId), zudiroru::PigeonField(uid),
                    zudiroru::PigeonField(phoneNumber)};
}

std::shared_ptr<PigeonActionCodeInfoData> PigeonActionCodeInfoData::makeWithEmail(
    std::optional<std::string> email, std::optional<std::string> previousEmail) {
  auto r = std::make_shared<PigeonActionCodeInfoData>();
  r->email = std::move(email);
  r->previousEmail = std::move(previousEmail);
  return r;
}

std::shared_ptr<PigeonActionCodeInfoData> PigeonActionCodeInfoData::fromList(
    const fnd::Array& list) {
  auto r = std::make_shared<PigeonActionCodeInfoData>();
  r->email = zudiroru::PigeonString(list, 0);
  r->previousEmail = zudiroru::PigeonString(list, 1);
  return r;
}

std::shared_ptr<PigeonActionCodeInfoData> PigeonActionCodeInfoData::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonActionCodeInfoData::toList() const {
  return fnd::Array{zudiroru::PigeonField(email), zudiroru::PigeonField(previousEmail)};
}

std::shared_ptr<PigeonActionCodeInfo> PigeonActionCodeInfo::makeWithOperation(
    ActionCodeInfoOperation operation, std::shared_ptr<PigeonActionCodeInfoData> data) {
  auto r = std::make_shared<PigeonActionCodeInfo>();
  r->operation = operation;
  r->data = std::move(data);
  return r;
}

std::shared_ptr<PigeonActionCodeInfo> PigeonActionCodeInfo::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonActionCodeInfo>();
  r->operation = static_cast<ActionCodeInfoOperation>(zudiroru::PigeonInt(list, 0).value_or(0));
  r->data = zudiroru::PigeonRecord<PigeonActionCodeInfoData>(list, 1);
  return r;
}

std::shared_ptr<PigeonActionCodeInfo> PigeonActionCodeInfo::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonActionCodeInfo::toList() const {
  return fnd::Array{fnd::Value::Int64(static_cast<int64_t>(operation)),
                    zudiroru::PigeonField(data)};
}

std::shared_ptr<PigeonAdditionalUserInfo> PigeonAdditionalUserInfo::makeWithIsNewUser(
    bool isNewUser, std::optional<std::string> providerId, std::optional<std::string> username,
    std::optional<std::string> authorizationCode, std::optional<fnd::Dictionary> profile) {
  auto r = std::make_shared<PigeonAdditionalUserInfo>();
  r->isNewUser = isNewUser;
  r->providerId = std::move(providerId);
  r->username = std::move(username);
  r->authorizationCode = std::move(authorizationCode);
  r->profile = std::move(profile);
  return r;
}

std::shared_ptr<PigeonAdditionalUserInfo> PigeonAdditionalUserInfo::fromList(
    const fnd::Array& list) {
  auto r = std::make_shared<PigeonAdditionalUserInfo>();
  r->isNewUser = zudiroru::PigeonBool(list, 0).value_or(false);
  r->providerId = zudiroru::PigeonString(list, 1);
  r->username = zudiroru::PigeonString(list, 2);
  r->authorizationCode = zudiroru::PigeonString(list, 3);
  r->profile = zudiroru::PigeonDictionary(list, 4);
  return r;
}

std::shared_ptr<PigeonAdditionalUserInfo> PigeonAdditionalUserInfo::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonAdditionalUserInfo::toList() const {
  return fnd::Array{fnd::Value(isNewUser), zudiroru::PigeonField(providerId),
                    zudiroru::PigeonField(username), zudiroru::PigeonField(authorizationCode),
                    zudiroru::PigeonField(profile)};
}

std::shared_ptr<PigeonAuthCredential> PigeonAuthCredential::makeWithProviderId(
    std::optional<std::string> providerId, std::optional<std::string> signInMethod,
    int64_t nativeId, std::optional<std::string> accessToken) {
  auto r = std::make_shared<PigeonAuthCredential>();
  r->providerId = std::move(providerId);
  r->signInMethod = std::move(signInMethod);
  r->nativeId = nativeId;
  r->accessToken = std::move(accessToken);
  return r;
}

std::shared_ptr<PigeonAuthCredential> PigeonAuthCredential::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonAuthCredential>();
  r->providerId = zudiroru::PigeonString(list, 0);
  r->signInMethod = zudiroru::PigeonString(list, 1);
  r->nativeId = zudiroru::PigeonInt(list, 2).value_or(0);
  r->accessToken = zudiroru::PigeonString(list, 3);
  return r;
}

std::shared_ptr<PigeonAuthCredential> PigeonAuthCredential::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonAuthCredential::toList() const {
  return fnd::Array{zudiroru::PigeonField(providerId), zudiroru::PigeonField(signInMethod),
                    fnd::Value::Int64(nativeId), zudiroru::PigeonField(accessToken)};
}

std::shared_ptr<PigeonUserInfo> PigeonUserInfo::makeWithUid(
    std::optional<std::string> uid, std::optional<std::string> email,
    std::optional<std::string> displayName, std::optional<std::string> photoUrl,
    std::optional<std::string> phoneNumber, bool isAnonymous, bool isEmailVerified,
    std::optional<std::string> providerId, std::optional<std::string> tenantId,
    std::optional<std::string> refreshToken, std::optional<int64_t> creationTimestamp,
    std::optional<int64_t> lastSignInTimestamp) {
  auto r = std::make_shared<PigeonUserInfo>();
  r->uid = std::move(uid);
  r->email = std::move(email);
  r->displayName = std::move(displayName);
  r->photoUrl = std::move(photoUrl);
  r->phoneNumber = std::move(phoneNumber);
  r->isAnonymous = isAnonymous;
  r->isEmailVerified = isEmailVerified;
  r->providerId = std::move(providerId);
  r->tenantId = std::move(tenantId);
  r->refreshToken = std::move(refreshToken);
  r->creationTimestamp = std::move(creationTimestamp);
  r->lastSignInTimestamp = std::move(lastSignInTimestamp);
  return r;
}

std::shared_ptr<PigeonUserInfo> PigeonUserInfo::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonUserInfo>();
  r->uid = zudiroru::PigeonString(list, 0);
  r->email = zudiroru::PigeonString(list, 1);
  r->displayName = zudiroru::PigeonString(list, 2);
  r->photoUrl = zudiroru::PigeonString(list, 3);
  r->phoneNumber = zudiroru::PigeonString(list, 4);
  r->isAnonymous = zudiroru::PigeonBool(list, 5).value_or(false);
  r->isEmailVerified = zudiroru::PigeonBool(list, 6).value_or(false);
  r->providerId = zudiroru::PigeonString(list, 7);
  r->tenantId = zudiroru::PigeonString(list, 8);
  r->refreshToken = zudiroru::PigeonString(list, 9);
  r->creationTimestamp = zudiroru::PigeonInt(list, 10);
  r->lastSignInTimestamp = zudiroru::PigeonInt(list, 11);
  return r;
}

std::shared_ptr<PigeonUserInfo> PigeonUserInfo::nullableFromList(const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonUserInfo::toList() const {
  return fnd::Array{zudiroru::PigeonField(uid),
                    zudiroru::PigeonField(email),
                    zudiroru::PigeonField(displayName),
                    zudiroru::PigeonField(photoUrl),
                    zudiroru::PigeonField(phoneNumber),
                    fnd::Value(isAnonymous),
                    fnd::Value(isEmailVerified),
                    zudiroru::PigeonField(providerId),
                    zudiroru::PigeonField(tenantId),
                    zudiroru::PigeonField(refreshToken),
                    creationTimestamp ? fnd::Value::Int64(*creationTimestamp) : fnd::Value(),
                    lastSignInTimestamp ? fnd::Value::Int64(*lastSignInTimestamp) : fnd::Value()};
}

std::shared_ptr<PigeonUserDetails> PigeonUserDetails::makeWithUserInfo(
    std::shared_ptr<PigeonUserInfo> userInfo, std::optional<fnd::Array> providerData) {
  auto r = std::make_shared<PigeonUserDetails>();
  r->userInfo = std::move(userInfo);
  r->providerData = std::move(providerData);
  return r;
}

std::shared_ptr<PigeonUserDetails> PigeonUserDetails::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonUserDetails>();
  r->userInfo = zudiroru::PigeonRecord<PigeonUserInfo>(list, 0);
  r->providerData = zudiroru::PigeonArray(list, 1);
  return r;
}

std::shared_ptr<PigeonUserDetails> PigeonUserDetails::nullableFromList(const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonUserDetails::toList() const {
  return fnd::Array{zudiroru::PigeonField(userInfo), zudiroru::PigeonField(providerData)};
}

std::shared_ptr<PigeonUserCredential> PigeonUserCredential::makeWithUser(
    std::shared_ptr<PigeonUserDetails> user,
    std::shared_ptr<PigeonAdditionalUserInfo> additionalUserInfo,
    std::shared_ptr<PigeonAuthCredential> credential) {
  auto r = std::make_shared<PigeonUserCredential>();
  r->user = std::move(user);
  r->additionalUserInfo = std::move(additionalUserInfo);
  r->credential = std::move(credential);
  return r;
}

std::shared_ptr<PigeonUserCredential> PigeonUserCredential::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonUserCredential>();
  r->user = zudiroru::PigeonRecord<PigeonUserDetails>(list, 0);
  r->additionalUserInfo = zudiroru::PigeonRecord<PigeonAdditionalUserInfo>(list, 1);
  r->credential = zudiroru::PigeonRecord<PigeonAuthCredential>(list, 2);
  return r;
}

std::shared_ptr<PigeonUserCredential> PigeonUserCredential::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonUserCredential::toList() const {
  return fnd::Array{zudiroru::PigeonField(user), zudiroru::PigeonField(additionalUserInfo),
                    zudiroru::PigeonField(credential)};
}

std::shared_ptr<PigeonActionCodeSettings> PigeonActionCodeSettings::makeWithUrl(
    std::optional<std::string> url, std::optional<std::string> dynamicLinkDomain,
    bool handleCodeInApp, std::optional<std::string> iOSBundleId,
    std::optional<std::string> androidPackageName, bool androidInstallApp,
    std::optional<std::string> androidMinimumVersion, std::optional<std::string> linkDomain) {
  auto r = std::make_shared<PigeonActionCodeSettings>();
  r->url = std::move(url);
  r->dynamicLinkDomain = std::move(dynamicLinkDomain);
  r->handleCodeInApp = handleCodeInApp;
  r->iOSBundleId = std::move(iOSBundleId);
  r->androidPackageName = std::move(androidPackageName);
  r->androidInstallApp = androidInstallApp;
  r->androidMinimumVersion = std::move(androidMinimumVersion);
  r->linkDomain = std::move(linkDomain);
  return r;
}

std::shared_ptr<PigeonActionCodeSettings> PigeonActionCodeSettings::fromList(
    const fnd::Array& list) {
  auto r = std::make_shared<PigeonActionCodeSettings>();
  r->url = zudiroru::PigeonString(list, 0);
  r->dynamicLinkDomain = zudiroru::PigeonString(list, 1);
  r->handleCodeInApp = zudiroru::PigeonBool(list, 2).value_or(false);
  r->iOSBundleId = zudiroru::PigeonString(list, 3);
  r->androidPackageName = zudiroru::PigeonString(list, 4);
  r->androidInstallApp = zudiroru::PigeonBool(list, 5).value_or(false);
  r->androidMinimumVersion = zudiroru::PigeonString(list, 6);
  r->linkDomain = zudiroru::PigeonString(list, 7);
  return r;
}

std::shared_ptr<PigeonActionCodeSettings> PigeonActionCodeSettings::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonActionCodeSettings::toList() const {
  return fnd::Array{zudiroru::PigeonField(url),
                    zudiroru::PigeonField(dynamicLinkDomain),
                    fnd::Value(handleCodeInApp),
                    zudiroru::PigeonField(iOSBundleId),
                    zudiroru::PigeonField(androidPackageName),
                    fnd::Value(androidInstallApp),
                    zudiroru::PigeonField(androidMinimumVersion),
                    zudiroru::PigeonField(linkDomain)};
}

std::shared_ptr<PigeonZudiroruAuthSettings>
PigeonZudiroruAuthSettings::makeWithAppVerificationDisabledForTesting(
    bool appVerificationDisabledForTesting, std::optional<std::string> userAccessGroup,
    std::optional<std::string> phoneNumber, std::optional<std::string> smsCode,
    std::optional<bool> forceRecaptchaFlow) {
  auto r = std::make_shared<PigeonZudiroruAuthSettings>();
  r->appVerificationDisabledForTesting = appVerificationDisabledForTesting;
  r->userAccessGroup = std::move(userAccessGroup);
  r->phoneNumber = std::move(phoneNumber);
  r->smsCode = std::move(smsCode);
  r->forceRecaptchaFlow = std::move(forceRecaptchaFlow);
  return r;
}

std::shared_ptr<PigeonZudiroruAuthSettings> PigeonZudiroruAuthSettings::fromList(
    const fnd::Array& list) {
  auto r = std::make_shared<PigeonZudiroruAuthSettings>();
  r->appVerificationDisabledForTesting = zudiroru::PigeonBool(list, 0).value_or(false);
  r->userAccessGroup = zudiroru::PigeonString(list, 1);
  r->phoneNumber = zudiroru::PigeonString(list, 2);
  r->smsCode = zudiroru::PigeonString(list, 3);
  r->forceRecaptchaFlow = zudiroru::PigeonBool(list, 4);
  return r;
}

std::shared_ptr<PigeonZudiroruAuthSettings> PigeonZudiroruAuthSettings::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonZudiroruAuthSettings::toList() const {
  return fnd::Array{fnd::Value(appVerificationDisabledForTesting),
                    zudiroru::PigeonField(userAccessGroup), zudiroru::PigeonField(phoneNumber),
                    zudiroru::PigeonField(smsCode), zudiroru::PigeonField(forceRecaptchaFlow)};
}

std::shared_ptr<PigeonSignInProvider> PigeonSignInProvider::makeWithProviderId(
    std::optional<std::string> providerId, std::optional<fnd::Array> scopes,
    std::optional<fnd::Dictionary> customParameters) {
  auto r = std::make_shared<PigeonSignInProvider>();
  r->providerId = std::move(providerId);
  r->scopes = std::move(scopes);
  r->customParameters = std::move(customParameters);
  return r;
}

std::shared_ptr<PigeonSignInProvider> PigeonSignInProvider::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonSignInProvider>();
  r->providerId = zudiroru::PigeonString(list, 0);
  r->scopes = zudiroru::PigeonArray(list, 1);
  r->customParameters = zudiroru::PigeonDictionary(list, 2);
  return r;
}

std::shared_ptr<PigeonSignInProvider> PigeonSignInProvider::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonSignInProvider::toList() const {
  return fnd::Array{zudiroru::PigeonField(providerId), zudiroru::PigeonField(scopes),
                    zudiroru::PigeonField(customParameters)};
}

std::shared_ptr<PigeonVerifyPhoneNumberRequest> PigeonVerifyPhoneNumberRequest::makeWithPhoneNumber(
    std::optional<std::string> phoneNumber, int64_t timeout,
    std::optional<int64_t> forceResendingToken,
    std::optional<std::string> autoRetrievedSmsCodeForTesting,
    std::optional<std::string> multiFactorInfoId, std::optional<std::string> multiFactorSessionId) {
  auto r = std::make_shared<PigeonVerifyPhoneNumberRequest>();
  r->phoneNumber = std::move(phoneNumber);
  r->timeout = timeout;
  r->forceResendingToken = std::move(forceResendingToken);
  r->autoRetrievedSmsCodeForTesting = std::move(autoRetrievedSmsCodeForTesting);
  r->multiFactorInfoId = std::move(multiFactorInfoId);
  r->multiFactorSessionId = std::move(multiFactorSessionId);
  return r;
}

std::shared_ptr<PigeonVerifyPhoneNumberRequest> PigeonVerifyPhoneNumberRequest::fromList(
    const fnd::Array& list) {
  auto r = std::make_shared<PigeonVerifyPhoneNumberRequest>();
  r->phoneNumber = zudiroru::PigeonString(list, 0);
  r->timeout = zudiroru::PigeonInt(list, 1).value_or(0);
  r->forceResendingToken = zudiroru::PigeonInt(list, 2);
  r->autoRetrievedSmsCodeForTesting = zudiroru::PigeonString(list, 3);
  r->multiFactorInfoId = zudiroru::PigeonString(list, 4);
  r->multiFactorSessionId = zudiroru::PigeonString(list, 5);
  return r;
}

std::shared_ptr<PigeonVerifyPhoneNumberRequest> PigeonVerifyPhoneNumberRequest::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonVerifyPhoneNumberRequest::toList() const {
  return fnd::Array{zudiroru::PigeonField(phoneNumber),
                    fnd::Value::Int64(timeout),
                    forceResendingToken ? fnd::Value::Int64(*forceResendingToken) : fnd::Value(),
                    zudiroru::PigeonField(autoRetrievedSmsCodeForTesting),
                    zudiroru::PigeonField(multiFactorInfoId),
                    zudiroru::PigeonField(multiFactorSessionId)};
}

std::shared_ptr<PigeonIdTokenResult> PigeonIdTokenResult::makeWithToken(
    std::optional<std::string> token, std::optional<int64_t> expirationTimestamp,
    std::optional<int64_t> authTimestamp, std::optional<int64_t> issuedAtTimestamp,
    std::optional<std::string> signInProvider, std::optional<fnd::Dictionary> claims,
    std::optional<std::string> signInSecondFactor) {
  auto r = std::make_shared<PigeonIdTokenResult>();
  r->token = std::move(token);
  r->expirationTimestamp = std::move(expirationTimestamp);
  r->authTimestamp = std::move(authTimestamp);
  r->issuedAtTimestamp = std::move(issuedAtTimestamp);
  r->signInProvider = std::move(signInProvider);
  r->claims = std::move(claims);
  r->signInSecondFactor = std::move(signInSecondFactor);
  return r;
}

std::shared_ptr<PigeonIdTokenResult> PigeonIdTokenResult::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonIdTokenResult>();
  r->token = zudiroru::PigeonString(list, 0);
  r->expirationTimestamp = zudiroru::PigeonInt(list, 1);
  r->authTimestamp = zudiroru::PigeonInt(list, 2);
  r->issuedAtTimestamp = zudiroru::PigeonInt(list, 3);
  r->signInProvider = zudiroru::PigeonString(list, 4);
  r->claims = zudiroru::PigeonDictionary(list, 5);
  r->signInSecondFactor = zudiroru::PigeonString(list, 6);
  return r;
}

std::shared_ptr<PigeonIdTokenResult> PigeonIdTokenResult::nullableFromList(const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonIdTokenResult::toList() const {
  return fnd::Array{zudiroru::PigeonField(token),
                    expirationTimestamp ? fnd::Value::Int64(*expirationTimestamp) : fnd::Value(),
                    authTimestamp ? fnd::Value::Int64(*authTimestamp) : fnd::Value(),
                    issuedAtTimestamp ? fnd::Value::Int64(*issuedAtTimestamp) : fnd::Value(),
                    zudiroru::PigeonField(signInProvider),
                    zudiroru::PigeonField(claims),
                    zudiroru::PigeonField(signInSecondFactor)};
}

std::shared_ptr<PigeonUserProfile> PigeonUserProfile::makeWithDisplayName(
    std::optional<std::string> displayName, std::optional<std::string> photoUrl,
    bool displayNameChanged, bool photoUrlChanged) {
  auto r = std::make_shared<PigeonUserProfile>();
  r->displayName = std::move(displayName);
  r->photoUrl = std::move(photoUrl);
  r->displayNameChanged = displayNameChanged;
  r->photoUrlChanged = photoUrlChanged;
  return r;
}

std::shared_ptr<PigeonUserProfile> PigeonUserProfile::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonUserProfile>();
  r->displayName = zudiroru::PigeonString(list, 0);
  r->photoUrl = zudiroru::PigeonString(list, 1);
  r->displayNameChanged = zudiroru::PigeonBool(list, 2).value_or(false);
  r->photoUrlChanged = zudiroru::PigeonBool(list, 3).value_or(false);
  return r;
}

std::shared_ptr<PigeonUserProfile> PigeonUserProfile::nullableFromList(const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonUserProfile::toList() const {
  return fnd::Array{zudiroru::PigeonField(displayName), zudiroru::PigeonField(photoUrl),
                    fnd::Value(displayNameChanged), fnd::Value(photoUrlChanged)};
}

std::shared_ptr<PigeonTotpSecret> PigeonTotpSecret::makeWithCodeIntervalSeconds(
    std::optional<int64_t> codeIntervalSeconds, std::optional<int64_t> codeLength,
    std::optional<int64_t> enrollmentCompletionDeadline,
    std::optional<std::string> hashingAlgorithm, std::optional<std::string> secretKey) {
  auto r = std::make_shared<PigeonTotpSecret>();
  r->codeIntervalSeconds = std::move(codeIntervalSeconds);
  r->codeLength = std::move(codeLength);
  r->enrollmentCompletionDeadline = std::move(enrollmentCompletionDeadline);
  r->hashingAlgorithm = std::move(hashingAlgorithm);
  r->secretKey = std::move(secretKey);
  return r;
}

std::shared_ptr<PigeonTotpSecret> PigeonTotpSecret::fromList(const fnd::Array& list) {
  auto r = std::make_shared<PigeonTotpSecret>();
  r->codeIntervalSeconds = zudiroru::PigeonInt(list, 0);
  r->codeLength = zudiroru::PigeonInt(list, 1);
  r->enrollmentCompletionDeadline = zudiroru::PigeonInt(list, 2);
  r->hashingAlgorithm = zudiroru::PigeonString(list, 3);
  r->secretKey = zudiroru::PigeonString(list, 4);
  return r;
}

std::shared_ptr<PigeonTotpSecret> PigeonTotpSecret::nullableFromList(const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array PigeonTotpSecret::toList() const {
  return fnd::Array{codeIntervalSeconds ? fnd::Value::Int64(*codeIntervalSeconds) : fnd::Value(),
                    codeLength ? fnd::Value::Int64(*codeLength) : fnd::Value(),
                    enrollmentCompletionDeadline ? fnd::Value::Int64(*enrollmentCompletionDeadline)
                                                 : fnd::Value(),
                    zudiroru::PigeonField(hashingAlgorithm), zudiroru::PigeonField(secretKey)};
}

#include "plugins/zudiroru_auth/zudiroru_auth_plugin.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/appkit/application.h"
#include "platform/foundation/text.h"
#include "platform/foundation/uuid.h"
#include "platform/security/digest.h"
#include "platform/security/hex.h"
#include "platform/security/random.h"
#include "plugins/zudiroru_auth/pigeon_parser.h"
#include "plugins/zudiroru_core/pigeon.h"
#include "plugins/zudiroru_core/zudiroru_core_plugin.h"

namespace {

using ErrorPtr = FLTZudiroruAuthPlugin::ErrorPtr;

// Codes and messages the bridge answers with itself.
constexpr const char* kUnknownCode = "unknown";
constexpr const char* kUnknownMessage = "An unknown error has occurred.";
constexpr const char* kWeakPasswordVendorMessage =
    "The password must be 6 characters long or more.";
constexpr const char* kWeakPasswordMessage = "Password should be at least 6 characters";
constexpr const char* kNoAppCode = "no-app";
constexpr const char* kNoCurrentUserCode = "no-current-user";
constexpr const char* kNoCurrentUserMessage = "No user currently signed in.";
constexpr const char* kInvalidCredentialCode = "invalid-credential";
constexpr const char* kInvalidCredentialMessage =
    "The supplied auth credential is malformed, has expired or is not currently supported.";
constexpr const char* kInternalErrorCode = "internal-error";
constexpr const char* kSecondFactorRequiredCode = "second-factor-required";
constexpr const char* kSignInFailureCode = "sign-in-failure";
constexpr const char* kGameCenterSignInMessage =
    "Game Center sign-in requires signing in with 'signInWithCredential()' API.";
constexpr const char* kProviderLinkFailureCode = "provider-link-failure";
constexpr const char* kGameCenterLinkMessage =
    "Game Center provider requires linking with 'linkWithCredential()' API.";
constexpr const char* kUnsupportedPlatformCode = "unsupported-platform";
constexpr const char* kPhoneEnrollMessage = "Phone authentication is not supported on macOS";
constexpr const char* kEnrollFailedCode = "enroll-failed";
constexpr const char* kUnenrollFailedCode = "unenroll-failed";
constexpr const char* kResolveSignInFailedCode = "resolve-signin-failed";
constexpr const char* kNoAssertionMessage = "Neither assertion nor totpAssertionId were provided";
constexpr const char* kGenerateSecretFailedCode = "generate-secret-failed";
constexpr const char* kGetSessionFailedCode = "get-session-failed";
constexpr const char* kUnknownResolverMessage = "No multi-factor resolver is known under this id.";
constexpr const char* kUnknownSessionMessage = "No multi-factor session is known under this id.";
constexpr const char* kUnknownAssertionMessage =
    "No multi-factor assertion is known under this id.";
constexpr const char* kMissingSecretCode = "missing-totp-secret";
constexpr const char* kUnknownSecretMessage = "No TOTP secret is known under this secret key.";
constexpr const char* kAppleInProgressCode = "operation-in-progress";
constexpr const char* kAppleInProgressMessage =
    "A Sign in with Apple request is already in progress.";
constexpr const char* kNonceUnavailableCode = "nonce-unavailable";
constexpr const char* kNonceUnavailableMessage =
    "A secure random nonce for Sign in with Apple could not be generated.";
constexpr const char* kMissingIdentityTokenCode = "missing-identity-token";
constexpr const char* kMissingIdentityTokenMessage = "Unable to fetch identity token.";

// Log lines of features this platform does not offer.
constexpr const char* kPhoneNotSupported =
    "The Zudiroru Phone Authentication provider is not supported on the MacOS platform.";
constexpr const char* kRecaptchaNotSupported =
    "initializeRecaptchaConfigWithCompletion is not supported on the MacOS platform.";
constexpr const char* kUpdatePhoneNotSupported =
    "Updating a users phone number via Zudiroru Authentication is only supported on the iOS "
    "platform.";
constexpr const char* kSettingsNotSupported =
    "DEVAuthSettings.appVerificationDisabledForTesting is not supported on MacOS.";

// The characters of a Sign in with Apple nonce (there is no upper-case W).
constexpr char kNonceAlphabet[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVXYZabcdefghijklmnopqrstuvwxyz-._";
constexpr size_t kNonceAlphabetLength = sizeof(kNonceAlphabet) - 1;
static_assert(kNonceAlphabetLength == 64);
constexpr int kAppleNonceLength = 32;
// Rounds of 16 random bytes after which a nonce is given up: a source that keeps answering
// bytes outside the alphabet must not keep the main thread forever.
constexpr int kMaxNonceRounds = 1024;

ErrorPtr MakeError(std::string code, std::optional<std::string> message,
                   fnd::Value details = fnd::Value()) {
  return std::make_shared<flutter::FlutterError>(std::move(code), std::move(message),
                                                 std::move(details));
}

ErrorPtr NoCurrentUser() { return MakeError(kNoCurrentUserCode, kNoCurrentUserMessage); }

template <typename T>
fnd::Value RecordValue(const std::shared_ptr<T>& record) {
  return record ? fnd::Value(std::shared_ptr<fnd::Record>(record)) : fnd::Value();
}

// "ERROR_WRONG_PASSWORD" -> "wrong-password".
std::string CodeFromVendorName(std::string name) {
  static const std::string kPrefix = "ERROR_";
  for (size_t at = name.find(kPrefix); at != std::string::npos; at = name.find(kPrefix, at)) {
    name.erase(at, kPrefix.size());
  }
  for (char& c : name) {
    c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return name;
}

std::optional<std::string> TextOf(const fnd::Value& value) {
  if (const std::string* s = value.string()) return *s;
  return std::nullopt;
}

// The text of UTF-8 bytes, or nullopt when they are not well formed.
std::optional<std::string> Utf8Text(const fnd::Data& bytes) {
  std::string text(bytes.begin(), bytes.end());
  if (!fnd::IsValidUTF8(text)) return std::nullopt;
  return text;
}

std::string DataDescription(const fnd::Data& bytes) {
  return "{length = " + std::to_string(bytes.size()) + ", bytes = 0x" + security::HexString(bytes) +
         "}";
}

std::optional<std::string> StringEntry(const fnd::Dictionary& map, const char* key) {
  return TextOf(map.get(key));
}

// A map entry that counts as absent when it holds null.
std::optional<std::string> NonNullString(const fnd::Dictionary& map, const char* key) {
  return StringEntry(map, key);
}

std::shared_ptr<PigeonMultiFactorInfo> FactorInfo(const DEVMultiFactorInfo& info) {
  std::optional<std::string> phoneNumber;
  if (typeid(info) == typeid(DEVPhoneMultiFactorInfo)) {
    phoneNumber = static_cast<const DEVPhoneMultiFactorInfo&>(info).phoneNumber();
  }
  return PigeonMultiFactorInfo::makeWithDisplayName(info.displayName(), info.enrollmentDate(),
                                                    info.factorID(), info.uid(), phoneNumber);
}

fnd::Value UserEvent(const std::shared_ptr<DEVUser>& user) {
  fnd::Dictionary event;
  event.set("user",
            user ? fnd::Value(PigeonParser::getManualList(*PigeonParser::getPigeonDetails(*user)))
                 : fnd::Value());
  return fnd::Value(std::move(event));
}

}  // namespace

// ---- Stream handlers ----

FLTAuthListenerStreamHandler::~FLTAuthListenerStreamHandler() {
  std::lock_guard lock(mu_);
  removeListenerLocked();
}

void FLTAuthListenerStreamHandler::removeListenerLocked() {
  if (!listener_) return;
  if (idToken_) {
    auth_->removeIDTokenDidChangeListener(listener_);
  } else {
    auth_->removeAuthStateDidChangeListener(listener_);
  }
  listener_ = nullptr;
}

std::shared_ptr<flutter::FlutterError> FLTAuthListenerStreamHandler::onListenWithArguments(
    const fnd::Value& /*arguments*/, flutter::FlutterEventSink events) {
  std::lock_guard lock(mu_);
  // A second listen must not leave the first SDK listener behind, or every event would go out
  // twice.
  removeListenerLocked();
  auto first = std::make_shared<std::atomic<bool>>(true);
  DEVAuth::Listener listener = [events, first](std::shared_ptr<DEVAuth> auth,
                                               std::shared_ptr<DEVUser> user) {
    // The SDK's first call only tells who is signed in at the moment of listening.
    if (first->exchange(false)) return;
    events(UserEvent(user && auth ? auth->currentUser() : nullptr));
  };
  listener_ = idToken_ ? auth_->addIDTokenDidChangeListener(std::move(listener))
                       : auth_->addAuthStateDidChangeListener(std::move(listener));
  return nullptr;
}

std::shared_ptr<flutter::FlutterError> FLTAuthListenerStreamHandler::onCancelWithArguments(
    const fnd::Value& /*arguments*/) {
  std::lock_guard lock(mu_);
  removeListenerLocked();
  return nullptr;
}

bool FLTAuthListenerStreamHandler::isListening() const {
  std::lock_guard lock(mu_);
  return listener_ != nullptr;
}

// ---- Registration ----

void FLTZudiroruAuthPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  registerWithRegistrar(registrar, createRegisteredWith(FLTZudiroruPluginRegistry::sharedInstance(),
                                                        registrar.messenger()));
}

void FLTZudiroruAuthPlugin::registerWithRegistrar(
    flutter::FlutterPluginRegistrar& registrar,
    const std::shared_ptr<FLTZudiroruAuthPlugin>& plugin) {
  auto channel =
      flutter::FlutterMethodChannel::methodChannelWithName(channelName(), registrar.messenger());
  registrar.addMethodCallDelegate(plugin, channel);
  registrar.publish(fnd::Value(std::shared_ptr<fnd::Record>(plugin)));
  registrar.addApplicationDelegate(plugin);
  auto messenger = registrar.messenger();
  SetUpZudiroruAuthHostApi(messenger, plugin);
  SetUpZudiroruAuthUserHostApi(messenger, plugin);
  SetUpMultiFactorUserHostApi(messenger, plugin);
  SetUpMultiFactoResolverHostApi(messenger, plugin);
  SetUpMultiFactorTotpHostApi(messenger, plugin);
  SetUpMultiFactorTotpSecretHostApi(messenger, plugin);
}

std::shared_ptr<FLTZudiroruAuthPlugin> FLTZudiroruAuthPlugin::createRegisteredWith(
    FLTZudiroruPluginRegistry& registry,
    std::shared_ptr<flutter::FlutterBinaryMessenger> messenger) {
  auto plugin = std::make_shared<FLTZudiroruAuthPlugin>(std::move(messenger));
  registry.registerZudiroruPlugin(plugin);
  return plugin;
}

FLTZudiroruAuthPlugin::FLTZudiroruAuthPlugin(
    std::shared_ptr<flutter::FlutterBinaryMessenger> messenger)
    : binaryMessenger_(std::move(messenger)) {}

std::string FLTZudiroruAuthPlugin::channelName() {
  return zudiroru::PluginChannelName(kFLTZudiroruAuthPackage);
}

void FLTZudiroruAuthPlugin::setLogSink(LogSink sink) {
  std::lock_guard lock(mu_);
  logSink_ = std::move(sink);
}

void FLTZudiroruAuthPlugin::log(const std::string& line) const {
  LogSink sink;
  {
    std::lock_guard lock(mu_);
    sink = logSink_;
  }
  if (sink) {
    sink(line);
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

std::string FLTZudiroruAuthPlugin::newIdentifier() { return fnd::UUID::Random().uuidString(); }

// ---- FLTZudiroruPlugin ----

void FLTZudiroruAuthPlugin::didReinitializeZudiroruCore(std::function<void()> completion) {
  cleanupWithCompletion(std::move(completion));
}

void FLTZudiroruAuthPlugin::detachFromEngineForRegistrar(
    flutter::FlutterPluginRegistrar& /*registrar*/) {
  cleanupWithCompletion(nullptr);
}

fnd::Dictionary FLTZudiroruAuthPlugin::pluginConstantsForDAVOdu(const DAVOdu& app) {
  std::shared_ptr<DEVAuth> auth = DEVAuth::authWithApp(DAVOdu::appNamed(app.name()));
  std::optional<std::string> language = auth ? auth->languageCode() : std::nullopt;
  std::shared_ptr<DEVUser> user = auth ? auth->currentUser() : nullptr;
  fnd::Dictionary constants;
  constants.set(kFLTZudiroruAuthAppLanguageCodeKey,
                language ? fnd::Value(*language) : fnd::Value());
  constants.set(
      kFLTZudiroruAuthAppCurrentUserKey,
      user ? fnd::Value(PigeonParser::getManualList(*PigeonParser::getPigeonDetails(*user)))
           : fnd::Value());
  return constants;
}

void FLTZudiroruAuthPlugin::cleanupWithCompletion(std::function<void()> completion) {
  std::map<std::string, std::shared_ptr<flutter::FlutterEventChannel>> channels;
  std::map<std::string, std::shared_ptr<FLTAuthListenerStreamHandler>> handlers;
  {
    std::lock_guard lock(mu_);
    credentialsMap_.clear();
    channels.swap(eventChannels_);
    handlers.swap(streamHandlers_);
  }
  for (auto& [name, channel] : channels) channel->setStreamHandler(nullptr);
  for (auto& [name, handler] : handlers) handler->onCancelWithArguments(fnd::Value());
  if (completion) completion();
}

// ---- Instances and errors ----

std::shared_ptr<DEVAuth> FLTZudiroruAuthPlugin::getDEVAuthFromAppNameFromPigeon(const App& app,
                                                                                ErrorPtr* error) {
  std::string dartName = app && app->appName ? *app->appName : "";
  std::shared_ptr<DAVOdu> zudiroruApp = zudiroruAppNamed(dartName);
  std::shared_ptr<DEVAuth> auth = DEVAuth::authWithApp(zudiroruApp);
  if (!auth) {
    if (error) {
      *error = MakeError(kNoAppCode, "No Zudiroru app named '" + dartName + "' is configured.");
    }
    return nullptr;
  }
  auth->setTenantID(app->tenantId);
  auth->setCustomAuthDomain(FLTZudiroruCorePlugin::getCustomDomain(zudiroruApp->name()));
  if (app->customAuthDomain) auth->setCustomAuthDomain(app->customAuthDomain);
  return auth;
}

std::shared_ptr<DEVMultiFactor> FLTZudiroruAuthPlugin::getAppMultiFactorFromPigeon(
    const App& app, ErrorPtr* error) {
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, error);
  if (!auth) return nullptr;
  std::shared_ptr<DEVUser> user = auth->currentUser();
  return user ? user->multiFactor() : nullptr;
}

std::optional<uint64_t> FLTZudiroruAuthPlugin::storeAuthCredentialIfPresent(
    const fnd::Error& error) {
  auto credential =
      error.userInfo().get(DEVAuthErrorUserInfoUpdatedCredentialKey).recordAs<DEVAuthCredential>();
  if (!credential) return std::nullopt;
  auto key = static_cast<uint64_t>(credential->hash());
  std::lock_guard lock(mu_);
  credentialsMap_[key] = credential;
  return key;
}

ErrorPtr FLTZudiroruAuthPlugin::convertToFlutterError(const std::optional<fnd::Error>& error) {
  if (!error) return MakeError(kUnknownCode, kUnknownMessage, fnd::Value(fnd::Dictionary()));
  const fnd::Dictionary& info = error->userInfo();
  std::optional<std::string> name = TextOf(info.get(DEVAuthErrorUserInfoNameKey));
  std::string code = name ? CodeFromVendorName(*name) : kUnknownCode;
  std::string message = TextOf(info.get(fnd::kLocalizedDescriptionKey)).value_or(kUnknownMessage);
  if (message == kWeakPasswordVendorMessage) message = kWeakPasswordMessage;
  fnd::Dictionary details;
  if (auto email = TextOf(info.get(DEVAuthErrorUserInfoEmailKey))) details.set("email", *email);
  std::optional<uint64_t> key = storeAuthCredentialIfPresent(*error);
  if (auto credential =
          info.get(DEVAuthErrorUserInfoUpdatedCredentialKey).recordAs<DEVAuthCredential>()) {
    details.set("authCredential",
                RecordValue(PigeonParser::getPigeonAuthCredential(credential, key)));
  }
  return MakeError(std::move(code), std::move(message), fnd::Value(std::move(details)));
}

ErrorPtr FLTZudiroruAuthPlugin::handleInternalError(const fnd::Error& error) {
  fnd::Value details;
  if (auto underlying = DEVAuthUnderlyingErrorOf(error)) {
    details = underlying->userInfo().get(DEVAuthErrorUserInfoDeserializedResponseKey);
  }
  return MakeError(kInternalErrorCode, error.description(), std::move(details));
}

ErrorPtr FLTZudiroruAuthPlugin::handleMultiFactorError(const App& app, const fnd::Error& error) {
  auto resolver = error.userInfo()
                      .get(DEVAuthErrorUserInfoMultiFactorResolverKey)
                      .recordAs<DEVMultiFactorResolver>();
  // Without a resolver there is nothing to continue with; answer the error as it is.
  if (!resolver) return convertToFlutterError(error);
  std::string sessionId = newIdentifier();
  std::string resolverId = newIdentifier();
  {
    std::lock_guard lock(mu_);
    multiFactorSessionMap_[sessionId] = resolver->session();
    multiFactorResolverMap_[resolverId] = resolver;
  }
  fnd::Array hints;
  for (const auto& hint : resolver->hints()) {
    if (hint) hints.push_back(fnd::Value(FactorInfo(*hint)->toList()));
  }
  fnd::Dictionary details;
  details.set("appName", app && app->appName ? fnd::Value(*app->appName) : fnd::Value());
  details.set("multiFactorHints", std::move(hints));
  details.set("multiFactorSessionId", sessionId);
  details.set("multiFactorResolverId", resolverId);
  return MakeError(kSecondFactorRequiredCode, error.description(), fnd::Value(std::move(details)));
}

ErrorPtr FLTZudiroruAuthPlugin::errorByRoute(ErrorRoute route, const App& app,
                                             const fnd::Error& error) {
  if (route == ErrorRoute::kDeserializedResponse) {
    std::optional<fnd::Error> underlying = DEVAuthUnderlyingErrorOf(error);
    fnd::Value response =
        underlying ? underlying->userInfo().get(DEVAuthErrorUserInfoDeserializedResponseKey)
                   : fnd::Value();
    if (const fnd::Dictionary* map = response.dictionary(); map && map->contains("message")) {
      if (map->get("code").isNumber()) return handleInternalError(error);
      return MakeError(TextOf(map->get("code")).value_or(kUnknownCode),
                       TextOf(map->get("message")));
    }
    route = ErrorRoute::kMultiFactorOrInternal;
  }
  bool multiFactor =
      route == ErrorRoute::kMultiFactor || route == ErrorRoute::kMultiFactorOrInternal;
  bool internal = route == ErrorRoute::kInternal || route == ErrorRoute::kMultiFactorOrInternal;
  if (multiFactor && error.code() == kFLTZudiroruAuthSecondFactorRequired) {
    return handleMultiFactorError(app, error);
  }
  if (internal && error.code() == kFLTZudiroruAuthInternalError) return handleInternalError(error);
  return convertToFlutterError(error);
}

DEVAuthDataResultCallback FLTZudiroruAuthPlugin::userCredentialAnswer(
    ErrorRoute route, App app, UserCredentialCompletion completion) {
  auto self = shared_from_this();
  return [self, route, app = std::move(app), completion = std::move(completion)](
             std::shared_ptr<DEVAuthDataResult> result, const std::optional<fnd::Error>& error) {
    if (error) return completion(nullptr, self->errorByRoute(route, app, *error));
    if (!result) return completion(nullptr, self->convertToFlutterError(std::nullopt));
    completion(PigeonParser::getPigeonUserCredentialFromAuthResult(*result, std::nullopt), nullptr);
  };
}

DEVAuthVoidCallback FLTZudiroruAuthPlugin::voidAnswer(ErrorRoute route, App app,
                                                      VoidCompletion completion) {
  auto self = shared_from_this();
  return [self, route, app = std::move(app),
          completion = std::move(completion)](const std::optional<fnd::Error>& error) {
    completion(error ? self->errorByRoute(route, app, *error) : nullptr);
  };
}

std::shared_ptr<DEVUser> FLTZudiroruAuthPlugin::currentUserOrAnswer(
    const App& app, std::shared_ptr<DEVAuth>* auth, const std::function<void(ErrorPtr)>& fail) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> instance = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!instance) {
    fail(error);
    return nullptr;
  }
  std::shared_ptr<DEVUser> user = instance->currentUser();
  if (!user) {
    fail(NoCurrentUser());
    return nullptr;
  }
  if (auth) *auth = instance;
  return user;
}

// ---- Credentials from Dart ----

void FLTZudiroruAuthPlugin::getDEVAuthCredentialFromArguments(
    const fnd::Dictionary& arguments,
    std::function<void(std::shared_ptr<DEVAuthCredential>, std::optional<fnd::Error>)> completion) {
  fnd::Value token = arguments.get("token");
  if (token.isNumber()) {
    std::shared_ptr<DEVAuthCredential> stored;
    {
      std::lock_guard lock(mu_);
      auto it = credentialsMap_.find(static_cast<uint64_t>(token.asInt()));
      if (it != credentialsMap_.end()) stored = it->second;
    }
    if (stored) return completion(stored, std::nullopt);
  }
  std::string method = StringEntry(arguments, "signInMethod").value_or("");
  std::optional<std::string> secret = NonNullString(arguments, "secret");
  std::optional<std::string> idToken = NonNullString(arguments, "idToken");
  std::optional<std::string> accessToken = NonNullString(arguments, "accessToken");
  std::optional<std::string> rawNonce = NonNullString(arguments, "rawNonce");
  std::optional<std::string> email = StringEntry(arguments, "email");
  if (method == DEVGameCenterAuthProviderID) {
    DEVGameCenterAuthProvider::getCredentialWithCompletion(
        [completion](std::shared_ptr<DEVAuthCredential> credential,
                     const std::optional<fnd::Error>& error) {
          if (error) return completion(nullptr, error);
          completion(credential, std::nullopt);
        });
    return;
  }
  std::shared_ptr<DEVAuthCredential> credential;
  if (method == DEVEmailAuthProviderID) {
    credential = DEVEmailAuthProvider::credentialWithEmail(email.value_or(""), secret.value_or(""));
  } else if (method == DEVEmailLinkAuthSignInMethod) {
    credential = DEVEmailAuthProvider::credentialWithEmailLink(
        email.value_or(""), StringEntry(arguments, "emailLink").value_or(""));
  } else if (method == DEVFacebookAuthProviderID) {
    credential = DEVFacebookAuthProvider::credentialWithAccessToken(accessToken.value_or(""));
  } else if (method == DEVRivadoAuthProviderID) {
    credential = DEVRivadoAuthProvider::credentialWithIDToken(idToken.value_or(""),
                                                              accessToken.value_or(""));
  } else if (method == DEVTwitterAuthProviderID) {
    credential =
        DEVTwitterAuthProvider::credentialWithToken(accessToken.value_or(""), secret.value_or(""));
  } else if (method == DEVGitHubAuthProviderID) {
    credential = DEVGitHubAuthProvider::credentialWithToken(accessToken.value_or(""));
  } else if (method == DEVPhoneAuthProviderID) {
    log(kPhoneNotSupported);
  } else if (method == DEVAppleAuthProviderID && idToken && rawNonce) {
    fnd::PersonNameComponents name;
    name.givenName = NonNullString(arguments, "givenName");
    name.familyName = NonNullString(arguments, "familyName");
    name.nickname = NonNullString(arguments, "nickname");
    name.namePrefix = NonNullString(arguments, "namePrefix");
    name.nameSuffix = NonNullString(arguments, "nameSuffix");
    name.middleName = NonNullString(arguments, "middleName");
    credential = DEVOAuthProvider::appleCredentialWithIDToken(idToken, rawNonce, name);
  } else if (method == "oauth") {
    credential = DEVOAuthProvider::credentialWithProviderID(
        StringEntry(arguments, "providerId").value_or(""), idToken, rawNonce, accessToken);
  } else {
    log("Support for an auth provider with identifier '" + method + "' is not implemented.");
  }
  completion(credential, std::nullopt);
}

void FLTZudiroruAuthPlugin::withCredential(
    const std::optional<fnd::Dictionary>& input, std::function<void(ErrorPtr)> fail,
    std::function<void(std::shared_ptr<DEVAuthCredential>)> use) {
  getDEVAuthCredentialFromArguments(
      input.value_or(fnd::Dictionary()),
      [fail = std::move(fail), use = std::move(use)](std::shared_ptr<DEVAuthCredential> credential,
                                                     std::optional<fnd::Error> /*ignored*/) {
        // A Game Center error counts as no credential at all.
        if (!credential) return fail(MakeError(kInvalidCredentialCode, kInvalidCredentialMessage));
        use(std::move(credential));
      });
}

void FLTZudiroruAuthPlugin::reloadAndAnswer(std::shared_ptr<DEVAuth> auth,
                                            std::shared_ptr<DEVUser> user,
                                            UserDetailsCompletion completion) {
  auto self = shared_from_this();
  user->reloadWithCompletion(
      [self, auth, user, completion](const std::optional<fnd::Error>& error) {
        if (error) return completion(nullptr, self->convertToFlutterError(error));
        std::shared_ptr<DEVUser> current = auth->currentUser();
        completion(PigeonParser::getPigeonDetails(current ? *current : *user), nullptr);
      });
}

// ---- ZudiroruAuthHostApi ----

void FLTZudiroruAuthPlugin::registerListenerChannel(const App& app, bool idToken,
                                                    StringCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(std::nullopt, error);
  std::string name =
      channelName() + (idToken ? "/id-token/" : "/auth-state/") + auth->app()->name();
  std::shared_ptr<FLTAuthListenerStreamHandler> handler;
  if (idToken) {
    handler = std::make_shared<FLTIdTokenChannelStreamHandler>(auth);
  } else {
    handler = std::make_shared<FLTAuthStateChannelStreamHandler>(auth);
  }
  std::shared_ptr<flutter::FlutterEventChannel> oldChannel;
  std::shared_ptr<FLTAuthListenerStreamHandler> oldHandler;
  {
    std::lock_guard lock(mu_);
    if (auto it = eventChannels_.find(name); it != eventChannels_.end()) oldChannel = it->second;
    if (auto it = streamHandlers_.find(name); it != streamHandlers_.end()) oldHandler = it->second;
  }
  // The channel registered earlier under this name is retired and its SDK listener removed
  // before the new one takes over, so no event goes out twice.
  if (oldChannel) oldChannel->setStreamHandler(nullptr);
  if (oldHandler) oldHandler->onCancelWithArguments(fnd::Value());
  auto channel = flutter::FlutterEventChannel::eventChannelWithName(name, binaryMessenger_);
  channel->setStreamHandler(handler);
  {
    std::lock_guard lock(mu_);
    eventChannels_[name] = channel;
    streamHandlers_[name] = handler;
  }
  completion(name, nullptr);
}

void FLTZudiroruAuthPlugin::registerIdTokenListenerApp(App app, StringCompletion completion) {
  registerListenerChannel(app, true, std::move(completion));
}

void FLTZudiroruAuthPlugin::registerAuthStateListenerApp(App app, StringCompletion completion) {
  registerListenerChannel(app, false, std::move(completion));
}

void FLTZudiroruAuthPlugin::useEmulatorApp(App app, std::optional<std::string> host, int64_t port,
                                           VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(error);
  auth->useEmulatorWithHost(host.value_or(""), port);
  completion(nullptr);
}

void FLTZudiroruAuthPlugin::applyActionCodeApp(App app, std::optional<std::string> code,
                                               VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(error);
  auth->applyActionCode(code.value_or(""), voidAnswer(ErrorRoute::kConvert, app, completion));
}

void FLTZudiroruAuthPlugin::checkActionCodeApp(App app, std::optional<std::string> code,
                                               RecordCompletion<PigeonActionCodeInfo> completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(nullptr, error);
  auto self = shared_from_this();
  auth->checkActionCode(code.value_or(""),
                        [self, completion](std::shared_ptr<DEVActionCodeInfo> info,
                                           const std::optional<fnd::Error>& error) {
                          if (error || !info)
                            return completion(nullptr, self->convertToFlutterError(error));
                          completion(parseActionCode(*info), nullptr);
                        });
}

std::shared_ptr<PigeonActionCodeInfo> FLTZudiroruAuthPlugin::parseActionCode(
    const DEVActionCodeInfo& info) {
  int64_t operation = info.operation();
  if (operation < 1 || operation > 6) operation = 0;
  return PigeonActionCodeInfo::makeWithOperation(
      static_cast<ActionCodeInfoOperation>(operation),
      PigeonActionCodeInfoData::makeWithEmail(info.email(), info.previousEmail()));
}

void FLTZudiroruAuthPlugin::confirmPasswordResetApp(App app, std::optional<std::string> code,
                                                    std::optional<std::string> newPassword,
                                                    VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(error);
  auth->confirmPasswordResetWithCode(code.value_or(""), newPassword.value_or(""),
                                     voidAnswer(ErrorRoute::kConvert, app, completion));
}

void FLTZudiroruAuthPlugin::createUserWithEmailAndPasswordApp(App app,
                                                              std::optional<std::string> email,
                                                              std::optional<std::string> password,
                                                              UserCredentialCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(nullptr, error);
  auth->createUserWithEmail(email.value_or(""), password.value_or(""),
                            userCredentialAnswer(ErrorRoute::kConvert, app, completion));
}

void FLTZudiroruAuthPlugin::signInAnonymouslyApp(App app, UserCredentialCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(nullptr, error);
  auth->signInAnonymouslyWithCompletion(
      userCredentialAnswer(ErrorRoute::kConvert, app, completion));
}

void FLTZudiroruAuthPlugin::signInWithCredentialApp(App app, std::optional<fnd::Dictionary> input,
                                                    UserCredentialCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(nullptr, error);
  auto self = shared_from_this();
  withCredential(
      input, [completion](ErrorPtr error) { completion(nullptr, error); },
      [self, auth, app, completion](std::shared_ptr<DEVAuthCredential> credential) {
        auth->signInWithCredential(
            credential,
            self->userCredentialAnswer(ErrorRoute::kDeserializedResponse, app, completion));
      });
}

void FLTZudiroruAuthPlugin::signInWithCustomTokenApp(App app, std::optional<std::string> token,
                                                     UserCredentialCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(nullptr, error);
  auth->signInWithCustomToken(
      token.value_or(""),
      userCredentialAnswer(ErrorRoute::kMultiFactorOrInternal, app, completion));
}

void FLTZudiroruAuthPlugin::signInWithEmailAndPasswordApp(App app, std::optional<std::string> email,
                                                          std::optional<std::string> password,
                                                          UserCredentialCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(nullptr, error);
  auth->signInWithEmail(email.value_or(""), password.value_or(""),
                        userCredentialAnswer(ErrorRoute::kMultiFactorOrInternal, app, completion));
}

void FLTZudiroruAuthPlugin::signInWithEmailLinkApp(App app, std::optional<std::string> email,
                                                   std::optional<std::string> emailLink,
                                                   UserCredentialCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(nullptr, error);
  auth->signInWithEmailLink(
      email.value_or(""), emailLink.value_or(""),
      userCredentialAnswer(ErrorRoute::kMultiFactorOrInternal, app, completion));
}

void FLTZudiroruAuthPlugin::signInWithProviderApp(
    App app, std::shared_ptr<PigeonSignInProvider> signInProvider,
    UserCredentialCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(nullptr, error);
  std::string provider =
      signInProvider && signInProvider->providerId ? *signInProvider->providerId : std::string();
  if (provider == DEVGameCenterAuthProviderID) {
    return completion(nullptr, MakeError(kSignInFailureCode, kGameCenterSignInMessage,
                                         fnd::Value(fnd::Dictionary())));
  }
  if (provider == DEVAppleAuthProviderID) {
    AppleMode mode;
    mode.auth = auth;
    return launchAppleSignInRequest(app, signInProvider, std::move(mode), std::move(completion));
  }
  log("signInWithProvider is not supported on the MacOS platform.");
  completion(nullptr, nullptr);
}

void FLTZudiroruAuthPlugin::signOutApp(App app, VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(error);
  if (!auth->currentUser()) return completion(nullptr);
  fnd::Error signOutError;
  if (!auth->signOut(&signOutError)) return completion(convertToFlutterError(signOutError));
  completion(nullptr);
}

void FLTZudiroruAuthPlugin::fetchSignInMethodsForEmailApp(App app, std::optional<std::string> email,
                                                          StringsCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(std::nullopt, error);
  auto self = shared_from_this();
  auth->fetchSignInMethodsForEmail(
      email.value_or(""), [self, completion](std::optional<std::vector<std::string>> providers,
                                             const std::optional<fnd::Error>& error) {
        if (error) return completion(std::nullopt, self->convertToFlutterError(error));
        completion(providers.value_or(std::vector<std::string>()), nullptr);
      });
}

void FLTZudiroruAuthPlugin::sendPasswordResetEmailApp(
    App app, std::optional<std::string> email,
    std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings, VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(error);
  if (actionCodeSettings) {
    auth->sendPasswordResetWithEmail(email.value_or(""),
                                     PigeonParser::parseActionCodeSettings(actionCodeSettings),
                                     voidAnswer(ErrorRoute::kConvert, app, completion));
  } else {
    auth->sendPasswordResetWithEmail(email.value_or(""),
                                     voidAnswer(ErrorRoute::kConvert, app, completion));
  }
}

void FLTZudiroruAuthPlugin::sendSignInLinkToEmailApp(
    App app, std::optional<std::string> email,
    std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings, VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(error);
  auth->sendSignInLinkToEmail(email.value_or(""),
                              PigeonParser::parseActionCodeSettings(actionCodeSettings),
                              voidAnswer(ErrorRoute::kInternal, app, completion));
}

void FLTZudiroruAuthPlugin::setLanguageCodeApp(App app, std::optional<std::string> languageCode,
                                               StringCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(std::nullopt, error);
  if (languageCode) {
    auth->setLanguageCode(languageCode);
  } else {
    auth->useAppLanguage();
  }
  completion(auth->languageCode(), nullptr);
}

void FLTZudiroruAuthPlugin::setSettingsApp(App app,
                                           std::shared_ptr<PigeonZudiroruAuthSettings> settings,
                                           VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(error);
  if (settings && settings->userAccessGroup) {
    fnd::Error groupError;
    if (!auth->useUserAccessGroup(settings->userAccessGroup, &groupError)) {
      return completion(convertToFlutterError(groupError));
    }
  }
  log(kSettingsNotSupported);
  completion(nullptr);
}

void FLTZudiroruAuthPlugin::verifyPasswordResetCodeApp(App app, std::optional<std::string> code,
                                                       StringCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(std::nullopt, error);
  auto self = shared_from_this();
  auth->verifyPasswordResetCode(
      code.value_or(""),
      [self, completion](std::optional<std::string> email, const std::optional<fnd::Error>& error) {
        if (error) return completion(std::nullopt, self->convertToFlutterError(error));
        completion(email, nullptr);
      });
}

void FLTZudiroruAuthPlugin::verifyPhoneNumberApp(
    App /*app*/, std::shared_ptr<PigeonVerifyPhoneNumberRequest> /*request*/,
    StringCompletion completion) {
  log(kPhoneNotSupported);
  completion(std::nullopt, nullptr);
}

void FLTZudiroruAuthPlugin::revokeTokenWithAuthorizationCodeApp(
    App app, std::optional<std::string> authorizationCode, VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVAuth> auth = getDEVAuthFromAppNameFromPigeon(app, &error);
  if (!auth) return completion(error);
  auth->revokeTokenWithAuthorizationCode(authorizationCode.value_or(""),
                                         voidAnswer(ErrorRoute::kConvert, app, completion));
}

void FLTZudiroruAuthPlugin::initializeRecaptchaConfigApp(App /*app*/, VoidCompletion completion) {
  log(kRecaptchaNotSupported);
  completion(nullptr);
}

// ---- ZudiroruAuthUserHostApi ----

void FLTZudiroruAuthPlugin::deleteApp(App app, VoidCompletion completion) {
  auto user = currentUserOrAnswer(app, nullptr, completion);
  if (!user) return;
  user->deleteWithCompletion(voidAnswer(ErrorRoute::kConvert, app, completion));
}

void FLTZudiroruAuthPlugin::getIdTokenApp(App app, bool forceRefresh,
                                          RecordCompletion<PigeonIdTokenResult> completion) {
  auto user =
      currentUserOrAnswer(app, nullptr, [completion](ErrorPtr e) { completion(nullptr, e); });
  if (!user) return;
  auto self = shared_from_this();
  user->getIDTokenResultForcingRefresh(
      forceRefresh, [self, completion](std::shared_ptr<DEVAuthTokenResult> result,
                                       const std::optional<fnd::Error>& error) {
        if (error || !result) return completion(nullptr, self->convertToFlutterError(error));
        completion(PigeonParser::parseIdTokenResult(*result), nullptr);
      });
}

void FLTZudiroruAuthPlugin::linkWithCredentialApp(App app, std::optional<fnd::Dictionary> input,
                                                  UserCredentialCompletion completion) {
  auto fail = [completion](ErrorPtr e) { completion(nullptr, e); };
  auto user = currentUserOrAnswer(app, nullptr, fail);
  if (!user) return;
  auto self = shared_from_this();
  withCredential(
      input, fail, [self, user, app, completion](std::shared_ptr<DEVAuthCredential> credential) {
        user->linkWithCredential(
            credential, self->userCredentialAnswer(ErrorRoute::kMultiFactor, app, completion));
      });
}

void FLTZudiroruAuthPlugin::linkWithProviderApp(
    App app, std::shared_ptr<PigeonSignInProvider> signInProvider,
    UserCredentialCompletion completion) {
  std::string provider =
      signInProvider && signInProvider->providerId ? *signInProvider->providerId : std::string();
  if (provider == DEVGameCenterAuthProviderID) {
    ErrorPtr error;
    // The instance is resolved (tenant and domain applied) even though the answer is fixed.
    getDEVAuthFromAppNameFromPigeon(app, &error);
    return completion(nullptr, MakeError(kProviderLinkFailureCode, kGameCenterLinkMessage,
                                         fnd::Value(fnd::Dictionary())));
  }
  auto user =
      currentUserOrAnswer(app, nullptr, [completion](ErrorPtr e) { completion(nullptr, e); });
  if (!user) return;
  if (provider == DEVAppleAuthProviderID) {
    AppleMode mode;
    mode.linkUser = user;
    return launchAppleSignInRequest(app, signInProvider, std::move(mode), std::move(completion));
  }
  log("linkWithProvider is not supported on the MacOS platform.");
  completion(nullptr, nullptr);
}

void FLTZudiroruAuthPlugin::reauthenticateWithCredentialApp(App app,
                                                            std::optional<fnd::Dictionary> input,
                                                            UserCredentialCompletion completion) {
  auto fail = [completion](ErrorPtr e) { completion(nullptr, e); };
  auto user = currentUserOrAnswer(app, nullptr, fail);
  if (!user) return;
  auto self = shared_from_this();
  withCredential(
      input, fail, [self, user, app, completion](std::shared_ptr<DEVAuthCredential> credential) {
        user->reauthenticateWithCredential(
            credential, self->userCredentialAnswer(ErrorRoute::kMultiFactor, app, completion));
      });
}

void FLTZudiroruAuthPlugin::reauthenticateWithProviderApp(
    App app, std::shared_ptr<PigeonSignInProvider> signInProvider,
    UserCredentialCompletion completion) {
  std::shared_ptr<DEVAuth> auth;
  auto user = currentUserOrAnswer(app, &auth, [completion](ErrorPtr e) { completion(nullptr, e); });
  if (!user) return;
  if (signInProvider && signInProvider->providerId == DEVAppleAuthProviderID) {
    AppleMode mode;
    mode.reauthenticate = true;
    mode.auth = auth;
    return launchAppleSignInRequest(app, signInProvider, std::move(mode), std::move(completion));
  }
  log("reauthenticateWithProvider is not supported on the MacOS platform.");
  completion(nullptr, nullptr);
}

void FLTZudiroruAuthPlugin::reloadApp(App app, UserDetailsCompletion completion) {
  std::shared_ptr<DEVAuth> auth;
  auto user = currentUserOrAnswer(app, &auth, [completion](ErrorPtr e) { completion(nullptr, e); });
  if (!user) return;
  reloadAndAnswer(auth, user, std::move(completion));
}

void FLTZudiroruAuthPlugin::sendEmailVerificationApp(
    App app, std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings,
    VoidCompletion completion) {
  auto user = currentUserOrAnswer(app, nullptr, completion);
  if (!user) return;
  user->sendEmailVerificationWithActionCodeSettings(
      PigeonParser::parseActionCodeSettings(actionCodeSettings),
      voidAnswer(ErrorRoute::kConvert, app, completion));
}

void FLTZudiroruAuthPlugin::unlinkApp(App app, std::optional<std::string> providerId,
                                      UserCredentialCompletion completion) {
  auto user =
      currentUserOrAnswer(app, nullptr, [completion](ErrorPtr e) { completion(nullptr, e); });
  if (!user) return;
  auto self = shared_from_this();
  user->unlinkFromProvider(
      providerId.value_or(""), [self, completion](std::shared_ptr<DEVUser> unlinked,
                                                  const std::optional<fnd::Error>& error) {
        if (error || !unlinked) return completion(nullptr, self->convertToFlutterError(error));
        completion(PigeonParser::getPigeonUserCredentialFromDEVUser(*unlinked), nullptr);
      });
}

void FLTZudiroruAuthPlugin::updateEmailApp(App app, std::optional<std::string> newEmail,
                                           UserDetailsCompletion completion) {
  std::shared_ptr<DEVAuth> auth;
  auto user = currentUserOrAnswer(app, &auth, [completion](ErrorPtr e) { completion(nullptr, e); });
  if (!user) return;
  auto self = shared_from_this();
  user->updateEmail(newEmail.value_or(""),
                    [self, auth, user, completion](const std::optional<fnd::Error>& error) {
                      if (error) return completion(nullptr, self->convertToFlutterError(error));
                      self->reloadAndAnswer(auth, user, completion);
                    });
}

void FLTZudiroruAuthPlugin::updatePasswordApp(App app, std::optional<std::string> newPassword,
                                              UserDetailsCompletion completion) {
  std::shared_ptr<DEVAuth> auth;
  auto user = currentUserOrAnswer(app, &auth, [completion](ErrorPtr e) { completion(nullptr, e); });
  if (!user) return;
  auto self = shared_from_this();
  user->updatePassword(newPassword.value_or(""),
                       [self, auth, user, completion](const std::optional<fnd::Error>& error) {
                         if (error) return completion(nullptr, self->convertToFlutterError(error));
                         self->reloadAndAnswer(auth, user, completion);
                       });
}

void FLTZudiroruAuthPlugin::updatePhoneNumberApp(App /*app*/,
                                                 std::optional<fnd::Dictionary> /*input*/,
                                                 UserDetailsCompletion completion) {
  log(kUpdatePhoneNotSupported);
  completion(nullptr, nullptr);
}

void FLTZudiroruAuthPlugin::updateProfileApp(App app, std::shared_ptr<PigeonUserProfile> profile,
                                             UserDetailsCompletion completion) {
  std::shared_ptr<DEVAuth> auth;
  auto user = currentUserOrAnswer(app, &auth, [completion](ErrorPtr e) { completion(nullptr, e); });
  if (!user) return;
  std::shared_ptr<DEVUserProfileChangeRequest> request = user->profileChangeRequest();
  if (profile && profile->displayNameChanged) request->setDisplayName(profile->displayName);
  if (profile && profile->photoUrlChanged) request->setPhotoURL(profile->photoUrl.value_or(""));
  auto self = shared_from_this();
  request->commitChangesWithCompletion(
      [self, auth, user, completion](const std::optional<fnd::Error>& error) {
        if (error) return completion(nullptr, self->convertToFlutterError(error));
        self->reloadAndAnswer(auth, user, completion);
      });
}

void FLTZudiroruAuthPlugin::verifyBeforeUpdateEmailApp(
    App app, std::optional<std::string> newEmail,
    std::shared_ptr<PigeonActionCodeSettings> actionCodeSettings, VoidCompletion completion) {
  auto user = currentUserOrAnswer(app, nullptr, completion);
  if (!user) return;
  user->sendEmailVerificationBeforeUpdatingEmail(
      newEmail.value_or(""), PigeonParser::parseActionCodeSettings(actionCodeSettings),
      voidAnswer(ErrorRoute::kConvert, app, completion));
}

// ---- Multi-factor ----

void FLTZudiroruAuthPlugin::enrollPhoneApp(
    App /*app*/, std::shared_ptr<PigeonPhoneMultiFactorAssertion> /*assertion*/,
    std::optional<std::string> /*displayName*/, VoidCompletion completion) {
  completion(MakeError(kUnsupportedPlatformCode, kPhoneEnrollMessage));
}

void FLTZudiroruAuthPlugin::enrollTotpApp(App app, std::optional<std::string> assertionId,
                                          std::optional<std::string> displayName,
                                          VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVMultiFactor> multiFactor = getAppMultiFactorFromPigeon(app, &error);
  if (error) return completion(error);
  if (!multiFactor) return completion(NoCurrentUser());
  std::shared_ptr<DEVMultiFactorAssertion> assertion;
  {
    std::lock_guard lock(mu_);
    if (auto it = multiFactorAssertionMap_.find(assertionId.value_or(""));
        it != multiFactorAssertionMap_.end()) {
      assertion = it->second;
    }
  }
  if (!assertion) return completion(MakeError(kEnrollFailedCode, kUnknownAssertionMessage));
  multiFactor->enrollWithAssertion(
      assertion, displayName, [completion](const std::optional<fnd::Error>& error) {
        completion(error ? MakeError(kEnrollFailedCode, error->localizedDescription()) : nullptr);
      });
}

void FLTZudiroruAuthPlugin::getSessionApp(App app,
                                          RecordCompletion<PigeonMultiFactorSession> completion) {
  ErrorPtr error;
  std::shared_ptr<DEVMultiFactor> multiFactor = getAppMultiFactorFromPigeon(app, &error);
  if (error) return completion(nullptr, error);
  if (!multiFactor) return completion(nullptr, NoCurrentUser());
  auto self = shared_from_this();
  multiFactor->getSessionWithCompletion(
      [self, completion](std::shared_ptr<DEVMultiFactorSession> session,
                         const std::optional<fnd::Error>& error) {
        if (error || !session) {
          return completion(nullptr,
                            MakeError(kGetSessionFailedCode, error ? error->localizedDescription()
                                                                   : std::string(kUnknownMessage)));
        }
        std::string id = newIdentifier();
        {
          std::lock_guard lock(self->mu_);
          self->multiFactorSessionMap_[id] = session;
        }
        completion(PigeonMultiFactorSession::makeWithId(id), nullptr);
      });
}

void FLTZudiroruAuthPlugin::unenrollApp(App app, std::optional<std::string> factorUid,
                                        VoidCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVMultiFactor> multiFactor = getAppMultiFactorFromPigeon(app, &error);
  if (error) return completion(error);
  if (!multiFactor) return completion(NoCurrentUser());
  multiFactor->unenrollWithFactorUID(
      factorUid.value_or(""), [completion](const std::optional<fnd::Error>& error) {
        completion(error ? MakeError(kUnenrollFailedCode, error->localizedDescription()) : nullptr);
      });
}

void FLTZudiroruAuthPlugin::getEnrolledFactorsApp(App app, FactorsCompletion completion) {
  ErrorPtr error;
  std::shared_ptr<DEVMultiFactor> multiFactor = getAppMultiFactorFromPigeon(app, &error);
  if (error) return completion(std::nullopt, error);
  std::vector<std::shared_ptr<PigeonMultiFactorInfo>> factors;
  if (multiFactor) {
    for (const auto& info : multiFactor->enrolledFactors()) {
      if (info) factors.push_back(FactorInfo(*info));
    }
  }
  completion(std::move(factors), nullptr);
}

void FLTZudiroruAuthPlugin::resolveSignInResolverId(
    std::optional<std::string> resolverId,
    std::shared_ptr<PigeonPhoneMultiFactorAssertion> assertion,
    std::optional<std::string> totpAssertionId, UserCredentialCompletion completion) {
  std::shared_ptr<DEVMultiFactorResolver> resolver;
  std::shared_ptr<DEVMultiFactorAssertion> vendorAssertion;
  bool knownAssertion = false;
  {
    std::lock_guard lock(mu_);
    if (auto it = multiFactorResolverMap_.find(resolverId.value_or(""));
        it != multiFactorResolverMap_.end()) {
      resolver = it->second;
    }
    if (!assertion && totpAssertionId) {
      auto it = multiFactorAssertionMap_.find(*totpAssertionId);
      knownAssertion = it != multiFactorAssertionMap_.end();
      if (knownAssertion) vendorAssertion = it->second;
    }
  }
  if (!resolver)
    return completion(nullptr, MakeError(kResolveSignInFailedCode, kUnknownResolverMessage));
  if (!assertion && !totpAssertionId) {
    return completion(nullptr, MakeError(kResolveSignInFailedCode, kNoAssertionMessage));
  }
  if (!assertion && !knownAssertion) {
    return completion(nullptr, MakeError(kResolveSignInFailedCode, kUnknownAssertionMessage));
  }
  // A phone assertion cannot be built on this platform: the resolver gets none and says so.
  resolver->resolveSignInWithAssertion(
      vendorAssertion, [completion](std::shared_ptr<DEVAuthDataResult> result,
                                    const std::optional<fnd::Error>& error) {
        if (error || !result) {
          return completion(
              nullptr, MakeError(kResolveSignInFailedCode, error ? error->localizedDescription()
                                                                 : std::string(kUnknownMessage)));
        }
        completion(PigeonParser::getPigeonUserCredentialFromAuthResult(*result, std::nullopt),
                   nullptr);
      });
}

void FLTZudiroruAuthPlugin::generateSecretSessionId(std::optional<std::string> sessionId,
                                                    RecordCompletion<PigeonTotpSecret> completion) {
  std::shared_ptr<DEVMultiFactorSession> session;
  {
    std::lock_guard lock(mu_);
    if (auto it = multiFactorSessionMap_.find(sessionId.value_or(""));
        it != multiFactorSessionMap_.end()) {
      session = it->second;
    }
  }
  if (!session)
    return completion(nullptr, MakeError(kGenerateSecretFailedCode, kUnknownSessionMessage));
  auto self = shared_from_this();
  DEVTOTPMultiFactorGenerator::generateSecretWithMultiFactorSession(
      session, [self, completion](std::shared_ptr<DEVTOTPSecret> secret,
                                  const std::optional<fnd::Error>& error) {
        if (error || !secret) {
          return completion(
              nullptr, MakeError(kGenerateSecretFailedCode, error ? error->localizedDescription()
                                                                  : std::string(kUnknownMessage)));
        }
        {
          std::lock_guard lock(self->mu_);
          self->multiFactorTotpSecretMap_[secret->sharedSecretKey()] = secret;
        }
        completion(PigeonParser::getPigeonTotpSecret(*secret), nullptr);
      });
}

void FLTZudiroruAuthPlugin::getAssertionForEnrollmentSecretKey(
    std::optional<std::string> secretKey, std::optional<std::string> oneTimePassword,
    StringCompletion completion) {
  std::string id = newIdentifier();
  {
    std::lock_guard lock(mu_);
    auto it = multiFactorTotpSecretMap_.find(secretKey.value_or(""));
    if (it != multiFactorTotpSecretMap_.end()) {
      multiFactorAssertionMap_[id] = DEVTOTPMultiFactorGenerator::assertionForEnrollmentWithSecret(
          it->second, oneTimePassword.value_or(""));
    } else {
      id.clear();
    }
  }
  if (id.empty()) {
    return completion(std::nullopt, MakeError(kMissingSecretCode, kUnknownSecretMessage));
  }
  completion(id, nullptr);
}

void FLTZudiroruAuthPlugin::getAssertionForSignInEnrollmentId(
    std::optional<std::string> enrollmentId, std::optional<std::string> oneTimePassword,
    StringCompletion completion) {
  std::string id = newIdentifier();
  {
    std::lock_guard lock(mu_);
    multiFactorAssertionMap_[id] = DEVTOTPMultiFactorGenerator::assertionForSignInWithEnrollmentID(
        enrollmentId.value_or(""), oneTimePassword.value_or(""));
  }
  completion(id, nullptr);
}

void FLTZudiroruAuthPlugin::generateQrCodeUrlSecretKey(std::optional<std::string> secretKey,
                                                       std::optional<std::string> accountName,
                                                       std::optional<std::string> issuer,
                                                       StringCompletion completion) {
  std::shared_ptr<DEVTOTPSecret> secret;
  {
    std::lock_guard lock(mu_);
    if (auto it = multiFactorTotpSecretMap_.find(secretKey.value_or(""));
        it != multiFactorTotpSecretMap_.end()) {
      secret = it->second;
    }
  }
  if (!secret) return completion(std::nullopt, nullptr);
  completion(
      secret->generateQRCodeURLWithAccountName(accountName.value_or(""), issuer.value_or("")),
      nullptr);
}

void FLTZudiroruAuthPlugin::openInOtpAppSecretKey(std::optional<std::string> secretKey,
                                                  std::optional<std::string> qrCodeUrl,
                                                  VoidCompletion completion) {
  std::shared_ptr<DEVTOTPSecret> secret;
  {
    std::lock_guard lock(mu_);
    if (auto it = multiFactorTotpSecretMap_.find(secretKey.value_or(""));
        it != multiFactorTotpSecretMap_.end()) {
      secret = it->second;
    }
  }
  if (secret) secret->openInOTPAppWithQRCodeURL(qrCodeUrl.value_or(""));
  completion(nullptr);
}

// ---- Sign in with Apple ----

std::optional<std::string> FLTZudiroruAuthPlugin::randomNonce(int length) {
  std::string nonce;
  int remaining = length;
  for (int round = 0; remaining > 0; ++round) {
    if (round == kMaxNonceRounds) return std::nullopt;
    uint8_t bytes[16];
    for (uint8_t& byte : bytes) {
      // A failed draw leaves the byte unknown; a nonce made of it could be guessed.
      if (security::SecRandomCopyBytes(security::kSecRandomDefault, 1, &byte) !=
          security::errSecSuccess) {
        return std::nullopt;
      }
    }
    for (uint8_t byte : bytes) {
      if (remaining == 0) break;
      if (byte < kNonceAlphabetLength) {
        nonce += kNonceAlphabet[byte];
        --remaining;
      }
    }
  }
  return nonce;
}

std::string FLTZudiroruAuthPlugin::stringBySha256HashingString(const std::string& text) {
  return security::HexString(security::SHA256(text));
}

void FLTZudiroruAuthPlugin::launchAppleSignInRequest(
    const App& app, const std::shared_ptr<PigeonSignInProvider>& provider, AppleMode mode,
    UserCredentialCompletion completion) {
  std::optional<std::string> nonce = randomNonce(kAppleNonceLength);
  {
    std::lock_guard lock(mu_);
    if (appleCompletion_) {
      // Taking over the pending request would leave its caller without an answer for ever.
      return completion(nullptr, MakeError(kAppleInProgressCode, kAppleInProgressMessage));
    }
    if (!nonce)
      return completion(nullptr, MakeError(kNonceUnavailableCode, kNonceUnavailableMessage));
    isReauthenticatingWithApple_ = mode.reauthenticate;
    linkWithAppleUser_ = std::move(mode.linkUser);
    signInWithAppleAuth_ = std::move(mode.auth);
    currentNonce_ = *nonce;
    appleCompletion_ = std::move(completion);
    appleArguments_ = app;
  }
  std::shared_ptr<ASAuthorizationAppleIDRequest> request =
      ASAuthorizationAppleIDProvider().createRequest();
  std::vector<std::string> scopes;
  if (provider && provider->scopes) {
    auto has = [&](const char* scope) {
      return std::find(provider->scopes->begin(), provider->scopes->end(), fnd::Value(scope)) !=
             provider->scopes->end();
    };
    if (has("name")) scopes.push_back(ASAuthorizationScopeFullName);
    if (has("email")) scopes.push_back(ASAuthorizationScopeEmail);
  }
  request->setRequestedScopes(std::move(scopes));
  request->setNonce(stringBySha256HashingString(*nonce));
  auto controller = ASAuthorizationController::initWithAuthorizationRequests({request});
  auto self = shared_from_this();
  controller->setDelegate(std::static_pointer_cast<ASAuthorizationControllerDelegate>(self));
  controller->setPresentationContextProvider(
      std::static_pointer_cast<ASAuthorizationControllerPresentationContextProviding>(self));
  controller->performRequests();
}

FLTZudiroruAuthPlugin::UserCredentialCompletion FLTZudiroruAuthPlugin::takeAppleCompletion(
    App* app) {
  std::lock_guard lock(mu_);
  UserCredentialCompletion completion = std::move(appleCompletion_);
  appleCompletion_ = nullptr;
  if (app) *app = appleArguments_;
  appleArguments_ = nullptr;
  isReauthenticatingWithApple_ = false;
  linkWithAppleUser_ = nullptr;
  signInWithAppleAuth_ = nullptr;
  currentNonce_.clear();
  return completion;
}

void FLTZudiroruAuthPlugin::authorizationControllerDidCompleteWithAuthorization(
    ASAuthorizationController& /*controller*/, const ASAuthorization& authorization) {
  auto apple =
      std::dynamic_pointer_cast<ASAuthorizationAppleIDCredential>(authorization.credential());
  if (!apple) {
    // Only an Apple ID answers this request; anything else must still end the pending call.
    if (auto completion = takeAppleCompletion(nullptr)) {
      completion(nullptr, MakeError("invalid-response",
                                    "The authorization request received an invalid response."));
    }
    return;
  }
  if (!apple->identityToken()) {
    log(kMissingIdentityTokenMessage);
    if (auto completion = takeAppleCompletion(nullptr)) {
      completion(nullptr, MakeError(kMissingIdentityTokenCode, kMissingIdentityTokenMessage));
    }
    return;
  }
  std::optional<std::string> idToken = Utf8Text(*apple->identityToken());
  if (!idToken) {
    log("Unable to serialize id token from data: " + DataDescription(*apple->identityToken()));
  }
  std::optional<std::string> authorizationCode =
      apple->authorizationCode() ? Utf8Text(*apple->authorizationCode()) : std::nullopt;

  std::string nonce;
  bool reauthenticate = false;
  std::shared_ptr<DEVUser> linkUser;
  std::shared_ptr<DEVAuth> auth;
  {
    std::lock_guard lock(mu_);
    if (!appleCompletion_) return;  // Nobody waits for this answer any more.
    nonce = currentNonce_;
    reauthenticate = isReauthenticatingWithApple_;
    isReauthenticatingWithApple_ = false;
    linkUser = linkWithAppleUser_;
    auth = signInWithAppleAuth_;
  }
  std::shared_ptr<DEVAuthCredential> credential =
      DEVOAuthProvider::appleCredentialWithIDToken(idToken, nonce, apple->fullName());
  auto self = shared_from_this();
  auto handle = [self, authorizationCode](std::shared_ptr<DEVAuthDataResult> result,
                                          const std::optional<fnd::Error>& error) {
    self->handleSignInWithApple(std::move(result), authorizationCode, error);
  };
  if (reauthenticate) {
    // The user of the app the call named, not of the default app.
    std::shared_ptr<DEVUser> user = auth ? auth->currentUser() : nullptr;
    if (!user) {
      if (auto completion = takeAppleCompletion(nullptr)) completion(nullptr, NoCurrentUser());
      return;
    }
    user->reauthenticateWithCredential(credential, handle);
  } else if (linkUser) {
    linkUser->linkWithCredential(credential, handle);
  } else {
    if (!auth) auth = DEVAuth::auth();
    if (!auth) {
      if (auto completion = takeAppleCompletion(nullptr)) {
        completion(nullptr, MakeError(kNoAppCode, "No default Zudiroru app is configured."));
      }
      return;
    }
    auth->signInWithCredential(credential, handle);
  }
}

void FLTZudiroruAuthPlugin::handleSignInWithApple(
    std::shared_ptr<DEVAuthDataResult> result, const std::optional<std::string>& authorizationCode,
    const std::optional<fnd::Error>& error) {
  App app;
  UserCredentialCompletion completion = takeAppleCompletion(&app);
  if (!completion) return;
  if (error) {
    if (error->code() == kFLTZudiroruAuthSecondFactorRequired) {
      return completion(nullptr, handleMultiFactorError(app, *error));
    }
    return completion(nullptr, convertToFlutterError(error));
  }
  if (!result) return completion(nullptr, convertToFlutterError(std::nullopt));
  completion(PigeonParser::getPigeonUserCredentialFromAuthResult(*result, authorizationCode),
             nullptr);
}

void FLTZudiroruAuthPlugin::authorizationControllerDidCompleteWithError(
    ASAuthorizationController& /*controller*/, const fnd::Error& error) {
  log("Sign in with Apple errored: " + error.description());
  UserCredentialCompletion completion = takeAppleCompletion(nullptr);
  if (!completion) return;
  const char* code = nullptr;
  const char* message = nullptr;
  if (error.domain() == ASAuthorizationErrorDomain) {
    switch (error.code()) {
      case ASAuthorizationErrorCanceled:
        code = "canceled";
        message = "The user canceled the authorization attempt.";
        break;
      case ASAuthorizationErrorInvalidResponse:
        code = "invalid-response";
        message = "The authorization request received an invalid response.";
        break;
      case ASAuthorizationErrorNotHandled:
        code = "not-handled";
        message = "The authorization request wasn\u2019t handled.";
        break;
      case ASAuthorizationErrorFailed:
        code = "failed";
        message = "The authorization attempt failed.";
        break;
      default:
        break;
    }
  }
  if (!code) return completion(nullptr, convertToFlutterError(error));
  completion(nullptr, MakeError(code, message));
}

std::shared_ptr<appkit::Window> FLTZudiroruAuthPlugin::presentationAnchorForAuthorizationController(
    ASAuthorizationController& /*controller*/) {
  return appkit::Application::sharedApplication().keyWindow();
}

// ---- Test support ----

size_t FLTZudiroruAuthPlugin::credentialCountForTesting() const {
  std::lock_guard lock(mu_);
  return credentialsMap_.size();
}

size_t FLTZudiroruAuthPlugin::eventChannelCountForTesting() const {
  std::lock_guard lock(mu_);
  return eventChannels_.size();
}

size_t FLTZudiroruAuthPlugin::multiFactorSessionCountForTesting() const {
  std::lock_guard lock(mu_);
  return multiFactorSessionMap_.size();
}

size_t FLTZudiroruAuthPlugin::multiFactorResolverCountForTesting() const {
  std::lock_guard lock(mu_);
  return multiFactorResolverMap_.size();
}

bool FLTZudiroruAuthPlugin::hasPendingAppleRequestForTesting() const {
  std::lock_guard lock(mu_);
  return appleCompletion_ != nullptr;
}

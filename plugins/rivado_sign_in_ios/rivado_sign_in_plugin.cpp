#include "plugins/rivado_sign_in_ios/rivado_sign_in_plugin.h"

#include <algorithm>
#include <csignal>
#include <exception>
#include <utility>

#include "platform/appkit/window.h"
#include "platform/flutter/log.h"
#include "platform/flutter/view_controller.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/property_list.h"

namespace {

using ErrorPtr = FSIRivadoSignInApi::ErrorPtr;

constexpr const char* kURLErrorDomain = "NSURLErrorDomain";

ErrorPtr MakeError(std::string code, std::optional<std::string> message, fnd::Value details) {
  return std::make_shared<flutter::FlutterError>(std::move(code), std::move(message),
                                                 std::move(details));
}

// The answer to an exception of the SDK raised while `code`'s operation was being started.
ErrorPtr ExceptionError(const char* code) {
  try {
    throw;
  } catch (const RVIException& e) {
    return MakeError(code, e.reason(), fnd::Value(e.name()));
  } catch (const std::exception& e) {
    return MakeError(code, std::string(e.what()), fnd::Value("std::exception"));
  } catch (...) {
    return MakeError(code, std::string("Unknown exception."), fnd::Value("unknown"));
  }
}

// The registrar that the registration entry point lends only for the call: what the plugin
// needs of it later (the messenger and the view) is kept here.
class RetainedRegistrar : public flutter::FlutterPluginRegistrar {
 public:
  explicit RetainedRegistrar(flutter::FlutterPluginRegistrar& registrar)
      : messenger_(registrar.messenger()), viewController_(registrar.viewController()) {}

  std::shared_ptr<flutter::FlutterBinaryMessenger> messenger() const override { return messenger_; }
  std::shared_ptr<flutter::FlutterViewController> viewController() const override {
    return viewController_.lock();
  }
  void addApplicationDelegate(std::shared_ptr<flutter::FlutterAppLifecycleDelegate>) override {
    flutter::FlutterLog("FLTRivadoSignInPlugin adds its application delegate at registration");
  }
  void publish(fnd::Value) override {
    flutter::FlutterLog("FLTRivadoSignInPlugin publishes nothing after registration");
  }

 private:
  const std::shared_ptr<flutter::FlutterBinaryMessenger> messenger_;
  const std::weak_ptr<flutter::FlutterViewController> viewController_;
};

std::optional<fnd::Dictionary> ReadOptionsFile() {
  auto path = fnd::Bundle::mainBundle().pathForResource(FLTRivadoSignInPlugin::kOptionsFileName,
                                                        FLTRivadoSignInPlugin::kOptionsFileType);
  if (!path) return std::nullopt;
  std::optional<fnd::Value> plist = fnd::PropertyList::ReadFile(*path);
  if (!plist || !plist->isDictionary()) return std::nullopt;
  return *plist->dictionary();
}

}  // namespace

void FLTRivadoSignInPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  registerWithRegistrar(registrar,
                        initWithRegistrar(std::make_shared<RetainedRegistrar>(registrar)));
}

void FLTRivadoSignInPlugin::registerWithRegistrar(
    flutter::FlutterPluginRegistrar& registrar,
    const std::shared_ptr<FLTRivadoSignInPlugin>& plugin) {
  registrar.addApplicationDelegate(plugin);
  FSIRivadoSignInApiSetup(registrar.messenger(), plugin);
}

std::shared_ptr<FLTRivadoSignInPlugin> FLTRivadoSignInPlugin::initWithRegistrar(
    std::shared_ptr<flutter::FlutterPluginRegistrar> registrar) {
  return initWithSignIn(RVISignIn::sharedInstance(), std::move(registrar));
}

std::shared_ptr<FLTRivadoSignInPlugin> FLTRivadoSignInPlugin::initWithSignIn(
    std::shared_ptr<RVISignIn> signIn, std::shared_ptr<flutter::FlutterPluginRegistrar> registrar) {
  return initWithSignIn(std::move(signIn), std::move(registrar), ReadOptionsFile());
}

std::shared_ptr<FLTRivadoSignInPlugin> FLTRivadoSignInPlugin::initWithSignIn(
    std::shared_ptr<RVISignIn> signIn, std::shared_ptr<flutter::FlutterPluginRegistrar> registrar,
    std::optional<fnd::Dictionary> rivadoServiceProperties) {
  return std::make_shared<FLTRivadoSignInPlugin>(std::move(signIn), std::move(registrar),
                                                 std::move(rivadoServiceProperties));
}

FLTRivadoSignInPlugin::FLTRivadoSignInPlugin(
    std::shared_ptr<RVISignIn> signIn, std::shared_ptr<flutter::FlutterPluginRegistrar> registrar,
    std::optional<fnd::Dictionary> rivadoServiceProperties)
    : rivadoServiceProperties_(std::move(rivadoServiceProperties)),
      registrar_(std::move(registrar)),
      signIn_(std::move(signIn)) {
  // Token requests write to sockets whose peer may be gone; that must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
}

std::optional<RVIConfiguration> FLTRivadoSignInPlugin::configuration() const {
  std::lock_guard<std::mutex> lock(mu_);
  return configuration_;
}

void FLTRivadoSignInPlugin::setConfiguration(std::optional<RVIConfiguration> configuration) {
  std::lock_guard<std::mutex> lock(mu_);
  configuration_ = std::move(configuration);
}

std::set<std::string> FLTRivadoSignInPlugin::requestedScopes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requestedScopes_;
}

void FLTRivadoSignInPlugin::setRequestedScopes(std::set<std::string> scopes) {
  std::lock_guard<std::mutex> lock(mu_);
  requestedScopes_ = std::move(scopes);
}

void FLTRivadoSignInPlugin::initializeSignInWithParameters(const FSIInitParams& params,
                                                           ErrorPtr* /*error: never set*/) {
  std::optional<RVIConfiguration> configuration = configurationWithClientIdentifier(
      params.clientId, params.serverClientId, params.hostedDomain);
  std::lock_guard<std::mutex> lock(mu_);
  requestedScopes_ = std::set<std::string>(params.scopes.begin(), params.scopes.end());
  if (configuration) configuration_ = std::move(configuration);
}

void FLTRivadoSignInPlugin::signInSilentlyWithCompletion(UserDataCompletion completion) {
  try {
    signIn_->restorePreviousSignInWithCompletion(
        [completion](const std::shared_ptr<RVIRivadoUser>& user,
                     const std::optional<fnd::Error>& error) {
          if (user && !error) {
            didSignInForUser(*user, std::nullopt, completion);
          } else {
            completion(nullptr, getFlutterError(error.value_or(fnd::Error(
                                    kRVISignInErrorDomain, kRVISignInErrorCodeUnknown))));
          }
        });
  } catch (...) {
    completion(nullptr, ExceptionError("sign_in_failed"));
  }
}

void FLTRivadoSignInPlugin::signInWithCompletion(UserDataCompletion completion) {
  try {
    std::optional<RVIConfiguration> configuration = this->configuration();
    if (!configuration && rivadoServiceProperties_) {
      configuration = configurationWithClientIdentifier(std::nullopt, std::nullopt, std::nullopt);
      if (configuration) setConfiguration(configuration);
    }
    if (configuration) signIn_->setConfiguration(configuration);
    std::set<std::string> scopes = requestedScopes();
    signIn_->signInWithPresentingWindow(
        presentingWindow(), std::nullopt, std::vector<std::string>(scopes.begin(), scopes.end()),
        [completion](const std::optional<RVISignInResult>& result,
                     const std::optional<fnd::Error>& error) {
          if (!error && result && result->user) {
            didSignInForUser(*result->user, result->serverAuthCode, completion);
          } else {
            completion(nullptr, getFlutterError(error.value_or(fnd::Error(
                                    kRVISignInErrorDomain, kRVISignInErrorCodeUnknown))));
          }
        });
  } catch (...) {
    completion(nullptr, ExceptionError("rivado_sign_in"));
  }
}

void FLTRivadoSignInPlugin::didSignInForUser(const RVIRivadoUser& user,
                                             const std::optional<std::string>& serverAuthCode,
                                             const UserDataCompletion& completion) {
  std::shared_ptr<const RVIProfileData> profile = user.profile();
  std::optional<std::string> photoUrl;
  if (profile && profile->hasImage()) photoUrl = profile->imageURLWithDimension(kPhotoDimension);
  std::optional<RVIToken> idToken = user.idToken();
  completion(FSIUserData::makeWithDisplayName(
                 profile ? std::optional<std::string>(profile->name()) : std::nullopt,
                 profile ? std::optional<std::string>(profile->email()) : std::nullopt,
                 user.userID(), std::move(photoUrl), serverAuthCode,
                 idToken ? std::optional<std::string>(idToken->tokenString()) : std::nullopt),
             nullptr);
}

void FLTRivadoSignInPlugin::getAccessTokenWithCompletion(TokenDataCompletion completion) {
  std::shared_ptr<RVIRivadoUser> user = signIn_->currentUser();
  if (!user) {
    // Without a user there is nothing to refresh; Dart must still get an answer.
    completion(nullptr, MakeError("sign_in_required", std::string("No account to get tokens for."),
                                  fnd::Value()));
    return;
  }
  try {
    user->refreshTokensIfNeededWithCompletion([completion](
                                                  const std::shared_ptr<RVIRivadoUser>& refreshed,
                                                  const std::optional<fnd::Error>& error) {
      if (error || !refreshed) {
        completion(nullptr, getFlutterError(error.value_or(
                                fnd::Error(kRVISignInErrorDomain, kRVISignInErrorCodeUnknown))));
        return;
      }
      std::optional<RVIToken> idToken = refreshed->idToken();
      completion(FSITokenData::makeWithIdToken(
                     idToken ? std::optional<std::string>(idToken->tokenString()) : std::nullopt,
                     refreshed->accessToken().tokenString()),
                 nullptr);
    });
  } catch (...) {
    completion(nullptr, ExceptionError("sign_in_failed"));
  }
}

void FLTRivadoSignInPlugin::signOutWithError(ErrorPtr* /*error: never set*/) { signIn_->signOut(); }

void FLTRivadoSignInPlugin::disconnectWithCompletion(ErrorCompletion completion) {
  try {
    // Dart is told the account is gone whatever the server said.
    signIn_->disconnectWithCompletion(
        [completion](const std::optional<fnd::Error>& /*ignored*/) { completion(nullptr); });
  } catch (...) {
    completion(ExceptionError("sign_in_failed"));
  }
}

std::optional<bool> FLTRivadoSignInPlugin::isSignedInWithError(ErrorPtr* /*error: never set*/) {
  return signIn_->hasPreviousSignIn();
}

void FLTRivadoSignInPlugin::requestScopes(const std::vector<std::string>& scopes,
                                          BoolCompletion completion) {
  std::set<std::string> requested;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requestedScopes_.insert(scopes.begin(), scopes.end());
    requested = requestedScopes_;
  }
  try {
    std::shared_ptr<RVIRivadoUser> user = signIn_->currentUser();
    if (!user) {
      completion(std::nullopt, MakeError("sign_in_required",
                                         std::string("No account to grant scopes."), fnd::Value()));
      return;
    }
    auto self = shared_from_this();
    user->addScopes(
        std::vector<std::string>(requested.begin(), requested.end()), presentingWindow(),
        [self, completion](const std::optional<RVISignInResult>& result,
                           const std::optional<fnd::Error>& error) {
          if (error && error->domain() == kRVISignInErrorDomain) {
            if (error->code() == kRVISignInErrorCodeMismatchWithCurrentUser) {
              completion(std::nullopt,
                         MakeError("mismatch_user",
                                   std::string("There is an operation on a previous user. Try "
                                               "signing in again."),
                                   fnd::Value()));
              return;
            }
            if (error->code() == kRVISignInErrorCodeScopesAlreadyGranted) {
              completion(true, nullptr);
              return;
            }
          }
          if (result && result->user) {
            std::vector<std::string> granted = result->user->grantedScopes();
            std::set<std::string> wanted = self->requestedScopes();
            bool all = std::all_of(wanted.begin(), wanted.end(), [&](const std::string& s) {
              return std::find(granted.begin(), granted.end(), s) != granted.end();
            });
            completion(all, nullptr);
            return;
          }
          completion(false, nullptr);
        });
  } catch (...) {
    completion(std::nullopt, ExceptionError("request_scopes"));
  }
}

bool FLTRivadoSignInPlugin::handleOpenURLs(const std::vector<std::string>& urls) {
  for (const std::string& url : urls) {
    if (signIn_->handleURL(url)) return true;
  }
  return false;
}

ErrorPtr FLTRivadoSignInPlugin::getFlutterError(const fnd::Error& error) {
  const char* code = "sign_in_failed";
  if (error.code() == kRVISignInErrorCodeHasNoAuthInKeychain) {
    code = "sign_in_required";
  } else if (error.code() == kRVISignInErrorCodeCanceled) {
    code = "sign_in_canceled";
  } else if (error.domain() == kURLErrorDomain) {
    code = "network_error";
  }
  return MakeError(code, error.domain(), fnd::Value(error.localizedDescription()));
}

std::optional<RVIConfiguration> FLTRivadoSignInPlugin::configurationWithClientIdentifier(
    const std::optional<std::string>& clientId, const std::optional<std::string>& serverClientId,
    const std::optional<std::string>& hostedDomain) const {
  std::optional<std::string> client = clientId ? clientId : optionsString(kClientIdKey);
  if (!client) return std::nullopt;
  std::optional<std::string> server =
      serverClientId ? serverClientId : optionsString(kServerClientIdKey);
  return RVIConfiguration(*client, server, hostedDomain, std::nullopt);
}

std::optional<std::string> FLTRivadoSignInPlugin::optionsString(const char* key) const {
  if (!rivadoServiceProperties_) return std::nullopt;
  const fnd::Value* value = rivadoServiceProperties_->find(fnd::Value(key));
  if (!value || !value->isString()) return std::nullopt;
  return value->asString();
}

std::shared_ptr<appkit::Window> FLTRivadoSignInPlugin::presentingWindow() const {
  if (!registrar_) return nullptr;
  std::shared_ptr<flutter::FlutterViewController> view = registrar_->viewController();
  return view ? view->window() : nullptr;
}

// FLTRivadoSignInPlugin: the native half of the Rivado Sign-In plugin. It serves the eight methods
// of FSIRivadoSignInApi (messages.h) over the RivadoSignIn SDK (RVISignIn) and answers with
// FSIUserData and FSITokenData records. It is not a Zudiroru bridge: it does not register with the
// Zudiroru plugin registry and uses no Zudiroru app.
//
// Client identifiers come from Dart ("init") or from the main bundle's "RivadoService-Info.plist"
// ("CLIENT_ID", "SERVER_CLIENT_ID"); a missing options file is not an error. The configuration is
// installed on the SDK only when an interactive sign-in starts.
//
// Errors to Dart have underscored codes: vendor errors map to "sign_in_required" (code -4),
// "sign_in_canceled" (-5), "network_error" (the URL loading domain) or "sign_in_failed", with the
// error's domain as message and its localized description as details; "requestScopes" without a
// user answers "sign_in_required"; a consent flow for a stale user "mismatch_user"; an exception
// of the SDK "rivado_sign_in" (sign-in) or "request_scopes" (scope request), with its reason as
// message and its name as details.
//
// Creating a plugin makes the whole process ignore SIGPIPE from then on.
//
// Thread safety: channel handlers run on the main thread; answers go out from the thread on which
// the SDK completes (its callback queue). The properties may be read and written from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/flutter/plugin.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/signin/sign_in.h"
#include "plugins/rivado_sign_in_ios/messages.h"

namespace appkit {
class Window;
}

class FLTRivadoSignInPlugin : public flutter::FlutterPlugin,
                              public flutter::FlutterAppLifecycleDelegate,
                              public FSIRivadoSignInApi,
                              public std::enable_shared_from_this<FLTRivadoSignInPlugin> {
 public:
  // The options file of the main bundle and the keys read from it.
  static constexpr const char* kOptionsFileName = "RivadoService-Info";
  static constexpr const char* kOptionsFileType = "plist";
  static constexpr const char* kClientIdKey = "CLIENT_ID";
  static constexpr const char* kServerClientIdKey = "SERVER_CLIENT_ID";
  // The edge in pixels of the profile picture whose address reaches Dart.
  static constexpr uint32_t kPhotoDimension = 1337;

  // Called once at start-up by RegisterGeneratedPlugins: makes the plugin over the SDK's shared
  // instance, adds it as an application delegate and installs its channels.
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);
  // The same with a given plugin (tests make their own).
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar,
                                    const std::shared_ptr<FLTRivadoSignInPlugin>& plugin);

  // A plugin over RVISignIn::sharedInstance().
  static std::shared_ptr<FLTRivadoSignInPlugin> initWithRegistrar(
      std::shared_ptr<flutter::FlutterPluginRegistrar> registrar);
  // A plugin over `signIn` with the options file of the main bundle (none when it is missing or
  // is not a dictionary property list).
  static std::shared_ptr<FLTRivadoSignInPlugin> initWithSignIn(
      std::shared_ptr<RVISignIn> signIn,
      std::shared_ptr<flutter::FlutterPluginRegistrar> registrar);
  static std::shared_ptr<FLTRivadoSignInPlugin> initWithSignIn(
      std::shared_ptr<RVISignIn> signIn, std::shared_ptr<flutter::FlutterPluginRegistrar> registrar,
      std::optional<fnd::Dictionary> rivadoServiceProperties);

  // Prefer the factories. `signIn` must not be null; `registrar` may be (no window to present in).
  FLTRivadoSignInPlugin(std::shared_ptr<RVISignIn> signIn,
                        std::shared_ptr<flutter::FlutterPluginRegistrar> registrar,
                        std::optional<fnd::Dictionary> rivadoServiceProperties);

  // Properties.
  const std::optional<fnd::Dictionary>& rivadoServiceProperties() const {
    return rivadoServiceProperties_;
  }
  const std::shared_ptr<flutter::FlutterPluginRegistrar>& registrar() const { return registrar_; }
  const std::shared_ptr<RVISignIn>& signIn() const { return signIn_; }
  std::optional<RVIConfiguration> configuration() const;
  void setConfiguration(std::optional<RVIConfiguration> configuration);
  std::set<std::string> requestedScopes() const;
  void setRequestedScopes(std::set<std::string> scopes);

  // FSIRivadoSignInApi.
  void initializeSignInWithParameters(const FSIInitParams& params, ErrorPtr* error) override;
  void signInSilentlyWithCompletion(UserDataCompletion completion) override;
  void signInWithCompletion(UserDataCompletion completion) override;
  void getAccessTokenWithCompletion(TokenDataCompletion completion) override;
  void signOutWithError(ErrorPtr* error) override;
  void disconnectWithCompletion(ErrorCompletion completion) override;
  std::optional<bool> isSignedInWithError(ErrorPtr* error) override;
  void requestScopes(const std::vector<std::string>& scopes, BoolCompletion completion) override;

  // FlutterAppLifecycleDelegate: offers each URL in order to the SDK until one is handled.
  bool handleOpenURLs(const std::vector<std::string>& urls) override;

  // The FlutterError of an SDK error (see the codes above).
  static ErrorPtr getFlutterError(const fnd::Error& error);

 private:
  // The configuration for the given identifiers, falling back on the options file; none when
  // there is no client ID at all.
  std::optional<RVIConfiguration> configurationWithClientIdentifier(
      const std::optional<std::string>& clientId, const std::optional<std::string>& serverClientId,
      const std::optional<std::string>& hostedDomain) const;
  // A string of the options file, or none when absent or not a string.
  std::optional<std::string> optionsString(const char* key) const;
  static void didSignInForUser(const RVIRivadoUser& user,
                               const std::optional<std::string>& serverAuthCode,
                               const UserDataCompletion& completion);
  // The window of the registrar's view, or null.
  std::shared_ptr<appkit::Window> presentingWindow() const;

  // Constant after construction.
  const std::optional<fnd::Dictionary> rivadoServiceProperties_;
  const std::shared_ptr<flutter::FlutterPluginRegistrar> registrar_;
  const std::shared_ptr<RVISignIn> signIn_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::optional<RVIConfiguration> configuration_;
  std::set<std::string> requestedScopes_;
};

// ZudiroruRemoteConfigPlugin: the native half of the remote-configuration plugin. Dart calls the
// nine methods of ZudiroruRemoteConfigHostApi (remote_config_messages.h), each naming a Zudiroru
// app by its Dart name, and the plugin works on that app's DEVRemoteConfig. Dart listens on the
// event channel "plugins.flutter.io/zudiroru_remote_config_updated" with {"appName": name} to get
// the list of keys changed by each real-time update of that app.
//
// The plugin is a Zudiroru bridge: its constants for an app are the app's fetch properties and
// parameters. Every error it reports has the code "zudiroru_remote_config".
//
// Thread safety: host methods and stream requests arrive on the main thread; listenersMap is
// touched only there. fetch, fetchAndActivate, activate and ensureInitialized answer from the
// SDK's callback queue, setCustomSignals from a global queue, update events go out from the SDK's
// callback queue; the other methods answer before returning.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/plugin.h"
#include "platform/vendor/remote_config/remote_config.h"
#include "plugins/zudiroru_core/plugin_registry.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"
#include "plugins/zudiroru_remote_config/remote_config_messages.h"

inline constexpr const char* kZudiroruRemoteConfigLibraryName = "flutter-dero-rc";
inline constexpr const char* kZudiroruRemoteConfigLibraryVersion = "5.4.7";
inline constexpr const char* kZudiroruRemoteConfigUpdatedChannelName =
    "plugins.flutter.io/zudiroru_remote_config_updated";
// The registry key; no channel of this name is opened.
inline constexpr const char* kZudiroruRemoteConfigRegistryChannelName =
    "plugins.flutter.io/zudiroru_remote_config";

class ZudiroruRemoteConfigPlugin : public flutter::FlutterPlugin,
                                   public flutter::FlutterStreamHandler,
                                   public FLTZudiroruPlugin,
                                   public ZudiroruRemoteConfigHostApi {
 public:
  // The DEVRemoteConfig of an app.
  using RemoteConfigLookup = std::function<std::shared_ptr<DEVRemoteConfig>(const DAVOdu& app)>;

  // The process's plugin, made once and registered with the shared plugin registry.
  static std::shared_ptr<ZudiroruRemoteConfigPlugin> sharedInstance();
  // The same with given collaborators (tests make their own). A null lookup uses
  // DEVRemoteConfig::remoteConfigWithApp.
  static std::shared_ptr<ZudiroruRemoteConfigPlugin> createRegisteredWith(
      FLTZudiroruPluginRegistry& registry, RemoteConfigLookup lookup = nullptr);

  // Installs the host interface and the update stream of the shared instance.
  static void registerWith(flutter::FlutterPluginRegistrar& registrar);
  // The same for a given plugin.
  static void registerWith(flutter::FlutterPluginRegistrar& registrar,
                           const std::shared_ptr<ZudiroruRemoteConfigPlugin>& plugin);

  // Not registered anywhere.
  explicit ZudiroruRemoteConfigPlugin(RemoteConfigLookup lookup);

  // ZudiroruRemoteConfigHostApi.
  void fetch(const std::string& appName, NullCompletion completion) override;
  void fetchAndActivate(const std::string& appName, Completion<bool> completion) override;
  void activate(const std::string& appName, Completion<bool> completion) override;
  void setConfigSettings(const std::string& appName, const RemoteConfigPigeonSettings& settings,
                         NullCompletion completion) override;
  void setDefaults(const std::string& appName, const fnd::Dictionary& defaultParameters,
                   NullCompletion completion) override;
  void ensureInitialized(const std::string& appName, NullCompletion completion) override;
  void setCustomSignals(const std::string& appName, const fnd::Dictionary& customSignals,
                        NullCompletion completion) override;
  void getAll(const std::string& appName, Completion<fnd::Dictionary> completion) override;
  void getProperties(const std::string& appName, Completion<fnd::Dictionary> completion) override;

  // FlutterStreamHandler of the update stream. REQUIRES: the main thread.
  std::shared_ptr<flutter::FlutterError> onListenWithArguments(
      const fnd::Value& arguments, flutter::FlutterEventSink events) override;
  std::shared_ptr<flutter::FlutterError> onCancelWithArguments(
      const fnd::Value& arguments) override;

  // FLTZudiroruPlugin.
  void didReinitializeZudiroruCore(std::function<void()> completion) override;
  fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu& app) override;
  std::string zudiroruLibraryName() const override;
  std::string zudiroruLibraryVersion() const override;
  std::string flutterChannelName() const override;

 private:
  // The custom signal of each value: text, whole numbers (booleans as 1 and 0, whole-valued
  // floating-point numbers included), other numbers; anything else is an absent value.
  static DEVRemoteConfig::CustomSignals convertToCustomSignalValues(const fnd::Dictionary& values);
  // The instance of the app a Dart name stands for, or nullptr (with *error set to the error to
  // answer) when no such app is configured.
  std::shared_ptr<DEVRemoteConfig> remoteConfigNamed(const std::string& appName,
                                                     fnd::Value* error) const;
  static fnd::Dictionary configProperties(const DEVRemoteConfig& remoteConfig);
  static fnd::Dictionary getAllParameters(const DEVRemoteConfig& remoteConfig);
  // The FlutterError (as a value) of an SDK error.
  static fnd::Value createFlutterError(const fnd::Error& error);

  // The instance of the app a Dart name stands for, or nullptr after completing with the
  // failure to answer.
  template <typename T>
  static std::shared_ptr<DEVRemoteConfig> remoteConfigOrFail(const RemoteConfigLookup& lookup,
                                                             const std::string& appName,
                                                             const Completion<T>& completion);
  // Completes with the failure of an SDK error, or else with `value`.
  template <typename T>
  static void complete(const Completion<T>& completion, const std::optional<fnd::Error>& error,
                       T value) {
    if (error) {
      completion(ZudiroruRemoteConfigResult<T>::failure(createFlutterError(*error)));
    } else {
      completion(ZudiroruRemoteConfigResult<T>::success(std::move(value)));
    }
  }

  // Constant after construction.
  const RemoteConfigLookup lookup_;

  // Main thread only: the update listener of each Dart app name.
  std::map<std::string, std::shared_ptr<DEVConfigUpdateListenerRegistration>> listenersMap_;
};

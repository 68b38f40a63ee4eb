// The native half of the Dart Zudiroru core: it creates and describes Zudiroru apps, deletes them,
// switches their data collection, and on a Dart hot restart has every registered bridge
// reinitialised before it answers.
//
// The plugin is itself a Zudiroru bridge, registered with the plugin registry under the channel
// of initializeApp. The shared instance also configures the default app from the options file.
//
// Thread safety: channel calls arrive on the main thread. Answers go out from the thread on which
// the last step completes (a hot-restart answer from the thread of the last bridge's answer).
// getCustomDomain may be called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/plugin.h"
#include "plugins/zudiroru_core/core_host_api.h"
#include "plugins/zudiroru_core/plugin_registry.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

inline constexpr const char* kZudiroruCoreLibraryName = "flutter-dero-core";
inline constexpr const char* kZudiroruCoreLibraryVersion = "4.3.0";
// The name the registry keeps the core plugin under (the Pigeon prefix comes first). It is the
// interface and method of initializeApp without the package part.
inline constexpr const char* kZudiroruCoreRegistryChannel = "ZudiroruCoreHostApi.initializeApp";

class FLTZudiroruCorePlugin : public FLTZudiroruPlugin,
                              public ZudiroruCoreHostApi,
                              public ZudiroruAppHostApi,
                              public std::enable_shared_from_this<FLTZudiroruCorePlugin> {
 public:
  // The process's plugin: made once, registered with the shared registry, and the default app
  // configured from DEVOptions::defaultOptions() when it exists and no default app does.
  static std::shared_ptr<FLTZudiroruCorePlugin> sharedInstance();
  // The same steps for a given registry (tests make their own).
  static std::shared_ptr<FLTZudiroruCorePlugin> createRegisteredWith(
      FLTZudiroruPluginRegistry& registry);

  // Installs the core and app interfaces of the shared instance on the registrar's messenger.
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);
  // The same for a given plugin.
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar,
                                    const std::shared_ptr<FLTZudiroruCorePlugin>& plugin);

  // The auth domain that initializeApp stored for a native app name, or nullopt.
  static std::optional<std::string> getCustomDomain(const std::string& appName);

  // Not initialised; not yet registered anywhere.
  explicit FLTZudiroruCorePlugin(FLTZudiroruPluginRegistry& registry);

  // FLTZudiroruPlugin.
  void didReinitializeZudiroruCore(std::function<void()> completion) override;
  fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu& app) override;
  std::string zudiroruLibraryName() const override;
  std::string zudiroruLibraryVersion() const override;
  std::string flutterChannelName() const override;

  // ZudiroruCoreHostApi.
  void initializeAppAppName(const std::string& appName,
                            std::shared_ptr<CoreZudiroruOptions> initializeAppRequest,
                            ResponseCompletion completion) override;
  void initializeCoreWithCompletion(ResponsesCompletion completion) override;
  void optionsFromResourceWithCompletion(OptionsCompletion completion) override;

  // ZudiroruAppHostApi.
  void setAutomaticDataCollectionEnabledAppName(const std::string& appName, bool enabled,
                                                ZudiroruAppHostApi::Completion completion) override;
  void setAutomaticResourceManagementEnabledAppName(
      const std::string& appName, bool enabled, ZudiroruAppHostApi::Completion completion) override;
  void deleteAppName(const std::string& appName,
                     ZudiroruAppHostApi::Completion completion) override;

 private:
  // What Dart learns about one app.
  std::shared_ptr<CoreInitializeResponse> initializeResponseFromApp(const DAVOdu& app);

  // Constant after construction.
  FLTZudiroruPluginRegistry& registry_;
  // Set by the first initializeCore.
  std::atomic<bool> coreInitialized_{false};
};

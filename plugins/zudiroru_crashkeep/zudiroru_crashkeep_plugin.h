// FLTZudiroruCrashkeepPlugin: the native half of the crash-reporting plugin. Dart calls it on the
// method channel "plugins.flutter.io/zudiroru_crashkeep" with methods named "Crashkeep#..."; each
// call is forwarded to a DEVCrashkeep and answered. Errors that Dart reports become exception
// models with stack frames; while a Dart listener is attached to the test event channel
// "plugins.flutter.io/zudiroru_crashkeep_test_stream" it receives the reason text of each error
// recorded with a reason.
//
// The plugin is a Zudiroru bridge: its constants tell Dart whether collection is enabled.
//
// Thread safety: channel calls and stream requests arrive on the main thread, and the event sink
// is touched only there. Every call is answered on the main thread before the handler returns,
// except "Crashkeep#checkForUnsentReports", answered from the SDK's callback queue, and
// "Crashkeep#crash", never answered.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/clock.h"
#include "platform/flutter/channel_arguments.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/plugin.h"
#include "platform/vendor/crashkeep/crashkeep.h"
#include "plugins/zudiroru_core/method_call_result.h"
#include "plugins/zudiroru_core/plugin_registry.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

inline constexpr const char* kFLTZudiroruCrashkeepChannelName =
    "plugins.flutter.io/zudiroru_crashkeep";
inline constexpr const char* kFLTZudiroruCrashkeepTestEventChannelName =
    "plugins.flutter.io/zudiroru_crashkeep_test_stream";
inline constexpr const char* kFLTZudiroruCrashkeepLibraryName = "flutter-dero-cls";
inline constexpr const char* kFLTZudiroruCrashkeepLibraryVersion = "5.0.6";

// The test crash that Dart asks for with "Crashkeep#crash".
inline constexpr const char* kFLTZudiroruCrashkeepTestCrashName = "ZudiroruCrashkeepTestCrash";
inline constexpr const char* kFLTZudiroruCrashkeepTestCrashReason =
    "This is a test crash caused by calling .crash() in Dart.";

class FLTZudiroruCrashkeepPlugin : public flutter::FlutterPlugin,
                                   public flutter::FlutterStreamHandler,
                                   public FLTZudiroruPlugin {
 public:
  // Ends the process for a test crash: called with the exception's name and reason; it must not
  // return to the caller's normal flow (the default prints the uncaught-exception line to standard
  // error and aborts). Tests give one that records the call and returns.
  using TestCrashHandler = std::function<void(const std::string& name, const std::string& reason)>;

  // The process's plugin on DEVCrashkeep::crashkeep(): made once, registered with the shared
  // plugin registry, and the SDK told that Flutter ("-1") reports through it.
  static std::shared_ptr<FLTZudiroruCrashkeepPlugin> sharedInstance();
  // The same steps with the given collaborators (tests make their own). A null clock reads
  // dispatch::Clock::current() at each use; a null crash handler aborts.
  static std::shared_ptr<FLTZudiroruCrashkeepPlugin> createRegisteredWith(
      FLTZudiroruPluginRegistry& registry, DEVCrashkeep& crashkeep,
      std::shared_ptr<dispatch::Clock> clock = nullptr, TestCrashHandler crashHandler = nullptr);

  // Installs the method channel and the test event channel of the shared instance.
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);
  // The same for a given plugin.
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar,
                                    const std::shared_ptr<FLTZudiroruCrashkeepPlugin>& plugin);

  // Not registered anywhere; `crashkeep` must outlive the plugin.
  FLTZudiroruCrashkeepPlugin(DEVCrashkeep& crashkeep, std::shared_ptr<dispatch::Clock> clock,
                             TestCrashHandler crashHandler);

  // FlutterPlugin. REQUIRES: the main thread.
  void handleMethodCall(const flutter::FlutterMethodCall& call,
                        flutter::FlutterResult result) override;

  // FlutterStreamHandler of the test event channel. REQUIRES: the main thread.
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

  // The test event channel, set by registerWithRegistrar.
  const std::shared_ptr<flutter::FlutterEventChannel>& testEventChannel() const {
    return testEventChannel_;
  }

 private:
  using Method =
      std::function<void(FLTZudiroruCrashkeepPlugin& self, flutter::ChannelArguments& args,
                         const std::shared_ptr<FLTZudiroruMethodCallResult>& result)>;
  using Methods = flutter::MethodTable<Method>;
  // The method channel's methods, by name.
  static const Methods& methods();

  void recordError(flutter::ChannelArguments& args,
                   const std::shared_ptr<FLTZudiroruMethodCallResult>& result);

  // Constant after construction.
  DEVCrashkeep& crashkeep_;
  const std::shared_ptr<dispatch::Clock> clock_;  // May be null: Clock::current().
  const TestCrashHandler crashHandler_;

  // Main thread only.
  std::shared_ptr<flutter::FlutterEventChannel> testEventChannel_;
  flutter::FlutterEventSink testEventSink_;  // Empty while nobody listens.
};

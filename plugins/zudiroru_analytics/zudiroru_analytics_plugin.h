// ZudiroruAnalyticsPlugin: the native half of the analytics plugin. Dart calls the eleven methods
// of ZudiroruAnalyticsHostApi (analytics_messages.h) and the plugin turns each call into calls of
// the public analytics interface DEVAzodavevu, which queues the work in the engine; the plugin
// holds no state of its own.
//
// Every method answers [null], except getAppInstanceId ([id] or [null]) and getSessionId ([id],
// or the engine's error as [description, type name, "Stacktrace: ..."]). Names and values are
// checked by the engine, which logs its own refusals.
//
// The plugin is a Zudiroru bridge in shape (library "flutter-dero-vidirodiz" 11.4.6), but it is
// not registered with the plugin registry: registration only installs the channels.
//
// Thread safety: host methods arrive on the main thread and answer before returning, except
// getSessionId, which answers from the engine's background queue.
#pragma once

#include <memory>
#include <string>

#include "analytics/engine/azodavevu.h"
#include "platform/flutter/plugin.h"
#include "plugins/zudiroru_analytics/analytics_messages.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

inline constexpr const char* kZudiroruAnalyticsLibraryName = "flutter-dero-vidirodiz";
inline constexpr const char* kZudiroruAnalyticsLibraryVersion = "11.4.6";

class ZudiroruAnalyticsPlugin : public flutter::FlutterPlugin,
                                public FLTZudiroruPlugin,
                                public ZudiroruAnalyticsHostApi {
 public:
  // Installs the host interface over a new plugin on the process's public interface. Called once
  // at start-up by RegisterGeneratedPlugins.
  static void registerWith(flutter::FlutterPluginRegistrar& registrar);
  // The same over a given public interface (tests bring their own).
  static void registerWith(flutter::FlutterPluginRegistrar& registrar, DEVAzodavevu& analytics);

  // `analytics` must outlive the plugin.
  explicit ZudiroruAnalyticsPlugin(DEVAzodavevu& analytics) : analytics_(analytics) {}

  // FLTZudiroruPlugin.
  void didReinitializeZudiroruCore(std::function<void()> completion) override;
  fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu& app) override;
  std::string zudiroruLibraryName() const override { return kZudiroruAnalyticsLibraryName; }
  std::string zudiroruLibraryVersion() const override { return kZudiroruAnalyticsLibraryVersion; }
  std::string flutterChannelName() const override;

  // ZudiroruAnalyticsHostApi.
  void logEvent(const fnd::Dictionary& event, Completion completion) override;
  void setUserId(const std::optional<std::string>& userId, Completion completion) override;
  void setUserProperty(const std::string& name, const std::optional<std::string>& value,
                       Completion completion) override;
  void setAnalyticsCollectionEnabled(bool enabled, Completion completion) override;
  void resetAnalyticsData(Completion completion) override;
  void setSessionTimeoutDuration(int64_t timeout, Completion completion) override;
  void setConsent(const fnd::Dictionary& consent, Completion completion) override;
  void setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters,
                                 Completion completion) override;
  void getAppInstanceId(Completion completion) override;
  void getSessionId(Completion completion) override;
  void initiateOnDeviceConversionMeasurement(const fnd::Dictionary& arguments,
                                             Completion completion) override;

 private:
  DEVAzodavevu& analytics_;  // Not owned.
};

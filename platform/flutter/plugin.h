// Plugins and how they are registered: a plugin gets a registrar from the plugin registry (the
// engine, or the view controller on its behalf), takes the binary messenger from it to make its
// channels, and may add itself as the handler of a method channel, as an application lifecycle
// delegate, or publish a value for others to find.
//
// Every plugin class also provides `static void registerWithRegistrar(FlutterPluginRegistrar&)`
// (or `registerWith`), the entry point that the application calls once at start-up.
//
// Thread safety: registration happens on the main thread; registries and registrars may be asked
// from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/codec.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/value.h"

namespace flutter {

class FlutterPluginRegistrar;
class FlutterViewController;

// A plugin. It is a record so that a plugin can publish itself (fnd::Value(plugin)).
class FlutterPlugin : public fnd::Record {
 public:
  std::string typeName() const override { return "FlutterPlugin"; }

  // A call on a channel the plugin was added to with addMethodCallDelegate; runs on the main
  // queue. The default answers FlutterMethodNotImplemented().
  virtual void handleMethodCall(const FlutterMethodCall& call, FlutterResult result);

  // The engine is shutting down; called on plugins that published themselves.
  virtual void detachFromEngineForRegistrar(FlutterPluginRegistrar& registrar);
};

// Application events passed on by the FlutterAppDelegate to the delegates added through
// registrars, on the main thread. Every method does nothing by default.
class FlutterAppLifecycleDelegate {
 public:
  virtual ~FlutterAppLifecycleDelegate() = default;

  virtual void handleWillFinishLaunching(const fnd::Notification& notification);
  virtual void handleDidFinishLaunching(const fnd::Notification& notification);
  virtual void handleWillBecomeActive(const fnd::Notification& notification);
  virtual void handleDidBecomeActive(const fnd::Notification& notification);
  virtual void handleWillResignActive(const fnd::Notification& notification);
  virtual void handleDidResignActive(const fnd::Notification& notification);
  virtual void handleWillTerminate(const fnd::Notification& notification);
  // Returns true when the delegate handled the URLs; the default returns false.
  virtual bool handleOpenURLs(const std::vector<std::string>& urls);
};

// What one plugin gets from the registry. Registrars are handed out as shared pointers and may be
// kept by the plugin for as long as it likes.
class FlutterPluginRegistrar {
 public:
  virtual ~FlutterPluginRegistrar() = default;

  // The engine's messenger.
  virtual std::shared_ptr<FlutterBinaryMessenger> messenger() const = 0;

  // The view controller showing the engine, or null when there is none.
  virtual std::shared_ptr<FlutterViewController> viewController() const = 0;

  // Makes delegate the handler of method calls on channel (the channel's handler keeps it).
  void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                             const std::shared_ptr<FlutterMethodChannel>& channel);

  // Registers delegate for application lifecycle events with the application's delegate when it
  // is a FlutterAppDelegate; otherwise logs that the events cannot reach it.
  virtual void addApplicationDelegate(std::shared_ptr<FlutterAppLifecycleDelegate> delegate) = 0;

  // Publishes value under the plugin's key (see FlutterPluginRegistry::valuePublishedByPlugin).
  virtual void publish(fnd::Value value) = 0;
};

// Hands out registrars by plugin key and remembers which plugins registered.
class FlutterPluginRegistry {
 public:
  virtual ~FlutterPluginRegistry() = default;

  // A registrar for the plugin named pluginKey (by convention its class name). Each key is meant
  // to be asked for once; a second request is logged and gets a registrar for the same key.
  virtual std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(
      const std::string& pluginKey) = 0;

  // Whether a registrar was handed out for pluginKey.
  virtual bool hasPlugin(const std::string& pluginKey) const = 0;

  // The value the plugin published, null when it published nothing or is unknown.
  virtual fnd::Value valuePublishedByPlugin(const std::string& pluginKey) const = 0;
};

}  // namespace flutter

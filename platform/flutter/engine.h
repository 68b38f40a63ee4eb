// The stand-in for the Flutter engine: it owns the binary messenger that plugins talk through and
// the Dart endpoint that plays the Dart side of every channel, and it is the plugin registry.
// No Dart code runs; the endpoint (dart()) is driven by tests and by the console.
//
// The engine lives on the main thread: make it, register plugins and shut it down there. Its
// messenger and Dart endpoint may be used from any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/dart_endpoint.h"
#include "platform/flutter/engine_messenger.h"
#include "platform/flutter/plugin.h"
#include "platform/foundation/value.h"

namespace flutter {

class FlutterViewController;

class FlutterEngine : public FlutterPluginRegistry {
 public:
  // A running engine named name (a label for logs).
  explicit FlutterEngine(std::string name = "io.flutter");
  // Shuts the engine down (shutDownEngine).
  ~FlutterEngine() override;

  FlutterEngine(const FlutterEngine&) = delete;
  FlutterEngine& operator=(const FlutterEngine&) = delete;

  const std::string& name() const { return name_; }

  // The messenger every registrar hands out.
  std::shared_ptr<FlutterBinaryMessenger> binaryMessenger() const;
  // The same object with its Dart-side operations.
  const std::shared_ptr<FlutterEngineMessenger>& engineMessenger() const { return messenger_; }
  // The Dart side.
  FlutterDartEndpoint& dart() const { return *dart_; }

  // The view controller showing the engine, or null. The view controller sets itself.
  std::shared_ptr<FlutterViewController> viewController() const;
  void setViewController(std::weak_ptr<FlutterViewController> viewController);

  // FlutterPluginRegistry.
  std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(const std::string& pluginKey) override;
  bool hasPlugin(const std::string& pluginKey) const override;
  fnd::Value valuePublishedByPlugin(const std::string& pluginKey) const override;

  // Tells every plugin that published a FlutterPlugin (itself, as a rule) that the engine goes
  // (detachFromEngineForRegistrar, in registration order), then removes every channel handler,
  // which releases what the handlers hold, and forgets the published values. Messages from Dart
  // then get the empty reply. The Dart endpoint stays readable. Idempotent.
  // REQUIRES: the main thread.
  void shutDownEngine();

  // Shared with the registrars, which may outlive the engine.
  struct State;

 private:
  // Constant after construction.
  const std::string name_;
  const std::shared_ptr<FlutterEngineMessenger> messenger_;
  const std::unique_ptr<FlutterDartEndpoint> dart_;
  const std::shared_ptr<State> state_;
};

}  // namespace flutter

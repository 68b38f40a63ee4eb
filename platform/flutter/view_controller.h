// The view controller that shows a Flutter engine in a window. It is the plugin registry of the
// application: it hands out its engine's registrars, and those registrars know it as the view
// controller of the engine (FlutterPluginRegistrar::viewController), which gives a plugin the
// window to present in.
//
// Hold it in a std::shared_ptr. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit/view_controller.h"
#include "platform/flutter/engine.h"
#include "platform/flutter/plugin.h"
#include "platform/foundation/value.h"

namespace flutter {

class FlutterViewController : public appkit::ViewController,
                              public FlutterPluginRegistry,
                              public std::enable_shared_from_this<FlutterViewController> {
 public:
  // With a new engine of its own.
  FlutterViewController();
  // Showing engine, which must not be null.
  explicit FlutterViewController(std::shared_ptr<FlutterEngine> engine);
  ~FlutterViewController() override;

  const std::shared_ptr<FlutterEngine>& engine() const { return engine_; }

  // FlutterPluginRegistry, answered by the engine.
  std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(const std::string& pluginKey) override;
  bool hasPlugin(const std::string& pluginKey) const override;
  fnd::Value valuePublishedByPlugin(const std::string& pluginKey) const override;

  // appkit::ViewController: the controller becomes its engine's view controller.
  void viewDidLoad() override;

 private:
  // Makes this the engine's view controller (once this is held by a std::shared_ptr).
  void attachToEngine();

  // Constant after construction.
  const std::shared_ptr<FlutterEngine> engine_;
};

}  // namespace flutter

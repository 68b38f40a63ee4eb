#include "platform/flutter/view_controller.h"

#include <utility>

namespace flutter {

FlutterViewController::FlutterViewController()
    : FlutterViewController(std::make_shared<FlutterEngine>()) {}

FlutterViewController::FlutterViewController(std::shared_ptr<FlutterEngine> engine)
    : engine_(std::move(engine)) {}

FlutterViewController::~FlutterViewController() = default;

void FlutterViewController::attachToEngine() {
  auto self = weak_from_this();
  if (self.expired() || engine_->viewController().get() == this) return;
  engine_->setViewController(std::move(self));
}

std::shared_ptr<FlutterPluginRegistrar> FlutterViewController::registrarForPlugin(
    const std::string& pluginKey) {
  attachToEngine();
  return engine_->registrarForPlugin(pluginKey);
}

bool FlutterViewController::hasPlugin(const std::string& pluginKey) const {
  return engine_->hasPlugin(pluginKey);
}

fnd::Value FlutterViewController::valuePublishedByPlugin(const std::string& pluginKey) const {
  return engine_->valuePublishedByPlugin(pluginKey);
}

void FlutterViewController::viewDidLoad() {
  appkit::ViewController::viewDidLoad();
  attachToEngine();
}

}  // namespace flutter

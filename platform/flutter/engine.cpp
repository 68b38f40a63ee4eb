#include "platform/flutter/engine.h"

#include <mutex>
#include <utility>
#include <vector>

#include "platform/flutter/app_delegate.h"
#include "platform/flutter/log.h"

namespace flutter {

struct FlutterEngine::State {
  explicit State(std::shared_ptr<FlutterEngineMessenger> messenger)
      : messenger(std::move(messenger)) {}

  struct Plugin {
    std::string key;
    fnd::Value published;
  };

  // Constant after construction.
  const std::shared_ptr<FlutterEngineMessenger> messenger;

  std::mutex mutex;
  // Guarded by mutex: plugins in registration order.
  std::vector<Plugin> plugins;
  std::weak_ptr<FlutterViewController> viewController;
  bool shutDown = false;

  // REQUIRES: mutex held.
  Plugin* find(const std::string& key) {
    for (Plugin& p : plugins) {
      if (p.key == key) return &p;
    }
    return nullptr;
  }
};

namespace {

class EngineRegistrar : public FlutterPluginRegistrar {
 public:
  EngineRegistrar(std::shared_ptr<FlutterEngine::State> state, std::string key)
      : state_(std::move(state)), key_(std::move(key)) {}

  std::shared_ptr<FlutterBinaryMessenger> messenger() const override { return state_->messenger; }

  std::shared_ptr<FlutterViewController> viewController() const override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->viewController.lock();
  }

  void addApplicationDelegate(std::shared_ptr<FlutterAppLifecycleDelegate> delegate) override {
    if (!delegate) return;
    auto appDelegate = FlutterAppDelegate::applicationDelegate();
    if (!appDelegate) {
      FlutterLog("plugin \"" + key_ +
                 "\" cannot receive application events: the application's delegate is not a "
                 "FlutterAppDelegate");
      return;
    }
    appDelegate->addApplicationLifecycleDelegate(std::move(delegate));
  }

  void publish(fnd::Value value) override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (auto plugin = state_->find(key_)) plugin->published = std::move(value);
  }

 private:
  // Constant after construction.
  const std::shared_ptr<FlutterEngine::State> state_;
  const std::string key_;
};

}  // namespace

FlutterEngine::FlutterEngine(std::string name)
    : name_(std::move(name)),
      messenger_(std::make_shared<FlutterEngineMessenger>()),
      dart_(std::make_unique<FlutterDartEndpoint>(messenger_)),
      state_(std::make_shared<State>(messenger_)) {}

FlutterEngine::~FlutterEngine() { shutDownEngine(); }

std::shared_ptr<FlutterBinaryMessenger> FlutterEngine::binaryMessenger() const {
  return messenger_;
}

std::shared_ptr<FlutterViewController> FlutterEngine::viewController() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->viewController.lock();
}

void FlutterEngine::setViewController(std::weak_ptr<FlutterViewController> viewController) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->viewController = std::move(viewController);
}

std::shared_ptr<FlutterPluginRegistrar> FlutterEngine::registrarForPlugin(
    const std::string& pluginKey) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->find(pluginKey)) {
      FlutterLog("duplicate plugin key \"" + pluginKey + "\" in engine \"" + name_ + "\"");
    } else {
      state_->plugins.push_back(State::Plugin{pluginKey, fnd::Value()});
    }
  }
  return std::make_shared<EngineRegistrar>(state_, pluginKey);
}

bool FlutterEngine::hasPlugin(const std::string& pluginKey) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->find(pluginKey) != nullptr;
}

fnd::Value FlutterEngine::valuePublishedByPlugin(const std::string& pluginKey) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto plugin = state_->find(pluginKey);
  return plugin ? plugin->published : fnd::Value();
}

void FlutterEngine::shutDownEngine() {
  std::vector<State::Plugin> plugins;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->shutDown) return;
    state_->shutDown = true;
    plugins = state_->plugins;
  }
  for (const State::Plugin& p : plugins) {
    if (auto plugin = p.published.recordAs<FlutterPlugin>()) {
      EngineRegistrar registrar(state_, p.key);
      plugin->detachFromEngineForRegistrar(registrar);
    }
  }
  messenger_->removeAllMessageHandlers();
  // Published plugins often keep their registrar, which keeps this state: let them go.
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (State::Plugin& p : state_->plugins) p.published = fnd::Value();
}

}  // namespace flutter

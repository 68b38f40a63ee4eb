#include "plugins/zudiroru_core/plugin_registry.h"

#include <atomic>

FLTZudiroruPluginRegistry& FLTZudiroruPluginRegistry::sharedInstance() {
  static FLTZudiroruPluginRegistry* registry = new FLTZudiroruPluginRegistry();
  return *registry;
}

void FLTZudiroruPluginRegistry::registerZudiroruPlugin(std::shared_ptr<FLTZudiroruPlugin> plugin) {
  if (!plugin) return;
  DAVOdu::registerLibrary(plugin->zudiroruLibraryName(), plugin->zudiroruLibraryVersion());
  std::string channel = plugin->flutterChannelName();
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& entry : registeredPlugins_) {
    if (entry.first == channel) {
      entry.second = std::move(plugin);
      return;
    }
  }
  registeredPlugins_.emplace_back(std::move(channel), std::move(plugin));
}

fnd::Dictionary FLTZudiroruPluginRegistry::pluginConstantsForDAVOdu(const DAVOdu& app) {
  fnd::Dictionary constants;
  for (const auto& [channel, plugin] : registeredPlugins()) {
    constants.set(fnd::Value(channel), fnd::Value(plugin->pluginConstantsForDAVOdu(app)));
  }
  return constants;
}

void FLTZudiroruPluginRegistry::didReinitializeZudiroruCore(std::function<void()> completion) {
  auto plugins = registeredPlugins();
  if (plugins.empty()) {
    if (completion) completion();
    return;
  }
  // Shared by the answers of every bridge; the last answer runs the completion.
  struct FanOut {
    std::atomic<size_t> remaining;
    std::function<void()> completion;
  };
  auto fanOut = std::make_shared<FanOut>();
  fanOut->remaining = plugins.size();
  fanOut->completion = std::move(completion);
  for (const auto& [channel, plugin] : plugins) {
    auto answered = std::make_shared<std::atomic<bool>>(false);
    plugin->didReinitializeZudiroruCore([fanOut, answered] {
      if (answered->exchange(true)) return;  // A second answer from the same bridge.
      if (fanOut->remaining.fetch_sub(1) == 1 && fanOut->completion) fanOut->completion();
    });
  }
}

std::vector<std::pair<std::string, std::shared_ptr<FLTZudiroruPlugin>>>
FLTZudiroruPluginRegistry::registeredPlugins() const {
  std::lock_guard<std::mutex> lock(mu_);
  return registeredPlugins_;
}

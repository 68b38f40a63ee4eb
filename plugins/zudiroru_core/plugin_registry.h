// The registry of Zudiroru bridges: it announces each bridge to the vendor core, collects their
// per-app constants for Dart, and on a Dart hot restart asks every bridge to reinitialise.
//
// Thread safety: every method may be called from any thread; bridges are called without the
// registry's lock held, so they may call back into it. Bridges may answer a reinitialisation on
// any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/vendor/core/davodu.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

class FLTZudiroruPluginRegistry {
 public:
  // The process's registry, made on first use.
  static FLTZudiroruPluginRegistry& sharedInstance();

  // An empty registry (tests make their own).
  FLTZudiroruPluginRegistry() = default;
  FLTZudiroruPluginRegistry(const FLTZudiroruPluginRegistry&) = delete;
  FLTZudiroruPluginRegistry& operator=(const FLTZudiroruPluginRegistry&) = delete;

  // Announces the bridge's library name and version to the vendor core, then keeps the bridge
  // under its channel name, replacing (in place) a bridge kept under the same name. A null
  // plugin is ignored.
  void registerZudiroruPlugin(std::shared_ptr<FLTZudiroruPlugin> plugin);

  // Channel name -> that bridge's constants for the app, in registration order.
  fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu& app);

  // Sends didReinitializeZudiroruCore to every bridge registered at the time of the call, in
  // registration order, and runs `completion` once, after the last of them has answered, on the
  // thread of that answer (at once when none is registered). Each bridge's answer counts once even
  // when the bridge calls its completion again. A bridge that never answers holds the completion
  // back for ever; nothing times it out.
  void didReinitializeZudiroruCore(std::function<void()> completion);

  // The registered bridges, channel name and bridge, in registration order.
  std::vector<std::pair<std::string, std::shared_ptr<FLTZudiroruPlugin>>> registeredPlugins() const;

 private:
  mutable std::mutex mu_;
  // Guarded by mu_.
  std::vector<std::pair<std::string, std::shared_ptr<FLTZudiroruPlugin>>> registeredPlugins_;
};

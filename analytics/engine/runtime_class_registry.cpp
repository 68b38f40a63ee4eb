#include "analytics/engine/runtime_class_registry.h"

#include <utility>

#include "analytics/engine/platform_identity_support.h"

ZIVRuntimeClassRegistry& ZIVRuntimeClassRegistry::sharedRegistry() {
  static ZIVRuntimeClassRegistry* registry = [] {
    auto* r = new ZIVRuntimeClassRegistry();
    r->registerClass(ZIVPlatformIdentitySupport::runtimeClass());
    return r;
  }();
  return *registry;
}

std::shared_ptr<ZIVRuntimeClass> ZIVRuntimeClassRegistry::classNamed(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = classes_.find(name);
  return it == classes_.end() ? nullptr : it->second;
}

void ZIVRuntimeClassRegistry::registerClass(std::shared_ptr<ZIVRuntimeClass> runtimeClass) {
  if (!runtimeClass) return;
  std::string name = runtimeClass->className();
  std::lock_guard<std::mutex> lock(mu_);
  classes_[std::move(name)] = std::move(runtimeClass);
}

void ZIVRuntimeClassRegistry::removeClass(std::string_view name) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = classes_.find(name);
  if (it != classes_.end()) classes_.erase(it);
}

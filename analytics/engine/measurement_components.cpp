#include "analytics/engine/measurement_components.h"

#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Registry {
  std::mutex mu;
  ZIVMeasurementComponents components;               // Guarded by mu.
  std::vector<ZIVMeasurementComponentMaker> makers;  // Guarded by mu.
};

Registry& registry() {
  // Never destroyed: worker queues may still read it at exit.
  static Registry& r = *new Registry;
  return r;
}

// Copies the non-null members of `from` over `into`.
void overlay(ZIVMeasurementComponents& into, const ZIVMeasurementComponents& from) {
  if (from.facade) into.facade = from.facade;
  if (from.uploader) into.uploader = from.uploader;
  if (from.audiences) into.audiences = from.audiences;
  if (from.attribution) into.attribution = from.attribution;
  if (from.sessions) into.sessions = from.sessions;
}

template <typename T>
void fillAbsent(std::shared_ptr<T>& member) {
  if (!member) member = std::make_shared<T>();
}

}  // namespace

void ZIVMeasurementInstallComponents(const ZIVMeasurementComponents& components) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  overlay(r.components, components);
}

void ZIVMeasurementInstallComponentMaker(ZIVMeasurementComponentMaker maker) {
  if (!maker) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.makers.push_back(std::move(maker));
}

ZIVMeasurementComponentMaker ZIVMeasurementInstalledComponentMaker() {
  Registry& r = registry();
  std::vector<ZIVMeasurementComponentMaker> makers;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    makers = r.makers;
  }
  return [makers = std::move(makers)](const std::shared_ptr<ZIVMeasurement>& engine) {
    ZIVMeasurementComponents made;
    for (const auto& maker : makers) overlay(made, maker(engine));
    return made;
  };
}

ZIVMeasurementComponents ZIVMeasurementInstalledComponents() {
  Registry& r = registry();
  ZIVMeasurementComponents out;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    out = r.components;
  }
  fillAbsent(out.facade);
  fillAbsent(out.uploader);
  fillAbsent(out.audiences);
  fillAbsent(out.attribution);
  fillAbsent(out.sessions);
  return out;
}

#include "analytics/engine/measurement_components.h"

#include <mutex>

namespace {

struct Registry {
  std::mutex mu;
  ZIVMeasurementComponents components;  // Guarded by mu.
};

Registry& registry() {
  // Never destroyed: worker queues may still read it at exit.
  static Registry& r = *new Registry;
  return r;
}

template <typename T>
void fillAbsent(std::shared_ptr<T>& member) {
  if (!member) member = std::make_shared<T>();
}

}  // namespace

void ZIVMeasurementInstallComponents(const ZIVMeasurementComponents& components) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (components.facade) r.components.facade = components.facade;
  if (components.uploader) r.components.uploader = components.uploader;
  if (components.audiences) r.components.audiences = components.audiences;
  if (components.attribution) r.components.attribution = components.attribution;
  if (components.sessions) r.components.sessions = components.sessions;
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

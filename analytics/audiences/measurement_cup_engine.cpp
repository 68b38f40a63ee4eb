// The conditional user property controller's view of ZIVMeasurement. Kept apart from the
// component so that only an engine that installs it links against the engine's pipeline.

#include "analytics/audiences/measurement_audiences.h"
#include "analytics/engine/measurement.h"

namespace {

// One engine (`measurement` set), or the process's shared engine at each call.
class MeasurementEngine : public ZIVConditionalUserPropertyEngine {
 public:
  explicit MeasurementEngine(std::weak_ptr<ZIVMeasurement> measurement, bool shared = false)
      : measurement_(std::move(measurement)), shared_(shared) {}

  bool isEnabled() const override {
    auto m = engine();
    return m && m->isEnabled();
  }
  std::shared_ptr<ZIVDatabase> database() const override {
    auto m = engine();
    return m ? m->database() : nullptr;
  }
  std::shared_ptr<ZIVScheduler> scheduler() const override {
    auto m = engine();
    return m ? m->scheduler() : nullptr;
  }
  void writeEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override {
    if (auto m = engine()) m->writeEventOnWorkerQueue(event);
  }
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override {
    if (auto m = engine()) m->writeFilteredEventOnWorkerQueue(event);
  }

 private:
  std::shared_ptr<ZIVMeasurement> engine() const {
    if (!shared_) return measurement_.lock();
    return ZIVMeasurement::hasSharedInstance() ? ZIVMeasurement::sharedInstance() : nullptr;
  }

  const std::weak_ptr<ZIVMeasurement> measurement_;
  const bool shared_;
};

}  // namespace

std::shared_ptr<ZIVConditionalUserPropertyEngine> ZIVConditionalUserPropertyEngineForMeasurement(
    const std::shared_ptr<ZIVMeasurement>& measurement) {
  return std::make_shared<MeasurementEngine>(measurement);
}

std::shared_ptr<ZIVConditionalUserPropertyEngine>
ZIVConditionalUserPropertyEngineForSharedMeasurement() {
  return std::make_shared<MeasurementEngine>(std::weak_ptr<ZIVMeasurement>(), true);
}

// The conditional user property controller's view of ZIVMeasurement. Kept apart from the
// component so that only an engine that installs it links against the engine's pipeline.

#include "analytics/audiences/measurement_audiences.h"
#include "analytics/engine/measurement.h"

namespace {

class MeasurementEngine : public ZIVConditionalUserPropertyEngine {
 public:
  explicit MeasurementEngine(std::weak_ptr<ZIVMeasurement> measurement)
      : measurement_(std::move(measurement)) {}

  bool isEnabled() const override {
    auto m = measurement_.lock();
    return m && m->isEnabled();
  }
  std::shared_ptr<ZIVDatabase> database() const override {
    auto m = measurement_.lock();
    return m ? m->database() : nullptr;
  }
  std::shared_ptr<ZIVScheduler> scheduler() const override {
    auto m = measurement_.lock();
    return m ? m->scheduler() : nullptr;
  }
  void writeEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override {
    if (auto m = measurement_.lock()) m->writeEventOnWorkerQueue(event);
  }
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override {
    if (auto m = measurement_.lock()) m->writeFilteredEventOnWorkerQueue(event);
  }

 private:
  const std::weak_ptr<ZIVMeasurement> measurement_;
};

}  // namespace

std::shared_ptr<ZIVConditionalUserPropertyEngine> ZIVConditionalUserPropertyEngineForMeasurement(
    const std::shared_ptr<ZIVMeasurement>& measurement) {
  return std::make_shared<MeasurementEngine>(measurement);
}

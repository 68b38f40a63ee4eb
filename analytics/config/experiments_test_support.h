// Test support for the experiments tests: a fresh home, a manual clock installed as the current
// clock, a capture of the engine monitor's lines, and small builders for flags, experiments,
// snapshots and server answers. Not for production code.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "analytics/config/experiment.h"
#include "analytics/config/experiment_flag.h"
#include "analytics/config/experiment_snapshot.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/test_support.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/foundation/test_home.h"

namespace apme_test {

inline fnd::Value RecordValue(const std::shared_ptr<fnd::Record>& record) {
  return fnd::Value(record);
}

inline std::shared_ptr<APMPBFlag> Flag(const std::string& name, const fnd::Value& value) {
  auto flag = APMEFlagWithName(fnd::Value(name), value);
  EXPECT_TRUE(flag) << name;
  return flag;
}

inline std::shared_ptr<APMEExperiment> Experiment(
    int64_t id, const std::vector<std::shared_ptr<APMPBFlag>>& flags) {
  auto experiment = APMEExperiment::initWithExperimentID(id, flags);
  EXPECT_TRUE(experiment) << id;
  return experiment;
}

inline std::shared_ptr<APMESnapshot> Snapshot(
    const std::string& sdkName, const std::vector<std::shared_ptr<APMEExperiment>>& experiments) {
  auto snapshot = APMESnapshot::initWithSDKName(sdkName, experiments);
  EXPECT_TRUE(snapshot) << sdkName;
  return snapshot;
}

// The flag values of a snapshot by name, for comparisons: "name=value" in name order per
// experiment, experiments in ID order.
inline std::vector<std::string> Describe(const APMESnapshot& snapshot) {
  std::vector<std::string> out;
  for (const auto& experiment : snapshot.experiments()) {
    for (const auto& flag : experiment->flags()) {
      const fnd::Value value = APMEValueFromFlagProto(flag.get());
      out.push_back(std::to_string(experiment->experimentID()) + ":" + APMEFlagName(*flag) + "=" +
                    (value.isInt() ? std::to_string(value.asInt()) : value.description()));
    }
  }
  return out;
}

// A fresh home, a manual clock as the current clock and the engine monitor's lines.
class APMETest : public ::testing::Test {
 protected:
  ~APMETest() override { ZIVMeasurement::monitor()->flush(); }

  bool Logged(int64_t code) const { return !log_.withCode(code).empty(); }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  dispatch::ScopedClock scopedClock_{clock_};
  ZIVLogCapture log_{ZIVMeasurement::monitor()};
};

}  // namespace apme_test

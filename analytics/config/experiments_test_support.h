// Test support for the experiments tests: a fresh home, a manual clock installed as the current
// clock, a capture of the engine monitor's lines, and small builders for flags, experiments,
// snapshots and server answers. Not for production code.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/experiment.h"
#include "analytics/config/experiment_flag.h"
#include "analytics/config/experiment_snapshot.h"
#include "analytics/config/experiment_task_manager.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/test_support.h"
#include "analytics/foundation/user_defaults.h"
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

inline constexpr const char* kFetchURL = "https://experiments.test/sdk-exp";

// Answers each request with the next scripted result (or the default one) and keeps the requests.
class ScriptedTransport : public ZUZOzuriviTransport {
 public:
  void performRequest(ZUZOzuriviRequest request, Done done) override {
    ZUZOzuriviTransportResult result;
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(std::move(request));
      if (answers_.empty()) {
        result = fallback_;
      } else {
        result = answers_.front();
        answers_.pop_front();
      }
    }
    done(std::move(result));
  }
  static ZUZOzuriviTransportResult Answer(int64_t status, fnd::Data body = {}) {
    ZUZOzuriviTransportResult result;
    result.response = ZUZOzuriviHTTPResponse{status, kFetchURL, {}};
    result.body = std::move(body);
    return result;
  }
  void push(ZUZOzuriviTransportResult result) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.push_back(std::move(result));
  }
  void setFallback(ZUZOzuriviTransportResult result) {
    std::lock_guard<std::mutex> lock(mu_);
    fallback_ = std::move(result);
  }
  std::vector<ZUZOzuriviRequest> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  std::mutex mu_;
  std::deque<ZUZOzuriviTransportResult> answers_;
  ZUZOzuriviTransportResult fallback_ = Answer(204);
  std::vector<ZUZOzuriviRequest> requests_;
};

inline fnd::Data EncodedResponse(const std::vector<std::shared_ptr<APMESnapshot>>& snapshots) {
  auto response = APMPBExperimentResponse::initWithBuffer(nullptr);
  fnd::Array items;
  for (const auto& snapshot : snapshots) items.push_back(RecordValue(snapshot->proto()));
  NANOSetArray(response.get(), APMPBExperimentResponse::kSnapshots, &items);
  return *response->protoBuffer();
}

// The parts of a task manager, made for the test: a worker queue and alarm on the manual clock, a
// scripted network, a preference suite, a fresh request builder and a database path in the home.
class APMEWorkerTest : public APMETest {
 protected:
  void TearDown() override { Drain(); }

  // A task manager with a new alarm (a restarted process has no pending alarm).
  std::shared_ptr<APMETaskManager> MakeTaskManager() {
    alarm_ =
        std::make_shared<ZIVAlarm>(queue_, "ZIVExperimentAlarm", ZIVMeasurement::monitor(), clock_);
    return APMETaskManager::initWithQueue(queue_, alarm_, network_, storage_, path_, init_, clock_,
                                          builder_, kFetchURL);
  }
  // Every hop between the worker queue, the network object and `other` (when given) has run.
  void Drain(const std::shared_ptr<dispatch::Queue>& other = nullptr) {
    for (int i = 0; i < 4; ++i) {
      queue_->sync([] {});
      if (other) other->sync([] {});
    }
  }
  std::optional<double> Alarm() const { return alarm_->scheduledTimestamp(); }
  // Moves the clock to the pending alarm and lets everything it starts run.
  void Fire(const std::shared_ptr<dispatch::Queue>& other = nullptr) {
    std::optional<double> at = Alarm();
    ASSERT_TRUE(at);
    clock_->advance(*at - clock_->wallTime());
    Drain(other);
  }
  std::optional<double> Stored(const char* key) const {
    auto value = storage_->numberForKey(key);
    return value ? std::optional<double>(value->asDouble()) : std::nullopt;
  }

  std::shared_ptr<dispatch::Queue> queue_ =
      dispatch::Queue::create("test.experiments.worker", dispatch::Qos::kUtility, clock_);
  std::shared_ptr<ZIVAlarm> alarm_ =
      std::make_shared<ZIVAlarm>(queue_, "ZIVExperimentAlarm", ZIVMeasurement::monitor(), clock_);
  std::shared_ptr<ScriptedTransport> transport_ = std::make_shared<ScriptedTransport>();
  std::shared_ptr<ZUZOzurivi> network_ = std::make_shared<ZUZOzurivi>("host", transport_);
  std::shared_ptr<ZIVUserDefaults> storage_ = std::make_shared<ZIVUserDefaults>("test.experiments");
  std::shared_ptr<APMEExperimentRequestBuilder> builder_ =
      std::make_shared<APMEExperimentRequestBuilder>();
  std::string path_ = home_.path() + "/" + kAPMEDatabaseName;
  double init_ = clock_->wallTime();
};

}  // namespace apme_test

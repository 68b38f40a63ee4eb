// APMESnapshot: the experiments that the server assigned to one SDK at one time, kept by
// experiment ID (a later experiment of one ID replaces an earlier one). A snapshot is pending
// (fetched), activated (in force) or launched (holding only experiment 0); which one is decided by
// where it is kept, not by the snapshot. Its wire form is the Snapshot message.
//
// Failures are logged at level 2 through the experiments monitor and answered with null or no
// effect.
//
// Thread safety: every method may be called from any thread. The experiments live in a
// thread-safe dictionary; the timestamp and the manual-activation mark are atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analytics/config/experiment.h"
#include "analytics/proto/messages.h"
#include "platform/foundation/value.h"
#include "platform/vendor/utilities/mutable_dictionary.h"

class APMESnapshot {
 public:
  // A snapshot of `sdkName` holding a copy of each experiment (an array of APMEExperiment record
  // values), stamped with the current time of dispatch::Clock::current(). Null, logged, for a
  // name that is null, not a string or empty (840000), a null list (840001), or an element that
  // is not an experiment (840002).
  static std::shared_ptr<APMESnapshot> initWithSDKName(const fnd::Value& sdkName,
                                                       const fnd::Value& experiments);
  // The same from typed arguments.
  static std::shared_ptr<APMESnapshot> initWithSDKName(
      const std::string& sdkName, const std::vector<std::shared_ptr<APMEExperiment>>& experiments);
  // From a Snapshot message: its SDK name and its experiments. Null when the name is missing.
  static std::shared_ptr<APMESnapshot> initWithProtobuf(const APMPBSnapshot& proto);

  // A new snapshot of the same SDK and experiments, with a new timestamp and no manual mark.
  std::shared_ptr<APMESnapshot> copy() const;

  const std::string& SDKName() const { return SDKName_; }
  // Seconds since 1970; the creation time unless set.
  double timestamp() const { return timestamp_.load(); }
  void setTimestamp(double timestamp) { timestamp_.store(timestamp); }
  // Whether an observer decides when this snapshot is activated (then it is not activated
  // automatically at start).
  bool manuallyActivated() const { return manuallyActivated_.load(); }
  void setManuallyActivated(bool manuallyActivated) { manuallyActivated_.store(manuallyActivated); }

  // The experiments, in ID order.
  std::vector<std::shared_ptr<APMEExperiment>> experiments() const;

  // The flag of that name from the first experiment (in ID order) that has one, or null.
  std::shared_ptr<APMPBFlag> flagByName(const std::string& name) const;

  // Adds the flag to the experiment of `experimentID` (a number), making that experiment when
  // there is none. A null ID (840003) or a flag that is null or not a Flag (840004) is logged and
  // changes nothing.
  void addFlag(const fnd::Value& flag, const fnd::Value& experimentID);
  // addFlag() for each flag of the list.
  void addFlags(const fnd::Array& flags, const fnd::Value& experimentID);

  // A Snapshot message: the SDK name and every experiment's message.
  std::shared_ptr<APMPBSnapshot> proto() const;

 private:
  APMESnapshot(std::string sdkName, double timestamp);

  const std::string SDKName_;
  std::atomic<double> timestamp_;
  std::atomic<bool> manuallyActivated_{false};
  RVLMutableDictionary<int64_t, std::shared_ptr<APMEExperiment>> experiments_;
};

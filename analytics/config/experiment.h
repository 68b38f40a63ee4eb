// APMEExperiment: one experiment of a snapshot, an ID with the flag values it sets, kept by flag
// name (a later flag of one name replaces an earlier one). ID 0 is the launched experiment, whose
// flags hold for everybody. Its wire form is the Experiment message.
//
// Failures are logged at level 2 through the experiments monitor and answered with null or no
// effect. Flags are Flag messages held as shared records; they are never changed once stored.
//
// Thread safety: every method may be called from any thread (the flags live in a thread-safe
// dictionary; the ID is constant).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analytics/proto/messages.h"
#include "platform/foundation/value.h"
#include "platform/vendor/utilities/mutable_dictionary.h"

// The ID of the launched experiment.
inline constexpr int64_t APMELaunchedExperimentID = 0;

class APMEExperiment : public fnd::Record {
 public:
  // An experiment with the ID (a number) and the flags (an array of Flag messages as record
  // values). Null, logged, for a null ID (870000), an ID that is not a number (870001), flags that
  // are not an array (870002) or an element that is not a Flag (870003). A Flag without a name is
  // left out (870006).
  static std::shared_ptr<APMEExperiment> initWithExperimentID(const fnd::Value& experimentID,
                                                              const fnd::Value& flags);
  // The same from typed arguments.
  static std::shared_ptr<APMEExperiment> initWithExperimentID(
      int64_t experimentID, const std::vector<std::shared_ptr<APMPBFlag>>& flags);
  // From an Experiment message: the ID (0 when absent) and its flags (nameless ones left out).
  static std::shared_ptr<APMEExperiment> initWithProtobuf(const APMPBExperiment& proto);

  // A new experiment with the same ID and flags.
  std::shared_ptr<APMEExperiment> copy() const;

  int64_t experimentID() const { return experimentID_; }

  // Stores the flag under its name. A null flag (870004), a value that is not a Flag (870005) or a
  // Flag without a name (870006) is logged and changes nothing.
  void addFlag(const fnd::Value& flag);
  void addFlag(const std::shared_ptr<APMPBFlag>& flag);

  // The flag of that name, or null. An empty name logs 870007 and answers null.
  std::shared_ptr<APMPBFlag> flagWithName(const std::string& name) const;

  // Every flag, in name order.
  std::vector<std::shared_ptr<APMPBFlag>> flags() const;
  // The flags as record values, for messages and lists.
  fnd::Array flagValues() const;

  // An Experiment message: the ID's 32-bit value and every flag.
  std::shared_ptr<APMPBExperiment> proto() const;

  // fnd::Record.
  std::string typeName() const override { return "APMEExperiment"; }

 private:
  explicit APMEExperiment(int64_t experimentID) : experimentID_(experimentID) {}

  const int64_t experimentID_;
  RVLMutableDictionary<std::string, std::shared_ptr<APMPBFlag>> flags_;
};

// A Flag message as a record value.
fnd::Value APMEFlagValue(const std::shared_ptr<APMPBFlag>& flag);

#include "analytics/config/experiment.h"

#include "analytics/config/experiment_flag.h"
#include "analytics/config/experiments_monitor.h"

fnd::Value APMEFlagValue(const std::shared_ptr<APMPBFlag>& flag) {
  if (!flag) return fnd::Value();
  return fnd::Value(std::static_pointer_cast<fnd::Record>(flag));
}

std::shared_ptr<APMEExperiment> APMEExperiment::initWithExperimentID(const fnd::Value& experimentID,
                                                                     const fnd::Value& flags) {
  if (experimentID.isNull()) {
    APMELog(2, 870000, "Cannot create an experiment without ID");
    return nullptr;
  }
  if (!experimentID.isNumber() && !experimentID.isBool()) {
    APMELog(2, 870001, "Experiment ID must be a number. ID", {experimentID});
    return nullptr;
  }
  const fnd::Array* list = flags.array();
  if (!list) {
    APMELog(2, 870002, "Cannot create an experiment with invalid flags");
    return nullptr;
  }
  for (const fnd::Value& item : *list) {
    if (!item.recordAs<APMPBFlag>()) {
      APMELog(2, 870003, "Cannot add non-flag into the experiment. Flag", {item});
      return nullptr;
    }
  }
  std::shared_ptr<APMEExperiment> experiment(new APMEExperiment(experimentID.asInt()));
  for (const fnd::Value& item : *list) experiment->addFlag(item.recordAs<APMPBFlag>());
  return experiment;
}

std::shared_ptr<APMEExperiment> APMEExperiment::initWithExperimentID(
    int64_t experimentID, const std::vector<std::shared_ptr<APMPBFlag>>& flags) {
  fnd::Array list;
  for (const auto& flag : flags) list.push_back(APMEFlagValue(flag));
  return initWithExperimentID(fnd::Value(experimentID), fnd::Value(std::move(list)));
}

std::shared_ptr<APMEExperiment> APMEExperiment::initWithProtobuf(const APMPBExperiment& proto) {
  const int64_t experimentID = NANOGetInt32(&proto, APMPBExperiment::kExperimentId);
  std::optional<fnd::Array> flags =
      NANOGetArray(&proto, APMPBExperiment::kFlags, &APMPBFlag::messageClass());
  std::shared_ptr<APMEExperiment> experiment(new APMEExperiment(experimentID));
  for (const fnd::Value& item : flags.value_or(fnd::Array())) experiment->addFlag(item);
  return experiment;
}

std::shared_ptr<APMEExperiment> APMEExperiment::copy() const {
  std::shared_ptr<APMEExperiment> experiment(new APMEExperiment(experimentID_));
  experiment->flags_ = flags_;
  return experiment;
}

void APMEExperiment::addFlag(const fnd::Value& flag) {
  if (flag.isNull()) {
    APMELog(2, 870004, "Cannot add empty flag into an experiment. ID", {fnd::Value(experimentID_)});
    return;
  }
  auto message = flag.recordAs<APMPBFlag>();
  if (!message) {
    APMELog(2, 870005, "Cannot add non-flag object into the experiment. Flag", {flag});
    return;
  }
  addFlag(message);
}

void APMEExperiment::addFlag(const std::shared_ptr<APMPBFlag>& flag) {
  if (!flag) {
    APMELog(2, 870004, "Cannot add empty flag into an experiment. ID", {fnd::Value(experimentID_)});
    return;
  }
  const std::string name = APMEFlagName(*flag);
  if (name.empty()) {
    APMELog(2, 870006, "Cannot add a flag without name into an experiment. ID",
            {fnd::Value(experimentID_)});
    return;
  }
  flags_.setObject(flag, name);
}

std::shared_ptr<APMPBFlag> APMEExperiment::flagWithName(const std::string& name) const {
  if (name.empty()) {
    APMELog(2, 870007, "Cannot retrieve a flag without a flag name");
    return nullptr;
  }
  return flags_.objectForKey(name).value_or(nullptr);
}

std::vector<std::shared_ptr<APMPBFlag>> APMEExperiment::flags() const { return flags_.allValues(); }

fnd::Array APMEExperiment::flagValues() const {
  fnd::Array list;
  for (const auto& flag : flags_.allValues()) list.push_back(APMEFlagValue(flag));
  return list;
}

std::shared_ptr<APMPBExperiment> APMEExperiment::proto() const {
  auto proto = APMPBExperiment::initWithBuffer(nullptr);
  if (!proto) return nullptr;
  NANOSetInt32(proto.get(), APMPBExperiment::kExperimentId, static_cast<int32_t>(experimentID_));
  fnd::Array flags = flagValues();
  NANOSetArray(proto.get(), APMPBExperiment::kFlags, &flags);
  return proto;
}

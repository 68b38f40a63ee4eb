#include "analytics/config/experiment_snapshot.h"

#include "analytics/config/experiments_monitor.h"
#include "platform/dispatch/clock.h"

namespace {

fnd::Value ExperimentValue(const std::shared_ptr<APMEExperiment>& experiment) {
  if (!experiment) return fnd::Value();
  return fnd::Value(std::static_pointer_cast<fnd::Record>(experiment));
}

}  // namespace

APMESnapshot::APMESnapshot(std::string sdkName, double timestamp)
    : SDKName_(std::move(sdkName)), timestamp_(timestamp) {}

std::shared_ptr<APMESnapshot> APMESnapshot::initWithSDKName(const fnd::Value& sdkName,
                                                            const fnd::Value& experiments) {
  if (!sdkName.isString() || sdkName.asString().empty()) {
    APMELog(2, 840000, "Cannot create snapshot with an invalid SDK name");
    return nullptr;
  }
  const fnd::Array* list = experiments.array();
  if (!list) {
    // Only an array is a list; anything else counts as no list at all.
    APMELog(2, 840001, "Cannot create snapshot with an experiment list of nil");
    return nullptr;
  }
  for (const fnd::Value& item : *list) {
    if (!item.recordAs<APMEExperiment>()) {
      APMELog(2, 840002, "Cannot create snapshot with an invalid experiment");
      return nullptr;
    }
  }
  std::shared_ptr<APMESnapshot> snapshot(
      new APMESnapshot(sdkName.asString(), dispatch::Clock::current()->wallTime()));
  for (const fnd::Value& item : *list) {
    std::shared_ptr<APMEExperiment> experiment = item.recordAs<APMEExperiment>()->copy();
    snapshot->experiments_.setObject(experiment, experiment->experimentID());
  }
  return snapshot;
}

std::shared_ptr<APMESnapshot> APMESnapshot::initWithSDKName(
    const std::string& sdkName, const std::vector<std::shared_ptr<APMEExperiment>>& experiments) {
  fnd::Array list;
  for (const auto& experiment : experiments) list.push_back(ExperimentValue(experiment));
  return initWithSDKName(fnd::Value(sdkName), fnd::Value(std::move(list)));
}

std::shared_ptr<APMESnapshot> APMESnapshot::initWithProtobuf(const APMPBSnapshot& proto) {
  std::optional<std::string> name = NANOGetString(&proto, APMPBSnapshot::kSdkName);
  std::optional<fnd::Array> items =
      NANOGetArray(&proto, APMPBSnapshot::kExperiments, &APMPBExperiment::messageClass());
  fnd::Array experiments;
  for (const fnd::Value& item : items.value_or(fnd::Array())) {
    auto message = item.recordAs<APMPBExperiment>();
    if (!message) continue;
    // Failed experiments are skipped.
    if (auto experiment = APMEExperiment::initWithProtobuf(*message)) {
      experiments.push_back(ExperimentValue(experiment));
    }
  }
  return initWithSDKName(name ? fnd::Value(*name) : fnd::Value(),
                         fnd::Value(std::move(experiments)));
}

std::shared_ptr<APMESnapshot> APMESnapshot::copy() const {
  return initWithSDKName(SDKName_, experiments());
}

std::vector<std::shared_ptr<APMEExperiment>> APMESnapshot::experiments() const {
  return experiments_.allValues();
}

std::shared_ptr<APMPBFlag> APMESnapshot::flagByName(const std::string& name) const {
  for (const auto& experiment : experiments_.allValues()) {
    if (auto flag = experiment->flagWithName(name)) return flag;
  }
  return nullptr;
}

void APMESnapshot::addFlag(const fnd::Value& flag, const fnd::Value& experimentID) {
  if (experimentID.isNull()) {
    APMELog(2, 840003, "Cannot add flag into empty experiment ID");
    return;
  }
  auto message = flag.recordAs<APMPBFlag>();
  if (!message) {
    APMELog(2, 840004, "Cannot add an invalid flag into a snapshot");
    return;
  }
  const int64_t id = experimentID.asInt();
  if (std::optional<std::shared_ptr<APMEExperiment>> experiment = experiments_.objectForKey(id)) {
    (*experiment)->addFlag(message);
    return;
  }
  if (auto experiment = APMEExperiment::initWithExperimentID(experimentID, fnd::Array{flag})) {
    experiments_.setObject(experiment, experiment->experimentID());
  }
}

void APMESnapshot::addFlags(const fnd::Array& flags, const fnd::Value& experimentID) {
  for (const fnd::Value& flag : flags) addFlag(flag, experimentID);
}

std::shared_ptr<APMPBSnapshot> APMESnapshot::proto() const {
  auto proto = APMPBSnapshot::initWithBuffer(nullptr);
  if (!proto) return nullptr;
  NANOSetString(proto.get(), APMPBSnapshot::kSdkName, fnd::Value(SDKName_));
  fnd::Array experiments;
  for (const auto& experiment : experiments_.allValues()) {
    if (auto message = experiment->proto()) {
      experiments.push_back(fnd::Value(std::static_pointer_cast<fnd::Record>(message)));
    }
  }
  NANOSetArray(proto.get(), APMPBSnapshot::kExperiments, &experiments);
  return proto;
}

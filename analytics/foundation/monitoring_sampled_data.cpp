#include "analytics/foundation/monitoring_sampled_data.h"

#include <cmath>
#include <utility>

#include "analytics/foundation/numeric_util.h"
#include "analytics/foundation/user_defaults.h"

ZIVMonitoringSampledData::ZIVMonitoringSampledData(RandomBelow randomBelow)
    : randomBelow_(std::move(randomBelow)) {
  if (!randomBelow_) {
    randomBelow_ = [](uint64_t upperBound) { return ZIVNumericUtil::randomUniform(upperBound); };
  }
}

bool ZIVMonitoringSampledData::isValidUserDefaultsArrayEntry(const fnd::Value& entry) {
  const fnd::Array* array = entry.array();
  if (!array || array->size() != 4) return false;
  const fnd::Array& a = *array;
  return a[0].isString() && (a[1].isNumber() || a[1].isBool()) && a[2].isString() && a[3].isDate();
}

void ZIVMonitoringSampledData::loadFromUserDefaults(const ZIVUserDefaults& defaults,
                                                    const std::string& key) {
  hasEntry_ = false;
  context_.clear();
  key_.clear();
  population_ = 0;
  timestamp_ = 0;
  std::optional<fnd::Value> stored = defaults.objectForKey(key);
  if (!stored || !isValidUserDefaultsArrayEntry(*stored)) return;
  const fnd::Array& a = *stored->array();
  context_ = a[0].asString();
  population_ = a[1].asInt();
  key_ = a[2].asString();
  timestamp_ = a[3].date()->secondsSince1970;
  hasEntry_ = true;
}

std::optional<fnd::Array> ZIVMonitoringSampledData::entry() const {
  if (!hasEntry_) return std::nullopt;
  return fnd::Array{fnd::Value(context_), fnd::Value::Int64(population_), fnd::Value(key_),
                    fnd::Value(fnd::Date{timestamp_})};
}

void ZIVMonitoringSampledData::storeInUserDefaults(ZIVUserDefaults& defaults,
                                                   const std::string& key) const {
  std::optional<fnd::Array> stored = entry();
  defaults.setObject(stored ? fnd::Value(*stored) : fnd::Value(), key);
}

void ZIVMonitoringSampledData::insertOrUpdate(const std::string& key, const std::string& context,
                                              double now) {
  if (!hasEntry_) {
    context_ = context;
    population_ = 1;
    key_ = key;
    timestamp_ = now;
    hasEntry_ = true;
    return;
  }
  population_ = population_ < 1 ? 1 : population_ + 1;
  if (randomBelow_(static_cast<uint64_t>(population_)) == 0) {
    key_ = key;
    context_ = context;
  }
}

std::optional<std::string> ZIVMonitoringSampledData::dataForDispatch(double samplePeriod,
                                                                     double lastSampledTimestamp,
                                                                     double now) {
  if (hasEntry_) {
    if (!(timestamp_ < now - samplePeriod)) return std::nullopt;
    std::string out = std::to_string(population_) + ":" + key_;
    if (!context_.empty()) out += ":" + context_;
    hasEntry_ = false;
    context_.clear();
    key_.clear();
    population_ = 0;
    timestamp_ = 0;
    return out;
  }
  if (lastSampledTimestamp > 0 && std::fabs(lastSampledTimestamp - now) > samplePeriod) {
    return std::string("0:");
  }
  return std::nullopt;
}

#include "analytics/engine/event_sampler.h"

#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "analytics/config/remote_config.h"
#include "analytics/engine/event.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/foundation/errors.h"
#include "analytics/foundation/monitor.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "platform/security/random.h"

namespace {

bool HasError(const fnd::Error& error) { return !error.domain().empty() || error.code() != 0; }

fnd::Array Params(const APMPBEvent& event) {
  return NANOGetArray(&event, APMPBEvent::kParams, &APMPBEventParam::messageClass())
      .value_or(fnd::Array());
}

std::shared_ptr<APMPBEventParam> FindParam(const fnd::Array& params, const std::string& name) {
  for (const fnd::Value& item : params) {
    auto param = item.recordAs<APMPBEventParam>();
    if (param && NANOGetString(param.get(), APMPBEventParam::kName).value_or("") == name) {
      return param;
    }
  }
  return nullptr;
}

// Appends an integer parameter; false when the parameter message cannot be made.
bool AddIntParam(APMPBEvent& event, const std::string& name, int64_t value) {
  auto param = APMPBEventParam::initWithMessageInfo(nullptr);
  if (!param) return false;
  NANOSetString(param.get(), APMPBEventParam::kName, name);
  NANOSetInt64(param.get(), APMPBEventParam::kIntValue, value);
  fnd::Array params = Params(event);
  params.emplace_back(std::static_pointer_cast<fnd::Record>(param));
  NANOSetArray(&event, APMPBEvent::kParams, &params);
  return true;
}

}  // namespace

void ZIVAddSamplingParam(APMPBEvent& event, int32_t rate, ZIVMonitor& monitor) {
  if (FindParam(Params(event), "_sr")) return;
  if (!AddIntParam(event, "_sr", rate)) {
    monitor.logWithLevel(2, 23153, "Failed to create sampling rate parameter");
  }
}

ZIVEventSampler::ZIVEventSampler(std::shared_ptr<ZIVDatabase> database,
                                 std::shared_ptr<ZIVRemoteConfig> settings,
                                 std::shared_ptr<ZIVMonitor> monitor,
                                 std::function<uint64_t(uint64_t)> randomBelow)
    : database_(std::move(database)),
      settings_(std::move(settings)),
      monitor_(std::move(monitor)),
      randomBelow_(std::move(randomBelow)) {}

int32_t ZIVEventSampler::dayNumber(double seconds, int32_t offsetMinutes) {
  const double days = std::trunc((seconds + offsetMinutes * 60.0) / 86400.0);
  if (std::isnan(days)) return 0;
  if (days >= std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (days <= std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(days);
}

bool ZIVEventSampler::canEventBeSampled(const APMPBEvent& event) const {
  if (!settings_->isEventSamplingEnabled()) return false;
  const std::string name = NANOGetString(&event, APMPBEvent::kName).value_or("");
  if (!settings_->eventHasSamplingRate(name)) return false;
  if (settings_->samplingRateForEvent(name) > 1) return true;
  monitor_->logWithLevel(5, 23154, "Invalid sampling rate provided");
  return false;
}

bool ZIVEventSampler::isEventBundledAfterRoll(int32_t rate) const {
  if (rate <= 1) return true;
  const uint64_t bound = static_cast<uint64_t>(rate);
  uint64_t draw;
  if (randomBelow_) {
    draw = randomBelow_(bound);
  } else {
    // A failed source gives 0, which keeps the event: nothing is lost.
    fnd::Data bytes;
    uint64_t random = 0;
    if (security::RandomBytes(sizeof(random), &bytes) && bytes.size() == sizeof(random)) {
      for (uint8_t byte : bytes) random = (random << 8) | byte;
    }
    draw = random % bound;
  }
  return draw == 0;
}

std::optional<std::vector<std::shared_ptr<APMPBEvent>>> ZIVEventSampler::sampleEvents(
    const std::vector<std::shared_ptr<APMPBEvent>>& events, fnd::Error* error) {
  fnd::Error queryError;
  auto all = database_->allEventAggregates(&queryError);
  if (!all) {
    if (!HasError(queryError)) {
      queryError = fnd::Error::withDescription("ZIVMeasurement", 1, "Event aggregates unreadable");
    }
    monitor_->logWithLevel(1, 23157, "Unable to query all event aggregates for cache. error",
                           fnd::Value(queryError.description()));
    fnd::SetError(error, queryError);
    return std::nullopt;
  }
  std::map<std::string, std::shared_ptr<ZIVEventAggregates>> cache;
  for (const auto& aggregates : *all) cache[aggregates->name()] = aggregates;
  auto entry = [&](const std::string& name) -> ZIVEventAggregates* {
    auto it = cache.find(name);
    return it == cache.end() ? nullptr : it->second.get();
  };

  const int32_t offset = settings_->analyticsAccountTimeZoneOffsetMinutes();
  std::vector<std::shared_ptr<APMPBEvent>> kept;
  for (const auto& event : events) {
    if (!event) continue;
    const std::string name = NANOGetString(event.get(), APMPBEvent::kName).value_or("");
    if (name.empty()) {
      monitor_->logWithLevel(2, 23155, "Dropping event at sampling. Event has no name");
      continue;
    }
    const double time = NANOGetInt64(event.get(), APMPBEvent::kTimestampMillis) / 1000.0;
    const int32_t day = dayNumber(time, offset);
    ZIVEventAggregates* aggregates = entry(name);
    auto markBundled = [&] {
      if (!aggregates) return;
      aggregates->setLastBundledTimestamp(time);
      aggregates->setLastBundledDay(day);
    };
    if (!canEventBeSampled(*event)) {
      markBundled();
      kept.push_back(event);
      continue;
    }
    const int32_t rate = settings_->samplingRateForEvent(name);
    if (isEventBundledAfterRoll(rate)) {
      if (aggregates) {
        aggregates->setLastSamplingRate(rate);
        if (aggregates->lastSampledComplexEventID()) {
          aggregates->setLastSampledComplexEventID(std::nullopt);
        }
      }
      markBundled();
      ZIVAddSamplingParam(*event, rate, *monitor_);
      kept.push_back(event);
      continue;
    }
    int32_t lastDay = aggregates ? aggregates->lastBundledDay() : 0;
    if (lastDay == 0) {
      lastDay = dayNumber(NANOGetInt64(event.get(), APMPBEvent::kPreviousTimestampMillis) / 1000.0,
                          offset);
    }
    if (lastDay == day) {
      if (auto eid = FindParam(Params(*event), "_eid"); eid && aggregates) {
        aggregates->setLastSampledComplexEventID(
            NANOGetInt64(eid.get(), APMPBEventParam::kIntValue));
      }
      if (aggregates) aggregates->setLastSamplingRate(rate);
      continue;
    }
    markBundled();
    ZIVAddSamplingParam(*event, rate, *monitor_);
    if (!FindParam(Params(*event), "_efs")) {
      if (!AddIntParam(*event, "_efs", 1)) {
        monitor_->logWithLevel(2, 23158, "Failed to create exempt from sampling parameter");
      }
    }
    if (aggregates) {
      aggregates->setLastExemptFromSampling(true);
      aggregates->setLastSamplingRate(rate);
    }
    kept.push_back(event);
  }

  for (const auto& [name, cached] : cache) {
    fnd::Error readError;
    auto stored = database_->eventAggregatesWithName(name, &readError);
    if (!stored) {
      if (!HasError(readError)) continue;  // Gone meanwhile: nothing to update.
      monitor_->logWithLevel(
          1, 23151, "Unable to query event aggregates to update database. Name, error",
          fnd::Value(ZIVFormattedEventName(fnd::Value(name))), fnd::Value(readError.description()));
      fnd::SetError(error, readError);
      return std::nullopt;
    }
    if (cached->lastBundledTimestamp() != 0) {
      stored->setLastBundledTimestamp(cached->lastBundledTimestamp());
    }
    stored->setLastSamplingRate(cached->lastSamplingRate());
    stored->setLastSampledComplexEventID(cached->lastSampledComplexEventID());
    stored->setLastExemptFromSampling(cached->lastExemptFromSampling());
    stored->setLastBundledDay(cached->lastBundledDay());
    fnd::Error writeError;
    if (!database_->updateEventAggregates(*stored, &writeError)) {
      monitor_->logWithLevel(
          1, 23152,
          "Failed to update event aggregates after removing removing events due to sampling. Error",
          fnd::Value(writeError.description()));
      if (!HasError(writeError)) {
        writeError = fnd::Error::withDescription("ZIVMeasurement", 3, "Aggregates not stored");
      }
      fnd::SetError(error, writeError);
      return std::nullopt;
    }
  }
  return kept;
}

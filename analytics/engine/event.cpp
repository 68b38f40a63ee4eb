#include "analytics/engine/event.h"

#include <cfloat>
#include <cmath>
#include <limits>

#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/proto/messages.h"

namespace {

constexpr const char* kOriginParameter = "_o";

void Log(int64_t level, int64_t code, const std::string& message, fnd::Array contexts = {}) {
  ZIVMeasurement::monitor()->logWithLevel(level, code, message, contexts);
}

fnd::Value MessageValue(const std::shared_ptr<NANOMessageBase>& message) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(message));
}

}  // namespace

int64_t ZIVMillisecondsFromSeconds(double seconds) {
  const double millis = std::trunc(seconds * 1000.0);
  // Out of range (or not a number) cannot be stored as an integer: clamp instead of overflowing.
  if (std::isnan(millis)) return 0;
  if (millis >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
  if (millis <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(millis);
}

// ---- ZIVEvent.

ZIVEvent::ZIVEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
                   Parameters parameters)
    : origin_(std::move(origin)),
      name_(std::move(name)),
      timestamp_(timestamp),
      previousTimestamp_(previousTimestamp),
      parameters_(std::move(parameters)) {}

std::shared_ptr<ZIVEvent> ZIVEvent::initWithOrigin(const std::string& origin, bool isPublic,
                                                   const std::string& name, double timestamp,
                                                   double previousTimestamp,
                                                   const Parameters& parameters) {
  (void)isPublic;  // Public events follow the public-name rules of the event pipeline.
  uint64_t failure = 0;
  if (!ZIVDataTypeValidator::isValidForwardedEventOrigin(fnd::Value(origin), &failure) &&
      !(failure == kZIVDataTypeFailureNoGTMSuffix &&
        ZIVDataTypeValidator::isValidInternalEventOrigin(fnd::Value(origin)))) {
    return nullptr;
  }
  if (!ZIVDataTypeValidator::isValidInternalEventName(fnd::Value(name))) return nullptr;
  if (previousTimestamp > timestamp) {
    Log(5, 16002, "Event created with previous timestamp after current timestamp");
  }
  Parameters kept;
  for (const auto& [key, value] : parameters) {
    if (value) kept[key] = value;
  }
  kept[kOriginParameter] = ZIVValue::initWithString(origin);
  return std::shared_ptr<ZIVEvent>(
      new ZIVEvent(origin, name, timestamp, previousTimestamp, std::move(kept)));
}

std::shared_ptr<ZIVEvent> ZIVEvent::initWithEventProto(const APMPBEvent& proto) {
  const std::string name = NANOGetString(&proto, APMPBEvent::kName).value_or(std::string());
  const double timestamp = NANOGetInt64(&proto, APMPBEvent::kTimestampMillis) / 1000.0;
  const double previousTimestamp =
      NANOGetInt64(&proto, APMPBEvent::kPreviousTimestampMillis) / 1000.0;
  std::optional<std::string> origin;
  Parameters parameters;
  std::optional<fnd::Array> params =
      NANOGetArray(&proto, APMPBEvent::kParams, &APMPBEventParam::messageClass());
  for (const fnd::Value& item : params.value_or(fnd::Array())) {
    auto param = item.recordAs<APMPBEventParam>();
    if (!param) continue;
    std::optional<std::string> paramName = NANOGetString(param.get(), APMPBEventParam::kName);
    if (!paramName) {
      Log(2, 15000, "Ignoring parameter. Parameter name is nil. Event name", {fnd::Value(name)});
      continue;
    }
    std::optional<std::string> text = NANOGetString(param.get(), APMPBEventParam::kStringValue);
    if (*paramName == kOriginParameter) {
      if (!text) {
        Log(2, 15001,
            "Cannot create an event from event proto. Origin parameter is not a string. Event "
            "name",
            {fnd::Value(name)});
        return nullptr;
      }
      origin = *text;
      continue;
    }
    if (text) {
      parameters[*paramName] = ZIVValue::initWithString(*text);
    } else if (NANOHasField(param.get(), APMPBEventParam::kIntValue)) {
      parameters[*paramName] =
          ZIVValue::initWithInt64(NANOGetInt64(param.get(), APMPBEventParam::kIntValue));
    } else if (NANOHasField(param.get(), APMPBEventParam::kDoubleValue)) {
      parameters[*paramName] =
          ZIVValue::initWithDouble(NANOGetDouble(param.get(), APMPBEventParam::kDoubleValue));
    } else {
      Log(5, 15002,
          "Unknown event parameter type from converting an event proto into ZIVEvent instance. "
          "Event param name",
          {fnd::Value(*paramName)});
    }
  }
  // Without "_o" the origin is empty, which the origin check refuses.
  return initWithOrigin(origin.value_or(std::string()), false, name, timestamp, previousTimestamp,
                        parameters);
}

namespace {

// Parameters -> EventParam messages. Array values become unnamed parameters holding the item's
// own parameters, one level deep.
fnd::Array ParamsFromParameters(const std::map<std::string, ZIVValuePtr>& parameters,
                                const std::string& eventName, bool nested) {
  fnd::Array params;
  for (const auto& [key, value] : parameters) {
    if (!value) {
      Log(2, 16005, "Invalid event param value. Event name, param name",
          {fnd::Value(eventName), fnd::Value(key)});
      continue;
    }
    auto param = APMPBEventParam::initWithMessageInfo(nullptr);
    if (!param) continue;
    NANOSetString(param.get(), APMPBEventParam::kName, fnd::Value(key));
    if (value->isDouble()) {
      NANOSetDouble(param.get(), APMPBEventParam::kDoubleValue, value->doubleValue());
    } else if (value->isInt64()) {
      NANOSetInt64(param.get(), APMPBEventParam::kIntValue, value->int64Value());
    } else if (value->isString()) {
      NANOSetString(param.get(), APMPBEventParam::kStringValue, fnd::Value(*value->stringValue()));
    } else if (value->isArray()) {
      if (nested) {
        Log(2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
            {fnd::Value(eventName), fnd::Value(key)});
        continue;
      }
      fnd::Array items;
      for (const fnd::Value& item : *value->arrayValue()) {
        const fnd::Dictionary* dictionary = item.dictionary();
        if (!dictionary) continue;
        std::map<std::string, ZIVValuePtr> itemParameters;
        for (const auto& [itemKey, itemValue] : *dictionary) {
          itemParameters[itemKey.asString()] = itemValue.recordAs<ZIVValue>();
        }
        auto itemParam = APMPBEventParam::initWithMessageInfo(nullptr);
        if (!itemParam) continue;
        fnd::Array inner = ParamsFromParameters(itemParameters, eventName, true);
        NANOSetArray(itemParam.get(), APMPBEventParam::kParams, &inner);
        items.push_back(MessageValue(itemParam));
      }
      NANOSetArray(param.get(), APMPBEventParam::kParams, &items);
    }
    params.push_back(MessageValue(param));
  }
  return params;
}

}  // namespace

std::shared_ptr<APMPBEvent> ZIVEvent::protoEvent() const {
  auto proto = APMPBEvent::initWithMessageInfo(nullptr);
  if (!proto) return nullptr;
  NANOSetString(proto.get(), APMPBEvent::kName, fnd::Value(name_));
  if (previousTimestamp_ > DBL_EPSILON) {
    NANOSetInt64(proto.get(), APMPBEvent::kPreviousTimestampMillis,
                 ZIVMillisecondsFromSeconds(previousTimestamp_));
  }
  NANOSetInt64(proto.get(), APMPBEvent::kTimestampMillis, ZIVMillisecondsFromSeconds(timestamp_));
  fnd::Array params = ParamsFromParameters(parameters_, name_, false);
  NANOSetArray(proto.get(), APMPBEvent::kParams, &params);
  return proto;
}

bool ZIVEvent::flagIsSet(const char* parameter) const {
  auto it = parameters_.find(parameter);
  return it != parameters_.end() && it->second && it->second->isInt64() &&
         it->second->int64Value() == 1;
}

bool ZIVEvent::isConversion() const { return flagIsSet("_c"); }

bool ZIVEvent::isRealtime() const {
  auto it = parameters_.find("_r");
  if (it != parameters_.end() && it->second && !it->second->isInt64()) {
    Log(2, 16006, "Realtime parameter must be an int64. Event name", {fnd::Value(name_)});
    return false;
  }
  return flagIsSet("_r");
}

bool ZIVEvent::isDebug() const { return flagIsSet("_dbg"); }

// ---- ZIVEventAggregates.

ZIVEventAggregates::ZIVEventAggregates(std::string name, int32_t lifetimeCount,
                                       int32_t currentBundleCount, int32_t currentSessionCount,
                                       double lastFireTimestamp)
    : name_(std::move(name)),
      lifetimeCount_(lifetimeCount),
      currentBundleCount_(currentBundleCount),
      currentSessionCount_(currentSessionCount),
      lastFireTimestamp_(lastFireTimestamp) {}

std::shared_ptr<ZIVEventAggregates> ZIVEventAggregates::initWithName(const std::string& name,
                                                                     int32_t lifetimeCount,
                                                                     int32_t currentBundleCount,
                                                                     int32_t currentSessionCount,
                                                                     double lastFireTimestamp) {
  if (!ZIVDataTypeValidator::isValidInternalEventName(fnd::Value(name))) return nullptr;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    Log(5, 17000, "Failed to create event aggregates object. Received negative count.");
    return nullptr;
  }
  return std::shared_ptr<ZIVEventAggregates>(new ZIVEventAggregates(
      name, lifetimeCount, currentBundleCount, currentSessionCount, lastFireTimestamp));
}

namespace {

void IncrementCount(int32_t* count, int64_t code, const char* message) {
  if (*count == std::numeric_limits<int32_t>::max()) {
    Log(5, code, message);
    *count = 0;
    return;
  }
  ++*count;
}

}  // namespace

void ZIVEventAggregates::incrementLifetimeCount() {
  IncrementCount(&lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void ZIVEventAggregates::incrementCurrentBundleCount() {
  IncrementCount(&currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void ZIVEventAggregates::incrementCurrentSessionCount() {
  IncrementCount(&currentSessionCount_, 17003, "Session count overflow. Session count reset to 0.");
}

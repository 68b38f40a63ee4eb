#include "analytics/engine/event.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/event_util.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/name_tables.h"
#include "analytics/foundation/monitor.h"
#include "analytics/proto/messages.h"
#include "analytics/script/event.h"
#include "platform/foundation/text.h"

namespace {

constexpr const char* kOriginParameter = "_o";
constexpr const char* kConversionParameter = "_c";
constexpr const char* kRealtimeParameter = "_r";
constexpr const char* kDebugParameter = "_dbg";
constexpr const char* kErrorParameter = "_err";
// The error code that marks a removed conversion flag.
constexpr int64_t kConversionRemovedError = 10;

void Log(int64_t level, int64_t code, const std::string& message, fnd::Array contexts = {}) {
  ZIVMeasurement::monitor()->logWithLevel(level, code, message, contexts);
}

fnd::Value MessageValue(const std::shared_ptr<NANOMessageBase>& message) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(message));
}

fnd::Value Object(const ZIVValuePtr& value) {
  return value ? fnd::Value(std::static_pointer_cast<fnd::Record>(value)) : fnd::Value();
}

// A normalised dictionary (string keys, ZIVValue records) in the typed form.
ZIVEvent::Parameters TypedParameters(const fnd::Dictionary& dictionary) {
  ZIVEvent::Parameters parameters;
  for (const auto& [key, value] : dictionary) {
    auto typed = value.recordAs<ZIVValue>();
    if (key.isString() && typed) parameters[key.asString()] = typed;
  }
  return parameters;
}

// The text of a screen class or name given as a string or a string value.
std::optional<std::string> ScreenText(const fnd::Value& value) {
  if (value.isString()) return value.asString();
  if (auto typed = value.recordAs<ZIVValue>()) return typed->stringValue();
  return std::nullopt;
}

// Checks an optional screen class or name; false (with a log line for a bad text) when it is
// present but unusable.
bool CheckScreenText(const fnd::Dictionary& parameters, const char* key, int64_t code,
                     const char* message) {
  const fnd::Value* value = parameters.find(fnd::Value(key));
  if (!value) return true;
  std::optional<std::string> text = ScreenText(*value);
  if (!text) return false;
  if (!ZIVDataTypeValidator::isValidScreenParameterValue(fnd::Value(*text))) {
    Log(3, code, message, {*value});
    return false;
  }
  return true;
}

// One EventParam's value, or null (with a log line) when it has none that an event can hold.
// Nested parameters become an array value of item dictionaries, one level deep.
ZIVValuePtr ValueFromParam(const APMPBEventParam& param, const std::string& paramName,
                           const std::string& eventName, bool nested) {
  if (std::optional<std::string> text = NANOGetString(&param, APMPBEventParam::kStringValue)) {
    return ZIVValue::initWithString(*text);
  }
  if (NANOHasField(&param, APMPBEventParam::kIntValue)) {
    return ZIVValue::initWithInt64(NANOGetInt64(&param, APMPBEventParam::kIntValue));
  }
  if (NANOHasField(&param, APMPBEventParam::kDoubleValue)) {
    return ZIVValue::initWithDouble(NANOGetDouble(&param, APMPBEventParam::kDoubleValue));
  }
  std::optional<fnd::Array> items =
      NANOGetArray(&param, APMPBEventParam::kParams, &APMPBEventParam::messageClass());
  if (!nested && items && !items->empty()) {
    fnd::Array dictionaries;
    for (const fnd::Value& item : *items) {
      auto itemParam = item.recordAs<APMPBEventParam>();
      if (!itemParam) continue;
      fnd::Dictionary dictionary;
      std::optional<fnd::Array> inner =
          NANOGetArray(itemParam.get(), APMPBEventParam::kParams, &APMPBEventParam::messageClass());
      for (const fnd::Value& innerItem : inner.value_or(fnd::Array())) {
        auto innerParam = innerItem.recordAs<APMPBEventParam>();
        if (!innerParam) continue;
        std::optional<std::string> innerName =
            NANOGetString(innerParam.get(), APMPBEventParam::kName);
        if (!innerName) {
          Log(2, 15000, "Ignoring parameter. Parameter name is nil. Event name",
              {fnd::Value(eventName)});
          continue;
        }
        if (ZIVValuePtr value = ValueFromParam(*innerParam, *innerName, eventName, true)) {
          dictionary.set(fnd::Value(*innerName), Object(value));
        }
      }
      dictionaries.emplace_back(std::move(dictionary));
    }
    return ZIVValue::initWithArray(fnd::Value(std::move(dictionaries)));
  }
  Log(5, 15002,
      "Unknown event parameter type from converting an event proto into ZIVEvent instance. "
      "Event param name",
      {fnd::Value(ZIVFormattedParameterName(fnd::Value(paramName)))});
  return nullptr;
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

fnd::Dictionary ZIVParametersAsDictionary(const ZIVEvent::Parameters& parameters) {
  fnd::Dictionary dictionary;
  for (const auto& [key, value] : parameters) dictionary.set(fnd::Value(key), Object(value));
  return dictionary;
}

// ---- ZIVEvent.

ZIVEvent::ZIVEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
                   std::shared_ptr<Parameters> parameters)
    : origin_(std::move(origin)),
      name_(std::move(name)),
      timestamp_(timestamp),
      previousTimestamp_(previousTimestamp),
      parameters_(std::move(parameters)) {}

bool ZIVEvent::checkOriginAndName(const std::string& origin, bool isPublic, const std::string& name,
                                  double timestamp, double previousTimestamp) {
  using V = ZIVDataTypeValidator;
  const fnd::Value originValue(origin);
  uint64_t failure = 0;
  if (!V::isValidForwardedEventOrigin(originValue, &failure) &&
      !(failure == kZIVDataTypeFailureNoGTMSuffix && V::isValidInternalEventOrigin(originValue))) {
    return false;
  }
  const fnd::Value nameValue(name);
  if (isPublic && !V::isValidPublicEventName(nameValue)) return false;
  if (!V::isValidInternalEventName(nameValue)) return false;
  if (previousTimestamp > timestamp) {
    Log(5, 16002, "Event created with previous timestamp after current timestamp");
  }
  return true;
}

std::shared_ptr<ZIVEvent> ZIVEvent::makeWithNormalizedParameters(
    const std::string& origin, const std::string& name, double timestamp, double previousTimestamp,
    std::shared_ptr<Parameters> typed, const ZIVParameterLimits* checkedUnder) {
  // "_o" is the origin whatever the parameters said; a copy's already is.
  auto stored = typed->find(kOriginParameter);
  const std::string* storedOrigin =
      stored != typed->end() && stored->second && stored->second->isString()
          ? stored->second->object().string()
          : nullptr;
  if (!storedOrigin || *storedOrigin != origin) {
    if (typed.use_count() > 1) typed = std::make_shared<Parameters>(*typed);
    (*typed)[kOriginParameter] = ZIVValue::initWithString(origin);
  }
  std::shared_ptr<ZIVEvent> event(
      new ZIVEvent(origin, name, timestamp, previousTimestamp, std::move(typed)));
  if (event->shouldValidateParams()) {
    Parameters& parameters = event->mutableParameters();
    if (!ZIVValidateConversionEventParameters(&parameters, event->shouldRequireValueParam())) {
      parameters.erase(kConversionParameter);
    }
  } else if (checkedUnder && ZIVOriginParameterIsNormalized(origin, name, *checkedUnder)) {
    // The checked parameters with "_o" set: they still pass under the same limits.
    event->normalizedUnder_ = *checkedUnder;
  }
  return event;
}

std::shared_ptr<ZIVEvent> ZIVEvent::initWithOrigin(const std::string& origin, bool isPublic,
                                                   const std::string& name, double timestamp,
                                                   double previousTimestamp,
                                                   const fnd::Dictionary& parameters) {
  if (!checkOriginAndName(origin, isPublic, name, timestamp, previousTimestamp)) return nullptr;
  std::optional<fnd::Dictionary> normalized =
      ZIVNormalizedParametersForParametersAndEventName(parameters, name, isPublic, false);
  return makeWithNormalizedParameters(
      origin, name, timestamp, previousTimestamp,
      std::make_shared<Parameters>(normalized ? TypedParameters(*normalized) : Parameters()));
}

std::shared_ptr<ZIVEvent> ZIVEvent::initWithOrigin(const std::string& origin, bool isPublic,
                                                   const std::string& name, double timestamp,
                                                   double previousTimestamp,
                                                   const Parameters& parameters) {
  return initWithTypedParameters(origin, isPublic, name, timestamp, previousTimestamp,
                                 std::make_shared<Parameters>(parameters), std::nullopt);
}

std::shared_ptr<ZIVEvent> ZIVEvent::initWithTypedParameters(
    const std::string& origin, bool isPublic, const std::string& name, double timestamp,
    double previousTimestamp, std::shared_ptr<Parameters> parameters,
    const std::optional<ZIVParameterLimits>& checkedUnder) {
  // Copies and stored events mostly hold parameters that an earlier construction normalised
  // already: when normalising would hand them back unchanged, it is skipped. Parameters known to
  // pass under the limits of now are not checked again.
  const ZIVParameterLimits limits = ZIVCurrentParameterLimits();
  if (isPublic || !((checkedUnder && *checkedUnder == limits) ||
                    ZIVParametersAreNormalized(*parameters, name, limits))) {
    return initWithOrigin(origin, isPublic, name, timestamp, previousTimestamp,
                          ZIVParametersAsDictionary(*parameters));
  }
  if (!checkOriginAndName(origin, isPublic, name, timestamp, previousTimestamp)) return nullptr;
  return makeWithNormalizedParameters(origin, name, timestamp, previousTimestamp,
                                      std::move(parameters), &limits);
}

std::shared_ptr<ZIVEvent> ZIVEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  return initWithTypedParameters(origin_, false, name_, timestamp_, previousTimestamp, parameters_,
                                 normalizedUnder_);
}

std::shared_ptr<ZIVEvent> ZIVEvent::copyWithParameters(const fnd::Dictionary& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::shared_ptr<ZIVEvent> ZIVEvent::copyWithParameters(const Parameters& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::shared_ptr<ZIVEvent> ZIVEvent::copy() const {
  return initWithTypedParameters(origin_, false, name_, timestamp_, previousTimestamp_, parameters_,
                                 normalizedUnder_);
}

std::shared_ptr<ZIVEvent> ZIVEvent::initWithEventProto(const APMPBEvent& proto) {
  return initWithEventProto(proto, NANOGetInt64(&proto, APMPBEvent::kTimestampMillis) / 1000.0);
}

std::shared_ptr<ZIVEvent> ZIVEvent::initWithEventProto(const APMPBEvent& proto, double timestamp) {
  const std::string name = NANOGetString(&proto, APMPBEvent::kName).value_or(std::string());
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
    if (*paramName == kOriginParameter) {
      std::optional<std::string> text = NANOGetString(param.get(), APMPBEventParam::kStringValue);
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
    if (ZIVValuePtr value = ValueFromParam(*param, *paramName, name, false)) {
      parameters[*paramName] = value;
    }
  }
  // Without "_o" the origin is empty, which the origin check refuses.
  return initWithTypedParameters(origin.value_or(std::string()), false, name, timestamp,
                                 previousTimestamp,
                                 std::make_shared<Parameters>(std::move(parameters)), std::nullopt);
}

std::shared_ptr<ZIVEvent> ZIVEvent::eventFromEditEvent(const APMPEvent& editEvent) {
  const fnd::Value* internalName = ZIVInternalEventNames().find(fnd::Value(editEvent.name()));
  const std::string name = internalName ? internalName->asString() : editEvent.name();
  const fnd::Value* originValue = editEvent.parameterForName(kOriginParameter);
  const std::string origin =
      originValue && originValue->isString() ? originValue->asString() : std::string("app");
  return initWithOrigin(origin, false, name, editEvent.timestamp(), 0, editEvent.parameters());
}

APMPEvent ZIVEvent::editEvent() const {
  const fnd::Value* publicName = ZIVExternalEventNames().find(fnd::Value(name_));
  return APMPEvent(
      publicName ? publicName->asString() : name_, timestamp_,
      ZIVEventParamObjectFromDictionary(ZIVParametersAsDictionary(*parameters_), false));
}

bool ZIVEvent::flagIsSet(const char* parameter) const {
  auto it = parameters_->find(parameter);
  return it != parameters_->end() && it->second && it->second->isInt64() &&
         it->second->int64Value() == 1;
}

bool ZIVEvent::isConversion() const { return flagIsSet(kConversionParameter); }

bool ZIVEvent::isRealtime() const {
  auto it = parameters_->find(kRealtimeParameter);
  if (it != parameters_->end() && !(it->second && it->second->isInt64())) {
    Log(2, 16006, "Realtime parameter must be an int64. Event name", {fnd::Value(name_)});
    return false;
  }
  return flagIsSet(kRealtimeParameter);
}

bool ZIVEvent::isDebug() const { return flagIsSet(kDebugParameter); }

ZIVEvent::Parameters& ZIVEvent::mutableParameters() {
  normalizedUnder_.reset();
  if (parameters_.use_count() > 1) parameters_ = std::make_shared<Parameters>(*parameters_);
  return *parameters_;
}

bool ZIVEvent::eraseParameter(const char* parameter) {
  if (!parameters_->contains(parameter)) return false;
  mutableParameters().erase(parameter);
  return true;
}

void ZIVEvent::setRealtime(bool realtime) {
  if (realtime) {
    mutableParameters()[kRealtimeParameter] = ZIVValue::initWithInt64(1);
  } else {
    eraseParameter(kRealtimeParameter);
  }
}

void ZIVEvent::setDebug(bool debug) {
  if (debug) {
    mutableParameters()[kDebugParameter] = ZIVValue::initWithInt64(1);
  } else {
    eraseParameter(kDebugParameter);
  }
}

void ZIVEvent::setConversion(bool conversion) {
  if (conversion) {
    Parameters& parameters = mutableParameters();
    if (!ZIVValidateConversionEventParameters(&parameters, shouldRequireValueParam())) return;
    parameters[kConversionParameter] = ZIVValue::initWithInt64(1);
    auto error = parameters.find(kErrorParameter);
    if (error != parameters.end() && error->second && error->second->isInt64() &&
        error->second->int64Value() == kConversionRemovedError) {
      parameters.erase(error);
    }
    return;
  }
  if (eraseParameter(kConversionParameter)) {
    ZIVAddErrorParameter(&mutableParameters(), kConversionRemovedError);
  }
}

bool ZIVEvent::shouldValidateParams() const {
  return isConversion() || name_ == "ad_impression" || name_ == "_ai";
}

bool ZIVEvent::shouldRequireValueParam() const {
  return (name_ == "in_app_purchase" || name_ == "_iap") && origin_ == "app";
}

void ZIVEvent::applyParameters(const fnd::Dictionary& parameters, bool isPublic) {
  normalizedUnder_.reset();
  if (parameters.empty()) return;
  std::optional<fnd::Dictionary> normalized =
      ZIVNormalizedParametersForParameters(parameters, isPublic);
  if (!normalized || normalized->empty()) return;
  Parameters merged = TypedParameters(*normalized);
  for (const auto& [key, value] : *parameters_) merged[key] = value;
  parameters_ = std::make_shared<Parameters>(std::move(merged));
}

bool ZIVEvent::addScreenParameters(const fnd::Dictionary& parameters) {
  normalizedUnder_.reset();
  if (parameters.empty() || ZIVHasScreenParameters(*parameters_) ||
      !parameters.contains(fnd::Value("_si"))) {
    return false;
  }
  if (!CheckScreenText(parameters, "_sc", 16003, "Received invalid screen class")) return false;
  const fnd::Value screenID = parameters.get(fnd::Value("_si"));
  auto typedID = screenID.recordAs<ZIVValue>();
  if (!(typedID && typedID->isInt64()) && !screenID.isNumber() && !screenID.isBool()) return false;
  if (!CheckScreenText(parameters, "_sn", 16004, "Received invalid screen name")) return false;
  ZIVValuePtr idValue = ZIVValue::valueFromObject(screenID);
  if (!idValue) return false;
  Parameters& own = mutableParameters();
  own["_si"] = idValue;
  for (const char* key : {"_sc", "_sn"}) {
    if (const fnd::Value* value = parameters.find(fnd::Value(key))) {
      own[key] = ZIVValue::initWithString(*ScreenText(*value));
    }
  }
  return true;
}

// ---- Conversions.

fnd::Array ZIVEventParamProtoFromDictionary(const fnd::Dictionary& parameters,
                                            const std::string& eventName, bool nested) {
  fnd::Array params;
  for (const auto& [key, object] : parameters) {
    auto value = object.recordAs<ZIVValue>();
    if (!value) {
      Log(2, 16005, "Invalid event param value. Event name, param name",
          {fnd::Value(ZIVFormattedEventName(fnd::Value(eventName))),
           fnd::Value(ZIVFormattedParameterName(key))});
      continue;
    }
    if (value->isArray() && nested) {
      Log(2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
          {fnd::Value(ZIVFormattedEventName(fnd::Value(eventName))),
           fnd::Value(ZIVFormattedParameterName(key))});
      continue;
    }
    auto param = APMPBEventParam::initWithMessageInfo(nullptr);
    if (!param) continue;
    NANOSetString(param.get(), APMPBEventParam::kName, key);
    if (value->isDouble()) {
      NANOSetDouble(param.get(), APMPBEventParam::kDoubleValue, value->doubleValue());
    } else if (value->isInt64()) {
      NANOSetInt64(param.get(), APMPBEventParam::kIntValue, value->int64Value());
    } else if (value->isString()) {
      NANOSetString(param.get(), APMPBEventParam::kStringValue, fnd::Value(*value->stringValue()));
    } else if (value->isArray()) {
      fnd::Array items;
      for (const fnd::Value& item : *value->arrayValue()) {
        const fnd::Dictionary* dictionary = item.dictionary();
        if (!dictionary) continue;
        auto itemParam = APMPBEventParam::initWithMessageInfo(nullptr);
        if (!itemParam) continue;
        fnd::Array inner = ZIVEventParamProtoFromDictionary(*dictionary, eventName, true);
        NANOSetArray(itemParam.get(), APMPBEventParam::kParams, &inner);
        items.push_back(MessageValue(itemParam));
      }
      NANOSetArray(param.get(), APMPBEventParam::kParams, &items);
    }
    params.push_back(MessageValue(param));
  }
  return params;
}

fnd::Dictionary ZIVEventParamObjectFromDictionary(const fnd::Dictionary& parameters, bool nested) {
  fnd::Dictionary objects;
  for (const auto& [key, object] : parameters) {
    auto value = object.recordAs<ZIVValue>();
    if (!value) continue;
    if (value->isDouble()) {
      objects.set(key, fnd::Value(value->doubleValue()));
    } else if (value->isInt64()) {
      objects.set(key, fnd::Value::Int64(value->int64Value()));
    } else if (value->isString()) {
      objects.set(key, fnd::Value(*value->stringValue()));
    } else if (value->isArray() && !nested) {
      fnd::Array items;
      for (const fnd::Value& item : *value->arrayValue()) {
        if (const fnd::Dictionary* dictionary = item.dictionary()) {
          items.emplace_back(ZIVEventParamObjectFromDictionary(*dictionary, true));
        }
      }
      objects.set(key, fnd::Value(std::move(items)));
    }
  }
  return objects;
}

bool ZIVHasProtoParameter(const fnd::Array& parameters, const std::string& name) {
  for (const fnd::Value& item : parameters) {
    auto param = item.recordAs<APMPBEventParam>();
    if (!param || NANOGetString(param.get(), APMPBEventParam::kName) != name) continue;
    Log(4, 23156, "Event parameter already exists. Parameter name",
        {fnd::Value(ZIVFormattedParameterName(fnd::Value(name)))});
    return true;
  }
  return false;
}

namespace {

void AppendBytesField(fnd::Data* out, uint8_t key, const std::string& bytes) {
  out->push_back(key);
  APMPAppendVarint(out, bytes.size());
  out->insert(out->end(), bytes.begin(), bytes.end());
}

// Keys of the Event and EventParam fields, as nanopb writes them (field number << 3 | wire type).
constexpr uint8_t kEventParamsKey = 0x0a;     // 1, length-delimited
constexpr uint8_t kEventNameKey = 0x12;       // 2, length-delimited
constexpr uint8_t kEventTimestampKey = 0x18;  // 3, varint
constexpr uint8_t kEventPreviousKey = 0x20;   // 4, varint
constexpr uint8_t kParamNameKey = 0x0a;       // 1, length-delimited
constexpr uint8_t kParamStringKey = 0x12;     // 2, length-delimited
constexpr uint8_t kParamIntKey = 0x18;        // 3, varint
constexpr uint8_t kParamDoubleKey = 0x29;     // 5, 64-bit

}  // namespace

std::optional<fnd::Data> ZIVEvent::directProtoEvent(bool withName) const {
  // The message protoEvent() builds, written directly. nullopt when a parameter's value is not a
  // plain double, integer or string (item lists, or values that protoEvent() logs and leaves
  // out): those take the message's own road.
  size_t size = 0;
  for (const auto& [key, value] : *parameters_) {
    if (!value || !(value->isDouble() || value->isInt64() || value->isString()) ||
        (value->isString() && !value->object().isString())) {
      return std::nullopt;
    }
    size += 24 + key.size() + (value->isString() ? value->object().asString().size() : 0);
  }
  fnd::Data out;
  out.reserve(size + name_.size() + 32);
  fnd::Data param;
  for (const auto& [key, value] : *parameters_) {
    param.clear();
    AppendBytesField(&param, kParamNameKey, key);
    if (value->isDouble()) {
      param.push_back(kParamDoubleKey);
      const double number = value->doubleValue();
      uint8_t bits[8];
      std::memcpy(bits, &number, sizeof bits);
      param.insert(param.end(), bits, bits + sizeof bits);
    } else if (value->isInt64()) {
      param.push_back(kParamIntKey);
      APMPAppendVarint(&param, static_cast<uint64_t>(value->int64Value()));
    } else {
      const std::string& text = value->object().asString();
      AppendBytesField(&param, kParamStringKey, text);
    }
    out.push_back(kEventParamsKey);
    APMPAppendVarint(&out, param.size());
    out.insert(out.end(), param.begin(), param.end());
  }
  if (withName) AppendBytesField(&out, kEventNameKey, name_);
  out.push_back(kEventTimestampKey);
  APMPAppendVarint(&out, static_cast<uint64_t>(ZIVMillisecondsFromSeconds(timestamp_)));
  if (previousTimestamp_ > DBL_EPSILON) {
    out.push_back(kEventPreviousKey);
    APMPAppendVarint(&out, static_cast<uint64_t>(ZIVMillisecondsFromSeconds(previousTimestamp_)));
  }
  return out;
}

namespace {

// The bytes APMPAppendVarint writes for `value`.
size_t VarintSize(uint64_t value) {
  size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

// The bytes of a length-delimited field of `length` bytes with a one-byte key.
size_t BytesFieldSize(size_t length) { return 1 + VarintSize(length) + length; }

}  // namespace

std::optional<size_t> ZIVEvent::directProtoEventSize(bool withName) const {
  // Counts what directProtoEvent() writes, field by field; nullopt where it answers nullopt.
  size_t size = 0;
  for (const auto& [key, value] : *parameters_) {
    if (!value || !(value->isDouble() || value->isInt64() || value->isString()) ||
        (value->isString() && !value->object().isString())) {
      return std::nullopt;
    }
    size_t param = BytesFieldSize(key.size());
    if (value->isDouble()) {
      param += 1 + 8;
    } else if (value->isInt64()) {
      param += 1 + VarintSize(static_cast<uint64_t>(value->int64Value()));
    } else {
      param += BytesFieldSize(value->object().asString().size());
    }
    size += BytesFieldSize(param);
  }
  if (withName) size += BytesFieldSize(name_.size());
  size += 1 + VarintSize(static_cast<uint64_t>(ZIVMillisecondsFromSeconds(timestamp_)));
  if (previousTimestamp_ > DBL_EPSILON) {
    size += 1 + VarintSize(static_cast<uint64_t>(ZIVMillisecondsFromSeconds(previousTimestamp_)));
  }
  return size;
}

namespace {

// A cursor over the plain form of a stored Event message. Each read answers false for bytes
// outside that form; the caller then takes the message road, which decides what they mean.
struct PlainReader {
  const uint8_t* p;
  const uint8_t* end;

  bool done() const { return p == end; }
  // A one-byte key (tags below 16).
  bool key(uint8_t* out) {
    if (p == end || (*p & 0x80)) return false;
    *out = *p++;
    return true;
  }
  // As the decoder reads an int64: at most ten bytes, the tenth holding only the top bit.
  bool varint64(uint64_t* out) {
    uint64_t result = 0;
    unsigned shift = 0;
    uint8_t byte;
    do {
      if (p == end) return false;
      byte = *p++;
      if (shift >= 63 && (byte & 0xfe) != 0) return false;
      result |= static_cast<uint64_t>(byte & 0x7f) << shift;
      shift += 7;
    } while (byte & 0x80);
    *out = result;
    return true;
  }
  // A length-delimited field's content. Lengths of more than three varint bytes, and strings
  // beyond the decoder's limit, are left to the decoder.
  bool bytes(std::string_view* out) {
    uint32_t length = 0;
    for (int i = 0;; ++i) {
      if (i == 3 || p == end) return false;
      const uint8_t byte = *p++;
      length |= static_cast<uint32_t>(byte & 0x7f) << (7 * i);
      if (!(byte & 0x80)) break;
    }
    if (length > kNanoMaxStringLength || static_cast<size_t>(end - p) < length) return false;
    *out = std::string_view(reinterpret_cast<const char*>(p), length);
    p += length;
    return true;
  }
  bool fixed64(uint64_t* out) {
    if (end - p < 8) return false;
    std::memcpy(out, p, 8);
    p += 8;
    return true;
  }
};

// One EventParam of the plain form: a valid UTF-8 name and exactly one value, a valid UTF-8
// string, an integer or a double.
bool ReadPlainParam(std::string_view content, std::string* name, ZIVValuePtr* value) {
  PlainReader r{reinterpret_cast<const uint8_t*>(content.data()),
                reinterpret_cast<const uint8_t*>(content.data()) + content.size()};
  bool hasName = false;
  while (!r.done()) {
    uint8_t key;
    if (!r.key(&key)) return false;
    if (key == kParamNameKey) {
      std::string_view text;
      if (hasName || !r.bytes(&text) || !fnd::IsValidUTF8(text)) return false;
      name->assign(text);
      hasName = true;
      continue;
    }
    if (*value) return false;
    if (key == kParamStringKey) {
      std::string_view text;
      if (!r.bytes(&text) || !fnd::IsValidUTF8(text)) return false;
      *value = ZIVValue::initWithString(std::string(text));
    } else if (key == kParamIntKey) {
      uint64_t number;
      if (!r.varint64(&number)) return false;
      *value = ZIVValue::initWithInt64(static_cast<int64_t>(number));
    } else if (key == kParamDoubleKey) {
      uint64_t bits;
      if (!r.fixed64(&bits)) return false;
      double number;
      std::memcpy(&number, &bits, sizeof number);
      *value = ZIVValue::initWithDouble(number);
    } else {
      return false;
    }
  }
  return hasName && *value;
}

}  // namespace

std::optional<std::shared_ptr<ZIVEvent>> ZIVEvent::initWithEncodedEvent(
    std::span<const uint8_t> encoded, const std::string& name, std::optional<double> timestamp) {
  if (!fnd::IsValidUTF8(name)) return std::nullopt;
  PlainReader r{encoded.data(), encoded.data() + encoded.size()};
  std::optional<uint64_t> millis;
  std::optional<uint64_t> previousMillis;
  std::optional<std::string> origin;
  Parameters parameters;
  std::string paramName;
  while (!r.done()) {
    uint8_t key;
    if (!r.key(&key)) return std::nullopt;
    if (key == kEventParamsKey) {
      std::string_view content;
      ZIVValuePtr value;
      if (!r.bytes(&content) || !ReadPlainParam(content, &paramName, &value)) return std::nullopt;
      if (paramName == kOriginParameter) {
        if (!value->isString()) return std::nullopt;
        origin = value->object().asString();
      } else {
        parameters[paramName] = std::move(value);
      }
    } else if (key == kEventTimestampKey && !millis) {
      millis.emplace();
      if (!r.varint64(&*millis)) return std::nullopt;
    } else if (key == kEventPreviousKey && !previousMillis) {
      previousMillis.emplace();
      if (!r.varint64(&*previousMillis)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (!origin) return std::nullopt;
  const double time = timestamp ? *timestamp : static_cast<int64_t>(millis.value_or(0)) / 1000.0;
  const double previous = static_cast<int64_t>(previousMillis.value_or(0)) / 1000.0;
  return initWithTypedParameters(*origin, false, name, time, previous,
                                 std::make_shared<Parameters>(std::move(parameters)), std::nullopt);
}

std::optional<fnd::Data> ZIVEvent::encodedProtoEvent(bool withName) const {
  if (std::optional<fnd::Data> direct = directProtoEvent(withName)) return direct;
  auto proto = builtProtoEvent();
  if (!proto) return std::nullopt;
  if (!withName) NANOClearField(proto.get(), APMPBEvent::kName);
  return proto->protoBuffer();
}

std::optional<size_t> ZIVEvent::encodedProtoEventSize(bool withName) const {
  if (std::optional<size_t> direct = directProtoEventSize(withName)) return direct;
  std::optional<fnd::Data> encoded = encodedProtoEvent(withName);
  if (!encoded) return std::nullopt;
  return encoded->size();
}

std::shared_ptr<APMPBEvent> ZIVEvent::protoEvent() const {
  // Decoding the direct bytes gives the message that builtProtoEvent() makes, field for field,
  // in a fraction of the time of setting each field through the accessors.
  if (std::optional<fnd::Data> direct = directProtoEvent(true)) {
    if (auto proto = APMPBEvent::initWithBuffer(*direct)) return proto;
  }
  return builtProtoEvent();
}

std::shared_ptr<APMPBEvent> ZIVEvent::builtProtoEvent() const {
  auto proto = APMPBEvent::initWithMessageInfo(nullptr);
  if (!proto) return nullptr;
  NANOSetString(proto.get(), APMPBEvent::kName, fnd::Value(name_));
  if (previousTimestamp_ > DBL_EPSILON) {
    NANOSetInt64(proto.get(), APMPBEvent::kPreviousTimestampMillis,
                 ZIVMillisecondsFromSeconds(previousTimestamp_));
  }
  NANOSetInt64(proto.get(), APMPBEvent::kTimestampMillis, ZIVMillisecondsFromSeconds(timestamp_));
  fnd::Array params =
      ZIVEventParamProtoFromDictionary(ZIVParametersAsDictionary(*parameters_), name_, false);
  NANOSetArray(proto.get(), APMPBEvent::kParams, &params);
  return proto;
}

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

#include "analytics/engine/event_util.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/event_settings.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/name_tables.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/monitor.h"
#include "platform/foundation/text.h"

namespace {

using Params = ZIVEvent::Parameters;
using V = ZIVDataTypeValidator;

constexpr const char* kErrorParameter = "_err";
constexpr const char* kErrorValueParameter = "_ev";
constexpr const char* kErrorLengthParameter = "_el";
constexpr const char* kEllipsis = "...";
constexpr int64_t kErrorValueMaxLength = ZIVDataTypeEventParameterMaxNameLength;

void Log(int64_t level, int64_t code, const std::string& message, fnd::Array contexts = {}) {
  ZIVMeasurement::monitor()->logWithLevel(level, code, message, contexts);
}

fnd::Value Object(const ZIVValuePtr& value) {
  return value ? fnd::Value(std::static_pointer_cast<fnd::Record>(value)) : fnd::Value();
}

// ---- Uniform access to both dictionary forms.

bool Has(const fnd::Dictionary& d, const char* key) { return d.contains(fnd::Value(key)); }
bool Has(const Params& p, const char* key) { return p.count(key) > 0; }
fnd::Value Get(const fnd::Dictionary& d, const char* key) { return d.get(fnd::Value(key)); }
fnd::Value Get(const Params& p, const char* key) {
  auto it = p.find(key);
  return it == p.end() ? fnd::Value() : Object(it->second);
}
void Put(fnd::Dictionary* d, const std::string& key, ZIVValuePtr value) {
  d->set(fnd::Value(key), Object(value));
}
void Put(Params* p, const std::string& key, ZIVValuePtr value) { (*p)[key] = std::move(value); }
void Erase(fnd::Dictionary* d, const fnd::Value& key) { d->erase(key); }
void Erase(Params* p, const fnd::Value& key) {
  if (key.isString()) p->erase(key.asString());
}
fnd::Array Keys(const fnd::Dictionary& d) { return d.keys(); }
fnd::Array Keys(const Params& p) {
  fnd::Array keys;
  keys.reserve(p.size());
  for (const auto& entry : p) keys.emplace_back(entry.first);
  return keys;
}

// ---- The error value text.

std::string ErrorText(const fnd::Value& errorValue) {
  if (errorValue.isString()) return errorValue.asString();
  if (errorValue.isNull()) return "(nil)";
  return ZIVClassNameOfObject(errorValue);
}

// The first `maxLength` code points followed by "...", when the text is longer.
std::string CutText(const std::string& text, int64_t maxLength) {
  const size_t max = static_cast<size_t>(std::max<int64_t>(maxLength, 0));
  if (ziv_UTF32Length(text) <= max) return text;
  const size_t units = max + 3;
  const size_t bytes = units * sizeof(char32_t);
  std::unique_ptr<char32_t[]> buffer(new (std::nothrow) char32_t[units]);
  if (!buffer) {
    Log(2, 18000, "Failed to malloc bytes for trimming. Bytes",
        {fnd::Value(static_cast<int64_t>(bytes))});
    return fnd::SubstringUTF16(text, 0, max) + kEllipsis;
  }
  const std::u32string codePoints = fnd::ToUTF32(text);
  std::copy(codePoints.begin(), codePoints.begin() + max, buffer.get());
  buffer[max] = buffer[max + 1] = buffer[max + 2] = U'.';
  const std::u32string_view cut(buffer.get(), units);
  // Code units outside Unicode cannot make a string.
  const bool valid = std::all_of(cut.begin(), cut.end(), [](char32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
  });
  if (!valid) {
    Log(2, 18001, "Trimmed UTF32 string was nil");
    return fnd::SubstringUTF16(text, 0, max) + kEllipsis;
  }
  return fnd::FromUTF32(cut);
}

// ---- Shared bodies of the overloads.

template <typename D>
void AddErrorParameter(D* parameters, int64_t code) {
  if (!parameters || Has(*parameters, kErrorParameter)) return;
  Put(parameters, kErrorParameter, ZIVValue::initWithInt64(code));
}

template <typename D>
void AddErrorValueAndLength(D* parameters, const fnd::Value& errorValue, int64_t maxValueLength,
                            const fnd::Value& lengthSource) {
  if (!parameters || Has(*parameters, kErrorValueParameter) ||
      Has(*parameters, kErrorLengthParameter)) {
    return;
  }
  Put(parameters, kErrorValueParameter,
      ZIVValue::initWithString(CutText(ErrorText(errorValue), maxValueLength)));
  if (lengthSource.isNull()) return;
  int64_t length = 0;
  if (lengthSource.isString()) {
    length = static_cast<int64_t>(ziv_UTF32Length(lengthSource.asString()));
  } else if (lengthSource.isArray()) {
    length = static_cast<int64_t>(lengthSource.array()->size());
  }
  Put(parameters, kErrorLengthParameter, ZIVValue::initWithInt64(length));
}

template <typename D>
void AddErrorParameters(D* parameters, int64_t code, const fnd::Value& errorValue,
                        int64_t maxValueLength, const fnd::Value& lengthSource) {
  if (!parameters || Has(*parameters, kErrorValueParameter) ||
      Has(*parameters, kErrorLengthParameter) || Has(*parameters, kErrorParameter)) {
    return;
  }
  Put(parameters, kErrorParameter, ZIVValue::initWithInt64(code));
  AddErrorValueAndLength(parameters, errorValue, maxValueLength, lengthSource);
}

bool CountsAsPublic(const fnd::Value& key, bool ignorePredefinedItemParams) {
  if (!ZIVEventUtilIsPublicName(key)) return false;
  return !(ignorePredefinedItemParams && ZIVEventUtilIsPredefinedEcommerceItemsParam(key));
}

template <typename D>
int64_t PublicCount(const D& parameters, bool ignorePredefinedItemParams) {
  int64_t count = 0;
  for (const fnd::Value& key : Keys(parameters)) {
    if (CountsAsPublic(key, ignorePredefinedItemParams)) ++count;
  }
  return count;
}

// The same over typed parameters, whose keys are strings already: no key is copied.
template <>
int64_t PublicCount(const Params& parameters, bool ignorePredefinedItemParams) {
  int64_t count = 0;
  for (const auto& [key, value] : parameters) {
    if (key.empty()) {
      Log(2, 18003, "Cannot check the name. Name is empty");
      continue;
    }
    if (key[0] == '_') continue;
    if (ignorePredefinedItemParams && ZIVIsPredefinedEcommerceItemParameterInList(key)) continue;
    ++count;
  }
  return count;
}

template <typename D>
void Trim(D* parameters, int64_t maxCount, bool ignorePredefinedItemParams) {
  if (!parameters) return;
  int64_t count = PublicCount(*parameters, ignorePredefinedItemParams);
  if (count <= maxCount) return;
  fnd::Array keys = Keys(*parameters);
  std::stable_sort(keys.begin(), keys.end(), [](const fnd::Value& a, const fnd::Value& b) {
    return fnd::CanonicalCompare(a.asString(), b.asString()) < 0;
  });
  for (auto it = keys.rbegin(); it != keys.rend() && count > maxCount; ++it) {
    if (!CountsAsPublic(*it, ignorePredefinedItemParams)) continue;
    Erase(parameters, *it);
    --count;
  }
}

template <typename D>
bool HasScreenParameters(const D& parameters) {
  return Has(parameters, "_si") || Has(parameters, "_sc") || Has(parameters, "_sn");
}

template <typename D>
bool ValidateConversion(D* parameters, bool requireValue) {
  if (!parameters) return false;
  if (!requireValue && !Has(*parameters, "value")) return true;
  int64_t code = 0;
  const char* errorName = nullptr;
  if (!V::isValidNumericValue(Get(*parameters, "value"))) {
    code = 18;
    errorName = "value";
  } else if (!V::isValidCurrencyCode(Get(*parameters, "currency"))) {
    Log(3, 18014,
        "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code in "
        "the currency parameter.");
    code = 19;
    errorName = "currency";
  }
  if (code == 0) return true;
  Erase(parameters, fnd::Value("value"));
  AddErrorParameters(parameters, code, fnd::Value(errorName),
                     ZIVCurrentEventSettings()->maxInternalEventParameterValueLength(),
                     fnd::Value());
  return false;
}

// ---- The "_err" event's route to the facade.

std::mutex& LoggerMutex() {
  static std::mutex mu;
  return mu;
}

// Guarded by LoggerMutex().
ZIVInternalEventLogger& InstalledLogger() {
  static ZIVInternalEventLogger logger;
  return logger;
}

void LogInternalEvent(const fnd::Dictionary& parameters) {
  ZIVInternalEventLogger logger;
  {
    std::lock_guard<std::mutex> lock(LoggerMutex());
    logger = InstalledLogger();
  }
  if (logger) logger("auto", "_err", parameters);
}

bool IsEmptyEventName(const std::string& name) {
  if (!name.empty()) return false;
  Log(2, 18004, "Cannot check the event name. Name is empty");
  return true;
}

}  // namespace

// ---- The "_err" event.

void ZIVSetInternalEventLogger(ZIVInternalEventLogger logger) {
  std::lock_guard<std::mutex> lock(LoggerMutex());
  InstalledLogger() = std::move(logger);
}

void ZIVLogErrorEventWithCode(int64_t code) {
  if (code == 0) return;
  fnd::Dictionary parameters;
  parameters.set(fnd::Value(kErrorParameter), fnd::Value::Int64(code));
  LogInternalEvent(parameters);
}

void ZIVLogErrorEventWithParameters(int64_t code, const fnd::Value& errorValue,
                                    int64_t maxValueLength, const fnd::Value& lengthSource) {
  if (code == 0) return;
  fnd::Dictionary parameters;
  Put(&parameters, kErrorParameter, ZIVValue::initWithInt64(code));
  fnd::Value source;
  if (!lengthSource.isNull() &&
      (code == 4 || code == 7 ||
       (lengthSource.isString() &&
        static_cast<int64_t>(ziv_UTF32Length(lengthSource.asString())) > maxValueLength))) {
    source = lengthSource;
  }
  AddErrorValueAndLength(&parameters, errorValue, maxValueLength, source);
  LogInternalEvent(parameters);
}

// ---- Error parameters.

void ZIVAddErrorParameter(fnd::Dictionary* parameters, int64_t code) {
  AddErrorParameter(parameters, code);
}
void ZIVAddErrorParameter(Params* parameters, int64_t code) { AddErrorParameter(parameters, code); }

void ZIVAddErrorParameters(fnd::Dictionary* parameters, int64_t code, const fnd::Value& errorValue,
                           int64_t maxValueLength, const fnd::Value& lengthSource) {
  AddErrorParameters(parameters, code, errorValue, maxValueLength, lengthSource);
}
void ZIVAddErrorParameters(Params* parameters, int64_t code, const fnd::Value& errorValue,
                           int64_t maxValueLength, const fnd::Value& lengthSource) {
  AddErrorParameters(parameters, code, errorValue, maxValueLength, lengthSource);
}

void ZIVAddErrorValueAndLengthParameters(fnd::Dictionary* parameters, const fnd::Value& errorValue,
                                         int64_t maxValueLength, const fnd::Value& lengthSource) {
  AddErrorValueAndLength(parameters, errorValue, maxValueLength, lengthSource);
}
void ZIVAddErrorValueAndLengthParameters(Params* parameters, const fnd::Value& errorValue,
                                         int64_t maxValueLength, const fnd::Value& lengthSource) {
  AddErrorValueAndLength(parameters, errorValue, maxValueLength, lengthSource);
}

void ZIVAddErrorParametersForEcommerceValidationFailureCode(
    fnd::Dictionary* parameters, uint64_t failureCode, const std::string& parameterName,
    const std::optional<std::string>& eventName) {
  int64_t code = 0;
  fnd::Value errorValue(parameterName);
  switch (failureCode) {
    case kZIVDataTypeFailureArrayNotEcommerce:
      code = 21;
      errorValue = eventName ? fnd::Value(*eventName) : fnd::Value();
      break;
    case kZIVDataTypeFailureArrayName:
      code = 20;
      break;
    case kZIVDataTypeFailureArrayTooLarge:
      code = 17;
      break;
    case kZIVDataTypeFailureArrayNested:
      code = 22;
      break;
    default:
      return;
  }
  AddErrorParameters(parameters, code, errorValue, kErrorValueMaxLength, fnd::Value());
}

// ---- Name tests.

bool ZIVEventUtilIsPublicName(const fnd::Value& name) {
  if (!name.isString()) {
    Log(2, 18002, "Cannot check the name. Name is not a string");
    return false;
  }
  if (name.asString().empty()) {
    Log(2, 18003, "Cannot check the name. Name is empty");
    return false;
  }
  return name.asString()[0] != '_';
}

bool ZIVEventUtilIsErrorEvent(const ZIVEvent& event) { return event.name() == kErrorParameter; }

bool ZIVEventUtilIsSubscriptionEvent(const ZIVEvent& event) {
  const std::string& name = event.name();
  if (name == "_assc" || name == "_assr") return true;
  if (name != "_iap") return false;
  auto it = event.parameters().find("subscription");
  return it != event.parameters().end() && it->second && it->second->isInt64() &&
         it->second->int64Value() == 1;
}

bool ZIVEventUtilIsValidEcommerceEventName(const std::string& name) {
  return !IsEmptyEventName(name) && ZIVIsEcommerceEventNameInList(name);
}

bool ZIVEventUtilIsConversionEventName(const std::string& name) {
  return !IsEmptyEventName(name) && ZIVIsConversionEventNameInList(name);
}

bool ZIVIsPurchaseEventName(const std::string& name) {
  return !IsEmptyEventName(name) && ZIVIsPurchaseEventNameInList(name);
}

bool ZIVEventUtilIsPredefinedEcommerceItemsParam(const fnd::Value& name) {
  return name.isString() && ZIVIsPredefinedEcommerceItemParameterInList(name.asString());
}

bool ZIVEventAllowsDefaultEventParameters(const std::string& name) {
  return name != kErrorParameter;
}

// ---- Parameters.

bool ZIVEventUtilIsValidParameterKey(const fnd::Value& key, bool isPublic,
                                     fnd::Dictionary* additions) {
  uint64_t failure = 0;
  const bool valid = (!isPublic || V::isValidPublicEventParameterName(key, &failure)) &&
                     V::isValidInternalEventParameterName(key, &failure);
  if (valid) return true;
  if (failure != 0 && additions && !Has(*additions, kErrorParameter)) {
    const bool tooLong = key.isString() && static_cast<int64_t>(ziv_UTF32Length(key.asString())) >
                                               kErrorValueMaxLength;
    AddErrorParameters(additions, failure == kZIVDataTypeFailureReserved ? 14 : 3, key,
                       kErrorValueMaxLength, tooLong ? key : fnd::Value());
  }
  return false;
}

ZIVValuePtr ZIVNormalizeArrayParametersValue(const fnd::Array& array,
                                             const std::string& parameterName,
                                             const std::optional<std::string>& eventName,
                                             fnd::Dictionary* additions, bool isNested,
                                             bool isPublic, uint64_t* failureCode) {
  uint64_t failure = 0;
  size_t count = array.size();
  if (!V::isValidArrayParamForEvent(eventName.value_or(std::string()), parameterName,
                                    static_cast<int64_t>(array.size()), isNested, &failure)) {
    if (failureCode) *failureCode = failure;
    if (failure != kZIVDataTypeFailureArrayTooLarge) return nullptr;
    // Too many items: the first ones are kept and the caller records the error.
    count = static_cast<size_t>(ZIVDataTypeEventParameterArrayItemsMaxSize);
  } else if (failureCode) {
    *failureCode = failure;
  }
  fnd::Array items;
  for (size_t index = 0; index < count; ++index) {
    const fnd::Value& item = array[index];
    if (V::isValidArrayParamItem(item)) {
      std::optional<fnd::Dictionary> normalized = ZIVNormalizedParametersForParametersAndEventName(
          *item.dictionary(), eventName, isPublic, true);
      if (normalized) items.emplace_back(std::move(*normalized));
    } else {
      AddErrorParameters(additions, 4,
                         fnd::Value(parameterName + "[" + std::to_string(index) + "]"),
                         kErrorValueMaxLength, fnd::Value());
    }
  }
  return ZIVValue::initWithArray(fnd::Value(std::move(items)));
}

namespace {

// Events of the engine's own: the listed internal names and every name starting with "_".
bool IsInternalEventName(const std::string& eventName) {
  return ZIVInternalEventNames().contains(fnd::Value(eventName)) ||
         (!eventName.empty() && eventName[0] == '_');
}

// Whether an "_ev" text is over the internal value limit and not yet cut to it (a cut text is the
// limit's length plus the ellipsis).
bool ErrorValueNeedsCut(const std::string& text, int64_t internalLimit) {
  const int64_t length = static_cast<int64_t>(ziv_UTF32Length(text));
  const bool alreadyCut = length == internalLimit + 3 && text.size() >= 3 &&
                          text.compare(text.size() - 3, 3, kEllipsis) == 0;
  return length > internalLimit && !alreadyCut;
}

}  // namespace

std::optional<fnd::Dictionary> ZIVNormalizedParametersForParametersAndEventName(
    const fnd::Dictionary& parameters, const std::optional<std::string>& eventName, bool isPublic,
    bool isNested) {
  if (parameters.empty()) return std::nullopt;
  const std::shared_ptr<const ZIVEventSettings> settings = ZIVCurrentEventSettings();
  const int64_t internalLimit = settings->maxInternalEventParameterValueLength();
  const bool isInternalEvent = eventName && IsInternalEventName(*eventName);

  std::vector<fnd::Value> removals;
  fnd::Dictionary additions;
  for (const auto& [key, input] : parameters) {
    uint64_t failure = 0;
    if (!ZIVEventUtilIsValidParameterKey(key, isPublic, &additions)) {
      removals.push_back(key);
      continue;
    }
    const bool wasTyped = input.recordAs<ZIVValue>() != nullptr;
    ZIVValuePtr value = ZIVValue::valueFromObject(input, true);
    if (!value) {
      removals.push_back(key);
      Log(3, 18015, "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
          {fnd::Value(ZIVClassNameOfObject(input))});
      continue;
    }
    const std::string& name = key.asString();
    bool removed = false;
    bool cutErrorValue = false;  // The additions already hold the cut "_ev".
    if (isPublic && !V::isValidPublicEventParameterValue(Object(value), &failure)) {
      removed = true;
    } else if (name == kErrorValueParameter) {
      // An over-long error value is cut, unless it already is.
      const std::string text = value->description();
      if (ErrorValueNeedsCut(text, internalLimit)) {
        AddErrorValueAndLength(&additions, fnd::Value(text), internalLimit, fnd::Value(text));
        cutErrorValue = true;
      }
    } else if (isInternalEvent && !V::isValidInternalEventParameterValue(Object(value), &failure)) {
      removed = true;
    } else if (value->isArray() && !wasTyped) {
      ZIVValuePtr normalized = ZIVNormalizeArrayParametersValue(
          *value->arrayValue(), name, eventName, &additions, isNested, isPublic, &failure);
      if (normalized) {
        value = normalized;
      } else {
        removed = true;
      }
    }
    if (removed) {
      removals.push_back(key);
      if (failure == kZIVDataTypeFailureTooLong && !Has(additions, kErrorParameter)) {
        std::optional<std::string> text = value->stringValue();
        AddErrorParameters(&additions, 4, key, kErrorValueMaxLength,
                           text ? fnd::Value(*text) : fnd::Value());
      }
    }
    if (value->isArray() && failure != 0) {
      ZIVAddErrorParametersForEcommerceValidationFailureCode(&additions, failure, name, eventName);
    }
    // The converted value joins the additions, except an "_ev" that was just cut: putting the
    // whole text back would undo the cut.
    if (!removed && !wasTyped && !cutErrorValue) additions.set(key, Object(value));
  }

  if (removals.size() == parameters.size()) return additions;
  fnd::Dictionary result = parameters;
  for (const fnd::Value& key : removals) result.erase(key);
  for (const auto& [key, value] : additions) result.set(key, value);

  if (!isNested) {
    const int64_t limit = settings->maxPublicEventParams();
    if (PublicCount(result, false) > limit) {
      Trim(&result, limit, false);
      AddErrorParameter(&result, 5);
      Log(1, 18017, "Event cannot contain more than " + std::to_string(limit) + " parameters");
    }
  } else {
    const int64_t limit = settings->maxItemScopedCustomParameters();
    if (PublicCount(result, true) > limit) {
      Trim(&result, limit, true);
      AddErrorParameter(&result, limit == 0 ? 23 : 28);
      Log(0, 18016, "Item cannot contain custom parameters");
    }
  }
  return result;
}

bool ZIVParametersAreNormalized(const Params& parameters, const std::string& eventName) {
  if (parameters.empty()) return true;
  return ZIVParametersAreNormalized(parameters, eventName, ZIVCurrentParameterLimits());
}

ZIVParameterLimits ZIVCurrentParameterLimits() {
  const std::shared_ptr<const ZIVEventSettings> settings = ZIVCurrentEventSettings();
  return {settings->maxInternalEventParameterValueLength(), settings->maxPublicEventParams()};
}

bool ZIVOriginParameterIsNormalized(const std::string& origin, const std::string& eventName,
                                    const ZIVParameterLimits& limits) {
  // "_o" is a valid internal name and never public: only an internal event's value limit applies.
  return !IsInternalEventName(eventName) ||
         static_cast<int64_t>(fnd::CodePointLength(origin)) <= limits.internalValueLength;
}

bool ZIVParametersAreNormalized(const Params& parameters, const std::string& eventName,
                                const ZIVParameterLimits& limits) {
  // Mirrors the normaliser above for a non-public, non-nested call, branch by branch, without
  // the validators (which log what they refuse).
  if (parameters.empty()) return true;
  const int64_t internalLimit = limits.internalValueLength;
  const bool isInternalEvent = IsInternalEventName(eventName);
  for (const auto& [name, value] : parameters) {
    // The internal parameter name rule.
    const int64_t nameLength = static_cast<int64_t>(fnd::CodePointLength(name));
    if (nameLength < 1 || nameLength > ZIVDataTypeEventParameterMaxNameLength ||
        !fnd::ConsistsOnlyOf(name, fnd::CharacterClass::kNameCharacter)) {
      return false;
    }
    if (!value) return false;
    if (name == kErrorValueParameter) {
      if (ErrorValueNeedsCut(value->description(), internalLimit)) return false;
    } else if (isInternalEvent && value->isString()) {
      // The internal value rule: a string no longer than the limit.
      const fnd::Value& object = value->object();
      if (!object.isString() ||
          static_cast<int64_t>(fnd::CodePointLength(object.asString())) > internalLimit) {
        return false;
      }
    }
  }
  return PublicCount(parameters, false) <= limits.publicParams;
}

std::optional<fnd::Dictionary> ZIVNormalizedParametersForParameters(
    const fnd::Dictionary& parameters, bool isPublic) {
  return ZIVNormalizedParametersForParametersAndEventName(parameters, std::nullopt, isPublic,
                                                          false);
}

int64_t ZIVEventPublicParameterCountIgnoringAllowlistedParams(const fnd::Dictionary& parameters,
                                                              bool ignorePredefinedItemParams) {
  return PublicCount(parameters, ignorePredefinedItemParams);
}
int64_t ZIVEventPublicParameterCountIgnoringAllowlistedParams(const Params& parameters,
                                                              bool ignorePredefinedItemParams) {
  return PublicCount(parameters, ignorePredefinedItemParams);
}

void ZIVEventTrimEventParameters(fnd::Dictionary* parameters, int64_t maxCount) {
  Trim(parameters, maxCount, false);
}
void ZIVEventTrimEventParameters(Params* parameters, int64_t maxCount) {
  Trim(parameters, maxCount, false);
}
void ZIVEventTrimEventParametersIgnoringAllowlistedParams(fnd::Dictionary* parameters,
                                                          int64_t maxCount,
                                                          bool ignorePredefinedItemParams) {
  Trim(parameters, maxCount, ignorePredefinedItemParams);
}
void ZIVEventTrimEventParametersIgnoringAllowlistedParams(Params* parameters, int64_t maxCount,
                                                          bool ignorePredefinedItemParams) {
  Trim(parameters, maxCount, ignorePredefinedItemParams);
}

bool ZIVHasScreenParameters(const fnd::Dictionary& parameters) {
  return HasScreenParameters(parameters);
}
bool ZIVHasScreenParameters(const Params& parameters) { return HasScreenParameters(parameters); }

fnd::Dictionary ZIVExtractScreenParameters(const fnd::Dictionary& parameters) {
  fnd::Dictionary screen;
  for (const char* key : {"_sn", "_sc", "_si"}) {
    if (const fnd::Value* value = parameters.find(fnd::Value(key))) {
      screen.set(fnd::Value(key), *value);
    }
  }
  return screen;
}
Params ZIVExtractScreenParameters(const Params& parameters) {
  Params screen;
  for (const char* key : {"_sn", "_sc", "_si"}) {
    auto it = parameters.find(key);
    if (it != parameters.end()) screen[key] = it->second;
  }
  return screen;
}

fnd::Dictionary ZIVParametersWithoutGADParams(const fnd::Dictionary& parameters) {
  if (parameters.empty()) return parameters;
  fnd::Dictionary kept;
  for (const auto& [key, value] : parameters) {
    if (key.isString() && key.asString().rfind(APMGADPrefix, 0) == 0) continue;
    kept.set(key, value);
  }
  return kept;
}

bool ZIVValidateConversionEventParameters(fnd::Dictionary* parameters, bool requireValue) {
  return ValidateConversion(parameters, requireValue);
}
bool ZIVValidateConversionEventParameters(Params* parameters, bool requireValue) {
  return ValidateConversion(parameters, requireValue);
}

int64_t ZIVEventUtilNestedParamCount(const ZIVEvent* event) {
  if (!event) return 0;
  int64_t count = 0;
  for (const auto& [name, value] : event->parameters()) {
    if (value && value->isArray()) count += static_cast<int64_t>(value->arrayValue()->size());
  }
  return count;
}

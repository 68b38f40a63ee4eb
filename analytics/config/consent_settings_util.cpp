#include "analytics/config/consent_settings_util.h"

#include <charconv>
#include <map>
#include <utility>

#include "platform/foundation/bundle.h"
#include "platform/foundation/text.h"

namespace {

constexpr const char* kQueueLabel = "ZIVConsentSettingsUtilQueue";

// A value as "%@" prints it: a string as it is, a number in decimal.
std::string ValueText(const fnd::Value& value) {
  switch (value.kind()) {
    case fnd::Value::Kind::kString:
      return value.asString();
    case fnd::Value::Kind::kBool:
      return value.asBool() ? "1" : "0";
    case fnd::Value::Kind::kInt:
      return std::to_string(value.asInt());
    case fnd::Value::Kind::kDouble: {
      char buffer[64];
      auto result = std::to_chars(buffer, buffer + sizeof(buffer), value.asDouble());
      return std::string(buffer, result.ptr);
    }
    case fnd::Value::Kind::kNull:
      return "(null)";
    default:
      return value.description();
  }
}

// The Boolean reading of a string: leading white space is skipped; "Y", "y", "T", "t" or a digit
// 1 to 9 (after an optional sign and zeros) read as true, everything else as false.
bool StringBoolValue(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r' || text[i] == '\f' || text[i] == '\v')) {
    ++i;
  }
  if (i == text.size()) return false;
  char c = text[i];
  if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
  if (c == '+' || c == '-') ++i;
  while (i < text.size() && text[i] == '0') ++i;
  return i < text.size() && text[i] >= '1' && text[i] <= '9';
}

bool IsRegionalType(std::string_view type) {
  return type == ZIVAdUserDataConsentType || type == ZIVAdPersonalizationConsentType;
}

// The non-null value for `key`, or null when the dictionary is unset or has no such entry.
fnd::Value Entry(const std::optional<fnd::Dictionary>& dictionary, std::string_view key) {
  if (!dictionary) return fnd::Value();
  return dictionary->get(fnd::Value(key));
}

bool HasEntry(const std::optional<fnd::Dictionary>& dictionary, std::string_view key) {
  return !Entry(dictionary, key).isNull();
}

// The diagnostic digit of a consent source.
int64_t DiagnosticDigitForSource(int64_t source) {
  switch (source) {
    case ZIVConsentSourceTCF:
      return ZIVConsentDiagnosticTCF;
    case ZIVConsentSourceThirdParty:
    case ZIVConsentSourceApplication:
      return ZIVConsentDiagnosticApplicationOrThirdParty;
    case ZIVConsentSourcePlistDefaults:
      return ZIVConsentDiagnosticPlistDefaults;
    case ZIVConsentSourceRestoredAtStart:
      return ZIVConsentDiagnosticRestoredAtStart;
    default:
      return ZIVConsentDiagnosticUnknown;
  }
}

}  // namespace

std::string ZIVConsentTypeStringFromEnum(int64_t type) {
  switch (type) {
    case ZIVConsentTypeAdStorage:
      return ZIVAdStorageConsentType;
    case ZIVConsentTypeAnalyticsStorage:
      return ZIVAnalyticsStorageConsentType;
    case ZIVConsentTypeAdUserData:
      return ZIVAdUserDataConsentType;
    case ZIVConsentTypeAdPersonalization:
      return ZIVAdPersonalizationConsentType;
    default:
      return "";
  }
}

std::string ZIVConsentStatusStringFromEnum(int64_t status) {
  switch (status) {
    case ZIVConsentStatusGranted:
      return ZIVConsentGranted;
    case ZIVConsentStatusDenied:
      return ZIVConsentDenied;
    default:
      return "";
  }
}

const std::vector<std::string>& ZIVAllConsentTypes() {
  static const std::vector<std::string>* types =
      new std::vector<std::string>{ZIVAdStorageConsentType, ZIVAnalyticsStorageConsentType,
                                   ZIVAdUserDataConsentType, ZIVAdPersonalizationConsentType};
  return *types;
}

bool ZIVIsConsentSettingEqualToValue(const fnd::Value& value, std::string_view status) {
  if (!value.isString()) return false;
  return fnd::ToLower(value.asString()) == fnd::ToLower(status);
}

bool ZIVShouldApplyRegionalConsent(std::string_view type, const fnd::Value& value) {
  return ZIVIsConsentSettingEqualToValue(value, ZIVConsentEUConsentPolicy) && IsRegionalType(type);
}

fnd::Value ZIVRegionalConsentStatusForType(std::string_view type,
                                           const std::optional<fnd::Dictionary>& regionalDefaults) {
  fnd::Value stored = Entry(regionalDefaults, type);
  if (!stored.isNull()) return stored;
  return fnd::Value(IsRegionalType(type) ? ZIVConsentDenied : ZIVConsentGranted);
}

std::optional<std::string> ZIVConsentStatusFromPlistValue(std::string_view type,
                                                          const fnd::Value& value) {
  if (ZIVIsConsentSettingEqualToValue(value, ZIVConsentEUConsentPolicy)) {
    if (IsRegionalType(type)) return std::string(ZIVConsentEUConsentPolicy);
    return std::nullopt;
  }
  std::optional<bool> reading;
  if (value.isBool() || value.isNumber()) {
    reading = value.asBool();
  } else if (value.isString()) {
    reading = StringBoolValue(value.asString());
  }
  if (!reading) return std::nullopt;
  return std::string(*reading ? ZIVConsentGranted : ZIVConsentDenied);
}

std::optional<std::string> ZIVConsentStatusDescription(
    std::string_view type, const std::optional<fnd::Dictionary>& consentSettings,
    const std::optional<fnd::Dictionary>& regionalDefaults) {
  fnd::Value status = Entry(consentSettings, type);
  if (status.isNull()) return std::nullopt;
  if (ZIVShouldApplyRegionalConsent(type, status)) {
    return ValueText(ZIVRegionalConsentStatusForType(type, regionalDefaults)) + " (" +
           ZIVConsentEUConsentPolicy + ")";
  }
  return ValueText(status);
}

std::string ZIVConsentBitV1(const fnd::Value& value) {
  if (ZIVIsConsentSettingEqualToValue(value, ZIVConsentDenied)) return "0";
  if (ZIVIsConsentSettingEqualToValue(value, ZIVConsentGranted)) return "1";
  return "-";
}

// Everything here is touched only on the consent queue.
struct ZIVConsentSettingsUtil::State {
  std::optional<fnd::Dictionary> consentSettings;
  std::optional<fnd::Dictionary> defaultSettings;
  std::optional<fnd::Dictionary> delegatedSettings;
  std::optional<fnd::Dictionary> regionalDefaults;
  // Type string to diagnostic digit; created on first need.
  std::optional<std::map<std::string, int64_t>> diagnosticSources;
  int64_t consentSource = ZIVConsentSourceNone;
  int64_t version = 1;

  fnd::Value explicitStatus(std::string_view type) const { return Entry(consentSettings, type); }

  // The explicit status, replaced by the regional status where "eu_consent_policy" applies.
  fnd::Value effectiveExplicitStatus(std::string_view type) const {
    fnd::Value status = explicitStatus(type);
    if (ZIVShouldApplyRegionalConsent(type, status)) {
      return ZIVRegionalConsentStatusForType(type, regionalDefaults);
    }
    return status;
  }

  void resetDiagnosticSources() {
    diagnosticSources.emplace();
    for (const auto& type : ZIVAllConsentTypes()) {
      (*diagnosticSources)[type] = ZIVConsentDiagnosticUnknown;
    }
  }

  void refreshDiagnosticSources(bool fromSource) {
    if (!diagnosticSources) resetDiagnosticSources();
    for (const auto& type : ZIVAllConsentTypes()) {
      int64_t& digit = (*diagnosticSources)[type];
      fnd::Value status = explicitStatus(type);
      if (!status.isNull()) {
        if (fromSource) digit = DiagnosticDigitForSource(consentSource);
        if (ZIVShouldApplyRegionalConsent(type, status)) {
          digit = ZIVConsentDiagnosticRegionalDefault;
        }
      } else if (type == ZIVAdUserDataConsentType && HasEntry(delegatedSettings, type)) {
        digit = ZIVConsentDiagnosticDelegated;
      } else if (HasEntry(defaultSettings, type) && !fnd::HasSuffix(type, "_storage")) {
        digit = ZIVConsentDiagnosticDefaultSettings;
      } else {
        digit = ZIVConsentDiagnosticNotSet;
      }
    }
  }

  bool isAdUserDataDenied() const {
    fnd::Value status = effectiveExplicitStatus(ZIVAdUserDataConsentType);
    if (status.isNull()) {
      fnd::Value delegate = Entry(delegatedSettings, ZIVAdUserDataConsentType);
      if (!delegate.isNull() && consentSettings) {
        fnd::Value delegated = consentSettings->get(delegate);
        if (!delegated.isNull())
          return ZIVIsConsentSettingEqualToValue(delegated, ZIVConsentDenied);
      }
      status = Entry(defaultSettings, ZIVAdUserDataConsentType);
    }
    return ZIVIsConsentSettingEqualToValue(status, ZIVConsentDenied);
  }
};

ZIVConsentSettingsUtil& ZIVConsentSettingsUtil::sharedInstance() {
  static ZIVConsentSettingsUtil* shared = new ZIVConsentSettingsUtil();
  return *shared;
}

ZIVConsentSettingsUtil::ZIVConsentSettingsUtil()
    : state_(std::make_shared<State>()),
      queue_(dispatch::Queue::create(kQueueLabel, dispatch::Qos::kUtility)) {}

ZIVConsentSettingsUtil::~ZIVConsentSettingsUtil() = default;

void ZIVConsentSettingsUtil::write(std::function<void(State&)> block) {
  queue_->async([state = state_, block = std::move(block)] { block(*state); });
}

template <typename Result, typename Reader>
Result ZIVConsentSettingsUtil::read(Reader&& reader) const {
  Result result{};
  queue_->sync([&] { result = reader(static_cast<const State&>(*state_)); });
  return result;
}

std::optional<fnd::Dictionary> ZIVConsentSettingsUtil::consentSettings() const {
  return read<std::optional<fnd::Dictionary>>([](const State& s) { return s.consentSettings; });
}

std::optional<fnd::Dictionary> ZIVConsentSettingsUtil::defaultSettings() const {
  return read<std::optional<fnd::Dictionary>>([](const State& s) { return s.defaultSettings; });
}

std::optional<fnd::Dictionary> ZIVConsentSettingsUtil::delegatedSettings() const {
  return read<std::optional<fnd::Dictionary>>([](const State& s) { return s.delegatedSettings; });
}

std::optional<fnd::Dictionary> ZIVConsentSettingsUtil::regionalDefaults() const {
  return read<std::optional<fnd::Dictionary>>([](const State& s) { return s.regionalDefaults; });
}

int64_t ZIVConsentSettingsUtil::consentSource() const {
  return read<int64_t>([](const State& s) { return s.consentSource; });
}

int64_t ZIVConsentSettingsUtil::version() const {
  return read<int64_t>([](const State& s) { return s.version; });
}

bool ZIVConsentSettingsUtil::isAdStorageDenied() const {
  return read<bool>([](const State& s) {
    return ZIVIsConsentSettingEqualToValue(s.explicitStatus(ZIVAdStorageConsentType),
                                           ZIVConsentDenied);
  });
}

bool ZIVConsentSettingsUtil::isAnalyticsStorageDenied() const {
  return read<bool>([](const State& s) {
    return ZIVIsConsentSettingEqualToValue(s.explicitStatus(ZIVAnalyticsStorageConsentType),
                                           ZIVConsentDenied);
  });
}

bool ZIVConsentSettingsUtil::isAdUserDataDenied() const {
  return read<bool>([](const State& s) { return s.isAdUserDataDenied(); });
}

std::optional<int64_t> ZIVConsentSettingsUtil::adPersonalization() const {
  return read<std::optional<int64_t>>([](const State& s) -> std::optional<int64_t> {
    fnd::Value status = s.effectiveExplicitStatus(ZIVAdPersonalizationConsentType);
    if (status.isNull()) status = Entry(s.defaultSettings, ZIVAdPersonalizationConsentType);
    if (ZIVIsConsentSettingEqualToValue(status, ZIVConsentDenied)) return 0;
    if (ZIVIsConsentSettingEqualToValue(status, ZIVConsentGranted)) return 1;
    return std::nullopt;
  });
}

std::string ZIVConsentSettingsUtil::consentSignals() const {
  return read<std::string>([](const State& s) {
    return "G1" + ZIVConsentBitV1(s.explicitStatus(ZIVAdStorageConsentType)) +
           ZIVConsentBitV1(s.explicitStatus(ZIVAnalyticsStorageConsentType));
  });
}

std::string ZIVConsentSettingsUtil::consentDiagnostics() const {
  std::string result;
  // The digits are recomputed on the queue, inside the same block that reads them.
  queue_->sync([&] {
    State& s = *state_;
    s.refreshDiagnosticSources(false);
    const bool hasFallbacks = s.delegatedSettings.has_value() || s.defaultSettings.has_value();
    result = "1";
    for (const auto& type : ZIVAllConsentTypes()) {
      int64_t digit = (*s.diagnosticSources)[type];
      if (s.explicitStatus(type).isNull() && !hasFallbacks) digit = ZIVConsentDiagnosticNotSet;
      result += std::to_string(digit);
    }
  });
  return result;
}

std::string ZIVConsentSettingsUtil::description() const {
  return read<std::string>([](const State& s) {
    auto describe = [&s](const char* type) {
      return ZIVConsentStatusDescription(type, s.consentSettings, s.regionalDefaults);
    };
    std::string out;
    for (const char* type : {ZIVAdStorageConsentType, ZIVAnalyticsStorageConsentType}) {
      if (!out.empty()) out += " ";
      out += std::string(type) + " is " + describe(type).value_or(ZIVConsentGranted) + ".";
    }
    for (const char* type : {ZIVAdUserDataConsentType, ZIVAdPersonalizationConsentType}) {
      if (auto status = describe(type)) out += " " + std::string(type) + " is " + *status + ".";
    }
    return out;
  });
}

bool ZIVConsentSettingsUtil::didAdUserDataConsentChange(bool wasAdUserDataDenied) const {
  return wasAdUserDataDenied != isAdUserDataDenied();
}

bool ZIVConsentSettingsUtil::isConsentSourceEqualPriority(int64_t source) const {
  const int64_t current = consentSource();
  return current == source ||
         (current == ZIVConsentSourceTCF && source == ZIVConsentSourceThirdParty) ||
         (current == ZIVConsentSourceThirdParty && source == ZIVConsentSourceTCF);
}

bool ZIVConsentSettingsUtil::isConsentSourceHigherPriority(int64_t source) const {
  return isConsentSourceEqualPriority(source) || consentSource() >= source;
}

void ZIVConsentSettingsUtil::setConsentSource(int64_t source) {
  write([source](State& s) {
    s.consentSource = source;
    s.refreshDiagnosticSources(true);
  });
}

void ZIVConsentSettingsUtil::setVersion(int64_t version) {
  if (version != 1 && version != 2) return;
  write([version](State& s) { s.version = version; });
}

void ZIVConsentSettingsUtil::setConsentSettings(std::optional<fnd::Dictionary> settings) {
  write([settings = std::move(settings)](State& s) {
    s.consentSettings = settings;
    if (!settings) {
      s.consentSource = ZIVConsentSourceNone;
      s.refreshDiagnosticSources(true);
    }
  });
}

void ZIVConsentSettingsUtil::setDefaultSettings(std::optional<fnd::Dictionary> settings) {
  write([settings = std::move(settings)](State& s) { s.defaultSettings = settings; });
}

void ZIVConsentSettingsUtil::setDelegatedSettings(std::optional<fnd::Dictionary> settings) {
  write([settings = std::move(settings)](State& s) { s.delegatedSettings = settings; });
}

void ZIVConsentSettingsUtil::setRegionalDefaults(std::optional<fnd::Dictionary> settings) {
  write([settings = std::move(settings)](State& s) { s.regionalDefaults = settings; });
}

namespace {

fnd::Dictionary Merged(const std::optional<fnd::Dictionary>& current,
                       const fnd::Dictionary& added) {
  fnd::Dictionary merged = current.value_or(fnd::Dictionary());
  for (const auto& [key, value] : added) merged.set(key, value);
  return merged;
}

}  // namespace

void ZIVConsentSettingsUtil::updateSettings(const fnd::Dictionary& settings) {
  write([settings](State& s) { s.consentSettings = Merged(s.consentSettings, settings); });
}

void ZIVConsentSettingsUtil::updateSettings(const fnd::Dictionary& settings,
                                            int64_t consentSource) {
  write([settings, consentSource](State& s) {
    s.consentSettings = Merged(s.consentSettings, settings);
    s.consentSource = consentSource;
    if (!s.diagnosticSources) s.resetDiagnosticSources();
    const int64_t digit = DiagnosticDigitForSource(consentSource);
    for (const auto& [key, value] : settings) {
      // Only string keys name a consent type.
      if (key.isString()) (*s.diagnosticSources)[key.asString()] = digit;
    }
  });
}

void ZIVConsentSettingsUtil::setDiagnosticSource(int64_t digit, const std::string& consentType) {
  if (digit < 0 || digit > 9) return;
  write([digit, consentType](State& s) {
    if (!s.diagnosticSources) s.resetDiagnosticSources();
    (*s.diagnosticSources)[consentType] = digit;
  });
}

void ZIVConsentSettingsUtil::unsetAdPersonalization() {
  write([](State& s) {
    if (!HasEntry(s.consentSettings, ZIVAdPersonalizationConsentType)) return;
    fnd::Dictionary settings = *s.consentSettings;
    settings.erase(fnd::Value(ZIVAdPersonalizationConsentType));
    s.consentSettings = std::move(settings);
    if (!s.diagnosticSources) s.resetDiagnosticSources();
    (*s.diagnosticSources)[ZIVAdPersonalizationConsentType] = ZIVConsentDiagnosticUnknown;
  });
}

void ZIVConsentSettingsUtil::clearAllSettings() {
  write([](State& s) {
    s.consentSource = ZIVConsentSourceNone;
    s.consentSettings.reset();
    s.defaultSettings.reset();
    s.delegatedSettings.reset();
    s.regionalDefaults.reset();
    s.resetDiagnosticSources();
  });
}

fnd::Dictionary ZIVConsentSettingsUtil::consentSettingsFromDictionary(
    const fnd::Dictionary& dictionary) {
  fnd::Dictionary settings;
  for (const auto& type : ZIVAllConsentTypes()) {
    if (const fnd::Value* value = dictionary.find(fnd::Value(type))) settings.set(type, *value);
  }
  return settings;
}

fnd::Dictionary ZIVConsentSettingsUtil::consentSettingsFromPlist() {
  static constexpr std::pair<const char*, const char*> kKeys[] = {
      {ZIVAdStoragePlistKey, ZIVAdStorageConsentType},
      {ZIVAnalyticsStoragePlistKey, ZIVAnalyticsStorageConsentType},
      {ZIVAdUserDataPlistKey, ZIVAdUserDataConsentType},
      {ZIVAllowAdPersonalizationSignalsPlistKey, ZIVAdPersonalizationConsentType},
  };
  const fnd::Bundle& bundle = fnd::Bundle::mainBundle();
  fnd::Dictionary settings;
  for (const auto& [key, type] : kKeys) {
    std::optional<fnd::Value> value = bundle.objectForInfoDictionaryKey(key);
    if (!value) continue;
    if (std::string_view(type) == ZIVAdPersonalizationConsentType && !value->isString()) continue;
    if (auto status = ZIVConsentStatusFromPlistValue(type, *value)) settings.set(type, *status);
  }
  return settings;
}

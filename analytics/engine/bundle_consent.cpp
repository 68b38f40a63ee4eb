#include "analytics/engine/bundle_consent.h"

#include <algorithm>

#include "analytics/engine/event.h"
#include "analytics/engine/identity.h"
#include "analytics/proto/field_accessors.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"

namespace {

using Bundle = APMPBMeasurementBundle;

bool DeniedCharacter(char c) { return c == '0' || c == 'd' || c == 'D'; }

bool IsAbsentOrEmpty(const Bundle& bundle, int32_t position) {
  return NANOGetString(&bundle, position).value_or("").empty();
}

void SetStringIfAbsent(Bundle& bundle, int32_t position, const std::string& value) {
  if (IsAbsentOrEmpty(bundle, position)) NANOSetString(&bundle, position, value);
}

std::vector<std::shared_ptr<APMPBUserAttribute>> UserAttributes(const Bundle& bundle) {
  std::vector<std::shared_ptr<APMPBUserAttribute>> result;
  auto items = NANOGetArray(&bundle, Bundle::kUserAttributes, &APMPBUserAttribute::messageClass());
  if (!items) return result;
  for (const fnd::Value& item : *items) {
    if (auto attribute = item.recordAs<APMPBUserAttribute>()) result.push_back(attribute);
  }
  return result;
}

void SetUserAttributes(Bundle& bundle,
                       const std::vector<std::shared_ptr<APMPBUserAttribute>>& attributes) {
  fnd::Array items;
  for (const auto& attribute : attributes) {
    items.emplace_back(std::static_pointer_cast<fnd::Record>(attribute));
  }
  NANOSetArray(&bundle, Bundle::kUserAttributes, &items);
}

std::string AttributeName(const APMPBUserAttribute& attribute) {
  return NANOGetString(&attribute, APMPBUserAttribute::kName).value_or("");
}

}  // namespace

ZIVBundleIdentityValues ZIVBundleIdentityValues::fromIdentity(ZIVIdentity& identity) {
  ZIVBundleIdentityValues values;
  values.iOS14OrAbove = ZIVIdentity::iOS14OrAbove();
  values.appleConsentStatus = identity.appleConsentStatus();
  values.hasLimitedAdTracking = identity.hasLimitedAdTracking();
  values.limitedAdTracking = identity.limitedAdTracking();
  values.resettableDeviceID = identity.resettableDeviceID();
  values.vendorDeviceID = identity.identifierForVendor();
  values.appInstanceID = identity.appInstanceID();
  values.ephemeralAppInstanceID = identity.ephemeralAppInstanceID();
  return values;
}

bool ZIVIsAdStorageDenied(const std::string& consentSignals) {
  return consentSignals.size() >= 4 && DeniedCharacter(consentSignals[2]);
}

bool ZIVIsAnalyticsStorageDenied(const std::string& consentSignals) {
  return consentSignals.size() >= 4 && DeniedCharacter(consentSignals[3]);
}

void ZIVUpdateConsentSignalsAndIdentifiers(Bundle& bundle, const std::string& consentSignals,
                                           bool gateIDFAOnATTMASEnabled,
                                           const ZIVBundleIdentityValues& identity,
                                           bool isFirstOpen) {
  bool adStorageDenied = false;
  bool analyticsStorageDenied = false;
  if (consentSignals.size() < 4) {
    if (consentSignals.empty()) NANOClearField(&bundle, Bundle::kConsentSignals);
  } else {
    std::string deciding = consentSignals;
    if (!isFirstOpen && NANOHasField(&bundle, Bundle::kConsentSignals)) {
      deciding = NANOGetString(&bundle, Bundle::kConsentSignals).value_or("");
    } else {
      NANOSetString(&bundle, Bundle::kConsentSignals, consentSignals);
    }
    adStorageDenied = ZIVIsAdStorageDenied(deciding);
    analyticsStorageDenied = ZIVIsAnalyticsStorageDenied(deciding);
  }

  bool gateApplies = false;
  if (identity.iOS14OrAbove) {
    const uint64_t status = identity.appleConsentStatus;
    if (status != 6) NANOSetInt32(&bundle, Bundle::kAttStatus, static_cast<int32_t>(status));
    gateApplies = gateIDFAOnATTMASEnabled && status != 3;
  }

  const std::string resettable = identity.resettableDeviceID.value_or("");
  const std::string vendor = identity.vendorDeviceID.value_or("");
  const bool useResettable =
      identity.hasLimitedAdTracking && !gateApplies && !adStorageDenied && !resettable.empty();
  if (useResettable) {
    SetStringIfAbsent(bundle, Bundle::kResettableDeviceId, resettable);
    NANOClearField(&bundle, Bundle::kVendorId);
  } else if (analyticsStorageDenied || vendor.empty()) {
    NANOClearField(&bundle, Bundle::kResettableDeviceId);
    NANOClearField(&bundle, Bundle::kVendorId);
  } else {
    SetStringIfAbsent(bundle, Bundle::kVendorId, vendor);
    NANOClearField(&bundle, Bundle::kResettableDeviceId);
  }

  const std::string appInstanceID = identity.appInstanceID.value_or("");
  if (!analyticsStorageDenied && !appInstanceID.empty()) {
    SetStringIfAbsent(bundle, Bundle::kAppInstanceId, appInstanceID);
  }
  if (adStorageDenied) NANOClearField(&bundle, Bundle::kResettableDeviceId);
  if (analyticsStorageDenied) {
    NANOClearField(&bundle, Bundle::kVendorId);
    NANOClearField(&bundle, Bundle::kAppInstanceId);
    NANOClearField(&bundle, Bundle::kSessionStitchingToken);
    NANOClearField(&bundle, Bundle::kAudienceEvaluationResults);
  }
  if (identity.hasLimitedAdTracking) {
    NANOSetBool(&bundle, Bundle::kLimitedAdTracking, identity.limitedAdTracking ? 1 : 0);
  }
}

void ZIVUpdateDMAConsentSignals(Bundle& bundle, const std::string& consentDiagnostics,
                                bool isAdUserDataDenied,
                                const std::shared_ptr<APMPBUserAttribute>& npaAttribute,
                                const ZIVBundleServerValues& settings, bool isFirstOpen) {
  auto mayWrite = [&](int32_t position) { return isFirstOpen || !NANOHasField(&bundle, position); };
  if (mayWrite(Bundle::kConsentDiagnostics)) {
    NANOSetString(&bundle, Bundle::kConsentDiagnostics, consentDiagnostics);
  }
  if (mayWrite(Bundle::kDmaRegion)) {
    NANOSetBool(&bundle, Bundle::kDmaRegion, settings.isDMARegion ? 1 : 0);
  }
  if (mayWrite(Bundle::kCorePlatformServices)) {
    // A std::set is already in ascending order.
    const std::set<std::string>& services = settings.corePlatformServices;
    if (isAdUserDataDenied || services.empty()) {
      NANOSetString(&bundle, Bundle::kCorePlatformServices, "-");
    } else if (!settings.isDMARegion) {
      NANOClearField(&bundle, Bundle::kCorePlatformServices);
    } else if (NANOGetBool(&bundle, Bundle::kDmaRegion)) {
      std::string joined;
      for (const std::string& name : services) joined += name;
      NANOSetString(&bundle, Bundle::kCorePlatformServices, joined);
    }
  }
  if (npaAttribute) {
    auto attributes = UserAttributes(bundle);
    auto it = std::find_if(attributes.begin(), attributes.end(),
                           [](const auto& a) { return AttributeName(*a) == "_npa"; });
    if (it == attributes.end()) {
      attributes.push_back(npaAttribute);
      SetUserAttributes(bundle, attributes);
    } else if (isFirstOpen) {
      *it = npaAttribute;
      SetUserAttributes(bundle, attributes);
    }
  }
}

void ZIVUpdateDataControls(Bundle& bundle, const std::vector<std::string>& dataControls,
                           const ZIVBundleIdentityValues& identity) {
  auto has = [&](const char* name) {
    return std::find(dataControls.begin(), dataControls.end(), name) != dataControls.end();
  };
  if (has(ZIVDataControlAppInstanceID)) {
    NANOClearField(&bundle, Bundle::kAppInstanceId);
    const std::string signals = NANOGetString(&bundle, Bundle::kConsentSignals).value_or("");
    if (ZIVIsAnalyticsStorageDenied(signals)) {
      NANOClearField(&bundle, Bundle::kEphemeralAppInstanceId);
    } else {
      NANOSetString(&bundle, Bundle::kEphemeralAppInstanceId, identity.ephemeralAppInstanceID);
    }
  }
  if (has(ZIVDataControlUserID)) {
    auto attributes = UserAttributes(bundle);
    const size_t before = attributes.size();
    std::erase_if(attributes, [](const auto& a) { return AttributeName(*a) == "_id"; });
    if (attributes.size() != before) SetUserAttributes(bundle, attributes);
  }
  const bool deviceInfo = has(ZIVDataControlDeviceInfo);
  if (has(ZIVDataControlOSVersion) || deviceInfo) {
    if (auto version = NANOGetString(&bundle, Bundle::kOsVersion)) {
      const size_t dot = version->find('.');
      if (dot != std::string::npos) {
        NANOSetString(&bundle, Bundle::kOsVersion, version->substr(0, dot));
      }
    }
  }
  if (has(ZIVDataControlDeviceModel) || deviceInfo) {
    NANOClearField(&bundle, Bundle::kDeviceModel);
  }
  if (has(ZIVDataControlEnhancedUserID)) {
    NANOClearField(&bundle, Bundle::kSessionStitchingToken);
  }
  if (!dataControls.empty()) {
    fnd::Array names;
    for (const std::string& name : dataControls) names.emplace_back(name);
    NANOSetArray(&bundle, Bundle::kRedactedFields, &names);
  }
}

bool ZIVIsFirstOpenBundle(const Bundle* bundle) {
  if (!bundle) return false;
  // The names are read in place: copying every event out of the bundle to read its name cost
  // more than the rest of the stamping. A record of unusual shape takes the accessors' road,
  // with their log lines.
  const NanoMessageInfo* info = bundle->messageInfo();
  const NanoField* field = info && info->hasSlots() ? info->field(Bundle::kEvents) : nullptr;
  const NanoArray* array = field ? field->array() : nullptr;
  if (array &&
      (array->item_count == 0 || (array->items && array->items->size() == array->item_count))) {
    bool sound = true;
    bool found = false;
    for (uint32_t i = 0; i < array->item_count && !found; ++i) {
      const NanoField* item = (*array->items)[i].get();
      const NanoMessageInfo* event = item ? item->message() : nullptr;
      if (!event || event->descriptor != &APMPBEvent::descriptor()) {
        sound = false;
        break;
      }
      const NanoField* name = event->field(APMPBEvent::kName);
      const NanoString* text = name ? name->string() : nullptr;
      found = text && text->bytes && *text->bytes == "_f";
    }
    if (sound) return found;
  }
  auto events = NANOGetArray(bundle, Bundle::kEvents, &APMPBEvent::messageClass());
  if (!events) return false;
  for (const fnd::Value& item : *events) {
    auto event = item.recordAs<APMPBEvent>();
    if (event && NANOGetString(event.get(), APMPBEvent::kName).value_or("") == "_f") return true;
  }
  return false;
}

bool ZIVIsFirstOpenBundle(const ZIVQueuedBundle& bundle) {
  if (ZIVIsFirstOpenBundle(bundle.bundle.get())) return true;
  if (!bundle.events) return false;
  const uint32_t eventsTag = Bundle::descriptor().fields[Bundle::kEvents].tag;
  const uint32_t nameTag = APMPBEvent::descriptor().fields[APMPBEvent::kName].tag;
  const fnd::Data& events = *bundle.events;
  bool found = false;
  // The events were kept undecoded because they are canonical: each has its name once at most.
  (void)APMPForEachElement(
      events.data(), events.size(), eventsTag, [&](const uint8_t* event, size_t size) {
        (void)APMPForEachElement(event, size, nameTag, [&](const uint8_t* name, size_t length) {
          found = length == 2 && name[0] == '_' && name[1] == 'f';
          return false;
        });
        return !found;
      });
  return found;
}

std::shared_ptr<APMPBUserAttribute> APMNPAUserPropertyFromBundle(const Bundle& bundle) {
  for (const auto& attribute : UserAttributes(bundle)) {
    if (AttributeName(*attribute) == "_npa") return attribute;
  }
  return nullptr;
}

bool ZIVBundlesHaveCompatibleConsentState(const Bundle* first, const Bundle* second) {
  if (!first || !second) return false;
  auto sameString = [&](int32_t position) {
    const bool a = NANOHasField(first, position);
    const bool b = NANOHasField(second, position);
    if (a != b) return false;
    return !a || NANOGetString(first, position) == NANOGetString(second, position);
  };
  if (!sameString(Bundle::kConsentSignals) || !sameString(Bundle::kConsentDiagnostics) ||
      !sameString(Bundle::kCorePlatformServices)) {
    return false;
  }
  if (NANOGetBool(first, Bundle::kDmaRegion) != NANOGetBool(second, Bundle::kDmaRegion)) {
    return false;
  }
  auto npaFirst = APMNPAUserPropertyFromBundle(*first);
  auto npaSecond = APMNPAUserPropertyFromBundle(*second);
  if (npaFirst || npaSecond) {
    const int64_t a = npaFirst ? NANOGetInt64(npaFirst.get(), APMPBUserAttribute::kIntValue) : 0;
    const int64_t b = npaSecond ? NANOGetInt64(npaSecond.get(), APMPBUserAttribute::kIntValue) : 0;
    if (a != b) return false;
  }
  return true;
}

bool ZIVIsSubjectToMaxRealtimeCountPerDay(const ZIVEvent& event, bool isDebugMode) {
  if (isDebugMode) return false;
  const std::string& name = event.name();
  return name != "_iap" && name != "_f" && name != "_dcu" && name != "_fx";
}

bool ZIVIsSubjectToMaxDCURealtimeCountPerDay(const ZIVEvent& event, bool isDebugMode) {
  return !isDebugMode && event.name() == "_dcu";
}

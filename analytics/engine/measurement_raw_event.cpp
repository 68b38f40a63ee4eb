// The last step of the pipeline: one event becomes a raw event row, with its aggregates record and
// its metadata stored once per content under a 64-bit fingerprint.
#include <climits>
#include <cstdlib>
#include <utility>

#include "analytics/config/remote_config.h"
#include "analytics/engine/default_identity_support.h"
#include "analytics/engine/environment_info.h"
#include "analytics/engine/event.h"
#include "analytics/engine/event_util.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"

namespace {

bool HasError(const fnd::Error& error) { return !error.domain().empty(); }

fnd::Value Record(const std::shared_ptr<NANOMessageBase>& message) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(message));
}

}  // namespace

bool ZIVMeasurement::writeEvent(const std::shared_ptr<ZIVEvent>& event, bool isPublicEvent,
                                bool isRealtime) {
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db || !event) return false;
  const fnd::Value name = fnd::Value(ZIVFormattedEventName(fnd::Value(event->name())));
  fnd::Error error;

  // 1-2. Aggregates; a new name is counted against the distinct public names first.
  std::shared_ptr<ZIVEventAggregates> aggregates =
      db->eventAggregatesWithName(event->name(), &error);
  if (!aggregates && HasError(error)) {
    monitor_->logWithLevel(1, 23063, "Cannot query event aggregates. Name, error", name,
                           ZIVErrorContext(error));
    return false;
  }
  if (!aggregates) {
    if (isPublicEvent) {
      std::optional<int64_t> count = db->publicEventCount(&error);
      if (!count) {
        monitor_->logWithLevel(1, 23064, "Cannot query event count. Error", ZIVErrorContext(error));
        return false;
      }
      if (*count >= settingsOrDefaults()->maxEventNameCardinality()) {
        monitor_->logWithLevel(1, 23065, "Cannot set event. Reached limit on set events. Name",
                               name);
        ZIVLogErrorEventWithCode(8);
        return false;
      }
    }
    std::shared_ptr<ZIVEventAggregates> fresh =
        ZIVEventAggregates::initWithName(event->name(), 0, 0, 0, 0);
    if (!fresh || !db->updateEventAggregates(*fresh, &error)) {
      monitor_->logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error",
                             ZIVErrorContext(error));
      return false;
    }
  }

  // 3. The advertising-ID reset marker belongs to this event's metadata.
  if (std::shared_ptr<ZIVIdentity> id = identity();
      id && id->shouldSetLastAdvertisingIDResetUserProperty()) {
    setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  }

  // 4-5. Metadata.
  auto attributes = db->userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    monitor_->logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error",
                           ZIVErrorContext(error));
    return false;
  }
  std::shared_ptr<APMPBMeasurementBundle> metadata =
      createRawEventMetadataWithUserAttributes(*attributes);

  // 6. On-device conversion values.
  struct ODMSlot {
    const char* name;
    int32_t position;
    int64_t code;
    const char* message;
  };
  static const ODMSlot kSlots[] = {
      {ZIVDatabaseODM1Value, APMPBOnDeviceMeasurementInfo::kOdm1Value, 23287,
       "Failed to query ODM value. Error"},
      {ZIVDatabaseODM1SessionValue, APMPBOnDeviceMeasurementInfo::kOdm1SessionValue, 23288,
       "Failed to query ODM session value. Error"},
      {ZIVDatabaseODM2Value, APMPBOnDeviceMeasurementInfo::kOdm2Value, 23291,
       "Failed to query ODM value. Error"},
      {ZIVDatabaseODM1GroupID, APMPBOnDeviceMeasurementInfo::kOdm1GroupId, 23302,
       "Failed to query ODM group ID. Error"},
  };
  // Held for the whole use: the component list is a copy, and a component that is not
  // installed exists only in it.
  const std::shared_ptr<ZIVMeasurementAttribution> attributionComponent = components().attribution;
  ZIVMeasurementAttribution& attribution = *attributionComponent;
  auto info = APMPBOnDeviceMeasurementInfo::initWithMessageInfo(nullptr);
  bool anyODM = false;
  for (const ODMSlot& slot : kSlots) {
    fnd::Error odmError;
    std::optional<ZIVDatabase::Row> row = db->ODMValueWithName(slot.name, &odmError);
    if (!row) {
      if (HasError(odmError)) {
        monitor_->logWithLevel(4, slot.code, slot.message, ZIVErrorContext(odmError));
      }
      continue;
    }
    if (std::shared_ptr<NANOMessageBase> value = attribution.ODMValueFromDictionary(*row)) {
      NANOSetMessage(info.get(), slot.position, value.get());
      anyODM = true;
    }
  }
  if (anyODM)
    NANOSetMessage(metadata.get(), APMPBMeasurementBundle::kOnDeviceMeasurementInfo, info.get());

  // 7. Linked clients.
  int32_t linked = attribution.linkedClientBits() & ~1;
  std::shared_ptr<ZIVIdentitySupport> support = environment_.identitySupport
                                                    ? environment_.identitySupport
                                                    : ZIVDefaultIdentitySupport::sharedInstance();
  if (support && support->hasAppDataConsentStatus()) linked |= 1;
  NANOSetInt32(metadata.get(), APMPBMeasurementBundle::kBundleInt32_87, linked);

  // 8. First open without an advertising identifier, matched by a later event that has one.
  const bool hasAdvertisingID =
      NANOHasField(metadata.get(), APMPBMeasurementBundle::kResettableDeviceId);
  if (hasAdvertisingID && persistedConfig_->unmatchedFirstOpenWithoutIDFA() != 0) {
    logFirstOpenConsentedEvent(event->timestamp());
  } else if (!hasAdvertisingID && event->name() == "_f") {
    persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(1);
  }

  // 9. Metadata row.
  if (!db->insertIfNotExistsRawEventMetadata(*metadata, &error)) {
    monitor_->logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error",
                           ZIVErrorContext(error));
    return false;
  }

  // 10. Storage limit.
  fnd::Error limitError;
  std::optional<int64_t> deleted = db->deleteRawEventsOverAbsoluteLimit(&limitError);
  if (!deleted) {
    monitor_->logWithLevel(1, 23069, "Data loss. Unable to check raw event storage limit. Error",
                           ZIVErrorContext(limitError));
  } else if (*deleted != 0) {
    monitor_->logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count",
                           fnd::Value(*deleted));
  }

  // 11. The row.
  const std::optional<fnd::Data> encoded = metadata->protoBuffer();
  const int64_t fingerprint = encoded ? static_cast<int64_t>(ziv_64LSBMD5(*encoded)) : 0;
  if (!db->insertRawEvent(event, fingerprint, isRealtime, &error)) {
    monitor_->logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error",
                           ZIVErrorContext(error));
    return false;
  }

  // 12. Stored first opens.
  if (event->name() == "_f") {
    int64_t count = 0;
    if (std::optional<std::string> text = previousFirstOpenCount()) {
      count = std::strtoll(text->c_str(), nullptr, 10);
    }
    if (count < 1) count = 0;
    if (count < LLONG_MAX) ++count;
    setPreviousFirstOpenCount(std::to_string(count));
  }

  monitor_->logWithLevel(7, 23072, "Event logged. Event name, event params", name,
                         fnd::Value(ZIVFormattedParametersDescription(
                             fnd::Value(ZIVParametersAsDictionary(event->parameters())))));
  return true;
}

std::shared_ptr<APMPBMeasurementBundle> ZIVMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<ZIVUserAttribute>>& userAttributes) {
  auto metadata = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMPBMeasurementBundle* m = metadata.get();
  std::shared_ptr<ZIVIdentity> id = identity();

  NANOSetString(m, APMPBMeasurementBundle::kPlatform, fnd::Value(ZIVMeasurementPlatform));
  NANOSetInt32(m, APMPBMeasurementBundle::kFormatVersion, ZIVMeasurementProtocolVersion);
  std::optional<std::string> bundleAppID = id ? id->appID() : std::nullopt;
  NANOSetString(m, APMPBMeasurementBundle::kAppId, fnd::Value(bundleAppID.value_or(appID_)));
  if (!id || !id->isFromAppStore()) {
    NANOSetString(m, APMPBMeasurementBundle::kAppStore, fnd::Value(ZIVMeasurementManualInstall));
  }
  if (id && id->appVersion()) {
    NANOSetString(m, APMPBMeasurementBundle::kAppVersion, fnd::Value(*id->appVersion()));
  }
  if (std::optional<std::string> zuz = id ? id->appIDFromZUZ() : std::nullopt;
      zuz && !zuz->empty()) {
    NANOSetString(m, APMPBMeasurementBundle::kZuzAppId, fnd::Value(*zuz));
  }
  NANOSetInt64(m, APMPBMeasurementBundle::kLibraryVersion,
               ZIVIdentity::duvUdiredururoLibraryVersion());
  if (std::optional<std::string> installation = id ? id->zudiroruInstallationID() : std::nullopt) {
    NANOSetString(m, APMPBMeasurementBundle::kZudiroruInstallationId, fnd::Value(*installation));
  }

  if (id) {
    std::shared_ptr<ZIVMeasurementSessionReporter> reporter = sessionReporter();
    const bool expired = reporter && reporter->isSessionExpired();
    std::optional<std::string> token = id->sessionStitchingTokenWithSessionNumber(
        persistedConfig_->sessionNumber(), expired, hasUserPropertyUserIDOnWorkerQueue());
    if (token && !token->empty()) {
      NANOSetString(m, APMPBMeasurementBundle::kSessionStitchingToken, fnd::Value(*token));
    }
    if (id->appVersionMajor()) {
      NANOSetInt32(m, APMPBMeasurementBundle::kAppVersionMajor,
                   static_cast<int32_t>(*id->appVersionMajor()));
    }
    if (id->appVersionMinor()) {
      NANOSetInt32(m, APMPBMeasurementBundle::kAppVersionMinor,
                   static_cast<int32_t>(*id->appVersionMinor()));
    }
    if (id->appVersionRelease()) {
      NANOSetInt32(m, APMPBMeasurementBundle::kAppVersionRelease,
                   static_cast<int32_t>(*id->appVersionRelease()));
    }
  }

  components().uploader->updateMetadataConsentAndIdentifiers(*metadata, *this);

  ZIVEnvironmentInfo& device = environmentInfo();
  NANOSetString(m, APMPBMeasurementBundle::kDeviceModel, fnd::Value(device.deviceModel()));
  NANOSetString(m, APMPBMeasurementBundle::kOsVersion, fnd::Value(device.deviceOSVersion()));
  NANOSetInt32(m, APMPBMeasurementBundle::kTimezoneOffsetMinutes, device.timeZoneOffsetMinutes());
  if (std::optional<std::string> language = device.userDefaultLanguage()) {
    NANOSetString(m, APMPBMeasurementBundle::kUserDefaultLanguage, fnd::Value(*language));
  }

  if (!userAttributes.empty()) {
    fnd::Array items;
    bool hasNPA = false;
    for (const auto& attribute : userAttributes) {
      if (!attribute) continue;
      if (attribute->name() == "_npa") hasNPA = true;
      if (auto proto = attribute->protoUserAttribute()) items.push_back(Record(proto));
    }
    if (!hasNPA) {
      if (std::shared_ptr<ZIVDatabase> db = database()) {
        if (auto npa = db->userAttributeWithName("_npa")) {
          if (auto proto = npa->protoUserAttribute()) items.push_back(Record(proto));
        }
      }
    }
    NANOSetArray(m, APMPBMeasurementBundle::kUserAttributes, &items);
  }
  return metadata;
}

void ZIVMeasurement::logFirstOpenConsentedEvent(double timestamp) {
  persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(0);
  const fnd::Dictionary parameters = firstOpenConsentedEventParams();
  // Written after the transaction that asked for it.
  scheduleWeak("ZIVMeasurement:1025", [parameters, timestamp](ZIVMeasurement& self) {
    auto event = ZIVEvent::initWithOrigin("auto", false, "_fx", timestamp, 0, parameters);
    if (!event) return;
    event->setRealtime(true);
    self.writeEventOnWorkerQueue(event);
  });
}

fnd::Dictionary ZIVMeasurement::firstOpenConsentedEventParams() {
  int64_t previous = 0;
  if (std::optional<std::string> text = previousFirstOpenCount()) {
    previous = std::strtoll(text->c_str(), nullptr, 10);
  }
  int64_t withoutApp = 0;
  if (std::shared_ptr<ZIVDatabase> db = database()) {
    std::shared_ptr<ZIVUserAttribute> fi = db->userAttributeWithName("_fi");
    if (fi && fi->value() && fi->value()->isInt64() && fi->value()->int64Value() < 1) {
      withoutApp = 1;
    }
  }
  return fnd::Dictionary{{"_pfo", fnd::Value::Int64(previous >= 2 ? previous - 1 : 0)},
                         {"_uwa", fnd::Value::Int64(withoutApp)}};
}

fnd::Dictionary ZIVMeasurement::paramsWithAddedFirstOpenConsentedEventParams(
    const fnd::Dictionary& parameters) {
  fnd::Dictionary result = firstOpenConsentedEventParams();
  for (const auto& [key, value] : parameters) result.set(key, value);
  return result;
}

std::optional<std::string> ZIVMeasurement::previousFirstOpenCount() {
  std::optional<fnd::Value> value = persistedConfig_->previousFirstOpenCount();
  if (!value) return std::nullopt;
  if (value->isString()) return value->asString();
  if (value->isNumber()) return std::to_string(value->asInt());
  return std::nullopt;
}

void ZIVMeasurement::setPreviousFirstOpenCount(const std::optional<std::string>& count) {
  if (!count) {
    persistedConfig_->setPreviousFirstOpenCount(std::nullopt);
    return;
  }
  persistedConfig_->setPreviousFirstOpenCount(
      fnd::Value::Int64(std::strtoll(count->c_str(), nullptr, 10)));
}

// Event entry, default event parameters, backfill and the event pipeline on the worker queue.
#include <cmath>
#include <map>
#include <utility>

#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_event_editing.h"
#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/event.h"
#include "analytics/engine/event_util.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/value.h"
#include "analytics/proto/messages.h"
#include "analytics/script/event.h"
#include "analytics/script/event_context.h"
#include "analytics/script/event_editing.h"
#include "analytics/storage/app_metadata.h"
#include "analytics/storage/database.h"
#include "analytics/storage/database_records.h"

namespace {

bool HasError(const fnd::Error& error) { return !error.domain().empty(); }

fnd::Value FormattedName(const std::string& name) {
  return fnd::Value(ZIVFormattedEventName(fnd::Value(name)));
}

fnd::Value FormattedParameters(const ZIVEvent& event) {
  return fnd::Value(
      ZIVFormattedParametersDescription(fnd::Value(ZIVParametersAsDictionary(event.parameters()))));
}

// The parameter's value as a Foundation object (null when absent).
fnd::Value ParameterObject(const ZIVEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  if (it == event.parameters().end() || !it->second) return fnd::Value();
  return it->second->object();
}

// Whether an event counts against the daily real-time cap: not in debug mode, not "_iap", "_f",
// "_dcu" or "_fx".
bool IsSubjectToMaxRealtimeCountPerDay(const ZIVEvent& event, bool debugMode) {
  if (debugMode) return false;
  const std::string& name = event.name();
  return name != "_iap" && name != "_f" && name != "_dcu" && name != "_fx";
}

// Whether it counts against the daily data-control real-time cap: "_dcu" outside debug mode.
bool IsSubjectToMaxDCURealtimeCountPerDay(const ZIVEvent& event, bool debugMode) {
  return !debugMode && event.name() == "_dcu";
}

}  // namespace

bool ZIVShouldEventSkipInterceptorAndListeners(const ZIVEvent& event) {
  return event.origin() == "am" || event.name() == "_xa" || event.name() == "_xu";
}

// ---- Entry.

void ZIVMeasurement::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                        const std::string& name, const fnd::Dictionary& parameters,
                                        double timestamp, bool enabled, bool ignoreEnabled,
                                        bool ignoreInterceptor, Interceptor interceptor,
                                        const fnd::Dictionary& addedScreenParameters) {
  scheduleWeak(
      "ZIVMeasurement:2536", [=, interceptor = std::move(interceptor)](ZIVMeasurement& self) {
        self.logEventOnWorkerQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                             enabled, ignoreEnabled, ignoreInterceptor, interceptor,
                                             addedScreenParameters);
      });
}

void ZIVMeasurement::logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                     const std::string& name,
                                                     const fnd::Dictionary& parameters,
                                                     double timestamp, bool enabled,
                                                     bool ignoreEnabled, bool ignoreInterceptor,
                                                     const Interceptor& interceptor,
                                                     const fnd::Dictionary& addedScreenParameters) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("logEventOnWorkerQueueWithOrigin");
  const fnd::Dictionary merged = !ignoreInterceptor && ZIVEventAllowsDefaultEventParameters(name)
                                     ? parametersWithAddedDefaultEventParameters(parameters)
                                     : parameters;
  std::shared_ptr<ZIVEvent> event =
      ZIVEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, merged);
  if (!event) {
    monitor_->logWithLevel(1, 23219, "Attempted to log nil event. Origin, name, parameters",
                           fnd::Value(origin), FormattedName(name), fnd::Value(merged));
    return;
  }
  if (!addedScreenParameters.empty()) event->addScreenParameters(addedScreenParameters);

  if ((!enabled && !ignoreEnabled) || ZIVShouldEventSkipInterceptorAndListeners(*event)) {
    logEventOnWorkerQueue(event, false);
    return;
  }
  if (!ignoreInterceptor && isPublicEvent && interceptor) {
    fnd::Dictionary intercepted = merged;
    for (const auto& [key, value] : addedScreenParameters) intercepted.set(key, value);
    interceptor(origin, name, intercepted, timestamp);
    return;
  }
  logEventOnWorkerQueue(event, true);
}

void ZIVMeasurement::logEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event,
                                           bool notifyEventListeners) {
  if (!event) return;
  if (!notifyEventListeners) {
    handleEventOnWorkerQueue(event);
    return;
  }
  // Listeners see the event as it was before the pipeline changed it.
  std::shared_ptr<ZIVEvent> copy = event->copy();
  handleEventOnWorkerQueue(event);
  if (copy) components().facade->notifyEventListeners(copy);
}

void ZIVMeasurement::logEvent(const std::shared_ptr<ZIVEvent>& event) {
  if (!event) {
    monitor_->logWithLevel(4, 23048, "Attempted to log nil event");
    return;
  }
  scheduleWeak("ZIVMeasurement:2642",
               [event](ZIVMeasurement& self) { self.handleEventOnWorkerQueue(event); });
}

// ---- Default event parameters.

fnd::Dictionary ZIVMeasurement::storedDefaultEventParameters() {
  return persistedConfig_->defaultEventParameters().value_or(fnd::Dictionary{});
}

fnd::Dictionary ZIVMeasurement::parametersWithAddedDefaultEventParameters(
    const fnd::Dictionary& parameters) {
  fnd::Dictionary result = storedDefaultEventParameters();
  if (result.empty()) return parameters;
  for (const auto& [key, value] : parameters) result.set(key, value);
  return result;
}

void ZIVMeasurement::setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters) {
  scheduleWeak("ZIVMeasurement:2650", [parameters](ZIVMeasurement& self) {
    const bool backfill = self.shouldBackfillEvents();
    self.handleSetDefaultEventParametersOnWorkerQueue(parameters, backfill);
  });
}

void ZIVMeasurement::handleSetDefaultEventParametersOnWorkerQueue(
    const std::optional<fnd::Dictionary>& parameters, bool backfillEvents) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName(
      "handleSetDefaultEventParametersOnWorkerQueue:backfillEvents:");
  fnd::Dictionary result = parameters ? storedDefaultEventParameters() : fnd::Dictionary{};
  if (parameters) {
    for (const auto& [key, value] : *parameters) {
      if (!key.isString()) {
        monitor_->logWithLevel(4, 23212,
                               "Invalid key in default event parameters. Parameter ignored.");
      }
      const bool plain = value.isNull() || value.isNumber() || value.isBool() || value.isString();
      if (!plain) {
        if (value.isArray()) ZIVLogErrorEventWithCode(27);
        monitor_->logWithLevel(4, 23213,
                               "Invalid key in default event parameters. Parameter ignored.");
        continue;
      }
      if (!ZIVDataTypeValidator::isValidPublicEventParameterName(key)) {
        monitor_->logWithLevel(4, 23214, "Invalid default event parameter name. Name", key);
        continue;
      }
      if (value.isNull()) {
        result.erase(key);
        continue;
      }
      ZIVValuePtr typed = ZIVValue::valueFromObject(value);
      if (typed && ZIVDataTypeValidator::isValidPublicEventParameterValue(
                       fnd::Value(std::static_pointer_cast<fnd::Record>(typed)))) {
        result.set(key, value);
      }
    }
  }
  const int64_t maxParams = settingsOrDefaults()->maxPublicEventParams();
  if (static_cast<int64_t>(result.size()) > maxParams) {
    ZIVEventTrimEventParameters(&result, maxParams);
    ZIVLogErrorEventWithCode(26);
    monitor_->logWithLevel(4, 23215,
                           "Too many default event parameters set. Discarding beyond event "
                           "parameter limit");
  }
  if (backfillEvents) {
    const double start = initTimestamp();
    backfillEventsWithParameters(result, true, [start](const ZIVRawEventData& raw) {
      return raw.rawEvent() && raw.rawEvent()->timestamp() >= start;
    });
    monitor_->logWithLevel(7, 23272, "Updating default event parameters with backfill. Parameters",
                           fnd::Value(result));
  } else {
    monitor_->logWithLevel(7, 23216, "Updating default event parameters. Parameters",
                           fnd::Value(result));
  }
  persistedConfig_->setDefaultEventParameters(result);
}

bool ZIVMeasurement::shouldBackfillEvents() {
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return false;
  auto events = db->allRawEventsWithError();
  if (!events || events->empty()) return false;
  const double start = initTimestamp();
  for (const auto& raw : *events) {
    if (!raw || !raw->rawEvent()) continue;
    const ZIVEvent& event = *raw->rawEvent();
    if (event.timestamp() >= start && event.origin().rfind("app", 0) == 0) return false;
  }
  return true;
}

void ZIVMeasurement::backfillEventsWithParameters(const fnd::Dictionary& parameters, bool isPublic,
                                                  const EventFilter& eventFilter) {
  if (parameters.empty()) return;
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return;
  fnd::Error error;
  auto events = db->allRawEventsWithError(&error);
  if (!events) {
    monitor_->logWithLevel(1, 23270,
                           "Unable to backfill events with default event parameters. Fetch "
                           "failed. Error",
                           ZIVErrorContext(error));
    return;
  }
  int64_t failures = 0;
  fnd::Error lastError;
  for (const auto& raw : *events) {
    if (!raw || !raw->rawEvent()) continue;
    if (eventFilter && !eventFilter(*raw)) continue;
    raw->rawEvent()->applyParameters(parameters, isPublic);
    fnd::Error updateError;
    if (!db->updateRawEvent(*raw, &updateError)) {
      ++failures;
      lastError = updateError;
    }
  }
  if (failures > 0) {
    monitor_->logWithLevel(1, 23271,
                           "Unable to backfill some events with default event parameters. Update "
                           "failed. Count, last error",
                           fnd::Value(failures), ZIVErrorContext(lastError));
  }
}

double ZIVMeasurement::backfillStartTimestampForSessionID(
    const std::shared_ptr<ZIVValue>& sessionID) {
  if (std::shared_ptr<ZIVDatabase> db = database()) {
    if (auto events = db->allRawEventsWithError()) {
      for (const auto& raw : *events) {
        if (raw && raw->rawEvent() && raw->rawEvent()->name() == "_f") {
          return raw->rawEvent()->timestamp();
        }
      }
    }
  }
  return static_cast<double>((sessionID ? sessionID->int64Value() : 0) - 15);
}

void ZIVMeasurement::backfillSessionID(const std::shared_ptr<ZIVValue>& sessionID,
                                       const std::shared_ptr<ZIVValue>& sessionNumber) {
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db || !sessionID || !sessionNumber) return;
  fnd::Dictionary parameters{
      {"_sid", fnd::Value(std::static_pointer_cast<fnd::Record>(sessionID))},
      {"_sno", fnd::Value(std::static_pointer_cast<fnd::Record>(sessionNumber))}};
  const double start = backfillStartTimestampForSessionID(sessionID);
  // Per metadata fingerprint: whether that metadata already carries a session ID.
  std::map<int64_t, bool> hasSessionID;
  backfillEventsWithParameters(parameters, false, [&](const ZIVRawEventData& raw) {
    if (start > raw.rawEvent()->timestamp()) return false;
    auto known = hasSessionID.find(raw.metadataFingerprint());
    if (known != hasSessionID.end()) return !known->second;
    fnd::Error error;
    std::shared_ptr<APMPBMeasurementBundle> metadata =
        db->queryRawEventsMetadataWithFingerprint(raw.metadataFingerprint(), &error);
    if (!metadata) {
      monitor_->logWithLevel(1, 23273,
                             "Unable to backfill session ID. Fetch metadata failed. Error",
                             ZIVErrorContext(error));
      return false;
    }
    bool found = false;
    if (auto properties = NANOGetArray(metadata.get(), APMPBMeasurementBundle::kUserAttributes,
                                       &APMPBUserAttribute::messageClass())) {
      for (const fnd::Value& item : *properties) {
        auto property = item.recordAs<NANOMessageBase>();
        if (property && NANOGetString(property.get(), APMPBUserAttribute::kName) == "_sid") {
          found = true;
          break;
        }
      }
    }
    hasSessionID[raw.metadataFingerprint()] = found;
    return !found;
  });
}

// ---- Pipeline.

void ZIVMeasurement::handleInternalEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) {
  if (!event) return;
  if (ZIVEventAllowsDefaultEventParameters(event->name())) {
    fnd::Dictionary defaults = storedDefaultEventParameters();
    if (event->name() == "_cmp") defaults = ZIVParametersWithoutGADParams(defaults);
    event->applyParameters(defaults, true);
  }
  handleEventOnWorkerQueue(event);
  components().facade->notifyEventListeners(event);
}

void ZIVMeasurement::handleEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& input) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
  if (!input) return;
  if (!isEnabled()) {
    monitor_->logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  std::shared_ptr<ZIVEvent> event = eventAfterSafelistingEvent(input);
  if (!event) return;
  if (!isAppActive()) processSessionFromEvent(*event);
  if (!dedupeSubscriptionEvent(*event)) return;
  if (event->name() == "_ssr" && shouldDropDuplicatedSessionStartWithRolloutEvent(*event)) return;
  event = appExceptionEventWithZudiroruFeatureRollouts(event);
  if (event->name() == "_s") writeSessionStartEventOnWorkerQueue(*event);

  std::shared_ptr<ZIVRemoteConfig> settings = remoteConfigInstance();
  auto scripted = settings
                      ? std::dynamic_pointer_cast<ZIVScriptEventEditing>(settings->eventEditing())
                      : nullptr;
  if (!scripted) {
    writeEventOnWorkerQueue(event);
  } else {
    APMPEventEditing& editing = scripted->editing();
    fnd::Error error;
    if (!editing.handleEvent(event->editEvent(), &error)) {
      writeEventOnWorkerQueue(event);
      monitor_->logWithLevel(1, 23223, "Event editing failed. Event name",
                             FormattedName(event->name()));
      return;
    }
    if (editing.hasEdits()) {
      if (auto edited = ZIVEvent::eventFromEditEvent(editing.eventContext().outputEvent())) {
        event = edited;
      }
    }
    writeEventOnWorkerQueue(event);
    if (editing.hasCreatedEvents()) {
      // Copied first: writing may run the runtime again.
      const std::vector<APMPEvent> created = editing.eventContext().eventsToLog();
      for (const APMPEvent& made : created) {
        const fnd::Value* origin = made.parameterForName("_o");
        const std::string originText = origin && origin->isString() ? origin->asString() : "app";
        if (auto createdEvent = ZIVEvent::initWithOrigin(originText, false, made.name(),
                                                         made.timestamp(), 0, made.parameters())) {
          writeEventOnWorkerQueue(createdEvent);
        }
      }
    }
  }
  components().uploader->updateSchedule(*this);
}

std::shared_ptr<ZIVEvent> ZIVMeasurement::eventAfterSafelistingEvent(
    const std::shared_ptr<ZIVEvent>& event) {
  if (safelistedEvents_.empty()) return event;
  if (safelistedEvents_.count(event->name()) != 0) {
    ZIVEvent::Parameters parameters = event->parameters();
    parameters["ra_safelisted"] = ZIVValue::initWithInt64(1);
    return event->copyWithParameters(parameters);
  }
  monitor_->logWithLevel(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin",
                         fnd::Value(event->name()), fnd::Value(event->origin()));
  return nullptr;
}

void ZIVMeasurement::processSessionFromEvent(const ZIVEvent& event) {
  std::shared_ptr<ZIVMeasurementSessionReporter> reporter = sessionReporter();
  auto extend = event.parameters().find("extend_session");
  if (extend != event.parameters().end()) {
    if (extend->second && extend->second->isInt64() && extend->second->int64Value() == 1) {
      if (reporter && reporter->isSessionExpired()) {
        reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
      } else if (reporter) {
        reporter->extendSession();
      }
    } else {
      monitor_->logWithLevel(3, 23179,
                             "extend_session is a reserved parameter. To extend or start a "
                             "session in the background, set an event parameter "
                             "{@'extend_session': @1}");
    }
  }
  if (reporter && reporter->isSessionExpired()) removeSessionUserPropertiesOnWorkerQueue();
}

bool ZIVMeasurement::dedupeSubscriptionEvent(const ZIVEvent& event) {
  if (!ZIVEventUtilIsSubscriptionEvent(event)) return true;
  auto did = event.parameters().find("_did");
  if (did == event.parameters().end() || !did->second || !did->second->isInt64()) return true;
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return true;
  const fnd::Value productID = ParameterObject(event, "product_id");
  fnd::Error error;
  std::optional<bool> inserted =
      db->insertIfNotDuplicateSubscriptionID(std::to_string(did->second->int64Value()), &error);
  if (inserted && !*inserted) {
    monitor_->logWithLevel(4, 23182,
                           "Event dropped. Reason: Subscription purchase is a duplicate. Product "
                           "ID",
                           productID);
    return false;
  }
  if (!inserted && HasError(error)) {
    monitor_->logWithLevel(2, 23181, "Failed to save subscription ID. Product ID, error", productID,
                           ZIVErrorContext(error));
  }
  fnd::Error trimError;
  std::optional<int64_t> deleted = db->deleteSubscriptionsOverLimit(&trimError);
  if (!deleted) {
    // A failed trim only leaves old ids behind; the purchase itself is new and is kept.
    monitor_->logWithLevel(5, 23183, "Failed to delete older subscription records. Error",
                           ZIVErrorContext(trimError));
  } else if (*deleted != 0) {
    monitor_->logWithLevel(5, 23184, "Deleted older subscription records beyond limit",
                           fnd::Value(*deleted));
  }
  return true;
}

bool ZIVMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const ZIVEvent& event) {
  std::optional<std::string> stored = persistedConfig_->zudiroruFeatureRollouts();
  auto it = event.parameters().find("_ffr");
  const ZIVValuePtr value = it != event.parameters().end() ? it->second : nullptr;
  const std::optional<std::string> text =
      value && value->isString() ? value->stringValue() : std::nullopt;
  const bool duplicate = (stored && text && *text == *stored) || (!stored && !value) ||
                         (!stored && text && text->empty());
  if (duplicate) {
    monitor_->logWithLevel(8, 23191, "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (text && !text->empty()) {
    persistedConfig_->setZudiroruFeatureRollouts(*text);
  } else {
    persistedConfig_->setZudiroruFeatureRollouts(std::nullopt);
  }
  if (value && !value->isString()) {
    monitor_->logWithLevel(2, 23190,
                           "Unable to process zudiroru feature rollouts, value is not a "
                           "string.");
  }
  return false;
}

std::shared_ptr<ZIVEvent> ZIVMeasurement::appExceptionEventWithZudiroruFeatureRollouts(
    const std::shared_ptr<ZIVEvent>& event) {
  if (event->name() != "_ae") return event;
  std::optional<std::string> stored = persistedConfig_->zudiroruFeatureRollouts();
  if (!stored) return event;
  ZIVEvent::Parameters parameters = event->parameters();
  parameters["_ffr"] = ZIVValue::initWithString(*stored);
  std::shared_ptr<ZIVEvent> copy = event->copyWithParameters(parameters);
  return copy ? copy : event;
}

void ZIVMeasurement::writeSessionStartEventOnWorkerQueue(const ZIVEvent& event) {
  auto sid = event.parameters().find("_sid");
  auto sno = event.parameters().find("_sno");
  if (sid != event.parameters().end() && sno != event.parameters().end() && sid->second &&
      sno->second) {
    backfillSessionID(sid->second, sno->second);
  }
  if (std::optional<std::string> stored = persistedConfig_->zudiroruFeatureRollouts()) {
    if (auto rollout = ZIVEvent::initWithOrigin("auto", false, "_ssr", now(), 0,
                                                fnd::Dictionary{{"_ffr", *stored}})) {
      writeEventOnWorkerQueue(rollout);
    }
  }
  if (settingsOrDefaults()->PSMSessionStartEnabled()) {
    components().attribution->initiateODMSessionStartProtocolWithTimestamp(event.timestamp());
  }
}

void ZIVMeasurement::writeEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:");
  if (!event) return;
  monitor_->logWithLevel(7, 23051, "Logging event: origin, name, params",
                         fnd::Value(event->origin()), FormattedName(event->name()),
                         FormattedParameters(*event));
  std::optional<std::vector<std::shared_ptr<ZIVEvent>>> further =
      components().audiences->processEvent(event);
  if (!further) {
    monitor_->logWithLevel(4, 23050,
                           "Unable to process conditional user property. Event name, origin",
                           FormattedName(event->name()), fnd::Value(event->origin()));
  }
  writeFilteredEventOnWorkerQueue(event);
  if (further) {
    for (const auto& next : *further) writeFilteredEventOnWorkerQueue(next);
  }
}

void ZIVMeasurement::writeFilteredEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("writeFilteredEventOnWorkerQueue:");
  if (!event) return;
  std::shared_ptr<ZIVRemoteConfig> settings = settingsOrDefaults();
  if (settings->isEventBlocklisted(event->name())) {
    monitor_->logWithLevel(5, 23052, "Rejected event. Event name", FormattedName(event->name()));
    if (!settings->blocklistInternal() && !settings->blocklistPublic() && event->name() != "_err") {
      ZIVLogErrorEventWithParameters(11, fnd::Value(event->name()), 40, fnd::Value(event->name()));
    }
    return;
  }
  if (std::shared_ptr<ZIVIdentity> id = identity()) id->updateIdentifiers();
  if (ZIVEventUtilIsConversionEventName(event->name())) event->setConversion(true);

  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return;
  db->performTransaction([&]() -> bool {
    if (!updateLifetimeValueWithEvent(*event)) return false;
    const bool isPublic = ZIVEventUtilIsPublicName(fnd::Value(event->name()));
    fnd::Error error;
    std::optional<ZIVDailyCounts> counts = db->dailyCounts(&error);
    if (!counts) {
      monitor_->logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error",
                             ZIVErrorContext(error));
      return false;
    }
    const bool keep = shouldProcessEvent(*event, *counts, isPublic);
    const bool realtime = keep && isRealtimeEvent(*event, *counts);
    fnd::Error updateError;
    if (!db->updateDailyCounts(*counts, &updateError)) {
      monitor_->logWithLevel(1, 23061,
                             "Data loss. Unable to update daily event counts. Name, error",
                             FormattedName(event->name()), ZIVErrorContext(updateError));
      return false;
    }
    if (!keep) return true;
    return writeEvent(event, isPublic, realtime);
  });
}

bool ZIVMeasurement::updateLifetimeValueWithEvent(const ZIVEvent& event) {
  // Held for the whole use: the component list is a copy, and a component that is not
  // installed exists only in it.
  const std::shared_ptr<ZIVMeasurementAttribution> attributionComponent = components().attribution;
  ZIVMeasurementAttribution& attribution = *attributionComponent;
  if (!attribution.isPurchaseEvent(event)) return true;
  std::shared_ptr<ZIVDatabase> db = database();
  if (db && attribution.recordLifetimeValue(*db, event)) return true;
  monitor_->logWithLevel(1, 23053,
                         "Cannot record lifetime value of event. Name, currency code, transaction "
                         "value",
                         FormattedName(event.name()), ParameterObject(event, "currency"),
                         ParameterObject(event, "value"));
  return false;
}

bool ZIVMeasurement::shouldProcessEvent(const ZIVEvent& event, ZIVDailyCounts& dailyCounts,
                                        bool isPublicEvent) {
  std::shared_ptr<ZIVRemoteConfig> settings = settingsOrDefaults();
  const int32_t today =
      static_cast<int32_t>(std::floor((now() - persistedConfig_->midnightOffset()) / 86400));
  if (dailyCounts.day() != today) dailyCounts.resetWithNewDay(today);

  const bool isError = ZIVEventUtilIsErrorEvent(event);
  const int64_t maxEvents = settings->maxEventsPerDay();
  const int64_t over = static_cast<int64_t>(dailyCounts.allEventsCount()) - maxEvents;
  bool keep = true;
  bool droppedUnderAllCap = false;
  if (over >= 0) {
    keep = false;
    if (over % 1000 == 0) {
      monitor_->logWithLevel(1, 23055, "Data loss. Too many events logged. Name, limit",
                             FormattedName(event.name()), fnd::Value(maxEvents));
    }
  } else if (isError) {
    const int64_t maxErrors = settings->maxErrorEventsPerDay();
    const int64_t excess = static_cast<int64_t>(dailyCounts.errorEventsCount()) - maxErrors;
    if (excess >= 0) {
      keep = false;
      droppedUnderAllCap = true;
      if (excess % 1000 == 0) {
        monitor_->logWithLevel(1, 23056, "Too many error events logged. Error code, limit",
                               ParameterObject(event, "_err"), fnd::Value(maxErrors));
      }
    }
  } else if (isPublicEvent) {
    const int64_t maxPublic = settings->maxPublicEventsPerDay();
    const int64_t excess = static_cast<int64_t>(dailyCounts.publicEventsCount()) - maxPublic;
    if (excess >= 0) {
      keep = false;
      droppedUnderAllCap = true;
      if (excess % 1000 == 0) {
        monitor_->logWithLevel(1, 23057, "Data loss. Too many public events logged. Name, limit",
                               FormattedName(event.name()), fnd::Value(maxPublic));
      }
      ZIVLogErrorEventWithCode(16);
    }
  }

  if (isError) {
    dailyCounts.incrementErrorEventsCountForCurrentDay(today);
  } else {
    const int32_t count = static_cast<int32_t>(1 + ZIVEventUtilNestedParamCount(&event));
    dailyCounts.incrementCountsForCurrentDay(today, isPublicEvent, false, count);
  }
  if (droppedUnderAllCap) dailyCounts.decrementAllEventsCount();
  return keep;
}

bool ZIVMeasurement::isRealtimeEvent(ZIVEvent& event, ZIVDailyCounts& dailyCounts) {
  std::shared_ptr<ZIVRemoteConfig> settings = settingsOrDefaults();
  const bool debug = monitor_->isDebugModeEnabled();
  const bool conversion = event.isConversion() || settings->isEventCustomConversion(event.name());
  const bool subject = IsSubjectToMaxRealtimeCountPerDay(event, debug);
  const int64_t maxRealtime = settings->maxRealtimeEventCountPerDay();
  const bool realtimeConversion =
      conversion && (dailyCounts.realtimeCount() < maxRealtime || !subject);
  if (event.isRealtime() && subject && dailyCounts.realtimeCount() >= maxRealtime) {
    event.setRealtime(false);
    monitor_->logWithLevel(4, 23060,
                           "Too many real-time events. Event is no longer real-time. Event name, "
                           "parameters",
                           FormattedName(event.name()), FormattedParameters(event));
  }
  if (event.isRealtime() && IsSubjectToMaxDCURealtimeCountPerDay(event, debug) &&
      dailyCounts.dcuRealtimeCount() >= settings->maxRealtimeDCUEventCountPerDay()) {
    event.setRealtime(false);
  }
  maybeAddDebugAndRealtimeParameters(event);
  return realtimeConversion || event.isRealtime();
}

void ZIVMeasurement::maybeAddDebugAndRealtimeParameters(ZIVEvent& event) {
  if (!monitor_->isDebugModeEnabled()) return;
  event.setRealtime(true);
  event.setDebug(true);
  monitor_->logWithLevel(7, 23073,
                         "Debug mode is enabled. Marking event as debug and real-time. Event "
                         "name, parameters",
                         FormattedName(event.name()), FormattedParameters(event));
}

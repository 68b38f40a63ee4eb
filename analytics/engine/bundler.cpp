#include "analytics/engine/bundler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "analytics/attribution/saturating_int.h"
#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/bundle_consent.h"
#include "analytics/engine/event.h"
#include "analytics/engine/event_sampler.h"
#include "analytics/engine/event_util.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/name_tables.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/value.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/app_metadata.h"
#include "analytics/storage/database.h"

namespace {

using Bundle = APMPBMeasurementBundle;

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

bool HasError(const fnd::Error& error) { return !error.domain().empty() || error.code() != 0; }

fnd::Value Describe(const fnd::Error& error) { return fnd::Value(error.description()); }

// floor(seconds) within int64 (NaN gives 0).
int64_t FloorSeconds(double seconds) {
  const double floored = std::floor(seconds);
  if (std::isnan(floored)) return 0;
  if (floored >= 9.2233720368547758e18) return kInt64Max;
  if (floored <= -9.2233720368547758e18) return kInt64Min;
  return static_cast<int64_t>(floored);
}

// The clock hour of a time in seconds: 64 bits, so no year-2038 overflow.
int64_t HourOf(double seconds) { return FloorSeconds(seconds) / 3600; }

std::optional<int64_t> IntParameter(const ZIVEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  if (it == event.parameters().end() || !it->second || !it->second->isInt64()) return std::nullopt;
  return it->second->int64Value();
}

bool HasParameter(const ZIVEvent& event, const std::string& name) {
  return event.parameters().count(name) != 0;
}

fnd::Value FormattedName(const std::string& name) {
  return fnd::Value(ZIVFormattedEventName(fnd::Value(name)));
}

fnd::Value FormattedParameters(const ZIVEvent& event) {
  return fnd::Value(
      ZIVFormattedParametersDescription(fnd::Value(ZIVParametersAsDictionary(event.parameters()))));
}

// Whether a REAL column holding `value` reads back as the same double.
bool ReadsBackExactly(double value) {
  return !std::isnan(value) && !(value == 0 && std::signbit(value));
}

std::shared_ptr<ZIVRawEventData> WithEvent(const ZIVRawEventData& raw,
                                           std::shared_ptr<ZIVEvent> event) {
  return std::make_shared<ZIVRawEventData>(std::move(event), raw.rowID(),
                                           raw.metadataFingerprint());
}

}  // namespace

bool ZIVHasRealTimeEvents(const std::vector<std::shared_ptr<ZIVEvent>>& events) {
  return std::any_of(events.begin(), events.end(),
                     [](const auto& event) { return event && event->isRealtime(); });
}

fnd::Array ZIVUserPropertiesWithoutPSMUserProperties(const fnd::Array& properties) {
  fnd::Array kept;
  for (const fnd::Value& item : properties) {
    auto attribute = item.recordAs<APMPBUserAttribute>();
    const std::string name =
        attribute ? NANOGetString(attribute.get(), APMPBUserAttribute::kName).value_or("") : "";
    if (name.rfind("_psm", 0) != 0) kept.push_back(item);
  }
  return kept;
}

ZIVBundler::ZIVBundler(ZIVBundlerEnvironment environment)
    : environment_([&] {
        if (!environment.monitor) environment.monitor = ZIVMeasurement::monitor();
        if (!environment.consent) environment.consent = &ZIVConsentSettingsUtil::sharedInstance();
        if (!environment.purchases) environment.purchases = std::make_shared<ZIVPurchaseHooks>();
        return std::move(environment);
      }()),
      monitor_(*environment_.monitor),
      database_(*environment_.database),
      settings_(*environment_.settings),
      purchases_(*environment_.purchases) {}

double ZIVBundler::now() const {
  return (environment_.clock ? environment_.clock : dispatch::Clock::current())->wallTime();
}

bool ZIVBundler::isDebugMode() const { return monitor_.isDebugModeEnabled(); }

bool ZIVBundler::analyticsStorageDenied() const {
  return environment_.consent->isAnalyticsStorageDenied();
}

bool ZIVBundler::adStorageDenied() const { return environment_.consent->isAdStorageDenied(); }

int32_t ZIVBundler::currentDay() const {
  const double offset =
      environment_.persistedConfig ? environment_.persistedConfig->midnightOffset() : 0;
  const double day = std::floor((now() - offset) / 86400.0);
  if (std::isnan(day)) return 0;
  return static_cast<int32_t>(std::clamp<double>(day, std::numeric_limits<int32_t>::min(),
                                                 std::numeric_limits<int32_t>::max()));
}

bool ZIVBundler::bundleRawEvents() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
  Deferred deferred;
  bool result = false;
  const bool committed = database_.performTransaction([&] { return bundleOnce(deferred, result); });
  if (!committed) return false;
  // State kept outside the database follows the committed transaction only.
  if (environment_.persistedConfig) {
    if (deferred.consentSignals) {
      environment_.persistedConfig->setPreviousBundledConsentSignals(deferred.consentSignals);
    }
    if (deferred.monitorSampleTime) {
      environment_.persistedConfig->setLastMonitorDataSampledTimestamp(*deferred.monitorSampleTime);
    }
  }
  if (environment_.afterCommit) environment_.afterCommit();
  return result;
}

bool ZIVBundler::bundleOnce(Deferred& deferred, bool& result) {
  result = false;
  fnd::Error error;
  std::optional<int64_t> next = database_.nextMetadataFingerprintToProcess(&error);
  if (!next && HasError(error)) {
    monitor_.logWithLevel(1, 23095, "Unable to fetch next event metadata. Error", Describe(error));
    return false;
  }
  const int64_t fingerprint = next.value_or(0);

  std::optional<int64_t> undecodable;
  auto rawEvents = rawEventsWithMetadataFingerprint(fingerprint, &undecodable);
  if (!rawEvents) return false;
  if (rawEvents->empty()) {
    if (!undecodable) return true;
    // A first row that cannot be decoded would block this fingerprint for good: drop it.
    monitor_.logWithLevel(
        2, 23096, "Failed to filter raw event. Error",
        fnd::Value("Undecodable raw event deleted. RowID " + std::to_string(*undecodable)));
    if (!cleanupRawEvents(*undecodable, fingerprint)) return false;
    result = true;
    return true;
  }
  const int64_t lastRowID = rawEvents->back()->rowID();

  error = fnd::Error();
  std::shared_ptr<Bundle> bundle =
      database_.queryRawEventsMetadataWithFingerprint(fingerprint, &error);
  if (!bundle) {
    monitor_.logWithLevel(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
                          fnd::Value::Int64(fingerprint), Describe(error));
    // A store failure rolls back; a metadata row that is missing or does not decode can never
    // become readable, so the rows that depend on it are deleted and bundling goes on.
    fnd::Error probeError;
    auto probe =
        database_.sqliteStore()
            ? database_.sqliteStore()->recordsForQuery(
                  "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?",
                  {fnd::Value::Int64(fingerprint)}, &probeError)
            : std::nullopt;
    if (!probe) return false;
    if (!cleanupRawEvents(lastRowID, fingerprint)) return false;
    fnd::Error deleteError;
    if (!database_.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &deleteError)) {
      return false;
    }
    result = true;
    return true;
  }

  auto processed = processRawEvents(*rawEvents, fingerprint);
  if (!processed) return false;
  if (processed->empty()) return true;

  const bool storageDenied = analyticsStorageDenied();
  evaluationTimeFromRawEvents(*rawEvents, *bundle);
  handleAnalyticsStorageConsentTransitions(*bundle, deferred);

  auto cache = environment_.audiences ? environment_.audiences->makeTimestampsCache() : nullptr;
  auto events = eventsAfterUpdatingEventAggregates(*processed, cache, !storageDenied);
  if (!events) return false;

  // Sampling works on the events' messages. Without it the events go into the stored bundle as
  // their encodings, spliced into the bundle's own: no message is built, copied or encoded again.
  const bool sampling = settings_.isEventSamplingEnabled() && !isDebugMode();
  std::vector<std::shared_ptr<APMPBEvent>> messages;
  std::vector<fnd::Data> encodedEvents;
  // An event message that does not encode fails the bundle's encoding, as it would inside it.
  bool encodingFailed = false;
  bool holdsPSMConversion = false;
  for (const auto& event : *events) {
    std::shared_ptr<APMPBEvent> message;
    if (event->name() == "_f" && HasParameter(*event, "_elt")) {
      ZIVEvent::Parameters parameters = event->parameters();
      auto elt = parameters.find("_elt");
      const int64_t value = elt->second ? elt->second->int64Value() : 0;
      parameters.erase(elt);
      auto copy = event->copyWithParameters(parameters);
      message = (copy ? copy : event)->protoEvent();
      if (message) NANOSetInt64(message.get(), APMPBEvent::kEventInt64_6, value);
    } else if (sampling) {
      message = event->protoEvent();
    } else if (std::optional<fnd::Data> encoded = event->encodedProtoEvent(true)) {
      encodedEvents.push_back(std::move(*encoded));
    }
    if (event->name() == "_fx") {
      auto source = event->parameters().find("_fxs");
      if (source != event->parameters().end() && source->second) {
        if (source->second->stringValue().value_or("").rfind("psm", 0) == 0) {
          holdsPSMConversion = true;
        }
      }
    }
    if (!message) continue;
    if (sampling) {
      messages.push_back(std::move(message));
    } else if (std::optional<fnd::Data> encoded = message->protoBuffer()) {
      encodedEvents.push_back(std::move(*encoded));
    } else {
      encodedEvents.emplace_back();
      encodingFailed = true;
    }
  }

  if (sampling) {
    ZIVEventSampler sampler(environment_.database, environment_.settings, environment_.monitor,
                            environment_.randomBelow);
    fnd::Error samplingError;
    auto kept = sampler.sampleEvents(messages, &samplingError);
    // No result is a failure, with or without an error: rows are never deleted unsent.
    if (!kept) return false;
    messages = std::move(*kept);
  }
  const size_t eventCount = sampling ? messages.size() : encodedEvents.size();

  if (eventCount == 0) {
    monitor_.logWithLevel(5, 23159, "No events left after sampling. Dropping bundle");
    if (!cleanupRawEvents(lastRowID, fingerprint)) return false;
    result = true;
    return true;
  }

  if (sampling) {
    fnd::Array eventItems;
    for (const auto& message : messages) {
      eventItems.emplace_back(std::static_pointer_cast<fnd::Record>(message));
    }
    NANOSetArray(bundle.get(), Bundle::kEvents, &eventItems);
  } else {
    NANOClearField(bundle.get(), Bundle::kEvents);
  }
  if (environment_.persistedConfig) {
    auto buffer = environment_.persistedConfig->adCampaignInfoBuffer();
    if (buffer && buffer->isData() && !buffer->data()->empty()) {
      if (auto info = APMPBAdCampaignInfo::initWithBuffer(*buffer->data())) {
        NANOSetMessage(bundle.get(), Bundle::kAdCampaignInfo, info.get());
      }
    }
  }

  double start = rawEvents->front()->rawEvent()->timestamp();
  double end = start;
  for (const auto& raw : *rawEvents) {
    start = std::min(start, raw->rawEvent()->timestamp());
    end = std::max(end, raw->rawEvent()->timestamp());
  }
  if (!updateAppMetadataForBundle(*bundle, static_cast<int32_t>(eventCount), start, end)) {
    return false;
  }
  const double evaluationTime = start;

  if (adStorageDenied() && !holdsPSMConversion) {
    NANOClearField(bundle.get(), Bundle::kOnDeviceMeasurementInfo);
    auto properties =
        NANOGetArray(bundle.get(), Bundle::kUserAttributes, &APMPBUserAttribute::messageClass());
    if (properties) {
      fnd::Array kept = ZIVUserPropertiesWithoutPSMUserProperties(*properties);
      NANOSetArray(bundle.get(), Bundle::kUserAttributes, &kept);
    }
  }

  if (!storageDenied && environment_.audiences) {
    auto properties =
        NANOGetArray(bundle.get(), Bundle::kUserAttributes, &APMPBUserAttribute::messageClass());
    for (const fnd::Value& item : properties.value_or(fnd::Array())) {
      auto property = item.recordAs<APMPBUserAttribute>();
      if (!property) continue;
      if (!environment_.audiences->evaluateFiltersForNanoUserProperty(*property, cache,
                                                                      evaluationTime)) {
        return false;
      }
    }
    auto results = environment_.audiences->resultsForBundling();
    if (!results) {
      monitor_.logWithLevel(1, 23113, "Unable to read audience evaluation results");
      return false;
    }
    if (!results->empty()) {
      NANOSetArray(bundle.get(), Bundle::kAudienceEvaluationResults, &*results);
    }
  }

  addBundleMetadataIntoBundle(*bundle, start, end, deferred);

  if (NANOHasField(bundle.get(), Bundle::kSessionStitchingToken) &&
      (!settings_.sessionStitchingTokenFeatureEnabled() || storageDenied)) {
    NANOClearField(bundle.get(), Bundle::kSessionStitchingToken);
  }

  error = fnd::Error();
  const bool realtime = ZIVHasRealTimeEvents(*events);
  bool inserted = false;
  if (sampling) {
    inserted = database_.insertBundle(*bundle, realtime, &error);
  } else {
    // A bundle that does not encode is refused as the store refuses one without bytes.
    std::optional<fnd::Data> encoded;
    if (!encodingFailed) encoded = bundle->protoBufferWithItems(Bundle::kEvents, encodedEvents);
    inserted = database_.insertBundle(*bundle, encoded.value_or(fnd::Data()), realtime, &error);
  }
  if (!inserted) {
    monitor_.logWithLevel(1, 23115, "Unable to insert bundle. Error", Describe(error));
    return false;
  }
  monitor_.logWithLevel(8, 23221, environment_.consent->description());
  monitor_.logWithLevel(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
                        fnd::Value(NANOGetInt32(bundle.get(), Bundle::kBundleIndex)),
                        fnd::Value::Int64(NANOGetInt64(bundle.get(), Bundle::kEndTimestampMillis)));
  if (!cleanupRawEvents(lastRowID, fingerprint)) return false;
  result = true;
  return true;
}

std::optional<std::vector<std::shared_ptr<ZIVRawEventData>>>
ZIVBundler::rawEventsWithMetadataFingerprint(int64_t fingerprint,
                                             std::optional<int64_t>* undecodableFirstRowID) {
  const int64_t maxEvents = settings_.uploadMaxEventsPerBundle();
  const int64_t maxBytes = settings_.uploadMaxSizeLimitBytes();
  int64_t firstHour = -1;
  int64_t lastRowID = -1;
  int64_t totalSize = 0;
  std::vector<std::shared_ptr<ZIVRawEventData>> accepted;
  // The first row always goes, whatever the limits.
  const size_t rowLimit = static_cast<size_t>(std::max<int64_t>(maxEvents, 1));
  auto visit = [&](size_t index, int64_t rowID, std::shared_ptr<ZIVRawEventData> raw,
                   const fnd::Error& decodeError) -> bool {
    if (!raw || !raw->rawEvent()) {
      monitor_.logWithLevel(4, 23096, "Failed to filter raw event. Error", Describe(decodeError));
      if (index == 0 && undecodableFirstRowID) *undecodableFirstRowID = rowID;
      return false;
    }
    const int64_t hour = HourOf(raw->rawEvent()->timestamp());
    if (index == 0) {
      firstHour = hour;
    } else {
      if (hour != firstHour) return false;
      if (raw->rowID() != lastRowID + 1) return false;
    }
    // The size of the event's message as the bundle will carry it, counted without writing it.
    const std::optional<size_t> encodedSize = raw->rawEvent()->encodedProtoEventSize(true);
    const int64_t size = encodedSize ? static_cast<int64_t>(*encodedSize) : 0;
    if (index >= 1 && size + totalSize >= maxBytes) return false;
    totalSize += size;
    lastRowID = raw->rowID();
    accepted.push_back(std::move(raw));
    return true;
  };
  fnd::Error error;
  // Each row is made into its event once, as the walk reads it.
  if (!database_.visitRawEventsWithMetadataFingerprint(fingerprint, rowLimit, &error, visit) &&
      HasError(error)) {
    monitor_.logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error",
                          Describe(error));
    return std::nullopt;
  }
  return accepted;
}

bool ZIVBundler::isEventRejected(const ZIVEvent& event) const {
  const std::string& name = event.name();
  const fnd::Value internal = ZIVInternalEventNamesByPublicEventNames().get(fnd::Value(name));
  if (internal.isString() && settings_.blocklistInternal() && !settings_.blocklistPublic()) {
    return false;
  }
  if (settings_.isEventBlocklisted(name) ||
      (internal.isString() && settings_.isEventBlocklisted(internal.asString()))) {
    monitor_.logWithLevel(4, 23099, "Rejected event. Event name", FormattedName(name));
    return true;
  }
  if (settings_.redundantEngagementRemovalEnabled() && name == "_e" &&
      IntParameter(event, "_fr") == 1) {
    return true;
  }
  return false;
}

std::optional<std::vector<std::shared_ptr<ZIVEvent>>> ZIVBundler::processRawEvents(
    const std::vector<std::shared_ptr<ZIVRawEventData>>& rawEvents, int64_t fingerprint) {
  if (rawEvents.empty()) return std::vector<std::shared_ptr<ZIVEvent>>();
  const int64_t lastRowID = rawEvents.back()->rowID();
  std::vector<std::shared_ptr<ZIVRawEventData>> kept;
  for (const auto& raw : rawEvents) {
    if (!isEventRejected(*raw->rawEvent())) kept.push_back(raw);
  }
  if (kept.empty()) {
    if (!cleanupRawEvents(lastRowID, fingerprint)) return std::nullopt;
    monitor_.logWithLevel(4, 23100, "Rejected all events.");
    return std::vector<std::shared_ptr<ZIVEvent>>();
  }
  fnd::Error error;
  std::optional<ZIVDailyCounts> counts = database_.dailyCounts(&error);
  if (!counts) {
    monitor_.logWithLevel(1, 23101, "Failed to query daily event counts. Error", Describe(error));
    return std::nullopt;
  }
  bool countsChanged = false;
  std::vector<std::shared_ptr<ZIVEvent>> events;
  for (const auto& raw : kept) {
    auto internal = internalEventFromPublicEvent(raw);
    if (checkConversion(*internal, *counts)) countsChanged = true;
    if (checkRealtime(*internal, *counts)) countsChanged = true;
    auto purchase = processInAppPurchaseEvent(internal);
    events.push_back(purchase->rawEvent());
  }
  if (countsChanged) {
    fnd::Error updateError;
    if (!database_.updateDailyCounts(*counts, &updateError)) {
      monitor_.logWithLevel(2, 23106, "Failed to update daily event counts. Name, error",
                            Describe(updateError));
      return std::nullopt;
    }
  }
  return events;
}

std::shared_ptr<ZIVRawEventData> ZIVBundler::internalEventFromPublicEvent(
    const std::shared_ptr<ZIVRawEventData>& rawEvent) const {
  const ZIVEvent& event = *rawEvent->rawEvent();
  const fnd::Value internal =
      ZIVInternalEventNamesByPublicEventNames().get(fnd::Value(event.name()));
  if (!internal.isString()) return rawEvent;
  auto renamed =
      ZIVEvent::initWithOrigin(event.origin(), false, internal.asString(), event.timestamp(),
                               event.previousTimestamp(), event.parameters());
  return renamed ? WithEvent(*rawEvent, renamed) : rawEvent;
}

bool ZIVBundler::checkConversion(const ZIVRawEventData& rawEvent, ZIVDailyCounts& dailyCounts) {
  ZIVEvent& event = *rawEvent.rawEvent();
  if (settings_.isEventCustomConversion(event.name())) event.setConversion(true);
  if (event.name().empty() || event.name()[0] == '_' || !event.isConversion()) return false;
  const int32_t limit = settings_.maxConversionsPerDay();
  if (dailyCounts.conversionsCount() < limit) {
    dailyCounts.incrementCountsForCurrentDay(currentDay(), false, true);
    dailyCounts.decrementAllEventsCount();
    return true;
  }
  event.setConversion(false);
  monitor_.logWithLevel(3, 23102,
                        "Too many conversion events. Not logging event as conversion. Name, limit",
                        FormattedName(event.name()), fnd::Value(limit));
  return false;
}

bool ZIVBundler::checkRealtime(const ZIVRawEventData& rawEvent, ZIVDailyCounts& dailyCounts) {
  ZIVEvent& event = *rawEvent.rawEvent();
  if (!event.isRealtime() && !event.isConversion()) return false;
  const bool debug = isDebugMode();
  if (ZIVIsSubjectToMaxRealtimeCountPerDay(event, debug)) {
    if (dailyCounts.realtimeCount() < settings_.maxRealtimeEventCountPerDay()) {
      dailyCounts.incrementRealtimeCountsForCurrentDay(currentDay());
      event.setRealtime(true);
      monitor_.logWithLevel(7, 23103,
                            "Event is under real-time event count daily limit. Marking the event "
                            "as real-time. Event name, parameters",
                            FormattedName(event.name()), FormattedParameters(event));
      return true;
    }
    event.setRealtime(false);
    monitor_.logWithLevel(4, 23104,
                          "Number of real-time events is over the real-time event count daily "
                          "limit. Event is no longer real-time. Event name, parameters",
                          FormattedName(event.name()), FormattedParameters(event));
    return false;
  }
  if (ZIVIsSubjectToMaxDCURealtimeCountPerDay(event, debug)) {
    if (dailyCounts.dcuRealtimeCount() < settings_.maxRealtimeDCUEventCountPerDay()) {
      dailyCounts.incrementDCURealtimeCountsForCurrentDay(currentDay());
      event.setRealtime(true);
      return true;
    }
    event.setRealtime(false);
    return false;
  }
  event.setRealtime(true);
  monitor_.logWithLevel(7, 23105,
                        "Event is not subject to real-time event count daily limit. Marking an "
                        "event as real-time. Event name, parameters",
                        FormattedName(event.name()), FormattedParameters(event));
  return false;
}

std::shared_ptr<ZIVRawEventData> ZIVBundler::processInAppPurchaseEvent(
    const std::shared_ptr<ZIVRawEventData>& rawEvent) {
  const ZIVEvent& event = *rawEvent->rawEvent();
  if (event.name() != "_iap") return rawEvent;
  ZIVEvent::Parameters parameters = event.parameters();
  if (event.origin() == "app") {
    auto quantity = parameters.find("quantity");
    if (quantity == parameters.end() || !quantity->second ||
        !(quantity->second->isInt64() || quantity->second->isDouble())) {
      parameters["quantity"] = ZIVValue::initWithInt64(1);
    }
    for (const char* name : {"price", "value"}) {
      auto it = parameters.find(name);
      if (it == parameters.end() || !it->second) continue;
      if (!it->second->isInt64() && !it->second->isDouble()) continue;
      if (auto micros = purchases_.valueInMicros(*it->second)) {
        it->second = ZIVValue::initWithInt64(*micros);
      }
    }
  } else if (event.origin() == "auto") {
    if (!parameters.count("sandbox") && purchases_.isSandboxReceipt()) {
      parameters["sandbox"] = ZIVValue::initWithInt64(1);
    }
    if (!parameters.count("validated")) {
      parameters["validated"] = ZIVValue::initWithInt64(purchases_.validateStoreReceipt() ? 1 : 0);
    }
  } else {
    return rawEvent;
  }
  auto copy = event.copyWithParameters(parameters);
  return copy ? WithEvent(*rawEvent, copy) : rawEvent;
}

std::shared_ptr<ZIVEvent> ZIVBundler::purchaseEventWithCustomerTypeParam(
    const std::shared_ptr<ZIVEvent>& event, const AggregatesByName& unwritten) {
  if (!settings_.customerTypeEnabled() || !ZIVIsPurchaseEventName(event->name())) return event;
  fnd::Error error;
  auto all = database_.allEventAggregates(&error);
  if (!all) {
    monitor_.logWithLevel(1, 23274, "Failed to query all event aggregates. Error", Describe(error));
    return event;
  }
  auto isPurchased = [](const ZIVEventAggregates& aggregates) {
    return ZIVIsPurchaseEventName(aggregates.name()) && aggregates.lifetimeCount() > 0;
  };
  // The unwritten aggregates stand in for the stored rows of their names.
  const bool returning =
      std::any_of(all->begin(), all->end(),
                  [&](const auto& aggregates) {
                    return !unwritten.count(aggregates->name()) && isPurchased(*aggregates);
                  }) ||
      std::any_of(unwritten.begin(), unwritten.end(),
                  [&](const auto& entry) { return isPurchased(*entry.second); });
  ZIVEvent::Parameters parameters = event->parameters();
  parameters["_ct"] = ZIVValue::initWithString(std::string(returning ? "returning" : "new"));
  auto copy = event->copyWithParameters(parameters);
  return copy ? copy : event;
}

void ZIVBundler::evaluationTimeFromRawEvents(
    const std::vector<std::shared_ptr<ZIVRawEventData>>& rawEvents, Bundle& bundle) {
  const bool sessionStart = std::any_of(rawEvents.begin(), rawEvents.end(), [](const auto& raw) {
    return raw->rawEvent()->name() == "_s";
  });
  if (sessionStart) {
    if (environment_.audiences) {
      environment_.audiences->clearEvaluationResultsForSessionScopedFilters();
      auto properties =
          NANOGetArray(&bundle, Bundle::kUserAttributes, &APMPBUserAttribute::messageClass());
      for (const fnd::Value& item : properties.value_or(fnd::Array())) {
        auto property = item.recordAs<APMPBUserAttribute>();
        if (property && !environment_.audiences->evaluateFiltersForNanoUserProperty(
                            *property, nullptr, std::nullopt)) {
          return;
        }
      }
    }
    fnd::Error error;
    if (!database_.clearCurrentSessionCounts(&error)) {
      monitor_.logWithLevel(1, 23185, "Failed to clear event session counts. Error",
                            Describe(error));
      return;
    }
  }
  int64_t engagement = 0;
  for (const auto& raw : rawEvents) {
    const ZIVEvent& event = *raw->rawEvent();
    if (HasParameter(event, "_fr")) continue;
    if (auto et = IntParameter(event, "_et")) engagement = ZIVSaturatingAdd(engagement, *et);
  }
  if (!updateUserEngagement(engagement, bundle, false)) return;
  if (sessionStart) {
    fnd::Error error;
    if (!database_.deleteUserAttributeWithName("_se", &error) && HasError(error)) {
      monitor_.logWithLevel(1, 23188,
                            "Unable to delete session engagement property on session start. Error",
                            Describe(error));
      return;
    }
  }
  (void)updateUserEngagement(engagement, bundle, true);  // Failures are logged inside.
}

bool ZIVBundler::updateUserEngagement(int64_t amount, Bundle& bundle, bool sessionScoped) {
  const std::string name = sessionScoped ? "_se" : "_lte";
  if (amount < 0) {
    monitor_.logWithLevel(2, 23186, "User engagement time is negative.");
    return false;
  }
  if (amount == 0) return true;
  fnd::Error error;
  auto stored = database_.userAttributeWithName(name, &error);
  if (!stored && HasError(error)) {
    monitor_.logWithLevel(1, 23187,
                          "Failed to query for user engagement user property. Name, error",
                          fnd::Value(name), Describe(error));
    return false;
  }
  int64_t total = amount;
  if (stored && stored->value() && stored->value()->isInt64()) {
    total = ZIVSaturatingAdd(total, stored->value()->int64Value());
  }
  const double time = now();
  auto attribute =
      ZIVUserAttribute::initWithOrigin("auto", name, ZIVValue::initWithInt64(total), time);
  if (!attribute) return false;
  const bool stored_ok = environment_.setUserAttribute ? environment_.setUserAttribute(attribute)
                                                       : database_.updateUserAttribute(attribute);
  if (!stored_ok) return false;

  auto properties =
      NANOGetArray(&bundle, Bundle::kUserAttributes, &APMPBUserAttribute::messageClass())
          .value_or(fnd::Array());
  bool found = false;
  for (fnd::Value& item : properties) {
    auto property = item.recordAs<APMPBUserAttribute>();
    if (property && NANOGetString(property.get(), APMPBUserAttribute::kName).value_or("") == name) {
      NANOSetInt64(property.get(), APMPBUserAttribute::kIntValue, total);
      NANOSetInt64(property.get(), APMPBUserAttribute::kSetTimestampMillis,
                   ZIVMillisecondsFromSeconds(time));
      found = true;
    }
  }
  if (!found) {
    if (auto proto = attribute->protoUserAttribute()) {
      properties.emplace_back(std::static_pointer_cast<fnd::Record>(proto));
    }
  }
  NANOSetArray(&bundle, Bundle::kUserAttributes, &properties);
  return true;
}

void ZIVBundler::handleAnalyticsStorageConsentTransitions(const Bundle& bundle,
                                                          Deferred& deferred) {
  const std::string current = NANOGetString(&bundle, Bundle::kConsentSignals).value_or("");
  const std::string previous =
      environment_.persistedConfig
          ? environment_.persistedConfig->previousBundledConsentSignals().value_or("")
          : std::string();
  if (current == previous) return;
  const bool wasDenied = ZIVIsAnalyticsStorageDenied(previous);
  const bool isDenied = ZIVIsAnalyticsStorageDenied(current);
  fnd::Error error;
  if (!wasDenied && isDenied) {
    if (!database_.createEventsSnapshotTable(&error)) {
      monitor_.logWithLevel(4, 23266, "Unable to create table snapshot. Error", Describe(error));
    }
  } else if (wasDenied && !isDenied) {
    if (!database_.restoreFromEventsSnapshotTable(&error)) {
      monitor_.logWithLevel(4, 23267, "Unable to restore from table snapshot. Error",
                            Describe(error));
    }
  }
  deferred.consentSignals = current;
}

std::optional<std::vector<std::shared_ptr<ZIVEvent>>>
ZIVBundler::eventsAfterUpdatingEventAggregates(
    const std::vector<std::shared_ptr<ZIVEvent>>& events,
    const std::shared_ptr<ZIVAudienceTimestampsCache>& cache, bool allowEventFilterEvaluation) {
  std::vector<std::shared_ptr<ZIVEvent>> result;
  result.reserve(events.size());
  // The aggregates this loop has counted and not yet written, by name, with the index of each
  // name's last event. Each name's row is written once, when the loop ends, in the order of those
  // last events: the rows and their order are those that writing after every event leaves. Nothing
  // in the loop reads the events table but the customer-type check, which is shown these.
  AggregatesByName unwritten;
  std::map<std::string, size_t, std::less<>> lastEvent;
  auto writeUnwritten = [&]() -> bool {
    std::vector<std::pair<size_t, const ZIVEventAggregates*>> order;
    order.reserve(unwritten.size());
    for (const auto& [name, aggregates] : unwritten) {
      order.emplace_back(lastEvent.find(name)->second, aggregates.get());
    }
    std::sort(order.begin(), order.end());
    for (const auto& [index, aggregates] : order) {
      fnd::Error error;
      if (!database_.updateEventAggregates(*aggregates, &error)) {
        monitor_.logWithLevel(1, 23108, "Failed to update event aggregates. Error",
                              Describe(error));
        return false;
      }
    }
    unwritten.clear();
    lastEvent.clear();
    return true;
  };
  for (size_t index = 0; index < events.size(); ++index) {
    std::shared_ptr<ZIVEvent> event = purchaseEventWithCustomerTypeParam(events[index], unwritten);
    fnd::Error error;
    std::shared_ptr<ZIVEventAggregates> aggregates;
    if (auto known = unwritten.find(event->name()); known != unwritten.end()) {
      aggregates = known->second;
    } else {
      aggregates = database_.eventAggregatesWithName(event->name(), &error);
    }
    if (!aggregates && HasError(error)) {
      monitor_.logWithLevel(1, 23107, "Failed to query event aggregates. Name, error",
                            FormattedName(event->name()), Describe(error));
      return std::nullopt;
    }
    if (aggregates) {
      if (auto copy = event->copyWithPreviousTimestamp(aggregates->lastFireTimestamp())) {
        // The copy keeps the flags of the original.
        event = copy;
      }
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentSessionCount();
      aggregates->setLastFireTimestamp(event->timestamp());
    } else {
      aggregates = ZIVEventAggregates::initWithName(event->name(), 1, 1, 1, event->timestamp());
      if (!aggregates) {
        monitor_.logWithLevel(1, 23108, "Failed to update event aggregates. Error",
                              fnd::Value("Invalid event name"));
        return std::nullopt;
      }
    }
    unwritten[aggregates->name()] = aggregates;
    lastEvent[aggregates->name()] = index;
    // A time that is not a number, or a negative zero, does not read back as itself: such a row
    // is written at once (with the rows before it) and the next event of its name reads it.
    if (!ReadsBackExactly(aggregates->lastFireTimestamp()) ||
        !ReadsBackExactly(aggregates->lastBundledTimestamp())) {
      if (!writeUnwritten()) return std::nullopt;
    }
    if (allowEventFilterEvaluation && environment_.audiences &&
        !environment_.audiences->evaluateFiltersForEvent(*event, *aggregates, cache)) {
      return std::nullopt;
    }
    result.push_back(std::move(event));
  }
  if (!writeUnwritten()) return std::nullopt;
  return result;
}

bool ZIVBundler::updateAppMetadataForBundle(Bundle& bundle, int32_t eventCount, double start,
                                            double end) {
  fnd::Error error;
  std::optional<ZIVAppMetadata> metadata = database_.queryAppMetadata(&error);
  if (!metadata) {
    monitor_.logWithLevel(1, 23111, "Unable to fetch app metadata for bundling events. Error",
                          Describe(error));
    return false;
  }
  const int64_t previousEnd = ZIVMillisecondsFromSeconds(metadata->lastBundleEndTimestamp());
  int64_t previousStart = ZIVMillisecondsFromSeconds(metadata->lastBundleStartTimestamp());
  if (previousStart <= 0) previousStart = previousEnd;
  if (previousEnd > 0) NANOSetInt64(&bundle, Bundle::kPreviousBundleEndTimestamp, previousEnd);
  if (previousStart > 0) {
    NANOSetInt64(&bundle, Bundle::kPreviousBundleStartTimestamp, previousStart);
  }
  metadata->increaseLastBundleIndex(eventCount);
  metadata->incrementLastDeliveryIndex();
  metadata->setLastBundleStartTimestamp(start);
  metadata->setLastBundleEndTimestamp(end);
  NANOSetInt32(&bundle, Bundle::kBundleIndex, metadata->lastBundleIndex());
  NANOSetInt32(&bundle, Bundle::kDeliveryIndex, metadata->lastDeliveryIndex());
  error = fnd::Error();
  if (!database_.updateAppMetadata(*metadata, &error)) {
    monitor_.logWithLevel(1, 23112, "Unable to update the app metadata. Error", Describe(error));
    return false;
  }
  return true;
}

void ZIVBundler::addBundleMetadataIntoBundle(Bundle& bundle, double start, double end,
                                             Deferred& deferred) {
  std::vector<int64_t> experiments = settings_.experimentIDs();
  if (!experiments.empty()) {
    fnd::Array ids;
    for (int64_t id : experiments) ids.emplace_back(fnd::Value::Int64(id));
    NANOSetArray(&bundle, Bundle::kExperimentIds, &ids);
  }
  const double lastSample = environment_.persistedConfig
                                ? environment_.persistedConfig->lastMonitorDataSampledTimestamp()
                                : 0;
  auto health = monitor_.monitoringDataForDispatchWithSamplePeriod(
      settings_.monitoringSamplePeriod(), lastSample);
  if (health && !health->empty()) {
    NANOSetString(&bundle, Bundle::kMonitoringData, *health);
    deferred.monitorSampleTime = now();
  }
  const int64_t version = settings_.version();
  if (version >= 0) NANOSetInt64(&bundle, Bundle::kConfigVersion, version);
  if (NANOGetString(&bundle, Bundle::kAppId).value_or("").empty() && environment_.appID) {
    NANOSetString(&bundle, Bundle::kAppId, environment_.appID());
  }
  NANOSetInt64(&bundle, Bundle::kStartTimestampMillis, ZIVMillisecondsFromSeconds(start));
  NANOSetInt64(&bundle, Bundle::kEndTimestampMillis, ZIVMillisecondsFromSeconds(end));
}

bool ZIVBundler::cleanupRawEvents(int64_t maxRowID, int64_t fingerprint) {
  fnd::Error error;
  if (!database_.deleteRawEventsWithMaxRowID(maxRowID, &error)) {
    monitor_.logWithLevel(1, 23119, "Unable to delete raw events. RowID, error",
                          fnd::Value::Int64(maxRowID), Describe(error));
    return false;
  }
  error = fnd::Error();
  std::optional<bool> remains =
      database_.containsRawEventWithMetadataFingerprint(fingerprint, &error);
  if (!remains) {
    monitor_.logWithLevel(1, 23120, "Unable to query existence of raw event. Metadata, error",
                          fnd::Value::Int64(fingerprint), Describe(error));
    return false;
  }
  if (!*remains) {
    error = fnd::Error();
    if (!database_.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error)) {
      monitor_.logWithLevel(1, 23121, "Unable to delete raw event metadata. Metadata, error",
                            fnd::Value::Int64(fingerprint), Describe(error));
      return false;
    }
  }
  return true;
}

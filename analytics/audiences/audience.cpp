#include "analytics/audiences/audience.h"

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "analytics/audiences/audience_messages.h"
#include "analytics/audiences/filter_evaluation.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/name_tables.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/storage/database.h"

namespace {

ZIVMonitor& Monitor() { return *ZIVMeasurement::monitor(); }

// A database call failed only when it also reported an error.
bool Failed(const fnd::Error& error) { return error.code() != 0 || !error.domain().empty(); }

std::optional<std::string> Renamed(const fnd::Dictionary& table, const std::string& name) {
  const fnd::Value* renamed = table.find(fnd::Value(name));
  if (!renamed || !renamed->isString()) return std::nullopt;
  return renamed->asString();
}

struct ResultWords {
  std::vector<uint64_t> status;
  std::vector<uint64_t> results;
};

ResultWords WordsOf(const APMPBResultData* data) {
  return {ZIVAudienceWordsOfField(data, APMPBResultData::kTag1Bits),
          ZIVAudienceWordsOfField(data, APMPBResultData::kTag2Bits)};
}

std::shared_ptr<APMPBResultData> DecodedResults(const fnd::Data& data) {
  if (data.empty()) return nullptr;
  return APMPBResultData::initWithBuffer(data);
}

}  // namespace

bool ZIVIsAudienceEvaluated(const std::vector<uint64_t>& status) {
  for (uint64_t word : status) {
    if (word != 0) return true;
  }
  return false;
}

std::shared_ptr<ZIVAudience> ZIVAudience::initWithDatabase(std::shared_ptr<ZIVDatabase> database,
                                                           Environment environment) {
  if (!database) return nullptr;
  return std::shared_ptr<ZIVAudience>(new ZIVAudience(std::move(database), std::move(environment)));
}

ZIVAudience::ZIVAudience(std::shared_ptr<ZIVDatabase> database, Environment environment)
    : database_(std::move(database)),
      settings_(environment.settings ? std::move(environment.settings)
                                     : std::make_shared<const ZIVAudienceSettings>()) {}

// ---- Definitions.

bool ZIVAudience::updateAudiences(const fnd::Array& audiences) {
  std::vector<std::shared_ptr<APMPBAudience>> typed;
  typed.reserve(audiences.size());
  for (const fnd::Value& item : audiences) {
    const std::shared_ptr<fnd::Record>* record = item.record();
    // Anything else stays in the list as a null audience, which validation refuses.
    typed.push_back(record ? std::dynamic_pointer_cast<APMPBAudience>(*record) : nullptr);
  }
  return updateAudiences(typed);
}

bool ZIVAudience::updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
  const int32_t maxAudienceCount = settings_->maxAudienceCount();
  if (audiences.size() > static_cast<size_t>(std::max(maxAudienceCount, 0))) {
    Monitor().logWithLevel(
        2, 6008,
        "Configuration contains too many audiences. Audiences will not be saved. Audience count",
        fnd::Value(static_cast<int64_t>(audiences.size())));
    return true;
  }

  std::set<int32_t> acceptedIDs;
  std::vector<ZIVEventFilter> eventFilters;
  std::vector<ZIVPropertyFilter> propertyFilters;
  for (const auto& audience : audiences) {
    fnd::Error error;
    if (!ZIVIsValidAudienceProto(audience.get(), acceptedIDs, *settings_, &error)) {
      Monitor().logWithLevel(
          2, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
          ZIVAudienceMessageContext(audience.get()), ZIVErrorContext(error));
      continue;
    }
    const int32_t audienceID = NANOGetInt32(audience.get(), APMPBAudience::kAudienceId);
    acceptedIDs.insert(audienceID);

    for (const auto& filter : ZIVAudienceMessagesOfField<APMPBEventFilter>(
             audience.get(), APMPBAudience::kEventFilters)) {
      std::string eventName =
          NANOGetString(filter.get(), APMPBEventFilter::kEventName).value_or("");
      if (auto internal = Renamed(ZIVInternalEventNames(), eventName)) {
        eventName = *internal;
        NANOSetString(filter.get(), APMPBEventFilter::kEventName, fnd::Value(eventName));
      }
      auto parameterFilters = ZIVAudienceMessagesOfField<APMPBFilter>(
          filter.get(), APMPBEventFilter::kParameterFilters);
      bool renamedParameter = false;
      for (const auto& parameterFilter : parameterFilters) {
        std::string name =
            NANOGetString(parameterFilter.get(), APMPBFilter::kParameterName).value_or("");
        if (auto internal = Renamed(ZIVInternalParameterNames(), name)) {
          NANOSetString(parameterFilter.get(), APMPBFilter::kParameterName, fnd::Value(*internal));
          renamedParameter = true;
        }
      }
      if (renamedParameter) {
        ZIVAudienceSetMessagesOfField(filter.get(), APMPBEventFilter::kParameterFilters,
                                      parameterFilters);
      }
      ZIVEventFilter stored;
      stored.audienceID = audienceID;
      stored.filterID = NANOGetInt32(filter.get(), APMPBEventFilter::kFilterId);
      stored.eventName = eventName;
      stored.data = filter->protoBuffer().value_or(fnd::Data());
      stored.sessionScoped = NANOGetBool(filter.get(), APMPBEventFilter::kTag8Flag);
      stored.dynamic = NANOGetBool(filter.get(), APMPBEventFilter::kTag6Flag);
      stored.sequence = NANOGetBool(filter.get(), APMPBEventFilter::kTag7Flag);
      eventFilters.push_back(std::move(stored));
    }

    for (const auto& filter : ZIVAudienceMessagesOfField<APMPBPropertyFilter>(
             audience.get(), APMPBAudience::kPropertyFilters)) {
      std::string propertyName =
          NANOGetString(filter.get(), APMPBPropertyFilter::kPropertyName).value_or("");
      if (auto internal = Renamed(ZIVInternalUserPropertyNames(), propertyName)) {
        propertyName = *internal;
        NANOSetString(filter.get(), APMPBPropertyFilter::kPropertyName, fnd::Value(propertyName));
      }
      ZIVPropertyFilter stored;
      stored.audienceID = audienceID;
      stored.filterID = NANOGetInt32(filter.get(), APMPBPropertyFilter::kFilterId);
      stored.propertyName = propertyName;
      stored.data = filter->protoBuffer().value_or(fnd::Data());
      stored.sessionScoped = NANOGetBool(filter.get(), APMPBPropertyFilter::kTag6Flag);
      stored.dynamic = NANOGetBool(filter.get(), APMPBPropertyFilter::kTag4Flag);
      stored.sequence = NANOGetBool(filter.get(), APMPBPropertyFilter::kTag5Flag);
      propertyFilters.push_back(std::move(stored));
    }
  }

  if (!maybeDeleteStaleFilterResults(acceptedIDs)) return false;

  struct Step {
    bool run;
    std::function<bool(fnd::Error*)> call;
    int64_t code;
    const char* message;
  };
  const Step steps[] = {
      {true, [&](fnd::Error* e) { return database_->deleteAllEventFilters(e); }, 6010,
       "Unable to delete existing Audience event filters. Audiences will not be saved. Error"},
      {true, [&](fnd::Error* e) { return database_->deleteAllPropertyFilters(e); }, 6011,
       "Unable to delete existing Audience user property filters. Audiences will not be saved. "
       "Error"},
      {!eventFilters.empty(),
       [&](fnd::Error* e) { return database_->updateEventFilters(eventFilters, e); }, 6012,
       "Unable to save Audience event filters. Audiences will not be saved. Error"},
      {!propertyFilters.empty(),
       [&](fnd::Error* e) { return database_->updatePropertyFilters(propertyFilters, e); }, 6013,
       "Unable to save Audience user property filters. Audiences will not be saved. Error"},
  };
  for (const Step& step : steps) {
    if (!step.run) continue;
    fnd::Error error;
    if (!step.call(&error) && Failed(error)) {
      Monitor().logWithLevel(1, step.code, step.message, ZIVErrorContext(error));
      return false;
    }
  }
  return true;
}

bool ZIVAudience::maybeDeleteStaleFilterResults(const std::set<int32_t>& audienceIDs) {
  fnd::Error error;
  auto results = database_->allFilterResults(&error);
  if (!results && Failed(error)) {
    Monitor().logWithLevel(
        1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error",
        ZIVErrorContext(error));
    return false;
  }
  const size_t count = results ? results->size() : 0;
  const int32_t maxCount = settings_->maxFilterResultCount();
  if (count <= static_cast<size_t>(std::max(maxCount, 0))) return true;
  Monitor().logWithLevel(3, 6016,
                         "Too many Audience filter results. Deleting filter results for deleted "
                         "Audiences. Filter result count, max filter result count",
                         fnd::Value(static_cast<int64_t>(count)), fnd::Value(maxCount));
  error = fnd::Error();
  auto storedIDs = database_->allAudienceIDs(&error);
  if (!storedIDs && Failed(error)) {
    Monitor().logWithLevel(
        1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error",
        ZIVErrorContext(error));
    return false;
  }
  std::vector<ZIVFilterResult> stale;
  for (const auto& [audienceID, result] : *results) {
    if (audienceIDs.count(audienceID)) continue;
    if (storedIDs && storedIDs->count(audienceID)) continue;
    stale.push_back(result);
  }
  // Every result may belong to a defined audience; an empty delete would fail the update.
  if (stale.empty()) return true;
  error = fnd::Error();
  if (!database_->deleteFilterResults(stale, &error) && Failed(error)) {
    Monitor().logWithLevel(
        1, 6018,
        "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
        ZIVErrorContext(error));
    return false;
  }
  return true;
}

// ---- Evaluation.

bool ZIVAudience::evaluateFiltersForEvent(const ZIVEvent& event,
                                          const ZIVEventAggregates* eventAggregates,
                                          ZIVAudienceTimestampsCache* audienceTimestampsCache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates,
                                     event.timestamp(), audienceTimestampsCache);
}

namespace {

// The results of one pass: what this pass updated, and what it read and did not change.
class PassResults {
 public:
  PassResults(ZIVDatabase& database) : database_(database) {}

  // The audience's current result: updated in this pass, else read in this pass, else read now.
  // False with *error when the read failed.
  bool current(int32_t audienceID, std::optional<ZIVFilterResult>* result, fnd::Error* error) {
    if (auto it = updated_.find(audienceID); it != updated_.end()) {
      *result = it->second;
      return true;
    }
    if (auto it = read_.find(audienceID); it != read_.end()) {
      *result = it->second;
      return true;
    }
    *result = database_.filterResultForAudienceID(audienceID, error);
    if (!*result && Failed(*error)) return false;
    read_[audienceID] = *result;
    return true;
  }
  void update(ZIVFilterResult result) {
    read_.erase(result.audienceID);
    const int32_t audienceID = result.audienceID;
    updated_[audienceID] = std::move(result);
  }
  std::vector<ZIVFilterResult> updated() const {
    std::vector<ZIVFilterResult> out;
    for (const auto& [audienceID, result] : updated_) out.push_back(result);
    return out;
  }

 private:
  ZIVDatabase& database_;
  std::map<int32_t, ZIVFilterResult> updated_;
  std::map<int32_t, std::optional<ZIVFilterResult>> read_;
};

}  // namespace

bool ZIVAudience::evaluateFiltersForEventName(const std::string& eventName,
                                              const ZIVEvent::Parameters& eventParameters,
                                              const ZIVEventAggregates* eventAggregates,
                                              double eventTimestamp,
                                              ZIVAudienceTimestampsCache* audienceTimestampsCache) {
  ZIVAudienceTimestampsCache localCache;
  ZIVAudienceTimestampsCache& cache =
      audienceTimestampsCache ? *audienceTimestampsCache : localCache;
  const fnd::Value formattedName = fnd::Value(ZIVFormattedEventName(fnd::Value(eventName)));
  fnd::Error error;
  auto filters = database_->eventFiltersForEventName(eventName, &error);
  if (!filters && Failed(error)) {
    Monitor().logWithLevel(
        1, 6000,
        "Unable to query event filters for event. Event will not be evaluated. Event name, error",
        formattedName, ZIVErrorContext(error));
    return false;
  }
  if (!filters || filters->empty()) return true;

  PassResults pass(*database_);
  for (const ZIVEventFilter& filter : *filters) {
    std::optional<ZIVFilterResult> current;
    error = fnd::Error();
    if (!pass.current(filter.audienceID, &current, &error)) {
      Monitor().logWithLevel(1, 6001,
                             "Unable to query filter result for audience. Event will not be "
                             "evaluated. Event name, error",
                             formattedName, ZIVErrorContext(error));
      return false;
    }
    const bool previouslyTrue = isFilterResult(current, filter.filterID);
    if (!ZIVShouldEvaluateFilter(previouslyTrue, filter)) continue;
    std::optional<bool> outcome =
        ZIVGetEventFilterEvaluationResult(filter, eventParameters, eventAggregates);
    if (!outcome) continue;
    cache.populateCachedTimestamps(current, filter.audienceID);
    if (*outcome) {
      cache.addEvaluationTimestamp(eventTimestamp, filter);
    } else if (previouslyTrue) {
      outcome = true;  // An event filter, once true, stays true.
    }
    pass.update(updatedFilterResultWithFilterID(filter.filterID, filter.audienceID, current,
                                                outcome, cache));
  }

  std::vector<ZIVFilterResult> updated = pass.updated();
  if (updated.empty()) return true;
  error = fnd::Error();
  if (!database_->updateFilterResults(updated, &error) && Failed(error)) {
    Monitor().logWithLevel(1, 6003,
                           "Unable to save updated Audience filter results. Event will not be "
                           "evaluated. Event name, error",
                           formattedName, ZIVErrorContext(error));
    return false;
  }
  return true;
}

bool ZIVAudience::evaluateFiltersForUserProperty(
    const ZIVUserAttribute& userProperty, ZIVAudienceTimestampsCache* audienceTimestampsCache,
    double evaluationTimestamp) {
  ZIVAudienceTimestampsCache localCache;
  ZIVAudienceTimestampsCache& cache =
      audienceTimestampsCache ? *audienceTimestampsCache : localCache;
  const fnd::Value formattedName =
      fnd::Value(ZIVFormattedUserPropertyName(fnd::Value(userProperty.name())));
  fnd::Error error;
  auto filters = database_->propertyFiltersForPropertyName(userProperty.name(), &error);
  if (!filters && Failed(error)) {
    Monitor().logWithLevel(1, 6004,
                           "Unable to query property filters for property. Property will not be "
                           "evaluated. Property name, error",
                           formattedName, ZIVErrorContext(error));
    return false;
  }
  if (!filters || filters->empty()) return true;

  PassResults pass(*database_);
  for (const ZIVPropertyFilter& filter : *filters) {
    std::optional<ZIVFilterResult> current;
    error = fnd::Error();
    if (!pass.current(filter.audienceID, &current, &error)) {
      Monitor().logWithLevel(1, 6005,
                             "Unable to query filter result for audience. Property will not be "
                             "evaluated. Property name, error",
                             formattedName, ZIVErrorContext(error));
      return false;
    }
    const bool previouslyTrue = isFilterResult(current, filter.filterID);
    if (!ZIVShouldEvaluateFilter(previouslyTrue, filter)) continue;
    std::optional<bool> outcome =
        ZIVGetPropertyFilterEvaluationResult(previouslyTrue, filter, userProperty);
    if (!outcome) continue;
    cache.populateCachedTimestamps(current, filter.audienceID);
    if (*outcome) cache.addEvaluationTimestamp(evaluationTimestamp, filter);
    const bool kept =
        ZIVShouldUpdatePropertyFilterEvaluationResult(*outcome, filter) ? *outcome : previouslyTrue;
    pass.update(
        updatedFilterResultWithFilterID(filter.filterID, filter.audienceID, current, kept, cache));
  }

  std::vector<ZIVFilterResult> updated = pass.updated();
  if (updated.empty()) return true;
  error = fnd::Error();
  if (!database_->updateFilterResults(updated, &error) && Failed(error)) {
    Monitor().logWithLevel(1, 6007,
                           "Unable to save updated Audience filter results. User property will "
                           "not be evaluated. User property name, error",
                           formattedName, ZIVErrorContext(error));
    return false;
  }
  return true;
}

bool ZIVAudience::evaluateFiltersForNanoUserProperty(
    const APMPBUserAttribute* userProperty, ZIVAudienceTimestampsCache* audienceTimestampsCache,
    std::optional<double> evaluationTime) {
  std::shared_ptr<ZIVUserAttribute> attribute = ZIVConvertNanoToUserProperty(userProperty);
  if (!attribute) {
    Monitor().logWithLevel(2, 6039, "Could not convert user property from nano format.");
    return false;
  }
  return evaluateFiltersForUserProperty(*attribute, audienceTimestampsCache,
                                        evaluationTime.value_or(attribute->lastSetTimestamp()));
}

// ---- Results.

bool ZIVAudience::isFilterResult(const std::optional<ZIVFilterResult>& filterResult,
                                 int32_t filterID) {
  if (!filterResult || filterResult->currentResults.empty() || filterID < 0) return false;
  std::shared_ptr<APMPBResultData> data = DecodedResults(filterResult->currentResults);
  const ResultWords words = WordsOf(data.get());
  if (words.status.empty() || words.results.empty()) {
    Monitor().logWithLevel(2, 6023,
                           "Audience filter result is non-nil and is missing status or results "
                           "array. Audience result will not be bundled. Audience ID, result data",
                           fnd::Value(filterResult->audienceID),
                           fnd::Value(filterResult->currentResults));
    return false;
  }
  const size_t index = static_cast<size_t>(ZIVIndexFromFilterID(filterID));
  if (index >= words.status.size()) return false;
  const uint64_t bit = uint64_t{1} << ZIVBitShiftFromFilterID(filterID);
  const uint64_t result = index < words.results.size() ? words.results[index] : 0;
  return (words.status[index] & bit) && (result & bit);
}

ZIVFilterResult ZIVAudience::updatedFilterResultWithFilterID(
    int32_t filterID, int32_t audienceID, const std::optional<ZIVFilterResult>& currentFilterResult,
    std::optional<bool> newEvaluationResult,
    const ZIVAudienceTimestampsCache& audienceTimestampsCache) {
  ZIVFilterResult updated;
  updated.audienceID = audienceID;
  if (currentFilterResult) updated.previousResults = currentFilterResult->previousResults;
  std::shared_ptr<APMPBResultData> stored =
      currentFilterResult ? DecodedResults(currentFilterResult->currentResults) : nullptr;
  ResultWords words = WordsOf(stored.get());
  if (filterID >= 0) {
    const size_t index = static_cast<size_t>(ZIVIndexFromFilterID(filterID));
    if (words.status.size() <= index) words.status.resize(index + 1, 0);
    if (words.results.size() <= index) words.results.resize(index + 1, 0);
    const uint64_t bit = uint64_t{1} << ZIVBitShiftFromFilterID(filterID);
    if (newEvaluationResult) {
      words.status[index] |= bit;
    } else {
      words.status[index] &= ~bit;
    }
    if (newEvaluationResult && *newEvaluationResult) {
      words.results[index] |= bit;
    } else {
      words.results[index] &= ~bit;
    }
  }
  auto data = APMPBResultData::initWithMessageInfo(nullptr);
  ZIVAudienceSetWordsOfField(data.get(), APMPBResultData::kTag1Bits, words.status);
  ZIVAudienceSetWordsOfField(data.get(), APMPBResultData::kTag2Bits, words.results);
  ZIVAudienceSetMessagesOfField(data.get(), APMPBResultData::kDynamicTimestamps,
                                audienceTimestampsCache.dynamicTimestampsForAudienceID(audienceID));
  auto sequence = audienceTimestampsCache.sequenceTimestampsForAudienceID(audienceID);
  if (sequence && !sequence->empty()) {
    ZIVAudienceSetMessagesOfField(data.get(), APMPBResultData::kSequenceTimestamps, *sequence);
  }
  updated.currentResults = data->protoBuffer().value_or(fnd::Data());
  return updated;
}

bool ZIVAudience::resultsForBundling(LeafResults* results) {
  LeafResults leaves;
  if (results) results->clear();
  fnd::Error error;
  auto stored = database_->allFilterResults(&error);
  if (!stored && Failed(error)) {
    Monitor().logWithLevel(
        1, 6019,
        "Unable to query Audience filter results. Audience results will not be bundled. Error",
        ZIVErrorContext(error));
    return false;
  }
  std::vector<ZIVFilterResult> staged;
  if (stored) {
    for (const auto& [audienceID, result] : *stored) {
      std::shared_ptr<APMPBResultData> current = DecodedResults(result.currentResults);
      if (!current) {
        Monitor().logWithLevel(
            2, 6020, "Current result data is nil. Audience result will not be bundled. Audience ID",
            fnd::Value(audienceID));
        continue;
      }
      if (!ZIVIsAudienceEvaluated(WordsOf(current.get()).status)) {
        Monitor().logWithLevel(
            2, 6021, "Current result status is 0. Audience result will not be bundled. Audience ID",
            fnd::Value(audienceID));
        continue;
      }
      auto leaf = APMPBAudienceLeafFilterResult::initWithMessageInfo(nullptr);
      NANOSetInt32(leaf.get(), APMPBAudienceLeafFilterResult::kAudienceId, audienceID);
      if (!result.previousResults.empty()) {
        NANOSetBool(leaf.get(), APMPBAudienceLeafFilterResult::kTag4Flag, false);
        if (result.previousResults == result.currentResults) {
          // Unchanged since the last bundle: only the latest time of the first sequence filter.
          auto sequences = ZIVAudienceMessagesOfField<APMPBSequenceFilterResultTimestamp>(
              current.get(), APMPBResultData::kSequenceTimestamps);
          if (!sequences.empty()) {
            std::vector<uint64_t> times = ZIVAudienceWordsOfField(
                sequences.front().get(), APMPBSequenceFilterResultTimestamp::kTimestamps);
            if (times.size() > 1) {
              ZIVAudienceSetWordsOfField(sequences.front().get(),
                                         APMPBSequenceFilterResultTimestamp::kTimestamps,
                                         {times.back()});
              ZIVAudienceSetMessagesOfField(current.get(), APMPBResultData::kSequenceTimestamps,
                                            sequences);
            }
          }
        } else if (auto previous = DecodedResults(result.previousResults)) {
          NANOSetMessage(leaf.get(), APMPBAudienceLeafFilterResult::kTag3Data, previous.get());
        }
      } else {
        NANOSetBool(leaf.get(), APMPBAudienceLeafFilterResult::kTag4Flag, true);
        NANOClearField(leaf.get(), APMPBAudienceLeafFilterResult::kTag3Data);
      }
      NANOSetMessage(leaf.get(), APMPBAudienceLeafFilterResult::kTag2Data, current.get());
      leaves.push_back(leaf);
      staged.push_back(ZIVFilterResult{audienceID, current->protoBuffer().value_or(fnd::Data()),
                                       result.currentResults});
    }
  }
  // Nothing to stage is not a failure: an empty save would roll back every bundle.
  if (!staged.empty()) {
    error = fnd::Error();
    if (!database_->updateFilterResults(staged, &error) && Failed(error)) {
      Monitor().logWithLevel(1, 6022,
                             "Unable to save updated Audience filter results. Audience results "
                             "will not be bundled. Error",
                             ZIVErrorContext(error));
      return false;
    }
  }
  if (results) *results = std::move(leaves);
  return true;
}

bool ZIVAudience::clearEvaluationResultsForSessionScopedFilters() {
  fnd::Error error;
  auto sessionScoped = database_->allSessionScopedFilters(&error);
  if (!sessionScoped && Failed(error)) {
    Monitor().logWithLevel(1, 6040,
                           "Unable to query all session scoped filters. Session scoped results "
                           "will not be cleared. Error",
                           ZIVErrorContext(error));
    return false;
  }
  error = fnd::Error();
  auto stored = database_->allFilterResults(&error);
  if (!stored && Failed(error)) {
    Monitor().logWithLevel(
        1, 6041,
        "Unable to query all filter results. Session scoped results will not be cleared. Error",
        ZIVErrorContext(error));
    return false;
  }
  if (!sessionScoped || !stored) return true;
  for (const auto& [audienceID, filterIDs] : *sessionScoped) {
    auto it = stored->find(audienceID);
    if (it == stored->end()) continue;
    const ZIVFilterResult& result = it->second;
    std::shared_ptr<APMPBResultData> current = DecodedResults(result.currentResults);
    ResultWords words = WordsOf(current.get());
    for (int32_t filterID : filterIDs) {
      if (filterID < 0) continue;
      const size_t index = static_cast<size_t>(ZIVIndexFromFilterID(filterID));
      const uint64_t bit = uint64_t{1} << ZIVBitShiftFromFilterID(filterID);
      if (index < words.status.size()) words.status[index] &= ~bit;
      if (index < words.results.size()) words.results[index] &= ~bit;
    }
    if (ZIVIsAudienceEvaluated(words.status)) {
      auto cleared = APMPBResultData::initWithMessageInfo(nullptr);
      ZIVAudienceSetWordsOfField(cleared.get(), APMPBResultData::kTag1Bits, words.status);
      ZIVAudienceSetWordsOfField(cleared.get(), APMPBResultData::kTag2Bits, words.results);
      std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> dynamic;
      for (auto& item : ZIVAudienceMessagesOfField<APMPBDynamicFilterResultTimestamp>(
               current.get(), APMPBResultData::kDynamicTimestamps)) {
        if (!filterIDs.count(
                NANOGetInt32(item.get(), APMPBDynamicFilterResultTimestamp::kFilterId))) {
          dynamic.push_back(std::move(item));
        }
      }
      std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> sequence;
      for (auto& item : ZIVAudienceMessagesOfField<APMPBSequenceFilterResultTimestamp>(
               current.get(), APMPBResultData::kSequenceTimestamps)) {
        if (!filterIDs.count(
                NANOGetInt32(item.get(), APMPBSequenceFilterResultTimestamp::kFilterId))) {
          sequence.push_back(std::move(item));
        }
      }
      ZIVAudienceSetMessagesOfField(cleared.get(), APMPBResultData::kDynamicTimestamps, dynamic);
      ZIVAudienceSetMessagesOfField(cleared.get(), APMPBResultData::kSequenceTimestamps, sequence);
      error = fnd::Error();
      ZIVFilterResult row{audienceID, cleared->protoBuffer().value_or(fnd::Data()),
                          result.currentResults};
      if (!database_->updateFilterResults({row}, &error) && Failed(error)) {
        Monitor().logWithLevel(
            2, 6043,
            "Unable to update filter results. Session scoped results will not be cleared. Error",
            ZIVErrorContext(error));
        return false;
      }
    } else {
      error = fnd::Error();
      if (!database_->deleteFilterResults({result}, &error) && Failed(error)) {
        Monitor().logWithLevel(
            1, 6042,
            "Unable to delete filter results. Session scoped results will not be cleared. Error",
            ZIVErrorContext(error));
        return false;
      }
    }
  }
  return true;
}

#include "analytics/audiences/audience_timestamps_cache.h"

#include <algorithm>
#include <cmath>

#include "analytics/audiences/audience_messages.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"

namespace {

// Whole seconds as the messages carry them; a value out of the 64-bit range is clamped.
int64_t WholeSeconds(double timestamp) {
  if (!std::isfinite(timestamp)) return 0;
  if (timestamp >= 9.2e18) return INT64_MAX;
  if (timestamp <= -9.2e18) return INT64_MIN;
  return static_cast<int64_t>(timestamp);
}

}  // namespace

// ---- ZIVSequenceTimestampsCache.

std::shared_ptr<ZIVSequenceTimestampsCache> ZIVSequenceTimestampsCache::initWithAudienceID(
    std::optional<int32_t> audienceID) {
  if (!audienceID) return nullptr;
  return std::shared_ptr<ZIVSequenceTimestampsCache>(new ZIVSequenceTimestampsCache(*audienceID));
}

std::optional<std::vector<double>> ZIVSequenceTimestampsCache::sequenceTimestampsForFilterID(
    int32_t filterID) const {
  auto it = allSequenceTimestampsByFilterID_.find(filterID);
  if (it == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
  return it->second;
}

void ZIVSequenceTimestampsCache::addEventFilterTimestamp(double timestamp,
                                                         std::optional<int32_t> filterID) {
  if (!filterID) return;
  std::vector<double>& times = allSequenceTimestampsByFilterID_[*filterID];
  if (!times.empty() && timestamp < times.back()) {
    ZIVMeasurement::monitor()->logWithLevel(
        5, 42000, "Adding a sequence timestamp less than the last added timestamp",
        fnd::Value(timestamp), fnd::Value(times.back()));
  }
  if (!times.empty() && WholeSeconds(times.back()) == WholeSeconds(timestamp)) return;
  times.push_back(timestamp);
}

void ZIVSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp,
                                                          std::optional<int32_t> filterID) {
  if (!filterID) return;
  std::vector<double>& times = allSequenceTimestampsByFilterID_[*filterID];
  if (!times.empty() && timestamp < times.back()) {
    ZIVMeasurement::monitor()->logWithLevel(
        5, 42001, "Setting a sequence timestamp less than the last set timestamp",
        fnd::Value(timestamp), fnd::Value(times.back()));
  }
  times.assign(1, timestamp);
}

std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
ZIVSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> out;
  for (const auto& [filterID, times] : allSequenceTimestampsByFilterID_) {
    auto message = APMPBSequenceFilterResultTimestamp::initWithMessageInfo(nullptr);
    if (!message) continue;
    NANOSetInt32(message.get(), APMPBSequenceFilterResultTimestamp::kFilterId, filterID);
    if (!times.empty()) {
      std::vector<double> sorted = times;
      std::sort(sorted.begin(), sorted.end());
      fnd::Array items;
      for (double time : sorted) items.push_back(fnd::Value::Int64(WholeSeconds(time)));
      NANOSetArray(message.get(), APMPBSequenceFilterResultTimestamp::kTimestamps, &items);
    }
    out.push_back(std::move(message));
  }
  return out;
}

// ---- ZIVAudienceTimestampsCache.

void ZIVAudienceTimestampsCache::populateCachedTimestamps(
    const std::optional<ZIVFilterResult>& filterResult, int32_t audienceID) {
  const bool needsDynamic = !cachedDynamicFilterEvaluationTimestamps_.count(audienceID);
  const bool needsSequence = !cachedSequenceEvaluationTimestamps_.count(audienceID);
  if (!needsDynamic && !needsSequence) return;
  std::shared_ptr<APMPBResultData> stored;
  if (filterResult && !filterResult->currentResults.empty()) {
    stored = APMPBResultData::initWithBuffer(filterResult->currentResults);
  }
  if (needsDynamic) {
    std::map<int32_t, double>& dynamic = cachedDynamicFilterEvaluationTimestamps_[audienceID];
    for (const auto& item : ZIVAudienceMessagesOfField<APMPBDynamicFilterResultTimestamp>(
             stored.get(), APMPBResultData::kDynamicTimestamps)) {
      dynamic[NANOGetInt32(item.get(), APMPBDynamicFilterResultTimestamp::kFilterId)] =
          static_cast<double>(
              NANOGetInt64(item.get(), APMPBDynamicFilterResultTimestamp::kTimestamp));
    }
  }
  if (needsSequence) {
    auto sequence = ZIVSequenceTimestampsCache::initWithAudienceID(audienceID);
    for (const auto& item : ZIVAudienceMessagesOfField<APMPBSequenceFilterResultTimestamp>(
             stored.get(), APMPBResultData::kSequenceTimestamps)) {
      std::vector<uint64_t> times =
          ZIVAudienceWordsOfField(item.get(), APMPBSequenceFilterResultTimestamp::kTimestamps);
      if (times.empty()) continue;
      sequence->addEventFilterTimestamp(
          static_cast<double>(static_cast<int64_t>(times.back())),
          NANOGetInt32(item.get(), APMPBSequenceFilterResultTimestamp::kFilterId));
    }
    cachedSequenceEvaluationTimestamps_[audienceID] = std::move(sequence);
  }
}

void ZIVAudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                        const ZIVEventFilter& filter) {
  addTimestamp(timestamp, filter.audienceID, filter.filterID, true, filter.isSequence(),
               filter.isDynamic() || filter.isSessionScoped());
}

void ZIVAudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                        const ZIVPropertyFilter& filter) {
  addTimestamp(timestamp, filter.audienceID, filter.filterID, false, filter.isSequence(),
               filter.isDynamic() || filter.isSessionScoped());
}

void ZIVAudienceTimestampsCache::addTimestamp(double timestamp, int32_t audienceID,
                                              int32_t filterID, bool isEventFilter, bool sequence,
                                              bool dynamicOrSessionScoped) {
  if (sequence) {
    std::shared_ptr<ZIVSequenceTimestampsCache>& cache =
        cachedSequenceEvaluationTimestamps_[audienceID];
    if (!cache) cache = ZIVSequenceTimestampsCache::initWithAudienceID(audienceID);
    if (isEventFilter) {
      cache->addEventFilterTimestamp(timestamp, filterID);
    } else {
      cache->setUserPropertyTimestamp(timestamp, filterID);
    }
    return;
  }
  if (!dynamicOrSessionScoped) return;
  auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return;
  auto cached = audience->second.find(filterID);
  const double cachedTime = cached == audience->second.end() ? 0 : cached->second;
  if (timestamp > cachedTime) {
    audience->second[filterID] = timestamp;
  } else {
    ZIVMeasurement::monitor()->logWithLevel(
        5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp",
        fnd::Value(timestamp), fnd::Value(cachedTime));
  }
}

std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>
ZIVAudienceTimestampsCache::dynamicTimestampsForAudienceID(int32_t audienceID) const {
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> out;
  auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return out;
  for (const auto& [filterID, time] : audience->second) {
    auto message = APMPBDynamicFilterResultTimestamp::initWithMessageInfo(nullptr);
    if (!message) continue;
    NANOSetInt32(message.get(), APMPBDynamicFilterResultTimestamp::kFilterId, filterID);
    NANOSetInt64(message.get(), APMPBDynamicFilterResultTimestamp::kTimestamp, WholeSeconds(time));
    out.push_back(std::move(message));
  }
  return out;
}

std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
ZIVAudienceTimestampsCache::sequenceTimestampsForAudienceID(int32_t audienceID) const {
  auto it = cachedSequenceEvaluationTimestamps_.find(audienceID);
  if (it == cachedSequenceEvaluationTimestamps_.end() || !it->second) return std::nullopt;
  return it->second->sequenceFilterResultTimestamps();
}

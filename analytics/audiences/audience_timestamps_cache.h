// Per-pass caches of the times at which audience filters were found true.
//
// ZIVSequenceTimestampsCache holds, for one audience, the ordered evaluation times of each
// sequence filter. ZIVAudienceTimestampsCache holds, for one bundling pass, every touched
// audience's dynamic-filter times (filter ID -> latest time) and sequence cache; it is filled from
// the stored results the first time an audience is touched, and every result saved during the
// pass carries the cache's full view of that audience's times. Times are seconds since 1970; in
// the messages they are whole seconds (the fraction is dropped).
//
// Thread safety: none; a cache lives on the engine's worker queue for one pass.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "analytics/proto/messages.h"
#include "analytics/storage/database_records.h"

class ZIVSequenceTimestampsCache {
 public:
  // Null for a missing audience ID.
  static std::shared_ptr<ZIVSequenceTimestampsCache> initWithAudienceID(
      std::optional<int32_t> audienceID);

  int32_t audienceID() const { return audienceID_; }
  // A copy of the filter's times, or nullopt when it has none.
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(int32_t filterID) const;
  // Appends the time unless the last one has the same whole second; a time before the last one
  // logs 42000 and is still kept. A missing filter ID does nothing.
  void addEventFilterTimestamp(double timestamp, std::optional<int32_t> filterID);
  // Replaces the filter's times by this one; a time before the last one logs 42001.
  void setUserPropertyTimestamp(double timestamp, std::optional<int32_t> filterID);
  // One message per filter in ascending filter ID order, its times sorted ascending.
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> sequenceFilterResultTimestamps()
      const;

 private:
  explicit ZIVSequenceTimestampsCache(int32_t audienceID) : audienceID_(audienceID) {}

  const int32_t audienceID_;
  std::map<int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
};

class ZIVAudienceTimestampsCache {
 public:
  ZIVAudienceTimestampsCache() = default;

  // Loads the audience's stored times once per cache: its dynamic times (an empty table when it
  // has none) and, for each stored sequence filter with times, its last time.
  void populateCachedTimestamps(const std::optional<ZIVFilterResult>& filterResult,
                                int32_t audienceID);
  // Records the time of a true outcome: sequence filters into the audience's sequence cache,
  // dynamic or session-scoped filters into its dynamic table when the time is later than the
  // cached one (log 6037 otherwise); other filters keep no time.
  void addEvaluationTimestamp(double timestamp, const ZIVEventFilter& filter);
  void addEvaluationTimestamp(double timestamp, const ZIVPropertyFilter& filter);

  // One message per cached dynamic filter in ascending filter ID order.
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> dynamicTimestampsForAudienceID(
      int32_t audienceID) const;
  // The audience's sequence messages, or nullopt when it has no sequence cache.
  std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
  sequenceTimestampsForAudienceID(int32_t audienceID) const;

  const std::map<int32_t, std::map<int32_t, double>>& cachedDynamicFilterEvaluationTimestamps()
      const {
    return cachedDynamicFilterEvaluationTimestamps_;
  }

 private:
  void addTimestamp(double timestamp, int32_t audienceID, int32_t filterID, bool isEventFilter,
                    bool sequence, bool dynamicOrSessionScoped);

  std::map<int32_t, std::map<int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
  std::map<int32_t, std::shared_ptr<ZIVSequenceTimestampsCache>>
      cachedSequenceEvaluationTimestamps_;
};

// The single row of the analytics database's "app_metadata" table, as two records: the upload
// bookkeeping (ZIVAppMetadata: bundle and delivery indices, last bundle times) and the day's event
// counters (ZIVDailyCounts). Both are plain values; the database reads and writes them.
//
// Thread safety: plain values; the engine changes them on its worker queue only.
#pragma once

#include <cstdint>
#include <optional>

class ZIVAppMetadata {
 public:
  // nullopt, with log 4000, for a negative bundle index.
  static std::optional<ZIVAppMetadata> initWithLastBundleIndex(int32_t lastBundleIndex,
                                                               int32_t lastDeliveryIndex,
                                                               double lastBundleStartTimestamp,
                                                               double lastBundleEndTimestamp);

  int32_t lastBundleIndex() const { return lastBundleIndex_; }
  int32_t lastDeliveryIndex() const { return lastDeliveryIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleStartTimestamp(double timestamp) { lastBundleStartTimestamp_ = timestamp; }
  void setLastBundleEndTimestamp(double timestamp) { lastBundleEndTimestamp_ = timestamp; }

  // Adds `count` to the bundle index. A sum of 2^31 or more wraps: the index becomes count - 1,
  // with log 4001.
  void increaseLastBundleIndex(int32_t count);
  // Adds 1 to the delivery index; 2147483647 becomes 0, with log 4002.
  void incrementLastDeliveryIndex();

 private:
  ZIVAppMetadata(int32_t lastBundleIndex, int32_t lastDeliveryIndex, double start, double end)
      : lastBundleIndex_(lastBundleIndex),
        lastDeliveryIndex_(lastDeliveryIndex),
        lastBundleStartTimestamp_(start),
        lastBundleEndTimestamp_(end) {}

  int32_t lastBundleIndex_;
  int32_t lastDeliveryIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};

// The day's counters. Every increment first compares the given day with day() and, on a new day,
// starts it with all counters at 0.
class ZIVDailyCounts {
 public:
  ZIVDailyCounts() = default;
  ZIVDailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount,
                 int32_t publicEventsCount, int32_t errorEventsCount, int32_t realtimeCount,
                 int32_t dcuRealtimeCount)
      : day_(day),
        conversionsCount_(conversionsCount),
        allEventsCount_(allEventsCount),
        publicEventsCount_(publicEventsCount),
        errorEventsCount_(errorEventsCount),
        realtimeCount_(realtimeCount),
        dcuRealtimeCount_(dcuRealtimeCount) {}

  int32_t day() const { return day_; }
  int32_t conversionsCount() const { return conversionsCount_; }
  int32_t allEventsCount() const { return allEventsCount_; }
  int32_t publicEventsCount() const { return publicEventsCount_; }
  int32_t errorEventsCount() const { return errorEventsCount_; }
  int32_t realtimeCount() const { return realtimeCount_; }
  int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

  // Sets the day and zeroes the six counters.
  void resetWithNewDay(int32_t day);
  // +1 conversions for a conversion, +count all events, +count public events for a public one.
  void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                    int32_t effectiveEventCount);
  void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion);
  // +1 all events and +1 error events.
  void incrementErrorEventsCountForCurrentDay(int32_t day);
  void incrementRealtimeCountsForCurrentDay(int32_t day);
  void incrementDCURealtimeCountsForCurrentDay(int32_t day);
  // -1 all events, never below 0.
  void decrementAllEventsCount();

  bool operator==(const ZIVDailyCounts&) const = default;

 private:
  void startDay(int32_t day);

  int32_t day_ = 0;
  int32_t conversionsCount_ = 0;
  int32_t allEventsCount_ = 0;
  int32_t publicEventsCount_ = 0;
  int32_t errorEventsCount_ = 0;
  int32_t realtimeCount_ = 0;
  int32_t dcuRealtimeCount_ = 0;
};

#include "analytics/storage/app_metadata.h"

#include <limits>

#include "analytics/storage/storage_log.h"

std::optional<ZIVAppMetadata> ZIVAppMetadata::initWithLastBundleIndex(
    int32_t lastBundleIndex, int32_t lastDeliveryIndex, double lastBundleStartTimestamp,
    double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    ZIVStorageLog(2, 4000,
                  "Failed to create app metadata object. Received negative last bundle index.", {});
    return std::nullopt;
  }
  return ZIVAppMetadata(lastBundleIndex, lastDeliveryIndex, lastBundleStartTimestamp,
                        lastBundleEndTimestamp);
}

void ZIVAppMetadata::increaseLastBundleIndex(int32_t count) {
  const int64_t sum = static_cast<int64_t>(lastBundleIndex_) + count;
  if (sum < int64_t{2147483648}) {
    lastBundleIndex_ = static_cast<int32_t>(sum);
    return;
  }
  ZIVStorageLog(5, 4001, "Bundle index overflow. Bundle index wraparound.", {});
  lastBundleIndex_ = count - 1;
}

void ZIVAppMetadata::incrementLastDeliveryIndex() {
  if (lastDeliveryIndex_ == std::numeric_limits<int32_t>::max()) {
    ZIVStorageLog(5, 4002, "Delivery index overflow. Delivery index reset to 0.", {});
    lastDeliveryIndex_ = 0;
    return;
  }
  ++lastDeliveryIndex_;
}

void ZIVDailyCounts::resetWithNewDay(int32_t day) {
  day_ = day;
  conversionsCount_ = 0;
  allEventsCount_ = 0;
  publicEventsCount_ = 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
  dcuRealtimeCount_ = 0;
}

void ZIVDailyCounts::startDay(int32_t day) {
  if (day != day_) resetWithNewDay(day);
}

void ZIVDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent,
                                                  bool isConversion, int32_t effectiveEventCount) {
  startDay(day);
  if (isConversion) ++conversionsCount_;
  allEventsCount_ += effectiveEventCount;
  if (isPublicEvent) publicEventsCount_ += effectiveEventCount;
}

void ZIVDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent,
                                                  bool isConversion) {
  incrementCountsForCurrentDay(day, isPublicEvent, isConversion, 1);
}

void ZIVDailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
  startDay(day);
  ++allEventsCount_;
  ++errorEventsCount_;
}

void ZIVDailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
  startDay(day);
  ++realtimeCount_;
}

void ZIVDailyCounts::incrementDCURealtimeCountsForCurrentDay(int32_t day) {
  startDay(day);
  ++dcuRealtimeCount_;
}

void ZIVDailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) --allEventsCount_;
}

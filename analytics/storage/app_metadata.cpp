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

namespace {

// Counters wrap like the 32-bit integers they are, without the undefined behaviour of a signed
// overflow.
int32_t WrappingAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace

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
  if (isConversion) conversionsCount_ = WrappingAdd(conversionsCount_, 1);
  allEventsCount_ = WrappingAdd(allEventsCount_, effectiveEventCount);
  if (isPublicEvent) publicEventsCount_ = WrappingAdd(publicEventsCount_, effectiveEventCount);
}

void ZIVDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent,
                                                  bool isConversion) {
  incrementCountsForCurrentDay(day, isPublicEvent, isConversion, 1);
}

void ZIVDailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
  startDay(day);
  allEventsCount_ = WrappingAdd(allEventsCount_, 1);
  errorEventsCount_ = WrappingAdd(errorEventsCount_, 1);
}

void ZIVDailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
  startDay(day);
  realtimeCount_ = WrappingAdd(realtimeCount_, 1);
}

void ZIVDailyCounts::incrementDCURealtimeCountsForCurrentDay(int32_t day) {
  startDay(day);
  dcuRealtimeCount_ = WrappingAdd(dcuRealtimeCount_, 1);
}

void ZIVDailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) --allEventsCount_;
}

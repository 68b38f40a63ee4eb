// Row records of the analytics database that belong to no other subsystem: a stored raw event,
// the stored audience filters and the stored audience results. Plain values.
//
// Thread safety: plain values; the engine uses them on its worker queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/value.h"

class ZIVEvent;

// One row of "raw_events": the event rebuilt from its stored message, its SQLite row id and the
// fingerprint of its stored metadata bundle.
class ZIVRawEventData {
 public:
  // Null, with log 28000 or 28001, when the event or the fingerprint is missing.
  static std::shared_ptr<ZIVRawEventData> initWithRawEvent(std::shared_ptr<ZIVEvent> rawEvent,
                                                           int64_t rowID,
                                                           std::optional<int64_t> fingerprint);

  ZIVRawEventData(std::shared_ptr<ZIVEvent> rawEvent, int64_t rowID, int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

  const std::shared_ptr<ZIVEvent>& rawEvent() const { return rawEvent_; }
  int64_t rowID() const { return rowID_; }
  int64_t metadataFingerprint() const { return metadataFingerprint_; }

 private:
  std::shared_ptr<ZIVEvent> rawEvent_;
  int64_t rowID_;
  int64_t metadataFingerprint_;
};

// What a stored audience event filter and a stored property filter share: the audience and filter
// ids, `data`, the encoded filter message, and the flags read from it.
struct ZIVStoredFilter {
  int32_t audienceID = 0;
  int32_t filterID = 0;
  fnd::Data data;
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;

  bool isSessionScoped() const { return sessionScoped; }
  bool isDynamic() const { return dynamic; }
  bool isSequence() const { return sequence; }
  bool operator==(const ZIVStoredFilter&) const = default;
};

// A stored audience event filter (table "event_filters", keyed by audience and filter id). `data`
// is the encoded EventFilter message.
struct ZIVEventFilter : ZIVStoredFilter {
  std::string eventName;
  bool operator==(const ZIVEventFilter&) const = default;
};

// A stored audience property filter (table "property_filters"). `data` is the encoded
// PropertyFilter message.
struct ZIVPropertyFilter : ZIVStoredFilter {
  std::string propertyName;
  bool operator==(const ZIVPropertyFilter&) const = default;
};

// The stored results of one audience (table "audience_filter_values"): encoded ResultData
// messages, empty when there are none.
struct ZIVFilterResult {
  int32_t audienceID = 0;
  fnd::Data currentResults;
  fnd::Data previousResults;

  bool operator==(const ZIVFilterResult&) const = default;
};

// The flags of a stored filter read from its encoded message (EventFilter: session scoped at
// position 7, dynamic at 5, sequence at 6; PropertyFilter: 5, 3 and 4). False when the bytes do
// not decode.
bool ZIVEventFilterFlagsFromData(const fnd::Data& data, bool* sessionScoped, bool* dynamic,
                                 bool* sequence);
bool ZIVPropertyFilterFlagsFromData(const fnd::Data& data, bool* sessionScoped, bool* dynamic,
                                    bool* sequence);

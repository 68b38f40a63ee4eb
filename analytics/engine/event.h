// ZIVEvent: the in-memory form of an analytics event inside the engine: its origin, name,
// timestamp, previous timestamp and parameters (name -> ZIVValue). The origin always travels as
// the parameter "_o" too. ZIVEventAggregates: the per-event-name counters and sampling state that
// the database keeps beside the raw events.
//
// This holds what the database needs of both: building an event from an origin, name, times and
// typed parameters, rebuilding it from its stored wire message, and writing that message. The
// engine's pipeline (public names, parameter normalisation, conversion and real-time flags)
// grows from here.
//
// Thread safety: neither class locks. Events and aggregates may be made on any thread but are
// changed only on the engine's worker queue.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "analytics/foundation/value.h"

class APMPBEvent;

class ZIVEvent {
 public:
  // Parameter name -> typed value.
  using Parameters = std::map<std::string, ZIVValuePtr>;

  // Null unless the origin is a valid forwarded origin (internal name + "+gtm") or a valid
  // internal origin, and the name a valid internal event name. Logs 16002 (and goes on) when the
  // previous timestamp is after the timestamp. The parameters are kept, without null values, and
  // "_o" is set to the origin whatever the caller gave.
  static std::shared_ptr<ZIVEvent> initWithOrigin(const std::string& origin, bool isPublic,
                                                  const std::string& name, double timestamp,
                                                  double previousTimestamp,
                                                  const Parameters& parameters);
  // Rebuilds an event from its wire message: name, timestamps (milliseconds / 1000) and
  // parameters; the origin comes from the string parameter "_o". Null, with a log line, when "_o"
  // is missing or not a string, or the origin or name is not valid.
  static std::shared_ptr<ZIVEvent> initWithEventProto(const APMPBEvent& proto);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const Parameters& parameters() const { return parameters_; }

  // The wire message: name, timestamp in milliseconds, previous timestamp in milliseconds (only
  // when above the double epsilon) and the parameters (array values as nested parameters).
  std::shared_ptr<APMPBEvent> protoEvent() const;

  // YES only when "_c" / "_r" / "_dbg" is the int64 1.
  bool isConversion() const;
  bool isRealtime() const;
  bool isDebug() const;

 private:
  ZIVEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
           Parameters parameters);

  bool flagIsSet(const char* parameter) const;

  std::string origin_;
  std::string name_;
  double timestamp_;
  double previousTimestamp_;
  Parameters parameters_;
};

// Counters and sampling state of one event name.
class ZIVEventAggregates {
 public:
  // Null when the name is not a valid internal event name, or (log 17000) a count is negative.
  static std::shared_ptr<ZIVEventAggregates> initWithName(const std::string& name,
                                                          int32_t lifetimeCount,
                                                          int32_t currentBundleCount,
                                                          int32_t currentSessionCount,
                                                          double lastFireTimestamp);

  const std::string& name() const { return name_; }
  int32_t lifetimeCount() const { return lifetimeCount_; }
  int32_t currentBundleCount() const { return currentBundleCount_; }
  int32_t currentSessionCount() const { return currentSessionCount_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  // nullopt when none is known.
  const std::optional<int64_t>& lastSampledComplexEventID() const {
    return lastSampledComplexEventID_;
  }
  int32_t lastSamplingRate() const { return lastSamplingRate_; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  int32_t lastBundledDay() const { return lastBundledDay_; }

  void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
  void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
  void setLastSampledComplexEventID(std::optional<int64_t> id) { lastSampledComplexEventID_ = id; }
  void setLastSamplingRate(int32_t rate) { lastSamplingRate_ = rate; }
  void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
  void setLastBundledDay(int32_t day) { lastBundledDay_ = day; }

  // Each adds 1; at 2147483647 the count becomes 0, with log 17001 / 17002 / 17003.
  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

 private:
  ZIVEventAggregates(std::string name, int32_t lifetimeCount, int32_t currentBundleCount,
                     int32_t currentSessionCount, double lastFireTimestamp);

  std::string name_;
  int32_t lifetimeCount_;
  int32_t currentBundleCount_;
  int32_t currentSessionCount_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0;
  std::optional<int64_t> lastSampledComplexEventID_;
  int32_t lastSamplingRate_ = 1;
  bool lastExemptFromSampling_ = false;
  int32_t lastBundledDay_ = 0;
};

// Seconds -> milliseconds as the wire messages carry them: times 1000, truncated toward zero,
// clamped to the 64-bit range (a value that is not a number gives 0).
int64_t ZIVMillisecondsFromSeconds(double seconds);

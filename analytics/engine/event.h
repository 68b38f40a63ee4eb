// ZIVEvent: the one in-memory form of an analytics event inside the engine: its origin, name,
// timestamp, previous timestamp (seconds since 1970; 0 when unknown) and parameters (name ->
// ZIVValue). The origin always travels as the parameter "_o" too, and the conversion, real-time
// and debug flags are the parameters "_c", "_r" and "_dbg" (int64 1). An event validates its
// origin and name when it is made and normalises its parameters (event_util.h); "public" only
// chooses the public name rule and parameter normalisation then, and is not kept: copies and
// conversions make events that are not public. An event converts to and from its wire message
// (APMPBEvent) and the scripting runtime's event (APMPEvent).
//
// ZIVEventAggregates: the per-event-name counters and sampling state that the database keeps
// beside the raw events.
//
// Thread safety: neither class locks. Events and aggregates may be made on any thread but are
// changed only on the engine's worker queue; an event handed to another thread is a copy.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "analytics/foundation/value.h"
#include "platform/foundation/value.h"

class APMPBEvent;
class APMPEvent;

// The event settings that decide whether parameters are normalised (ZIVParametersAreNormalized in
// event_util.h), as read at one moment.
struct ZIVParameterLimits {
  int64_t internalValueLength = 0;
  int64_t publicParams = 0;
  bool operator==(const ZIVParameterLimits&) const = default;
};

class ZIVEvent {
 public:
  // Parameter name -> typed value.
  using Parameters = std::map<std::string, ZIVValuePtr>;

  // Null unless the origin is a valid forwarded origin (internal name + "+gtm") or a valid
  // internal origin, and the name passes the public event name rule (public events only) and the
  // internal event name rule; the validator logs why. Logs 16002 (and goes on) when the previous
  // timestamp is after the timestamp. The parameters (Foundation values or ZIVValue records) are
  // normalised for the name and the public flag; "_o" is then set to the origin whatever the
  // caller gave. A conversion, or an "ad_impression" / "_ai" event, whose value parameters fail
  // the conversion check loses "_c".
  static std::shared_ptr<ZIVEvent> initWithOrigin(const std::string& origin, bool isPublic,
                                                  const std::string& name, double timestamp,
                                                  double previousTimestamp,
                                                  const fnd::Dictionary& parameters);
  // The same with typed parameters (a null value counts as a refused value).
  static std::shared_ptr<ZIVEvent> initWithOrigin(const std::string& origin, bool isPublic,
                                                  const std::string& name, double timestamp,
                                                  double previousTimestamp,
                                                  const Parameters& parameters);
  // Rebuilds an event from its wire message: name, timestamps (milliseconds / 1000) and
  // parameters; the origin comes from the string parameter "_o". A parameter holding nested
  // parameters (an ecommerce "items" list) becomes an array value of item dictionaries. Null when
  // "_o" is missing or not a string (15001), or the origin or name is not valid. Parameters
  // without a name (15000) or without a usable value (15002) are skipped.
  static std::shared_ptr<ZIVEvent> initWithEventProto(const APMPBEvent& proto);
  // The same with the event's time given (seconds since 1970, as a stored row holds it to full
  // precision) instead of the message's milliseconds: the event is built once.
  static std::shared_ptr<ZIVEvent> initWithEventProto(const APMPBEvent& proto, double timestamp);
  // What initWithEventProto(message, timestamp) answers for the message decoded from `encoded`
  // with its name set to `name` (a stored raw event leaves the name out of its bytes), read
  // straight from the bytes when they hold the plain form that encodedProtoEvent(false) writes:
  // parameters of a name and one string, integer or double value, "_o" a string among them, the
  // timestamps at most once and nothing else. A null `timestamp` takes the message's. nullopt
  // when the bytes or the name are not of that form: the caller decodes the message and takes
  // that road, which gives their meaning, error or log lines to everything else.
  static std::optional<std::shared_ptr<ZIVEvent>> initWithEncodedEvent(
      std::span<const uint8_t> encoded, const std::string& name, std::optional<double> timestamp);
  // The event that event editing hands back: its public name mapped to the internal one (when the
  // event name table has it), origin "_o" when that is a string parameter, else "app"; not
  // public, previous timestamp 0. Null when the constructor refuses it.
  static std::shared_ptr<ZIVEvent> eventFromEditEvent(const APMPEvent& editEvent);

  // New events made through the constructor, not public (validated and normalised again).
  std::shared_ptr<ZIVEvent> copyWithPreviousTimestamp(double previousTimestamp) const;
  std::shared_ptr<ZIVEvent> copyWithParameters(const fnd::Dictionary& parameters) const;
  std::shared_ptr<ZIVEvent> copyWithParameters(const Parameters& parameters) const;
  std::shared_ptr<ZIVEvent> copy() const;

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const Parameters& parameters() const { return *parameters_; }

  // True only when "_c" / "_r" / "_dbg" is the int64 1. A "_r" that is not an int64 logs 16006.
  bool isConversion() const;
  bool isRealtime() const;
  bool isDebug() const;
  // true sets the flag to int64 1; false removes it.
  void setRealtime(bool realtime);
  void setDebug(bool debug);
  // true: only when the value parameters pass the conversion check, sets "_c" and removes an
  // "_err" of 10. false: only when "_c" is present, removes it and records "_err" 10 (unless the
  // event already has an "_err").
  void setConversion(bool conversion);
  // A conversion, or an "ad_impression" / "_ai" event.
  bool shouldValidateParams() const;
  // An "in_app_purchase" / "_iap" event of origin "app".
  bool shouldRequireValueParam() const;

  // Normalises `parameters` (no event name) and merges them in; the event's own values win on
  // equal names. An empty dictionary changes nothing.
  void applyParameters(const fnd::Dictionary& parameters, bool isPublic);
  // Adds the current screen's "_sn", "_sc" (strings or string values) and "_si" (a number or an
  // int64 value), answering true only when it added them: never when the dictionary is empty or
  // has no "_si", or the event already carries any screen parameter. A screen class or name that
  // fails the screen value rule logs 16003 / 16004.
  bool addScreenParameters(const fnd::Dictionary& parameters);

  // The wire message: name, timestamp in milliseconds, previous timestamp in milliseconds (only
  // when above the double epsilon) and the parameters (array values as nested parameters).
  std::shared_ptr<APMPBEvent> protoEvent() const;
  // The same message set field by field through the accessors: the reference that protoEvent()
  // and encodedProtoEvent() (which take a shorter road for plain parameters) are checked against.
  std::shared_ptr<APMPBEvent> builtProtoEvent() const;
  // The encoding of protoEvent(), byte for byte, written without building the message (the
  // stored raw event leaves the name out: withName false). nullopt when it cannot be encoded.
  std::optional<fnd::Data> encodedProtoEvent(bool withName) const;
  // The size of encodedProtoEvent(withName), counted without writing the bytes when the
  // parameters are plain. nullopt when it cannot be encoded.
  std::optional<size_t> encodedProtoEventSize(bool withName) const;
  // The scripting runtime's event: the public name (internal-to-public table, else the name),
  // the timestamp and the parameters in Foundation form.
  APMPEvent editEvent() const;

 private:
  ZIVEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
           std::shared_ptr<Parameters> parameters);

  // Construction steps shared by both initWithOrigin overloads: the origin and name rules (false
  // refuses the event) with log 16002 for a previous timestamp after the timestamp; then the event
  // over parameters already normalised, "_o" set and the conversion check applied.
  static bool checkOriginAndName(const std::string& origin, bool isPublic, const std::string& name,
                                 double timestamp, double previousTimestamp);
  // The typed initWithOrigin over parameters that the new event may share (with the event they
  // were copied from). `checkedUnder`: limits under which `parameters` are known to be normalised
  // for `name`.
  static std::shared_ptr<ZIVEvent> initWithTypedParameters(
      const std::string& origin, bool isPublic, const std::string& name, double timestamp,
      double previousTimestamp, std::shared_ptr<Parameters> parameters,
      const std::optional<ZIVParameterLimits>& checkedUnder);
  // `checkedUnder`: the limits under which `typed` was found normalised, or null. `typed` is
  // changed only when it is not shared.
  static std::shared_ptr<ZIVEvent> makeWithNormalizedParameters(
      const std::string& origin, const std::string& name, double timestamp,
      double previousTimestamp, std::shared_ptr<Parameters> typed,
      const ZIVParameterLimits* checkedUnder = nullptr);

  bool flagIsSet(const char* parameter) const;
  // The parameters to change: a copy of their own first when another event shares them. Drops
  // normalizedUnder_.
  Parameters& mutableParameters();
  // Removes the parameter, answering whether it was there; parameters without it stay shared.
  bool eraseParameter(const char* parameter);
  // The encoding of protoEvent() written straight from the parameters, or nullopt when a
  // parameter is not a plain double, integer or string.
  std::optional<fnd::Data> directProtoEvent(bool withName) const;
  // The size of directProtoEvent(withName), or nullopt when it answers nullopt.
  std::optional<size_t> directProtoEventSize(bool withName) const;

  // Constant after construction.
  const std::string origin_;
  const std::string name_;
  const double timestamp_;
  const double previousTimestamp_;
  // Changed only on the engine's worker queue. Never null; shared with the copies made from this
  // event (and the event this one was copied from) until one of them changes them.
  std::shared_ptr<Parameters> parameters_;
  // The limits under which parameters_ is known to pass ZIVParametersAreNormalized() for name_,
  // set by the construction that checked them and dropped by any change to them: a copy made
  // under the same limits is not checked again.
  std::optional<ZIVParameterLimits> normalizedUnder_;
};

// The parameters as a Foundation dictionary of ZIVValue records, in name order.
fnd::Dictionary ZIVParametersAsDictionary(const ZIVEvent::Parameters& parameters);
// Parameters -> EventParam messages (APMPBEventParam records), in the dictionary's order. Values
// that are not ZIVValues are skipped (16005); an array value becomes unnamed parameters holding
// each item's own parameters, and is skipped (16007) when `nested`.
fnd::Array ZIVEventParamProtoFromDictionary(const fnd::Dictionary& parameters,
                                            const std::string& eventName, bool nested);
// Parameters -> Foundation values: doubles, int64 numbers and strings; an array value (only when
// not `nested`) becomes an array of its items converted with `nested`. Anything else is left out.
fnd::Dictionary ZIVEventParamObjectFromDictionary(const fnd::Dictionary& parameters, bool nested);
// Whether one of the EventParam messages is named `name` (logs 23156 when it is).
bool ZIVHasProtoParameter(const fnd::Array& parameters, const std::string& name);

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

// ZIVMonitoringSampledData: the monitor's health record. It keeps at most one sample of the
// monitorable errors and warnings of a period, chosen by reservoir sampling, and the number of
// events the sample stands for. It is persisted as one array of four elements:
//   [0] encoded context (string), [1] population (integer), [2] key (string),
//   [3] time of the first event of the period (date).
//
// Thread safety: none; the monitor uses it only on its own queue.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

class ZIVUserDefaults;

class ZIVMonitoringSampledData {
 public:
  // Draws a uniform integer in [0, upperBound); upperBound is at least 1.
  using RandomBelow = std::function<uint64_t(uint64_t upperBound)>;

  // An empty record. `randomBelow` defaults to the secure random source.
  explicit ZIVMonitoringSampledData(RandomBelow randomBelow = nullptr);

  // True for an array of exactly four elements: string, number, string, date.
  static bool isValidUserDefaultsArrayEntry(const fnd::Value& entry);

  // Replaces the record with the entry stored under `key`; anything that is not a valid entry
  // loads as no entry.
  void loadFromUserDefaults(const ZIVUserDefaults& defaults, const std::string& key);
  // Stores the entry (or removes the key when there is none); readers of the store see it at
  // once, its file at the caller's next synchronise.
  void storeInUserDefaults(ZIVUserDefaults& defaults, const std::string& key) const;

  // Counts one more event. With an entry, the population grows by one and, with probability
  // 1 / population, key and context replace the sample; the timestamp stays. Without one, a new
  // entry is made with population 1 and timestamp `now`.
  void insertOrUpdate(const std::string& key, const std::string& context, double now);

  // The text to dispatch for a sample period of `samplePeriod` seconds, or nullopt:
  // - an entry older than now - samplePeriod gives "population:key:context" (or
  //   "population:key" for an empty context) and is dropped;
  // - a younger entry gives nullopt;
  // - no entry gives "0:" when lastSampledTimestamp > 0 and more than samplePeriod seconds lie
  //   between it and now, else nullopt.
  std::optional<std::string> dataForDispatch(double samplePeriod, double lastSampledTimestamp,
                                             double now);

  // The entry as stored, or nullopt.
  std::optional<fnd::Array> entry() const;
  bool hasEntry() const { return hasEntry_; }
  int64_t population() const { return population_; }
  const std::string& key() const { return key_; }
  const std::string& context() const { return context_; }
  double timestamp() const { return timestamp_; }

 private:
  RandomBelow randomBelow_;
  bool hasEntry_ = false;
  std::string context_;
  int64_t population_ = 0;
  std::string key_;
  double timestamp_ = 0;
};

// The plain values of the remote-configuration SDK: fetch settings, one parameter's value with its
// source, a custom signal, and the keys of a real-time update.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "platform/foundation/value.h"

// Where a parameter's value comes from.
enum DEVRemoteConfigSource : int64_t {
  DEVRemoteConfigSourceRemote = 0,   // Fetched and activated.
  DEVRemoteConfigSourceDefault = 1,  // Set by the app with setDefaults.
  DEVRemoteConfigSourceStatic = 2,   // Neither: the empty value.
};

enum DEVRemoteConfigFetchStatus : int64_t {
  DEVRemoteConfigFetchStatusNoFetchYet = 0,
  DEVRemoteConfigFetchStatusSuccess = 1,
  DEVRemoteConfigFetchStatusFailure = 2,
  DEVRemoteConfigFetchStatusThrottled = 3,
};

enum DEVRemoteConfigFetchAndActivateStatus : int64_t {
  DEVRemoteConfigFetchAndActivateStatusSuccessFetchedFromRemote = 0,
  DEVRemoteConfigFetchAndActivateStatusSuccessUsingPreFetchedData = 1,
  DEVRemoteConfigFetchAndActivateStatusError = 2,
};

// How fetches behave; both in seconds.
class DEVRemoteConfigSettings {
 public:
  double fetchTimeout() const { return fetchTimeout_; }
  void setFetchTimeout(double seconds) { fetchTimeout_ = seconds; }
  // A fetch within this time of the last successful one answers from the cache.
  double minimumFetchInterval() const { return minimumFetchInterval_; }
  void setMinimumFetchInterval(double seconds) { minimumFetchInterval_ = seconds; }

 private:
  double fetchTimeout_ = 60;
  double minimumFetchInterval_ = 43200;
};

// One parameter's value: its bytes (UTF-8 text for text values) and where it came from.
class DEVRemoteConfigValue {
 public:
  DEVRemoteConfigValue(fnd::Data data, DEVRemoteConfigSource source)
      : data_(std::move(data)), source_(source) {}

  const fnd::Data& dataValue() const { return data_; }
  std::string stringValue() const { return std::string(data_.begin(), data_.end()); }
  DEVRemoteConfigSource source() const { return source_; }

 private:
  fnd::Data data_;
  DEVRemoteConfigSource source_;
};

// A custom signal value: text, a whole number or a floating-point number.
class CustomSignalValue {
 public:
  enum class Kind { kString, kInteger, kDouble };

  static CustomSignalValue string(std::string value) {
    CustomSignalValue v(Kind::kString);
    v.string_ = std::move(value);
    return v;
  }
  static CustomSignalValue integer(int64_t value) {
    CustomSignalValue v(Kind::kInteger);
    v.integer_ = value;
    return v;
  }
  static CustomSignalValue floatingPoint(double value) {
    CustomSignalValue v(Kind::kDouble);
    v.double_ = value;
    return v;
  }

  Kind kind() const { return kind_; }
  // The value of the signal's kind; the others read as empty or 0.
  const std::string& stringValue() const { return string_; }
  int64_t integerValue() const { return integer_; }
  double doubleValue() const { return double_; }

  bool operator==(const CustomSignalValue&) const = default;

 private:
  explicit CustomSignalValue(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::string string_;
  int64_t integer_ = 0;
  double double_ = 0;
};

// What a real-time update changed.
class DEVRemoteConfigUpdate {
 public:
  explicit DEVRemoteConfigUpdate(std::set<std::string> updatedKeys)
      : updatedKeys_(std::move(updatedKeys)) {}
  const std::set<std::string>& updatedKeys() const { return updatedKeys_; }

 private:
  std::set<std::string> updatedKeys_;
};

// The bytes the SDK keeps for a default or template value: text as UTF-8, bytes as they are,
// booleans as "1" or "0", numbers in decimal (floating-point in the shortest exact form), lists
// and maps as JSON, anything else by its description.
fnd::Data DEVRemoteConfigDataFromValue(const fnd::Value& value);

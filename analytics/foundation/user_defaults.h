// ZIVUserDefaults: a preference store of the engine over the platform preferences
// (platform/foundation/preferences.h), on the application's own domain or on a named suite, with
// typed getters and setters. Values are cached per domain in the process and reach the domain's
// property-list file at synchronize().
//
// Accepted values: string, number (bool, integer, double), array, dictionary, date, data; the
// nested values of an array or dictionary must be property-list values too. Keys are non-empty
// strings. A bad key or value changes nothing and writes a coded line straight to the console
// (ZIVConsoleLog, category "DuvUdiredururo"), not through the monitor, since the monitor itself
// stands on this store.
//
// A preference file that is not a property list, or whose root is not a dictionary, reads as an
// empty domain (the platform preferences write a line about it) and is replaced at the next
// synchronize() after a change.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/foundation/typed_store.h"
#include "platform/foundation/value.h"

class ZIVUserDefaults : public ZIVTypedStore<ZIVUserDefaults> {
 public:
  // The store of the application's own domain, made once, with isPreferenceFileExcluded() set:
  // it never marks a file.
  static ZIVUserDefaults& sharedUserDefaults();

  // The application's own domain.
  ZIVUserDefaults();
  // A named suite; an empty name means the application's own domain.
  explicit ZIVUserDefaults(std::string suiteName);

  ZIVUserDefaults(const ZIVUserDefaults&) = delete;
  ZIVUserDefaults& operator=(const ZIVUserDefaults&) = delete;

  // The suite name given at creation ("" for the application's domain).
  const std::string& suiteName() const { return suiteName_; }
  // The application id of every preferences call: the suite name, or the application's domain.
  const std::string& applicationID() const { return applicationID_; }

  // The value for the key, or nullopt. An empty key logs 41001 and gives nullopt.
  std::optional<fnd::Value> objectForKey(const std::string& key) const;
  // Stores the value for the key; a null value removes the key. An empty key logs 41002, a value
  // that is not accepted logs 41003; both change nothing.
  void setObject(const fnd::Value& value, const std::string& key);
  void removeObjectForKey(const std::string& key) { setObject(fnd::Value(), key); }

  // Typed reads and writes (integerForKey, stringForKey, setInteger, ...): ZIVTypedStore.

  // Removes every key of the domain in one step.
  void clearAllData();

  // Writes pending changes to the domain's file (a failure logs 41004 and goes on). Then, once,
  // marks the suite's preference file as excluded from backup when it exists; a failure logs
  // 41000 and is tried again at the next call.
  void synchronize();

  bool isPreferenceFileExcluded() const;
  void setIsPreferenceFileExcluded(bool excluded);

  // True for the kinds of value the store accepts at the top level.
  static bool isAcceptedValue(const fnd::Value& value);

 private:
  // Constant after construction.
  const std::string suiteName_;
  const std::string applicationID_;

  mutable std::mutex mu_;
  bool isPreferenceFileExcluded_ = false;  // Guarded by mu_.
};

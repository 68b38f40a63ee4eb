// A preferences store with typed accessors, like the platform's user defaults: the standard store
// of the application's own domain, or a named suite. Stored in the files of preferences.h, so a
// value set here is visible to every other store (and PreferencesCopyAppValue) of the same suite
// at once, and reaches the file at synchronize() or at normal process exit.
//
// Lookups search the suite's domain first, then the suites added with addSuiteNamed() in the
// order they were added, then this object's registered defaults, which are never stored. Writes
// always go to the object's own domain.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace fnd {

class UserDefaults {
 public:
  // The store of the application's own domain (PreferencesCurrentApplicationID()). Made once.
  static UserDefaults& standardUserDefaults();

  // The application's own domain.
  UserDefaults();
  // A named suite; an empty name means the application's own domain.
  explicit UserDefaults(std::string suiteName);

  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // The suite name given at construction ("" for the application's own domain).
  const std::string& suiteName() const { return suiteName_; }
  // The app id whose file backs this store: the suite name, or the current application's id.
  std::string applicationID() const;

  // The value for a key along the search order above, or nullopt.
  std::optional<Value> objectForKey(std::string_view key) const;
  // The value when of that kind, else nullopt.
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<Array> arrayForKey(std::string_view key) const;
  std::optional<Dictionary> dictionaryForKey(std::string_view key) const;
  std::optional<Data> dataForKey(std::string_view key) const;
  // Numbers convert between kinds; a string is parsed as a number ("YES"/"true" as true for
  // bools); anything else gives 0 / false.
  int64_t integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;

  // Stores a property-list value. Anything else (null, record, typed array, non-string key) is
  // refused with false and an error, and nothing changes.
  bool setObject(std::string_view key, const Value& value, Error* error = nullptr);
  // A string holding NUL or invalid UTF-8 cannot be stored; it is refused with a line on
  // standard error.
  void setString(std::string_view key, std::string value);
  void setInteger(std::string_view key, int64_t value);
  void setDouble(std::string_view key, double value);
  void setBool(std::string_view key, bool value);
  void setData(std::string_view key, Data value);
  void removeObjectForKey(std::string_view key);

  // The domain's values over the registered defaults.
  Dictionary dictionaryRepresentation() const;
  // Adds to the registration domain; later registrations of a key win.
  void registerDefaults(const Dictionary& defaults);

  // Adds a suite to (or removes it from) this object's search list. Adding the object's own
  // domain, or a suite already in the list, does nothing.
  void addSuiteNamed(const std::string& suiteName);
  void removeSuiteNamed(const std::string& suiteName);

  // Writes pending changes to the file (or re-reads it when there are none).
  bool synchronize(Error* error = nullptr);

 private:
  const std::string suiteName_;

  mutable std::mutex mu_;
  Dictionary registered_;                  // Guarded by mu_.
  std::vector<std::string> searchSuites_;  // Guarded by mu_.
};

}  // namespace fnd

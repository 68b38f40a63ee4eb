// Low-level preferences, one property-list file per application id: the store behind
// UserDefaults, with an interface shaped like the platform's CFPreferences app calls.
//
// An application id is a suite name or a bundle identifier; its file is
// <PreferencesDirectory()>/<app id>.plist (0644). kPreferencesCurrentApplication stands for the
// main bundle's identifier (see PreferencesCurrentApplicationID()).
//
// Values are cached in memory per file: a value set is visible at once to every reader of the
// same app id in this process. Changes reach the file at PreferencesAppSynchronize() (and, for
// changes never synchronised, when the process exits normally). Synchronising with no pending
// change re-reads the file, so edits made by another process show up.
//
// A file that is not a property list, or whose root is not a dictionary, loads as an empty domain
// and writes one line to standard error; the next synchronise after a change replaces it.
//
// Values must be property-list values (see PropertyList); keys are strings.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace fnd {

inline constexpr const char* kPreferencesCurrentApplication = "kCFPreferencesCurrentApplication";

// The app id of the current application: the main bundle's identifier, or "quellmark" when the
// bundle has none.
std::string PreferencesCurrentApplicationID();
// The file of an app id ("" for an empty id or one that holds "/" or is "." or "..").
std::string PreferencesFilePath(std::string_view appID);

// The value for a key, or nullopt.
std::optional<Value> PreferencesCopyAppValue(std::string_view key, std::string_view appID);
// Sets the value, or removes the key when `value` is nullopt. A value that is not a property-list
// value is refused with false and an error, and nothing changes.
bool PreferencesSetAppValue(std::string_view key, std::optional<Value> value,
                            std::string_view appID, Error* error = nullptr);
// Sets every entry of `toSet` (string keys) and removes every key of `toRemove`, in one step.
bool PreferencesSetMultiple(const Dictionary& toSet, const std::vector<std::string>& toRemove,
                            std::string_view appID, Error* error = nullptr);
// Writes pending changes to the file, or re-reads the file when there are none. False and an
// error when the file cannot be written (the changes stay pending in memory).
bool PreferencesAppSynchronize(std::string_view appID, Error* error = nullptr);
// The keys of the domain, in file order then insertion order.
std::vector<std::string> PreferencesCopyKeyList(std::string_view appID);
// Every key and value of the domain.
Dictionary PreferencesCopyDomain(std::string_view appID);

// Drops every cached domain without writing it, so the next read loads the files again. For
// tests that edit preference files behind the store's back.
void PreferencesResetCacheForTesting();

}  // namespace fnd

// ZIVKeychainWrapper: keeps small string values of the engine in the user's keychain, one
// generic-password item per (identifier, app ID): service = the app ID, account and generic
// attribute = the identifier, data = the value's UTF-8 bytes, accessible after first unlock on
// this device only. Class methods only; no component of the engine uses it today, and the
// identity keeps nothing here.
//
// Keychain failures are not logged: a failed write answers NO, a failed read nullopt, a failed
// delete is ignored.
//
// Thread safety: no state of its own besides the once-only migration step; the keychain
// serialises access. Call from any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"

class ZIVKeychainWrapper {
 public:
  ZIVKeychainWrapper() = delete;

  // The item query of (identifier, app ID); nullopt when either is empty.
  static std::optional<fnd::Dictionary> searchDirectoryForIdentifier(const std::string& identifier,
                                                                     const std::string& appID);
  // Stores the value: updates the item when one exists, else adds it. NO for an empty value, a
  // value that is not valid UTF-8, an empty identifier or app ID, or a keychain failure.
  static bool upsertKeychainValue(const std::string& value, const std::string& identifier,
                                  const std::string& appID);
  // The stored value; nullopt when there is none, it is empty or not valid UTF-8, or the keychain
  // fails. The first call of the process first runs the migration step.
  static std::optional<std::string> keychainValueWithIdentifier(const std::string& identifier,
                                                                const std::string& appID);
  // The stored bytes, or nullopt.
  static std::optional<fnd::Data> keychainDataWithIdentifier(const std::string& identifier,
                                                             const std::string& appID);
  // Removes the item; nothing happens for empty strings or a missing item.
  static void deleteKeychainValueWithIdentifier(const std::string& identifier,
                                                const std::string& appID);
  // YES when the item exists in an older layout: its account is a string and its generic
  // attribute is not.
  static bool isMigrationNeededForIdentifier(const std::string& identifier,
                                             const std::string& appID);
  // The migration step: there is nothing to migrate, so it does nothing.
  static void migrateKeychainDataToStringWithIdentifier(const std::string& identifier,
                                                        const std::string& appID);
};

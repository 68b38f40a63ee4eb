// The keychain: small secret items of the user, kept in one per-user file that only the user can
// read, with the four item operations of the platform's keychain and their status codes.
//
// The store is "<home>/Keychains/quellmark.keychain" (home as in file_system.h, looked up at each
// call, so a test's QUELLMARK_HOME gets a keychain of its own): a binary property list
// {"version": 1, "items": [item, ...]}, written atomically with mode 0600 in a folder of mode
// 0700. Only generic-password items exist. An item is a dictionary of attributes (the kSecAttr...
// keys below) plus its data (kSecValueData); it is identified by its service and account, each
// absent or a string.
//
// Queries are dictionaries keyed by the constants below. A search query (copyMatching, update,
// remove) names the class and matches every item whose attributes equal each attribute the query
// gives (kSecValueData included); kSecMatchLimit, kSecReturnData and kSecReturnAttributes shape
// the result of copyMatching and are refused elsewhere. An unknown key, a value of the wrong kind,
// or a missing class is errSecParam; a class other than generic password is errSecUnimplemented.
//
// A store file that cannot be read or is not a keychain of this layout is never rewritten: every
// operation fails with errSecInvalidKeychain (reading) or errSecIO (the folder or the file cannot
// be written), and the error out-parameter, when given, says which file and why. Nothing here
// aborts or throws.
//
// Thread safety: every function may be called from any thread. Each operation reads, changes and
// writes the file under a process-wide mutex and an exclusive lock on "<folder>/.lock", so
// operations of several threads or processes do not lose each other's changes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/security/random.h"  // errSecSuccess

namespace security {

using OSStatus = int32_t;

// Status codes, with the platform's values.
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecInvalidKeychain = -25295;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;

// The error domain of a status turned into an fnd::Error (code = the status).
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";

// Query and attribute keys.
inline constexpr const char* kSecClass = "kSecClass";                    // string: the class
inline constexpr const char* kSecAttrService = "kSecAttrService";        // string
inline constexpr const char* kSecAttrAccount = "kSecAttrAccount";        // string
inline constexpr const char* kSecAttrGeneric = "kSecAttrGeneric";        // any property-list value
inline constexpr const char* kSecAttrLabel = "kSecAttrLabel";            // string
inline constexpr const char* kSecAttrAccessible = "kSecAttrAccessible";  // string: one below
inline constexpr const char* kSecValueData = "kSecValueData";            // data
inline constexpr const char* kSecMatchLimit = "kSecMatchLimit";          // one of the limits below
inline constexpr const char* kSecReturnData = "kSecReturnData";          // bool
inline constexpr const char* kSecReturnAttributes = "kSecReturnAttributes";  // bool

// Values.
inline constexpr const char* kSecClassGenericPassword = "kSecClassGenericPassword";
inline constexpr const char* kSecMatchLimitOne = "kSecMatchLimitOne";
inline constexpr const char* kSecMatchLimitAll = "kSecMatchLimitAll";
inline constexpr const char* kSecAttrAccessibleWhenUnlocked = "kSecAttrAccessibleWhenUnlocked";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlock =
    "kSecAttrAccessibleAfterFirstUnlock";
inline constexpr const char* kSecAttrAccessibleWhenUnlockedThisDeviceOnly =
    "kSecAttrAccessibleWhenUnlockedThisDeviceOnly";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly =
    "kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly";

// A keychain file. Holds no state besides its path; every operation goes to the file.
class Keychain {
 public:
  // The user's keychain at the default path of the current home.
  Keychain();
  // A keychain at another path (its folder is created when missing).
  explicit Keychain(std::string path);

  // The store file: the given path, else the default one of the current home.
  std::string path() const;
  static std::string DefaultPath();

  // Adds an item made of the attributes and data of `attributes` (a class and no search keys).
  // errSecDuplicateItem when an item with the same service and account exists. When `result` is
  // given and kSecReturnData / kSecReturnAttributes ask for it, it receives the new item as
  // copyMatching would give it.
  OSStatus add(const fnd::Dictionary& attributes, fnd::Value* result = nullptr,
               fnd::Error* error = nullptr) const;

  // Finds items. kSecMatchLimit defaults to one. With limit one the result is the first match in
  // the order items were added; with limit all an array of every match. Each match is its data
  // (kSecReturnData alone), its attribute dictionary (kSecReturnAttributes alone; with both the
  // dictionary also holds kSecValueData), or nothing is filled when neither is asked.
  // errSecItemNotFound when nothing matches.
  OSStatus copyMatching(const fnd::Dictionary& query, fnd::Value* result = nullptr,
                        fnd::Error* error = nullptr) const;

  // Replaces, in every matching item, the attributes and data given in `attributesToUpdate`
  // (which may not hold the class or any search key). errSecItemNotFound when nothing matches;
  // errSecDuplicateItem, changing nothing, when the change would give two items the same service
  // and account.
  OSStatus update(const fnd::Dictionary& query, const fnd::Dictionary& attributesToUpdate,
                  fnd::Error* error = nullptr) const;

  // Deletes every matching item. errSecItemNotFound when nothing matches.
  OSStatus remove(const fnd::Dictionary& query, fnd::Error* error = nullptr) const;

 private:
  const std::string path_;  // Empty: the default path, looked up at each call.
};

// The platform's entry points over the user's keychain (Keychain()).
OSStatus SecItemAdd(const fnd::Dictionary& attributes, fnd::Value* result);
OSStatus SecItemCopyMatching(const fnd::Dictionary& query, fnd::Value* result);
OSStatus SecItemUpdate(const fnd::Dictionary& query, const fnd::Dictionary& attributesToUpdate);
OSStatus SecItemDelete(const fnd::Dictionary& query);

// A readable text for a status ("The specified item could not be found in the keychain.").
std::string SecCopyErrorMessageString(OSStatus status);

// The error of a status: kOSStatusErrorDomain, code = status, the text above followed by
// ": detail" when a detail is given.
fnd::Error KeychainError(OSStatus status, const std::string& detail = std::string());

}  // namespace security

#include "platform/security/keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"

namespace security {
namespace {

constexpr const char* kFolderName = "Keychains";
constexpr const char* kFileName = "quellmark.keychain";
constexpr const char* kLockFileName = ".lock";
constexpr const char* kVersionKey = "version";
constexpr const char* kItemsKey = "items";
constexpr int64_t kFileVersion = 1;

using Items = std::vector<fnd::Dictionary>;

// Serialises the operations of this process; the file lock serialises processes.
std::mutex& ProcessMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

// A failed operation: its status and what went wrong.
struct Failure {
  OSStatus status;
  std::string detail;
};

OSStatus Fail(const Failure& failure, fnd::Error* error) {
  if (error) *error = KeychainError(failure.status, failure.detail);
  return failure.status;
}

bool IsAccessibility(const std::string& value) {
  for (const char* known : {kSecAttrAccessibleWhenUnlocked, kSecAttrAccessibleAfterFirstUnlock,
                            kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
                            kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly}) {
    if (value == known) return true;
  }
  return false;
}

// Whether `key` is an attribute an item keeps, and whether `value` is of its kind. nullopt for a
// key that is not an item attribute.
std::optional<bool> CheckItemAttribute(const std::string& key, const fnd::Value& value) {
  if (key == kSecAttrService || key == kSecAttrAccount || key == kSecAttrLabel) {
    return value.isString();
  }
  if (key == kSecAttrAccessible) return value.isString() && IsAccessibility(value.asString());
  if (key == kSecValueData) return value.isData();
  if (key == kSecAttrGeneric) return fnd::PropertyList::IsValid(value);
  return std::nullopt;
}

// What a query may hold besides item attributes.
enum class QueryKind { kAdd, kSearch, kCopy, kUpdateAttributes };

// Checks every key of a query or attribute dictionary. For every kind but kUpdateAttributes the
// class must be present and be a generic password.
std::optional<Failure> CheckQuery(const fnd::Dictionary& query, QueryKind kind) {
  bool hasClass = false;
  for (const auto& [keyValue, value] : query) {
    if (!keyValue.isString()) return Failure{errSecParam, "a query key is not a string"};
    const std::string& key = keyValue.asString();
    if (std::optional<bool> ok = CheckItemAttribute(key, value)) {
      if (!*ok) return Failure{errSecParam, "the value of " + key + " is not valid"};
      continue;
    }
    if (key == kSecClass && kind != QueryKind::kUpdateAttributes) {
      if (!value.isString()) return Failure{errSecParam, "kSecClass is not a string"};
      if (value.asString() != kSecClassGenericPassword) {
        return Failure{errSecUnimplemented, "only generic passwords are kept"};
      }
      hasClass = true;
      continue;
    }
    const bool isReturnKey = key == kSecReturnData || key == kSecReturnAttributes;
    if (isReturnKey && (kind == QueryKind::kCopy || kind == QueryKind::kAdd)) {
      if (!value.isBool()) return Failure{errSecParam, key + " is not a bool"};
      continue;
    }
    if (key == kSecMatchLimit && kind == QueryKind::kCopy) {
      if (!value.isString() ||
          (value.asString() != kSecMatchLimitOne && value.asString() != kSecMatchLimitAll)) {
        return Failure{errSecParam, "kSecMatchLimit is not a known limit"};
      }
      continue;
    }
    return Failure{errSecParam, "the key " + key + " is not allowed here"};
  }
  if (kind != QueryKind::kUpdateAttributes && !hasClass) {
    return Failure{errSecParam, "the query has no kSecClass"};
  }
  return std::nullopt;
}

// The attributes an item keeps: the query's item attributes.
fnd::Dictionary ItemFromAttributes(const fnd::Dictionary& attributes) {
  fnd::Dictionary item;
  for (const auto& [key, value] : attributes) {
    if (CheckItemAttribute(key.asString(), value)) item.set(key, value);
  }
  return item;
}

bool Matches(const fnd::Dictionary& item, const fnd::Dictionary& query) {
  for (const auto& [key, value] : query) {
    if (!CheckItemAttribute(key.asString(), value)) continue;  // Class and result keys.
    const fnd::Value* stored = item.find(key);
    if (!stored || *stored != value) return false;
  }
  return true;
}

std::pair<fnd::Value, fnd::Value> Identity(const fnd::Dictionary& item) {
  return {item.get(kSecAttrService), item.get(kSecAttrAccount)};
}

bool HasDuplicates(const Items& items) {
  for (size_t i = 0; i < items.size(); ++i) {
    for (size_t j = i + 1; j < items.size(); ++j) {
      if (Identity(items[i]) == Identity(items[j])) return true;
    }
  }
  return false;
}

// One match as copyMatching gives it.
fnd::Value ResultForItem(const fnd::Dictionary& item, bool returnData, bool returnAttributes) {
  if (returnAttributes) {
    fnd::Dictionary attributes;
    attributes.set(kSecClass, kSecClassGenericPassword);
    for (const auto& [key, value] : item) {
      if (key.asString() != kSecValueData || returnData) attributes.set(key, value);
    }
    return attributes;
  }
  if (returnData) {
    const fnd::Value* data = item.find(kSecValueData);
    return data ? *data : fnd::Value(fnd::Data());
  }
  return fnd::Value();
}

// The store file of one operation, opened under both locks for the operation's lifetime.
class LockedStore {
 public:
  explicit LockedStore(std::string path) : path_(std::move(path)), lock_(ProcessMutex()) {}
  ~LockedStore() {
    if (lockFd_ >= 0) close(lockFd_);  // Closing releases the file lock.
  }
  LockedStore(const LockedStore&) = delete;
  LockedStore& operator=(const LockedStore&) = delete;

  // Takes the file lock and reads the items. A missing file holds no items.
  std::optional<Failure> load(Items* items) {
    const std::string folder = fnd::DirectoryName(path_);
    if (!folder.empty() && !fnd::IsDirectory(folder)) {
      fnd::Error error;
      if (!fnd::CreateDirectories(folder, &error)) {
        return Failure{errSecIO, error.localizedDescription()};
      }
      chmod(folder.c_str(), 0700);  // A folder of our own: only the user may list it.
    }
    const std::string lockPath = fnd::JoinPath(folder.empty() ? "." : folder, kLockFileName);
    lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || flock(lockFd_, LOCK_EX) != 0) {
      return Failure{errSecIO, fnd::ErrorFromErrno(errno, "lock", lockPath).localizedDescription()};
    }
    items->clear();
    if (!fnd::FileExists(path_)) return std::nullopt;
    fnd::Error error;
    std::optional<fnd::Data> bytes = fnd::ReadFileData(path_, &error);
    if (!bytes) return Failure{errSecIO, error.localizedDescription()};
    std::optional<fnd::Value> root = fnd::PropertyList::FromData(*bytes, &error);
    if (!root) {
      return Failure{errSecInvalidKeychain,
                     path_ + " is not a property list (" + error.localizedDescription() + ")"};
    }
    return parse(*root, items);
  }

  std::optional<Failure> save(const Items& items) {
    fnd::Array array;
    for (const auto& item : items) array.push_back(item);
    fnd::Dictionary root;
    root.set(kVersionKey, fnd::Value::Int64(kFileVersion));
    root.set(kItemsKey, std::move(array));
    fnd::Error error;
    if (!fnd::PropertyList::WriteFile(root, path_, fnd::PropertyListFormat::kBinary, 0600,
                                      &error)) {
      return Failure{errSecIO, error.localizedDescription()};
    }
    return std::nullopt;
  }

 private:
  std::optional<Failure> parse(const fnd::Value& root, Items* items) const {
    const fnd::Dictionary* dictionary = root.dictionary();
    if (!dictionary || dictionary->get(kVersionKey) != fnd::Value(kFileVersion)) {
      return Failure{errSecInvalidKeychain, path_ + " is not a keychain of version 1"};
    }
    const fnd::Array* array = dictionary->get(kItemsKey).array();
    if (!array) return Failure{errSecInvalidKeychain, path_ + " has no item list"};
    for (const fnd::Value& entry : *array) {
      const fnd::Dictionary* item = entry.dictionary();
      if (!item)
        return Failure{errSecInvalidKeychain, path_ + " holds an item that is not a dictionary"};
      for (const auto& [key, value] : *item) {
        std::optional<bool> ok = CheckItemAttribute(key.asString(), value);
        if (!key.isString() || !ok || !*ok) {
          return Failure{errSecInvalidKeychain, path_ + " holds an item with a bad attribute"};
        }
      }
      items->push_back(*item);
    }
    if (HasDuplicates(*items)) {
      return Failure{errSecInvalidKeychain, path_ + " holds two items with the same identity"};
    }
    return std::nullopt;
  }

  const std::string path_;
  std::lock_guard<std::mutex> lock_;
  int lockFd_ = -1;
};

bool IsTrue(const fnd::Dictionary& query, const char* key) {
  const fnd::Value* value = query.find(key);
  return value && value->isBool() && value->asBool();
}

}  // namespace

Keychain::Keychain() = default;

Keychain::Keychain(std::string path) : path_(std::move(path)) {}

std::string Keychain::DefaultPath() {
  return fnd::JoinPath(fnd::JoinPath(fnd::HomeDirectory(), kFolderName), kFileName);
}

std::string Keychain::path() const { return path_.empty() ? DefaultPath() : path_; }

OSStatus Keychain::add(const fnd::Dictionary& attributes, fnd::Value* result,
                       fnd::Error* error) const {
  if (auto failure = CheckQuery(attributes, QueryKind::kAdd)) return Fail(*failure, error);
  LockedStore store(path());
  Items items;
  if (auto failure = store.load(&items)) return Fail(*failure, error);
  fnd::Dictionary item = ItemFromAttributes(attributes);
  for (const auto& existing : items) {
    if (Identity(existing) == Identity(item)) {
      return Fail({errSecDuplicateItem, "an item with this service and account exists"}, error);
    }
  }
  items.push_back(item);
  if (auto failure = store.save(items)) return Fail(*failure, error);
  if (result) {
    *result = ResultForItem(item, IsTrue(attributes, kSecReturnData),
                            IsTrue(attributes, kSecReturnAttributes));
  }
  return errSecSuccess;
}

OSStatus Keychain::copyMatching(const fnd::Dictionary& query, fnd::Value* result,
                                fnd::Error* error) const {
  if (auto failure = CheckQuery(query, QueryKind::kCopy)) return Fail(*failure, error);
  LockedStore store(path());
  Items items;
  if (auto failure = store.load(&items)) return Fail(*failure, error);
  const bool returnData = IsTrue(query, kSecReturnData);
  const bool returnAttributes = IsTrue(query, kSecReturnAttributes);
  const bool all = query.get(kSecMatchLimit) == fnd::Value(kSecMatchLimitAll);
  fnd::Array matches;
  for (const auto& item : items) {
    if (!Matches(item, query)) continue;
    matches.push_back(ResultForItem(item, returnData, returnAttributes));
    if (!all) break;
  }
  if (matches.empty()) return Fail({errSecItemNotFound, "no item matches the query"}, error);
  if (result) {
    if (!returnData && !returnAttributes) {
      *result = fnd::Value();
    } else if (all) {
      *result = std::move(matches);
    } else {
      *result = std::move(matches.front());
    }
  }
  return errSecSuccess;
}

OSStatus Keychain::update(const fnd::Dictionary& query, const fnd::Dictionary& attributesToUpdate,
                          fnd::Error* error) const {
  if (auto failure = CheckQuery(query, QueryKind::kSearch)) return Fail(*failure, error);
  if (auto failure = CheckQuery(attributesToUpdate, QueryKind::kUpdateAttributes)) {
    return Fail(*failure, error);
  }
  LockedStore store(path());
  Items items;
  if (auto failure = store.load(&items)) return Fail(*failure, error);
  bool found = false;
  for (auto& item : items) {
    if (!Matches(item, query)) continue;
    found = true;
    for (const auto& [key, value] : attributesToUpdate) item.set(key, value);
  }
  if (!found) return Fail({errSecItemNotFound, "no item matches the query"}, error);
  if (HasDuplicates(items)) {
    return Fail({errSecDuplicateItem, "the change gives two items the same identity"}, error);
  }
  if (auto failure = store.save(items)) return Fail(*failure, error);
  return errSecSuccess;
}

OSStatus Keychain::remove(const fnd::Dictionary& query, fnd::Error* error) const {
  if (auto failure = CheckQuery(query, QueryKind::kSearch)) return Fail(*failure, error);
  LockedStore store(path());
  Items items;
  if (auto failure = store.load(&items)) return Fail(*failure, error);
  Items kept;
  for (auto& item : items) {
    if (!Matches(item, query)) kept.push_back(std::move(item));
  }
  if (kept.size() == items.size()) {
    return Fail({errSecItemNotFound, "no item matches the query"}, error);
  }
  if (auto failure = store.save(kept)) return Fail(*failure, error);
  return errSecSuccess;
}

OSStatus SecItemAdd(const fnd::Dictionary& attributes, fnd::Value* result) {
  return Keychain().add(attributes, result);
}

OSStatus SecItemCopyMatching(const fnd::Dictionary& query, fnd::Value* result) {
  return Keychain().copyMatching(query, result);
}

OSStatus SecItemUpdate(const fnd::Dictionary& query, const fnd::Dictionary& attributesToUpdate) {
  return Keychain().update(query, attributesToUpdate);
}

OSStatus SecItemDelete(const fnd::Dictionary& query) { return Keychain().remove(query); }

std::string SecCopyErrorMessageString(OSStatus status) {
  switch (status) {
    case errSecSuccess:
      return "No error.";
    case errSecUnimplemented:
      return "Function or operation not implemented.";
    case errSecIO:
      return "I/O error.";
    case errSecParam:
      return "One or more parameters passed to a function were not valid.";
    case errSecInvalidKeychain:
      return "The specified keychain is not a valid keychain file.";
    case errSecDuplicateItem:
      return "The specified item already exists in the keychain.";
    case errSecItemNotFound:
      return "The specified item could not be found in the keychain.";
    default:
      return "OSStatus " + std::to_string(status);
  }
}

fnd::Error KeychainError(OSStatus status, const std::string& detail) {
  std::string text = SecCopyErrorMessageString(status);
  if (!detail.empty()) text += ": " + detail;
  return fnd::Error::withDescription(kOSStatusErrorDomain, status, std::move(text));
}

}  // namespace security

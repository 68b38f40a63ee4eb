#include "analytics/engine/keychain_wrapper.h"

#include <mutex>

#include "platform/foundation/text.h"
#include "platform/security/keychain.h"

namespace {

bool IsString(const fnd::Dictionary& attributes, const char* key) {
  const fnd::Value* value = attributes.find(key);
  return value && value->isString();
}

}  // namespace

std::optional<fnd::Dictionary> ZIVKeychainWrapper::searchDirectoryForIdentifier(
    const std::string& identifier, const std::string& appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  return fnd::Dictionary{{security::kSecClass, security::kSecClassGenericPassword},
                         {security::kSecAttrService, appID},
                         {security::kSecAttrGeneric, identifier},
                         {security::kSecAttrAccount, identifier}};
}

bool ZIVKeychainWrapper::upsertKeychainValue(const std::string& value,
                                             const std::string& identifier,
                                             const std::string& appID) {
  std::optional<fnd::Dictionary> query = searchDirectoryForIdentifier(identifier, appID);
  // A value that does not read back as text could never be answered by a read.
  if (value.empty() || !fnd::IsValidUTF8(value) || !query) return false;
  const fnd::Data data(value.begin(), value.end());
  query->set(security::kSecValueData, data);
  query->set(security::kSecAttrAccessible,
             security::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);

  std::optional<std::string> stored = keychainValueWithIdentifier(identifier, appID);
  const bool exists = stored && !stored->empty();
  if (!exists) {
    const security::OSStatus status = security::SecItemAdd(*query, nullptr);
    if (status != security::errSecDuplicateItem) return status == security::errSecSuccess;
    // An item whose data does not read as text still holds the place: replace its data.
  }
  query->erase(security::kSecValueData);
  query->erase(security::kSecAttrAccessible);
  return security::SecItemUpdate(*query, {{security::kSecValueData, data}}) ==
         security::errSecSuccess;
}

std::optional<std::string> ZIVKeychainWrapper::keychainValueWithIdentifier(
    const std::string& identifier, const std::string& appID) {
  static std::once_flag migrationOnce;
  std::call_once(migrationOnce,
                 [&] { migrateKeychainDataToStringWithIdentifier(identifier, appID); });
  std::optional<fnd::Data> data = keychainDataWithIdentifier(identifier, appID);
  if (!data || data->empty()) return std::nullopt;
  std::string value(data->begin(), data->end());
  if (!fnd::IsValidUTF8(value)) return std::nullopt;
  return value;
}

std::optional<fnd::Data> ZIVKeychainWrapper::keychainDataWithIdentifier(
    const std::string& identifier, const std::string& appID) {
  std::optional<fnd::Dictionary> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return std::nullopt;
  query->set(security::kSecMatchLimit, security::kSecMatchLimitOne);
  query->set(security::kSecReturnData, true);
  fnd::Value result;
  if (security::SecItemCopyMatching(*query, &result) != security::errSecSuccess) {
    return std::nullopt;
  }
  const fnd::Data* data = result.data();
  if (!data) return std::nullopt;
  return *data;
}

void ZIVKeychainWrapper::deleteKeychainValueWithIdentifier(const std::string& identifier,
                                                           const std::string& appID) {
  std::optional<fnd::Dictionary> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return;
  // The status is not needed: a missing item is as good as a deleted one.
  (void)security::SecItemDelete(*query);
}

bool ZIVKeychainWrapper::isMigrationNeededForIdentifier(const std::string& identifier,
                                                        const std::string& appID) {
  if (identifier.empty() || appID.empty()) return false;
  // An item of the older layout may have any generic attribute, so it is looked up by service
  // and account alone.
  fnd::Dictionary query = {{security::kSecClass, security::kSecClassGenericPassword},
                           {security::kSecAttrService, appID},
                           {security::kSecAttrAccount, identifier},
                           {security::kSecMatchLimit, security::kSecMatchLimitOne},
                           {security::kSecReturnData, true},
                           {security::kSecReturnAttributes, true}};
  fnd::Value result;
  if (security::SecItemCopyMatching(query, &result) != security::errSecSuccess) return false;
  const fnd::Dictionary* attributes = result.dictionary();
  return attributes && IsString(*attributes, security::kSecAttrAccount) &&
         !IsString(*attributes, security::kSecAttrGeneric);
}

void ZIVKeychainWrapper::migrateKeychainDataToStringWithIdentifier(
    const std::string& /*identifier*/, const std::string& /*appID*/) {}

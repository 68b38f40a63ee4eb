#include "analytics/engine/keychain_wrapper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/file_system.h"
#include "platform/foundation/test_home.h"
#include "platform/security/keychain.h"

namespace {

using security::kSecAttrAccount;
using security::kSecAttrGeneric;
using security::kSecAttrService;
using security::kSecClass;
using security::kSecClassGenericPassword;
using security::kSecValueData;

fnd::Data Bytes(const std::string& text) { return fnd::Data(text.begin(), text.end()); }

class KeychainWrapperTest : public ::testing::Test {
 protected:
  fnd::ScopedTestHome home_;
};

TEST_F(KeychainWrapperTest, ItemQueryNamesTheAppAndTheIdentifier) {
  auto query = ZIVKeychainWrapper::searchDirectoryForIdentifier("id", "app");
  ASSERT_TRUE(query.has_value());
  EXPECT_EQ(*query, (fnd::Dictionary{{kSecClass, kSecClassGenericPassword},
                                     {kSecAttrService, "app"},
                                     {kSecAttrGeneric, "id"},
                                     {kSecAttrAccount, "id"}}));
}

TEST_F(KeychainWrapperTest, EmptyNamesDoNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {{"", "app"}, {"id", ""}};
  for (const auto& [identifier, appID] : cases) {
    EXPECT_EQ(ZIVKeychainWrapper::searchDirectoryForIdentifier(identifier, appID), std::nullopt);
    EXPECT_FALSE(ZIVKeychainWrapper::upsertKeychainValue("v", identifier, appID));
    EXPECT_EQ(ZIVKeychainWrapper::keychainValueWithIdentifier(identifier, appID), std::nullopt);
    ZIVKeychainWrapper::deleteKeychainValueWithIdentifier(identifier, appID);
    EXPECT_FALSE(ZIVKeychainWrapper::isMigrationNeededForIdentifier(identifier, appID));
  }
  EXPECT_FALSE(fnd::FileExists(security::Keychain::DefaultPath()));
}

TEST_F(KeychainWrapperTest, ValuesAreWrittenUpdatedReadAndDeleted) {
  EXPECT_FALSE(ZIVKeychainWrapper::upsertKeychainValue("", "id", "app"));
  EXPECT_FALSE(ZIVKeychainWrapper::upsertKeychainValue(std::string("\xff\xfe"), "id", "app"));
  EXPECT_EQ(ZIVKeychainWrapper::keychainDataWithIdentifier("id", "app"), std::nullopt);

  EXPECT_TRUE(ZIVKeychainWrapper::upsertKeychainValue("first", "id", "app"));
  EXPECT_TRUE(ZIVKeychainWrapper::upsertKeychainValue("zweiter Wert ✓", "id", "app"));
  EXPECT_TRUE(ZIVKeychainWrapper::upsertKeychainValue("other", "id", "other-app"));
  EXPECT_EQ(ZIVKeychainWrapper::keychainValueWithIdentifier("id", "app"), "zweiter Wert ✓");
  EXPECT_EQ(ZIVKeychainWrapper::keychainDataWithIdentifier("id", "other-app"), Bytes("other"));

  // One item per identifier and app ID, accessible after first unlock on this device.
  fnd::Value all;
  ASSERT_EQ(security::SecItemCopyMatching({{kSecClass, kSecClassGenericPassword},
                                           {kSecAttrService, "app"},
                                           {security::kSecMatchLimit, security::kSecMatchLimitAll},
                                           {security::kSecReturnAttributes, true}},
                                          &all),
            security::errSecSuccess);
  ASSERT_EQ(all.array()->size(), 1u);
  EXPECT_EQ((*all.array())[0].dictionary()->get(security::kSecAttrAccessible),
            fnd::Value(security::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));

  ZIVKeychainWrapper::deleteKeychainValueWithIdentifier("id", "app");
  EXPECT_EQ(ZIVKeychainWrapper::keychainValueWithIdentifier("id", "app"), std::nullopt);
  EXPECT_EQ(ZIVKeychainWrapper::keychainValueWithIdentifier("id", "other-app"), "other");
  ZIVKeychainWrapper::deleteKeychainValueWithIdentifier("id", "app");  // Already gone.
}

TEST_F(KeychainWrapperTest, AnItemThatDoesNotReadAsTextIsReplacedByAWrite) {
  auto query = *ZIVKeychainWrapper::searchDirectoryForIdentifier("id", "app");
  query.set(kSecValueData, fnd::Data{0xff, 0x00, 0xfe});
  ASSERT_EQ(security::SecItemAdd(query, nullptr), security::errSecSuccess);
  EXPECT_EQ(ZIVKeychainWrapper::keychainValueWithIdentifier("id", "app"), std::nullopt);
  EXPECT_EQ(ZIVKeychainWrapper::keychainDataWithIdentifier("id", "app"),
            (fnd::Data{0xff, 0x00, 0xfe}));
  EXPECT_TRUE(ZIVKeychainWrapper::upsertKeychainValue("text", "id", "app"));
  EXPECT_EQ(ZIVKeychainWrapper::keychainValueWithIdentifier("id", "app"), "text");
}

TEST_F(KeychainWrapperTest, MigrationIsNeededOnlyForTheOlderLayout) {
  EXPECT_FALSE(ZIVKeychainWrapper::isMigrationNeededForIdentifier("id", "app"));
  ASSERT_TRUE(ZIVKeychainWrapper::upsertKeychainValue("v", "id", "app"));
  EXPECT_FALSE(ZIVKeychainWrapper::isMigrationNeededForIdentifier("id", "app"));

  ASSERT_EQ(security::SecItemAdd({{kSecClass, kSecClassGenericPassword},
                                  {kSecAttrService, "app"},
                                  {kSecAttrAccount, "old"},
                                  {kSecAttrGeneric, Bytes("old")},
                                  {kSecValueData, Bytes("v")}},
                                 nullptr),
            security::errSecSuccess);
  EXPECT_TRUE(ZIVKeychainWrapper::isMigrationNeededForIdentifier("old", "app"));
  ZIVKeychainWrapper::migrateKeychainDataToStringWithIdentifier("old", "app");
  EXPECT_TRUE(ZIVKeychainWrapper::isMigrationNeededForIdentifier("old", "app"));
}

TEST_F(KeychainWrapperTest, ADamagedKeychainFailsWithoutLosingIt) {
  const std::string path = security::Keychain::DefaultPath();
  ASSERT_TRUE(fnd::CreateDirectories(fnd::DirectoryName(path)));
  ASSERT_TRUE(fnd::WriteFileAtomically(path, "not a keychain", 0600));
  EXPECT_FALSE(ZIVKeychainWrapper::upsertKeychainValue("v", "id", "app"));
  EXPECT_EQ(ZIVKeychainWrapper::keychainValueWithIdentifier("id", "app"), std::nullopt);
  ZIVKeychainWrapper::deleteKeychainValueWithIdentifier("id", "app");
  EXPECT_FALSE(ZIVKeychainWrapper::isMigrationNeededForIdentifier("id", "app"));
  auto bytes = fnd::ReadFileData(path);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "not a keychain");
}

}  // namespace

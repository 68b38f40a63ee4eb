#include "platform/security/keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"

namespace security {
namespace {

fnd::Data Bytes(const std::string& text) { return fnd::Data(text.begin(), text.end()); }

fnd::Dictionary Item(const std::string& service, const std::string& account) {
  return {{kSecClass, kSecClassGenericPassword},
          {kSecAttrService, service},
          {kSecAttrAccount, account}};
}

fnd::Dictionary With(fnd::Dictionary dictionary, const char* key, fnd::Value value) {
  dictionary.set(key, std::move(value));
  return dictionary;
}

class KeychainTest : public ::testing::Test {
 protected:
  // Adds an item with data and asserts success.
  void AddItem(const std::string& service, const std::string& account, const std::string& data) {
    ASSERT_EQ(keychain_.add(With(Item(service, account), kSecValueData, Bytes(data))),
              errSecSuccess);
  }
  // The data of one item, or nullopt when the lookup fails.
  std::optional<fnd::Value> DataOf(const std::string& service, const std::string& account) {
    fnd::Value result;
    if (keychain_.copyMatching(With(Item(service, account), kSecReturnData, true), &result) !=
        errSecSuccess) {
      return std::nullopt;
    }
    return result;
  }

  fnd::ScopedTestHome home_;
  Keychain keychain_;
};

TEST_F(KeychainTest, AddedItemsAreFoundByTheirAttributes) {
  AddItem("app", "one", "first");
  AddItem("app", "two", "second");
  AddItem("other", "one", "third");

  EXPECT_EQ(DataOf("app", "two"), fnd::Value(Bytes("second")));
  EXPECT_EQ(DataOf("other", "one"), fnd::Value(Bytes("third")));
  EXPECT_EQ(DataOf("other", "two"), std::nullopt);

  fnd::Value result;
  fnd::Dictionary byService = {{kSecClass, kSecClassGenericPassword},
                               {kSecAttrService, "app"},
                               {kSecMatchLimit, kSecMatchLimitAll},
                               {kSecReturnData, true}};
  ASSERT_EQ(keychain_.copyMatching(byService, &result), errSecSuccess);
  EXPECT_EQ(result, fnd::Value(fnd::Array{Bytes("first"), Bytes("second")}));

  // Limit one (the default) gives the first item added.
  byService.erase(kSecMatchLimit);
  ASSERT_EQ(keychain_.copyMatching(byService, &result), errSecSuccess);
  EXPECT_EQ(result, fnd::Value(Bytes("first")));
}

TEST_F(KeychainTest, AttributesComeBackWithDataOnlyWhenAsked) {
  ASSERT_EQ(keychain_.add(
                With(With(Item("app", "id"), kSecValueData, Bytes("v")), kSecAttrGeneric, "id")),
            errSecSuccess);
  fnd::Value result;
  ASSERT_EQ(keychain_.copyMatching(With(Item("app", "id"), kSecReturnAttributes, true), &result),
            errSecSuccess);
  ASSERT_TRUE(result.isDictionary());
  EXPECT_EQ(result.dictionary()->get(kSecAttrGeneric), fnd::Value("id"));
  EXPECT_EQ(result.dictionary()->get(kSecClass), fnd::Value(kSecClassGenericPassword));
  EXPECT_FALSE(result.dictionary()->contains(kSecValueData));

  fnd::Dictionary both =
      With(With(Item("app", "id"), kSecReturnAttributes, true), kSecReturnData, true);
  ASSERT_EQ(keychain_.copyMatching(both, &result), errSecSuccess);
  EXPECT_EQ(result.dictionary()->get(kSecValueData), fnd::Value(Bytes("v")));
}

TEST_F(KeychainTest, AddRefusesASecondItemWithTheSameIdentity) {
  AddItem("app", "id", "first");
  fnd::Error error;
  EXPECT_EQ(keychain_.add(With(Item("app", "id"), kSecValueData, Bytes("second")), nullptr, &error),
            errSecDuplicateItem);
  EXPECT_EQ(error.domain(), kOSStatusErrorDomain);
  EXPECT_EQ(error.code(), errSecDuplicateItem);
  EXPECT_EQ(DataOf("app", "id"), fnd::Value(Bytes("first")));
}

TEST_F(KeychainTest, UpdateReplacesTheDataOfMatchingItems) {
  AddItem("app", "id", "first");
  EXPECT_EQ(keychain_.update(Item("app", "id"), {{kSecValueData, Bytes("second")}}), errSecSuccess);
  EXPECT_EQ(DataOf("app", "id"), fnd::Value(Bytes("second")));
  EXPECT_EQ(keychain_.update(Item("app", "missing"), {{kSecValueData, Bytes("x")}}),
            errSecItemNotFound);
}

TEST_F(KeychainTest, UpdateThatWouldDuplicateAnIdentityChangesNothing) {
  AddItem("app", "one", "first");
  AddItem("app", "two", "second");
  EXPECT_EQ(keychain_.update(Item("app", "two"), {{kSecAttrAccount, "one"}}), errSecDuplicateItem);
  EXPECT_EQ(DataOf("app", "one"), fnd::Value(Bytes("first")));
  EXPECT_EQ(DataOf("app", "two"), fnd::Value(Bytes("second")));
}

TEST_F(KeychainTest, RemoveDeletesOnlyMatchingItems) {
  AddItem("app", "one", "first");
  AddItem("app", "two", "second");
  EXPECT_EQ(keychain_.remove(Item("app", "one")), errSecSuccess);
  EXPECT_EQ(DataOf("app", "one"), std::nullopt);
  EXPECT_EQ(DataOf("app", "two"), fnd::Value(Bytes("second")));
  EXPECT_EQ(keychain_.remove(Item("app", "one")), errSecItemNotFound);
}

TEST_F(KeychainTest, BadQueriesAreRefusedWithTheirStatus) {
  AddItem("app", "id", "value");
  fnd::Dictionary noClass = Item("app", "id");
  noClass.erase(kSecClass);
  struct Case {
    const char* name;
    fnd::Dictionary query;
    OSStatus status;
  };
  const std::vector<Case> cases = {
      {"no class", noClass, errSecParam},
      {"other class", With(Item("app", "id"), kSecClass, "kSecClassKey"), errSecUnimplemented},
      {"unknown key", With(Item("app", "id"), "kSecAttrPort", 1), errSecParam},
      {"service not a string", With(Item("app", "id"), kSecAttrService, 7), errSecParam},
      {"data not data", With(Item("app", "id"), kSecValueData, "text"), errSecParam},
      {"unknown accessibility", With(Item("app", "id"), kSecAttrAccessible, "always"), errSecParam},
      {"unknown limit", With(Item("app", "id"), kSecMatchLimit, "two"), errSecParam},
      {"return flag not a bool", With(Item("app", "id"), kSecReturnData, 1), errSecParam},
  };
  for (const auto& c : cases) {
    fnd::Value result;
    fnd::Error error;
    EXPECT_EQ(keychain_.copyMatching(c.query, &result, &error), c.status) << c.name;
    EXPECT_EQ(error.code(), c.status) << c.name;
    EXPECT_EQ(keychain_.remove(c.query), c.status) << c.name;
  }
  // Search queries of update and remove carry no result keys; the change carries no class.
  EXPECT_EQ(keychain_.update(With(Item("app", "id"), kSecReturnData, true), {}), errSecParam);
  EXPECT_EQ(keychain_.update(Item("app", "id"), Item("app", "id")), errSecParam);
  EXPECT_EQ(keychain_.remove(With(Item("app", "id"), kSecMatchLimit, kSecMatchLimitAll)),
            errSecParam);
  EXPECT_EQ(DataOf("app", "id"), fnd::Value(Bytes("value")));
}

TEST_F(KeychainTest, TheStoreIsPrivateToTheUserAndSurvivesTheObject) {
  AddItem("app", "id", "value");
  const std::string path = Keychain::DefaultPath();
  EXPECT_EQ(keychain_.path(), path);
  EXPECT_EQ(fnd::DirectoryName(path), fnd::JoinPath(home_.path(), "Keychains"));
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(fnd::DirectoryName(path).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  fnd::Value result;
  EXPECT_EQ(SecItemCopyMatching(With(Item("app", "id"), kSecReturnData, true), &result),
            errSecSuccess);
  EXPECT_EQ(result, fnd::Value(Bytes("value")));
}

TEST_F(KeychainTest, PlatformEntryPointsUseTheUsersKeychain) {
  EXPECT_EQ(SecItemAdd(With(Item("s", "a"), kSecValueData, Bytes("1")), nullptr), errSecSuccess);
  EXPECT_EQ(SecItemUpdate(Item("s", "a"), {{kSecValueData, Bytes("2")}}), errSecSuccess);
  EXPECT_EQ(DataOf("s", "a"), fnd::Value(Bytes("2")));
  EXPECT_EQ(SecItemDelete(Item("s", "a")), errSecSuccess);
  EXPECT_EQ(SecItemDelete(Item("s", "a")), errSecItemNotFound);
}

TEST_F(KeychainTest, ADamagedStoreFailsEveryOperationAndIsNeverRewritten) {
  auto plist = [](const fnd::Value& value) {
    auto data = fnd::PropertyList::ToData(value, fnd::PropertyListFormat::kBinary);
    return std::string(data->begin(), data->end());
  };
  fnd::Dictionary badItem = {{kSecAttrService, 5}};
  const std::vector<std::pair<const char*, std::string>> contents = {
      {"not a property list", "\x01\x02garbage"},
      {"empty file", ""},
      {"root is an array", plist(fnd::Array{1})},
      {"unknown version", plist(fnd::Dictionary{{"version", 2}, {"items", fnd::Array{}}})},
      {"no item list", plist(fnd::Dictionary{{"version", 1}})},
      {"item with a bad attribute",
       plist(fnd::Dictionary{{"version", 1}, {"items", fnd::Array{badItem}}})},
      {"two items with one identity",
       plist(fnd::Dictionary{{"version", 1},
                             {"items", fnd::Array{fnd::Dictionary{{kSecAttrService, "s"}},
                                                  fnd::Dictionary{{kSecAttrService, "s"}}}}})},
  };
  const std::string path = keychain_.path();
  ASSERT_TRUE(fnd::CreateDirectories(fnd::DirectoryName(path)));
  for (const auto& [name, bytes] : contents) {
    ASSERT_TRUE(fnd::WriteFileAtomically(path, bytes, 0600)) << name;
    fnd::Error error;
    EXPECT_EQ(keychain_.add(With(Item("s", "a"), kSecValueData, Bytes("v")), nullptr, &error),
              errSecInvalidKeychain)
        << name;
    EXPECT_NE(error.localizedDescription().find(path), std::string::npos)
        << name << ": " << error.localizedDescription();
    EXPECT_EQ(keychain_.copyMatching(Item("s", "a")), errSecInvalidKeychain) << name;
    EXPECT_EQ(keychain_.update(Item("s", "a"), {{kSecValueData, Bytes("w")}}),
              errSecInvalidKeychain)
        << name;
    EXPECT_EQ(keychain_.remove(Item("s", "a")), errSecInvalidKeychain) << name;
    auto after = fnd::ReadFileData(path);
    ASSERT_TRUE(after.has_value()) << name;
    EXPECT_EQ(std::string(after->begin(), after->end()), bytes) << name;
  }
}

TEST(KeychainErrorTest, ErrorsCarryTheStatusAndItsText) {
  fnd::Error error = KeychainError(errSecItemNotFound, "nothing there");
  EXPECT_EQ(error.domain(), kOSStatusErrorDomain);
  EXPECT_EQ(error.code(), errSecItemNotFound);
  EXPECT_EQ(error.localizedDescription(),
            "The specified item could not be found in the keychain.: nothing there");
  EXPECT_EQ(SecCopyErrorMessageString(12345), "OSStatus 12345");
}

}  // namespace
}  // namespace security

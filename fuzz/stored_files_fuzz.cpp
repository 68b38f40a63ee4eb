// Files the program reads back from disk, with arbitrary contents: the keychain file, a preference
// file read through the typed reads of the preference store, the analytics engine's persistent
// dictionary with its typed reads, and the options file. A damaged file is refused or read as
// empty, never aborts; a keychain file that is not of its layout is never rewritten.
//
// Input: one byte that picks the file (modulo 4: keychain, preferences, persistent dictionary,
// options), then the file's bytes.
//
// Run with -max_len=1048576: the files can be that large.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <system_error>

#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/persistent_dictionary.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"
#include "platform/foundation/user_defaults.h"
#include "platform/security/keychain.h"
#include "platform/vendor/core/options.h"

namespace {

constexpr const char* kSuite = "com.example.fuzz.suite";
constexpr const char* kDictionary = "com.example.fuzz.dictionary";

fnd::ScopedTestHome& Home() {
  static fnd::ScopedTestHome* home = new fnd::ScopedTestHome();
  return *home;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// The keys of the file's root dictionary, when it is one, and a few that are likely absent.
std::set<std::string> Keys(const uint8_t* data, size_t size) {
  std::set<std::string> keys{"", "missing", "count"};
  auto value =
      fnd::PropertyList::FromData(std::string_view(reinterpret_cast<const char*>(data), size));
  if (value && value->dictionary()) {
    for (const auto& [key, item] : *value->dictionary()) {
      if (key.string()) keys.insert(*key.string());
    }
  }
  return keys;
}

void Keychain(const uint8_t* data, size_t size) {
  const std::string path = Home().path() + "/fuzz.keychain";
  WriteFile(path, data, size);
  const security::Keychain keychain(path);
  fnd::Value result;
  (void)keychain.copyMatching({{security::kSecClass, security::kSecClassGenericPassword},
                               {security::kSecMatchLimit, security::kSecMatchLimitAll},
                               {security::kSecReturnAttributes, true},
                               {security::kSecReturnData, true}},
                              &result);
  const fnd::Dictionary item{{security::kSecClass, security::kSecClassGenericPassword},
                             {security::kSecAttrService, "fuzz"},
                             {security::kSecAttrAccount, "account"}};
  const security::OSStatus added =
      keychain.add({{security::kSecClass, security::kSecClassGenericPassword},
                    {security::kSecAttrService, "fuzz"},
                    {security::kSecAttrAccount, "account"},
                    {security::kSecValueData, fnd::Value(fnd::Data{1, 2, 3})}});
  if (added == security::errSecInvalidKeychain &&
      ReadFile(path) != std::string(reinterpret_cast<const char*>(data), size)) {
    Fail("a keychain file of another layout was rewritten");
  }
  (void)keychain.update(item, {{security::kSecAttrLabel, "label"}});
  (void)keychain.copyMatching(item, &result);
  (void)keychain.remove(item);
  std::remove(path.c_str());
}

void Preferences(const uint8_t* data, size_t size) {
  const std::string path = fnd::PreferencesFilePath(kSuite);
  WriteFile(path, data, size);
  fnd::PreferencesResetCacheForTesting();
  fnd::UserDefaults defaults(kSuite);
  for (const std::string& key : Keys(data, size)) {
    (void)defaults.objectForKey(key);
    (void)defaults.stringForKey(key);
    (void)defaults.arrayForKey(key);
    (void)defaults.dictionaryForKey(key);
    (void)defaults.dataForKey(key);
    (void)defaults.integerForKey(key);
    (void)defaults.doubleForKey(key);
    (void)defaults.boolForKey(key);
  }
  (void)defaults.dictionaryRepresentation();
  defaults.setInteger("count", 1);
  (void)defaults.synchronize();
  std::remove(path.c_str());
  fnd::PreferencesResetCacheForTesting();
}

void PersistentDictionary(const uint8_t* data, size_t size) {
  const std::string path = ZIVFilePathForPersistentDictionaryName(kDictionary);
  if (path.empty()) return;
  WriteFile(path, data, size);
  {
    static const auto clock = std::make_shared<dispatch::ManualClock>();
    auto dictionary = ZIVPersistentDictionary::create(kDictionary, clock);
    if (!dictionary) return;
    for (const std::string& key : Keys(data, size)) {
      (void)dictionary->objectForKey(key);
      (void)dictionary->integerForKey(key);
      (void)dictionary->floatForKey(key);
      (void)dictionary->doubleForKey(key);
      (void)dictionary->boolForKey(key);
      (void)dictionary->stringForKey(key);
      (void)dictionary->numberForKey(key);
      (void)dictionary->arrayForKey(key);
      (void)dictionary->dictionaryForKey(key);
    }
    dictionary->setInteger(1, "count");
    dictionary->synchronize();
  }
  std::remove(path.c_str());
}

void Options(const uint8_t* data, size_t size) {
  const std::string path = Home().path() + "/RivadoService-Info.plist";
  WriteFile(path, data, size);
  if (auto options = DEVOptions::optionsWithContentsOfFile(path)) {
    (void)options->rivadoAppID();
    (void)options->RCMSenderID();
    (void)options->APIKey();
    (void)options->projectID();
    (void)options->bundleID();
    (void)options->clientID();
    (void)options->databaseURL();
    (void)options->storageBucket();
    (void)options->appGroupID();
    (void)options->trackingID();
    (void)options->isAnalyticsCollectionEnabled();
    (void)options->isAnalyticsCollectionDeactivated();
  }
  std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)Home();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  switch (data[0] % 4) {
    case 0:
      Keychain(data + 1, size - 1);
      break;
    case 1:
      Preferences(data + 1, size - 1);
      break;
    case 2:
      PersistentDictionary(data + 1, size - 1);
      break;
    default:
      Options(data + 1, size - 1);
      break;
  }
  return 0;
}

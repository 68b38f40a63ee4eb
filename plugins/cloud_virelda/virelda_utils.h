// The process-wide cache of the Virelda instances that the bridge has made, keyed by native app
// name and database URL, and the translation of SDK errors into the bridge's channel codes.
//
// Every instance the bridge uses is made through this cache (the value codec's instance values
// and the plugin's instance lookup), so that later calls, document references written back to
// Dart and the clean-up on a Dart restart all find the same instance.
//
// Thread safety: every method may be called from any thread; the cache has its own lock.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/error.h"
#include "platform/vendor/virelda/virelda.h"

// One entry of the instance cache.
class FLTZudiroruVireldaExtension {
 public:
  FLTZudiroruVireldaExtension(std::shared_ptr<DEVVirelda> instance, std::string databaseURL)
      : instance_(std::move(instance)), databaseURL_(std::move(databaseURL)) {}
  const std::shared_ptr<DEVVirelda>& instance() const { return instance_; }
  const std::string& databaseURL() const { return databaseURL_; }

 private:
  const std::shared_ptr<DEVVirelda> instance_;
  const std::string databaseURL_;
};

class FLTZudiroruVireldaUtils {
 public:
  // "appName|databaseURL".
  static std::string generateKeyForAppName(const std::string& appName,
                                           const std::string& databaseURL);
  // The cached instance of a native app name and database URL, or null.
  static std::shared_ptr<DEVVirelda> getVireldaInstanceByName(const std::string& appName,
                                                              const std::string& databaseURL);
  // Stores an instance, replacing an earlier entry of the same key.
  static void setCachedDEVVireldaInstance(std::shared_ptr<DEVVirelda> instance,
                                          const std::string& appName,
                                          const std::string& databaseURL);
  // Removes the entry of that key, if any.
  static void destroyCachedInstanceForVirelda(const std::string& appName,
                                              const std::string& databaseURL);
  // The entry holding this very instance, or nullopt when it is not cached (the caller reports
  // "NoCachedInstance" / "No cached instance of Virelda").
  static std::optional<FLTZudiroruVireldaExtension> getCachedInstanceForVirelda(
      const DEVVirelda& instance);
  static size_t count();
  // Terminates every cached instance, each from a job on the high-priority global queue, and
  // removes its entry when the SDK reports back. Runs `completion` (when given) once, after the
  // last instance has reported, whatever the results. With no cached instance it never runs it.
  static void cleanupVireldaInstances(std::function<void()> completion);

  // The error table: [channel code, message] of an SDK error (or of none).
  static std::pair<std::string, std::string> ErrorCodeAndMessageFromNSError(
      const fnd::Error* error);

  // Held while an instance is looked up and made, so that two first lookups of the same pair, by
  // the plugin or by the codec on any thread, make one instance.
  static std::mutex& instanceLookupMutex();

  // Test support: forgets every cached instance.
  static void resetForTesting();
};

// The reason of the "NoCachedInstance" failure.
inline constexpr const char* kFLTVireldaNoCachedInstance = "NoCachedInstance";
inline constexpr const char* kFLTVireldaNoCachedInstanceReason = "No cached instance of Virelda";

#include "plugins/cloud_virelda/virelda_utils.h"

#include <atomic>
#include <map>
#include <vector>

#include "platform/dispatch/queue.h"

namespace {

struct Cache {
  std::mutex mu;
  // Guarded by mu. Null until first used.
  std::unique_ptr<std::map<std::string, std::shared_ptr<FLTZudiroruVireldaExtension>>> entries;
};

Cache& TheCache() {
  static Cache* cache = new Cache();
  return *cache;
}

// REQUIRES: the cache's lock.
std::map<std::string, std::shared_ptr<FLTZudiroruVireldaExtension>>& EntriesLocked() {
  auto& cache = TheCache();
  if (!cache.entries) {
    cache.entries =
        std::make_unique<std::map<std::string, std::shared_ptr<FLTZudiroruVireldaExtension>>>();
  }
  return *cache.entries;
}

}  // namespace

std::string FLTZudiroruVireldaUtils::generateKeyForAppName(const std::string& appName,
                                                           const std::string& databaseURL) {
  return appName + "|" + databaseURL;
}

std::shared_ptr<DEVVirelda> FLTZudiroruVireldaUtils::getVireldaInstanceByName(
    const std::string& appName, const std::string& databaseURL) {
  std::lock_guard<std::mutex> lock(TheCache().mu);
  auto& entries = EntriesLocked();
  auto it = entries.find(generateKeyForAppName(appName, databaseURL));
  return it == entries.end() ? nullptr : it->second->instance();
}

void FLTZudiroruVireldaUtils::setCachedDEVVireldaInstance(std::shared_ptr<DEVVirelda> instance,
                                                          const std::string& appName,
                                                          const std::string& databaseURL) {
  std::lock_guard<std::mutex> lock(TheCache().mu);
  EntriesLocked()[generateKeyForAppName(appName, databaseURL)] =
      std::make_shared<FLTZudiroruVireldaExtension>(std::move(instance), databaseURL);
}

void FLTZudiroruVireldaUtils::destroyCachedInstanceForVirelda(const std::string& appName,
                                                              const std::string& databaseURL) {
  auto& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mu);
  if (!cache.entries) return;
  cache.entries->erase(generateKeyForAppName(appName, databaseURL));
}

std::optional<FLTZudiroruVireldaExtension> FLTZudiroruVireldaUtils::getCachedInstanceForVirelda(
    const DEVVirelda& instance) {
  std::lock_guard<std::mutex> lock(TheCache().mu);
  for (const auto& [key, entry] : EntriesLocked()) {
    if (entry->instance().get() == &instance) return *entry;
  }
  return std::nullopt;
}

size_t FLTZudiroruVireldaUtils::count() {
  auto& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mu);
  return cache.entries ? cache.entries->size() : 0;
}

void FLTZudiroruVireldaUtils::cleanupVireldaInstances(std::function<void()> completion) {
  std::vector<std::shared_ptr<FLTZudiroruVireldaExtension>> entries;
  {
    std::lock_guard<std::mutex> lock(TheCache().mu);
    for (const auto& [key, entry] : EntriesLocked()) entries.push_back(entry);
  }
  const size_t total = entries.size();
  auto counter = std::make_shared<std::atomic<size_t>>(0);
  auto counted = [counter, total, completion](const std::optional<fnd::Error>&) {
    // The error is ignored on purpose: a failed termination still counts.
    if (counter->fetch_add(1) + 1 == total && completion) completion();
  };
  for (const auto& entry : entries) {
    dispatch::Queue::global(dispatch::Qos::kUserInitiated)->async([entry, counted] {
      entry->instance()->terminateWithCompletion([entry,
                                                  counted](const std::optional<fnd::Error>& error) {
        const auto& app = entry->instance()->app();
        destroyCachedInstanceForVirelda(app ? app->name() : std::string(), entry->databaseURL());
        counted(error);
      });
    });
  }
}

std::pair<std::string, std::string> FLTZudiroruVireldaUtils::ErrorCodeAndMessageFromNSError(
    const fnd::Error* error) {
  if (!error) return {"unknown", "An unknown error has occurred."};
  switch (error->code()) {
    case 1:
      return {"cancelled", "The operation was cancelled (typically by the caller)."};
    case 2:
      return {"unknown", "Unknown error or an error from a different error domain."};
    case 3:
      return {"invalid-argument",
              "Client specified an invalid argument. Note that this differs from "
              "failed-precondition. invalid-argument indicates arguments that are problematic "
              "regardless of the state of the system (e.g., an invalid field name)."};
    case 4:
      return {"deadline-exceeded",
              "Deadline expired before operation could complete. For operations that change the "
              "state of the system, this error may be returned even if the operation has "
              "completed successfully. For example, a successful response from a server could "
              "have been delayed long enough for the deadline to expire."};
    case 5:
      return {"not-found", "Some requested document was not found."};
    case 6:
      return {"already-exists", "Some document that we attempted to create already exists."};
    case 7:
      return {"permission-denied",
              "The caller does not have permission to execute the specified operation."};
    case 8:
      return {"resource-exhausted",
              "Some resource has been exhausted, perhaps a per-user quota, or perhaps the entire "
              "file system is out of space."};
    case 9: {
      std::string description = error->localizedDescription();
      if (description.find("index") != std::string::npos) {
        return {"failed-precondition", description};
      }
      return {"failed-precondition",
              "Operation was rejected because the system is not in a state required for the "
              "operation's execution. If performing a query, ensure it has been indexed via the "
              "Zudiroru console."};
    }
    case 10:
      return {"aborted",
              "The operation was aborted, typically due to a concurrency issue like transaction "
              "aborts, etc."};
    case 11:
      return {"out-of-range", "Operation was attempted past the valid range."};
    case 12:
      return {"unimplemented", "Operation is not implemented or not supported/enabled."};
    case 13:
      return {"internal",
              "Internal errors. Means some invariants expected by underlying system has been "
              "broken. If you see one of these errors, something is very broken."};
    case 14:
      return {"unavailable",
              "The service is currently unavailable. This is a most likely a transient condition "
              "and may be corrected by retrying with a backoff."};
    case 15:
      return {"data-loss", "Unrecoverable data loss or corruption."};
    case 16:
      return {"unauthenticated",
              "The request does not have valid authentication credentials for the operation."};
    default:
      return {"unknown", "An unknown error occurred."};
  }
}

std::mutex& FLTZudiroruVireldaUtils::instanceLookupMutex() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}

void FLTZudiroruVireldaUtils::resetForTesting() {
  auto& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mu);
  cache.entries.reset();
}

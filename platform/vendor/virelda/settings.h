// Settings of a Virelda instance in the vendor SDK stand-in: backend host, TLS, local cache and
// the dispatch queue on which the instance runs every completion and listener.
//
// A settings object is a mutable record; it is filled in by one thread and then handed to an
// instance, which takes a copy. Not thread-safe while it is being changed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

// A cache size meaning "never collect garbage".
inline constexpr int64_t kDEVVireldaCacheSizeUnlimited = -1;
// The default size of the persistent cache, in bytes.
inline constexpr int64_t kDEVVireldaDefaultCacheSizeBytes = 100 * 1024 * 1024;
// The default backend host.
inline constexpr const char* kDEVVireldaDefaultHost = "virelda.quellmark.example";

// Where an instance keeps its local copy of documents.
class DEVCacheSettings {
 public:
  virtual ~DEVCacheSettings() = default;
};

// Least-recently-used garbage collection of the memory cache.
class DEVMemoryLRUGCSettings {
 public:
  DEVMemoryLRUGCSettings() = default;
};

// A cache on disk of at most sizeBytes (kDEVVireldaCacheSizeUnlimited: no limit).
class DEVPersistentCacheSettings : public DEVCacheSettings {
 public:
  explicit DEVPersistentCacheSettings(int64_t sizeBytes) : sizeBytes_(sizeBytes) {}
  int64_t sizeBytes() const { return sizeBytes_; }

 private:
  const int64_t sizeBytes_;
};

// A cache in memory only; nothing survives the process.
class DEVMemoryCacheSettings : public DEVCacheSettings {
 public:
  explicit DEVMemoryCacheSettings(DEVMemoryLRUGCSettings gc = {}) : gc_(gc) {}
  const DEVMemoryLRUGCSettings& garbageCollectorSettings() const { return gc_; }

 private:
  const DEVMemoryLRUGCSettings gc_;
};

class DEVVireldaSettings : public fnd::Record {
 public:
  // The SDK defaults: the default host, TLS on, a persistent cache of the default size, and the
  // main queue for callbacks.
  DEVVireldaSettings();

  const std::string& host() const { return host_; }
  void setHost(std::string host) { host_ = std::move(host); }
  bool isSslEnabled() const { return sslEnabled_; }
  void setSslEnabled(bool enabled) { sslEnabled_ = enabled; }
  const std::shared_ptr<const DEVCacheSettings>& cacheSettings() const { return cacheSettings_; }
  void setCacheSettings(std::shared_ptr<const DEVCacheSettings> cacheSettings) {
    cacheSettings_ = std::move(cacheSettings);
  }
  const std::shared_ptr<dispatch::Queue>& dispatchQueue() const { return dispatchQueue_; }
  void setDispatchQueue(std::shared_ptr<dispatch::Queue> queue) {
    dispatchQueue_ = std::move(queue);
  }

  std::string typeName() const override { return "DEVVireldaSettings"; }

 private:
  std::string host_;
  bool sslEnabled_;
  std::shared_ptr<const DEVCacheSettings> cacheSettings_;
  std::shared_ptr<dispatch::Queue> dispatchQueue_;
};

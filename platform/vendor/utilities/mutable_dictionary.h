// RVLMutableDictionary: a mutable dictionary that any thread may read and write. Every operation
// takes one internal lock, so each call sees the dictionary whole; a sequence of calls is not
// atomic (read-then-write callers that need that serialise themselves, for example on a queue).
//
// Enumeration (allKeys, allValues, entries) follows the keys' ordering (std::less<Key>), so two
// enumerations of one unchanged dictionary agree. Values are copied in and out; hold shared
// pointers as values to share objects.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

template <typename Key, typename Value>
class RVLMutableDictionary {
 public:
  RVLMutableDictionary() = default;
  RVLMutableDictionary(const RVLMutableDictionary& other) : objects_(other.entriesMap()) {}
  RVLMutableDictionary& operator=(const RVLMutableDictionary& other) {
    if (this != &other) {
      std::map<Key, Value> copy = other.entriesMap();
      std::lock_guard<std::mutex> lock(mu_);
      objects_ = std::move(copy);
    }
    return *this;
  }

  // The value stored for the key, or nullopt.
  std::optional<Value> objectForKey(const Key& key) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = objects_.find(key);
    if (it == objects_.end()) return std::nullopt;
    return it->second;
  }

  // Stores the value for the key, replacing an earlier one.
  void setObject(Value value, const Key& key) {
    std::lock_guard<std::mutex> lock(mu_);
    objects_.insert_or_assign(key, std::move(value));
  }

  void removeObjectForKey(const Key& key) {
    std::lock_guard<std::mutex> lock(mu_);
    objects_.erase(key);
  }

  void removeAllObjects() {
    std::lock_guard<std::mutex> lock(mu_);
    objects_.clear();
  }

  size_t count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return objects_.size();
  }

  std::vector<Key> allKeys() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Key> keys;
    keys.reserve(objects_.size());
    for (const auto& entry : objects_) keys.push_back(entry.first);
    return keys;
  }

  std::vector<Value> allValues() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Value> values;
    values.reserve(objects_.size());
    for (const auto& entry : objects_) values.push_back(entry.second);
    return values;
  }

  // A copy of every entry, in enumeration order.
  std::vector<std::pair<Key, Value>> entries() const {
    std::lock_guard<std::mutex> lock(mu_);
    return std::vector<std::pair<Key, Value>>(objects_.begin(), objects_.end());
  }

 private:
  std::map<Key, Value> entriesMap() const {
    std::lock_guard<std::mutex> lock(mu_);
    return objects_;
  }

  mutable std::mutex mu_;
  std::map<Key, Value> objects_;  // Guarded by mu_.
};

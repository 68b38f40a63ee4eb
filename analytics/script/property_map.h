// APMPPropertyMap: the named properties of a map, array or function value, and the variables of
// a scope. Names keep the order in which they were first written. A map can be made immutable as
// a whole, and single names can be made immutable; a write or removal they block is silently
// ignored.
//
// Thread safety: none; used by the script's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "analytics/script/memory_account.h"
#include "analytics/script/pool_allocator.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/runtime_value.h"

class APMPPropertyMap {
 public:
  // A scope's first entries come and go with every call, so they come from the thread's pool.
  using Entry = std::pair<std::u16string, APMPValueRef>;
  using Entries = std::vector<Entry, APMPPoolAllocator<Entry>>;

  APMPPropertyMap() = default;
  ~APMPPropertyMap();
  APMPPropertyMap(const APMPPropertyMap&) = delete;
  APMPPropertyMap& operator=(const APMPPropertyMap&) = delete;

  bool hasName(const std::u16string& name) const { return positionOf(name) >= 0; }
  // The value stored under the name, or null when absent (no reference-count change).
  const APMPValueRef* lookup(const std::u16string& name) const {
    const ptrdiff_t position = positionOf(name);
    return position < 0 ? nullptr : &entries_[static_cast<size_t>(position)].second;
  }
  // The value, or undefined when the name is absent.
  APMPValueRef valueForName(const std::u16string& name) const;
  // Writes unless the map or the name is immutable.
  void setValue(APMPValueRef value, const std::u16string& name);
  // When the name has an entry: writes `value` there as setValue() would (when `write` is true)
  // and gives true. False, with nothing written, when the name has none.
  bool assignIfPresent(APMPValueRef&& value, const std::u16string& name, bool write);
  // Writes like setValue(), then makes the name immutable.
  void setImmutableValue(APMPValueRef value, const std::u16string& name);
  // Removes under the same guard as setValue().
  void removeValueForName(const std::u16string& name);
  void makeImmutable() { immutable_ = true; }
  bool isImmutable() const { return immutable_; }
  bool isImmutableName(const std::u16string& name) const {
    return immutableProperties_ && immutableProperties_->count(name) != 0;
  }
  // The names, in first-write order.
  std::vector<std::u16string> allNames() const;
  size_t count() const { return entries_.size(); }
  // The values, in the order of allNames().
  const Entries& entries() const { return entries_; }

  // setValue() of each of `names`, the i-th with the i-th of the `count` values or undefined
  // beyond them (a call's parameters).
  void setValues(const std::vector<std::u16string>& names, const APMPValueRef* const* values,
                 size_t count);
  // Drops every entry (and the immutable names); used by the collector's sweep.
  void clear();

  // For a call scope kept for the next call of its function: when the map is writable, holds
  // exactly `names` in that order (it was filled by setValues() with them and has lost no entry
  // since) and no more than the entries that are never charged, drops every value (the entries
  // then hold nothing until refilled) and gives true; otherwise changes nothing and gives false.
  bool dropValuesIfHolding(const std::vector<std::u16string>& names) {
    // Entries are only ever appended unless one was removed, so the same count means the same
    // names.
    if (immutable_ || immutableProperties_ || shrunk_ || entries_.size() != names.size() ||
        entries_.size() > kUnchargedEntries) {
      return false;
    }
    for (auto& entry : entries_) APMPReleaseValue(std::move(entry.second));
    return true;
  }
  // The values of a map emptied by dropValuesIfHolding(): the i-th entry gets the i-th of the
  // `count` values, or undefined beyond them (a call's parameters, as setValues() gives them).
  void refillValues(const APMPValueRef* const* values, size_t count) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      entries_[i].second = i < count && *values[i] ? *values[i] : APMPUndefined();
    }
  }

 private:
  bool writable(const std::u16string& name) const { return !immutable_ && !isImmutableName(name); }

  // Charges the entries to the memory account; a map of a few entries (a call's parameters, a
  // small object) is covered by its holder's own charge.
  static constexpr size_t kUnchargedEntries = 4;
  void account() { ticket_.set(entries_.size() > kUnchargedEntries ? bytes_ : 0); }
  static int64_t EntryBytes(const std::u16string& name) {
    return APMPMemoryPerEntry + static_cast<int64_t>(2 * name.size() * sizeof(char16_t));
  }

  // The position of the name in entries_, or -1. Small maps (a call's parameters, most scopes
  // and objects) are scanned, which is faster than hashing the name; larger ones keep an index.
  static constexpr size_t kIndexedFrom = 12;
  ptrdiff_t positionOf(const std::u16string& name) const {
    if (entries_.size() < kIndexedFrom) {
      for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].first == name) return static_cast<ptrdiff_t>(i);
      }
      return -1;
    }
    auto it = index_->find(name);
    return it == index_->end() ? -1 : static_cast<ptrdiff_t>(it->second);
  }
  // Rebuilds the index from entries_ (or drops it when the map is small again).
  void reindex();

  Entries entries_;
  // Made only when needed, so that a small map (a call's scope) is cheap to make and drop.
  std::unique_ptr<std::unordered_map<std::u16string, size_t>> index_;  // From kIndexedFrom on.
  std::unique_ptr<std::unordered_set<std::u16string>> immutableProperties_;
  bool immutable_ = false;
  bool shrunk_ = false;  // An entry was removed since the map was made.
  int64_t bytes_ = 0;    // What the entries hold, names included.
  APMPMemoryTicket ticket_;
};

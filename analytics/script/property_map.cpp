#include "analytics/script/property_map.h"

#include "analytics/script/release_queue.h"

APMPPropertyMap::~APMPPropertyMap() { clear(); }

bool APMPPropertyMap::hasName(const std::u16string& name) const { return index_.count(name) != 0; }

APMPValueRef APMPPropertyMap::valueForName(const std::u16string& name) const {
  auto it = index_.find(name);
  return it == index_.end() ? APMPUndefined() : entries_[it->second].second;
}

void APMPPropertyMap::setValue(APMPValueRef value, const std::u16string& name) {
  if (!writable(name)) return;
  if (!value) value = APMPUndefined();
  auto it = index_.find(name);
  if (it != index_.end()) {
    APMPValueRef old = std::move(entries_[it->second].second);
    entries_[it->second].second = std::move(value);
    APMPReleaseLater(std::move(old));
    return;
  }
  index_.emplace(name, entries_.size());
  entries_.emplace_back(name, std::move(value));
  bytes_ += EntryBytes(name);
  account();
}

void APMPPropertyMap::setImmutableValue(APMPValueRef value, const std::u16string& name) {
  if (!writable(name)) return;
  setValue(std::move(value), name);
  immutableProperties_.insert(name);
}

void APMPPropertyMap::removeValueForName(const std::u16string& name) {
  if (!writable(name)) return;
  auto it = index_.find(name);
  if (it == index_.end()) return;
  size_t position = it->second;
  index_.erase(it);
  APMPValueRef old = std::move(entries_[position].second);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  for (size_t i = position; i < entries_.size(); ++i) index_[entries_[i].first] = i;
  bytes_ -= EntryBytes(name);
  account();
  APMPReleaseLater(std::move(old));
}

std::vector<std::u16string> APMPPropertyMap::allNames() const {
  std::vector<std::u16string> names;
  names.reserve(entries_.size());
  for (const auto& entry : entries_) names.push_back(entry.first);
  return names;
}

void APMPPropertyMap::clear() {
  auto entries = std::move(entries_);
  entries_.clear();
  index_.clear();
  immutableProperties_.clear();
  bytes_ = 0;
  account();
  for (auto& entry : entries) APMPReleaseLater(std::move(entry.second));
}

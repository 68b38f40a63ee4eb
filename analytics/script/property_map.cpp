#include "analytics/script/property_map.h"

#include "analytics/script/release_queue.h"

APMPPropertyMap::~APMPPropertyMap() { clear(); }

APMPValueRef APMPPropertyMap::valueForName(const std::u16string& name) const {
  const ptrdiff_t position = positionOf(name);
  return position < 0 ? APMPUndefined() : entries_[static_cast<size_t>(position)].second;
}

void APMPPropertyMap::setValue(APMPValueRef value, const std::u16string& name) {
  if (!writable(name)) return;
  if (!value) value = APMPUndefined();
  const ptrdiff_t position = positionOf(name);
  if (position >= 0) {
    APMPValueRef& slot = entries_[static_cast<size_t>(position)].second;
    APMPValueRef old = std::move(slot);
    slot = std::move(value);
    APMPReleaseValue(std::move(old));
    return;
  }
  entries_.emplace_back(name, std::move(value));
  if (entries_.size() == kIndexedFrom) {
    reindex();
  } else if (entries_.size() > kIndexedFrom) {
    index_->emplace(name, entries_.size() - 1);
  }
  bytes_ += EntryBytes(name);
  account();
}

bool APMPPropertyMap::assignIfPresent(APMPValueRef&& value, const std::u16string& name,
                                      bool write) {
  const ptrdiff_t position = positionOf(name);
  if (position < 0) return false;
  if (write && writable(name)) {
    APMPValueRef& slot = entries_[static_cast<size_t>(position)].second;
    APMPValueRef old = std::move(slot);
    slot = value ? std::move(value) : APMPUndefined();
    APMPReleaseValue(std::move(old));
  }
  return true;
}

void APMPPropertyMap::setValues(const std::vector<std::u16string>& names,
                                const APMPValueRef* const* values, size_t count) {
  auto valueAt = [&](size_t i) -> const APMPValueRef& {
    return i < count && *values[i] ? *values[i] : APMPUndefined();
  };
  // A fresh writable map (a call's scope) takes distinct names in one pass, as setValue() would.
  bool fresh =
      entries_.empty() && !immutable_ && !immutableProperties_ && names.size() < kIndexedFrom;
  for (size_t i = 1; fresh && i < names.size(); ++i) {
    for (size_t j = 0; j < i && fresh; ++j) fresh = names[i] != names[j];
  }
  if (!fresh) {
    for (size_t i = 0; i < names.size(); ++i) setValue(valueAt(i), names[i]);
    return;
  }
  entries_.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    entries_.emplace_back(names[i], valueAt(i));
    bytes_ += EntryBytes(names[i]);
  }
  account();
}

void APMPPropertyMap::setImmutableValue(APMPValueRef value, const std::u16string& name) {
  if (!writable(name)) return;
  setValue(std::move(value), name);
  if (!immutableProperties_) {
    immutableProperties_ = std::make_unique<std::unordered_set<std::u16string>>();
  }
  immutableProperties_->insert(name);
}

void APMPPropertyMap::removeValueForName(const std::u16string& name) {
  if (!writable(name)) return;
  const ptrdiff_t found = positionOf(name);
  if (found < 0) return;
  const size_t position = static_cast<size_t>(found);
  shrunk_ = true;
  APMPValueRef old = std::move(entries_[position].second);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  if (entries_.size() + 1 >= kIndexedFrom) {
    if (entries_.size() < kIndexedFrom) {
      index_.reset();
    } else {
      index_->erase(name);
      for (size_t i = position; i < entries_.size(); ++i) (*index_)[entries_[i].first] = i;
    }
  }
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

void APMPPropertyMap::reindex() {
  index_.reset();
  if (entries_.size() < kIndexedFrom) return;
  index_ = std::make_unique<std::unordered_map<std::u16string, size_t>>();
  index_->reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) index_->emplace(entries_[i].first, i);
}

void APMPPropertyMap::clear() {
  if (entries_.empty() && !immutableProperties_) return;  // Nothing held, nothing charged.
  shrunk_ = true;
  Entries entries = std::move(entries_);
  entries_.clear();
  index_.reset();
  immutableProperties_.reset();
  bytes_ = 0;
  account();
  for (auto& entry : entries) APMPReleaseValue(std::move(entry.second));
}

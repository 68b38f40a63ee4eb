#include "analytics/proto/message_info.h"

#include <utility>

NanoArray::NanoArray() = default;
NanoArray::NanoArray(NanoArray&&) noexcept = default;
NanoArray& NanoArray::operator=(NanoArray&&) noexcept = default;
NanoArray::~NanoArray() = default;

NanoField::NanoField() = default;
NanoField::NanoField(uint64_t cell) : value(cell) {}
NanoField::NanoField(NanoString string) : value(std::move(string)) {}
NanoField::NanoField(std::unique_ptr<NanoMessageInfo> message) : value(std::move(message)) {}
NanoField::NanoField(NanoArray array) : value(std::move(array)) {}
NanoField::NanoField(NanoField&&) noexcept = default;
NanoField& NanoField::operator=(NanoField&&) noexcept = default;
NanoField::~NanoField() = default;

NanoMessageInfo* NanoField::message() {
  auto* p = std::get_if<std::unique_ptr<NanoMessageInfo>>(&value);
  return p ? p->get() : nullptr;
}

const NanoMessageInfo* NanoField::message() const {
  auto* p = std::get_if<std::unique_ptr<NanoMessageInfo>>(&value);
  return p ? p->get() : nullptr;
}

NanoMessageInfo::NanoMessageInfo() = default;
NanoMessageInfo::NanoMessageInfo(NanoMessageInfo&&) noexcept = default;
NanoMessageInfo& NanoMessageInfo::operator=(NanoMessageInfo&&) noexcept = default;
NanoMessageInfo::~NanoMessageInfo() = default;

const uint32_t* NanoMessageInfo::fieldsType() const {
  return descriptor ? descriptor->fields_type : nullptr;
}

const char* NanoMessageInfo::messageId() const {
  return descriptor ? descriptor->message_id : nullptr;
}

int32_t NanoMessageInfo::fieldCount() const { return descriptor ? descriptor->field_count : 0; }

NanoField* NanoMessageInfo::field(int32_t position) {
  if (position < 0 || static_cast<size_t>(position) >= slots.size()) return nullptr;
  return slots[static_cast<size_t>(position)].get();
}

const NanoField* NanoMessageInfo::field(int32_t position) const {
  if (position < 0 || static_cast<size_t>(position) >= slots.size()) return nullptr;
  return slots[static_cast<size_t>(position)].get();
}

// ---- NanoSlots

NanoSlots::NanoSlots(NanoSlots&& other) noexcept { *this = std::move(other); }

NanoSlots& NanoSlots::operator=(NanoSlots&& other) noexcept {
  if (this == &other) return *this;
  clear();
  if (other.heap_) {
    heap_ = std::move(other.heap_);
    capacity_ = other.capacity_;
  } else {
    for (size_t i = 0; i < other.size_; ++i) inline_[i] = std::move(other.inline_[i]);
  }
  size_ = other.size_;
  other.capacity_ = kInlineSlots;
  other.size_ = 0;
  return *this;
}

NanoSlots::~NanoSlots() = default;

void NanoSlots::clear() {
  Slot* slots = data();
  for (size_t i = 0; i < size_; ++i) slots[i].reset();
  heap_.reset();
  capacity_ = kInlineSlots;
  size_ = 0;
}

void NanoSlots::resize(size_t count) {
  Slot* slots = data();
  if (count <= capacity_) {
    for (size_t i = count; i < size_; ++i) slots[i].reset();
    size_ = count;
    return;
  }
  auto grown = std::make_unique<Slot[]>(count);
  for (size_t i = 0; i < size_; ++i) grown[i] = std::move(slots[i]);
  heap_ = std::move(grown);
  capacity_ = count;
  size_ = count;
}

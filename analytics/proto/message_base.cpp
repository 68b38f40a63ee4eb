#include "analytics/proto/message_base.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

#include "analytics/proto/nano_codec.h"

APMPBMessage::APMPBMessage(const ApmpbMessageDescriptor& descriptor,
                           std::unique_ptr<NanoMessageInfo> info)
    : descriptor_(descriptor), info_(std::move(info)) {}

APMPBMessage::~APMPBMessage() {
  if (info_) descriptor_.free(std::move(info_));
}

std::optional<fnd::Data> APMPBMessage::protoBuffer() const {
  if (!info_) return std::nullopt;
  fnd::Data data;
  if (descriptor_.encode(info_.get(), &data) < 0) return std::nullopt;
  return data;
}

void APMPAppendVarint(fnd::Data* out, uint64_t value) {
  while (value >= 0x80) {
    out->push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<uint8_t>(value));
}

namespace {

bool ReadVarint(const uint8_t* bytes, size_t size, size_t* at, uint64_t* value) {
  *value = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    if (*at >= size) return false;
    const uint8_t byte = bytes[(*at)++];
    *value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return true;
  }
  return false;
}

// One top-level field of an encoding: its key, where it starts, where its content (the value, or
// a length-delimited field's bytes) starts, and where it ends.
struct FieldSpan {
  uint64_t key = 0;
  size_t start = 0;
  size_t content = 0;
  size_t end = 0;
};

// Reads the field at *at and moves past it; false for bytes that do not parse.
bool ReadField(const uint8_t* bytes, size_t size, size_t* at, FieldSpan* field) {
  field->start = *at;
  if (!ReadVarint(bytes, size, at, &field->key)) return false;
  uint64_t length = 0;
  switch (field->key & 7) {
    case 0:
      field->content = *at;
      if (!ReadVarint(bytes, size, at, &length)) return false;
      length = 0;
      break;
    case 1:
      length = 8;
      break;
    case 2:
      if (!ReadVarint(bytes, size, at, &length)) return false;
      break;
    case 5:
      length = 4;
      break;
    default:
      return false;
  }
  if ((field->key & 7) != 0) field->content = *at;
  if (length > size - *at) return false;
  *at += static_cast<size_t>(length);
  field->end = *at;
  return true;
}

// The offset of the first top-level field whose number is above `tag` (the end when none is):
// where an encoder that writes fields in tag order puts that field's items. nullopt for bytes
// that do not parse.
std::optional<size_t> OffsetAfterTag(const fnd::Data& bytes, uint32_t tag) {
  size_t at = 0;
  FieldSpan field;
  while (at < bytes.size()) {
    size_t next = at;
    uint64_t key;
    if (!ReadVarint(bytes.data(), bytes.size(), &next, &key)) return std::nullopt;
    if ((key >> 3) > tag) return at;
    if (!ReadField(bytes.data(), bytes.size(), &at, &field)) return std::nullopt;
  }
  return at;
}

}  // namespace

bool APMPForEachElement(const uint8_t* bytes, size_t length, uint32_t tag,
                        const std::function<bool(const uint8_t*, size_t)>& visit) {
  if (!bytes && length > 0) return false;
  size_t at = 0;
  FieldSpan field;
  while (at < length) {
    if (!ReadField(bytes, length, &at, &field)) return false;
    if ((field.key >> 3) != tag || (field.key & 7) != 2) continue;
    if (!visit(bytes + field.content, field.end - field.content)) return true;
  }
  return true;
}

std::optional<fnd::Data> APMPBMessage::protoBufferWithItems(
    int32_t position, const std::vector<fnd::Data>& items) const {
  size_t size = 0;
  for (const fnd::Data& item : items) size += item.size() + 16;
  return spliceIntoField(position, size, [&](fnd::Data* out) {
    const uint32_t tag = descriptor_.fields[position].tag;
    for (const fnd::Data& item : items) {
      APMPAppendVarint(out, (static_cast<uint64_t>(tag) << 3) | 2);
      APMPAppendVarint(out, item.size());
      out->insert(out->end(), item.begin(), item.end());
    }
  });
}

std::optional<fnd::Data> APMPBMessage::protoBufferWithElements(int32_t position,
                                                               const fnd::Data& elements) const {
  return spliceIntoField(position, elements.size(), [&](fnd::Data* out) {
    out->insert(out->end(), elements.begin(), elements.end());
  });
}

std::optional<fnd::Data> APMPBMessage::spliceIntoField(
    int32_t position, size_t size, const std::function<void(fnd::Data*)>& write) const {
  if (!info_ || position < 0 || position >= descriptor_.field_count) return std::nullopt;
  const uint32_t kind = descriptor_.fields_type[position];
  if (!(kind & kNanoKindRepeated) || !(kind & kNanoKindMessage)) return std::nullopt;
  const NanoField* field = info_->field(position);
  const NanoArray* array = field ? field->array() : nullptr;
  if (!array || array->item_count != 0) return std::nullopt;
  std::optional<fnd::Data> rest = protoBuffer();
  if (!rest) return std::nullopt;
  std::optional<size_t> split = OffsetAfterTag(*rest, descriptor_.fields[position].tag);
  if (!split) return std::nullopt;
  fnd::Data out;
  out.reserve(rest->size() + size);
  out.insert(out.end(), rest->begin(), rest->begin() + static_cast<std::ptrdiff_t>(*split));
  write(&out);
  out.insert(out.end(), rest->begin() + static_cast<std::ptrdiff_t>(*split), rest->end());
  return out;
}

bool APMPBMessage::isEqual(const fnd::Record& other) const {
  if (this == &other) return true;
  auto* message = dynamic_cast<const APMPBMessage*>(&other);
  if (!message || &message->descriptor_ != &descriptor_) return false;
  std::optional<fnd::Data> mine = protoBuffer();
  std::optional<fnd::Data> theirs = message->protoBuffer();
  return mine && theirs && *mine == *theirs;
}

size_t APMPBMessage::hash() const {
  std::optional<fnd::Data> bytes = protoBuffer();
  if (!bytes) return std::hash<const void*>()(this);
  return std::hash<std::string_view>()(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

std::string APMPBMessage::description() const { return descriptionOfEncoding(protoBuffer()); }

std::string APMPBMessage::descriptionOfEncoding(const std::optional<fnd::Data>& bytes) const {
  std::string text = "<";
  text += descriptor_.class_name;
  text += bytes ? ": " + std::to_string(bytes->size()) + " bytes>" : ": not encodable>";
  return text;
}

std::unique_ptr<NanoMessageInfo> APMPBMessage::RecordFromInfo(const ApmpbMessageDescriptor& d,
                                                              const NanoMessageInfo* info) {
  if (!info) {
    auto record = std::make_unique<NanoMessageInfo>();
    if (!d.init(record.get())) return nullptr;
    return record;
  }
  const char* id = info->messageId();
  if (!id || std::strcmp(id, d.message_id) != 0) return nullptr;
  std::unique_ptr<NanoMessageInfo> copy;
  if (!d.copy(&copy, info)) return nullptr;
  return copy;
}

std::unique_ptr<NanoMessageInfo> APMPBMessage::RecordFromBufferKeepingElements(
    const ApmpbMessageDescriptor& d, const fnd::Data& data, int32_t position, fnd::Data* elements) {
  if (!elements || position < 0 || position >= d.field_count) return nullptr;
  const uint32_t kind = d.fields_type[position];
  if (!(kind & kNanoKindRepeated) || !(kind & kNanoKindMessage)) return nullptr;
  if (!nano_message_is_canonical(d, data.data(), data.size())) return nullptr;
  // Fields come in tag order, so the field's elements are one run of the bytes.
  const uint32_t tag = d.fields[position].tag;
  size_t first = data.size();
  size_t last = data.size();
  size_t at = 0;
  FieldSpan field;
  while (at < data.size()) {
    if (!ReadField(data.data(), data.size(), &at, &field)) return nullptr;
    const uint64_t number = field.key >> 3;
    if (number == tag && first == data.size()) first = field.start;
    if (number > tag) {
      last = field.start;
      break;
    }
  }
  if (first > last) first = last;
  fnd::Data rest;
  rest.reserve(data.size() - (last - first));
  rest.insert(rest.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(first));
  rest.insert(rest.end(), data.begin() + static_cast<std::ptrdiff_t>(last), data.end());
  // The rest is canonical too, so it decodes, silently.
  std::unique_ptr<NanoMessageInfo> record = RecordFromBuffer(d, rest.data(), rest.size());
  if (!record) return nullptr;
  elements->assign(data.begin() + static_cast<std::ptrdiff_t>(first),
                   data.begin() + static_cast<std::ptrdiff_t>(last));
  return record;
}

std::unique_ptr<NanoMessageInfo> APMPBMessage::RecordFromBuffer(const ApmpbMessageDescriptor& d,
                                                                const uint8_t* bytes,
                                                                size_t length) {
  auto record = std::make_unique<NanoMessageInfo>();
  if (!d.init(record.get())) return nullptr;
  if (!d.decode(bytes, length, record.get())) {
    d.free(std::move(record));
    return nullptr;
  }
  // The decoded record is fresh and unshared: it becomes the object's own record as is, which is
  // what a deep copy of it would give.
  return record;
}

#include "analytics/proto/message_base.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

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

bool ReadVarint(const fnd::Data& bytes, size_t* at, uint64_t* value) {
  *value = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    if (*at >= bytes.size()) return false;
    const uint8_t byte = bytes[(*at)++];
    *value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return true;
  }
  return false;
}

// The offset of the first top-level field whose number is above `tag` (the end when none is):
// where an encoder that writes fields in tag order puts that field's items. nullopt for bytes
// that do not parse.
std::optional<size_t> OffsetAfterTag(const fnd::Data& bytes, uint32_t tag) {
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t start = at;
    uint64_t key;
    if (!ReadVarint(bytes, &at, &key)) return std::nullopt;
    if ((key >> 3) > tag) return start;
    uint64_t length = 0;
    switch (key & 7) {
      case 0:
        if (!ReadVarint(bytes, &at, &length)) return std::nullopt;
        length = 0;
        break;
      case 1:
        length = 8;
        break;
      case 2:
        if (!ReadVarint(bytes, &at, &length)) return std::nullopt;
        break;
      case 5:
        length = 4;
        break;
      default:
        return std::nullopt;
    }
    if (length > bytes.size() - at) return std::nullopt;
    at += static_cast<size_t>(length);
  }
  return at;
}

}  // namespace

std::optional<fnd::Data> APMPBMessage::protoBufferWithItems(
    int32_t position, const std::vector<fnd::Data>& items) const {
  if (!info_ || position < 0 || position >= descriptor_.field_count) return std::nullopt;
  const uint32_t kind = descriptor_.fields_type[position];
  if (!(kind & kNanoKindRepeated) || !(kind & kNanoKindMessage)) return std::nullopt;
  const NanoField* field = info_->field(position);
  const NanoArray* array = field ? field->array() : nullptr;
  if (!array || array->item_count != 0) return std::nullopt;
  std::optional<fnd::Data> rest = protoBuffer();
  if (!rest) return std::nullopt;
  const uint32_t tag = descriptor_.fields[position].tag;
  std::optional<size_t> split = OffsetAfterTag(*rest, tag);
  if (!split) return std::nullopt;
  size_t size = rest->size();
  for (const fnd::Data& item : items) size += item.size() + 16;
  fnd::Data out;
  out.reserve(size);
  out.insert(out.end(), rest->begin(), rest->begin() + static_cast<std::ptrdiff_t>(*split));
  for (const fnd::Data& item : items) {
    APMPAppendVarint(&out, (static_cast<uint64_t>(tag) << 3) | 2);
    APMPAppendVarint(&out, item.size());
    out.insert(out.end(), item.begin(), item.end());
  }
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

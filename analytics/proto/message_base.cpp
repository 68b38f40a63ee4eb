#include "analytics/proto/message_base.h"

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

std::string APMPBMessage::description() const {
  std::optional<fnd::Data> bytes = protoBuffer();
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

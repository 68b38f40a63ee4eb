// The message wrapper classes: every analytics wire message as an object that owns one
// message-info record. The engine builds, passes, stores and encodes messages through these
// classes and reads and writes their fields through the NANO accessors (field_accessors.h).
//
// NANOMessageBase is the protocol that the accessors need of a message. APMPBMessage implements
// it over one record and one descriptor; each generated class APMPB<Msg>
// (analytics/proto/generated/apmpb_messages.h) adds its constructors and field positions.
//
// Thread safety: none. A wrapper is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/proto/message_info.h"
#include "platform/foundation/value.h"

// What the accessors need of a message object.
class NANOMessageBase : public fnd::Record {
 public:
  ~NANOMessageBase() override = default;

  // The message id ("Event").
  virtual const char* messageID() const = 0;
  // The owned record (not a copy), or null when the object holds none.
  virtual NanoMessageInfo* messageInfo() = 0;
  virtual const NanoMessageInfo* messageInfo() const = 0;
  // The class's apmpb_init_<msg>, apmpb_free_<msg>_field and apmpb_copy_<msg>.
  virtual ApmpbInitFn initMessageInfoFn() const = 0;
  virtual ApmpbFreeFieldFn deallocMessageFieldFn() const = 0;
  virtual ApmpbCopyFn copyMessageInfoFn() const = 0;
  // The encoded message, or nullopt when there is no record or the encode fails.
  virtual std::optional<fnd::Data> protoBuffer() const = 0;
};

// A wrapper class as a value, for the accessors that build objects of a caller-chosen class.
// `initWithMessageInfo` makes a new object holding a deep copy of a record (or an empty message
// for null) and answers null on failure; a class without such an initializer leaves it null.
struct NANOMessageClass {
  const char* name;
  std::shared_ptr<NANOMessageBase> (*initWithMessageInfo)(const NanoMessageInfo* info);
};

// Appends `value` as a wire varint (seven bits a byte, low bits first).
void APMPAppendVarint(fnd::Data* out, uint64_t value);

// Calls visit(content, size) with the bytes of each length-delimited top-level field numbered
// `tag` of the encoding `bytes`, in order, until visit answers false. False when the bytes do not
// parse as fields (the walk stops there); nothing is decoded.
bool APMPForEachElement(const uint8_t* bytes, size_t length, uint32_t tag,
                        const std::function<bool(const uint8_t*, size_t)>& visit);

// NANOMessageBase over one owned record of the message type `descriptor`.
class APMPBMessage : public NANOMessageBase {
 public:
  ~APMPBMessage() override;
  APMPBMessage(const APMPBMessage&) = delete;
  APMPBMessage& operator=(const APMPBMessage&) = delete;

  const char* messageID() const override { return descriptor_.message_id; }
  NanoMessageInfo* messageInfo() override { return info_.get(); }
  const NanoMessageInfo* messageInfo() const override { return info_.get(); }
  ApmpbInitFn initMessageInfoFn() const override { return descriptor_.init; }
  ApmpbFreeFieldFn deallocMessageFieldFn() const override { return descriptor_.free_field; }
  ApmpbCopyFn copyMessageInfoFn() const override { return descriptor_.copy; }
  std::optional<fnd::Data> protoBuffer() const override;
  // The encoding that protoBuffer() would answer if the repeated message field at `position`
  // held one message for each of `items`, each item being that message's encoding: written
  // without building or copying those messages. Fields are encoded in tag order, so the items go
  // between the fields of smaller and of larger tags. nullopt when the field is not a repeated
  // message field, holds items itself, or the encode fails.
  std::optional<fnd::Data> protoBufferWithItems(int32_t position,
                                                const std::vector<fnd::Data>& items) const;
  // The same with the items given as their field elements: each the field's key, the item's
  // length and its encoding, one after another (what initWithBufferKeepingElements() hands out).
  std::optional<fnd::Data> protoBufferWithElements(int32_t position,
                                                   const fnd::Data& elements) const;

  // fnd::Record: the class name; two messages are equal when both encode to the same bytes.
  std::string typeName() const override { return descriptor_.class_name; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  std::string description() const override;
  // What description() answers when the message encodes to `bytes` (nullopt: it does not), for a
  // caller that holds the encoding already.
  std::string descriptionOfEncoding(const std::optional<fnd::Data>& bytes) const;

 protected:
  APMPBMessage(const ApmpbMessageDescriptor& descriptor, std::unique_ptr<NanoMessageInfo> info);

  // The record for a new object of type `d`: a fresh empty record for null, else a deep copy of
  // `info`, which must be a record of type `d`. Null on failure.
  static std::unique_ptr<NanoMessageInfo> RecordFromInfo(const ApmpbMessageDescriptor& d,
                                                         const NanoMessageInfo* info);
  // The record decoded from `length` bytes (null bytes decode as zero bytes). Null on failure.
  static std::unique_ptr<NanoMessageInfo> RecordFromBuffer(const ApmpbMessageDescriptor& d,
                                                           const uint8_t* bytes, size_t length);
  // The record decoded from `data` without the items of the repeated message field at
  // `position`, whose field elements are copied to *elements. Null, logging nothing, unless
  // `data` is canonical (nano_message_is_canonical) and the field a repeated message field.
  static std::unique_ptr<NanoMessageInfo> RecordFromBufferKeepingElements(
      const ApmpbMessageDescriptor& d, const fnd::Data& data, int32_t position,
      fnd::Data* elements);

 private:
  // The encoding of protoBuffer() with `write` filling in the elements of the repeated message
  // field at `position` (about `size` bytes) where the encoder would put them; nullopt as for
  // protoBufferWithItems.
  std::optional<fnd::Data> spliceIntoField(int32_t position, size_t size,
                                           const std::function<void(fnd::Data*)>& write) const;

  const ApmpbMessageDescriptor& descriptor_;
  std::unique_ptr<NanoMessageInfo> info_;
};

// The constructors shared by every generated class T (which provides T::descriptor()).
template <typename T>
class APMPBTypedMessage : public APMPBMessage {
 public:
  // Null `info`: an empty message. Otherwise a deep copy of `info`, which must be a record of
  // this message (same id); the argument stays the caller's. Null on failure.
  static std::shared_ptr<T> initWithMessageInfo(const NanoMessageInfo* info) {
    return Make(RecordFromInfo(T::descriptor(), info));
  }
  // The message decoded from `data`; null data decodes as zero bytes (an empty message). Null
  // when the bytes do not decode.
  static std::shared_ptr<T> initWithBuffer(const fnd::Data* data) {
    return Make(
        RecordFromBuffer(T::descriptor(), data ? data->data() : nullptr, data ? data->size() : 0));
  }
  static std::shared_ptr<T> initWithBuffer(const fnd::Data& data) { return initWithBuffer(&data); }
  // The message decoded from `data` with the repeated message field at `position` left empty and
  // its items kept undecoded as their field elements in *elements (replaced), so that
  // protoBufferWithElements(position, *elements) answers `data` again. Only for bytes that
  // encode back to themselves (nano_message_is_canonical), as every encoding protoBuffer()
  // writes does; null for any other bytes, logging nothing: decode those with initWithBuffer().
  static std::shared_ptr<T> initWithBufferKeepingElements(const fnd::Data& data, int32_t position,
                                                          fnd::Data* elements) {
    return Make(RecordFromBufferKeepingElements(T::descriptor(), data, position, elements));
  }

  // The class as a value, for NANOGetMessage and NANOGetArray.
  static const NANOMessageClass& messageClass() {
    static const NANOMessageClass cls{
        T::descriptor().class_name,
        [](const NanoMessageInfo* info) -> std::shared_ptr<NANOMessageBase> {
          return initWithMessageInfo(info);
        }};
    return cls;
  }

 protected:
  explicit APMPBTypedMessage(std::unique_ptr<NanoMessageInfo> info)
      : APMPBMessage(T::descriptor(), std::move(info)) {}

 private:
  static std::shared_ptr<T> Make(std::unique_ptr<NanoMessageInfo> record) {
    if (!record) return nullptr;
    return std::shared_ptr<T>(new T(std::move(record)));
  }
};

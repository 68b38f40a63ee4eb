// The in-memory form of every analytics wire message: a message-info record whose fields are
// addressed by position (declaration order), each present field owning its storage.
//
// A record is made empty (no slot array) and becomes a message of one type through that type's
// apmpb_init_<msg>. After init it has one slot per field; a null slot is an absent field. A
// repeated field's slot always holds its array record, which is emptied but never removed.
// Ownership is strict: a record owns every field, every string and the whole tree of its
// sub-messages; copies are deep.
//
// Thread safety: none. A record is used by one thread at a time; the kind tables and descriptors
// it points to are read-only.
#pragma once

#include <pb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/value.h"

struct NanoField;
struct NanoMessageInfo;
struct ApmpbMessageDescriptor;

// Kind word of a field: one cardinality bit ORed with one type bit.
inline constexpr uint32_t kNanoKindSingular = 0x02;
inline constexpr uint32_t kNanoKindRepeated = 0x08;
inline constexpr uint32_t kNanoKindBool = 0x20;
inline constexpr uint32_t kNanoKindEnum = 0x40;
inline constexpr uint32_t kNanoKindInt32 = 0x80;
inline constexpr uint32_t kNanoKindUInt32 = 0x100;
inline constexpr uint32_t kNanoKindInt64 = 0x200;
inline constexpr uint32_t kNanoKindUInt64 = 0x400;
inline constexpr uint32_t kNanoKindFloat = 0x800;
inline constexpr uint32_t kNanoKindDouble = 0x1000;
inline constexpr uint32_t kNanoKindString = 0x2000;
inline constexpr uint32_t kNanoKindMessage = 0x4000;
inline constexpr uint32_t kNanoKindBytes = 0x8000;

// Deepest nesting of messages (the outermost one counts 1) that the codecs accept. Deeper input
// fails the decode, and a deeper record fails the encode, instead of exhausting the stack.
inline constexpr int kNanoMaxNestingDepth = 100;

// Longest string or bytes field that the decoder accepts (inclusive).
inline constexpr size_t kNanoMaxStringLength = 1048576;

// A string record. `bytes` absent is a record without bytes, which the codecs refuse; a present
// empty string is a record with zero bytes.
struct NanoString {
  uint32_t reserved = 0;
  std::optional<std::string> bytes;

  uint32_t length() const { return bytes ? static_cast<uint32_t>(bytes->size()) : 0; }
};

// An array record: the item array (absent until allocated), the item count that encoders, copy,
// free and the accessors walk, and the fill index that is the decoder's cursor in its second
// pass. Outside a decode, an allocated item array has exactly item_count items; an item may be
// null only in a record that a failed decode left behind.
struct NanoArray {
  NanoArray();
  NanoArray(NanoArray&&) noexcept;
  NanoArray& operator=(NanoArray&&) noexcept;
  ~NanoArray();

  uint32_t fill_index = 0;
  uint32_t item_count = 0;
  std::optional<std::vector<std::unique_ptr<NanoField>>> items;
};

// The storage of one present field or of one array item: a cell (bool, enum and integers
// zero-extended to 64 bits, a double's bits, a float's bits in the low 32), a string record, an
// owned sub-message, or, for a repeated field, its array record.
struct NanoField {
  NanoField();
  explicit NanoField(uint64_t cell);
  explicit NanoField(NanoString string);
  explicit NanoField(std::unique_ptr<NanoMessageInfo> message);
  explicit NanoField(NanoArray array);
  NanoField(NanoField&&) noexcept;
  NanoField& operator=(NanoField&&) noexcept;
  ~NanoField();

  uint64_t* cell() { return std::get_if<uint64_t>(&value); }
  const uint64_t* cell() const { return std::get_if<uint64_t>(&value); }
  NanoString* string() { return std::get_if<NanoString>(&value); }
  const NanoString* string() const { return std::get_if<NanoString>(&value); }
  NanoMessageInfo* message();
  const NanoMessageInfo* message() const;
  NanoArray* array() { return std::get_if<NanoArray>(&value); }
  const NanoArray* array() const { return std::get_if<NanoArray>(&value); }

  std::variant<uint64_t, NanoString, std::unique_ptr<NanoMessageInfo>, NanoArray> value;
};

// The slot array of a record: one owning pointer per field, in position order. Up to
// kInlineSlots slots live inside the record itself (every message but a few large ones), so that
// a small record is one allocation; larger ones take one heap array.
class NanoSlots {
 public:
  static constexpr size_t kInlineSlots = 8;
  using Slot = std::unique_ptr<NanoField>;

  NanoSlots() = default;
  NanoSlots(NanoSlots&& other) noexcept;
  NanoSlots& operator=(NanoSlots&& other) noexcept;
  ~NanoSlots();
  NanoSlots(const NanoSlots&) = delete;
  NanoSlots& operator=(const NanoSlots&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Slot& operator[](size_t i) { return data()[i]; }
  const Slot& operator[](size_t i) const { return data()[i]; }
  Slot* data() { return heap_ ? heap_.get() : inline_; }
  const Slot* data() const { return heap_ ? heap_.get() : inline_; }
  Slot* begin() { return data(); }
  Slot* end() { return data() + size_; }
  const Slot* begin() const { return data(); }
  const Slot* end() const { return data() + size_; }

  // Frees every field and leaves no slots.
  void clear();
  // As std::vector::resize: slots kept keep their fields, new ones are empty.
  void resize(size_t count);

 private:
  Slot inline_[kInlineSlots];
  std::unique_ptr<Slot[]> heap_;  // All slots, when more than kInlineSlots were asked for.
  size_t capacity_ = kInlineSlots;
  size_t size_ = 0;
};

// The message-info record.
struct NanoMessageInfo {
  NanoMessageInfo();
  NanoMessageInfo(NanoMessageInfo&&) noexcept;
  NanoMessageInfo& operator=(NanoMessageInfo&&) noexcept;
  ~NanoMessageInfo();

  // True once init has given the record its slot array.
  bool hasSlots() const { return descriptor != nullptr; }
  // The kind table (one word per position) and the message id, or null before init.
  const uint32_t* fieldsType() const;
  const char* messageId() const;
  int32_t fieldCount() const;

  // The field at a position, or null when absent or out of range.
  NanoField* field(int32_t position);
  const NanoField* field(int32_t position) const;

  // One slot per field, in position order; empty before init.
  NanoSlots slots;
  // The message type; null before init. Static data, never freed.
  const ApmpbMessageDescriptor* descriptor = nullptr;
};

// Per-field entry of a message descriptor.
struct ApmpbFieldDescriptor {
  const char* name;
  uint32_t tag;
  uint32_t kind;
  // The item or sub-message type of a message field, else null.
  const ApmpbMessageDescriptor* message;
};

using ApmpbInitFn = bool (*)(NanoMessageInfo* info);
using ApmpbFreeFieldFn = bool (*)(NanoMessageInfo* info, int32_t position);
using ApmpbFreeFn = bool (*)(std::unique_ptr<NanoMessageInfo> info);
using ApmpbCopyFn = bool (*)(std::unique_ptr<NanoMessageInfo>* destination,
                             const NanoMessageInfo* source);
using ApmpbDecodeFn = bool (*)(const uint8_t* bytes, size_t length, NanoMessageInfo* info);
using ApmpbEncodeFn = int32_t (*)(const NanoMessageInfo* info, fnd::Data* output);
using ApmpbDecodeRepeatedFn = bool (*)(pb_istream_t* stream, const pb_field_t* field, void** arg);
using ApmpbEncodeRepeatedFn = bool (*)(pb_ostream_t* stream, const pb_field_t* field,
                                       void* const* arg);

// Everything the table-driven codec knows of one message type. Generated from the catalogue's
// .proto files; static, read-only.
struct ApmpbMessageDescriptor {
  const char* message_id;  // "Event": the class name without "APMPB".
  const char* class_name;  // "APMPBEvent".
  const pb_msgdesc_t* nanopb_fields;
  size_t nanopb_struct_size;
  const uint32_t* fields_type;  // Kind word per position.
  const ApmpbFieldDescriptor* fields;
  int32_t field_count;
  const int16_t* position_for_tag;  // Indexed by tag, -1 for unused tags.
  uint32_t largest_tag;
  // The message's own apmpb_<verb>_<msg> family.
  ApmpbInitFn init;
  ApmpbFreeFieldFn free_field;
  ApmpbFreeFn free;
  ApmpbCopyFn copy;
  ApmpbDecodeFn decode;
  ApmpbEncodeFn encode;
  ApmpbDecodeRepeatedFn decode_repeated;
  ApmpbEncodeRepeatedFn encode_repeated;

  // The position of a tag, or -1.
  int32_t positionForTag(uint32_t tag) const {
    return tag <= largest_tag ? position_for_tag[tag] : -1;
  }
};

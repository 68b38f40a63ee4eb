#include "analytics/proto/nano_codec.h"

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/proto/nano_log.h"

// The packaged nanopb library is built with PB_ENABLE_MALLOC and with 16-bit field sizes (no
// PB_FIELD_32BIT); its structs must be laid out here exactly as there.
#ifndef PB_ENABLE_MALLOC
#error "PB_ENABLE_MALLOC must be defined to match the packaged nanopb library"
#endif
static_assert(sizeof(pb_size_t) == 2, "the packaged nanopb library uses 16-bit pb_size_t");

namespace {

// Nesting depth of the decode and of the encode running on this thread. Both codecs recurse
// through nanopb callbacks, which carry no context of their own.
thread_local int decode_depth = 0;
thread_local int encode_depth = 0;

// The sizes of the sub-messages of the encode running on this thread. The sizing pass records
// each sub-message's size in the order it meets them; the writing pass meets them in the same
// order and reads the sizes back, so that every sub-message is sized once instead of once per
// level above it.
struct EncodePlan {
  std::vector<std::pair<const NanoMessageInfo*, size_t>> sizes;
  size_t cursor = 0;
};
thread_local EncodePlan* encode_plan = nullptr;

// Installs a fresh plan for one top-level encode and restores the previous one after it.
class EncodePlanScope {
 public:
  EncodePlanScope() : previous_(std::exchange(encode_plan, &plan_)) {}
  ~EncodePlanScope() { encode_plan = previous_; }
  EncodePlanScope(const EncodePlanScope&) = delete;
  EncodePlanScope& operator=(const EncodePlanScope&) = delete;

 private:
  EncodePlan plan_;
  EncodePlan* previous_;
};

class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

  bool tooDeep() const { return depth_ > kNanoMaxNestingDepth; }

 private:
  int& depth_;
};

// Zeroed, suitably aligned storage for one nanopb struct. Small structs stay on the stack.
class PbStruct {
 public:
  explicit PbStruct(const ApmpbMessageDescriptor& d) : size_(d.nanopb_struct_size) {
    if (size_ > sizeof(inline_)) {
      heap_.resize((size_ + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    }
    clear();
  }
  PbStruct(const PbStruct&) = delete;
  PbStruct& operator=(const PbStruct&) = delete;

  void* get() { return heap_.empty() ? static_cast<void*>(inline_) : heap_.data(); }
  void clear() { std::memset(get(), 0, size_); }

 private:
  size_t size_;
  alignas(std::max_align_t) unsigned char inline_[256];
  std::vector<std::max_align_t> heap_;
};

bool IsRepeated(uint32_t kind) { return (kind & kNanoKindRepeated) != 0; }
bool IsStringLike(uint32_t kind) { return (kind & (kNanoKindString | kNanoKindBytes)) != 0; }
bool IsMessage(uint32_t kind) { return (kind & kNanoKindMessage) != 0; }
bool IsScalar(uint32_t kind) {
  return !IsRepeated(kind) && !IsStringLike(kind) && !IsMessage(kind);
}

bool HasRepeatedField(const ApmpbMessageDescriptor& d) {
  for (int32_t i = 0; i < d.field_count; ++i) {
    if (IsRepeated(d.fields_type[i])) return true;
  }
  return false;
}

// The message whose nanopb table is `fields`, for log lines.
const char* MessageNameFor(const pb_msgdesc_t* fields) {
  for (const ApmpbMessageDescriptor* d : kAPMPBMessageDescriptors) {
    if (d->nanopb_fields == fields) return d->message_id;
  }
  return "(unknown)";
}

// Calls `visit(iter, position)` for every field of the nanopb struct `pb`. Answers false when a
// field's tag is not in the descriptor (tables out of step) or when `visit` answers false.
template <typename Visit>
bool ForEachField(const ApmpbMessageDescriptor& d, void* pb, Visit visit) {
  pb_field_iter_t iter;
  if (!pb_field_iter_begin(&iter, d.nanopb_fields, pb)) return true;
  do {
    int32_t position = d.positionForTag(iter.tag);
    if (position < 0 || position >= d.field_count) return false;
    if (!visit(iter, position)) return false;
  } while (pb_field_iter_next(&iter));
  return true;
}

uint64_t ReadScalar(const pb_field_iter_t& iter) {
  switch (iter.data_size) {
    case 1: {
      uint8_t v;
      std::memcpy(&v, iter.pData, 1);
      return v;
    }
    case 4: {
      uint32_t v;
      std::memcpy(&v, iter.pData, 4);
      return v;
    }
    case 8: {
      uint64_t v;
      std::memcpy(&v, iter.pData, 8);
      return v;
    }
    default:
      return 0;
  }
}

void WriteScalar(const pb_field_iter_t& iter, uint64_t cell) {
  switch (iter.data_size) {
    case 1: {
      uint8_t v = static_cast<uint8_t>(cell);
      std::memcpy(iter.pData, &v, 1);
      break;
    }
    case 4: {
      uint32_t v = static_cast<uint32_t>(cell);
      std::memcpy(iter.pData, &v, 4);
      break;
    }
    case 8:
      std::memcpy(iter.pData, &cell, 8);
      break;
    default:
      break;
  }
}

// The bytes of the current length-delimited element, consumed from `stream`. A buffer stream is
// read in place; any other stream is copied into `copy`.
bool TakeElement(pb_istream_t* stream, const uint8_t** bytes, size_t* length, std::string* copy) {
  static const auto buffer_read = pb_istream_from_buffer(nullptr, 0).callback;
  *length = stream->bytes_left;
  if (stream->callback == buffer_read) {
    *bytes = static_cast<const uint8_t*>(stream->state);
    return pb_read(stream, nullptr, *length);
  }
  copy->assign(*length, '\0');
  if (!pb_read(stream, reinterpret_cast<pb_byte_t*>(copy->data()), *length)) return false;
  *bytes = reinterpret_cast<const uint8_t*>(copy->data());
  return true;
}

bool SkipElement(pb_istream_t* stream) { return pb_read(stream, nullptr, stream->bytes_left); }

// Reads a whole string element, refusing one above the size limit.
bool ReadString(pb_istream_t* stream, std::string* out) {
  size_t length = stream->bytes_left;
  if (length > kNanoMaxStringLength) {
    NanoLog("Unable to process proto stream. Buffer is too big. %zu > %d", length,
            static_cast<int>(kNanoMaxStringLength));
    return false;
  }
  out->assign(length, '\0');
  if (!pb_read(stream, reinterpret_cast<pb_byte_t*>(out->data()), length)) {
    out->clear();
    return false;
  }
  return true;
}

// Decoder callback of a singular sub-message field; `*arg` is the parent record. The first
// occurrence is decoded in pass 1 and kept; pass 2 and later occurrences skip it.
bool DecodeSubmessage(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  auto* parent = arg ? static_cast<NanoMessageInfo*>(*arg) : nullptr;
  int32_t position =
      parent && parent->descriptor ? parent->descriptor->positionForTag(field->tag) : -1;
  if (position < 0) {
    NanoLog("<ERROR> %s decoder failed: Invalid arg parameter\n",
            MessageNameFor(field->descriptor));
    return false;
  }
  const ApmpbMessageDescriptor& pd = *parent->descriptor;
  const ApmpbMessageDescriptor* sub = pd.fields[position].message;
  std::unique_ptr<NanoField>& slot = parent->slots[static_cast<size_t>(position)];
  if (slot) return SkipElement(stream);

  const uint8_t* bytes = nullptr;
  size_t length = 0;
  std::string copy;
  if (!TakeElement(stream, &bytes, &length, &copy)) {
    NanoLog("<ERROR> %s decoder failed: Unable to extract buffer from stream\n", pd.message_id);
    return false;
  }
  auto record = std::make_unique<NanoMessageInfo>();
  if (!sub->init(record.get())) {
    NanoLog("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", pd.message_id);
    return false;
  }
  if (!sub->decode(bytes, length, record.get())) {
    NanoLog("<ERROR> %s decoder failed: Unable to decode %s\n", pd.message_id, sub->message_id);
    return false;
  }
  slot = std::make_unique<NanoField>(std::move(record));
  return true;
}

// Writes `sub`, a record of type `d`, as the field's tag and a length-delimited sub-message.
// On a sizing stream the size is computed (once, then read from the plan); on a writing stream
// the sub-message is written straight into the stream after its planned size.
bool EncodeNested(pb_ostream_t* stream, const pb_field_t* field, const ApmpbMessageDescriptor& d,
                  const NanoMessageInfo* sub, PbStruct* pb) {
  DepthGuard guard(encode_depth);
  if (guard.tooDeep()) PB_RETURN_ERROR(stream, "messages nested too deeply");
  pb->clear();
  if (!nano_message_set_encoders(d, sub, pb->get())) {
    PB_RETURN_ERROR(stream, "unable to set encoders");
  }
  EncodePlan* plan = encode_plan;
  if (!plan) {
    if (!pb_encode_tag_for_field(stream, field)) return false;
    return pb_encode_submessage(stream, d.nanopb_fields, pb->get());
  }
  if (stream->callback == nullptr) {  // Sizing.
    size_t index = plan->sizes.size();
    plan->sizes.emplace_back(sub, 0);
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    if (!pb_encode(&sizing, d.nanopb_fields, pb->get())) {
      stream->errmsg = sizing.errmsg;
      return false;
    }
    plan->sizes[index].second = sizing.bytes_written;
    if (!pb_encode_tag_for_field(stream, field)) return false;
    if (!pb_encode_varint(stream, sizing.bytes_written)) return false;
    return pb_write(stream, nullptr, sizing.bytes_written);
  }
  if (plan->cursor >= plan->sizes.size() || plan->sizes[plan->cursor].first != sub) {
    PB_RETURN_ERROR(stream, "sub-message was not sized");
  }
  size_t size = plan->sizes[plan->cursor++].second;
  if (!pb_encode_tag_for_field(stream, field)) return false;
  if (!pb_encode_varint(stream, size)) return false;
  if (stream->bytes_written + size > stream->max_size) PB_RETURN_ERROR(stream, "stream full");
  pb_ostream_t substream = PB_OSTREAM_SIZING;
  substream.callback = stream->callback;
  substream.state = stream->state;
  substream.max_size = size;
  bool ok = pb_encode(&substream, d.nanopb_fields, pb->get());
  stream->bytes_written += substream.bytes_written;
  stream->state = substream.state;
  if (!ok) {
    stream->errmsg = substream.errmsg;
    return false;
  }
  if (substream.bytes_written != size) PB_RETURN_ERROR(stream, "submsg size changed");
  return true;
}

// Encoder callback of a present singular sub-message field; `*arg` is the sub-message record.
bool EncodeSubmessage(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* sub = arg ? static_cast<const NanoMessageInfo*>(*arg) : nullptr;
  if (!sub || !sub->descriptor) PB_RETURN_ERROR(stream, "sub-message record is missing");
  PbStruct pb(*sub->descriptor);
  return EncodeNested(stream, field, *sub->descriptor, sub, &pb);
}

// Storage for the cell of a scalar: creates the field, or reuses a present cell.
uint64_t* CellFor(std::unique_ptr<NanoField>* slot) {
  if (!*slot || !(*slot)->cell()) *slot = std::make_unique<NanoField>(uint64_t{0});
  return (*slot)->cell();
}

void SetCell(std::unique_ptr<NanoField>* slot, uint64_t value, const char* type) {
  if (!slot) {
    NanoLog("<ERROR> Unable to set %s. Destination pointer is NULL", type);
    return;
  }
  *CellFor(slot) = value;
}

bool CopyField(const NanoField& source, std::unique_ptr<NanoField>* destination);

bool CopyItem(const NanoField* source, std::unique_ptr<NanoField>* destination) {
  return source != nullptr && CopyField(*source, destination);
}

bool CopyField(const NanoField& source, std::unique_ptr<NanoField>* destination) {
  if (const uint64_t* cell = source.cell()) {
    *destination = std::make_unique<NanoField>(*cell);
    return true;
  }
  if (const NanoString* string = source.string()) {
    *destination = std::make_unique<NanoField>(*string);
    return true;
  }
  if (std::holds_alternative<std::unique_ptr<NanoMessageInfo>>(source.value)) {
    const NanoMessageInfo* message = source.message();
    if (!message || !message->descriptor) return false;
    std::unique_ptr<NanoMessageInfo> copy;
    if (!message->descriptor->copy(&copy, message)) return false;
    *destination = std::make_unique<NanoField>(std::move(copy));
    return true;
  }
  const NanoArray* array = source.array();
  if (!array) return false;
  NanoArray* target = nullptr;
  if (*destination && (*destination)->array()) {
    target = (*destination)->array();
  } else {
    *destination = std::make_unique<NanoField>(NanoArray());
    target = (*destination)->array();
  }
  nano_init_array_info(target);
  if (!array->items || array->item_count == 0) return true;
  target->items.emplace(array->item_count);
  target->item_count = array->item_count;
  for (uint32_t i = 0; i < array->item_count; ++i) {
    const NanoField* item = i < array->items->size() ? (*array->items)[i].get() : nullptr;
    if (!CopyItem(item, &(*target->items)[i])) return false;
  }
  return true;
}

// ---- Decoding

// Set while nano_message_decode_nanopb runs on this thread: every level, nested ones included,
// then decodes through pb_decode.
thread_local bool decode_through_nanopb = false;

// The two nanopb passes over one level: pass 1 decodes strings and singular sub-messages and
// counts the items of repeated fields, pass 2 stores the items.
bool DecodeThroughNanopb(const ApmpbMessageDescriptor& d, const uint8_t* bytes, size_t length,
                         NanoMessageInfo* info) {
  PbStruct pb(d);
  if (!nano_message_set_decoders(d, pb.get(), info)) {
    NanoLog("<ERROR> %s decoder failed: Unable to set decoders\n", d.message_id);
    return false;
  }
  pb_istream_t first = pb_istream_from_buffer(bytes, length);
  if (!pb_decode(&first, d.nanopb_fields, pb.get())) {
    NanoLog("<ERROR> %s decoder failed: %s\n", d.message_id, PB_GET_ERROR(&first));
    return false;
  }
  if (HasRepeatedField(d) && !nano_message_alloc_arrays(d, info)) {
    NanoLog("<ERROR> %s decoder failed: Unable to allocate arrays\n", d.message_id);
    return false;
  }
  pb_istream_t second = pb_istream_from_buffer(bytes, length);
  if (!pb_decode(&second, d.nanopb_fields, pb.get())) {
    NanoLog("<ERROR> %s decoder failed: %s\n", d.message_id, PB_GET_ERROR(&second));
    return false;
  }
  nano_message_populate_info(d, pb.get(), info);
  return true;
}

// The direct decoder reads the wire itself, straight into the record, with the same two passes
// per level, the same acceptance rules and the same error texts as pb_decode driving the
// callbacks above (nano_codec_test checks the two against each other on mutated input).

// Wire types.
constexpr uint32_t kWireVarint = 0;
constexpr uint32_t kWire64Bit = 1;
constexpr uint32_t kWireString = 2;
constexpr uint32_t kWire32Bit = 5;

// The unread bytes of one message level (or of one element), with the first error met.
struct Wire {
  const uint8_t* p;
  const uint8_t* end;
  const char* error = nullptr;

  size_t left() const { return static_cast<size_t>(end - p); }
  bool fail(const char* text) {
    if (!error) error = text;
    return false;
  }
};

// The bytes of one element: a length-delimited field's content, or the raw bytes of a varint or
// fixed-size value given for a field that nanopb hands to a callback.
struct Element {
  const uint8_t* bytes = nullptr;
  size_t length = 0;
  bool raw = false;  // Not length-delimited: a failing callback then leaves no error text.
};

bool WireRead(Wire& w, size_t count, const uint8_t** bytes) {
  if (w.left() < count) return w.fail("end-of-stream");
  *bytes = w.p;
  w.p += count;
  return true;
}

// pb_decode_varint32: up to 32 bits, longer forms only as zero padding or sign extension.
bool WireVarint32(Wire& w, uint32_t* value) {
  if (w.left() >= 1 && w.p[0] < 0x80) {
    *value = *w.p++;
    return true;
  }
  if (w.left() >= 2 && w.p[1] < 0x80) {
    *value = (w.p[0] & 0x7fu) | (static_cast<uint32_t>(w.p[1]) << 7);
    w.p += 2;
    return true;
  }
  // Longer or at the very end: nanopb's own routine, for its exact rules.
  pb_istream_t stream = pb_istream_from_buffer(w.p, w.left());
  const bool ok = pb_decode_varint32(&stream, value);
  w.p = w.end - stream.bytes_left;
  if (!ok) return w.fail(PB_GET_ERROR(&stream));
  return true;
}

// pb_decode_varint: up to ten bytes, the tenth holding only the top bit.
bool WireVarint64(Wire& w, uint64_t* value) {
  uint64_t result = 0;
  unsigned shift = 0;
  uint8_t byte;
  do {
    if (w.p == w.end) return w.fail("end-of-stream");
    byte = *w.p++;
    if (shift >= 63 && (byte & 0xfe) != 0) return w.fail("varint overflow");
    result |= static_cast<uint64_t>(byte & 0x7f) << shift;
    shift += 7;
  } while (byte & 0x80);
  *value = result;
  return true;
}

// pb_skip_field.
bool WireSkip(Wire& w, uint32_t wire_type) {
  const uint8_t* ignored;
  switch (wire_type) {
    case kWireVarint:
      do {
        if (w.p == w.end) return w.fail("end-of-stream");
      } while (*w.p++ & 0x80);
      return true;
    case kWire64Bit:
      return WireRead(w, 8, &ignored);
    case kWireString: {
      uint32_t length;
      if (!WireVarint32(w, &length)) return false;
      return WireRead(w, length, &ignored);
    }
    case kWire32Bit:
      return WireRead(w, 4, &ignored);
    default:
      return w.fail("invalid wire_type");
  }
}

// The element of a field that nanopb decodes through a callback: the content of a
// length-delimited field, or the raw bytes of any other (a varint of at most ten bytes).
bool WireElement(Wire& w, uint32_t wire_type, Element* element) {
  element->raw = wire_type != kWireString;
  switch (wire_type) {
    case kWireString: {
      uint32_t length;
      if (!WireVarint32(w, &length)) return false;
      if (w.left() < length) return w.fail("parent stream too short");
      element->bytes = w.p;
      element->length = length;
      w.p += length;
      return true;
    }
    case kWireVarint: {
      element->bytes = w.p;
      size_t size = 0;
      do {
        if (++size > 10) return w.fail("varint overflow");
        if (w.p == w.end) return w.fail("end-of-stream");
      } while (*w.p++ & 0x80);
      element->length = size;
      return true;
    }
    case kWire64Bit:
      element->length = 8;
      return WireRead(w, 8, &element->bytes);
    case kWire32Bit:
      element->length = 4;
      return WireRead(w, 4, &element->bytes);
    default:
      return w.fail("invalid wire_type");
  }
}

// A singular scalar's cell, decoded as nanopb decodes the field's type.
bool WireScalar(Wire& w, uint32_t kind, uint32_t wire_type, uint64_t* cell) {
  const uint8_t* bytes;
  if (kind & kNanoKindFloat) {
    if (wire_type != kWire32Bit) return w.fail("wrong wire type");
    if (!WireRead(w, 4, &bytes)) return false;
    uint32_t bits;
    std::memcpy(&bits, bytes, 4);
    *cell = bits;
    return true;
  }
  if (kind & kNanoKindDouble) {
    if (wire_type != kWire64Bit) return w.fail("wrong wire type");
    if (!WireRead(w, 8, &bytes)) return false;
    std::memcpy(cell, bytes, 8);
    return true;
  }
  if (wire_type != kWireVarint) return w.fail("wrong wire type");
  if (kind & kNanoKindBool) {
    uint32_t value;
    if (!WireVarint32(w, &value)) return false;
    *cell = value != 0 ? 1 : 0;
    return true;
  }
  uint64_t value;
  if (!WireVarint64(w, &value)) return false;
  if (kind & (kNanoKindInt32 | kNanoKindEnum)) {
    *cell = static_cast<uint32_t>(value);  // The low 32 bits, as an int32 field keeps them.
  } else if (kind & kNanoKindUInt32) {
    if (value > std::numeric_limits<uint32_t>::max()) return w.fail("integer too large");
    *cell = value;
  } else {
    *cell = value;
  }
  return true;
}

// The error text that the level's pb_decode answers after a callback failed: the element's own
// error, or "callback failed"; none for a raw element.
const char* CallbackError(const Element& element, const char* inner = nullptr) {
  if (element.raw) return nullptr;
  return inner ? inner : "callback failed";
}

// Visits the repeated integers of one element: each varint of a packed run, or the one varint
// read from a raw value (whose further bytes are ignored). On failure *error is the text for
// the level.
template <typename Visit>
bool WireIntegers(const Element& element, const char** error, Visit visit) {
  Wire run{element.bytes, element.bytes + element.length};
  do {
    if (run.left() == 0) break;  // An empty packed run holds no items.
    uint64_t value;
    if (!WireVarint64(run, &value) || !visit(value)) {
      *error = CallbackError(element, run.error);
      return false;
    }
  } while (!element.raw);
  return true;
}

bool LevelFailed(const ApmpbMessageDescriptor& d, const char* text) {
  NanoLog("<ERROR> %s decoder failed: %s\n", d.message_id, text ? text : "(none)");
  return false;
}

constexpr int32_t kMaxDirectFields = 64;

// Whether `info` is a freshly initialised record of type `d` that the direct decoder can fill
// (every other record goes through nanopb, which handles whatever it holds); empties its arrays
// as the nanopb set-up does.
bool PrepareDirectDecode(const ApmpbMessageDescriptor& d, NanoMessageInfo* info) {
  if (info->descriptor != &d || d.field_count > kMaxDirectFields ||
      info->slots.size() != static_cast<size_t>(d.field_count)) {
    return false;
  }
  for (int32_t i = 0; i < d.field_count; ++i) {
    NanoField* field = info->slots[static_cast<size_t>(i)].get();
    if (IsRepeated(d.fields_type[i])) {
      NanoArray* array = field ? field->array() : nullptr;
      if (!array) return false;
      if (array->item_count != 0 || array->items) nano_init_array_info(array);
    } else if (field) {
      return false;
    }
  }
  return true;
}

// A new record of type `d` decoded from `element`, or null (the decode logged why).
std::unique_ptr<NanoMessageInfo> DecodeElement(const ApmpbMessageDescriptor& d,
                                               const Element& element) {
  auto record = std::make_unique<NanoMessageInfo>();
  if (!d.init(record.get())) return nullptr;
  if (!d.decode(element.bytes, element.length, record.get())) return nullptr;
  return record;
}

bool DecodeDirect(const ApmpbMessageDescriptor& d, const uint8_t* bytes, size_t length,
                  NanoMessageInfo* info) {
  uint64_t scalars[kMaxDirectFields];
  uint64_t present = 0;
  bool has_items = false;

  // Pass 1: scalars (the last occurrence wins), strings and singular sub-messages (the first
  // wins), and the item count of every repeated field.
  Wire w{bytes, bytes + length};
  while (w.left() > 0) {
    uint32_t key;
    if (!WireVarint32(w, &key)) return LevelFailed(d, w.error);
    const uint32_t tag = key >> 3;
    const uint32_t wire_type = key & 7;
    if (tag == 0) return LevelFailed(d, "zero tag");
    const int32_t position = d.positionForTag(tag);
    if (position < 0) {
      if (!WireSkip(w, wire_type)) return LevelFailed(d, w.error);
      continue;
    }
    const uint32_t kind = d.fields_type[position];
    std::unique_ptr<NanoField>& slot = info->slots[static_cast<size_t>(position)];
    if (IsRepeated(kind)) {
      Element element;
      if (!WireElement(w, wire_type, &element)) return LevelFailed(d, w.error);
      NanoArray* array = slot->array();
      if (IsMessage(kind) || IsStringLike(kind)) {
        if (array->item_count == std::numeric_limits<uint32_t>::max()) {
          return LevelFailed(d, CallbackError(element));
        }
        ++array->item_count;
      } else {
        const char* error = nullptr;
        const bool counted = WireIntegers(element, &error, [&](uint64_t) {
          if (array->item_count == std::numeric_limits<uint32_t>::max()) return false;
          ++array->item_count;
          return true;
        });
        if (!counted) return LevelFailed(d, error);
      }
      has_items = has_items || array->item_count > 0;
      continue;
    }
    if (IsStringLike(kind)) {
      Element element;
      if (!WireElement(w, wire_type, &element)) return LevelFailed(d, w.error);
      if (slot) continue;
      if (element.length > kNanoMaxStringLength) {
        NanoLog("Unable to process proto stream. Buffer is too big. %zu > %d", element.length,
                static_cast<int>(kNanoMaxStringLength));
        return LevelFailed(d, CallbackError(element));
      }
      NanoString string;
      string.bytes.emplace(reinterpret_cast<const char*>(element.bytes), element.length);
      slot = std::make_unique<NanoField>(std::move(string));
      continue;
    }
    if (IsMessage(kind)) {
      Element element;
      if (!WireElement(w, wire_type, &element)) return LevelFailed(d, w.error);
      if (slot) continue;
      const ApmpbMessageDescriptor* sub = d.fields[position].message;
      std::unique_ptr<NanoMessageInfo> record = DecodeElement(*sub, element);
      if (!record) {
        NanoLog("<ERROR> %s decoder failed: Unable to decode %s\n", d.message_id, sub->message_id);
        return LevelFailed(d, CallbackError(element));
      }
      slot = std::make_unique<NanoField>(std::move(record));
      continue;
    }
    if (!WireScalar(w, kind, wire_type, &scalars[position])) return LevelFailed(d, w.error);
    present |= uint64_t{1} << position;
  }

  // Item arrays at their exact sizes.
  for (int32_t i = 0; i < d.field_count; ++i) {
    if (!IsRepeated(d.fields_type[i])) continue;
    NanoArray* array = info->slots[static_cast<size_t>(i)]->array();
    array->fill_index = 0;
    array->items.reset();
    if (array->item_count > 0) array->items.emplace(array->item_count);
  }

  // Pass 2: the items. Pass 1 accepted the level, so only an item can fail now.
  if (has_items) {
    Wire again{bytes, bytes + length};
    while (again.left() > 0) {
      uint32_t key;
      (void)WireVarint32(again, &key);
      const uint32_t wire_type = key & 7;
      const int32_t position = d.positionForTag(key >> 3);
      if (position < 0 || !IsRepeated(d.fields_type[position])) {
        (void)WireSkip(again, wire_type);
        continue;
      }
      const uint32_t kind = d.fields_type[position];
      NanoArray* array = info->slots[static_cast<size_t>(position)]->array();
      Element element;
      (void)WireElement(again, wire_type, &element);
      std::vector<std::unique_ptr<NanoField>>& items = *array->items;
      if (IsMessage(kind)) {
        const ApmpbMessageDescriptor* item = d.fields[position].message;
        std::unique_ptr<NanoMessageInfo> record = DecodeElement(*item, element);
        if (!record) {
          NanoLog("<ERROR> %s decoder failed: Unable to decode repeated %s\n", d.message_id,
                  item->message_id);
          return LevelFailed(d, CallbackError(element));
        }
        items[array->fill_index++] = std::make_unique<NanoField>(std::move(record));
      } else if (IsStringLike(kind)) {
        if (element.length > kNanoMaxStringLength) {
          NanoLog("Unable to process proto stream. Buffer is too big. %zu > %d", element.length,
                  static_cast<int>(kNanoMaxStringLength));
          return LevelFailed(d, CallbackError(element));
        }
        NanoString string;
        string.bytes.emplace(reinterpret_cast<const char*>(element.bytes), element.length);
        items[array->fill_index++] = std::make_unique<NanoField>(std::move(string));
      } else {
        const char* ignored = nullptr;
        (void)WireIntegers(element, &ignored, [&](uint64_t value) {
          items[array->fill_index++] = std::make_unique<NanoField>(value);
          return true;
        });
      }
    }
  }

  for (int32_t i = 0; present != 0; ++i, present >>= 1) {
    if (present & 1) *CellFor(&info->slots[static_cast<size_t>(i)]) = scalars[i];
  }
  return true;
}

// ---- Canonical form: the bytes that nano_message_encode writes.

// A varint in its shortest form: no redundant top zero byte, at most ten bytes, the tenth holding
// only the top bit.
bool CanonicalVarint(Wire& w, uint64_t* value) {
  uint64_t result = 0;
  for (unsigned shift = 0;; shift += 7) {
    if (w.p == w.end) return false;
    const uint8_t byte = *w.p++;
    if (shift == 63 && byte != 1) return false;
    result |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) {
      if (byte == 0 && shift > 0) return false;
      *value = result;
      return true;
    }
  }
}

// A singular scalar of kind `kind` as the encoder writes its cell.
bool CanonicalScalar(Wire& w, uint32_t kind, uint32_t wire_type) {
  const uint8_t* ignored;
  switch (kind & ~kNanoKindSingular) {
    case kNanoKindFloat:
      return wire_type == kWire32Bit && WireRead(w, 4, &ignored);
    case kNanoKindDouble:
      return wire_type == kWire64Bit && WireRead(w, 8, &ignored);
    default:
      break;
  }
  uint64_t value;
  if (wire_type != kWireVarint || !CanonicalVarint(w, &value)) return false;
  constexpr uint64_t kInt32Max = std::numeric_limits<int32_t>::max();
  switch (kind & ~kNanoKindSingular) {
    case kNanoKindBool:
      return value <= 1;
    case kNanoKindEnum:
      // Signed or unsigned in the nanopb table: both write a non-negative value as it is.
      return value <= kInt32Max;
    case kNanoKindInt32:
      // A negative value is written sign-extended to 64 bits.
      return value <= kInt32Max || value >= ~kInt32Max;
    case kNanoKindUInt32:
      return value <= std::numeric_limits<uint32_t>::max();
    case kNanoKindInt64:
    case kNanoKindUInt64:
      return true;
    default:
      return false;
  }
}

bool CanonicalLevel(const ApmpbMessageDescriptor& d, const uint8_t* bytes, size_t length,
                    int depth) {
  if (depth >= kNanoMaxNestingDepth) return false;
  Wire w{bytes, bytes + length};
  uint32_t last_tag = 0;
  while (w.left() > 0) {
    uint64_t key;
    if (!CanonicalVarint(w, &key) || key > std::numeric_limits<uint32_t>::max()) return false;
    const uint32_t tag = static_cast<uint32_t>(key >> 3);
    const uint32_t wire_type = static_cast<uint32_t>(key & 7);
    const int32_t position = d.positionForTag(tag);
    if (tag == 0 || tag < last_tag || position < 0 || position >= d.field_count) return false;
    const uint32_t kind = d.fields_type[position];
    if (tag == last_tag && !IsRepeated(kind)) return false;
    last_tag = tag;
    if (IsMessage(kind) || IsStringLike(kind)) {
      uint64_t size;
      if (wire_type != kWireString || !CanonicalVarint(w, &size) || size > w.left()) return false;
      const uint8_t* content = w.p;
      w.p += size;
      if (IsMessage(kind)) {
        const ApmpbMessageDescriptor* sub = d.fields[position].message;
        if (!sub || !CanonicalLevel(*sub, content, static_cast<size_t>(size), depth + 1)) {
          return false;
        }
      } else if (size > kNanoMaxStringLength) {
        return false;
      }
      continue;
    }
    if (IsRepeated(kind)) {  // Integers, one varint each.
      uint64_t value;
      if (wire_type != kWireVarint || !CanonicalVarint(w, &value)) return false;
      continue;
    }
    if (!CanonicalScalar(w, kind, wire_type)) return false;
  }
  return true;
}

}  // namespace

bool nano_message_is_canonical(const ApmpbMessageDescriptor& d, const uint8_t* bytes,
                               size_t length) {
  if (!bytes && length > 0) return false;
  return CanonicalLevel(d, bytes, length, 1);
}

// ---- Message family

bool nano_message_init(const ApmpbMessageDescriptor& d, NanoMessageInfo* info) {
  if (!info) return false;
  info->descriptor = &d;
  info->slots.clear();
  info->slots.resize(static_cast<size_t>(d.field_count));
  for (int32_t i = 0; i < d.field_count; ++i) {
    if (IsRepeated(d.fields_type[i])) {
      info->slots[static_cast<size_t>(i)] = std::make_unique<NanoField>(NanoArray());
    }
  }
  return true;
}

bool nano_message_alloc_arrays(const ApmpbMessageDescriptor& d, NanoMessageInfo* info) {
  if (!info || info->descriptor != &d) return false;
  for (int32_t i = 0; i < d.field_count; ++i) {
    if (!IsRepeated(d.fields_type[i])) continue;
    NanoField* field = info->field(i);
    NanoArray* array = field ? field->array() : nullptr;
    if (!array) {
      NanoLog("<ERROR> Cannot allocate %s arrays. Missing params field (%s)\n", d.message_id,
              d.fields[i].name);
      return false;
    }
    array->fill_index = 0;
    array->items.reset();
    if (array->item_count > 0) array->items.emplace(array->item_count);
  }
  return true;
}

void nano_message_populate_info(const ApmpbMessageDescriptor& d, const void* pb,
                                NanoMessageInfo* info) {
  if (!pb || !info || info->descriptor != &d) return;
  // The iterator wants a mutable struct; it is only read here.
  ForEachField(d, const_cast<void*>(pb), [&](const pb_field_iter_t& iter, int32_t position) {
    uint32_t kind = d.fields_type[position];
    if (!IsScalar(kind) || iter.pSize == nullptr) return true;
    bool present;
    std::memcpy(&present, iter.pSize, sizeof(present));
    if (present) *CellFor(&info->slots[static_cast<size_t>(position)]) = ReadScalar(iter);
    return true;
  });
}

bool nano_message_free_field(const ApmpbMessageDescriptor& d, NanoMessageInfo* info,
                             int32_t position) {
  if (!info || info->descriptor != &d) return false;
  if (position < 0 || position >= d.field_count) {
    NanoLog("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", d.message_id, position);
    return false;
  }
  std::unique_ptr<NanoField>& slot = info->slots[static_cast<size_t>(position)];
  if (IsRepeated(d.fields_type[position])) {
    if (slot && slot->array()) nano_init_array_info(slot->array());
    return true;
  }
  slot.reset();
  return true;
}

bool nano_message_free(const ApmpbMessageDescriptor& d, std::unique_ptr<NanoMessageInfo> info) {
  (void)d;
  return info != nullptr;  // The record and its whole tree go with `info`.
}

bool nano_message_copy(const ApmpbMessageDescriptor& d,
                       std::unique_ptr<NanoMessageInfo>* destination,
                       const NanoMessageInfo* source) {
  if (!destination || !source || source->descriptor != &d) return false;
  destination->reset();
  *destination = std::make_unique<NanoMessageInfo>();
  NanoMessageInfo* target = destination->get();
  if (!nano_message_init(d, target)) return false;
  for (int32_t i = 0; i < d.field_count; ++i) {
    const NanoField* field = source->field(i);
    if (!field) continue;
    if (!CopyField(*field, &target->slots[static_cast<size_t>(i)])) return false;
  }
  return true;
}

bool nano_message_set_decoders(const ApmpbMessageDescriptor& d, void* pb, NanoMessageInfo* info) {
  if (!pb || !info || info->descriptor != &d) return false;
  return ForEachField(d, pb, [&](const pb_field_iter_t& iter, int32_t position) {
    uint32_t kind = d.fields_type[position];
    if (IsScalar(kind)) return true;
    auto* callback = static_cast<pb_callback_t*>(iter.pData);
    std::unique_ptr<NanoField>& slot = info->slots[static_cast<size_t>(position)];
    if (IsRepeated(kind)) {
      NanoArray* array = slot ? slot->array() : nullptr;
      if (array) nano_init_array_info(array);
      if (IsMessage(kind)) {
        callback->funcs.decode = d.fields[position].message->decode_repeated;
      } else if (IsStringLike(kind)) {
        callback->funcs.decode = &nano_decode_repeated_string;
      } else {
        callback->funcs.decode = &nano_decode_repeated_uint64;
      }
      callback->arg = array;
    } else if (IsStringLike(kind)) {
      callback->funcs.decode = &nano_decode_string;
      callback->arg = &slot;
    } else {
      callback->funcs.decode = &DecodeSubmessage;
      callback->arg = info;
    }
    return true;
  });
}

bool nano_message_decode(const ApmpbMessageDescriptor& d, const uint8_t* bytes, size_t length,
                         NanoMessageInfo* info) {
  if (!info) {
    NanoLog("<ERROR> %s decoder failed: message_info is NULL\n", d.message_id);
    return false;
  }
  DepthGuard guard(decode_depth);
  if (guard.tooDeep()) {
    NanoLog("<ERROR> %s decoder failed: Messages are nested more than %d deep\n", d.message_id,
            kNanoMaxNestingDepth);
    return false;
  }
  if (!bytes && length > 0) {
    NanoLog("<ERROR> %s decoder failed: %s\n", d.message_id, "buffer is NULL");
    return false;
  }
  if (!decode_through_nanopb && PrepareDirectDecode(d, info)) {
    return DecodeDirect(d, bytes, length, info);
  }
  return DecodeThroughNanopb(d, bytes, length, info);
}

bool nano_message_decode_nanopb(const ApmpbMessageDescriptor& d, const uint8_t* bytes,
                                size_t length, NanoMessageInfo* info) {
  const bool previous = std::exchange(decode_through_nanopb, true);
  const bool decoded = nano_message_decode(d, bytes, length, info);
  decode_through_nanopb = previous;
  return decoded;
}

bool nano_message_decode_repeated(const ApmpbMessageDescriptor& d, pb_istream_t* stream,
                                  const pb_field_t* field, void** arg) {
  auto* array = arg ? static_cast<NanoArray*>(*arg) : nullptr;
  if (!array) {
    NanoLog("<ERROR> %s decoder failed: Invalid arg parameter\n", d.message_id);
    return false;
  }
  if (!array->items) {  // Pass 1: count.
    if (array->item_count == std::numeric_limits<uint32_t>::max()) return false;
    ++array->item_count;
    return SkipElement(stream);
  }
  const char* parent = MessageNameFor(field->descriptor);
  if (array->fill_index >= array->items->size()) {
    NanoLog("<ERROR> %s decoder failed: Unable to decode repeated %s\n", parent, d.message_id);
    return false;
  }
  const uint8_t* bytes = nullptr;
  size_t length = 0;
  std::string copy;
  if (!TakeElement(stream, &bytes, &length, &copy)) {
    NanoLog("<ERROR> %s decoder failed: Unable to extract buffer from stream\n", parent);
    return false;
  }
  auto item = std::make_unique<NanoMessageInfo>();
  if (!d.init(item.get())) {
    NanoLog("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", parent);
    return false;
  }
  if (!d.decode(bytes, length, item.get())) {
    NanoLog("<ERROR> %s decoder failed: Unable to decode repeated %s\n", parent, d.message_id);
    return false;
  }
  (*array->items)[array->fill_index++] = std::make_unique<NanoField>(std::move(item));
  return true;
}

bool nano_message_set_encoders(const ApmpbMessageDescriptor& d, const NanoMessageInfo* info,
                               void* pb) {
  if (!pb || !info || info->descriptor != &d) return false;
  return ForEachField(d, pb, [&](const pb_field_iter_t& iter, int32_t position) {
    uint32_t kind = d.fields_type[position];
    const NanoField* field = info->field(position);
    if (IsRepeated(kind)) {
      const NanoArray* array = field ? field->array() : nullptr;
      if (!array) {
        NanoLog("<ERROR> %s Encoder: '%s' should have been allocated\n", d.message_id,
                d.fields[position].name);
        return false;
      }
      if (array->item_count == 0) return true;
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      if (IsMessage(kind)) {
        callback->funcs.encode = d.fields[position].message->encode_repeated;
      } else if (IsStringLike(kind)) {
        callback->funcs.encode = &nano_encode_repeated_string;
      } else {
        callback->funcs.encode = &nano_encode_repeated_uint64;
      }
      callback->arg = const_cast<NanoArray*>(array);
      return true;
    }
    if (!field) return true;
    if (IsStringLike(kind)) {
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      callback->funcs.encode = &nano_encode_string;
      callback->arg = const_cast<NanoString*>(field->string());
    } else if (IsMessage(kind)) {
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      callback->funcs.encode = &EncodeSubmessage;
      callback->arg = const_cast<NanoMessageInfo*>(field->message());
    } else if (const uint64_t* cell = field->cell(); cell && iter.pSize) {
      bool present = true;
      std::memcpy(iter.pSize, &present, sizeof(present));
      WriteScalar(iter, *cell);
    }
    return true;
  });
}

int32_t nano_message_encode(const ApmpbMessageDescriptor& d, const NanoMessageInfo* info,
                            fnd::Data* output) {
  if (!output) return -1;
  if (!info) {
    NanoLog("<ERROR> %s encoder failed: message_info is NULL\n", d.message_id);
    output->clear();
    return -1;
  }
  DepthGuard guard(encode_depth);
  EncodePlanScope plan;
  PbStruct pb(d);
  if (guard.tooDeep()) {
    NanoLog("<ERROR> %s encoder failed: Messages are nested more than %d deep\n", d.message_id,
            kNanoMaxNestingDepth);
    output->clear();
    return -1;
  }
  if (!nano_message_set_encoders(d, info, pb.get())) {
    if (info->descriptor != &d) {
      NanoLog("<ERROR> %s Encoder: Unable to set encoders\n", d.message_id);
    }
    output->clear();
    return -1;
  }
  return nano_two_pass_encoding(d.nanopb_fields, pb.get(), output);
}

bool nano_message_encode_repeated(const ApmpbMessageDescriptor& d, pb_ostream_t* stream,
                                  const pb_field_t* field, void* const* arg) {
  const auto* array = arg ? static_cast<const NanoArray*>(*arg) : nullptr;
  if (!array || !array->items) PB_RETURN_ERROR(stream, "repeated field is not allocated");
  PbStruct pb(d);
  for (uint32_t i = 0; i < array->item_count; ++i) {
    const NanoField* item = i < array->items->size() ? (*array->items)[i].get() : nullptr;
    const NanoMessageInfo* message = item ? item->message() : nullptr;
    if (!message || message->descriptor != &d) PB_RETURN_ERROR(stream, "repeated item is missing");
    if (!EncodeNested(stream, field, d, message, &pb)) return false;
  }
  return true;
}

// ---- Shared routines

void nano_set_bool(std::unique_ptr<NanoField>* slot, bool value) {
  SetCell(slot, value ? 1 : 0, "bool");
}

void nano_set_uint32(std::unique_ptr<NanoField>* slot, uint32_t value) {
  SetCell(slot, value, "uint32");
}

void nano_set_uint64(std::unique_ptr<NanoField>* slot, uint64_t value) {
  SetCell(slot, value, "uint64");
}

void nano_set_float(std::unique_ptr<NanoField>* slot, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  SetCell(slot, bits, "float");
}

void nano_set_double(std::unique_ptr<NanoField>* slot, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  SetCell(slot, bits, "double");
}

void nano_set_string(std::unique_ptr<NanoField>* slot, const uint8_t* bytes, size_t length) {
  if (!slot) {
    NanoLog("<ERROR> Unable to set string. Destination array is NULL");
    return;
  }
  if (bytes == nullptr && length > 0) {
    NanoLog("<ERROR> Unable to set string. Source bytes are NULL");
    return;
  }
  if (!*slot || !(*slot)->string()) *slot = std::make_unique<NanoField>(NanoString());
  (*slot)->string()->bytes.emplace(reinterpret_cast<const char*>(bytes), length);
}

void nano_free_string(NanoString* string) {
  if (!string) {
    NanoLog("<ERROR> Unable to dealloc string field. String struct is NULL");
    return;
  }
  string->bytes.reset();
}

void nano_init_array_info(NanoArray* array) {
  if (!array) {
    NanoLog("<ERROR> Unable to initialize the array. Array pointer is NULL");
    return;
  }
  array->items.reset();
  array->item_count = 0;
  array->fill_index = 0;
}

bool nano_decode_string(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  auto* slot = arg ? static_cast<std::unique_ptr<NanoField>*>(*arg) : nullptr;
  if (!slot) {
    NanoLog("<ERROR> %s decoder failed: Invalid arg parameter\n",
            MessageNameFor(field->descriptor));
    return false;
  }
  if (*slot) {
    const NanoString* string = (*slot)->string();
    if (string && string->bytes) return SkipElement(stream);
    NanoLog("<ERROR> String decoder failed: string data is NULL");
    return false;
  }
  std::string bytes;
  if (!ReadString(stream, &bytes)) return false;
  NanoString string;
  string.bytes = std::move(bytes);
  *slot = std::make_unique<NanoField>(std::move(string));
  return true;
}

bool nano_decode_repeated_string(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  auto* array = arg ? static_cast<NanoArray*>(*arg) : nullptr;
  if (!array) {
    NanoLog("<ERROR> %s decoder failed: Invalid arg parameter\n",
            MessageNameFor(field->descriptor));
    return false;
  }
  if (!array->items) {
    if (array->item_count == std::numeric_limits<uint32_t>::max()) return false;
    ++array->item_count;
    return SkipElement(stream);
  }
  if (array->fill_index >= array->items->size()) return false;
  NanoString string;
  string.bytes.emplace();
  if (!ReadString(stream, &*string.bytes)) return false;
  (*array->items)[array->fill_index++] = std::make_unique<NanoField>(std::move(string));
  return true;
}

bool nano_decode_repeated_uint64(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  auto* array = arg ? static_cast<NanoArray*>(*arg) : nullptr;
  if (!array) {
    NanoLog("<ERROR> %s decoder failed: Invalid arg parameter\n",
            MessageNameFor(field->descriptor));
    return false;
  }
  if (stream->bytes_left == 0) return true;  // An empty packed run holds no items.
  uint64_t value = 0;
  if (!pb_decode_varint(stream, &value)) return false;
  if (!array->items) {
    if (array->item_count == std::numeric_limits<uint32_t>::max()) return false;
    ++array->item_count;
    return true;
  }
  if (array->fill_index >= array->items->size()) return false;
  (*array->items)[array->fill_index++] = std::make_unique<NanoField>(value);
  return true;
}

bool nano_encode_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* string = arg ? static_cast<const NanoString*>(*arg) : nullptr;
  if (!string || !string->bytes) PB_RETURN_ERROR(stream, "string field has no bytes");
  if (!pb_encode_tag_for_field(stream, field)) return false;
  return pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(string->bytes->data()),
                          string->bytes->size());
}

bool nano_encode_repeated_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* array = arg ? static_cast<const NanoArray*>(*arg) : nullptr;
  if (!array || !array->items) PB_RETURN_ERROR(stream, "repeated field is not allocated");
  for (uint32_t i = 0; i < array->item_count; ++i) {
    const NanoField* item = i < array->items->size() ? (*array->items)[i].get() : nullptr;
    const NanoString* string = item ? item->string() : nullptr;
    if (!string || !string->bytes) PB_RETURN_ERROR(stream, "repeated item is missing");
    if (!pb_encode_tag_for_field(stream, field)) return false;
    if (!pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(string->bytes->data()),
                          string->bytes->size())) {
      return false;
    }
  }
  return true;
}

bool nano_encode_repeated_uint64(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* array = arg ? static_cast<const NanoArray*>(*arg) : nullptr;
  if (!array || !array->items) PB_RETURN_ERROR(stream, "repeated field is not allocated");
  for (uint32_t i = 0; i < array->item_count; ++i) {
    const NanoField* item = i < array->items->size() ? (*array->items)[i].get() : nullptr;
    const uint64_t* cell = item ? item->cell() : nullptr;
    if (!cell) PB_RETURN_ERROR(stream, "repeated item is missing");
    if (!pb_encode_tag(stream, PB_WT_VARINT, field->tag)) return false;
    if (!pb_encode_varint(stream, *cell)) return false;
  }
  return true;
}

int32_t nano_two_pass_encoding(const pb_msgdesc_t* fields, const void* pb, fnd::Data* output) {
  if (!output) return -1;
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!fields || !pb || !pb_encode(&sizing, fields, pb)) {
    NanoLog("<ERROR> Encoding failed: %s\n", PB_GET_ERROR(&sizing));
    output->clear();
    return -1;
  }
  if (sizing.bytes_written > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    NanoLog("<ERROR> Encoding failed: %zu bytes is too big\n", sizing.bytes_written);
    output->clear();
    return -1;
  }
  fnd::Data buffer;
  try {
    buffer.resize(sizing.bytes_written);
  } catch (const std::bad_alloc&) {
    NanoLog("<ERROR> Encoding failed: unable to allocate %zu bytes\n", sizing.bytes_written);
    output->clear();
    return -1;
  }
  pb_ostream_t stream = pb_ostream_from_buffer(buffer.data(), buffer.size());
  if (!pb_encode(&stream, fields, pb)) {
    NanoLog("<ERROR> Encoding failed: %s\n", PB_GET_ERROR(&stream));
    output->clear();
    return -1;
  }
  *output = std::move(buffer);
  return static_cast<int32_t>(stream.bytes_written);
}

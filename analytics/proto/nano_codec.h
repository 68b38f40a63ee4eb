// The table-driven codec behind every apmpb_<verb>_<msg> entry point, and the shared nano_*
// routines on raw field storage.
//
// Each nano_message_* function takes the message's descriptor first; the generated per-message
// family (analytics/proto/generated/apmpb_messages.h) binds it. Both codecs run two passes:
// decoding counts the items of every repeated field of a level in pass 1, allocates each item
// array once at its exact size, and stores the items in pass 2; encoding sizes the message first
// and then writes it into one buffer of exactly that size. Encoding runs through nanopb. Decoding
// reads the wire straight into the record, with nanopb's acceptance rules and error texts (a
// field nanopb hands to a callback may arrive with any wire type and its raw bytes are then the
// element; strings and sub-messages keep their first occurrence, scalars their last); records
// that are not freshly initialised are decoded through nanopb itself.
//
// Failures are answered by the result (false, or -1 from an encode) plus one line through
// NanoLog(); nothing throws and nothing aborts. A failed decode leaves what it stored so far in
// the record, for the caller to free.
//
// Thread safety: none beyond the caller's. A record is used by one thread at a time; the
// descriptors and kind tables are read-only and shared.
#pragma once

#include <pb.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "analytics/proto/message_info.h"
#include "platform/foundation/value.h"

// Stores the message id and kind table, gives the record one empty slot per field and an empty
// array record for each repeated field. Answers false only for a null record.
bool nano_message_init(const ApmpbMessageDescriptor& d, NanoMessageInfo* info);

// After decoding pass 1: allocates each repeated field's item array at exactly its counted size
// (none when 0) and resets its fill index. A missing array record logs "<ERROR> Cannot allocate %s
// arrays. Missing params field (%s)" and answers false.
bool nano_message_alloc_arrays(const ApmpbMessageDescriptor& d, NanoMessageInfo* info);

// After decoding pass 2: writes every scalar that nanopb marked present into its cell.
// `pb` is the message's nanopb struct.
void nano_message_populate_info(const ApmpbMessageDescriptor& d, const void* pb,
                                NanoMessageInfo* info);

// Frees one field deeply and makes it absent; a repeated field is emptied (items freed, counts
// zero) but keeps its array record. A position outside the message logs "<ERROR> %s: Cannot
// deallocate field %d: Unknown field" and answers false.
bool nano_message_free_field(const ApmpbMessageDescriptor& d, NanoMessageInfo* info,
                             int32_t position);

// Frees the whole record. Answers false for a null record.
bool nano_message_free(const ApmpbMessageDescriptor& d, std::unique_ptr<NanoMessageInfo> info);

// Replaces *destination with a fresh record of this type holding a deep copy of every present
// field of `source`. Answers false for a null argument, for a source that is not an initialised
// record of this type, or when an item cannot be copied (the copy stops there).
bool nano_message_copy(const ApmpbMessageDescriptor& d,
                       std::unique_ptr<NanoMessageInfo>* destination,
                       const NanoMessageInfo* source);

// Fills the callbacks of the zeroed nanopb struct `pb` for decoding into `info`. Answers false
// when `info` is not an initialised record of this type.
bool nano_message_set_decoders(const ApmpbMessageDescriptor& d, void* pb, NanoMessageInfo* info);

// Two-pass decode of `length` bytes into `info`, which must be an initialised record of this
// type. Zero bytes decode to an empty message. Messages nested more than kNanoMaxNestingDepth
// deep, strings longer than kNanoMaxStringLength and sizes beyond the bytes left fail.
bool nano_message_decode(const ApmpbMessageDescriptor& d, const uint8_t* bytes, size_t length,
                         NanoMessageInfo* info);

// The same decode with every level, nested ones included, driven by nanopb's pb_decode and the
// callbacks below: same result, same log lines, slower. The reference the direct decoder is
// checked against.
bool nano_message_decode_nanopb(const ApmpbMessageDescriptor& d, const uint8_t* bytes,
                                size_t length, NanoMessageInfo* info);

// True only when `length` bytes are a message of type `d` exactly as nano_message_encode writes
// it: they decode (nano_message_decode) without a failure, and the decoded record encodes back to
// these very bytes. That is: only known fields, in tag order, each singular one at most once, with
// the wire type and the shortest varints the encoder writes, integers in the range the field keeps,
// bools as 0 or 1, repeated integers unpacked, strings within kNanoMaxStringLength, nested
// messages alike and less than kNanoMaxNestingDepth deep (the outermost counts 1). Reads the bytes
// only: builds nothing and logs nothing. Bytes that it does not prove so answer false.
bool nano_message_is_canonical(const ApmpbMessageDescriptor& d, const uint8_t* bytes,
                               size_t length);

// nanopb decode callback for one element of a repeated field whose items are messages of type
// `d`; `*arg` is the field's array record.
bool nano_message_decode_repeated(const ApmpbMessageDescriptor& d, pb_istream_t* stream,
                                  const pb_field_t* field, void** arg);

// Fills the zeroed nanopb struct `pb` for encoding `info`: present scalars get their has-flag and
// value, present strings and sub-messages and non-empty repeated fields get their callbacks.
// A repeated field without array record logs "<ERROR> %s Encoder: '%s' should have been
// allocated" and answers false.
bool nano_message_set_encoders(const ApmpbMessageDescriptor& d, const NanoMessageInfo* info,
                               void* pb);

// Two-pass encode of `info` into *output (replaced). Answers the byte count, or -1 on failure
// with *output emptied. An empty message encodes to zero bytes.
int32_t nano_message_encode(const ApmpbMessageDescriptor& d, const NanoMessageInfo* info,
                            fnd::Data* output);

// nanopb encode callback that writes each item of `*arg` (an array record of messages of type
// `d`) as the field's tag and a length-delimited sub-message, stopping at the first failure.
bool nano_message_encode_repeated(const ApmpbMessageDescriptor& d, pb_ostream_t* stream,
                                  const pb_field_t* field, void* const* arg);

// ---- Shared routines on raw storage. `slot` is the address of a field's slot (or an item's).

// Create the cell when the slot is empty, then store the value. A null slot address logs
// "<ERROR> Unable to set <type>. Destination pointer is NULL" and stores nothing.
void nano_set_bool(std::unique_ptr<NanoField>* slot, bool value);
void nano_set_uint32(std::unique_ptr<NanoField>* slot, uint32_t value);
void nano_set_uint64(std::unique_ptr<NanoField>* slot, uint64_t value);
void nano_set_float(std::unique_ptr<NanoField>* slot, float value);
void nano_set_double(std::unique_ptr<NanoField>* slot, double value);

// Creates the string record when absent and replaces its bytes with a copy of `length` bytes. A
// null slot address logs "<ERROR> Unable to set string. Destination array is NULL"; null bytes
// with a non-zero length log "<ERROR> Unable to set string. Source bytes are NULL". Neither
// changes the field.
void nano_set_string(std::unique_ptr<NanoField>* slot, const uint8_t* bytes, size_t length);

// Frees the record's bytes: the record stays, without bytes. Logs "<ERROR> Unable to dealloc
// string field. String struct is NULL" for a null record.
void nano_free_string(NanoString* string);

// Frees the item array and zeroes both counts. Logs "<ERROR> Unable to initialize the array. Array
// pointer is NULL" for a null record.
void nano_init_array_info(NanoArray* array);

// nanopb callbacks for string fields (`*arg` is the slot address) and repeated string and integer
// fields (`*arg` is the array record).
bool nano_decode_string(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool nano_decode_repeated_string(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool nano_decode_repeated_uint64(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool nano_encode_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool nano_encode_repeated_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool nano_encode_repeated_uint64(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// Sizes the filled nanopb struct `pb`, then encodes it into a buffer of exactly that size, which
// replaces *output. Answers the byte count, or -1 (output emptied) on failure.
int32_t nano_two_pass_encoding(const pb_msgdesc_t* fields, const void* pb, fnd::Data* output);

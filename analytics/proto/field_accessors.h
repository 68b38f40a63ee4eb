// Reflective field accessors: the only way the engine reads and writes a message's fields.
//
// Every function takes a message object and a field *position* (0-based declaration order, which
// is not always the tag order) and checks the field's kind word before touching its storage.
// Failures never throw: each logs one line through NanoLog() and answers the neutral result
// (false, 0, 0.0, nullopt or null) without changing the message:
//   - a null message, or one without record or slot array:
//     "ProtocolBuffer message hasn't been initialized. <Op> can't be performed";
//   - a field of the wrong kind: "<Nano/Failure> Field type isn't a scalar <KIND>. Message: %s,
//     field ID: %d" (or "... isn't REPEATED ..." for the array pair);
//   - a position outside the message: "<Nano/Failure> Field ID is out of range. Message: %s, field
//     ID: %d".
//
// Thread safety: none; the caller owns the message.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/proto/message_base.h"
#include "platform/foundation/value.h"

// True for a repeated field (always present) or a present singular field.
bool NANOHasField(const NANOMessageBase* message, int32_t position);

// Makes the field absent (a repeated field: empty) through the class's field-free routine.
void NANOClearField(NANOMessageBase* message, int32_t position);

// Bool fields. The getter answers true only when the stored byte is 1. The setter stores the low
// byte of `value` as it is: a value of 2 reads back as false here, yet encodes as true.
bool NANOGetBool(const NANOMessageBase* message, int32_t position);
void NANOSetBool(NANOMessageBase* message, int32_t position, signed char value);

// int32, uint32 and enum fields: the low 32 bits of the cell; absent reads 0.
int32_t NANOGetInt32(const NANOMessageBase* message, int32_t position);
void NANOSetInt32(NANOMessageBase* message, int32_t position, int32_t value);

// int64 and uint64 fields; absent reads 0.
int64_t NANOGetInt64(const NANOMessageBase* message, int32_t position);
void NANOSetInt64(NANOMessageBase* message, int32_t position, int64_t value);

// Double fields; absent reads 0.0.
double NANOGetDouble(const NANOMessageBase* message, int32_t position);
void NANOSetDouble(NANOMessageBase* message, int32_t position, double value);

// String fields. The getter answers nullopt when the field is absent, has no bytes or holds
// invalid UTF-8. The setter stores a string value's UTF-8 bytes and clears the field for null;
// any other kind of value is refused with "<Nano/Failure> Field value isn't a string. Message: %s,
// field ID: %d" and the field is left as it was.
std::optional<std::string> NANOGetString(const NANOMessageBase* message, int32_t position);
void NANOSetString(NANOMessageBase* message, int32_t position, const fnd::Value& value);

// Sub-message fields. The getter answers a new object of `cls` holding a deep copy of the stored
// sub-message (changing it leaves the parent unchanged), or null when the field is absent, when
// `cls` has no initWithMessageInfo ("<ERROR> Provided class doesn't implement initWithMessageInfo:
// method. Class: %s"), or when `cls` is of another message type.
std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase* message, int32_t position,
                                                const NANOMessageClass* cls);
template <typename T>
std::shared_ptr<T> NANOGetMessage(const NANOMessageBase* message, int32_t position) {
  return std::dynamic_pointer_cast<T>(NANOGetMessage(message, position, &T::messageClass()));
}
// Stores a deep copy of `value`'s record (the old sub-message is freed first). Null clears the
// field. A value of another message type than the field's is refused with "<Nano/Failure> Message
// type doesn't match the field. Message: %s, field ID: %d, value: %s".
void NANOSetMessage(NANOMessageBase* message, int32_t position, const NANOMessageBase* value);

// Repeated fields. The getter answers one value per item in order: numbers (bool, int, double),
// strings, data, and for message items records of class `cls` (deep copies); items that cannot be
// converted are skipped with a log line. A field without item array answers an empty array; a
// missing array record logs "<ERROR> Repeated field should have been allocated" and answers
// nullopt.
std::optional<fnd::Array> NANOGetArray(const NANOMessageBase* message, int32_t position,
                                       const NANOMessageClass* cls);
// Replaces every item, all or nothing: the first element of the wrong kind logs "<ERROR> Invalid
// object type. ..." and leaves the field empty. Null `array` empties the field.
void NANOSetArray(NANOMessageBase* message, int32_t position, const fnd::Array* array);

// The UTF-8 bytes of a string value into `record`; null answers true and stores nothing; any
// other kind answers false and stores nothing.
bool NANOConvertStringToArrayInfo(const fnd::Value& object, NanoString* record);
// The same for a data value, whose bytes are copied as they are.
bool NANOConvertNSDataToArrayInfo(const fnd::Value& object, NanoString* record);

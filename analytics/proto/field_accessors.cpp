#include "analytics/proto/field_accessors.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

#include "analytics/proto/nano_log.h"
#include "platform/foundation/text.h"

namespace {

constexpr const char* kNotInitialized = "ProtocolBuffer message hasn't been initialized. ";

const char* IdOf(const NANOMessageBase* message) {
  const char* id = message ? message->messageID() : nullptr;
  return id ? id : "(null)";
}

// The message's record when it has a slot array; otherwise logs that `op` can't be performed.
template <typename Message>
auto RecordFor(Message* message, const char* op) -> decltype(message->messageInfo()) {
  auto info = message ? message->messageInfo() : nullptr;
  if (!info || !info->hasSlots()) {
    NanoLog("%s%s can't be performed", kNotInitialized, op);
    return nullptr;
  }
  return info;
}

bool InRange(const NANOMessageBase* message, const NanoMessageInfo* info, int32_t position) {
  if (position >= 0 && position < info->fieldCount()) return true;
  NanoLog("<Nano/Failure> Field ID is out of range. Message: %s, field ID: %d", IdOf(message),
          position);
  return false;
}

// True when the field exists and its kind is a singular one of `accepted`; otherwise logs the
// "isn't a scalar" line naming `kind_name`.
bool IsSingular(const NANOMessageBase* message, const NanoMessageInfo* info, int32_t position,
                uint32_t accepted, const char* kind_name) {
  if (!InRange(message, info, position)) return false;
  uint32_t kind = info->fieldsType()[position];
  if ((kind & kNanoKindRepeated) == 0 && (kind & accepted) != 0) return true;
  NanoLog("<Nano/Failure> Field type isn't a scalar %s. Message: %s, field ID: %d", kind_name,
          IdOf(message), position);
  return false;
}

bool IsRepeatedField(const NANOMessageBase* message, const NanoMessageInfo* info,
                     int32_t position) {
  if (!InRange(message, info, position)) return false;
  if (info->fieldsType()[position] & kNanoKindRepeated) return true;
  NanoLog("<Nano/Failure> Field type isn't REPEATED. Message: %s, field ID: %d", IdOf(message),
          position);
  return false;
}

const uint64_t* CellAt(const NanoMessageInfo* info, int32_t position) {
  const NanoField* field = info->field(position);
  return field ? field->cell() : nullptr;
}

void StoreCell(NanoMessageInfo* info, int32_t position, uint64_t value) {
  std::unique_ptr<NanoField>& slot = info->slots[static_cast<size_t>(position)];
  if (!slot || !slot->cell()) slot = std::make_unique<NanoField>(uint64_t{0});
  *slot->cell() = value;
}

std::optional<std::string> Utf8Text(const NanoString* string) {
  if (!string || !string->bytes || !fnd::IsValidUTF8(*string->bytes)) return std::nullopt;
  return *string->bytes;
}

bool IsNumber(const fnd::Value& v) { return v.isBool() || v.isInt() || v.isDouble(); }

uint64_t UnsignedIntValue(const fnd::Value& v) {
  return static_cast<uint32_t>(static_cast<uint64_t>(v.asInt()));
}

float FloatValue(const fnd::Value& v) {
  double d = v.asDouble();
  if (std::isnan(d)) return NAN;
  if (d > FLT_MAX) return INFINITY;
  if (d < -FLT_MAX) return -INFINITY;
  return static_cast<float>(d);
}

std::string ClassNameOf(const fnd::Value& v) {
  if (auto* record = v.record()) return *record ? (*record)->typeName() : "(null)";
  return fnd::Value::kindName(v.kind());
}

// One array item from a stored item, or nullopt (after a log line where the item is unusable).
std::optional<fnd::Value> ItemValue(uint32_t kind, const NanoField* item,
                                    const NANOMessageClass* cls) {
  if (!item) {
    NanoLog("<ERROR> Unable to convert NULL data to an ObjC object");
    return std::nullopt;
  }
  const uint64_t* cell = item->cell();
  auto low32 = [&] { return static_cast<uint32_t>(*cell); };
  if (kind & (kNanoKindBool | kNanoKindInt32 | kNanoKindUInt32 | kNanoKindInt64 | kNanoKindUInt64 |
              kNanoKindFloat | kNanoKindDouble | kNanoKindEnum)) {
    if (!cell) return std::nullopt;
  }
  if (kind & kNanoKindBool) return fnd::Value((*cell & 0xFF) != 0);
  if (kind & kNanoKindInt32) return fnd::Value::Int32(static_cast<int32_t>(low32()));
  if (kind & kNanoKindUInt32) return fnd::Value(low32());
  if (kind & kNanoKindInt64) return fnd::Value::Int64(static_cast<int64_t>(*cell));
  if (kind & kNanoKindUInt64) return fnd::Value::Int64(static_cast<int64_t>(*cell));
  if (kind & kNanoKindFloat) {
    uint32_t bits = low32();
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    return fnd::Value(f);
  }
  if (kind & kNanoKindDouble) {
    double d;
    std::memcpy(&d, cell, sizeof(d));
    return fnd::Value(d);
  }
  if (kind & kNanoKindEnum) return fnd::Value::Int32(static_cast<int32_t>(low32()));
  if (kind & kNanoKindString) {
    std::optional<std::string> text = Utf8Text(item->string());
    if (!text) return std::nullopt;
    return fnd::Value(std::move(*text));
  }
  if (kind & kNanoKindBytes) {
    const NanoString* bytes = item->string();
    if (!bytes || !bytes->bytes) return std::nullopt;
    return fnd::Value(fnd::Data(bytes->bytes->begin(), bytes->bytes->end()));
  }
  if (kind & kNanoKindMessage) {
    if (!cls || !cls->initWithMessageInfo) {
      NanoLog("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
              cls && cls->name ? cls->name : "(null)");
      return std::nullopt;
    }
    std::shared_ptr<NANOMessageBase> object = cls->initWithMessageInfo(item->message());
    if (!object) return std::nullopt;
    return fnd::Value(std::shared_ptr<fnd::Record>(std::move(object)));
  }
  NanoLog("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d",
          static_cast<int>(kind));
  return std::nullopt;
}

// Stores one array element into `slot`, or answers false after the "Invalid object type" line.
bool StoreItem(uint32_t kind, const ApmpbMessageDescriptor* item_type, const fnd::Value& element,
               std::unique_ptr<NanoField>* slot) {
  auto invalid = [&](const char* kind_name, const char* class_name) {
    NanoLog("<ERROR> Invalid object type. %s fields expect %s. Type: %s", kind_name, class_name,
            ClassNameOf(element).c_str());
    return false;
  };
  if (kind & kNanoKindBool) {
    if (!IsNumber(element)) return invalid("Boolean", "NSNumber");
    *slot = std::make_unique<NanoField>(uint64_t{element.asBool() ? 1u : 0u});
  } else if (kind & (kNanoKindInt32 | kNanoKindUInt32)) {
    if (!IsNumber(element)) return invalid("Int32", "NSNumber");
    *slot = std::make_unique<NanoField>(UnsignedIntValue(element));
  } else if (kind & (kNanoKindInt64 | kNanoKindUInt64)) {
    if (!IsNumber(element)) return invalid("Int64", "NSNumber");
    *slot = std::make_unique<NanoField>(static_cast<uint64_t>(element.asInt()));
  } else if (kind & kNanoKindFloat) {
    if (!IsNumber(element)) return invalid("Float", "NSNumber");
    float f = FloatValue(element);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof(bits));
    *slot = std::make_unique<NanoField>(uint64_t{bits});
  } else if (kind & kNanoKindDouble) {
    if (!IsNumber(element)) return invalid("Double", "NSNumber");
    double d = element.asDouble();
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof(bits));
    *slot = std::make_unique<NanoField>(bits);
  } else if (kind & kNanoKindEnum) {
    if (!IsNumber(element)) return invalid("Enum", "NSNumber");
    *slot = std::make_unique<NanoField>(UnsignedIntValue(element));
  } else if (kind & kNanoKindString) {
    if (!element.isString()) return invalid("String", "NSString");
    NanoString record;
    NANOConvertStringToArrayInfo(element, &record);
    *slot = std::make_unique<NanoField>(std::move(record));
  } else if (kind & kNanoKindBytes) {
    if (!element.isData()) return invalid("Bytes", "NSData");
    NanoString record;
    NANOConvertNSDataToArrayInfo(element, &record);
    *slot = std::make_unique<NanoField>(std::move(record));
  } else if (kind & kNanoKindMessage) {
    auto object = element.recordAs<NANOMessageBase>();
    const NanoMessageInfo* info = object ? object->messageInfo() : nullptr;
    std::unique_ptr<NanoMessageInfo> copy;
    if (!info || !info->descriptor || info->descriptor != item_type ||
        !object->copyMessageInfoFn()(&copy, info)) {
      return invalid("Message", "NANOMessageBase");
    }
    *slot = std::make_unique<NanoField>(std::move(copy));
  } else {
    NanoLog("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d",
            static_cast<int>(kind));
    return false;
  }
  return true;
}

}  // namespace

bool NANOHasField(const NANOMessageBase* message, int32_t position) {
  const NanoMessageInfo* info = message ? message->messageInfo() : nullptr;
  if (!info || !info->hasSlots()) {
    NanoLog("%sHasField operation can't be performed. Message name %s", kNotInitialized,
            IdOf(message));
    return false;
  }
  if (!InRange(message, info, position)) return false;
  if (info->fieldsType()[position] & kNanoKindRepeated) return true;
  return info->field(position) != nullptr;
}

void NANOClearField(NANOMessageBase* message, int32_t position) {
  NanoMessageInfo* info = RecordFor(message, "ClearField");
  if (!info) return;
  // The free routine checks the position and logs its own failure.
  (void)message->deallocMessageFieldFn()(info, position);
}

bool NANOGetBool(const NANOMessageBase* message, int32_t position) {
  const NanoMessageInfo* info = RecordFor(message, "GetBool");
  if (!info || !IsSingular(message, info, position, kNanoKindBool, "BOOL")) return false;
  const uint64_t* cell = CellAt(info, position);
  return cell && (*cell & 0xFF) == 1;
}

void NANOSetBool(NANOMessageBase* message, int32_t position, signed char value) {
  NanoMessageInfo* info = RecordFor(message, "SetBool");
  if (!info || !IsSingular(message, info, position, kNanoKindBool, "BOOL")) return;
  StoreCell(info, position, static_cast<unsigned char>(value));
}

int32_t NANOGetInt32(const NANOMessageBase* message, int32_t position) {
  const NanoMessageInfo* info = RecordFor(message, "GetInt32");
  if (!info || !IsSingular(message, info, position,
                           kNanoKindInt32 | kNanoKindUInt32 | kNanoKindEnum, "INT32")) {
    return 0;
  }
  const uint64_t* cell = CellAt(info, position);
  return cell ? static_cast<int32_t>(static_cast<uint32_t>(*cell)) : 0;
}

void NANOSetInt32(NANOMessageBase* message, int32_t position, int32_t value) {
  NanoMessageInfo* info = RecordFor(message, "SetInt32");
  if (!info || !IsSingular(message, info, position,
                           kNanoKindInt32 | kNanoKindUInt32 | kNanoKindEnum, "INT32")) {
    return;
  }
  StoreCell(info, position, static_cast<uint32_t>(value));
}

int64_t NANOGetInt64(const NANOMessageBase* message, int32_t position) {
  const NanoMessageInfo* info = RecordFor(message, "GetInt64");
  if (!info || !IsSingular(message, info, position, kNanoKindInt64 | kNanoKindUInt64, "INT64")) {
    return 0;
  }
  const uint64_t* cell = CellAt(info, position);
  return cell ? static_cast<int64_t>(*cell) : 0;
}

void NANOSetInt64(NANOMessageBase* message, int32_t position, int64_t value) {
  NanoMessageInfo* info = RecordFor(message, "SetInt64");
  if (!info || !IsSingular(message, info, position, kNanoKindInt64 | kNanoKindUInt64, "INT64")) {
    return;
  }
  StoreCell(info, position, static_cast<uint64_t>(value));
}

double NANOGetDouble(const NANOMessageBase* message, int32_t position) {
  const NanoMessageInfo* info = RecordFor(message, "GetDouble");
  if (!info || !IsSingular(message, info, position, kNanoKindDouble, "DOUBLE")) return 0;
  const uint64_t* cell = CellAt(info, position);
  if (!cell) return 0;
  double value;
  std::memcpy(&value, cell, sizeof(value));
  return value;
}

void NANOSetDouble(NANOMessageBase* message, int32_t position, double value) {
  NanoMessageInfo* info = RecordFor(message, "SetDouble");
  if (!info || !IsSingular(message, info, position, kNanoKindDouble, "DOUBLE")) return;
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  StoreCell(info, position, bits);
}

std::optional<std::string> NANOGetString(const NANOMessageBase* message, int32_t position) {
  const NanoMessageInfo* info = RecordFor(message, "GetString");
  if (!info || !IsSingular(message, info, position, kNanoKindString, "STRING")) {
    return std::nullopt;
  }
  const NanoField* field = info->field(position);
  return field ? Utf8Text(field->string()) : std::nullopt;
}

void NANOSetString(NANOMessageBase* message, int32_t position, const fnd::Value& value) {
  NanoMessageInfo* info = RecordFor(message, "SetString");
  if (!info || !IsSingular(message, info, position, kNanoKindString, "STRING")) return;
  if (value.isNull()) {
    (void)message->deallocMessageFieldFn()(info, position);  // Cannot fail: position is valid.
    return;
  }
  if (!value.isString()) {
    NanoLog("<Nano/Failure> Field value isn't a string. Message: %s, field ID: %d", IdOf(message),
            position);
    return;
  }
  std::unique_ptr<NanoField>& slot = info->slots[static_cast<size_t>(position)];
  if (!slot || !slot->string()) slot = std::make_unique<NanoField>(NanoString());
  NANOConvertStringToArrayInfo(value, slot->string());
}

std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase* message, int32_t position,
                                                const NANOMessageClass* cls) {
  const NanoMessageInfo* info = RecordFor(message, "GetMessage");
  if (!info || !IsSingular(message, info, position, kNanoKindMessage, "MESSAGE")) {
    return nullptr;
  }
  const NanoField* field = info->field(position);
  const NanoMessageInfo* stored = field ? field->message() : nullptr;
  if (!stored) return nullptr;
  if (!cls || !cls->initWithMessageInfo) {
    NanoLog("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
            cls && cls->name ? cls->name : "(null)");
    return nullptr;
  }
  return cls->initWithMessageInfo(stored);
}

void NANOSetMessage(NANOMessageBase* message, int32_t position, const NANOMessageBase* value) {
  NanoMessageInfo* info = RecordFor(message, "SetMessage");
  if (!info || !IsSingular(message, info, position, kNanoKindMessage, "MESSAGE")) return;
  if (!value) {
    (void)message->deallocMessageFieldFn()(info, position);  // Cannot fail: position is valid.
    return;
  }
  const ApmpbMessageDescriptor* field_type = info->descriptor->fields[position].message;
  const char* value_id = value->messageID();
  if (!field_type || !value_id || std::strcmp(value_id, field_type->message_id) != 0) {
    NanoLog(
        "<Nano/Failure> Message type doesn't match the field. Message: %s, field ID: %d, "
        "value: %s",
        IdOf(message), position, value_id ? value_id : "(null)");
    return;
  }
  // The copy is made before the old sub-message goes, so a failed copy changes nothing.
  auto copy = std::make_unique<NanoMessageInfo>();
  if (!value->initMessageInfoFn()(copy.get()) ||
      !value->copyMessageInfoFn()(&copy, value->messageInfo())) {
    return;
  }
  (void)message->deallocMessageFieldFn()(info, position);  // Cannot fail: position is valid.
  info->slots[static_cast<size_t>(position)] = std::make_unique<NanoField>(std::move(copy));
}

std::optional<fnd::Array> NANOGetArray(const NANOMessageBase* message, int32_t position,
                                       const NANOMessageClass* cls) {
  const NanoMessageInfo* info = RecordFor(message, "GetArray");
  if (!info || !IsRepeatedField(message, info, position)) return std::nullopt;
  const NanoField* field = info->field(position);
  const NanoArray* array = field ? field->array() : nullptr;
  if (!array) {
    NanoLog("<ERROR> Repeated field should have been allocated");
    return std::nullopt;
  }
  fnd::Array result;
  if (!array->items) return result;
  uint32_t kind = info->fieldsType()[position];
  for (uint32_t i = 0; i < array->item_count; ++i) {
    const NanoField* item = i < array->items->size() ? (*array->items)[i].get() : nullptr;
    std::optional<fnd::Value> value = ItemValue(kind, item, cls);
    if (value) result.push_back(std::move(*value));
  }
  return result;
}

void NANOSetArray(NANOMessageBase* message, int32_t position, const fnd::Array* array) {
  NanoMessageInfo* info = RecordFor(message, "SetArray");
  if (!info || !IsRepeatedField(message, info, position)) return;
  NanoField* field = info->field(position);
  NanoArray* record = field ? field->array() : nullptr;
  if (!record) {
    NanoLog("<ERROR> Repeated field should have been allocated");
    return;
  }
  // Cannot fail: the position is valid.
  (void)message->deallocMessageFieldFn()(info, position);
  if (!array || array->empty()) return;
  uint32_t kind = info->fieldsType()[position];
  const ApmpbMessageDescriptor* item_type = info->descriptor->fields[position].message;
  record->items.emplace(array->size());
  record->item_count = static_cast<uint32_t>(array->size());
  for (size_t i = 0; i < array->size(); ++i) {
    if (!StoreItem(kind, item_type, (*array)[i], &(*record->items)[i])) {
      (void)message->deallocMessageFieldFn()(info, position);
      return;
    }
  }
}

bool NANOConvertStringToArrayInfo(const fnd::Value& object, NanoString* record) {
  if (object.isNull()) return true;
  const std::string* text = object.string();
  if (!text || !record) return false;
  record->bytes = *text;
  return true;
}

bool NANOConvertNSDataToArrayInfo(const fnd::Value& object, NanoString* record) {
  if (object.isNull()) return true;
  const fnd::Data* data = object.data();
  if (!data || !record) return false;
  record->bytes.emplace(data->begin(), data->end());
  return true;
}

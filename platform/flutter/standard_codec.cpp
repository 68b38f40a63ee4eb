#include "platform/flutter/standard_codec.h"

#include <bit>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace flutter {

static_assert(std::endian::native == std::endian::little,
              "the channel format is little-endian and is copied as it stands");

namespace {

fnd::Error codecError(FlutterCodecErrorCode code, std::string description) {
  return fnd::Error::withDescription(kFlutterCodecErrorDomain, code, std::move(description));
}

// Sizes above this do not fit the format's uint32 size field.
constexpr size_t kMaxSize = std::numeric_limits<uint32_t>::max();

template <typename T>
void writeTyped(FlutterStandardWriter& writer, uint8_t type, const std::vector<T>& values) {
  if (values.size() > kMaxSize) {
    writer.fail(codecError(kFlutterCodecUnsupportedValue, "A typed list is too long to encode"));
    return;
  }
  writer.writeByte(type);
  writer.writeSize(static_cast<uint32_t>(values.size()));
  writer.writeAlignment(sizeof(T));
  writer.writeBytes(values.data(), values.size() * sizeof(T));
}

// Whether p[0, n) holds at most 16 bytes of ASCII (no top bit set in two overlapping words, or
// in the first, middle and last byte): the usual key, checked without a loop.
bool IsShortASCII(const uint8_t* p, size_t n) {
  uint64_t bits;
  if (n >= 8) {
    if (n > 16) return false;
    uint64_t head;
    uint64_t tail;
    std::memcpy(&head, p, sizeof head);
    std::memcpy(&tail, p + n - 8, sizeof tail);
    bits = head | tail;
  } else if (n >= 4) {
    uint32_t head;
    uint32_t tail;
    std::memcpy(&head, p, sizeof head);
    std::memcpy(&tail, p + n - 4, sizeof tail);
    bits = head | tail;
  } else if (n > 0) {
    bits = p[0] | p[n >> 1] | p[n - 1];
  } else {
    return true;
  }
  return (bits & 0x8080808080808080ULL) == 0;
}

}  // namespace

bool FlutterIsValidUTF8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time: none has its top bit set.
    while (n - i >= 8) {
      uint64_t word;
      std::memcpy(&word, s + i, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i == n) break;
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    uint32_t min;
    uint32_t cp;
    if ((c & 0xe0) == 0xc0) {
      length = 2;
      min = 0x80;
      cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      length = 3;
      min = 0x800;
      cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      length = 4;
      min = 0x10000;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      unsigned char cc = s[i + k];
      if ((cc & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += length;
  }
  return true;
}

// FlutterStandardWriter

FlutterStandardWriter::FlutterStandardWriter(fnd::Data* data) : data_(data) {}

FlutterStandardWriter::~FlutterStandardWriter() = default;

void FlutterStandardWriter::fail(fnd::Error error) {
  if (failed_) return;
  failed_ = true;
  error_ = std::move(error);
}

void FlutterStandardWriter::writeByte(uint8_t value) { data_->push_back(value); }

void FlutterStandardWriter::writeBytes(const void* bytes, size_t length) {
  if (length == 0) return;
  const auto* p = static_cast<const uint8_t*>(bytes);
  data_->insert(data_->end(), p, p + length);
}

void FlutterStandardWriter::writeData(const fnd::Data& data) {
  writeBytes(data.data(), data.size());
}

void FlutterStandardWriter::writeSize(uint32_t size) {
  if (size < 254) {
    writeByte(static_cast<uint8_t>(size));
  } else if (size <= 0xffff) {
    writeByte(254);
    uint16_t value = static_cast<uint16_t>(size);
    writeBytes(&value, sizeof value);
  } else {
    writeByte(255);
    writeBytes(&size, sizeof size);
  }
}

void FlutterStandardWriter::writeAlignment(uint8_t alignment) {
  if (alignment <= 1) return;
  size_t mod = data_->size() % alignment;
  if (mod) data_->insert(data_->end(), alignment - mod, 0);
}

void FlutterStandardWriter::writeUTF8(std::string_view text) {
  if (text.size() > kMaxSize) {
    fail(codecError(kFlutterCodecUnsupportedValue, "A string is too long to encode"));
    return;
  }
  if (!FlutterIsValidUTF8(text)) {
    fail(codecError(kFlutterCodecInvalidUTF8, "A string to encode is not valid UTF-8"));
    return;
  }
  writeSize(static_cast<uint32_t>(text.size()));
  writeBytes(text.data(), text.size());
}

void FlutterStandardWriter::writeInt32(int32_t value) { writeBytes(&value, sizeof value); }

void FlutterStandardWriter::writeInt64(int64_t value) { writeBytes(&value, sizeof value); }

void FlutterStandardWriter::writeFloat64(double value) { writeBytes(&value, sizeof value); }

void FlutterStandardWriter::writeValue(const fnd::Value& value) {
  if (failed_) return;
  if (recursion_ >= kFlutterCodecMaxRecursion) {
    fail(codecError(kFlutterCodecTooDeep, "Values nest too deeply to encode"));
    return;
  }
  ++recursion_;
  using Kind = fnd::Value::Kind;
  switch (value.kind()) {
    case Kind::kNull:
      writeByte(kFlutterStandardFieldNil);
      break;
    case Kind::kBool:
      writeByte(value.asBool() ? kFlutterStandardFieldTrue : kFlutterStandardFieldFalse);
      break;
    case Kind::kInt:
      if (value.isInt64()) {
        writeByte(kFlutterStandardFieldInt64);
        writeInt64(value.asInt());
      } else {
        writeByte(kFlutterStandardFieldInt32);
        writeInt32(static_cast<int32_t>(value.asInt()));
      }
      break;
    case Kind::kDouble:
      writeByte(kFlutterStandardFieldFloat64);
      writeAlignment(8);
      writeFloat64(value.asDouble());
      break;
    case Kind::kString:
      writeByte(kFlutterStandardFieldString);
      writeUTF8(*value.string());
      break;
    case Kind::kData:
      writeTyped(*this, kFlutterStandardFieldUInt8Data, *value.data());
      break;
    case Kind::kInt32Array:
      writeTyped(*this, kFlutterStandardFieldInt32Data, *value.int32Array());
      break;
    case Kind::kInt64Array:
      writeTyped(*this, kFlutterStandardFieldInt64Data, *value.int64Array());
      break;
    case Kind::kFloat32Array:
      writeTyped(*this, kFlutterStandardFieldFloat32Data, *value.float32Array());
      break;
    case Kind::kFloat64Array:
      writeTyped(*this, kFlutterStandardFieldFloat64Data, *value.float64Array());
      break;
    case Kind::kArray:
    case Kind::kDictionary: {
      if (depth_ >= kFlutterCodecMaxDepth) {
        fail(codecError(kFlutterCodecTooDeep, "Lists and maps nest more than " +
                                                  std::to_string(kFlutterCodecMaxDepth) + " deep"));
        break;
      }
      ++depth_;
      if (const fnd::Array* array = value.array()) {
        if (array->size() > kMaxSize) {
          fail(codecError(kFlutterCodecUnsupportedValue, "A list is too long to encode"));
        } else {
          writeByte(kFlutterStandardFieldList);
          writeSize(static_cast<uint32_t>(array->size()));
          for (const fnd::Value& element : *array) {
            writeValue(element);
            if (failed_) break;
          }
        }
      } else {
        const fnd::Dictionary& map = *value.dictionary();
        if (map.size() > kMaxSize) {
          fail(codecError(kFlutterCodecUnsupportedValue, "A map is too long to encode"));
        } else {
          writeByte(kFlutterStandardFieldMap);
          writeSize(static_cast<uint32_t>(map.size()));
          for (const auto& [key, element] : map) {
            writeValue(key);
            writeValue(element);
            if (failed_) break;
          }
        }
      }
      --depth_;
      break;
    }
    case Kind::kDate:
      fail(codecError(kFlutterCodecUnsupportedValue,
                      "A date has no form in the standard message format"));
      break;
    case Kind::kRecord:
      fail(codecError(kFlutterCodecUnsupportedValue,
                      "No writer for a record of type " + (*value.record())->typeName()));
      break;
  }
  --recursion_;
}

// FlutterStandardReader

FlutterStandardReader::FlutterStandardReader(std::span<const uint8_t> data) : data_(data) {}

FlutterStandardReader::~FlutterStandardReader() = default;

void FlutterStandardReader::fail(fnd::Error error) {
  if (failed_) return;
  failed_ = true;
  error_ = std::move(error);
}

void FlutterStandardReader::failAt(FlutterCodecErrorCode code, const char* what, size_t offset) {
  fail(codecError(code, what + std::to_string(offset)));
}

bool FlutterStandardReader::failRequire(size_t length) {
  if (failed_) return false;
  fail(codecError(kFlutterCodecTruncated,
                  "Message truncated: " + std::to_string(length) + " bytes needed at offset " +
                      std::to_string(position_) + ", " + std::to_string(remaining()) + " left"));
  return false;
}

void FlutterStandardReader::readBytes(void* destination, size_t length) {
  if (!require(length)) {
    if (length) std::memset(destination, 0, length);
    return;
  }
  if (length) std::memcpy(destination, data_.data() + position_, length);
  position_ += length;
}

fnd::Data FlutterStandardReader::readData(size_t length) {
  if (!require(length)) return {};
  fnd::Data out(data_.begin() + position_, data_.begin() + position_ + length);
  position_ += length;
  return out;
}

uint32_t FlutterStandardReader::readSize() {
  uint8_t first = readByte();
  if (first < 254) return first;
  if (first == 254) return readFixed<uint16_t>();
  return readFixed<uint32_t>();
}

void FlutterStandardReader::readAlignment(uint8_t alignment) {
  if (alignment <= 1) return;
  size_t mod = position_ % alignment;
  if (mod == 0) return;
  if (require(alignment - mod)) position_ += alignment - mod;
}

std::string FlutterStandardReader::readUTF8() { return std::string(readUTF8View()); }

std::string_view FlutterStandardReader::readUTF8View() {
  uint32_t length = readSize();
  if (!require(length)) return {};
  std::string_view text(reinterpret_cast<const char*>(data_.data() + position_), length);
  if (!IsShortASCII(data_.data() + position_, length) && !FlutterIsValidUTF8(text)) {
    failInvalidUTF8();
    return {};
  }
  position_ += length;
  return text;
}

void FlutterStandardReader::failInvalidUTF8() {
  fail(codecError(kFlutterCodecInvalidUTF8,
                  "String at offset " + std::to_string(position_) + " is not valid UTF-8"));
}

int32_t FlutterStandardReader::readInt32() { return readFixed<int32_t>(); }

int64_t FlutterStandardReader::readInt64() { return readFixed<int64_t>(); }

double FlutterStandardReader::readFloat64() { return readFixed<double>(); }

fnd::Value FlutterStandardReader::readValue() {
  // Every path returns `value`, so that it is built in the caller's place and never moved.
  const int type = beginValue();
  fnd::Value value = type >= 0 ? readValueOfType(static_cast<uint8_t>(type)) : fnd::Value();
  if (type >= 0) --recursion_;
  if (failed_) value = fnd::Value();
  return value;
}

int FlutterStandardReader::beginValue() {
  if (failed_) return -1;
  if (recursion_ >= kFlutterCodecMaxRecursion) {
    failAt(kFlutterCodecTooDeep, "Values nest too deeply at offset ", position_);
    return -1;
  }
  const uint8_t type = readByte();
  if (failed_) return -1;
  ++recursion_;
  return type;
}

bool FlutterStandardReader::enterContainer() {
  if (depth_ >= kFlutterCodecMaxDepth) {
    static const std::string what = "Lists and maps nest more than " +
                                    std::to_string(kFlutterCodecMaxDepth) + " deep at offset ";
    failAt(kFlutterCodecTooDeep, what.c_str(), position_);
    return false;
  }
  ++depth_;
  return true;
}

template <typename T>
fnd::Value FlutterStandardReader::readTypedList() {
  uint32_t count = readSize();
  readAlignment(sizeof(T));
  size_t length = static_cast<size_t>(count) * sizeof(T);
  if (!require(length)) return {};
  std::vector<T> values(count);
  if (length) std::memcpy(values.data(), data_.data() + position_, length);
  position_ += length;
  return fnd::Value(std::move(values));
}

fnd::Value FlutterStandardReader::readValueOfType(uint8_t type) {
  if (failed_) return {};
  switch (type) {
    case kFlutterStandardFieldNil:
      return {};
    case kFlutterStandardFieldTrue:
      return true;
    case kFlutterStandardFieldFalse:
      return false;
    case kFlutterStandardFieldInt32:
      return fnd::Value::Int32(readInt32());
    case kFlutterStandardFieldInt64:
      return fnd::Value::Int64(readInt64());
    case kFlutterStandardFieldIntHex:
    case kFlutterStandardFieldString:
      return fnd::Value(readUTF8View());
    case kFlutterStandardFieldFloat64:
      readAlignment(8);
      return readFloat64();
    case kFlutterStandardFieldUInt8Data: {
      uint32_t length = readSize();
      return readData(length);
    }
    case kFlutterStandardFieldInt32Data:
      return readTypedList<int32_t>();
    case kFlutterStandardFieldInt64Data:
      return readTypedList<int64_t>();
    case kFlutterStandardFieldFloat64Data:
      return readTypedList<double>();
    case kFlutterStandardFieldFloat32Data:
      return readTypedList<float>();
    case kFlutterStandardFieldList:
      return readList();
    case kFlutterStandardFieldMap:
      return readMap();
    default:
      failUnknownType(type);
      return {};
  }
}

void FlutterStandardReader::failUnknownType(uint8_t type) {
  fail(codecError(kFlutterCodecUnknownType, "Unknown type byte " + std::to_string(type) +
                                                " at offset " + std::to_string(position_ - 1)));
}

namespace {

// The reader's next value, read where a container constructs its element from it.
struct NextValue {
  FlutterStandardReader* reader;
  operator fnd::Value() const { return reader->readValue(); }
};

}  // namespace

fnd::Value FlutterStandardReader::readList() {
  const uint32_t count = readSize();
  // Every element takes at least its type byte.
  if (!require(count) || !enterContainer()) return {};
  fnd::Array array;
  array.reserve(count);  // At most one element per byte left.
  for (uint32_t i = 0; i < count && !failed_; ++i) array.emplace_back(NextValue{this});
  --depth_;
  return array;
}

fnd::Value FlutterStandardReader::readMap() {
  const uint32_t count = readSize();
  if (!require(2 * static_cast<size_t>(count)) || !enterContainer()) return {};
  std::vector<fnd::Dictionary::Entry> entries;
  entries.reserve(count);  // At most one entry per two bytes left.
  // Each pair builds its key and then its value (members in order), as the message holds them;
  // a repeated key keeps its first place and takes the later value.
  for (uint32_t i = 0; i < count && !failed_; ++i) {
    entries.emplace_back(NextValue{this}, NextValue{this});
  }
  --depth_;
  if (failed_) return {};
  return fnd::Dictionary(std::move(entries));
}

// FlutterStandardReaderWriter

std::unique_ptr<FlutterStandardWriter> FlutterStandardReaderWriter::writerWithData(
    fnd::Data* data) const {
  return std::make_unique<FlutterStandardWriter>(data);
}

std::unique_ptr<FlutterStandardReader> FlutterStandardReaderWriter::readerWithData(
    std::span<const uint8_t> data) const {
  return std::make_unique<FlutterStandardReader>(data);
}

namespace {

std::shared_ptr<const FlutterStandardReaderWriter> orStandard(
    std::shared_ptr<const FlutterStandardReaderWriter> readerWriter) {
  // Never destroyed: replies may still be decoded on other threads while the process exits.
  static const auto& standard = *new std::shared_ptr<const FlutterStandardReaderWriter>(
      std::make_shared<const FlutterStandardReaderWriter>());
  return readerWriter ? std::move(readerWriter) : standard;
}

// Fails the reader when it has not consumed the whole message.
void requireEnd(FlutterStandardReader& reader) {
  if (reader.hasMore()) {
    reader.fail(codecError(kFlutterCodecTrailingBytes,
                           std::to_string(reader.remaining()) +
                               " unexpected bytes after the message at offset " +
                               std::to_string(reader.position())));
  }
}

template <typename T>
std::optional<T> finish(const FlutterStandardReader& reader, T value, fnd::Error* error) {
  if (reader.failed()) {
    fnd::SetError(error, reader.error());
    return std::nullopt;
  }
  return value;
}

std::optional<fnd::Data> finish(const FlutterStandardWriter& writer, fnd::Data data,
                                fnd::Error* error) {
  if (writer.failed()) {
    fnd::SetError(error, writer.error());
    return std::nullopt;
  }
  return data;
}

}  // namespace

// FlutterStandardMessageCodec

FlutterStandardMessageCodec::FlutterStandardMessageCodec(
    std::shared_ptr<const FlutterStandardReaderWriter> readerWriter)
    : readerWriter_(orStandard(std::move(readerWriter))) {}

std::shared_ptr<const FlutterStandardMessageCodec> FlutterStandardMessageCodec::sharedInstance() {
  static const auto& codec = *new std::shared_ptr<const FlutterStandardMessageCodec>(
      std::make_shared<const FlutterStandardMessageCodec>());  // Never destroyed.
  return codec;
}

std::shared_ptr<const FlutterStandardMessageCodec>
FlutterStandardMessageCodec::codecWithReaderWriter(
    std::shared_ptr<const FlutterStandardReaderWriter> readerWriter) {
  return std::make_shared<const FlutterStandardMessageCodec>(std::move(readerWriter));
}

std::optional<fnd::Data> FlutterStandardMessageCodec::encode(const fnd::Value& message,
                                                             fnd::Error* error) const {
  fnd::Data data;
  if (message.isNull()) return data;
  auto writer = readerWriter_->writerWithData(&data);
  writer->writeValue(message);
  return finish(*writer, std::move(data), error);
}

std::optional<fnd::Value> FlutterStandardMessageCodec::decode(std::span<const uint8_t> message,
                                                              fnd::Error* error) const {
  if (message.empty()) return fnd::Value();
  auto reader = readerWriter_->readerWithData(message);
  fnd::Value value = reader->readValue();
  requireEnd(*reader);
  return finish(*reader, std::move(value), error);
}

// FlutterStandardMethodCodec

FlutterStandardMethodCodec::FlutterStandardMethodCodec(
    std::shared_ptr<const FlutterStandardReaderWriter> readerWriter)
    : readerWriter_(orStandard(std::move(readerWriter))) {}

std::shared_ptr<const FlutterStandardMethodCodec> FlutterStandardMethodCodec::sharedInstance() {
  static const auto& codec = *new std::shared_ptr<const FlutterStandardMethodCodec>(
      std::make_shared<const FlutterStandardMethodCodec>());  // Never destroyed.
  return codec;
}

std::shared_ptr<const FlutterStandardMethodCodec> FlutterStandardMethodCodec::codecWithReaderWriter(
    std::shared_ptr<const FlutterStandardReaderWriter> readerWriter) {
  return std::make_shared<const FlutterStandardMethodCodec>(std::move(readerWriter));
}

std::optional<fnd::Data> FlutterStandardMethodCodec::encodeMethodCall(const FlutterMethodCall& call,
                                                                      fnd::Error* error) const {
  fnd::Data data;
  auto writer = readerWriter_->writerWithData(&data);
  writer->writeValue(call.method());
  writer->writeValue(call.arguments());
  return finish(*writer, std::move(data), error);
}

std::optional<FlutterMethodCall> FlutterStandardMethodCodec::decodeMethodCall(
    std::span<const uint8_t> message, fnd::Error* error) const {
  auto reader = readerWriter_->readerWithData(message);
  fnd::Value method = reader->readValue();
  if (!reader->failed() && !method.isString()) {
    reader->fail(codecError(
        kFlutterCodecBadMethodCall,
        "Method name is a " + std::string(fnd::Value::kindName(method.kind())) + ", not a string"));
  }
  fnd::Value arguments = reader->readValue();
  requireEnd(*reader);
  return finish(*reader, FlutterMethodCall(method.asString(), std::move(arguments)), error);
}

std::optional<fnd::Data> FlutterStandardMethodCodec::encodeSuccessEnvelope(
    const fnd::Value& result, fnd::Error* error) const {
  fnd::Data data;
  auto writer = readerWriter_->writerWithData(&data);
  writer->writeByte(0);
  writer->writeValue(result);
  return finish(*writer, std::move(data), error);
}

std::optional<fnd::Data> FlutterStandardMethodCodec::encodeErrorEnvelope(
    const FlutterError& flutterError, fnd::Error* error) const {
  fnd::Data data;
  auto writer = readerWriter_->writerWithData(&data);
  writer->writeByte(1);
  writer->writeValue(flutterError.code());
  writer->writeValue(flutterError.message() ? fnd::Value(*flutterError.message()) : fnd::Value());
  writer->writeValue(flutterError.details());
  if (flutterError.stacktrace()) writer->writeValue(*flutterError.stacktrace());
  return finish(*writer, std::move(data), error);
}

std::optional<fnd::Value> FlutterStandardMethodCodec::decodeEnvelope(
    std::span<const uint8_t> envelope, fnd::Error* error) const {
  if (envelope.empty()) {
    fnd::SetError(error, codecError(kFlutterCodecBadEnvelope, "Empty envelope"));
    return std::nullopt;
  }
  auto reader = readerWriter_->readerWithData(envelope);
  uint8_t flag = reader->readByte();
  fnd::Value result;
  auto bad = [&](const std::string& what) {
    if (!reader->failed()) {
      reader->fail(codecError(kFlutterCodecBadEnvelope, "Invalid error envelope: " + what));
    }
  };
  if (flag == 0) {
    result = reader->readValue();
  } else if (flag == 1) {
    fnd::Value code = reader->readValue();
    if (!code.isString()) bad("the code is not a string");
    fnd::Value message = reader->readValue();
    if (!message.isNull() && !message.isString()) bad("the message is not a string");
    fnd::Value details = reader->readValue();
    fnd::Value stacktrace;
    if (reader->hasMore()) {
      stacktrace = reader->readValue();
      if (!stacktrace.isNull() && !stacktrace.isString()) bad("the stack trace is not a string");
    }
    if (!reader->failed()) {
      result = fnd::Value(std::make_shared<FlutterError>(
          code.asString(),
          message.isString() ? std::optional<std::string>(message.asString()) : std::nullopt,
          std::move(details),
          stacktrace.isString() ? std::optional<std::string>(stacktrace.asString())
                                : std::nullopt));
    }
  } else {
    reader->fail(
        codecError(kFlutterCodecBadEnvelope, "Unknown envelope flag " + std::to_string(flag)));
  }
  requireEnd(*reader);
  return finish(*reader, std::move(result), error);
}

}  // namespace flutter

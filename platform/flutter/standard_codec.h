// The standard message and method codecs, byte for byte the format that Flutter's engine and its
// Dart side use, with a reader and a writer that channel codecs subclass to carry records of their
// own under type bytes 128 and up.
//
// Format: each value is one type byte and a payload. Sizes take one byte below 254, else 254 and
// a uint16, else 255 and a uint32; numbers are little-endian; float64 values and typed lists are
// aligned to their element size, counted from the start of the message.
//
//   0 null   1 true   2 false   3 int32   4 int64   5 large integer (text of hex digits)
//   6 float64   7 string (size, UTF-8)   8 uint8 list   9 int32 list   10 int64 list
//   11 float64 list   12 list (size, values)   13 map (size, key and value pairs)
//   14 float32 list
//
// Values map to fnd::Value kinds one to one; an integer is written as int32 unless it was made as
// a 64-bit number (fnd::Value::isInt64), and int32 data reads back as a 32-bit integer. The reader
// reads type 5 as a string holding the digits, the way the platform reader does; the writer never
// writes it. Dates and records have no standard form: a subclass writes them or encoding fails.
//
// A subclass writes a record as its own type byte followed by the record's fields written as one
// ordinary value (usually their list), and reads it back by overriding readValueOfType; bytes and
// values it does not know go to the base class, which reads and writes every nested element
// through the overridden methods, so records nest at any depth.
//
// Readers and writers live for one message on one thread. Codecs are immutable and may be shared
// between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/flutter/codec.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace flutter {

// Type bytes of the standard format.
enum FlutterStandardField : uint8_t {
  kFlutterStandardFieldNil = 0,
  kFlutterStandardFieldTrue = 1,
  kFlutterStandardFieldFalse = 2,
  kFlutterStandardFieldInt32 = 3,
  kFlutterStandardFieldInt64 = 4,
  kFlutterStandardFieldIntHex = 5,
  kFlutterStandardFieldFloat64 = 6,
  kFlutterStandardFieldString = 7,
  kFlutterStandardFieldUInt8Data = 8,
  kFlutterStandardFieldInt32Data = 9,
  kFlutterStandardFieldInt64Data = 10,
  kFlutterStandardFieldFloat64Data = 11,
  kFlutterStandardFieldList = 12,
  kFlutterStandardFieldMap = 13,
  kFlutterStandardFieldFloat32Data = 14,
};

// Appends encoded values to a buffer. The first failure (an unsupported value, nesting too deep)
// is kept and makes the codec discard the buffer; writing goes on harmlessly after it.
class FlutterStandardWriter {
 public:
  // Appends to *data, which must outlive the writer. Alignment is counted from the start of
  // *data, so data must hold the message from its first byte.
  explicit FlutterStandardWriter(fnd::Data* data);
  virtual ~FlutterStandardWriter();

  FlutterStandardWriter(const FlutterStandardWriter&) = delete;
  FlutterStandardWriter& operator=(const FlutterStandardWriter&) = delete;

  void writeByte(uint8_t value);
  void writeBytes(const void* bytes, size_t length);
  void writeData(const fnd::Data& data);
  // A size in the variable-length form.
  void writeSize(uint32_t size);
  // Zero bytes up to the next multiple of alignment.
  void writeAlignment(uint8_t alignment);
  // A size followed by the UTF-8 bytes; text that is not well-formed UTF-8 fails the writer.
  void writeUTF8(std::string_view text);
  void writeInt32(int32_t value);
  void writeInt64(int64_t value);
  void writeFloat64(double value);  // Not aligned: callers align first where the format says so.

  // Writes value with its type byte. Subclasses override it to write their own records and pass
  // everything else on to this implementation.
  virtual void writeValue(const fnd::Value& value);

  bool failed() const { return failed_; }
  const fnd::Error& error() const { return error_; }
  // Records the first failure; later ones are dropped. Subclasses call it for values they refuse.
  void fail(fnd::Error error);

 private:
  // Constant after construction.
  fnd::Data* const data_;
  // Owned by the writer's thread.
  int depth_ = 0;      // Open lists and maps.
  int recursion_ = 0;  // Nested writeValue calls.
  bool failed_ = false;
  fnd::Error error_;
};

// Reads values out of a message. The first failure (truncated data, an unknown type byte, a bad
// string, nesting too deep, a size larger than the bytes left) is kept; from then on every read
// returns zero, an empty string or null without advancing, so that a reader can finish its work
// and check failed() once. No read allocates more than the bytes left in the message can fill.
class FlutterStandardReader {
 public:
  // Reads data, which must outlive the reader.
  explicit FlutterStandardReader(std::span<const uint8_t> data);
  virtual ~FlutterStandardReader();

  FlutterStandardReader(const FlutterStandardReader&) = delete;
  FlutterStandardReader& operator=(const FlutterStandardReader&) = delete;

  bool hasMore() const { return !failed_ && position_ < data_.size(); }
  size_t position() const { return position_; }
  size_t remaining() const { return data_.size() - position_; }

  uint8_t readByte() { return require(1) ? data_[position_++] : 0; }
  // Copies length bytes into destination; fails (and leaves destination zeroed) when fewer are
  // left.
  void readBytes(void* destination, size_t length);
  fnd::Data readData(size_t length);
  uint32_t readSize();
  // Skips to the next multiple of alignment.
  void readAlignment(uint8_t alignment);
  std::string readUTF8();
  // The same bytes in place, valid while the message is.
  std::string_view readUTF8View();
  int32_t readInt32();
  int64_t readInt64();
  double readFloat64();  // Not aligned: callers align first where the format says so.

  // Reads a type byte and the value it introduces.
  fnd::Value readValue();
  // Reads the value of a type byte already read. Subclasses override it for their own bytes and
  // pass every other byte to this implementation, which fails on bytes it does not know.
  virtual fnd::Value readValueOfType(uint8_t type);

  bool failed() const { return failed_; }
  const fnd::Error& error() const { return error_; }
  // Records the first failure; later ones are dropped. Subclasses call it for content they
  // refuse (code kFlutterCodecInvalidValue).
  void fail(fnd::Error error);
  // Fails with kFlutterCodecTruncated unless length bytes are left. Call it before reserving
  // room by a size read from the message.
  bool require(size_t length) {
    if (!failed_ && length <= data_.size() - position_) return true;
    return failRequire(length);
  }

 private:
  template <typename T>
  fnd::Value readTypedList();
  // A number of fixed size, copied with a constant length; zero when fewer bytes are left.
  template <typename T>
  T readFixed() {
    T value{};
    if (!require(sizeof value)) return value;
    std::memcpy(&value, data_.data() + position_, sizeof value);
    position_ += sizeof value;
    return value;
  }
  // Reads the type byte of the next value and counts it as open; -1 when no value can be read.
  int beginValue();
  fnd::Value readList();
  fnd::Value readMap();
  // Failures, kept out of the reading paths.
  [[gnu::cold, gnu::noinline]] void failAt(FlutterCodecErrorCode code, const char* what,
                                           size_t offset);
  [[gnu::cold, gnu::noinline]] void failInvalidUTF8();
  [[gnu::cold, gnu::noinline]] void failUnknownType(uint8_t type);
  // Counts a list or map being opened; fails when that is one too many.
  bool enterContainer();
  // The slow side of require(): records the truncation unless the reader failed already.
  bool failRequire(size_t length);

  // Constant after construction.
  const std::span<const uint8_t> data_;
  // Owned by the reader's thread.
  size_t position_ = 0;
  int depth_ = 0;      // Open lists and maps.
  int recursion_ = 0;  // Nested readValue calls.
  bool failed_ = false;
  fnd::Error error_;
};

// Makes the reader and writer of a codec; subclasses make their own subclasses of both.
class FlutterStandardReaderWriter {
 public:
  virtual ~FlutterStandardReaderWriter() = default;

  virtual std::unique_ptr<FlutterStandardWriter> writerWithData(fnd::Data* data) const;
  virtual std::unique_ptr<FlutterStandardReader> readerWithData(
      std::span<const uint8_t> data) const;
};

// The standard message codec: a message is one value. Null is the empty message.
class FlutterStandardMessageCodec : public FlutterMessageCodec {
 public:
  // Uses the standard reader and writer when readerWriter is null.
  explicit FlutterStandardMessageCodec(
      std::shared_ptr<const FlutterStandardReaderWriter> readerWriter = nullptr);

  // The codec with the standard reader and writer, made once.
  static std::shared_ptr<const FlutterStandardMessageCodec> sharedInstance();
  static std::shared_ptr<const FlutterStandardMessageCodec> codecWithReaderWriter(
      std::shared_ptr<const FlutterStandardReaderWriter> readerWriter);

  std::optional<fnd::Data> encode(const fnd::Value& message,
                                  fnd::Error* error = nullptr) const override;
  // Fails on trailing bytes after the value.
  std::optional<fnd::Value> decode(std::span<const uint8_t> message,
                                   fnd::Error* error = nullptr) const override;

  const FlutterStandardReaderWriter& readerWriter() const { return *readerWriter_; }

 private:
  const std::shared_ptr<const FlutterStandardReaderWriter> readerWriter_;
};

// The standard method codec. A method call is the method name (a string value) followed by the
// arguments value. A success envelope is the byte 0 and the result; an error envelope is the byte
// 1 and the values code (string), message (string or null) and details, and, when the error has
// one, its stack trace (string); envelopes from Dart may carry the stack trace or not.
class FlutterStandardMethodCodec : public FlutterMethodCodec {
 public:
  explicit FlutterStandardMethodCodec(
      std::shared_ptr<const FlutterStandardReaderWriter> readerWriter = nullptr);

  static std::shared_ptr<const FlutterStandardMethodCodec> sharedInstance();
  static std::shared_ptr<const FlutterStandardMethodCodec> codecWithReaderWriter(
      std::shared_ptr<const FlutterStandardReaderWriter> readerWriter);

  std::optional<fnd::Data> encodeMethodCall(const FlutterMethodCall& call,
                                            fnd::Error* error = nullptr) const override;
  std::optional<FlutterMethodCall> decodeMethodCall(std::span<const uint8_t> message,
                                                    fnd::Error* error = nullptr) const override;
  std::optional<fnd::Data> encodeSuccessEnvelope(const fnd::Value& result,
                                                 fnd::Error* error = nullptr) const override;
  std::optional<fnd::Data> encodeErrorEnvelope(const FlutterError& flutterError,
                                               fnd::Error* error = nullptr) const override;
  std::optional<fnd::Value> decodeEnvelope(std::span<const uint8_t> envelope,
                                           fnd::Error* error = nullptr) const override;

  const FlutterStandardReaderWriter& readerWriter() const { return *readerWriter_; }

 private:
  const std::shared_ptr<const FlutterStandardReaderWriter> readerWriter_;
};

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool FlutterIsValidUTF8(std::string_view text);

}  // namespace flutter

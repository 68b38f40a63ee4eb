// The scheme shared by every generated ("Pigeon") host interface: channel names, field access,
// reply envelopes, message records and the codec that carries them.
//
// A message record travels as its field list: one element per property in declaration order,
// null where a property is absent. A codec made by PigeonCodec() writes a record as its type byte
// followed by that list, and reads it back through the record's fromList. A host method answers
// with wrapResult(): [result] on success, [code, message, details] on error.
//
// Thread safety: functions are reentrant; codecs are immutable and may be shared.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/codec.h"
#include "platform/flutter/standard_codec.h"
#include "platform/foundation/value.h"

namespace zudiroru {

// The prefix of every generated channel name.
inline constexpr const char* kPigeonChannelPrefix = "dev.flutter.pigeon.";
// The prefix of every method and event channel name; "/" and the package name follow.
inline constexpr const char* kPluginChannelPrefix = "plugins.flutter.io";

// The channel of a generated host method: the prefix, then `name` ("package.Interface.method"),
// then "." and the suffix when the suffix is not empty.
std::string PigeonChannelName(std::string_view name, std::string_view suffix = {});

// A method or event channel: the plugin prefix, "/" and the package name.
std::string PluginChannelName(std::string_view package);

}  // namespace zudiroru

// Element `index` of a field or argument list, or null when that element is null. An index past
// the end, or a list that is not an array, reads as null too: a short list from Dart must not
// crash the host.
fnd::Value GetNullableObjectAtIndex(const fnd::Array& list, size_t index);
fnd::Value GetNullableObjectAtIndex(const fnd::Value& list, size_t index);

// The reply envelope of a host method: [result] (null when absent) when `error` is null, else
// [code, message, details] with null for each absent member.
fnd::Value wrapResult(const fnd::Value& result,
                      const std::shared_ptr<const flutter::FlutterError>& error);

namespace zudiroru {

// Base of generated message records. Two records are equal when they are of the same type and
// their field lists are equal; the hash follows the field list.
class PigeonMessage : public fnd::Record {
 public:
  virtual fnd::Array toList() const = 0;

  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  std::string description() const override;
};

// Typed reads of a list element; a null, missing or wrong-kind element reads as nullopt (and a
// missing boolean as NO where the caller uses value_or(false)).
std::optional<std::string> PigeonString(const fnd::Array& list, size_t index);
std::optional<bool> PigeonBool(const fnd::Array& list, size_t index);
std::optional<int64_t> PigeonInt(const fnd::Array& list, size_t index);
std::optional<double> PigeonDouble(const fnd::Array& list, size_t index);
std::optional<fnd::Dictionary> PigeonDictionary(const fnd::Array& list, size_t index);
std::optional<fnd::Array> PigeonArray(const fnd::Array& list, size_t index);
// An element that is a record of type T, else nullptr.
template <typename T>
std::shared_ptr<T> PigeonRecord(const fnd::Array& list, size_t index) {
  return GetNullableObjectAtIndex(list, index).recordAs<T>();
}

// The value of an optional property as it goes into a field list: null when absent.
template <typename T>
fnd::Value PigeonField(const std::optional<T>& v) {
  return v ? fnd::Value(*v) : fnd::Value();
}
template <typename T>
fnd::Value PigeonField(const std::shared_ptr<T>& record) {
  return record ? fnd::Value(std::shared_ptr<fnd::Record>(record)) : fnd::Value();
}

// One record type of a codec: its type byte, how to recognise it and how to rebuild it.
struct PigeonType {
  uint8_t type;
  std::function<bool(const fnd::Record&)> matches;
  // Rebuilds the record from its field list; nullptr rejects the list.
  std::function<std::shared_ptr<fnd::Record>(const fnd::Array&)> fromList;

  // The entry of a PigeonMessage subclass T with `static std::shared_ptr<T> fromList(const
  // fnd::Array&)`.
  template <typename T>
  static PigeonType of(uint8_t type) {
    return PigeonType{
        type, [](const fnd::Record& r) { return dynamic_cast<const T*>(&r) != nullptr; },
        [](const fnd::Array& list) -> std::shared_ptr<fnd::Record> { return T::fromList(list); }};
  }
};

// The failure of a read whose type byte names a record but whose value is no acceptable field
// list.
fnd::Error PigeonRecordError(uint8_t type);

// Reader and writer of the standard format that know a set of record types, over a base reader
// and writer (the standard ones, or those of a codec with values of its own such as Virelda's).
// A known type byte is followed by one value that must be a field list the record accepts (else
// the read fails with kFlutterCodecInvalidValue); every other byte and value goes to the base.
// The types vector outlives every reader and writer (the reader-writer below owns it).
template <typename BaseReader>
class PigeonReader : public BaseReader {
 public:
  PigeonReader(std::span<const uint8_t> data, const std::vector<PigeonType>& types)
      : BaseReader(data), types_(types) {}

  fnd::Value readValueOfType(uint8_t type) override {
    for (const PigeonType& t : types_) {
      if (t.type != type) continue;
      fnd::Value fields = this->readValue();
      if (this->failed()) return fnd::Value();
      const fnd::Array* list = fields.array();
      std::shared_ptr<fnd::Record> record = list ? t.fromList(*list) : nullptr;
      if (!record) {
        this->fail(PigeonRecordError(type));
        return fnd::Value();
      }
      return fnd::Value(std::move(record));
    }
    return BaseReader::readValueOfType(type);
  }

 private:
  const std::vector<PigeonType>& types_;
};

template <typename BaseWriter>
class PigeonWriter : public BaseWriter {
 public:
  PigeonWriter(fnd::Data* data, const std::vector<PigeonType>& types)
      : BaseWriter(data), types_(types) {}

  void writeValue(const fnd::Value& value) override {
    if (auto message = value.recordAs<PigeonMessage>()) {
      for (const PigeonType& t : types_) {
        if (t.matches(*message)) {
          this->writeByte(t.type);
          BaseWriter::writeValue(fnd::Value(message->toList()));
          return;
        }
      }
    }
    BaseWriter::writeValue(value);
  }

 private:
  const std::vector<PigeonType>& types_;
};

template <typename BaseReader = flutter::FlutterStandardReader,
          typename BaseWriter = flutter::FlutterStandardWriter>
class PigeonCodecReaderWriter : public flutter::FlutterStandardReaderWriter {
 public:
  explicit PigeonCodecReaderWriter(std::vector<PigeonType> types) : types_(std::move(types)) {}

  std::unique_ptr<flutter::FlutterStandardWriter> writerWithData(fnd::Data* data) const override {
    return std::make_unique<PigeonWriter<BaseWriter>>(data, types_);
  }
  std::unique_ptr<flutter::FlutterStandardReader> readerWithData(
      std::span<const uint8_t> data) const override {
    return std::make_unique<PigeonReader<BaseReader>>(data, types_);
  }

 private:
  const std::vector<PigeonType> types_;
};

// Installs `handler` on the basic message channel PigeonChannelName(name, suffix) with `codec`;
// a null handler clears the channel instead. What every generated set-up function does per method.
void SetUpPigeonChannel(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                        std::string_view name, std::string_view suffix,
                        std::shared_ptr<const flutter::FlutterMessageCodec> codec,
                        flutter::FlutterMessageHandler handler);

// A standard message codec over a PigeonCodecReaderWriter of these types. Every interface makes
// its codec once, with this.
template <typename BaseReader = flutter::FlutterStandardReader,
          typename BaseWriter = flutter::FlutterStandardWriter>
std::shared_ptr<const flutter::FlutterStandardMessageCodec> PigeonCodec(
    std::vector<PigeonType> types) {
  return flutter::FlutterStandardMessageCodec::codecWithReaderWriter(
      std::make_shared<PigeonCodecReaderWriter<BaseReader, BaseWriter>>(std::move(types)));
}

}  // namespace zudiroru

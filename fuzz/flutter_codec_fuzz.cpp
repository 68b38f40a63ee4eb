// Decodes arbitrary bytes as a standard message, a method call and a reply envelope, with the
// standard codec and with a codec that adds a record type; whatever decodes must encode again and
// decode to an equal value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "platform/flutter/standard_codec.h"

namespace {

// A record carried as type byte 130 followed by its fields (one value), as channel codecs do.
class Boxed : public fnd::Record {
 public:
  explicit Boxed(fnd::Value fields) : fields(std::move(fields)) {}
  std::string typeName() const override { return "Boxed"; }
  bool isEqual(const fnd::Record& other) const override {
    auto b = dynamic_cast<const Boxed*>(&other);
    return b && b->fields == fields;
  }
  size_t hash() const override { return fields.hash(); }
  const fnd::Value fields;
};

class BoxedWriter : public flutter::FlutterStandardWriter {
 public:
  using FlutterStandardWriter::FlutterStandardWriter;
  void writeValue(const fnd::Value& value) override {
    if (auto boxed = value.recordAs<Boxed>()) {
      writeByte(130);
      writeValue(boxed->fields);
    } else {
      FlutterStandardWriter::writeValue(value);
    }
  }
};

class BoxedReader : public flutter::FlutterStandardReader {
 public:
  using FlutterStandardReader::FlutterStandardReader;
  fnd::Value readValueOfType(uint8_t type) override {
    if (type != 130) return FlutterStandardReader::readValueOfType(type);
    fnd::Value fields = readValue();
    if (failed()) return {};
    return fnd::Value(std::make_shared<Boxed>(std::move(fields)));
  }
};

class BoxedReaderWriter : public flutter::FlutterStandardReaderWriter {
 public:
  std::unique_ptr<flutter::FlutterStandardWriter> writerWithData(fnd::Data* data) const override {
    return std::make_unique<BoxedWriter>(data);
  }
  std::unique_ptr<flutter::FlutterStandardReader> readerWithData(
      std::span<const uint8_t> data) const override {
    return std::make_unique<BoxedReader>(data);
  }
};

void check(bool condition) {
  if (!condition) std::abort();
}

void roundTripMessage(const flutter::FlutterMessageCodec& codec, std::span<const uint8_t> bytes) {
  auto value = codec.decode(bytes);
  if (!value) return;
  auto encoded = codec.encode(*value);
  check(encoded.has_value());
  auto again = codec.decode(*encoded);
  check(again.has_value() && *again == *value);
}

void roundTripMethod(const flutter::FlutterMethodCodec& codec, std::span<const uint8_t> bytes) {
  if (auto call = codec.decodeMethodCall(bytes)) {
    auto encoded = codec.encodeMethodCall(*call);
    check(encoded.has_value());
    auto again = codec.decodeMethodCall(*encoded);
    check(again.has_value() && *again == *call);
  }
  if (auto result = codec.decodeEnvelope(bytes)) {
    auto error = flutter::FlutterError::fromValue(*result);
    auto encoded = error ? codec.encodeErrorEnvelope(*error) : codec.encodeSuccessEnvelope(*result);
    check(encoded.has_value());
    auto again = codec.decodeEnvelope(*encoded);
    check(again.has_value() && *again == *result);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto boxed = std::make_shared<const BoxedReaderWriter>();
  static const flutter::FlutterStandardMessageCodec boxedMessages(boxed);
  static const flutter::FlutterStandardMethodCodec boxedMethods(boxed);
  std::span<const uint8_t> bytes(data, size);
  roundTripMessage(*flutter::FlutterStandardMessageCodec::sharedInstance(), bytes);
  roundTripMessage(boxedMessages, bytes);
  roundTripMethod(*flutter::FlutterStandardMethodCodec::sharedInstance(), bytes);
  roundTripMethod(boxedMethods, bytes);
  return 0;
}

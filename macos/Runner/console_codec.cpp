#include "macos/Runner/console_codec.h"

#include "macos/Runner/json_notation.h"

namespace runner {

namespace {

class TypedRecordWriter : public flutter::FlutterStandardWriter {
 public:
  using FlutterStandardWriter::FlutterStandardWriter;

  void writeValue(const fnd::Value& value) override {
    if (auto record = value.recordAs<TypedRecord>()) {
      writeByte(record->type());
      writeValue(record->fields());
      return;
    }
    FlutterStandardWriter::writeValue(value);
  }
};

class TypedRecordReader : public flutter::FlutterStandardReader {
 public:
  using FlutterStandardReader::FlutterStandardReader;

  fnd::Value readValueOfType(uint8_t type) override {
    if (type < 128) return FlutterStandardReader::readValueOfType(type);
    fnd::Value fields = readValue();
    if (failed()) return fnd::Value();
    return fnd::Value(std::make_shared<TypedRecord>(type, std::move(fields)));
  }
};

class TypedRecordReaderWriter : public flutter::FlutterStandardReaderWriter {
 public:
  std::unique_ptr<flutter::FlutterStandardWriter> writerWithData(fnd::Data* data) const override {
    return std::make_unique<TypedRecordWriter>(data);
  }
  std::unique_ptr<flutter::FlutterStandardReader> readerWithData(
      std::span<const uint8_t> data) const override {
    return std::make_unique<TypedRecordReader>(data);
  }
};

}  // namespace

std::shared_ptr<const flutter::FlutterStandardMessageCodec> ConsoleMessageCodec() {
  // Never destroyed: a late reply may be printed while the process exits.
  static const auto& codec = *new std::shared_ptr<const flutter::FlutterStandardMessageCodec>(
      flutter::FlutterStandardMessageCodec::codecWithReaderWriter(
          std::make_shared<TypedRecordReaderWriter>()));
  return codec;
}

std::shared_ptr<const flutter::FlutterStandardMethodCodec> ConsoleMethodCodec() {
  static const auto& codec = *new std::shared_ptr<const flutter::FlutterStandardMethodCodec>(
      flutter::FlutterStandardMethodCodec::codecWithReaderWriter(
          std::make_shared<TypedRecordReaderWriter>()));  // Never destroyed.
  return codec;
}

}  // namespace runner

#include "plugins/zudiroru_core/pigeon.h"

namespace zudiroru {

std::string PigeonChannelName(std::string_view name, std::string_view suffix) {
  std::string channel = kPigeonChannelPrefix;
  channel += name;
  if (!suffix.empty()) {
    channel += '.';
    channel += suffix;
  }
  return channel;
}

std::string PluginChannelName(std::string_view package) {
  std::string channel = kPluginChannelPrefix;
  channel += '/';
  channel += package;
  return channel;
}

}  // namespace zudiroru

fnd::Value GetNullableObjectAtIndex(const fnd::Array& list, size_t index) {
  if (index >= list.size()) return fnd::Value();
  return list[index];
}

fnd::Value GetNullableObjectAtIndex(const fnd::Value& list, size_t index) {
  const fnd::Array* array = list.array();
  return array ? GetNullableObjectAtIndex(*array, index) : fnd::Value();
}

fnd::Value wrapResult(const fnd::Value& result,
                      const std::shared_ptr<const flutter::FlutterError>& error) {
  if (!error) return fnd::Value(fnd::Array{result});
  return fnd::Value(fnd::Array{
      fnd::Value(error->code()),
      error->message() ? fnd::Value(*error->message()) : fnd::Value(),
      error->details(),
  });
}

namespace zudiroru {

bool PigeonMessage::isEqual(const fnd::Record& other) const {
  auto* o = dynamic_cast<const PigeonMessage*>(&other);
  return o && o->typeName() == typeName() && fnd::Value(o->toList()) == fnd::Value(toList());
}

size_t PigeonMessage::hash() const { return fnd::Value(toList()).hash(); }

std::string PigeonMessage::description() const {
  return "<" + typeName() + " " + fnd::Value(toList()).description() + ">";
}

std::optional<std::string> PigeonString(const fnd::Array& list, size_t index) {
  fnd::Value v = GetNullableObjectAtIndex(list, index);
  if (v.isString()) return v.asString();
  return std::nullopt;
}

std::optional<bool> PigeonBool(const fnd::Array& list, size_t index) {
  fnd::Value v = GetNullableObjectAtIndex(list, index);
  if (v.isBool() || v.isNumber()) return v.asBool();
  return std::nullopt;
}

std::optional<int64_t> PigeonInt(const fnd::Array& list, size_t index) {
  fnd::Value v = GetNullableObjectAtIndex(list, index);
  if (v.isNumber() || v.isBool()) return v.asInt();
  return std::nullopt;
}

std::optional<double> PigeonDouble(const fnd::Array& list, size_t index) {
  fnd::Value v = GetNullableObjectAtIndex(list, index);
  if (v.isNumber() || v.isBool()) return v.asDouble();
  return std::nullopt;
}

std::optional<fnd::Dictionary> PigeonDictionary(const fnd::Array& list, size_t index) {
  fnd::Value v = GetNullableObjectAtIndex(list, index);
  if (const fnd::Dictionary* d = v.dictionary()) return *d;
  return std::nullopt;
}

std::optional<fnd::Array> PigeonArray(const fnd::Array& list, size_t index) {
  fnd::Value v = GetNullableObjectAtIndex(list, index);
  if (const fnd::Array* a = v.array()) return *a;
  return std::nullopt;
}

fnd::Error PigeonRecordError(uint8_t type) {
  return fnd::Error::withDescription(
      flutter::kFlutterCodecErrorDomain, flutter::kFlutterCodecInvalidValue,
      "Record of type " + std::to_string(type) + " does not hold a valid field list.");
}

void SetUpPigeonChannel(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                        std::string_view name, std::string_view suffix,
                        std::shared_ptr<const flutter::FlutterMessageCodec> codec,
                        flutter::FlutterMessageHandler handler) {
  auto channel = flutter::FlutterBasicMessageChannel::messageChannelWithName(
      PigeonChannelName(name, suffix), messenger, std::move(codec));
  channel->setMessageHandler(std::move(handler));
}

}  // namespace zudiroru

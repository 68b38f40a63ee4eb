#include "platform/flutter/codec.h"

#include <utility>

namespace flutter {

namespace {

// A value that is equal only to itself.
class Marker : public fnd::Record {
 public:
  explicit Marker(std::string name) : name_(std::move(name)) {}
  std::string typeName() const override { return name_; }

 private:
  const std::string name_;
};

}  // namespace

FlutterError::FlutterError(std::string code, std::optional<std::string> message, fnd::Value details,
                           std::optional<std::string> stacktrace)
    : code_(std::move(code)),
      message_(std::move(message)),
      details_(std::move(details)),
      stacktrace_(std::move(stacktrace)) {}

fnd::Value FlutterError::errorWithCode(std::string code, std::optional<std::string> message,
                                       fnd::Value details) {
  return fnd::Value(
      std::make_shared<FlutterError>(std::move(code), std::move(message), std::move(details)));
}

std::shared_ptr<const FlutterError> FlutterError::fromValue(const fnd::Value& value) {
  return value.recordAs<FlutterError>();
}

bool FlutterError::isEqual(const fnd::Record& other) const {
  auto e = dynamic_cast<const FlutterError*>(&other);
  return e && code_ == e->code_ && message_ == e->message_ && details_ == e->details_ &&
         stacktrace_ == e->stacktrace_;
}

size_t FlutterError::hash() const {
  return std::hash<std::string>()(code_) ^ (details_.hash() << 1);
}

std::string FlutterError::description() const {
  std::string out = "FlutterError(" + fnd::Value(code_).description() + ", ";
  out += message_ ? fnd::Value(*message_).description() : "null";
  out += ", " + details_.description() + ")";
  return out;
}

const fnd::Value& FlutterMethodNotImplemented() {
  static const fnd::Value marker(std::make_shared<Marker>("FlutterMethodNotImplemented"));
  return marker;
}

const fnd::Value& FlutterEndOfEventStream() {
  static const fnd::Value marker(std::make_shared<Marker>("FlutterEndOfEventStream"));
  return marker;
}

}  // namespace flutter

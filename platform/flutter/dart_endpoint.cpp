#include "platform/flutter/dart_endpoint.h"

#include <utility>

#include "platform/flutter/channels.h"
#include "platform/flutter/engine_messenger.h"
#include "platform/flutter/standard_codec.h"

namespace flutter {

namespace {

std::shared_ptr<const FlutterMethodCodec> methodCodecOrStandard(
    std::shared_ptr<const FlutterMethodCodec> codec) {
  if (codec) return codec;
  return FlutterStandardMethodCodec::sharedInstance();
}

std::shared_ptr<const FlutterMessageCodec> messageCodecOrStandard(
    std::shared_ptr<const FlutterMessageCodec> codec) {
  if (codec) return codec;
  return FlutterStandardMessageCodec::sharedInstance();
}

fnd::Error notReceived() {
  return fnd::Error::withDescription(kFlutterCodecErrorDomain, kFlutterCodecTruncated,
                                     "No reply has arrived yet");
}

}  // namespace

// FlutterDartReply

bool FlutterDartReply::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

fnd::Data FlutterDartReply::data() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return data_;
}

void FlutterDartReply::fill(const fnd::Data& data) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_ = true;
  data_ = data;
}

std::optional<fnd::Value> FlutterDartReply::envelope(
    std::shared_ptr<const FlutterMethodCodec> codec, fnd::Error* error) const {
  if (!received()) {
    fnd::SetError(error, notReceived());
    return std::nullopt;
  }
  fnd::Data bytes = data();
  if (bytes.empty()) return FlutterMethodNotImplemented();
  return methodCodecOrStandard(std::move(codec))->decodeEnvelope(bytes, error);
}

std::optional<fnd::Value> FlutterDartReply::message(
    std::shared_ptr<const FlutterMessageCodec> codec, fnd::Error* error) const {
  if (!received()) {
    fnd::SetError(error, notReceived());
    return std::nullopt;
  }
  return messageCodecOrStandard(std::move(codec))->decode(data(), error);
}

// FlutterDartEndpoint

FlutterDartEndpoint::FlutterDartEndpoint(std::shared_ptr<FlutterEngineMessenger> messenger)
    : messenger_(std::move(messenger)), state_(std::make_shared<State>()) {
  messenger_->setDartReceiver(
      [state = state_](const std::string& channel, const fnd::Data& message,
                       FlutterBinaryReply reply) { receive(*state, channel, message, reply); });
}

FlutterDartEndpoint::~FlutterDartEndpoint() { messenger_->setDartReceiver(nullptr); }

std::shared_ptr<FlutterDartReply> FlutterDartEndpoint::send(const std::string& channel,
                                                            fnd::Data message,
                                                            FlutterBinaryReply callback) {
  auto reply = std::make_shared<FlutterDartReply>();
  messenger_->deliverFromDart(channel, std::move(message),
                              [reply, callback = std::move(callback)](const fnd::Data& data) {
                                reply->fill(data);
                                if (callback) callback(data);
                              });
  return reply;
}

std::shared_ptr<FlutterDartReply> FlutterDartEndpoint::sendMessage(
    const std::string& channel, const fnd::Value& message,
    std::shared_ptr<const FlutterMessageCodec> codec, fnd::Error* error) {
  auto data = messageCodecOrStandard(std::move(codec))->encode(message, error);
  if (!data) return nullptr;
  return send(channel, std::move(*data));
}

std::shared_ptr<FlutterDartReply> FlutterDartEndpoint::invokeMethod(
    const std::string& channel, const std::string& method, const fnd::Value& arguments,
    std::shared_ptr<const FlutterMethodCodec> codec, fnd::Error* error) {
  auto data = methodCodecOrStandard(std::move(codec))
                  ->encodeMethodCall(FlutterMethodCall(method, arguments), error);
  if (!data) return nullptr;
  return send(channel, std::move(*data));
}

std::shared_ptr<FlutterDartReply> FlutterDartEndpoint::listen(
    const std::string& channel, const fnd::Value& arguments,
    std::shared_ptr<const FlutterMethodCodec> codec, fnd::Error* error) {
  return invokeMethod(channel, "listen", arguments, std::move(codec), error);
}

std::shared_ptr<FlutterDartReply> FlutterDartEndpoint::cancel(
    const std::string& channel, const fnd::Value& arguments,
    std::shared_ptr<const FlutterMethodCodec> codec, fnd::Error* error) {
  return invokeMethod(channel, "cancel", arguments, std::move(codec), error);
}

void FlutterDartEndpoint::receive(State& state, const std::string& channel,
                                  const fnd::Data& message, FlutterBinaryReply reply) {
  std::shared_ptr<const MessageHandler> handler;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.messages.push_back(Message{channel, message});
    auto it = state.handlers.find(channel);
    handler = it != state.handlers.end() ? it->second : state.defaultHandler;
  }
  if (!handler) {
    reply({});
    return;
  }
  (*handler)(channel, message, std::move(reply));
}

std::vector<FlutterDartEndpoint::Message> FlutterDartEndpoint::messages() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->messages;
}

std::vector<FlutterDartEndpoint::Message> FlutterDartEndpoint::messagesOnChannel(
    const std::string& channel) const {
  std::vector<Message> out;
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const Message& m : state_->messages) {
    if (m.channel == channel) out.push_back(m);
  }
  return out;
}

size_t FlutterDartEndpoint::messageCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->messages.size();
}

void FlutterDartEndpoint::clearMessages() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->messages.clear();
}

std::vector<fnd::Value> FlutterDartEndpoint::events(
    const std::string& channel, std::shared_ptr<const FlutterMethodCodec> codec) const {
  codec = methodCodecOrStandard(std::move(codec));
  std::vector<fnd::Value> out;
  for (const Message& m : messagesOnChannel(channel)) {
    if (m.data.empty()) {
      out.push_back(FlutterEndOfEventStream());
      continue;
    }
    fnd::Error error;
    auto event = codec->decodeEnvelope(m.data, &error);
    out.push_back(
        event ? *event
              : FlutterError::errorWithCode(kFlutterDecodeErrorCode, error.localizedDescription()));
  }
  return out;
}

std::vector<FlutterMethodCall> FlutterDartEndpoint::methodCalls(
    const std::string& channel, std::shared_ptr<const FlutterMethodCodec> codec) const {
  codec = methodCodecOrStandard(std::move(codec));
  std::vector<FlutterMethodCall> out;
  for (const Message& m : messagesOnChannel(channel)) {
    if (auto call = codec->decodeMethodCall(m.data)) out.push_back(std::move(*call));
  }
  return out;
}

std::vector<fnd::Value> FlutterDartEndpoint::decodedMessages(
    const std::string& channel, std::shared_ptr<const FlutterMessageCodec> codec) const {
  codec = messageCodecOrStandard(std::move(codec));
  std::vector<fnd::Value> out;
  for (const Message& m : messagesOnChannel(channel)) {
    if (auto value = codec->decode(m.data)) out.push_back(std::move(*value));
  }
  return out;
}

void FlutterDartEndpoint::setMessageHandler(const std::string& channel, MessageHandler handler) {
  std::shared_ptr<const MessageHandler> removed;  // Released outside the lock.
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->handlers.find(channel);
  if (it != state_->handlers.end()) {
    removed = std::move(it->second);
    state_->handlers.erase(it);
  }
  if (handler) {
    state_->handlers.emplace(channel, std::make_shared<const MessageHandler>(std::move(handler)));
  }
}

void FlutterDartEndpoint::setMethodCallHandler(const std::string& channel,
                                               MethodCallHandler handler,
                                               std::shared_ptr<const FlutterMethodCodec> codec) {
  if (!handler) {
    setMessageHandler(channel, nullptr);
    return;
  }
  codec = methodCodecOrStandard(std::move(codec));
  setMessageHandler(
      channel, [codec, handler = std::move(handler)](const std::string&, const fnd::Data& message,
                                                     FlutterBinaryReply reply) {
        fnd::Error error;
        auto call = codec->decodeMethodCall(message, &error);
        if (!call) {
          auto envelope = codec->encodeErrorEnvelope(
              FlutterError(kFlutterDecodeErrorCode, error.localizedDescription(), fnd::Value()));
          reply(envelope ? *envelope : fnd::Data());
          return;
        }
        fnd::Value result = handler(*call);
        if (result == FlutterMethodNotImplemented()) {
          reply({});
          return;
        }
        std::optional<fnd::Data> envelope;
        if (auto flutterError = FlutterError::fromValue(result)) {
          envelope = codec->encodeErrorEnvelope(*flutterError, &error);
        } else {
          envelope = codec->encodeSuccessEnvelope(result, &error);
        }
        if (!envelope) {
          envelope = codec->encodeErrorEnvelope(
              FlutterError(kFlutterEncodeErrorCode, error.localizedDescription(), fnd::Value()));
        }
        reply(envelope ? *envelope : fnd::Data());
      });
}

void FlutterDartEndpoint::setDefaultMessageHandler(MessageHandler handler) {
  std::shared_ptr<const MessageHandler> installed;
  if (handler) installed = std::make_shared<const MessageHandler>(std::move(handler));
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::swap(state_->defaultHandler, installed);
}

}  // namespace flutter

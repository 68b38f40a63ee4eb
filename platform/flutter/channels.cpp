#include "platform/flutter/channels.h"

#include <atomic>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/flutter/log.h"
#include "platform/flutter/standard_codec.h"

namespace flutter {

namespace {

// The methods of the event-channel protocol.
constexpr const char* kListenMethod = "listen";
constexpr const char* kCancelMethod = "cancel";

std::shared_ptr<const FlutterMessageCodec> orStandard(
    std::shared_ptr<const FlutterMessageCodec> codec) {
  if (codec) return codec;
  return FlutterStandardMessageCodec::sharedInstance();
}

std::shared_ptr<const FlutterMethodCodec> orStandard(
    std::shared_ptr<const FlutterMethodCodec> codec) {
  if (codec) return codec;
  return FlutterStandardMethodCodec::sharedInstance();
}

// An error envelope; when the error itself cannot be encoded, one that says so; empty when not
// even that can be (a codec that refuses plain strings).
fnd::Data encodeError(const FlutterMethodCodec& codec, const FlutterError& flutterError,
                      const std::string& channel) {
  fnd::Error error;
  if (auto data = codec.encodeErrorEnvelope(flutterError, &error)) return *data;
  FlutterLog("failed to encode an error on channel \"" + channel +
             "\": " + error.localizedDescription());
  FlutterError fallback(kFlutterEncodeErrorCode, error.localizedDescription(), fnd::Value());
  if (auto data = codec.encodeErrorEnvelope(fallback)) return *data;
  return {};
}

// The envelope of a method-call result or an event.
fnd::Data encodeResult(const FlutterMethodCodec& codec, const fnd::Value& result,
                       const std::string& channel) {
  if (auto flutterError = FlutterError::fromValue(result)) {
    return encodeError(codec, *flutterError, channel);
  }
  fnd::Error error;
  if (auto data = codec.encodeSuccessEnvelope(result, &error)) return *data;
  FlutterLog("failed to encode a result on channel \"" + channel +
             "\": " + error.localizedDescription());
  return encodeError(
      codec, FlutterError(kFlutterEncodeErrorCode, error.localizedDescription(), fnd::Value()),
      channel);
}

}  // namespace

// FlutterBasicMessageChannel

FlutterBasicMessageChannel::FlutterBasicMessageChannel(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
    std::shared_ptr<const FlutterMessageCodec> codec)
    : name_(std::move(name)), messenger_(std::move(messenger)), codec_(orStandard(codec)) {}

std::shared_ptr<FlutterBasicMessageChannel> FlutterBasicMessageChannel::messageChannelWithName(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
    std::shared_ptr<const FlutterMessageCodec> codec) {
  return std::make_shared<FlutterBasicMessageChannel>(std::move(name), std::move(messenger),
                                                      std::move(codec));
}

void FlutterBasicMessageChannel::sendMessage(const fnd::Value& message, FlutterReply callback) {
  fnd::Error error;
  auto data = codec_->encode(message, &error);
  if (!data) {
    FlutterLog("failed to encode a message on channel \"" + name_ +
               "\": " + error.localizedDescription());
    if (callback) dispatch::Queue::main()->async([callback] { callback(fnd::Value()); });
    return;
  }
  if (!callback) {
    messenger_->sendOnChannel(name_, *data);
    return;
  }
  messenger_->sendOnChannel(name_, *data,
                            [codec = codec_, callback, name = name_](const fnd::Data& reply) {
                              fnd::Error error;
                              auto value = codec->decode(reply, &error);
                              if (!value) {
                                FlutterLog("malformed reply on channel \"" + name +
                                           "\": " + error.localizedDescription());
                                callback(fnd::Value());
                                return;
                              }
                              callback(*value);
                            });
}

void FlutterBasicMessageChannel::setMessageHandler(FlutterMessageHandler handler) {
  if (!handler) {
    messenger_->setMessageHandlerOnChannel(name_, nullptr);
    return;
  }
  messenger_->setMessageHandlerOnChannel(
      name_, [codec = codec_, handler = std::move(handler), name = name_](
                 const fnd::Data& message, FlutterBinaryReply reply) {
        fnd::Error error;
        auto value = codec->decode(message, &error);
        if (!value) {
          FlutterLog("malformed message on channel \"" + name +
                     "\" answered with no reply: " + error.localizedDescription());
          reply({});
          return;
        }
        handler(*value, [codec, reply, name](const fnd::Value& answer) {
          fnd::Error error;
          auto data = codec->encode(answer, &error);
          if (!data) {
            FlutterLog("failed to encode a reply on channel \"" + name +
                       "\": " + error.localizedDescription());
            reply({});
            return;
          }
          reply(*data);
        });
      });
}

// FlutterMethodChannel

FlutterMethodChannel::FlutterMethodChannel(std::string name,
                                           std::shared_ptr<FlutterBinaryMessenger> messenger,
                                           std::shared_ptr<const FlutterMethodCodec> codec)
    : name_(std::move(name)), messenger_(std::move(messenger)), codec_(orStandard(codec)) {}

std::shared_ptr<FlutterMethodChannel> FlutterMethodChannel::methodChannelWithName(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
    std::shared_ptr<const FlutterMethodCodec> codec) {
  return std::make_shared<FlutterMethodChannel>(std::move(name), std::move(messenger),
                                                std::move(codec));
}

void FlutterMethodChannel::invokeMethod(const std::string& method, const fnd::Value& arguments,
                                        FlutterResult callback) {
  fnd::Error error;
  auto message = codec_->encodeMethodCall(FlutterMethodCall(method, arguments), &error);
  if (!message) {
    std::string description = error.localizedDescription();
    FlutterLog("failed to encode a call of \"" + method + "\" on channel \"" + name_ +
               "\": " + description);
    if (callback) {
      dispatch::Queue::main()->async([callback, description] {
        callback(FlutterError::errorWithCode(kFlutterEncodeErrorCode, description));
      });
    }
    return;
  }
  if (!callback) {
    messenger_->sendOnChannel(name_, *message);
    return;
  }
  messenger_->sendOnChannel(
      name_, *message, [codec = codec_, callback, name = name_](const fnd::Data& reply) {
        if (reply.empty()) {
          callback(FlutterMethodNotImplemented());
          return;
        }
        fnd::Error error;
        auto result = codec->decodeEnvelope(reply, &error);
        if (!result) {
          FlutterLog("malformed reply on channel \"" + name +
                     "\": " + error.localizedDescription());
          callback(
              FlutterError::errorWithCode(kFlutterDecodeErrorCode, error.localizedDescription()));
          return;
        }
        callback(*result);
      });
}

void FlutterMethodChannel::setMethodCallHandler(FlutterMethodCallHandler handler) {
  if (!handler) {
    messenger_->setMessageHandlerOnChannel(name_, nullptr);
    return;
  }
  messenger_->setMessageHandlerOnChannel(name_, [codec = codec_, handler = std::move(handler),
                                                 name = name_](const fnd::Data& message,
                                                               FlutterBinaryReply reply) {
    fnd::Error error;
    auto call = codec->decodeMethodCall(message, &error);
    if (!call) {
      FlutterLog("malformed method call on channel \"" + name +
                 "\": " + error.localizedDescription());
      reply(encodeError(
          *codec, FlutterError(kFlutterDecodeErrorCode, error.localizedDescription(), fnd::Value()),
          name));
      return;
    }
    handler(*call, [codec, reply, name](const fnd::Value& result) {
      if (result == FlutterMethodNotImplemented()) {
        reply({});
        return;
      }
      reply(encodeResult(*codec, result, name));
    });
  });
}

// FlutterEventChannel

struct FlutterEventChannel::StreamState {
  explicit StreamState(std::shared_ptr<FlutterStreamHandler> handler)
      : handler(std::move(handler)) {}

  // Constant after construction.
  const std::shared_ptr<FlutterStreamHandler> handler;
  // Bumped by every listen and cancel, and set to 0 when the handler is replaced: a sink sends
  // only while the generation it was made in is current.
  std::atomic<uint64_t> generation{1};
  // Main queue only.
  bool active = false;

  // Moves to the next generation (stored in *current when non-null); false once retired.
  bool advance(uint64_t* current) {
    uint64_t g = generation.load();
    do {
      if (g == 0) return false;
    } while (!generation.compare_exchange_weak(g, g + 1));
    if (current) *current = g + 1;
    return true;
  }
};

FlutterEventChannel::FlutterEventChannel(std::string name,
                                         std::shared_ptr<FlutterBinaryMessenger> messenger,
                                         std::shared_ptr<const FlutterMethodCodec> codec)
    : name_(std::move(name)), messenger_(std::move(messenger)), codec_(orStandard(codec)) {}

std::shared_ptr<FlutterEventChannel> FlutterEventChannel::eventChannelWithName(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
    std::shared_ptr<const FlutterMethodCodec> codec) {
  return std::make_shared<FlutterEventChannel>(std::move(name), std::move(messenger),
                                               std::move(codec));
}

void FlutterEventChannel::setStreamHandler(std::shared_ptr<FlutterStreamHandler> handler) {
  std::shared_ptr<StreamState> state;
  if (handler) state = std::make_shared<StreamState>(std::move(handler));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_) state_->generation.store(0);
    state_ = state;
  }
  if (!state) {
    messenger_->setMessageHandlerOnChannel(name_, nullptr);
    return;
  }
  // The messenger keeps what the handler captures; the sinks keep the messenger weakly, so that
  // a sink held by a stream handler does not keep the messenger alive in a cycle.
  std::weak_ptr<FlutterBinaryMessenger> weakMessenger = messenger_;
  messenger_->setMessageHandlerOnChannel(name_, [state, codec = codec_, name = name_,
                                                 weakMessenger](const fnd::Data& message,
                                                                FlutterBinaryReply reply) {
    fnd::Error error;
    auto call = codec->decodeMethodCall(message, &error);
    if (!call) {
      FlutterLog("malformed stream request on channel \"" + name +
                 "\": " + error.localizedDescription());
      reply(encodeError(
          *codec, FlutterError(kFlutterDecodeErrorCode, error.localizedDescription(), fnd::Value()),
          name));
      return;
    }
    if (call->method() == kListenMethod) {
      if (state->active) {
        if (auto cancelError = state->handler->onCancelWithArguments(fnd::Value())) {
          FlutterLog("failed to cancel the existing stream on channel \"" + name +
                     "\": " + cancelError->description());
        }
      }
      uint64_t generation = 0;
      if (!state->advance(&generation)) return reply({});
      state->active = true;
      // The stream handler keeps the sink and the state keeps the handler: the sink keeps the
      // state weakly so that the three do not keep each other alive.
      std::weak_ptr<StreamState> weakState = state;
      FlutterEventSink sink = [weakState, generation, codec, name,
                               weakMessenger](const fnd::Value& event) {
        auto current = weakState.lock();
        if (!current || current->generation.load() != generation) return;
        auto messenger = weakMessenger.lock();
        if (!messenger) return;
        if (event == FlutterEndOfEventStream()) {
          messenger->sendOnChannel(name, fnd::Data());
        } else {
          messenger->sendOnChannel(name, encodeResult(*codec, event, name));
        }
      };
      auto listenError = state->handler->onListenWithArguments(call->arguments(), sink);
      reply(listenError ? encodeError(*codec, *listenError, name)
                        : encodeResult(*codec, fnd::Value(), name));
    } else if (call->method() == kCancelMethod) {
      if (!state->active) {
        reply(encodeError(*codec, FlutterError("error", "No active stream to cancel", fnd::Value()),
                          name));
        return;
      }
      state->active = false;
      state->advance(nullptr);
      auto cancelError = state->handler->onCancelWithArguments(call->arguments());
      reply(cancelError ? encodeError(*codec, *cancelError, name)
                        : encodeResult(*codec, fnd::Value(), name));
    } else {
      reply({});
    }
  });
}

}  // namespace flutter

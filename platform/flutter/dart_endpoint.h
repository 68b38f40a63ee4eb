// The Dart side of a FlutterEngine, played by a test or the console: it sends the host real
// encoded channel messages, exactly as the Flutter engine would, and keeps everything the host
// sends to Dart (method calls into Dart, stream events, basic messages) in arrival order.
//
// Messages from the host are answered by the handler installed for their channel, else by the
// default handler, else with the empty reply (what Dart does on a channel it does not listen on).
//
// Nothing here waits: the host handles Dart's messages on the main queue, so a test sends, then
// drains the main run loop (dispatch::RunLoop::main().runUntilIdle(), or runUntil() when other
// threads answer), then looks at the replies.
//
// Thread safety: every method may be called from any thread. Dart-side handlers and reply
// callbacks run on the thread on which the host sends or replies, after the message has been
// recorded, outside any lock of the endpoint.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/codec.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace flutter {

class FlutterEngineMessenger;

// The host's answer to one message sent by Dart, filled in when the host replies.
class FlutterDartReply {
 public:
  FlutterDartReply() = default;
  FlutterDartReply(const FlutterDartReply&) = delete;
  FlutterDartReply& operator=(const FlutterDartReply&) = delete;

  bool received() const;
  // The reply's bytes; empty until received, and for the empty reply.
  fnd::Data data() const;

  // The reply read as a method-call envelope: the result, a FlutterError value, or
  // FlutterMethodNotImplemented() for the empty reply. nullopt (with *error set) before the reply
  // arrives or when it is malformed. The standard method codec when codec is null.
  std::optional<fnd::Value> envelope(std::shared_ptr<const FlutterMethodCodec> codec = nullptr,
                                     fnd::Error* error = nullptr) const;
  // The reply read as a basic message (null for the empty reply); nullopt as above.
  std::optional<fnd::Value> message(std::shared_ptr<const FlutterMessageCodec> codec = nullptr,
                                    fnd::Error* error = nullptr) const;

 private:
  friend class FlutterDartEndpoint;
  void fill(const fnd::Data& data);

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  bool received_ = false;
  fnd::Data data_;
};

class FlutterDartEndpoint {
 public:
  // One message from the host to Dart.
  struct Message {
    std::string channel;
    fnd::Data data;  // Empty for the empty message (the end of a stream).
  };

  // Answers a message from the host; reply may be kept and called later, from any thread.
  using MessageHandler = std::function<void(const std::string& channel, const fnd::Data& message,
                                            FlutterBinaryReply reply)>;
  // Answers a method call from the host with a result, a FlutterError value or
  // FlutterMethodNotImplemented().
  using MethodCallHandler = std::function<fnd::Value(const FlutterMethodCall& call)>;

  // Attaches itself to messenger as its Dart side; the destructor detaches it.
  explicit FlutterDartEndpoint(std::shared_ptr<FlutterEngineMessenger> messenger);
  ~FlutterDartEndpoint();

  FlutterDartEndpoint(const FlutterDartEndpoint&) = delete;
  FlutterDartEndpoint& operator=(const FlutterDartEndpoint&) = delete;

  // Dart to host. Each returns the reply to come; callback, when given, is called with its bytes
  // on the thread that replies. Encoding helpers return null (with *error set) when the value
  // cannot be encoded; nothing is sent then. Codecs default to the standard ones.
  std::shared_ptr<FlutterDartReply> send(const std::string& channel, fnd::Data message,
                                         FlutterBinaryReply callback = nullptr);
  std::shared_ptr<FlutterDartReply> sendMessage(
      const std::string& channel, const fnd::Value& message,
      std::shared_ptr<const FlutterMessageCodec> codec = nullptr, fnd::Error* error = nullptr);
  std::shared_ptr<FlutterDartReply> invokeMethod(
      const std::string& channel, const std::string& method, const fnd::Value& arguments,
      std::shared_ptr<const FlutterMethodCodec> codec = nullptr, fnd::Error* error = nullptr);
  // Starts and stops listening on an event channel: the calls "listen" and "cancel".
  std::shared_ptr<FlutterDartReply> listen(
      const std::string& channel, const fnd::Value& arguments = {},
      std::shared_ptr<const FlutterMethodCodec> codec = nullptr, fnd::Error* error = nullptr);
  std::shared_ptr<FlutterDartReply> cancel(
      const std::string& channel, const fnd::Value& arguments = {},
      std::shared_ptr<const FlutterMethodCodec> codec = nullptr, fnd::Error* error = nullptr);

  // Host to Dart, as recorded.
  std::vector<Message> messages() const;
  std::vector<Message> messagesOnChannel(const std::string& channel) const;
  size_t messageCount() const;
  void clearMessages();

  // The messages on an event channel read as stream events: each is an event value, a
  // FlutterError value (an error event, or kFlutterDecodeErrorCode for a malformed message), or
  // FlutterEndOfEventStream() for the empty message.
  std::vector<fnd::Value> events(const std::string& channel,
                                 std::shared_ptr<const FlutterMethodCodec> codec = nullptr) const;
  // The messages on a method channel read as method calls; malformed ones are skipped.
  std::vector<FlutterMethodCall> methodCalls(
      const std::string& channel, std::shared_ptr<const FlutterMethodCodec> codec = nullptr) const;
  // The messages on a basic message channel read as values; malformed ones are skipped.
  std::vector<fnd::Value> decodedMessages(
      const std::string& channel, std::shared_ptr<const FlutterMessageCodec> codec = nullptr) const;

  // Installs how Dart answers messages on channel; null removes it.
  void setMessageHandler(const std::string& channel, MessageHandler handler);
  // Answers method calls on channel by encoding what handler returns.
  void setMethodCallHandler(const std::string& channel, MethodCallHandler handler,
                            std::shared_ptr<const FlutterMethodCodec> codec = nullptr);
  // Answers messages on channels without a handler of their own; null restores the empty reply.
  void setDefaultMessageHandler(MessageHandler handler);

 private:
  // What the messenger reaches on the host's behalf; it may outlive the endpoint briefly.
  struct State {
    std::mutex mutex;
    // Guarded by mutex.
    std::vector<Message> messages;
    std::unordered_map<std::string, std::shared_ptr<const MessageHandler>> handlers;
    std::shared_ptr<const MessageHandler> defaultHandler;
  };
  static void receive(State& state, const std::string& channel, const fnd::Data& message,
                      FlutterBinaryReply reply);

  // Constant after construction.
  const std::shared_ptr<FlutterEngineMessenger> messenger_;
  const std::shared_ptr<State> state_;
};

}  // namespace flutter

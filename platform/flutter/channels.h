// Named channels over a binary messenger, each with a codec: basic message channels (one value
// each way), method channels (method calls answered by result envelopes) and event channels
// (a stream that Dart starts with "listen" and stops with "cancel").
//
// A channel object only names the channel and installs handlers on the messenger; the messenger
// keeps the handlers, so dropping a channel object does not stop its handler. Handlers and reply
// callbacks run on the main queue. Replies, results and event sinks may be called from any
// thread; what they send reaches Dart in the order of the calls.
//
// Malformed input never reaches a handler: a method call that does not decode is answered with
// an error envelope whose code is kFlutterDecodeErrorCode, a basic message that does not decode
// with the empty reply; either is logged. A result, reply or event that cannot be encoded is
// logged and sent as an error envelope with code kFlutterEncodeErrorCode where the channel has
// envelopes, and as the empty reply where it does not.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/codec.h"
#include "platform/foundation/value.h"

namespace flutter {

// The code of the error answer for a message that could not be decoded.
inline constexpr const char* kFlutterDecodeErrorCode = "decode-error";
// The code of the error answer for a result or event that could not be encoded.
inline constexpr const char* kFlutterEncodeErrorCode = "encode-error";

// The answer to a basic message: called once with the reply value (null for none).
using FlutterReply = std::function<void(const fnd::Value& reply)>;
using FlutterMessageHandler = std::function<void(const fnd::Value& message, FlutterReply callback)>;

class FlutterBasicMessageChannel {
 public:
  // Uses the standard message codec when codec is null.
  FlutterBasicMessageChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
                             std::shared_ptr<const FlutterMessageCodec> codec = nullptr);
  static std::shared_ptr<FlutterBasicMessageChannel> messageChannelWithName(
      std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
      std::shared_ptr<const FlutterMessageCodec> codec = nullptr);

  const std::string& name() const { return name_; }

  // Sends message to Dart. callback, when given, gets Dart's reply (null when Dart has no handler
  // or the message could not be encoded).
  void sendMessage(const fnd::Value& message, FlutterReply callback = nullptr);

  // Installs the handler of messages from Dart; a null handler removes it.
  void setMessageHandler(FlutterMessageHandler handler);

 private:
  // Constant after construction.
  const std::string name_;
  const std::shared_ptr<FlutterBinaryMessenger> messenger_;
  const std::shared_ptr<const FlutterMessageCodec> codec_;
};

// Handles one method call from Dart. result takes the result value, a FlutterError value, or
// FlutterMethodNotImplemented() (sent as the empty reply, which Dart reads as "not implemented").
using FlutterMethodCallHandler =
    std::function<void(const FlutterMethodCall& call, FlutterResult result)>;

class FlutterMethodChannel {
 public:
  // Uses the standard method codec when codec is null.
  FlutterMethodChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
                       std::shared_ptr<const FlutterMethodCodec> codec = nullptr);
  static std::shared_ptr<FlutterMethodChannel> methodChannelWithName(
      std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
      std::shared_ptr<const FlutterMethodCodec> codec = nullptr);

  const std::string& name() const { return name_; }

  // Calls a Dart method. callback, when given, gets the result, a FlutterError value (Dart's
  // error, or kFlutterDecodeErrorCode / kFlutterEncodeErrorCode when the call or its answer is
  // malformed), or FlutterMethodNotImplemented() when Dart does not handle the call.
  void invokeMethod(const std::string& method, const fnd::Value& arguments,
                    FlutterResult callback = nullptr);

  // Installs the handler of calls from Dart; a null handler removes it (Dart's calls then read
  // "not implemented").
  void setMethodCallHandler(FlutterMethodCallHandler handler);

 private:
  // Constant after construction.
  const std::string name_;
  const std::shared_ptr<FlutterBinaryMessenger> messenger_;
  const std::shared_ptr<const FlutterMethodCodec> codec_;
};

// Sends one event to the Dart listener: a value, a FlutterError value (an error event), or
// FlutterEndOfEventStream(). May be called from any thread. A sink of a stream that has since been
// cancelled or listened to again sends nothing.
using FlutterEventSink = std::function<void(const fnd::Value& event)>;

// Starts and stops the stream of an event channel. Both run on the main queue.
class FlutterStreamHandler {
 public:
  virtual ~FlutterStreamHandler() = default;

  // Dart started listening; keep events to send into the stream. Returns null on success.
  virtual std::shared_ptr<FlutterError> onListenWithArguments(const fnd::Value& arguments,
                                                              FlutterEventSink events) = 0;
  // Dart stopped listening (or is listening anew). Returns null on success.
  virtual std::shared_ptr<FlutterError> onCancelWithArguments(const fnd::Value& arguments) = 0;
};

// The host half of a Dart event channel. Dart sends the method calls "listen" and "cancel" with
// their arguments, answered with a success envelope (null) or the stream handler's error
// envelope; a "cancel" without an active stream answers the error "error" / "No active stream to
// cancel"; any other method answers the empty reply. A "listen" while a stream is active cancels
// it first. Events go to Dart as success envelopes, error events as error envelopes, and the end
// of the stream as the empty message.
class FlutterEventChannel {
 public:
  // Uses the standard method codec when codec is null.
  FlutterEventChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
                      std::shared_ptr<const FlutterMethodCodec> codec = nullptr);
  static std::shared_ptr<FlutterEventChannel> eventChannelWithName(
      std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
      std::shared_ptr<const FlutterMethodCodec> codec = nullptr);

  const std::string& name() const { return name_; }

  // Installs the stream handler, kept until replaced; null removes it. A stream active at that
  // moment is not cancelled, but its sink sends nothing more.
  void setStreamHandler(std::shared_ptr<FlutterStreamHandler> handler);

  // The listen / cancel state of one installed stream handler.
  struct StreamState;

 private:
  // Constant after construction.
  const std::string name_;
  const std::shared_ptr<FlutterBinaryMessenger> messenger_;
  const std::shared_ptr<const FlutterMethodCodec> codec_;
  // Guarded by mutex_: the state of the handler installed last, retired when it is replaced.
  std::mutex mutex_;
  std::shared_ptr<StreamState> state_;
};

}  // namespace flutter

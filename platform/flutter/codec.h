// What travels on a Flutter channel besides plain values: the method call, the error a call or a
// stream can answer with, the two marker values, and the codec interfaces that turn values into
// channel bytes and back.
//
// All types here are immutable values or stateless objects and may be used from any thread.
//
// An empty fnd::Data on a channel stands for "no message": a message codec encodes the null value
// as empty data and decodes empty data as null; an empty reply to a method call means that nobody
// implements the method.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace flutter {

// An error answer of a method call or an error event of a stream. It is a record so that it can
// travel wherever a result value travels: a FlutterResult receives either a plain value or a value
// holding a FlutterError (test with `FlutterError::fromValue`).
class FlutterError : public fnd::Record {
 public:
  FlutterError(std::string code, std::optional<std::string> message, fnd::Value details,
               std::optional<std::string> stacktrace = std::nullopt);

  // A value holding a new error.
  static fnd::Value errorWithCode(std::string code, std::optional<std::string> message = {},
                                  fnd::Value details = {});
  // The error held by value, or nullptr when value holds no FlutterError.
  static std::shared_ptr<const FlutterError> fromValue(const fnd::Value& value);

  const std::string& code() const { return code_; }
  const std::optional<std::string>& message() const { return message_; }
  const fnd::Value& details() const { return details_; }
  // Only errors decoded from an envelope that carried one (newer engines append it) have it.
  const std::optional<std::string>& stacktrace() const { return stacktrace_; }

  std::string typeName() const override { return "FlutterError"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  const std::string code_;
  const std::optional<std::string> message_;
  const fnd::Value details_;
  const std::optional<std::string> stacktrace_;
};

// The result a method-call handler gives for a method it does not know. The channel turns it into
// the empty reply that Dart reads as "not implemented"; a call from the host into Dart that nobody
// answers completes with it. Compare with ==.
const fnd::Value& FlutterMethodNotImplemented();

// The event that ends a stream: an event sink given it sends Dart the end-of-stream message.
// Compare with ==.
const fnd::Value& FlutterEndOfEventStream();

// The callback of a method call: called once with the result, a FlutterError value or
// FlutterMethodNotImplemented().
using FlutterResult = std::function<void(const fnd::Value& result)>;

// A call of a named method with arguments (any value, null when there are none).
class FlutterMethodCall {
 public:
  FlutterMethodCall(std::string method, fnd::Value arguments)
      : method_(std::move(method)), arguments_(std::move(arguments)) {}
  static FlutterMethodCall methodCallWithMethodName(std::string method, fnd::Value arguments) {
    return FlutterMethodCall(std::move(method), std::move(arguments));
  }

  const std::string& method() const { return method_; }
  const fnd::Value& arguments() const { return arguments_; }

  bool operator==(const FlutterMethodCall& other) const = default;

 private:
  std::string method_;
  fnd::Value arguments_;
};

// Errors of the codecs and channels are in this domain.
inline constexpr const char* kFlutterCodecErrorDomain = "FlutterCodecErrorDomain";

enum FlutterCodecErrorCode : int64_t {
  kFlutterCodecTruncated = 1,         // The data ends inside a value.
  kFlutterCodecUnknownType = 2,       // A type byte that no reader knows.
  kFlutterCodecTrailingBytes = 3,     // Bytes left over after the message.
  kFlutterCodecTooDeep = 4,           // Nesting past kFlutterCodecMaxDepth or ...MaxRecursion.
  kFlutterCodecInvalidUTF8 = 5,       // A string that is not well-formed UTF-8.
  kFlutterCodecUnsupportedValue = 6,  // A value the format cannot carry (encoding only).
  kFlutterCodecBadEnvelope = 7,       // A reply envelope of the wrong shape.
  kFlutterCodecBadMethodCall = 8,     // A method call of the wrong shape.
  kFlutterCodecInvalidValue = 9,      // A custom reader rejected what it read.
};

// How deeply lists and maps may nest (a list inside a list is depth 2). Deeper messages are
// rejected by the reader and by the writer alike, so that whatever is written can be read back.
// The reader also stops any chain of nested values (custom records included) longer than
// kFlutterCodecMaxRecursion, so that no input can exhaust the stack.
inline constexpr int kFlutterCodecMaxDepth = 128;
inline constexpr int kFlutterCodecMaxRecursion = 8 * kFlutterCodecMaxDepth;

// Turns single values into channel bytes and back (the codec of a basic message channel).
class FlutterMessageCodec {
 public:
  virtual ~FlutterMessageCodec() = default;

  // The bytes of message, or nullopt with *error set when the value cannot be encoded.
  virtual std::optional<fnd::Data> encode(const fnd::Value& message,
                                          fnd::Error* error = nullptr) const = 0;
  // The value of the bytes, or nullopt with *error set when they are malformed.
  virtual std::optional<fnd::Value> decode(std::span<const uint8_t> message,
                                           fnd::Error* error = nullptr) const = 0;
};

// Turns method calls and their reply envelopes into channel bytes and back (the codec of method
// and event channels).
class FlutterMethodCodec {
 public:
  virtual ~FlutterMethodCodec() = default;

  virtual std::optional<fnd::Data> encodeMethodCall(const FlutterMethodCall& call,
                                                    fnd::Error* error = nullptr) const = 0;
  virtual std::optional<FlutterMethodCall> decodeMethodCall(std::span<const uint8_t> message,
                                                            fnd::Error* error = nullptr) const = 0;
  virtual std::optional<fnd::Data> encodeSuccessEnvelope(const fnd::Value& result,
                                                         fnd::Error* error = nullptr) const = 0;
  virtual std::optional<fnd::Data> encodeErrorEnvelope(const FlutterError& flutterError,
                                                       fnd::Error* error = nullptr) const = 0;
  // The result of a success envelope, or a value holding the FlutterError of an error envelope;
  // nullopt with *error set when the envelope is malformed (an empty one included).
  virtual std::optional<fnd::Value> decodeEnvelope(std::span<const uint8_t> envelope,
                                                   fnd::Error* error = nullptr) const = 0;
};

}  // namespace flutter

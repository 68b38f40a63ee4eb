// The byte-level link between the host and Dart: named channels carrying opaque messages, each
// message answered by at most one reply. Channels (channels.h) put codecs on top of it.
//
// An empty fnd::Data stands for "no message" both ways: a message handler that has nothing to
// say replies with empty data, and a channel without a handler answers every message that way.
//
// Thread safety: every method may be called from any thread. Message handlers and the reply
// callbacks of sendOnChannel run on the main queue.
#pragma once

#include <functional>
#include <string>

#include "platform/foundation/value.h"

namespace flutter {

// Answers one message. Call it once; later calls are ignored (and logged). It may be called from
// any thread, and at any later time; a handler that never calls it leaves the sender waiting.
using FlutterBinaryReply = std::function<void(const fnd::Data& reply)>;

// Receives one message and the means to answer it.
using FlutterBinaryMessageHandler =
    std::function<void(const fnd::Data& message, FlutterBinaryReply reply)>;

class FlutterBinaryMessenger {
 public:
  virtual ~FlutterBinaryMessenger() = default;

  // Sends a message to Dart on channel without waiting for an answer.
  virtual void sendOnChannel(const std::string& channel, const fnd::Data& message) = 0;

  // Sends a message to Dart on channel; callback (when non-null) gets Dart's reply on the main
  // queue, empty when no Dart handler listens on the channel.
  virtual void sendOnChannel(const std::string& channel, const fnd::Data& message,
                             FlutterBinaryReply callback) = 0;

  // Installs the handler of messages from Dart on channel, replacing any earlier one; a null
  // handler removes it. Messages not yet handled go to whichever handler is installed when their
  // turn comes on the main queue.
  virtual void setMessageHandlerOnChannel(const std::string& channel,
                                          FlutterBinaryMessageHandler handler) = 0;
};

}  // namespace flutter

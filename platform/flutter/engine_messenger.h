// The binary messenger of a FlutterEngine: the host half keeps the message handlers of every
// channel, the Dart half is whatever the engine attaches as its Dart receiver (the Dart endpoint).
//
// Messages from Dart (deliverFromDart) are queued on the main queue and handed, in arrival order,
// to the handler installed on their channel when their turn comes; a channel without a handler
// answers with the empty reply. Each message gets one reply: the first call of its reply sends
// it, later calls are logged and dropped.
//
// Messages from the host (sendOnChannel) go straight to the Dart receiver on the calling thread,
// in call order; Dart's replies come back to the host's callback on the main queue. Without a
// Dart receiver a message is dropped and its callback gets the empty reply.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/flutter/binary_messenger.h"
#include "platform/foundation/value.h"

namespace flutter {

class FlutterEngineMessenger : public FlutterBinaryMessenger,
                               public std::enable_shared_from_this<FlutterEngineMessenger> {
 public:
  // Receives a message from the host on Dart's behalf; reply answers it (once).
  using DartReceiver = std::function<void(const std::string& channel, const fnd::Data& message,
                                          FlutterBinaryReply reply)>;

  // Hold it in a std::shared_ptr: messages queued on the main queue keep it only weakly.
  FlutterEngineMessenger() = default;
  ~FlutterEngineMessenger() override;

  FlutterEngineMessenger(const FlutterEngineMessenger&) = delete;
  FlutterEngineMessenger& operator=(const FlutterEngineMessenger&) = delete;

  void sendOnChannel(const std::string& channel, const fnd::Data& message) override;
  void sendOnChannel(const std::string& channel, const fnd::Data& message,
                     FlutterBinaryReply callback) override;
  void setMessageHandlerOnChannel(const std::string& channel,
                                  FlutterBinaryMessageHandler handler) override;

  // Removes every handler (the engine shuts down). What the handlers hold is released.
  void removeAllMessageHandlers();

  // Attaches the Dart side; null detaches it.
  void setDartReceiver(DartReceiver receiver);

  // A message from Dart on channel. replyToDart gets the answer once, on the thread that answers.
  void deliverFromDart(const std::string& channel, fnd::Data message,
                       FlutterBinaryReply replyToDart);

 private:
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::unordered_map<std::string, std::shared_ptr<const FlutterBinaryMessageHandler>> handlers_;
  std::shared_ptr<const DartReceiver> dartReceiver_;
};

}  // namespace flutter

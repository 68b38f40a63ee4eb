#include "platform/flutter/engine_messenger.h"

#include <atomic>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/flutter/log.h"

namespace flutter {

namespace {

// A reply that passes on its first call only; `what` names it in the log line of a second call.
FlutterBinaryReply replyOnce(std::string what, FlutterBinaryReply deliver) {
  auto sent = std::make_shared<std::atomic<bool>>(false);
  return [sent, what = std::move(what), deliver = std::move(deliver)](const fnd::Data& reply) {
    if (sent->exchange(true)) {
      FlutterLog("a second reply " + what + " was ignored");
      return;
    }
    if (deliver) deliver(reply);
  };
}

}  // namespace

FlutterEngineMessenger::~FlutterEngineMessenger() = default;

void FlutterEngineMessenger::sendOnChannel(const std::string& channel, const fnd::Data& message) {
  sendOnChannel(channel, message, nullptr);
}

void FlutterEngineMessenger::sendOnChannel(const std::string& channel, const fnd::Data& message,
                                           FlutterBinaryReply callback) {
  std::shared_ptr<const DartReceiver> receiver;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    receiver = dartReceiver_;
  }
  FlutterBinaryReply toHost;
  if (callback) {
    toHost = [callback = std::move(callback)](const fnd::Data& reply) {
      dispatch::Queue::main()->async([callback, reply] { callback(reply); });
    };
  }
  FlutterBinaryReply reply = replyOnce("from Dart on channel \"" + channel + "\"", toHost);
  if (!receiver) {
    FlutterLog("no Dart side to receive a message on channel \"" + channel + "\"");
    reply({});
    return;
  }
  (*receiver)(channel, message, std::move(reply));
}

void FlutterEngineMessenger::setMessageHandlerOnChannel(const std::string& channel,
                                                        FlutterBinaryMessageHandler handler) {
  std::shared_ptr<const FlutterBinaryMessageHandler> removed;  // Released outside the lock.
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = handlers_.find(channel);
  if (!handler) {
    if (it != handlers_.end()) {
      removed = std::move(it->second);
      handlers_.erase(it);
    }
    return;
  }
  auto installed = std::make_shared<const FlutterBinaryMessageHandler>(std::move(handler));
  if (it != handlers_.end()) {
    removed = std::exchange(it->second, std::move(installed));
  } else {
    handlers_.emplace(channel, std::move(installed));
  }
}

void FlutterEngineMessenger::removeAllMessageHandlers() {
  std::unordered_map<std::string, std::shared_ptr<const FlutterBinaryMessageHandler>> removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    removed.swap(handlers_);
  }
}

void FlutterEngineMessenger::setDartReceiver(DartReceiver receiver) {
  std::shared_ptr<const DartReceiver> installed;
  if (receiver) installed = std::make_shared<const DartReceiver>(std::move(receiver));
  std::lock_guard<std::mutex> lock(mutex_);
  std::swap(dartReceiver_, installed);
}

void FlutterEngineMessenger::deliverFromDart(const std::string& channel, fnd::Data message,
                                             FlutterBinaryReply replyToDart) {
  FlutterBinaryReply reply =
      replyOnce("to a message on channel \"" + channel + "\"", std::move(replyToDart));
  dispatch::Queue::main()->async(
      [weak = weak_from_this(), channel, message = std::move(message), reply = std::move(reply)] {
        std::shared_ptr<const FlutterBinaryMessageHandler> handler;
        if (auto self = weak.lock()) {
          std::lock_guard<std::mutex> lock(self->mutex_);
          auto it = self->handlers_.find(channel);
          if (it != self->handlers_.end()) handler = it->second;
        }
        if (!handler) {
          reply({});
          return;
        }
        (*handler)(message, reply);
      });
}

}  // namespace flutter

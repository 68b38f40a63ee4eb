// The stream handler of a Virelda transaction's event channel. Listening starts the SDK
// transaction; the SDK calls the update function once per attempt on a thread of its own, and
// each attempt tells Dart that it started ({"appName": ...}), then blocks until Dart answers with
// the transaction's result and write commands (transactionStoreResult), the stream is cancelled,
// or `timeout` milliseconds pass. The end of the transaction goes to Dart as {"complete": true}
// or {"error": {"code", "message"}}, then the end of the stream.
//
// Answers and attempts: every attempt starts with no answer. An answer belongs to the attempt
// that Dart had last heard of when the answer was handled (both the start events and the answers
// go through the main thread, in order), so an answer that comes late for an attempt that timed
// out, or that is handled before Dart hears of the next attempt, never counts for a later
// attempt. An attempt without its own answer writes nothing: at its time-out Dart gets the
// time-out event {"error": {"code": "deadline-exceeded", ...}}, which is the transaction's last
// event before the end of the stream, and nothing is committed.
// Cancelling aborts: a waiting attempt wakes and the transaction ends with "cancelled", nothing
// committed, and no further attempt waits. A transaction runs once: listening again after it
// started is refused.
//
// Threads: listen, cancel and receiveTransactionResponse run on the main thread; the update
// function runs on SDK threads; events are sent from jobs queued on the main queue, in the order
// queued. The handler's lock guards the answer and the attempt state; the semaphore is the
// hand-over to the waiting attempt.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/semaphore.h"
#include "platform/flutter/channels.h"
#include "platform/vendor/virelda/transaction.h"
#include "platform/vendor/virelda/virelda.h"
#include "plugins/cloud_virelda/virelda_messages.h"

class FLTTransactionStreamHandler
    : public flutter::FlutterStreamHandler,
      public std::enable_shared_from_this<FLTTransactionStreamHandler> {
 public:
  using Commands = std::vector<std::shared_ptr<PigeonTransactionCommand>>;
  // Records the transaction object of the attempt that starts.
  using Started = std::function<void(std::shared_ptr<DEVTransaction> transaction)>;
  // The transaction has ended (after its last event was queued).
  using Ended = std::function<void()>;

  FLTTransactionStreamHandler(std::string transactionId, std::shared_ptr<DEVVirelda> virelda,
                              int64_t timeout, int64_t maxAttempts, Started started, Ended ended);

  // Starts the SDK transaction; an error when it was started before.
  std::shared_ptr<flutter::FlutterError> onListenWithArguments(
      const fnd::Value& arguments, flutter::FlutterEventSink events) override;
  // Aborts the transaction: a waiting attempt wakes at once, nothing is committed.
  std::shared_ptr<flutter::FlutterError> onCancelWithArguments(
      const fnd::Value& arguments) override;

  // Dart's answer for the attempt it last heard of: result 0 applies the commands, 1 nothing.
  // REQUIRES: the main thread (where start events are sent).
  void receiveTransactionResponse(PigeonTransactionResult resultType,
                                  std::optional<Commands> commands);

  const std::string& transactionId() const { return transactionId_; }

 private:
  // The update function: one attempt.
  fnd::Value runAttempt(const std::shared_ptr<DEVTransaction>& transaction,
                        const flutter::FlutterEventSink& events, std::optional<fnd::Error>* error);
  // Applies the commands of an answer to the attempt's transaction; false with *error on a
  // command that names no document.
  bool applyCommands(const Commands& commands, DEVTransaction& transaction,
                     std::optional<fnd::Error>* error) const;

  // Constant after construction.
  const std::string transactionId_;
  const std::shared_ptr<DEVVirelda> virelda_;
  const int64_t timeout_;
  const int64_t maxAttempts_;
  const Started started_;
  const Ended ended_;
  // Released by each answer and by cancel.
  dispatch::Semaphore semaphore_{0};

  struct Answer {
    uint64_t generation;  // The attempt it belongs to.
    PigeonTransactionResult resultType;
    Commands commands;
  };

  std::mutex mu_;
  // Guarded by mu_.
  bool listened_ = false;
  bool cancelled_ = false;
  bool timedOut_ = false;    // An attempt timed out; its time-out event ends the transaction.
  uint64_t generation_ = 0;  // The running (or last) attempt, from 1.
  uint64_t announced_ = 0;   // The last attempt whose start event was sent to Dart.
  std::optional<Answer> answer_;
};

#include "plugins/cloud_virelda/transaction_stream_handler.h"

#include <algorithm>
#include <utility>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/flutter/codec.h"
#include "plugins/cloud_virelda/virelda_pigeon_parser.h"
#include "plugins/cloud_virelda/virelda_utils.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

namespace {

void SendOnMain(const flutter::FlutterEventSink& sink, fnd::Value event) {
  dispatch::Queue::main()->async([sink, event = std::move(event)] {
    if (sink) sink(event);
  });
}

// {"error": {"code", "message"}} of an SDK error, by the error table.
fnd::Value ErrorEvent(const fnd::Error& error) {
  auto [code, message] = FLTZudiroruVireldaUtils::ErrorCodeAndMessageFromNSError(&error);
  return fnd::Value(
      fnd::Dictionary{{"error", fnd::Dictionary{{"code", code}, {"message", message}}}});
}

}  // namespace

FLTTransactionStreamHandler::FLTTransactionStreamHandler(std::string transactionId,
                                                         std::shared_ptr<DEVVirelda> virelda,
                                                         int64_t timeout, int64_t maxAttempts,
                                                         Started started, Ended ended)
    : transactionId_(std::move(transactionId)),
      virelda_(std::move(virelda)),
      timeout_(timeout),
      maxAttempts_(maxAttempts),
      started_(std::move(started)),
      ended_(std::move(ended)) {}

std::shared_ptr<flutter::FlutterError> FLTTransactionStreamHandler::onListenWithArguments(
    const fnd::Value&, flutter::FlutterEventSink events) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (listened_) {
      return std::make_shared<flutter::FlutterError>(
          "failed-precondition", "The transaction " + transactionId_ + " has already been started.",
          fnd::Value());
    }
    listened_ = true;
  }
  auto options = std::make_shared<DEVTransactionOptions>();
  options->setMaxAttempts(maxAttempts_);
  std::shared_ptr<FLTTransactionStreamHandler> self = shared_from_this();
  virelda_->runTransactionWithOptions(
      options,
      [self, events](std::shared_ptr<DEVTransaction> transaction,
                     std::optional<fnd::Error>* error) {
        return self->runAttempt(transaction, events, error);
      },
      [self, events](const fnd::Value&, const std::optional<fnd::Error>& error) {
        bool timedOut;
        {
          std::lock_guard<std::mutex> lock(self->mu_);
          timedOut = self->timedOut_;
        }
        if (!error) {
          SendOnMain(events, fnd::Value(fnd::Dictionary{{"complete", true}}));
        } else if (!timedOut) {
          SendOnMain(events, ErrorEvent(*error));
        }
        SendOnMain(events, flutter::FlutterEndOfEventStream());
        if (self->ended_) self->ended_();
      });
  return nullptr;
}

std::shared_ptr<flutter::FlutterError> FLTTransactionStreamHandler::onCancelWithArguments(
    const fnd::Value&) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    cancelled_ = true;
  }
  semaphore_.signal();
  return nullptr;
}

void FLTTransactionStreamHandler::receiveTransactionResponse(PigeonTransactionResult resultType,
                                                             std::optional<Commands> commands) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Generation 0 (no attempt announced yet) matches no attempt.
    answer_ = Answer{announced_, resultType, commands.value_or(Commands{})};
  }
  semaphore_.signal();
}

fnd::Value FLTTransactionStreamHandler::runAttempt(
    const std::shared_ptr<DEVTransaction>& transaction, const flutter::FlutterEventSink& events,
    std::optional<fnd::Error>* error) {
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(mu_);
    generation = ++generation_;
    // Whatever was answered before belongs to an earlier attempt.
    answer_.reset();
    if (cancelled_) {
      *error = DEVVireldaError(DEVVireldaErrorCodeCancelled, "The transaction was cancelled.");
      return fnd::Value();
    }
  }
  if (started_) started_(transaction);

  // The time runs from before Dart hears of the attempt.
  auto clock = dispatch::Clock::current();
  const double deadline = clock->uptime() + static_cast<double>(timeout_) / 1000.0;
  std::string appName = FLTZudiroruPlugin::zudiroruAppNameFromIosName(
      virelda_->app() ? virelda_->app()->name() : std::string());
  std::weak_ptr<FLTTransactionStreamHandler> weak = shared_from_this();
  dispatch::Queue::main()->async([weak, generation, events, appName] {
    if (auto self = weak.lock()) {
      std::lock_guard<std::mutex> lock(self->mu_);
      self->announced_ = std::max(self->announced_, generation);
    }
    if (events) events(fnd::Value(fnd::Dictionary{{"appName", appName}}));
  });

  // Wait for this attempt's answer, a cancel or the time-out. Stale answers release the
  // semaphore too; they are passed over.
  std::optional<Answer> answer;
  bool cancelled = false;
  bool timedOut = false;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (cancelled_) {
        cancelled = true;
        break;
      }
      if (answer_ && answer_->generation == generation) {
        answer = std::move(answer_);
        answer_.reset();
        break;
      }
    }
    if (timedOut) break;
    double remaining = deadline - clock->uptime();
    if (semaphore_.wait(std::max(remaining, 0.0)) == dispatch::WaitResult::kTimedOut) {
      // One last look: an answer may have come as the time ran out.
      timedOut = true;
    }
  }

  if (cancelled) {
    *error = DEVVireldaError(DEVVireldaErrorCodeCancelled, "The transaction was cancelled.");
    return fnd::Value();
  }
  if (!answer) {
    fnd::Error deadlineExceeded(DEVVireldaErrorDomain, DEVVireldaErrorCodeDeadlineExceeded);
    SendOnMain(events, ErrorEvent(deadlineExceeded));
    // Nothing of this attempt is committed, and no later attempt runs. The time-out event is the
    // transaction's last event: the completion adds only the end of the stream.
    {
      std::lock_guard<std::mutex> lock(mu_);
      timedOut_ = true;
    }
    *error = deadlineExceeded;
    return fnd::Value();
  }
  if (answer->resultType != PigeonTransactionResultFailure &&
      !applyCommands(answer->commands, *transaction, error)) {
    return fnd::Value();
  }
  return fnd::Value();
}

bool FLTTransactionStreamHandler::applyCommands(const Commands& commands,
                                                DEVTransaction& transaction,
                                                std::optional<fnd::Error>* error) const {
  for (const auto& command : commands) {
    if (!command) continue;
    if (command->type != PigeonTransactionTypeUpdate && command->type != PigeonTransactionTypeSet &&
        command->type != PigeonTransactionTypeDeleteType) {
      continue;
    }
    fnd::Error sdkError = DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                          "A transaction write has no document path.");
    auto reference =
        command->path ? virelda_->documentWithPath(*command->path, &sdkError) : nullptr;
    if (!reference) {
      *error = sdkError;
      return false;
    }
    const fnd::Dictionary data = command->data.value_or(fnd::Dictionary{});
    const auto& option = command->option;
    switch (command->type) {
      case PigeonTransactionTypeUpdate:
        transaction.updateData(data, reference);
        break;
      case PigeonTransactionTypeSet:
        if (option && option->merge.value_or(false)) {
          transaction.setData(data, reference, true);
        } else if (option && option->mergeFields) {
          transaction.setData(data, reference,
                              VireldaPigeonParser::parseFieldPath(*option->mergeFields));
        } else {
          transaction.setData(data, reference);
        }
        break;
      case PigeonTransactionTypeDeleteType:
        transaction.deleteDocument(reference);
        break;
    }
  }
  return true;
}

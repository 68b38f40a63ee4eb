#include "platform/vendor/virelda/transaction.h"

#include <atomic>
#include <chrono>
#include <condition_variable>

#include "platform/dispatch/queue.h"

namespace {

// Transactions whose SDK job has not returned yet, and attempts run, for the test hooks.
struct Running {
  std::mutex mu;
  std::condition_variable changed;
  int64_t count = 0;  // Guarded by mu.
  std::atomic<int64_t> attempts{0};
};

Running& running() {
  static Running* r = new Running();
  return *r;
}

void TransactionStarted() {
  std::lock_guard<std::mutex> lock(running().mu);
  ++running().count;
}

void TransactionEnded() {
  auto& r = running();
  std::lock_guard<std::mutex> lock(r.mu);
  --r.count;
  r.changed.notify_all();
}

}  // namespace

// ---- One attempt ----

DEVTransaction::DEVTransaction(std::shared_ptr<DEVVirelda> virelda, int64_t attempt)
    : virelda_(std::move(virelda)), attempt_(attempt) {}

std::shared_ptr<DEVDocumentSnapshot> DEVTransaction::getDocument(
    const std::shared_ptr<DEVDocumentReference>& document, fnd::Error* error) {
  if (!document) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "A transaction read needs a document."));
    return nullptr;
  }
  if (document->virelda()->store() != virelda_->store()) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "The document " + document->path() +
                                             " belongs to another database than the transaction."));
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (ended_) {
      fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeFailedPrecondition,
                                           "The transaction attempt has already ended."));
      return nullptr;
    }
    if (!writes_.empty()) {
      fnd::SetError(error,
                    DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                    "Every read of a transaction must come before its writes."));
      return nullptr;
    }
  }
  if (auto e = virelda_->checkOperation("transactionGet", document->path())) {
    fnd::SetError(error, *e);
    return nullptr;
  }
  if (!virelda_->isNetworkEnabled()) {
    fnd::SetError(error,
                  DEVVireldaError(DEVVireldaErrorCodeUnavailable,
                                  "Transactions need the network. (The client is offline.)"));
    return nullptr;
  }
  std::optional<fnd::Dictionary> stored, data;
  virelda_->readForTransaction(document->path(), &stored, &data);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (ended_) {
      fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeFailedPrecondition,
                                           "The transaction attempt has already ended."));
      return nullptr;
    }
    // The first read of a document is the one the commit checks.
    reads_.emplace(document->path(), std::move(stored));
  }
  return std::make_shared<DEVDocumentSnapshot>(virelda_->documentWithPath(document->path()),
                                               std::move(data),
                                               std::make_shared<DEVSnapshotMetadata>(false, false));
}

void DEVTransaction::addWrite(DEVWriteBatch::Write write,
                              const std::shared_ptr<DEVDocumentReference>& document) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ended_) return;
  if (!document || document->virelda()->store() != virelda_->store()) {
    if (!error_) {
      error_ = DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                               "A transaction write needs a document of the transaction's "
                               "database.");
    }
    return;
  }
  write.path = document->path();
  writes_.push_back(std::move(write));
}

void DEVTransaction::setData(const fnd::Dictionary& data,
                             const std::shared_ptr<DEVDocumentReference>& document) {
  addWrite({DEVWriteBatch::Write::Kind::kSet, "", data, {}}, document);
}

void DEVTransaction::setData(const fnd::Dictionary& data,
                             const std::shared_ptr<DEVDocumentReference>& document, bool merge) {
  addWrite(
      {merge ? DEVWriteBatch::Write::Kind::kMerge : DEVWriteBatch::Write::Kind::kSet, "", data, {}},
      document);
}

void DEVTransaction::setData(const fnd::Dictionary& data,
                             const std::shared_ptr<DEVDocumentReference>& document,
                             const std::vector<std::shared_ptr<DEVFieldPath>>& mergeFields) {
  addWrite({DEVWriteBatch::Write::Kind::kMergeFields, "", data, mergeFields}, document);
}

void DEVTransaction::updateData(const fnd::Dictionary& fields,
                                const std::shared_ptr<DEVDocumentReference>& document) {
  addWrite({DEVWriteBatch::Write::Kind::kUpdate, "", fields, {}}, document);
}

void DEVTransaction::deleteDocument(const std::shared_ptr<DEVDocumentReference>& document) {
  addWrite({DEVWriteBatch::Write::Kind::kDelete, "", {}, {}}, document);
}

std::vector<DEVWriteBatch::Write> DEVTransaction::writes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return writes_;
}

bool DEVTransaction::hasEnded() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ended_;
}

DEVTransaction::Recorded DEVTransaction::end() {
  std::lock_guard<std::mutex> lock(mu_);
  ended_ = true;
  return Recorded{reads_, writes_, error_};
}

// ---- Running a transaction ----

void DEVVirelda::runTransactionWithOptions(std::shared_ptr<DEVTransactionOptions> options,
                                           TransactionBlock block,
                                           TransactionCompletion completion) {
  const int64_t maxAttempts =
      options ? options->maxAttempts() : DEVTransactionOptions().maxAttempts();
  auto self = shared_from_this();
  TransactionStarted();
  dispatch::Queue::global(dispatch::Qos::kUserInitiated)
      ->async([self, maxAttempts, block, completion] {
        // Counted as running until the job returns, after its completion was handed on.
        struct Guard {
          ~Guard() { TransactionEnded(); }
        } guard;
        auto finish = [&](fnd::Value result, std::optional<fnd::Error> error) {
          self->deliver([completion, result = std::move(result), error = std::move(error)] {
            if (completion) completion(result, error);
          });
        };
        if (maxAttempts < 1) {
          return finish(fnd::Value(), DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                                      "A transaction needs at least one attempt."));
        }
        for (int64_t attempt = 1; attempt <= maxAttempts; ++attempt) {
          if (auto e = self->checkOperation("transaction", "")) return finish(fnd::Value(), e);
          auto transaction = std::make_shared<DEVTransaction>(self, attempt);
          running().attempts.fetch_add(1);
          std::optional<fnd::Error> blockError;
          fnd::Value result = block ? block(transaction, &blockError) : fnd::Value();
          auto recorded = transaction->end();
          if (blockError) return finish(fnd::Value(), blockError);
          if (recorded.error) return finish(fnd::Value(), recorded.error);

          std::optional<fnd::Error> fault = self->checkOperation("transactionCommit", "");
          if (!fault && !self->isNetworkEnabled()) {
            fault = DEVVireldaError(DEVVireldaErrorCodeUnavailable,
                                    "Transactions need the network. (The client is offline.)");
          }
          // A commit fault of code aborted is a conflict, as a changed read is: the next attempt
          // runs.
          if (fault) {
            if (fault->code() != DEVVireldaErrorCodeAborted) return finish(fnd::Value(), fault);
            continue;
          }
          fnd::Error error;
          switch (self->commitTransaction(recorded.reads, recorded.writes, &error)) {
            case TransactionCommit::kCommitted:
              return finish(std::move(result), std::nullopt);
            case TransactionCommit::kFailed:
              return finish(fnd::Value(), error);
            case TransactionCommit::kConflict:
              break;
          }
        }
        finish(fnd::Value(),
               DEVVireldaError(DEVVireldaErrorCodeAborted,
                               "The transaction met a conflicting change in each of its " +
                                   std::to_string(maxAttempts) + " attempts."));
      });
}

// ---- Test support ----

int64_t DEVVireldaTransactionTesting::runningTransactions() {
  std::lock_guard<std::mutex> lock(running().mu);
  return running().count;
}

bool DEVVireldaTransactionTesting::waitForTransactions(double timeoutSeconds) {
  auto& r = running();
  std::unique_lock<std::mutex> lock(r.mu);
  return r.changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                            [&] { return r.count == 0; });
}

int64_t DEVVireldaTransactionTesting::attemptsRun() { return running().attempts.load(); }

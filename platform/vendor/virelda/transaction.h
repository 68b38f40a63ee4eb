// Transactions of the Virelda SDK stand-in.
//
// DEVVirelda::runTransactionWithOptions runs a transaction on a thread of the SDK (a job of the
// global user-initiated queue): the update block once per attempt, given that attempt's
// DEVTransaction, then the commit of what the attempt wrote. A read document that changed in the
// store between its read and the commit is a conflict, and so is a scripted commit fault of code
// aborted: the SDK then runs a further attempt, up to the options' maximum, and fails the
// transaction with aborted after the last. An error that the update block sets ends the
// transaction with that error and commits nothing. The completion runs once, on the dispatch
// queue of the instance's settings.
//
// Scripted faults (DEVVireldaTesting::setFault) for the operations "transaction" (before each
// attempt, path ""), "transactionGet" (a read, the document's path) and "transactionCommit" (the
// commit of an attempt, path "").
//
// Thread safety: every method may be called from any thread; a read may come from another thread
// while the update block waits.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/virelda/virelda.h"

// How a transaction runs.
class DEVTransactionOptions {
 public:
  DEVTransactionOptions() = default;
  // The most attempts the SDK makes; 5 unless set. A value below 1 fails the transaction with
  // invalid-argument before any attempt.
  int64_t maxAttempts() const { return maxAttempts_; }
  void setMaxAttempts(int64_t maxAttempts) { maxAttempts_ = maxAttempts; }

 private:
  int64_t maxAttempts_ = 5;
};

// One attempt of a transaction. Reads go to the store at once and are remembered for the commit's
// check; writes are recorded and applied together, in order, when the attempt commits. Every read
// must come before the first write. Once the attempt has ended (committed, conflicted or failed)
// a read fails and a write is ignored.
class DEVTransaction {
 public:
  DEVTransaction(std::shared_ptr<DEVVirelda> virelda, int64_t attempt);

  // The attempt's number, from 1.
  int64_t attempt() const { return attempt_; }

  // Reads a document of the transaction's database; null with *error set when the read fails.
  std::shared_ptr<DEVDocumentSnapshot> getDocument(
      const std::shared_ptr<DEVDocumentReference>& document, fnd::Error* error);
  void setData(const fnd::Dictionary& data, const std::shared_ptr<DEVDocumentReference>& document);
  void setData(const fnd::Dictionary& data, const std::shared_ptr<DEVDocumentReference>& document,
               bool merge);
  void setData(const fnd::Dictionary& data, const std::shared_ptr<DEVDocumentReference>& document,
               const std::vector<std::shared_ptr<DEVFieldPath>>& mergeFields);
  void updateData(const fnd::Dictionary& fields,
                  const std::shared_ptr<DEVDocumentReference>& document);
  void deleteDocument(const std::shared_ptr<DEVDocumentReference>& document);

  // The writes recorded so far, in order (tests).
  std::vector<DEVWriteBatch::Write> writes() const;
  bool hasEnded() const;

 private:
  friend class DEVVirelda;
  void addWrite(DEVWriteBatch::Write write, const std::shared_ptr<DEVDocumentReference>& document);
  // Ends the attempt: later reads fail, later writes are ignored. Returns what the commit needs.
  struct Recorded {
    std::map<std::string, std::optional<fnd::Dictionary>> reads;
    std::vector<DEVWriteBatch::Write> writes;
    std::optional<fnd::Error> error;
  };
  Recorded end();

  // Constant after construction.
  const std::shared_ptr<DEVVirelda> virelda_;
  const int64_t attempt_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  bool ended_ = false;
  // Each document read, with its stored data at the first read (nullopt: it did not exist).
  std::map<std::string, std::optional<fnd::Dictionary>> reads_;
  std::vector<DEVWriteBatch::Write> writes_;
  // The first refused write (a document of another database); it fails the commit.
  std::optional<fnd::Error> error_;
};

// Test support for transactions.
class DEVVireldaTransactionTesting {
 public:
  // Transactions whose SDK job has not returned yet (its completion may still be queued).
  static int64_t runningTransactions();
  // Waits until no transaction runs, for at most timeoutSeconds of real time; false on time-out.
  static bool waitForTransactions(double timeoutSeconds);
  // Attempts run since the process started (each call of an update block).
  static int64_t attemptsRun();
};

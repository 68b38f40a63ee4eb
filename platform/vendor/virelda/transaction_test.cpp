#include "platform/vendor/virelda/transaction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"

namespace {

using fnd::Dictionary;
using fnd::Value;

constexpr const char* kDb = "(default)";

class VireldaTransactionSdkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    DEVVireldaTesting::resetForTesting();
    ASSERT_TRUE(DAVOdu::configureWithOptions(DEVOptions("1:1:ios:1", "sender")));
    virelda_ = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), kDb);
    ASSERT_NE(virelda_, nullptr);
  }
  void TearDown() override {
    EXPECT_TRUE(DEVVireldaTransactionTesting::waitForTransactions(60));
    dispatch::RunLoop::main().runUntilIdle();
    DEVVireldaTesting::resetForTesting();
    DAVOdu::resetForTesting();
  }

  struct Outcome {
    Value result;
    std::optional<fnd::Error> error;
  };
  // Runs a transaction and waits for its completion (on the main queue, the default).
  Outcome Run(DEVVirelda::TransactionBlock block, int64_t maxAttempts = 5) {
    auto options = std::make_shared<DEVTransactionOptions>();
    options->setMaxAttempts(maxAttempts);
    bool done = false;
    Outcome outcome;
    virelda_->runTransactionWithOptions(options, std::move(block),
                                        [&](const Value& result, const auto& error) {
                                          EXPECT_TRUE(dispatch::isMainThread());
                                          outcome = {result, error};
                                          done = true;
                                        });
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }, 60));
    return outcome;
  }
  std::shared_ptr<DEVDocumentReference> Doc(const char* path) {
    return virelda_->documentWithPath(path);
  }
  void Put(const char* path, Dictionary data) {
    DEVVireldaTesting::putDocument(DAVOdu::kDefaultAppName, kDb, path, std::move(data));
  }
  std::optional<Dictionary> Stored(const char* path) {
    return DEVVireldaTesting::documentData(DAVOdu::kDefaultAppName, kDb, path);
  }
  // The number in field "n" of a read, or -1.
  static int64_t N(const std::shared_ptr<DEVDocumentSnapshot>& snapshot) {
    if (!snapshot || !snapshot->data()) return -1;
    return snapshot->data()->get("n").asInt();
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<DEVVirelda> virelda_;
};

TEST_F(VireldaTransactionSdkTest, AnAttemptCommitsItsWritesInOrderOnAnSdkThread) {
  Put("c/a", {{"n", 1}});
  Put("c/gone", {{"x", 1}});
  auto outcome = Run([&](std::shared_ptr<DEVTransaction> t, std::optional<fnd::Error>*) {
    EXPECT_FALSE(dispatch::isMainThread());
    EXPECT_EQ(t->attempt(), 1);
    fnd::Error error;
    auto a = t->getDocument(Doc("c/a"), &error);
    auto none = t->getDocument(Doc("c/none"), &error);
    EXPECT_TRUE(none && !none->exists());
    t->updateData({{"n", N(a) + 1}}, Doc("c/a"));
    t->setData({{"v", 1}, {"w", 1}}, Doc("c/b"));
    t->setData({{"v", 2}}, Doc("c/b"), true);
    t->setData({{"v", 3}, {"w", 3}}, Doc("c/b"), {DEVFieldPath::initWithFields({"w"})});
    t->deleteDocument(Doc("c/gone"));
    // Reads come before writes.
    EXPECT_FALSE(t->getDocument(Doc("c/a"), &error));
    EXPECT_EQ(error.code(), DEVVireldaErrorCodeInvalidArgument);
    // Nothing is written before the commit.
    EXPECT_EQ(Stored("c/a"), (Dictionary{{"n", 1}}));
    return Value("result");
  });
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.result, Value("result"));
  EXPECT_EQ(Stored("c/a"), (Dictionary{{"n", 2}}));
  EXPECT_EQ(Stored("c/b"), (Dictionary{{"v", 2}, {"w", 3}}));
  EXPECT_FALSE(Stored("c/gone"));
}

TEST_F(VireldaTransactionSdkTest, AChangedReadRetriesUpToTheMaximumAttempts) {
  Put("c/a", {{"n", 1}});
  // Another writer changes the document between the read and the commit of the first attempt.
  std::vector<int64_t> seen;
  auto outcome = Run([&](std::shared_ptr<DEVTransaction> t, std::optional<fnd::Error>*) {
    fnd::Error error;
    int64_t n = N(t->getDocument(Doc("c/a"), &error));
    seen.push_back(n);
    if (t->attempt() == 1) Put("c/a", {{"n", 10}});
    t->setData({{"n", n + 1}}, Doc("c/a"));
    return Value(t->attempt());
  });
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.result, Value(int64_t{2}));
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 10}));
  EXPECT_EQ(Stored("c/a"), (Dictionary{{"n", 11}}));

  // Every attempt conflicts: aborted after the last, nothing written.
  int64_t before = DEVVireldaTransactionTesting::attemptsRun();
  outcome = Run(
      [&](std::shared_ptr<DEVTransaction> t, std::optional<fnd::Error>*) {
        fnd::Error error;
        t->getDocument(Doc("c/a"), &error);
        Put("c/a", {{"n", 100 + t->attempt()}});
        t->setData({{"mine", true}}, Doc("c/b"));
        return Value();
      },
      3);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code(), DEVVireldaErrorCodeAborted);
  EXPECT_EQ(DEVVireldaTransactionTesting::attemptsRun() - before, 3);
  EXPECT_FALSE(Stored("c/b"));
  EXPECT_EQ(Stored("c/a"), (Dictionary{{"n", 103}}));
}

TEST_F(VireldaTransactionSdkTest, ABlockErrorEndsTheTransactionWithoutCommitOrRetry) {
  int attempts = 0;
  auto outcome = Run([&](std::shared_ptr<DEVTransaction> t, std::optional<fnd::Error>* error) {
    ++attempts;
    t->setData({{"v", 1}}, Doc("c/x"));
    *error = DEVVireldaError(DEVVireldaErrorCodeDeadlineExceeded, "");
    return Value("ignored");
  });
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code(), DEVVireldaErrorCodeDeadlineExceeded);
  EXPECT_TRUE(outcome.result.isNull());
  EXPECT_EQ(attempts, 1);
  EXPECT_FALSE(Stored("c/x"));
}

TEST_F(VireldaTransactionSdkTest, ScriptedFaultsAndRefusedArguments) {
  struct Case {
    const char* name;
    const char* faultOperation;
    int64_t faultCode;
    int64_t maxAttempts;
    int64_t wantCode;  // 0: success.
    int64_t wantAttempts;
  };
  const Case cases[] = {
      {"start refused", "transaction", DEVVireldaErrorCodeUnavailable, 5,
       DEVVireldaErrorCodeUnavailable, 0},
      {"commit refused", "transactionCommit", DEVVireldaErrorCodePermissionDenied, 5,
       DEVVireldaErrorCodePermissionDenied, 1},
      {"commit aborted retries", "transactionCommit", DEVVireldaErrorCodeAborted, 2,
       DEVVireldaErrorCodeAborted, 2},
      {"no attempt allowed", "", 0, 0, DEVVireldaErrorCodeInvalidArgument, 0},
  };
  for (const Case& c : cases) {
    std::string op = c.faultOperation;
    int64_t code = c.faultCode;
    DEVVireldaTesting::setFault(
        [op, code](std::string_view operation, std::string_view) -> std::optional<fnd::Error> {
          if (!op.empty() && operation == op) return DEVVireldaError(code, "scripted");
          return std::nullopt;
        });
    int64_t before = DEVVireldaTransactionTesting::attemptsRun();
    auto outcome = Run(
        [&](std::shared_ptr<DEVTransaction> t, std::optional<fnd::Error>*) {
          t->setData({{"v", 1}}, Doc("c/x"));
          return Value();
        },
        c.maxAttempts);
    ASSERT_TRUE(outcome.error) << c.name;
    EXPECT_EQ(outcome.error->code(), c.wantCode) << c.name;
    EXPECT_EQ(DEVVireldaTransactionTesting::attemptsRun() - before, c.wantAttempts) << c.name;
    EXPECT_FALSE(Stored("c/x")) << c.name;
  }

  // A read fault, a document of another database, and an update of a missing document.
  DEVVireldaTesting::setFault([](std::string_view operation, std::string_view path) {
    return operation == "transactionGet" && path == "c/secret"
               ? std::optional<fnd::Error>(DEVVireldaError(7, "no"))
               : std::nullopt;
  });
  auto other = DEVVirelda::vireldaForApp(DAVOdu::defaultApp(), "other");
  auto outcome = Run([&](std::shared_ptr<DEVTransaction> t, std::optional<fnd::Error>*) {
    fnd::Error error;
    EXPECT_FALSE(t->getDocument(Doc("c/secret"), &error));
    EXPECT_EQ(error.code(), DEVVireldaErrorCodePermissionDenied);
    EXPECT_FALSE(t->getDocument(other->documentWithPath("c/y"), &error));
    EXPECT_EQ(error.code(), DEVVireldaErrorCodeInvalidArgument);
    t->setData({{"v", 1}}, Doc("c/x"));
    t->setData({{"v", 1}}, other->documentWithPath("c/y"));
    return Value();
  });
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code(), DEVVireldaErrorCodeInvalidArgument);
  EXPECT_FALSE(Stored("c/x"));
  outcome = Run([&](std::shared_ptr<DEVTransaction> t, std::optional<fnd::Error>*) {
    t->setData({{"v", 1}}, Doc("c/x"));
    t->updateData({{"v", 2}}, Doc("c/missing"));
    return Value();
  });
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code(), DEVVireldaErrorCodeNotFound);
  EXPECT_FALSE(Stored("c/x"));  // All or nothing.
}

TEST_F(VireldaTransactionSdkTest, AnEndedAttemptRefusesReadsAndIgnoresWrites) {
  std::shared_ptr<DEVTransaction> kept;
  auto outcome = Run([&](std::shared_ptr<DEVTransaction> t, std::optional<fnd::Error>*) {
    kept = t;
    return Value();
  });
  EXPECT_FALSE(outcome.error);
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->hasEnded());
  fnd::Error error;
  EXPECT_FALSE(kept->getDocument(Doc("c/a"), &error));
  EXPECT_EQ(error.code(), DEVVireldaErrorCodeFailedPrecondition);
  kept->setData({{"v", 1}}, Doc("c/a"));
  EXPECT_TRUE(kept->writes().empty());
}

TEST_F(VireldaTransactionSdkTest, ListenersHearOfACommittedTransaction) {
  std::atomic<int> snapshots{0};
  auto registration =
      Doc("c/a")->addSnapshotListenerWithOptions(nullptr, [&](auto snapshot, const auto&) {
        if (snapshot) ++snapshots;
      });
  ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return snapshots.load() == 1; }));
  Run([&](std::shared_ptr<DEVTransaction> t, std::optional<fnd::Error>*) {
    t->setData({{"v", 1}}, Doc("c/a"));
    return Value();
  });
  EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return snapshots.load() == 2; }));
  registration->remove();
}

}  // namespace

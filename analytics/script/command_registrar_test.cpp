// The registrar runs the most frequent commands (literal reads, assignment, arithmetic and
// ordering of numbers, If with a quoted branch, calls of script functions, a function's own
// Return) without building argument lists. These tests pin what each of them must keep from the
// family handlers: the outcome, every instruction counted (one per evaluation, literals
// included), the order in which the count can run out, and the nesting limit.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "analytics/script/evaluator.h"
#include "analytics/script/memory_account.h"
#include "analytics/script/runtime.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/scope.h"
#include "analytics/script/script_test_support.h"

namespace {

using script_test::Outcome;
using script_test::Statements;

// Functions and variables the cases use, declared at the top level of each runtime.
constexpr const char* kSetup =
    "(Var \"i\") (Assign \"i\" 5) "
    "(DefineFunction \"f\" (CreateArray \"x\") (Return (Get \"x\"))) "
    "(DefineFunction \"g\" (CreateArray) (Get \"i\") (Return)) "
    "(DefineFunction \"h\" (CreateArray) (Return 1 2)) "
    "(DefineFunction \"k\" (CreateArray \"n\") "
    "  (If (LessThan (Get \"n\") 2) (Quote (Return (Get \"n\")))) (Return 9)) "
    "(DefineFunction \"b\" (CreateArray) (If true (Quote (Break))) (Return 1)) "
    "(DefineFunction \"m\" (CreateArray \"n\") "
    "  (If (Get \"n\") (Quote (If (Get \"n\") (Quote (Get \"n\") (Return (Add (Get \"n\") 1)))))) "
    "  (If (Get \"n\") 5 (CreateArray (Get \"n\") 7)) (If false 1) (If true (Quote 4))) "
    "(DefineFunction \"e\" (CreateArray \"n\") (If (Get \"n\") (Quote (Return (Add)))) (Return 2)) "
    "(DefineFunction \"two\" (CreateArray \"p\" \"q\") (Return (Subtract (Get \"p\") (Get "
    "\"q\"))))";

struct Case {
  const char* program;  // One statement.
  const char* outcome;
  int instructions;  // Evaluations it counts.
};

// A runtime set up with kSetup, its count at `startCount`.
std::unique_ptr<APMPRuntime> SetUpRuntime(int32_t startCount) {
  auto runtime = std::make_unique<APMPRuntime>();
  APMPError error;
  runtime->executeStatements(script_test::Program(kSetup), &error);
  EXPECT_FALSE(error) << Outcome(nullptr, error);
  runtime->initialScope()->setInstructionCount(startCount);
  return runtime;
}

// Evaluates one statement in the global scope of a fresh runtime set up with kSetup, starting
// from `startCount` instructions. Returns the outcome and stores the count reached. The
// statement has run once before in another runtime, so that this run takes the paths that the
// registrar resolved for its nodes.
std::string Evaluate(const char* program, int32_t startCount, int32_t* count) {
  APMPValueList statements = Statements(program);
  EXPECT_EQ(statements.size(), 1u) << program;
  APMPError warmUpError;
  APMPEvaluator::evaluateStatement(statements[0], SetUpRuntime(0)->globalScope(), &warmUpError);
  auto runtime = SetUpRuntime(startCount);
  APMPError error;
  APMPValueRef result =
      APMPEvaluator::evaluateStatement(statements[0], runtime->globalScope(), &error);
  *count = runtime->getInstructionCount();
  return Outcome(result, error);
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      // Reads.
      {"(Get \"i\")", "5", 2},
      {"(Get \"nowhere\")", "undefined", 2},
      {"(Get 1)", "error 10", 2},
      {"(Get)", "error 9", 1},
      {"(Get (Get \"i\"))", "error 10", 3},
      // Assignment.
      {"(Assign \"i\" (Add (Get \"i\") 1))", "6", 6},
      {"(Assign \"undeclared\" 1)", "error 2", 3},
      {"(Assign 3 1)", "error 10", 3},
      {"(Assign \"i\")", "error 9", 2},
      // Arithmetic and ordering: numbers directly, anything else through the handlers.
      {"(Add (Get \"i\") 0.5)", "5.5", 4},
      {"(Add \"a\" 1)", "'a1'", 3},
      {"(Add true 1)", "2", 3},
      {"(Add 1)", "error 9", 2},
      {"(Subtract 1 3000.25)", "-2999.25", 3},
      {"(Multiply -0 5)", "0", 3},
      {"(Divide 1 0)", "Infinity", 3},
      {"(Modulus -7 2)", "-1", 3},
      {"(Modulus 7 0)", "NaN", 3},
      {"(LessThan 1 2)", "true", 3},
      {"(LessThan nan 2)", "false", 3},
      {"(LessThanEquals 2 2)", "true", 3},
      {"(GreaterThan 3 (Get \"i\"))", "false", 4},
      {"(GreaterThanEquals nan nan)", "false", 3},
      {"(GreaterThanEquals \"b\" \"a\")", "true", 3},
      {"(LessThan 1)", "error 9", 1},
      {"(LessThan 1 2 3)", "error 9", 1},
      // Branches: a quoted branch counts its Quote.
      {"(If true (Quote (Get \"i\")))", "5", 5},
      {"(If false (Quote 1))", "undefined", 2},
      {"(If false (Quote 1) (Quote 2 3))", "3", 5},
      {"(If true 7)", "7", 3},
      {"(If (Get \"undeclared\") 1 (CreateArray 8))", "8", 6},
      {"(If \"\" 1 (Quote (Return 4)))", "<return 4>", 5},
      {"(If)", "error 9", 1},
      {"(If true 1 2 3)", "error 9", 1},
      // Conditions that order two values: numbers directly, anything else through the handler.
      {"(If (LessThan (Get \"i\") 9) (Quote (Get \"i\")))", "5", 8},
      {"(If (GreaterThanEquals (Get \"i\") (Get \"i\")) 1)", "1", 7},
      {"(If (LessThanEquals 6 (Get \"i\")) 1 2)", "2", 6},
      {"(If (GreaterThan nan 1) 1 2)", "2", 5},
      {"(If (LessThan 1 (Assign \"i\" 0)) 1 (Get \"i\"))", "0", 8},
      {"(If (GreaterThan \"b\" \"a\") 1 2)", "1", 5},
      {"(If (LessThan (CreateArray) 1) 1 2)", "1", 5},
      {"(If (LessThan 1) 2)", "error 9", 2},
      {"(If (LessThan (Add) 1) 2)", "error 9", 3},
      {"(While (LessThan (Get \"i\") 8) (Assign \"i\" (Add (Get \"i\") 1)) false (Quote))",
       "undefined", 37},
      {"(While (LessThan (Get \"nowhere\") 1) 0 false (Quote))", "undefined", 7},
      {"(@k (Get \"nowhere\"))", "9", 10},
      {"(@k \"1\")", "'1'", 11},
      // Calls and a function's own Return.
      {"(@f 4)", "4", 5},
      {"(@f)", "undefined", 4},
      {"(@f 1 2 3 4 5 6)", "1", 10},
      {"(@f (Assign \"f\" 0))", "0", 7},
      {"(@g)", "undefined", 4},
      {"(@h)", "error 9", 2},
      {"(@k 1)", "1", 11},
      {"(@k 5)", "9", 9},
      {"(@b)", "<break>", 5},
      {"(@m 1)", "2", 17},
      {"(@m 0)", "4", 20},
      {"(@e 1)", "error 9", 8},
      {"(@e 0)", "2", 7},
      {"(@two 10 (Get \"i\"))", "5", 10},
      {"(@nothing (Get \"i\"))", "undefined", 1},
  };
  return cases;
}

TEST(CommandRegistrarTest, DirectPathsGiveTheHandlersOutcomeAndCount) {
  for (const Case& c : Cases()) {
    int32_t count = 0;
    EXPECT_EQ(Evaluate(c.program, 0, &count), c.outcome) << c.program;
    EXPECT_EQ(count, c.instructions) << c.program;
  }
}

TEST(CommandRegistrarTest, EveryInstructionOfADirectPathCountsAgainstTheLimit) {
  // With one instruction fewer than the statement needs, it fails with 18 and the count stops at
  // the limit; with exactly enough it succeeds.
  for (const Case& c : Cases()) {
    if (std::string(c.outcome).rfind("error", 0) == 0) continue;
    int32_t count = 0;
    EXPECT_EQ(Evaluate(c.program, APMPInstructionCountHardLimit - c.instructions + 1, &count),
              "error 18")
        << c.program;
    EXPECT_EQ(count, APMPInstructionCountHardLimit) << c.program;
    EXPECT_EQ(Evaluate(c.program, APMPInstructionCountHardLimit - c.instructions, &count),
              c.outcome)
        << c.program;
    EXPECT_EQ(count, APMPInstructionCountHardLimit) << c.program;
  }
}

TEST(CommandRegistrarTest, RecursionThroughDirectPathsStopsAtTheNestingLimit) {
  // Unbounded recursion through a call, a Return, an addition and a literal read fails with the
  // resource-limit error instead of exhausting the stack, and the runtime goes on working.
  APMPRuntime runtime;
  APMPError error;
  runtime.executeStatements(script_test::Program("(DefineFunction \"r\" (CreateArray \"n\") "
                                                 "  (Return (Add (@r (Add (Get \"n\") 1)) 1))) "
                                                 "(@r 0)"),
                            &error);
  EXPECT_TRUE(APMPErrorHasCode(error, APMPErrorCodeResourceLimit)) << Outcome(nullptr, error);
  runtime.resetInstructionCount();
  EXPECT_EQ(script_test::Run(runtime, "(Add (Get \"undefinedName\") 1) (@r)"), "error 19");
  EXPECT_EQ(script_test::Run(runtime, "(Var \"z\") (Assign \"z\" 3) (Multiply (Get \"z\") 2)"),
            "6");
}

TEST(CommandRegistrarTest, AQuotedBranchHoldsItsListsMemoryWhileItRuns) {
  // The list that a quoted branch runs is charged as the array the Quote makes would be, so the
  // same program reaches the memory limit at the same point. The second run takes the direct
  // path.
  APMPRuntime runtime;
  APMPMemoryAccount::Activation activation(runtime.memoryAccount());
  APMPValueList statements = Statements("(If true (Quote 1 2 3))");
  for (int run = 0; run < 2; ++run) {
    runtime.resetInstructionCount();
    const int64_t before = runtime.memoryAccount()->liveBytes();
    APMPError error;
    APMPValueRef result =
        APMPEvaluator::evaluateStatement(statements[0], runtime.globalScope(), &error);
    EXPECT_EQ(Outcome(result, error), "3");
    EXPECT_EQ(runtime.memoryAccount()->peakBytes() - before,
              APMPMemoryPerValue + 3 * APMPMemoryPerElement)
        << "run " << run;
    EXPECT_EQ(runtime.memoryAccount()->liveBytes(), before) << "run " << run;
  }
}

}  // namespace

namespace {

TEST(CommandRegistrarTest, OutsideARuntimeReadsOfTheCounterVariableAreCopies) {
  // Without a runtime the count lives in a script variable that every evaluation rewrites, so a
  // value read from it must not change under the reader while the next operand is counted.
  APMPScopeRef scope = APMPScope::create();
  APMPValueList statements =
      Statements("(Subtract (Get \"runtime.counter\") (Get \"runtime.counter\"))");
  for (int run = 0; run < 2; ++run) {
    APMPError error;
    APMPValueRef result = APMPEvaluator::evaluateStatement(statements[0], scope, &error);
    EXPECT_EQ(Outcome(result, error), "-2") << "run " << run;
  }
}

}  // namespace

namespace {

TEST(CommandRegistrarTest, EveryCallSeesAFreshScope) {
  // A function's scope is used again by a later call only when nothing from the earlier call can
  // show through: each program calls the same function more than once and reads what a reused
  // scope would have kept.
  const std::pair<const char*, const char*> cases[] = {
      // A local declared by one call is not there in the next (assigning it fails).
      {"(DefineFunction \"loc\" (CreateArray \"a\") (If (Get \"a\") (Quote (Var \"t\"))) "
       "(Assign \"t\" 1) (Return (Get \"t\"))) (@loc 1) (@loc 0)",
       "error 2"},
      // Missing arguments are undefined, not the previous call's.
      {"(DefineFunction \"p\" (CreateArray \"a\" \"b\") (Return (Get \"b\"))) (@p 1 2) (@p 1)",
       "undefined"},
      // A parameter assigned in the body starts from the argument again.
      {"(DefineFunction \"r\" (CreateArray \"x\") (Assign \"x\" (Add (Get \"x\") 1)) "
       "(Return (Get \"x\"))) (Add (@r 1) (Multiply 100 (@r 10)))",
       "1102"},
      // A parameter made constant in one call is writable in the next.
      {"(DefineFunction \"c\" (CreateArray \"a\") (If (Get \"a\") (Quote (Const \"a\" 1))) "
       "(Assign \"a\" 7) (Return (Get \"a\"))) (Add (@c 1) (Multiply 10 (@c 0)))",
       "71"},
      // Closures keep the scope of their own call.
      {"(DefineFunction \"mk\" (CreateArray \"v\") (Return (Fn \"in\" (CreateArray) "
       "(Return (Get \"v\"))))) (Var \"g\") (Assign \"g\" (@mk 7)) (Var \"h\") "
       "(Assign \"h\" (@mk 8)) (@mk 9) (Add (@g) (Multiply 10 (@h)))",
       "87"},
      // Recursion: each level has its own parameter.
      {"(DefineFunction \"fib\" (CreateArray \"n\") (If (LessThan (Get \"n\") 2) "
       "(Quote (Return (Get \"n\")))) (Return (Add (@fib (Subtract (Get \"n\") 1)) "
       "(@fib (Subtract (Get \"n\") 2))))) (@fib 15)",
       "610"},
      // Duplicate parameter names: the last argument wins, every call.
      {"(DefineFunction \"d\" (CreateArray \"a\" \"a\") (Return (Get \"a\"))) (@d 1 2) (@d 3 4)",
       "4"},
  };
  for (const auto& [program, outcome] : cases) {
    APMPRuntime runtime;
    EXPECT_EQ(script_test::Run(runtime, program), outcome) << program;
    // The same again after a collection, which drops what the functions kept.
    runtime.collectGarbage();
    runtime.resetInstructionCount();
    EXPECT_EQ(script_test::Run(runtime, program), outcome) << program;
  }
}

}  // namespace

namespace {

TEST(CommandRegistrarTest, KeptCallScopesAreChargedUntilTheirFunctionIsSwept) {
  // A recursion 21 calls deep leaves the most scopes a function keeps (8), each charged as a
  // value with one entry; a collection that finds the function unreachable gives them back.
  APMPRuntime runtime;
  APMPMemoryAccount::Activation activation(runtime.memoryAccount());
  const int64_t before = runtime.memoryAccount()->liveBytes();
  EXPECT_EQ(script_test::Run(runtime,
                             "(Var \"g\") (Assign \"g\" (Fn \"r\" (CreateArray \"n\") "
                             "(If (Get \"n\") (Quote (@g (Subtract (Get \"n\") 1)))) (Return 0))) "
                             "(@g 20)"),
            "0");
  runtime.collectGarbage();
  EXPECT_EQ(runtime.memoryAccount()->liveBytes() - before,
            8 * (APMPMemoryPerValue + APMPMemoryPerEntry));
  EXPECT_EQ(script_test::Run(runtime, "(Assign \"g\" 0)"), "0");
  runtime.collectGarbage();
  EXPECT_EQ(runtime.memoryAccount()->liveBytes(), before);
}

}  // namespace

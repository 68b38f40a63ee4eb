#include "analytics/script/loops.h"

#include <gtest/gtest.h>

#include <string>

#include "analytics/script/evaluator.h"
#include "analytics/script/method_test_support.h"
#include "analytics/script/runtime.h"

namespace {

struct Case {
  std::string program;
  const char* expected;
};

// Appends the value of `form` to the array in "out" (without the push method).
std::string Append(const std::string& form) {
  return R"((SetProperty (Get "out") (GetProperty (Get "out") "length") )" + form + ")";
}

// Declares "out" as a new empty array, runs `loop`, then yields "out".
std::string Collect(const std::string& loop) {
  return R"((Var "out") (Assign "out" (CreateArray)) )" + loop + R"( (Get "out"))";
}

class LoopsTest : public ::testing::Test {
 protected:
  void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(script_test::Run(c.program), c.expected) << c.program;
  }
};

TEST_F(LoopsTest, WhileTestsItsConditionBeforeEveryIterationButTheRunFirstOne) {
  Check({
      // A false condition runs nothing; with the run-first flag the body runs exactly once and
      // the update (which would set 99) does not follow that first run.
      {R"((Var "n") (Assign "n" 0)
          (While false (Assign "n" 99) false (Quote (Assign "n" (Add (Get "n") 1)))) (Get "n"))",
       "0"},
      {R"((Var "n") (Assign "n" 0)
          (While false (Assign "n" 99) true (Quote (Assign "n" (Add (Get "n") 1)))) (Get "n"))",
       "1"},
      // A counting loop: the update runs after every iteration.
      {Collect(R"((Var "i") (Assign "i" 0)
          (While (LessThan (Get "i") 3) (Assign "i" (Add (Get "i") 1)) false (Quote )" +
               Append(R"((Get "i"))") + "))"),
       "[0,1,2]"},
      // The loop itself yields undefined.
      {R"((Var "i") (Assign "i" 0)
          (While (LessThan (Get "i") 2) (Assign "i" (Add (Get "i") 1)) false (Quote 7)))",
       "undefined"},
  });
}

TEST_F(LoopsTest, BreakEndsTheLoopBeforeTheUpdateOfItsIteration) {
  Check({
      {R"((Var "i" "u") (Assign "i" 0) (Assign "u" 0)
          (While true (Assign "u" (Add (Get "u") 1)) false
            (Quote (Assign "i" (Add (Get "i") 1)) (If (Equals (Get "i") 3) (Quote (Break)))))
          (CreateArray (Get "i") (Get "u")))",
       "[3,2]"},
      // continue skips the rest of the body, then the update runs.
      {Collect(R"((Var "i") (Assign "i" 0)
          (While (LessThan (Get "i") 4) (Assign "i" (Add (Get "i") 1)) false
            (Quote (If (Equals (Get "i") 1) (Quote (Continue))) )" +
               Append(R"((Get "i"))") + "))"),
       "[0,2,3]"},
  });
}

TEST_F(LoopsTest, ReturnLeavesTheEnclosingFunction) {
  Check({
      {R"((DefineFunction "f" (Quote) (While true (Undefined) false (Quote (Return 5))) (Return 6))
          (@f))",
       "5"},
      {R"((DefineFunction "f" (Quote)
            (ForOf "v" (CreateArray 1 2 3) (Quote (If (Equals (Get "v") 2) (Quote (Return (Get "v"))))))
            (Return 0))
          (@f))",
       "2"},
      {R"((DefineFunction "f" (Quote) (Var "i") (Assign "i" 0)
            (ForLet (Quote "i") true (Assign "i" (Add (Get "i") 1))
              (Quote (If (Equals (Get "i") 4) (Quote (Return (Multiply (Get "i") 10)))))))
          (@f))",
       "40"},
  });
}

TEST_F(LoopsTest, ContinueAndBreakInsideASwitchInsideALoop) {
  // Bodies are Case statements; for i = 1, 2, 3 the switch matches 2 only.
  const std::string loop = R"((Var "i") (Assign "i" 0)
      (While (LessThan (Get "i") 3) (Undefined) false
        (Quote (Assign "i" (Add (Get "i") 1))
               (Switch (Get "i") (Quote 2) (Quote (Case (Quote (CONTROL)))))
               )" + Append(R"((Get "i"))") +
                           "))";
  auto with = [&](const std::string& control) {
    std::string program = loop;
    program.replace(program.find("CONTROL"), 7, control);
    return Collect(program);
  };
  Check({
      {with("Continue"), "[1,3]"},  // continue goes on with the loop
      {with("Break"), "[1,2,3]"},   // break ends only the switch
  });
}

TEST_F(LoopsTest, ForLetGivesEachIterationItsOwnBinding) {
  // Each iteration stores a function reading i; they read 0, 1 and 2. The declaration of i
  // outside the loop keeps its value, since the copies are never written back.
  Check({
      {R"((Var "i" "m") (Assign "i" 0) (Assign "m" (CreateObject))
          (ForLet (Quote "i") (LessThan (Get "i") 3) (Assign "i" (Add (Get "i") 1))
            (Quote (SetProperty (Get "m") (Get "i") (Fn "" (Quote) (Return (Get "i"))))))
          (CreateArray (Apply (Get "m") "0" (CreateArray)) (Apply (Get "m") "1" (CreateArray))
                       (Apply (Get "m") "2" (CreateArray)) (Get "i")))",
       "[0,1,2,0]"},
      // Several names are copied in order; a name no scope holds is copied as undefined.
      {Collect(R"((Var "a" "b") (Assign "a" 0) (Assign "b" 10)
          (ForLet (Quote "a" "b" "c") (LessThan (Get "a") 2) (Assign "a" (Add (Get "a") 1))
            (Quote )" +
               Append(R"((CreateArray (Get "a") (Get "b") (Typeof (Get "c"))))") +
               R"( (Assign "b" (Add (Get "b") 1)))))"),
       "[[0,10,'undefined'],[1,11,'undefined']]"},
      {R"((ForLet (Quote "i") false (Undefined)))", "error 9"},
      {R"((ForLet "i" false (Undefined) (Quote)))", "error 10"},
      {R"((ForLet (Quote "i") false (Undefined) 5))", "error 10"},
      {R"((ForLet (Quote (Break)) false (Undefined) (Quote)))", "error 5"},
  });
}

TEST_F(LoopsTest, ForInBindsKeysAsStrings) {
  Check({
      {Collect(R"((Var "k") (ForIn "k" "ab" (Quote )" + Append(R"((Get "k"))") + "))"),
       "['0','1']"},
      // Named properties first, then the indexes of elements that are no holes.
      {Collect(R"((Var "a") (Assign "a" )" + script_test::Holey(R"("a" _ "c")") +
               R"() (SetProperty (Get "a") "p" 1)
                  (ForIn "k" (Get "a") (Quote )" +
               Append(R"((Get "k"))") + "))"),
       "['p','0','2']"},
      {Collect(R"((ForIn "k" (CreateObject "x" 1 "y" 2) (Quote )" + Append(R"((Get "k"))") + "))"),
       "['x','y']"},
      {Collect(R"((ForIn "k" 5 (Quote )" + Append(R"((Get "k"))") + "))"), "[]"},
      {Collect(R"((ForIn "k" (Null) (Quote )" + Append(R"((Get "k"))") + "))"), "[]"},
      // ForIn binds in the current scope: the variable keeps the last key.
      {R"((ForIn "k" "xyz" (Quote)) (Get "k"))", "'2'"},
      {R"((ForIn "k" "ab"))", "error 9"},
      {R"((ForIn "k" "ab" 5))", "error 10"},
      {R"((ForIn (Break) "ab" (Quote)))", "error 5"},
  });
}

TEST_F(LoopsTest, ForOfVisitsTheItemsPresentWhenItStarts) {
  Check({
      {Collect(R"((ForOf "v" )" + script_test::Holey(R"("a" _ "c")") + " (Quote " +
               Append(R"((Get "v"))") + "))"),
       "['a',undefined,'c']"},
      // A character outside the Basic Multilingual Plane gives two one-unit strings.
      {Collect("(ForOf \"v\" \"a\xF0\x9F\x98\x80\" (Quote " +
               Append(R"((GetProperty (Get "v") "length"))") + "))"),
       "[1,1,1]"},
      // Elements appended by the body are not visited.
      {Collect(R"((Var "a") (Assign "a" (CreateArray 1 2))
          (ForOf "v" (Get "a") (Quote (SetProperty (Get "a") (GetProperty (Get "a") "length") 9) )" +
               Append(R"((Get "v"))") + R"()) (Assign "out" (CreateArray (Get "out") (Get "a"))))"),
       "[[1,2],[1,2,9,9]]"},
      {R"((Var "v") (ForOf "v" (CreateArray 1 2) (Quote)) (Get "v"))", "2"},
      {R"((ForOf "v" 5 (Quote)))", "error 16"},
      {R"((ForOf "v" (CreateObject "a" 1) (Quote)))", "error 16"},
      // The subject is checked before the body.
      {R"((ForOf "v" 5 5))", "error 16"},
      {R"((ForOf "v" "ab" 5))", "error 10"},
      {R"((ForOf "v" "ab" (Quote) 1))", "error 9"},
  });
}

TEST_F(LoopsTest, ConstAndLetFormsBindInAChildScopePerIteration) {
  Check({
      // Assigning a constant loop variable keeps the item and reports nothing.
      {Collect(R"((ForOfConst "v" (CreateArray 1 2) (Quote (Assign "v" 9) )" +
               Append(R"((Get "v"))") + "))"),
       "[1,2]"},
      {Collect(R"((ForOfLet "v" (CreateArray 1 2) (Quote (Assign "v" 9) )" +
               Append(R"((Get "v"))") + "))"),
       "[9,9]"},
      {Collect(R"((ForInConst "k" "ab" (Quote )" + Append(R"((Get "k"))") + "))"), "['0','1']"},
      // The bindings do not outlive the loop, and an outer variable of that name is untouched.
      {R"((Var "w") (Assign "w" "outer") (ForOfLet "w" (CreateArray 1) (Quote)) (Get "w"))",
       "'outer'"},
      {R"((ForInLet "w" "ab" (Quote)) (Typeof (Get "w")))", "'undefined'"},
      // Closures keep their iteration's item.
      {R"((Var "m") (Assign "m" (CreateObject))
          (ForOfConst "v" (CreateArray "a" "b")
            (Quote (SetProperty (Get "m") (Get "v") (Fn "" (Quote) (Return (Get "v"))))))
          (Add (Apply (Get "m") "a" (CreateArray)) (Apply (Get "m") "b" (CreateArray))))",
       "'ab'"},
  });
}

TEST_F(LoopsTest, EndlessLoopsStopAtTheInstructionLimit) {
  APMPRuntime runtime;
  EXPECT_EQ(script_test::Run(runtime, R"((While true (Undefined) false (Quote)))"), "error 18");
  EXPECT_EQ(runtime.getInstructionCount(), APMPInstructionCountHardLimit);
  Check({
      {R"((Var "i") (Assign "i" 0) (ForLet (Quote "i") true (Undefined) (Quote)))", "error 18"},
  });
}

TEST_F(LoopsTest, NestedLoopsWithEmptyBodiesAreCharged) {
  // Without charging, a million outer iterations of an inner loop over 100000 elements would
  // evaluate only a few million statements while binding 10^11 variables.
  APMPRuntime runtime;
  EXPECT_EQ(script_test::Run(runtime, R"((Var "a" "v" "w") (Assign "a" (CreateArray))
               (SetProperty (Get "a") "length" 100000)
               (While true (Undefined) false (Quote (ForOf "v" (Get "a") (Quote)))))"),
            "error 18");
  EXPECT_EQ(runtime.getInstructionCount(), APMPInstructionCountHardLimit);
}

}  // namespace

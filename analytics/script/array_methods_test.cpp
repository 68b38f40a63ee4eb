#include "analytics/script/array_methods.h"

#include <gtest/gtest.h>

#include <string>

#include "analytics/script/evaluator.h"
#include "analytics/script/method_test_support.h"
#include "analytics/script/runtime.h"

namespace {

using script_test::Holey;

// A call: receiver program, method, argument forms, and the outcome "result | receiver after".
struct Case {
  std::string receiver;
  const char* method;
  std::string arguments;
  const char* expected;
};

// Callbacks, declared in every test runtime. "log" records the arguments of every call of the
// recording callbacks (without the receiver).
constexpr const char* kCallbacks = R"(
  (Var "log") (Assign "log" (CreateArray))
  (DefineFunction "record" (Quote "a" "b" "c")
    (SetProperty (Get "log") (GetProperty (Get "log") "length") (CreateArray (Get "a") (Get "b"))))
  (DefineFunction "double" (Quote "x") (@record (Get "x") (Get "x")) (Return (Multiply (Get "x") 2)))
  (DefineFunction "isOdd" (Quote "x") (@record (Get "x") (Get "x")) (Return (Modulus (Get "x") 2)))
  (DefineFunction "sum" (Quote "acc" "x" "i" "arr")
    (@record (Get "acc") (Get "x")) (Return (Add (Get "acc") (Get "x"))))
  (DefineFunction "descending" (Quote "a" "b") (Return (Subtract (Get "b") (Get "a"))))
  (DefineFunction "broken" (Quote "a" "b") (Return (Break)))
  (DefineFunction "fails" (Quote "x") (Return (Subtract (Quote (Break)) 1)))
)";

class ArrayMethodsTest : public ::testing::Test {
 protected:
  // Runs each case in a fresh runtime; when `log` is given, also checks the recorded calls.
  void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      APMPRuntime runtime;
      script_test::Evaluate(runtime, kCallbacks);
      EXPECT_EQ(script_test::CallMethod(runtime, c.receiver, c.method, c.arguments, true),
                c.expected)
          << c.receiver << "." << c.method << "(" << c.arguments << ")";
    }
  }

  // The calls recorded by the callbacks during one method call.
  std::string Log(const std::string& receiver, const char* method, const std::string& arguments) {
    APMPRuntime runtime;
    script_test::Evaluate(runtime, kCallbacks);
    script_test::CallMethod(runtime, receiver, method, arguments);
    return script_test::Show(script_test::Evaluate(runtime, R"((Get "log"))"));
  }
};

const std::string k123 = "(CreateArray 1 2 3)";

TEST_F(ArrayMethodsTest, CallbackWalksSkipHolesAndTakeTheLengthOnce) {
  Check({
      {k123, "map", R"((Get "double"))", "[2,4,6] | [1,2,3]"},
      {Holey("1 _ 3"), "map", R"((Get "double"))", "[2,<hole>,6] | [1,<hole>,3]"},
      {Holey("1 2 _"), "map", R"((Get "double"))", "[2,4] | [1,2,<hole>]"},
      {k123, "filter", R"((Get "isOdd"))", "[1,3] | [1,2,3]"},
      {Holey("1 _ 3"), "forEach", R"((Get "record"))", "undefined | [1,<hole>,3]"},
      {k123, "every", R"((Get "isOdd"))", "false | [1,2,3]"},
      {"(CreateArray 1 3)", "every", R"((Get "isOdd"))", "true | [1,3]"},
      {"(CreateArray)", "every", R"((Get "isOdd"))", "true | []"},
      {k123, "some", R"((Get "isOdd"))", "true | [1,2,3]"},
      {"(CreateArray 2 4)", "some", R"((Get "isOdd"))", "false | [2,4]"},
      // Exactly one argument, which must be a function.
      {k123, "forEach", R"((Get "record") 1)", "error 9 | [1,2,3]"},
      {k123, "map", "", "error 9 | [1,2,3]"},
      {"(CreateArray 1)", "map", "5", "error 10 | [1]"},
      // An error in the callback stops the walk.
      {k123, "some", R"((Get "fails"))", "error 5 | [1,2,3]"},
  });
  EXPECT_EQ(Log(Holey("1 _ 3"), "map", R"((Get "double"))"), "[[1,1],[3,3]]");
  EXPECT_EQ(Log(Holey("1 _ 3"), "forEach", R"((Get "record"))"), "[[1,0],[3,2]]");
  // every and some stop at the first deciding result.
  EXPECT_EQ(Log(k123, "every", R"((Get "isOdd"))"), "[[1,1],[2,2]]");
  EXPECT_EQ(Log("(CreateArray 2 3 5)", "some", R"((Get "isOdd"))"), "[[2,2],[3,3]]");
}

TEST_F(ArrayMethodsTest, ElementsAddedOrRemovedByTheCallbackChangeNothingOutsideTheLength) {
  APMPRuntime runtime;
  script_test::Evaluate(runtime, kCallbacks);
  script_test::Evaluate(runtime, R"((Var "a") (Assign "a" (CreateArray 1 2 3))
      (DefineFunction "grow" (Quote "x" "i" "arr") (@record (Get "x") (Get "i"))
        (SetProperty (Get "arr") (GetProperty (Get "arr") "length") 0)))");
  EXPECT_EQ(script_test::CallMethod(runtime, R"((Get "a"))", "forEach", R"((Get "grow"))"),
            "undefined");
  EXPECT_EQ(script_test::Show(script_test::Evaluate(runtime, R"((Get "log"))")),
            "[[1,0],[2,1],[3,2]]");
  EXPECT_EQ(script_test::Show(script_test::Evaluate(runtime, R"((Get "a"))")), "[1,2,3,0,0,0]");
  // Shortening the array during the walk skips the indexes beyond the new length.
  script_test::Evaluate(runtime, R"((Assign "log" (CreateArray)) (Assign "a" (CreateArray 1 2 3))
      (DefineFunction "shrink" (Quote "x" "i" "arr") (@record (Get "x") (Get "i"))
        (SetProperty (Get "arr") "length" 1)))");
  EXPECT_EQ(script_test::CallMethod(runtime, R"((Get "a"))", "map", R"((Get "shrink"))", true),
            "[1] | [1]");
  EXPECT_EQ(script_test::Show(script_test::Evaluate(runtime, R"((Get "log"))")), "[[1,0]]");
}

TEST_F(ArrayMethodsTest, ReduceWalksPresentElementsWithAnAccumulator) {
  Check({
      {k123, "reduce", R"((Get "sum"))", "6 | [1,2,3]"},
      {k123, "reduce", R"((Get "sum") "")", "'123' | [1,2,3]"},
      {k123, "reduceRight", R"((Get "sum") "")", "'321' | [1,2,3]"},
      {"(CreateArray)", "reduce", R"((Get "sum"))", "error 8 | []"},
      {Holey("_ _"), "reduceRight", R"((Get "sum"))", "error 8 | [<hole>,<hole>]"},
      {"(CreateArray)", "reduce", R"((Get "sum") 0)", "0 | []"},
      {Holey("_ 5"), "reduce", R"((Get "sum"))", "5 | [<hole>,5]"},
      {k123, "reduce", "", "error 9 | [1,2,3]"},
      {k123, "reduce", R"((Get "sum") 0 1)", "error 9 | [1,2,3]"},
      {k123, "reduce", "1", "error 10 | [1,2,3]"},
      {k123, "reduce", R"((Get "sum") (Break))", "error 10 | [1,2,3]"},
  });
  // reduceRight calls f(3, 2, 1, arr) and then f(5, 1, 0, arr).
  EXPECT_EQ(Log(k123, "reduceRight", R"((Get "sum"))"), "[[3,2],[5,1]]");
  EXPECT_EQ(Log(Holey("_ 5"), "reduce", R"((Get "sum"))"), "[]");
}

TEST_F(ArrayMethodsTest, SearchesUseStrictEquality) {
  Check({
      {"(CreateArray nan)", "indexOf", "nan", "-1 | [NaN]"},
      {R"((CreateArray 1 "1"))", "indexOf", R"("1")", "1 | [1,'1']"},
      {"(CreateArray 1 2 1)", "lastIndexOf", "1", "2 | [1,2,1]"},
      {"(CreateArray 1 2 1)", "lastIndexOf", "1 -2", "0 | [1,2,1]"},
      {"(CreateArray 1 2 1)", "indexOf", "1 1", "2 | [1,2,1]"},
      {"(CreateArray 1 2 1)", "indexOf", "1 -1", "2 | [1,2,1]"},
      {"(CreateArray 1 2 1)", "indexOf", "1 -inf", "0 | [1,2,1]"},
      {"(CreateArray 1)", "indexOf", "1 5", "-1 | [1]"},
      {"(CreateArray 1 2)", "lastIndexOf", "2 nan", "1 | [1,2]"},
      {"(CreateArray 1 2)", "lastIndexOf", "2 -5", "-1 | [1,2]"},
      {"(CreateArray 1 2)", "lastIndexOf", "2 inf", "1 | [1,2]"},
      {"(CreateArray)", "lastIndexOf", "1", "-1 | []"},
      // Without arguments the search value is undefined; holes never match it.
      {Holey("_ (Undefined)"), "indexOf", "", "1 | [<hole>,undefined]"},
      {Holey("(Undefined) _"), "lastIndexOf", "", "0 | [undefined,<hole>]"},
      {k123, "indexOf", "1 2 3", "error 9 | [1,2,3]"},
      {k123, "indexOf", "1 (Break)", "error 4 | [1,2,3]"},
  });
}

TEST_F(ArrayMethodsTest, JoinAndToString) {
  Check({
      {"(CreateArray 1 2)", "join", "", "'1,2' | [1,2]"},
      {"(CreateArray 1 2)", "join", "(Undefined)", "'12' | [1,2]"},
      {"(CreateArray 1 2)", "join", "(Null)", "'12' | [1,2]"},
      {"(CreateArray (Null) (Undefined) 1)", "join", R"("-")", "'--1' | [null,undefined,1]"},
      {Holey("1 _ 2"), "join", "0", "'1002' | [1,<hole>,2]"},
      {"(CreateArray)", "join", R"("-")", "'' | []"},
      {"(CreateArray 1 (CreateArray 2 3))", "toString", "", "'1,2,3' | [1,[2,3]]"},
      {"(CreateArray (Quote (Break)))", "join", "", "error 5 | [[<statement 4>]]"},
      {"(CreateArray 1)", "join", R"("a" "b")", "error 9 | [1]"},
      {"(CreateArray 1)", "toString", "1", "error 9 | [1]"},
  });
}

TEST_F(ArrayMethodsTest, PushPopShiftUnshiftReverse) {
  Check({
      {"(CreateArray 3)", "push", "1 2", "3 | [3,1,2]"},
      {"(CreateArray 3)", "push", "", "1 | [3]"},
      {"(CreateArray 3)", "unshift", "1 2", "3 | [1,2,3]"},
      {k123, "pop", "", "3 | [1,2]"},
      {k123, "shift", "", "1 | [2,3]"},
      {"(CreateArray)", "pop", "", "undefined | []"},
      {"(CreateArray)", "shift", "", "undefined | []"},
      {Holey("_ 1"), "shift", "", "undefined | [1]"},
      {Holey("1 _"), "pop", "", "undefined | [1]"},
      {Holey("1 _ 3 4"), "reverse", "", "[4,3,<hole>,1] | [4,3,<hole>,1]"},
      {k123, "pop", "1", "error 9 | [1,2,3]"},
      {k123, "reverse", "1", "error 9 | [1,2,3]"},
  });
}

TEST_F(ArrayMethodsTest, SliceSpliceAndConcat) {
  Check({
      {k123, "slice", "-2", "[2,3] | [1,2,3]"},
      {k123, "slice", "2 1", "[] | [1,2,3]"},
      {k123, "slice", "inf", "[] | [1,2,3]"},
      {k123, "slice", "", "[1,2,3] | [1,2,3]"},
      {k123, "slice", "nan -1", "[1,2] | [1,2,3]"},
      {k123, "slice", "-inf 1.9", "[1] | [1,2,3]"},
      {Holey("1 _ 3"), "slice", "1", "[<hole>,3] | [1,<hole>,3]"},
      {k123, "slice", "0 1 2", "error 9 | [1,2,3]"},
      {k123, "splice", "1", "[2,3] | [1]"},
      {k123, "splice", R"(-1 1 "a" "b")", "[3] | [1,2,'a','b']"},
      {k123, "splice", "inf", "[] | [1,2,3]"},
      {k123, "splice", "-inf 1", "[1] | [2,3]"},
      {k123, "splice", "", "[] | [1,2,3]"},
      {k123, "splice", "1 -5 9", "[] | [1,9,2,3]"},
      {k123, "splice", "1 inf", "[2,3] | [1]"},
      {Holey("1 _ 3"), "splice", "0 2", "[1,<hole>] | [3]"},
      {k123, "concat", R"(4 (CreateArray 5 (CreateArray 6)) "x")", "[1,2,3,4,5,[6],'x'] | [1,2,3]"},
      {Holey("1 _"), "concat", Holey("_ 2"), "[1,<hole>,<hole>,2] | [1,<hole>]"},
      {k123, "concat", "(Break)", "error 10 | [1,2,3]"},
  });
}

TEST_F(ArrayMethodsTest, SortPutsUndefinedAndHolesLast) {
  Check({
      {"(CreateArray 10 9 1)", "sort", "", "[1,10,9] | [1,10,9]"},
      {Holey("3 (Undefined) _ 1"), "sort", "", "[1,3,undefined,<hole>] | [1,3,undefined,<hole>]"},
      {"(CreateArray 10 9 1)", "sort", R"((Get "descending"))", "[10,9,1] | [10,9,1]"},
      {"(CreateArray 2 1)", "sort", "(Undefined)", "error 10 | [2,1]"},
      {"(CreateArray 2 1)", "sort", "1 2", "error 9 | [2,1]"},
      {"(CreateArray 5)", "sort", "7", "[5] | [5]"},
      {"(CreateArray)", "sort", "", "[] | []"},
      // A comparison that fails is reported after the sort has run to its end.
      {"(CreateArray 2 1)", "sort", R"((Get "broken"))", "error 4 | [2,1]"},
  });
}

TEST_F(ArrayMethodsTest, HasOwnPropertyAndUnknownNames) {
  Check({
      {"(CreateArray 1)", "hasOwnProperty", R"("length")", "true | [1]"},
      {Holey("_ 1"), "hasOwnProperty", "0", "false | [<hole>,1]"},
      {Holey("_ 1"), "hasOwnProperty", R"("1")", "true | [<hole>,1]"},
      {Holey("_ 1"), "hasOwnProperty", "2", "false | [<hole>,1]"},
      {"(CreateArray 1)", "hasOwnProperty", R"("x")", "false | [1]"},
      {"(CreateArray 1)", "hasOwnProperty", "", "error 9 | [1]"},
      {"(CreateArray 1)", "flat", "", "error 17 | [1]"},
  });
}

// The calls that go through Apply, where the array's own named properties come first.
TEST_F(ArrayMethodsTest, ApplyReachesTheMethodsAfterTheArraysOwnProperties) {
  EXPECT_EQ(script_test::Run(R"((Apply (CreateArray 1 2 3) "slice" (CreateArray -2)))"), "[2,3]");
  EXPECT_EQ(script_test::Run(R"((Var "a") (Assign "a" (CreateArray))
      (SetProperty (Get "a") "push" (Fn "mine" (Quote) (Return "own")))
      (CreateArray (Apply (Get "a") "push" (CreateArray 1)) (GetProperty (Get "a") "length")))"),
            "['own',0]");
  EXPECT_EQ(script_test::Run(R"((Var "a") (Assign "a" (CreateArray))
      (SetProperty (Get "a") "push" 1) (Apply (Get "a") "push" (CreateArray 1)))"),
            "error 17");
}

TEST_F(ArrayMethodsTest, RepeatedWorkOnLargeArraysReachesTheInstructionLimit) {
  // Each indexOf scans 50000 elements: without charging, the limit would allow a quarter of a
  // million of them.
  APMPRuntime runtime;
  EXPECT_EQ(script_test::Run(runtime, R"((Var "a") (Assign "a" (CreateArray))
      (SetProperty (Get "a") "length" 50000)
      (While true (Undefined) false (Quote (Apply (Get "a") "indexOf" (CreateArray 1)))))"),
            "error 18");
  EXPECT_EQ(runtime.getInstructionCount(), APMPInstructionCountHardLimit);
}

}  // namespace

TEST(ArraySortTest, SortOrdersLoneSurrogatesByTheirCodeUnits) {
  // The halves of U+1F600 (D83D, DE00), given in reverse order: sorted by code units, the high
  // half comes first; read through UTF-8 both would be U+FFFD and keep their order.
  EXPECT_EQ(script_test::Run("(Var \"p\") (Assign \"p\" \"\xF0\x9F\x98\x80\") "
                             "(Var \"a\") (Assign \"a\" (CreateArray "
                             "(Apply (Get \"p\") \"charAt\" (CreateArray 1)) "
                             "(Apply (Get \"p\") \"charAt\" (CreateArray 0)))) "
                             "(Apply (Get \"a\") \"sort\" (CreateArray)) "
                             "(IdentityEquals (GetIndex (Get \"a\") 0) "
                             "(Apply (Get \"p\") \"charAt\" (CreateArray 0)))"),
            "true");
}

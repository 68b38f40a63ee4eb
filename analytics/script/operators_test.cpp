#include "analytics/script/operators.h"

#include <gtest/gtest.h>

#include "analytics/script/evaluator.h"
#include "analytics/script/runtime.h"
#include "analytics/script/script_test_support.h"

namespace {

struct Case {
  const char* program;
  const char* expected;
};

class OperatorsTest : public ::testing::Test {
 protected:
  void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(script_test::Run(c.program), c.expected) << c.program;
  }
};

TEST_F(OperatorsTest, AddJoinsStringsWhenEitherOperandIsAnObjectOrString) {
  Check({
      {R"((Add "1" 2))", "'12'"},
      {R"((Add 1 2))", "3"},
      {R"((Add true true))", "2"},
      {R"((Add (Null) (Null)))", "0"},
      {R"((Add (Undefined) 1))", "NaN"},
      {R"((Add "a" (Null)))", "'anull'"},
      {R"((Add (CreateObject) ""))", "'[object Object]'"},
      {R"((Add (CreateArray 1 2) 3))", "'1,23'"},
      {R"((Add (Fn "f" (Quote)) 1))", "'f1'"},
      {R"((Add 1e308 1e308))", "Infinity"},
      {R"((Add (Break) 1))", "error 4"},
      {R"((Add (Break) "a"))", "error 5"},
      {R"((Add 1))", "error 9"},
  });
}

TEST_F(OperatorsTest, ArithmeticFollowsIEEE) {
  Check({
      {R"((Subtract "5" 2))", "3"},
      {R"((Subtract (CreateArray 7) true))", "6"},
      {R"((Multiply "3" "4"))", "12"},
      {R"((Multiply "x" 2))", "NaN"},
      {R"((Divide 1 0))", "Infinity"},
      {R"((Divide -1 0))", "-Infinity"},
      {R"((Divide 0 0))", "NaN"},
      {R"((Modulus 7 -3))", "1"},
      {R"((Modulus -7 3))", "-1"},
      {R"((Modulus 5 0))", "NaN"},
      {R"((Modulus 5 inf))", "5"},
      {R"((Modulus inf 2))", "NaN"},
      {R"((Modulus 5.5 2))", "1.5"},
      {R"((Negate "3"))", "-3"},
      {R"((Negate nan))", "NaN"},
      // Negate of 0 is -0: it prints as "0", equals 0, and divides into -Infinity.
      {R"((Negate 0))", "0"},
      {R"((Equals (Negate 0) 0))", "true"},
      {R"((Divide 1 (Negate 0)))", "-Infinity"},
      {R"((Negate (CreateObject)))", "NaN"},
      {R"((Negate))", "error 9"},
      // An array holding an unevaluated statement has no number form (its join fails).
      {R"((Subtract 1 (Quote (Break))))", "error 5"},
      {R"((Divide (Break) 1))", "error 4"},
  });
}

TEST_F(OperatorsTest, ArgumentsAreEvaluatedBeforeTheCountIsChecked) {
  APMPRuntime runtime;
  EXPECT_EQ(script_test::Run(runtime, R"((Var "x") (Subtract 1 2 (Assign "x" 5)))"), "error 9");
  EXPECT_EQ(script_test::Run(runtime, R"((Get "x"))"), "5");
  // A comparison checks its count first and evaluates nothing.
  EXPECT_EQ(script_test::Run(runtime, R"((Assign "x" 1) (LessThan 1 2 (Assign "x" 7)))"),
            "error 9");
  EXPECT_EQ(script_test::Run(runtime, R"((Get "x"))"), "1");
}

TEST_F(OperatorsTest, PreAndPostChangeChooseTheValueTheTreeComputed) {
  Check({
      {R"((Var "x") (Assign "x" 1) (PreIncrement (Assign "x" (Add (Get "x") 1))))", "2"},
      {R"((Var "x") (Assign "x" 1) (PreDecrement (Assign "x" (Subtract (Get "x") 1))))", "0"},
      {R"((Var "x") (Assign "x" 1)
          (CreateArray (PostIncrement (Get "x") (Assign "x" (Add (Get "x") 1))) (Get "x")))",
       "[1,2]"},
      {R"((Var "x") (Assign "x" 1)
          (CreateArray (PostDecrement (Get "x") (Assign "x" (Subtract (Get "x") 1))) (Get "x")))",
       "[1,0]"},
      {R"((PreIncrement 1 2))", "error 9"},
      {R"((PostIncrement 1))", "error 9"},
  });
}

TEST_F(OperatorsTest, LooseEqualityComparesByTheLowerTypeRank) {
  Check({
      {R"((Equals nan nan))", "false"},
      {R"((Equals (Null) (Undefined)))", "true"},
      {R"((Equals (Null) 0))", "false"},
      {R"((Equals (Undefined) false))", "false"},
      {R"((Equals 1 "1"))", "true"},
      {R"((Equals true 1))", "true"},
      {R"((Equals "true" true))", "false"},
      {R"((Equals 0 ""))", "true"},
      {R"((Equals 0 (CreateArray)))", "true"},
      {R"((Equals "1,2" (CreateArray 1 2)))", "true"},
      {R"((Equals (CreateArray 1 2) "1,2"))", "true"},
      {R"((Equals "[object Object]" (CreateObject)))", "true"},
      {R"((Equals (CreateArray 1) (CreateArray 1)))", "false"},
      {R"((Var "a") (Assign "a" (CreateArray 1)) (Equals (Get "a") (Get "a")))", "true"},
      {R"((Equals (Fn "f" (Quote)) "f"))", "true"},
      {R"((NotEquals 1 "1"))", "false"},
      {R"((NotEquals (Null) 0))", "true"},
      {R"((NotEquals nan nan))", "true"},
      {R"((Equals (Break) 1))", "error 4"},
      {R"((NotEquals "a" (Break)))", "error 5"},
      {R"((Equals 1))", "error 9"},
  });
}

TEST_F(OperatorsTest, StrictEqualityNeedsTheSameKind) {
  Check({
      {R"((IdentityEquals (Null) (Undefined)))", "false"},
      {R"((IdentityEquals (Null) (Null)))", "true"},
      {R"((IdentityEquals 1 true))", "false"},
      {R"((IdentityEquals nan nan))", "false"},
      {R"((IdentityEquals 0 (Negate 0)))", "true"},
      {R"((IdentityEquals "a" "a"))", "true"},
      {R"((IdentityEquals (CreateArray) (CreateArray)))", "false"},
      {R"((IdentityNotEquals 1 "1"))", "true"},
      {R"((IdentityNotEquals "a" "a"))", "false"},
  });
}

TEST_F(OperatorsTest, OrderingComparesStringsOnlyWhenBothAreObjectsOrStrings) {
  Check({
      {R"((LessThan nan 1))", "false"},
      {R"((GreaterThanEquals nan 1))", "false"},
      {R"((LessThanEquals 1 nan))", "false"},
      {R"((LessThan (Null) 1))", "true"},
      {R"((LessThan (Undefined) 1))", "false"},
      {R"((LessThan "abc" "abd"))", "true"},
      {R"((LessThan "B" "a"))", "true"},
      {R"((LessThan "10" 9))", "false"},
      {R"((LessThan "10" "9"))", "true"},
      {R"((LessThan (CreateArray 2) 10))", "true"},
      {R"((LessThan (CreateArray 10) "9"))", "true"},
      {R"((GreaterThan 2 1))", "true"},
      {R"((GreaterThan 1 1))", "false"},
      {R"((GreaterThanEquals 1 1))", "true"},
      {R"((LessThanEquals 2 1))", "false"},
      {R"((LessThanEquals "b" "b"))", "true"},
      // Canonically equivalent texts order as equal: precomposed and decomposed e-acute.
      {"(LessThanEquals \"\xC3\xA9\" \"e\xCC\x81\")", "true"},
      {"(GreaterThanEquals \"\xC3\xA9\" \"e\xCC\x81\")", "true"},
      {"(LessThan \"\xC3\xA9\" \"e\xCC\x81\")", "false"},
      // Lone surrogates are distinct code units (the two halves of U+1F600: D83D, then DE00),
      // ordered by their values; through UTF-8 both would read as U+FFFD and compare equal.
      {"(LessThan (Apply \"\xF0\x9F\x98\x80\" \"charAt\" (CreateArray 0)) "
       "(Apply \"\xF0\x9F\x98\x80\" \"charAt\" (CreateArray 1)))",
       "true"},
      {"(LessThanEquals (Apply \"\xF0\x9F\x98\x80\" \"charAt\" (CreateArray 1)) "
       "(Apply \"\xF0\x9F\x98\x80\" \"charAt\" (CreateArray 0)))",
       "false"},
      // A lone high surrogate orders before U+FFFD itself.
      {"(LessThan (Apply \"\xF0\x9F\x98\x80\" \"charAt\" (CreateArray 0)) \"\xEF\xBF\xBD\")",
       "true"},
      {R"((LessThan (Break) 1))", "error 4"},
      {R"((GreaterThan 1 2 3))", "error 9"},
  });
}

TEST_F(OperatorsTest, LogicalOperatorsShortCircuitAndYieldOperands) {
  Check({
      // The second operand would fail with 2 (assignment to an undeclared name).
      {R"((And 0 (Assign "nope" 1)))", "0"},
      {R"((And "" 1))", "''"},
      {R"((And 1 "x"))", "'x'"},
      {R"((And 1 (Assign "nope" 1)))", "error 2"},
      {R"((Or "a" (Assign "nope" 1)))", "'a'"},
      {R"((Or 0 "y"))", "'y'"},
      {R"((Or (Null) (Undefined)))", "undefined"},
      {R"((Or 0 (Assign "nope" 1)))", "error 2"},
      {R"((Not 0))", "true"},
      {R"((Not "a"))", "false"},
      {R"((Not (CreateArray)))", "false"},
      {R"((And (Break) 1))", "error 3"},
      {R"((Not (Break)))", "error 3"},
      {R"((And 1))", "error 9"},
      {R"((Not))", "error 9"},
  });
}

TEST_F(OperatorsTest, BitwiseOperatorsWorkOn32BitIntegers) {
  Check({
      {R"((BitwiseOr 2147483648 0))", "-2147483648"},
      {R"((BitwiseOr 4294967296 0))", "0"},
      {R"((BitwiseUnsignedRightShift -1 28))", "15"},
      {R"((BitwiseUnsignedRightShift -1 0))", "4294967295"},
      {R"((BitwiseLeftShift 1 32))", "1"},
      {R"((BitwiseLeftShift 1 31))", "-2147483648"},
      {R"((BitwiseLeftShift 3 -1))", "-2147483648"},
      {R"((BitwiseRightShift -8 1))", "-4"},
      {R"((BitwiseRightShift -1 33))", "-1"},
      {R"((BitwiseAnd 5 nan))", "0"},
      {R"((BitwiseAnd "12" 10))", "8"},
      {R"((BitwiseXor 5 3))", "6"},
      {R"((BitwiseOr -1.9 0))", "-1"},
      {R"((BitwiseNot 0))", "-1"},
      {R"((BitwiseNot inf))", "-1"},
      {R"((BitwiseNot 1 2))", "error 9"},
      {R"((BitwiseAnd (Break) 1))", "error 4"},
  });
}

TEST_F(OperatorsTest, ConvertingHugeOperandsIsChargedAgainstTheInstructionLimit) {
  // A string of 2^23 units doubles past the maximum string length.
  EXPECT_EQ(script_test::Run(R"((Var "s") (Assign "s" "x")
                   (While true (Assign "s" (Add (Get "s") (Get "s"))) false (Quote)))"),
            "error 19");
  // Comparing a long string again and again runs into the instruction limit long before a
  // million comparisons of it.
  APMPRuntime runtime;
  EXPECT_EQ(script_test::Run(runtime, R"((Var "s" "n") (Assign "s" "x") (Assign "n" 0)
                   (While (LessThan (Get "n") 20) (Assign "n" (Add (Get "n") 1)) false
                     (Quote (Assign "s" (Add (Get "s") (Get "s")))))
                   (While true (Undefined) false (Quote (Equals (Get "s") "y"))))"),
            "error 18");
  EXPECT_EQ(runtime.getInstructionCount(), APMPInstructionCountHardLimit);
  // An array nested in a one-element array is charged by the text its join makes.
  EXPECT_EQ(script_test::Run(R"((Var "a" "b") (Assign "b" (CreateArray))
                   (SetProperty (Get "b") "length" 50000) (Assign "a" (CreateArray (Get "b")))
                   (While true (Undefined) false (Quote (Subtract (Get "a") 1))))"),
            "error 18");
}

}  // namespace

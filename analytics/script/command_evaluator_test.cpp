#include "analytics/script/command_evaluator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <typeinfo>

#include "analytics/script/command_registrar.h"
#include "analytics/script/commands.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/runtime.h"
#include "analytics/script/scope.h"
#include "analytics/script/script_test_support.h"

namespace {

struct Case {
  const char* program;
  const char* outcome;
};

void RunCases(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(script_test::Run(c.program), c.outcome) << c.program;
  }
}

TEST(CommandSetTest, EveryCodeBelongsToOneFamily) {
  const auto& registrar = APMPCommandRegistrar::sharedInstance();
  std::map<std::string, int> sizes;
  for (const auto& evaluator : std::vector<std::shared_ptr<APMPCommandEvaluator>>{
           std::make_shared<APMPBitwiseCommandEvaluator>(),
           std::make_shared<APMPComparisonCommandEvaluator>(),
           std::make_shared<APMPControlCommandEvaluator>(),
           std::make_shared<APMPLogicalCommandEvaluator>(),
           std::make_shared<APMPLoopCommandEvaluator>(),
           std::make_shared<APMPMathCommandEvaluator>(),
           std::make_shared<APMPVariableCommandEvaluator>()}) {
    const auto& object = *evaluator;  // typeid of a plain reference: no expression to evaluate.
    sizes[typeid(object).name()] = static_cast<int>(evaluator->allSupportedCommands().size());
  }
  EXPECT_EQ(sizes[typeid(APMPBitwiseCommandEvaluator).name()], 7);
  EXPECT_EQ(sizes[typeid(APMPComparisonCommandEvaluator).name()], 8);
  EXPECT_EQ(sizes[typeid(APMPControlCommandEvaluator).name()], 14);
  EXPECT_EQ(sizes[typeid(APMPLogicalCommandEvaluator).name()], 3);
  EXPECT_EQ(sizes[typeid(APMPLoopCommandEvaluator).name()], 8);
  EXPECT_EQ(sizes[typeid(APMPMathCommandEvaluator).name()], 10);
  EXPECT_EQ(sizes[typeid(APMPVariableCommandEvaluator).name()], 12);
  EXPECT_EQ(registrar.allCommands().size(), 62u);
  for (const char16_t* unowned : {u"11", u"14", u"31", u"48", u"49", u"67", u"x"}) {
    EXPECT_EQ(registrar.evaluatorForCommand(unowned), nullptr);
  }
  EXPECT_NE(dynamic_cast<const APMPControlCommandEvaluator*>(
                registrar.evaluatorForCommand(std::u16string(APMPCommandApply))),
            nullptr);
  EXPECT_NE(dynamic_cast<const APMPVariableCommandEvaluator*>(
                registrar.evaluatorForCommand(std::u16string(APMPCommandTypeof))),
            nullptr);
}

TEST(CommandSetTest, CodesWithoutEvaluatorCallAFunctionOfThatName) {
  RunCases({
      // No function: undefined, and the arguments are never evaluated (the Assign would fail).
      {"(@11 (Assign \"q\" 1))", "undefined"},
      {"(@49)", "undefined"},
      {"(Var \"v\") (Assign \"v\" 3) (@v (Assign \"q\" 1))", "undefined"},
      // A function of that name is called with the arguments.
      {"(DefineFunction \"11\" (CreateArray \"a\") (Return (Get \"a\"))) (@11 \"x\")", "'x'"},
  });
}

TEST(CommandSetTest, ArgumentModes) {
  RunCases({
      // Evaluated families evaluate every argument before the handler checks the count.
      {"(Var \"x\") (Get \"x\" (Assign \"x\" 1))", "error 9"},
      {"(Var \"x\") (Get \"x\" (Assign \"x\" 1)) (Get \"x\")", "error 9"},
      // A failing argument gives its own code, not one of the command.
      {"(CreateArray 1 (Get 2))", "error 10"},
      {"(Typeof (Assign \"nope\" 1))", "error 2"},
      // Raw families decide themselves.
      {"(If (Assign \"nope\" 1) 1 2 3)", "error 9"},
  });
}

TEST(ControlCommandsTest, BranchesAndStatementLists) {
  RunCases({
      {"(If true)", "undefined"},
      {"(If true 1)", "1"},
      {"(If false 1)", "undefined"},
      {"(If false 1 2)", "2"},
      {"(If \"\" 1 2)", "2"},
      {"(If (Quote) 1 2)", "1"},
      {"(If)", "error 9"},
      {"(If (Break) 1 2)", "error 3"},
      {"(If true (Quote 1 2 (CreateArray 3)))", "[3]"},
      {"(If true (Quote 1 (Break) (Assign \"nope\" 1)))", "<break>"},
      {"(If true (Quote))", "undefined"},
      {"(Ternary true (Quote 1) 2)", "[1]"},
      {"(Ternary 0 1 \"b\")", "'b'"},
      {"(Ternary true 1)", "error 9"},
      {"(Block)", "undefined"},
      {"(Block 1 2)", "2"},
      {"(Block (Var \"x\") (Assign \"x\" 1)) (Get \"x\")", "undefined"},
      {"(Var \"x\") (Block (Assign \"x\" 1)) (Get \"x\")", "1"},
      {"(Block (Block (Continue) 5) 6)", "<continue>"},
      {"(Break)", "<break>"},
      {"(Continue)", "<continue>"},
      {"(Break 1)", "error 9"},
      {"(Continue 1)", "error 9"},
      {"(ExpressionList 1 2 3)", "3"},
      {"(ExpressionList)", "error 9"},
      {"(ExpressionList 1 (Break))", "error 10"},
      {"(Quote (Get \"x\") 1)", "[<statement 15>,1]"},
      {"(Quote)", "[]"},
      {"(Return)", "<return undefined>"},
      {"(Return (CreateArray 1))", "<return [1]>"},
      {"(Return 1 2)", "error 9"},
      {"(Case (Quote 1 2))", "2"},
      {"(Default (Quote (Break) 2))", "<break>"},
      {"(Case 1)", "error 10"},
      {"(Case)", "error 9"},
      // A top-level return or break does not stop the program.
      {"(Return 1) 5", "5"},
  });
}

TEST(ControlCommandsTest, Functions) {
  RunCases({
      {"(DefineFunction \"f\" (CreateArray \"a\" \"b\") (Return (Get \"b\"))) (@f 1 2)", "2"},
      {"(DefineFunction \"f\" (CreateArray \"a\" \"b\") (Return (Get \"b\"))) (@f 1)", "undefined"},
      {"(DefineFunction \"f\" (CreateArray \"a\") (Return (Get \"a\"))) (@f 1 (Assign \"n\" 1))",
       "error 2"},  // Extra arguments are still evaluated.
      {"(DefineFunction \"f\" (CreateArray) (Return 1) (Assign \"nope\" 2)) (@f)", "1"},
      {"(DefineFunction \"f\" (CreateArray) 7) (@f)", "7"},
      {"(DefineFunction \"f\" (CreateArray) (Break) 7) (@f)", "<break>"},
      {"(DefineFunction \"f\" (CreateArray))", "function f"},
      {"(Fn \"g\" (CreateArray)) (Get \"g\")", "undefined"},  // An expression binds nothing.
      {"(Fn \"g\")", "error 9"},
      {"(Fn \"g\" 1)", "error 10"},
      {"(Fn (Get \"x\") (CreateArray))", "error 5"},
      {"(Fn \"g\" (CreateArray (Break)))", "error 5"},
      // Closures see the scope in which the function was made.
      {"(DefineFunction \"mk\" (CreateArray \"v\") (Return (Fn \"in\" (CreateArray) (Return (Get "
       "\"v\"))))) (Var \"g\") (Assign \"g\" (@mk 7)) (@g)",
       "7"},
      // A declaration replaces the binding of an enclosing scope.
      {"(Var \"f\") (Block (DefineFunction \"f\" (CreateArray) (Return 1))) (@f)", "1"},
      {"(Const \"f\" 1) (DefineFunction \"f\" (CreateArray)) (Get \"f\")", "1"},
      // Parameters shadow outer names without touching them.
      {"(Var \"a\") (Assign \"a\" 1) (DefineFunction \"f\" (CreateArray \"a\") (Assign \"a\" 2)) "
       "(@f 5) (Get \"a\")",
       "1"},
      // Unbounded recursion ends with an error instead of exhausting the stack.
      {"(DefineFunction \"f\" (CreateArray) (Return (@f))) (@f)", "error 19"},
  });
}

TEST(ControlCommandsTest, MethodCalls) {
  RunCases({
      {"(Apply (CreateObject \"f\" (Fn \"f\" (CreateArray \"x\") (Return (Get \"x\")))) \"f\" "
       "(CreateArray 9))",
       "9"},
      {"(Apply (CreateObject \"a\" 1) \"hasOwnProperty\" (CreateArray \"a\"))", "true"},
      {"(Apply (CreateObject \"a\" 1) \"a\" (CreateArray))", "error 17"},
      {"(Apply 12 \"toString\" (CreateArray))", "'12'"},
      {"(Apply 12 \"nothing\" (CreateArray))", "error 17"},
      {"(Apply (Null) \"toString\" (CreateArray))", "error 7"},
      {"(Apply (Undefined) \"toString\" (CreateArray))", "error 7"},
      {"(Apply 1 2 (CreateArray))", "error 10"},
      {"(Apply 1 \"toString\" 3)", "error 10"},
      {"(Apply 1 \"toString\")", "error 9"},
      {"(Apply (Fn \"f\" (CreateArray)) \"toString\" (CreateArray))", "'f'"},
      {"(Var \"f\") (Assign \"f\" (Fn \"f\" (CreateArray))) (SetProperty (Get \"f\") \"g\" (Fn "
       "\"g\" (CreateArray) (Return 4))) (Apply (Get \"f\") \"g\" (CreateArray))",
       "4"},
  });
}

TEST(ControlCommandsTest, Switch) {
  // Each body records itself in the map "log"; d is the default body.
  auto body = [](const std::string& name, bool breaks) {
    return "(Case (Quote (SetProperty (Get \"log\") \"" + name + "\" 1)" +
           (breaks ? " (Break)" : "") + "))";
  };
  auto program = [&](const std::string& discriminant, const std::string& tests,
                     const std::string& bodies) {
    return "(Var \"log\") (Assign \"log\" (CreateObject)) (Var \"r\") (Assign \"r\" (Switch " +
           discriminant + " (Quote " + tests + ") (Quote " + bodies +
           "))) (CreateArray (Get "
           "\"r\") (Get \"log\"))";
  };
  std::string fallThrough = body("b1", false) + body("b2", false) + body("b3", false) +
                            "(Default (Quote (SetProperty (Get \"log\") \"d\" 1)))";
  struct SwitchCase {
    std::string program;
    const char* outcome;
  } cases[] = {
      {program("2", "1 2 3", fallThrough), "[undefined,{b2:1,b3:1,d:1}]"},
      {program("2", "1 2 3", body("b1", false) + body("b2", true) + body("b3", false)),
       "[undefined,{b2:1}]"},
      {program("9", "1 2 3", fallThrough), "[undefined,{d:1}]"},
      {program("9", "1 2 3", body("b1", false) + body("b2", false) + body("b3", false)),
       "[undefined,{}]"},
      {program("1", "\"1\" 1", body("b1", false) + body("b2", false)), "[undefined,{b2:1}]"},
      // A body list shorter than the tests ends the switch at the missing body.
      {program("2", "1 2 3", body("b1", false)), "[undefined,{}]"},
      {program("1", "1 2", body("b1", false)), "[undefined,{b1:1}]"},
      {"(Switch 1 2 (Quote))", "error 9"},
      {"(Switch 1 (Quote) 2)", "error 9"},
      {"(Switch 1 (Quote))", "error 9"},
      {"(Switch 1 (Quote (Get 5)) (Quote))", "error 10"},
      // Continue and return leave the switch as its result.
      {"(Switch 1 (Quote 1) (Quote (Case (Quote (Continue)))))", "<continue>"},
      {"(Switch 1 (Quote 2) (Quote (Case (Quote 1)) (Default (Quote (Return 3)))))", "<return 3>"},
      {"(Switch 1 (Quote 2) (Quote (Case (Quote 1)) (Default (Quote (Break)))))", "undefined"},
      {"(DefineFunction \"f\" (CreateArray) (Switch 1 (Quote 1) (Quote (Case (Quote (Return 5))))) "
       "(Return 0)) (@f)",
       "5"},
  };
  for (const auto& c : cases) EXPECT_EQ(script_test::Run(c.program), c.outcome) << c.program;
}

TEST(VariableCommandsTest, DeclarationsAndAssignment) {
  RunCases({
      {"(Var \"x\") (Assign \"x\" 5) (Get \"x\")", "5"},
      {"(Var \"x\") (Assign \"x\" 5)", "5"},
      {"(Assign \"x\" 1)", "error 2"},
      {"(Get \"x\")", "undefined"},
      {"(Assign 1 2)", "error 10"},
      {"(Assign \"x\")", "error 9"},
      {"(Get)", "error 9"},
      {"(Get 1)", "error 10"},
      {"(Var)", "undefined"},
      {"(Var \"a\" 1)", "error 10"},
      {"(Var \"a\" 1) (Get \"a\")", "error 10"},
      {"(Var \"x\") (Assign \"x\" 5) (Var \"x\") (Get \"x\")", "undefined"},
      {"(Const \"x\" 1) (Assign \"x\" 2)", "2"},
      {"(Const \"x\" 1) (Assign \"x\" 2) (Get \"x\")", "1"},
      {"(Const \"x\" 1) (Var \"x\") (Get \"x\")", "1"},
      {"(Const \"x\" 1) (Const \"x\" 2) (Get \"x\")", "1"},
      {"(Const \"x\")", "error 9"},
      {"(Const 1 2)", "error 10"},
      {"(Const \"a\" 1 2 3) (Get \"a\")", "error 10"},
      {"(Const \"a\" 1 \"b\" 2) (CreateArray (Get \"a\") (Get \"b\"))", "[1,2]"},
      {"(Null (Assign \"y\" 1))", "error 2"},
      {"(Null 1 2)", "null"},
      {"(Undefined 1)", "undefined"},
  });
}

TEST(VariableCommandsTest, LiteralsAndTypes) {
  RunCases({
      {"(CreateArray)", "[]"},
      {"(CreateArray 1 \"a\" true (Null))", "[1,'a',true,null]"},
      {"(CreateObject)", "{}"},
      {"(CreateObject \"a\" 1 \"b\" (CreateArray))", "{a:1,b:[]}"},
      {"(CreateObject 1 \"a\" \"1\" \"b\")", "{1:'b'}"},
      {"(CreateObject 1)", "error 9"},
      {"(CreateObject (Break) 1)", "error 5"},
      {"(Typeof (Null))", "'object'"},
      {"(Typeof (CreateArray))", "'object'"},
      {"(Typeof (CreateObject))", "'object'"},
      {"(Typeof (Fn \"f\" (CreateArray)))", "'function'"},
      {"(Typeof (Get \"require\"))", "'function'"},
      {"(Typeof 1)", "'number'"},
      {"(Typeof nan)", "'number'"},
      {"(Typeof \"s\")", "'string'"},
      {"(Typeof false)", "'boolean'"},
      {"(Typeof (Undefined))", "'undefined'"},
      {"(Typeof (Break))", "'object'"},
      {"(Typeof)", "error 9"},
  });
}

TEST(VariableCommandsTest, PropertyAccess) {
  for (const char* get : {"GetProperty", "GetIndex"}) {
    std::string g = get;
    std::vector<std::pair<std::string, std::string>> cases = {
        {"(" + g + " \"abc\" \"length\")", "3"},
        {"(" + g + " \"abc\" 1)", "'b'"},
        {"(" + g + " \"abc\" \"1\")", "'b'"},
        {"(" + g + " \"abc\" 3)", "undefined"},
        {"(" + g + " \"abc\" -1)", "undefined"},
        {"(" + g + " \"abc\" 1.5)", "undefined"},
        {"(" + g + " \"abc\" \"x\")", "undefined"},
        {"(" + g + " \"\xf0\x9f\x98\x80\" \"length\")", "2"},
        {"(" + g + " 5 \"x\")", "undefined"},
        {"(" + g + " (Null) \"x\")", "undefined"},
        {"(" + g + " true \"x\")", "undefined"},
        {"(" + g + " (CreateArray 1 2) \"length\")", "2"},
        {"(" + g + " (CreateArray 1 2) 1)", "2"},
        {"(" + g + " (CreateArray 1 2) \"1\")", "2"},
        {"(" + g + " (CreateArray 1 2) 5)", "undefined"},
        {"(" + g + " (CreateObject \"a\" 1) \"a\")", "1"},
        {"(" + g + " (CreateObject \"1\" 1) 1)", "1"},
        {"(" + g + " (CreateObject \"a\" 1) \"b\")", "undefined"},
        {"(" + g + " (CreateObject \"a\" 1) (Break))", "error 5"},
        {"(" + g + " (CreateObject))", "error 9"},
    };
    for (const auto& [program, outcome] : cases)
      EXPECT_EQ(script_test::Run(program), outcome) << program;
  }
  RunCases({
      {"(SetProperty \"abc\" \"x\" 1)", "1"},
      {"(Var \"s\") (Assign \"s\" \"abc\") (SetProperty (Get \"s\") 0 \"z\") (Get \"s\")", "'abc'"},
      {"(SetProperty (Null) \"x\" 1)", "error 6"},
      {"(SetProperty (Undefined) \"x\" 1)", "error 6"},
      {"(SetProperty 5 \"x\" 1)", "1"},
      {"(SetProperty (CreateObject) \"x\")", "error 9"},
      {"(Var \"m\") (Assign \"m\" (CreateObject)) (SetProperty (Get \"m\") 1 \"v\") (Get \"m\")",
       "{1:'v'}"},
      {"(SetProperty (CreateObject) (Break) 1)", "error 5"},
      {"(Var \"a\") (Assign \"a\" (CreateArray)) (SetProperty (Get \"a\") 2 \"v\") (Get \"a\")",
       "[<hole>,<hole>,'v']"},
      {"(Var \"a\") (Assign \"a\" (CreateArray 1 2 3)) (SetProperty (Get \"a\") \"length\" 1) "
       "(Get \"a\")",
       "[1]"},
      {"(SetProperty (CreateArray) \"length\" -1)", "error 11"},
      {"(SetProperty (CreateArray) 100000000 1)", "error 19"},
      {"(Var \"f\") (Assign \"f\" (Fn \"f\" (CreateArray))) (SetProperty (Get \"f\") \"p\" 2) "
       "(GetProperty (Get \"f\") \"p\")",
       "2"},
  });
}

TEST(EvaluatorTest, InstructionLimit) {
  APMPRuntime runtime;
  APMPScopeRef scope = runtime.getRunScope();
  APMPValueRef literal = APMPNumberValue::numberWithDouble(1);
  APMPError error;
  for (int i = 0; i < APMPInstructionCountHardLimit && !error; ++i) {
    APMPEvaluator::evaluateStatement(literal, scope, &error);
  }
  EXPECT_FALSE(error);
  EXPECT_EQ(runtime.getInstructionCount(), APMPInstructionCountHardLimit);
  APMPValueRef result = APMPEvaluator::evaluateStatement(literal, scope, &error);
  EXPECT_TRUE(APMPErrorHasCode(error, 18));
  EXPECT_TRUE(result->isUndefined());
  EXPECT_EQ(runtime.getInstructionCount(), APMPInstructionCountHardLimit);
  runtime.resetInstructionCount();
  EXPECT_EQ(runtime.getInstructionCount(), 0);
}

TEST(EvaluatorTest, ProgramsCannotResetTheirCount) {
  APMPRuntime runtime;
  EXPECT_EQ(script_test::Run(runtime,
                             "(Var \"runtime.counter\") (Assign \"runtime.counter\" 0) "
                             "(DefineFunction \"f\" (CreateArray \"runtime.counter\") 1) (@f 0)"),
            "1");
  EXPECT_GT(runtime.getInstructionCount(), 10);
}

TEST(EvaluatorTest, CounterOutsideARuntimeIsAVariable) {
  APMPScopeRef root = APMPScope::create();
  APMPScopeRef child = root->createChildScope();
  APMPError error;
  EXPECT_EQ(APMPIncrementInstructionCounter(child, &error), 1);
  EXPECT_EQ(APMPIncrementInstructionCounter(child, &error), 2);
  EXPECT_FALSE(root->hasName(u"runtime.counter"));  // Declared where the count was made.
  root->addValue(APMPNumberValue::numberWithDouble(APMPInstructionCountHardLimit),
                 u"runtime.counter");
  EXPECT_EQ(APMPIncrementInstructionCounter(root, &error), APMPInstructionCountHardLimit);
  EXPECT_TRUE(APMPErrorHasCode(error, 18));
  error.reset();
  root->addValue(APMPControlValue::breakValue(), u"runtime.counter");
  APMPIncrementInstructionCounter(root, &error);
  EXPECT_TRUE(APMPErrorHasCode(error, 4));
}

TEST(EvaluatorTest, ExecuteStatementsStopsAtControlValuesAndErrors) {
  APMPRuntime runtime;
  APMPScopeRef scope = runtime.getRunScope();
  struct Case {
    const char* statements;
    const char* outcome;
  } cases[] = {
      {"", "undefined"},
      {"1 2", "2"},
      {"1 (Continue) (Assign \"nope\" 1)", "<continue>"},
      {"(Return 4) 5", "<return 4>"},
      {"1 (Get 5) 2", "error 10"},
  };
  for (const auto& c : cases) {
    APMPError error;
    APMPValueRef result =
        APMPEvaluator::executeStatements(script_test::Statements(c.statements), scope, &error);
    EXPECT_EQ(script_test::Outcome(result, error), c.outcome) << c.statements;
  }
  APMPError error;
  APMPValueList results =
      APMPEvaluateArguments(script_test::Statements("1 (Get 5) 2"), scope, &error);
  EXPECT_EQ(results.size(), 2u);
  EXPECT_TRUE(APMPErrorHasCode(error, 10));
}

TEST(EvaluatorTest, ArgumentCountChecks) {
  APMPValueList two(2, APMPUndefined());
  APMPError error;
  EXPECT_TRUE(APMPHasExpectedArgumentLength(two, 2, &error));
  EXPECT_TRUE(APMPAssertArgumentsAtLeast(two, 2, &error));
  EXPECT_TRUE(APMPAssertArgumentsAtMost(two, 2, &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(APMPHasExpectedArgumentLength(two, 1, &error));
  EXPECT_TRUE(APMPErrorHasCode(error, 9));
  error.reset();
  EXPECT_FALSE(APMPAssertArgumentsAtLeast(two, 3, &error));
  EXPECT_TRUE(APMPErrorHasCode(error, 9));
  error.reset();
  EXPECT_FALSE(APMPAssertArgumentsAtMost(two, 1, &error));
  EXPECT_TRUE(APMPErrorHasCode(error, 9));
}

TEST(EvaluatorTest, IntegerConversions) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double value;
    int32_t int32;
    uint32_t uint32;
  } cases[] = {
      {2147483648.0, -2147483647 - 1, 2147483648u},
      {4294967296.0, 0, 0},
      {-1.5, -1, 4294967295u},
      {-1, -1, 4294967295u},
      {nan, 0, 0},
      {inf, 0, 0},
      {-inf, 0, 0},
      {4294967297.9, 1, 1},
      {-4294967297.0, -1, 4294967295u},
      {1e300, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMPToInt32(c.value), c.int32) << c.value;
    EXPECT_EQ(APMPToUInt32(c.value), c.uint32) << c.value;
  }
  EXPECT_EQ(APMPToInteger(nan), 0);
  EXPECT_EQ(APMPToInteger(-2.7), -2);
  EXPECT_EQ(APMPToInteger(2.7), 2);
  EXPECT_EQ(APMPToInteger(inf), inf);
  EXPECT_TRUE(std::signbit(APMPToInteger(-0.0)));
  EXPECT_TRUE(std::signbit(APMPToInteger(-0.5)));
}

}  // namespace

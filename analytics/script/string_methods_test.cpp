#include "analytics/script/string_methods.h"

#include <gtest/gtest.h>

#include <string>

#include "analytics/script/evaluator.h"
#include "analytics/script/method_test_support.h"
#include "analytics/script/runtime.h"
#include "platform/foundation/locale.h"

namespace {

// A call: receiver text (a string literal form), method, argument forms, rendered outcome.
struct Case {
  const char* receiver;
  const char* method;
  const char* arguments;
  const char* expected;
};

class StringMethodsTest : public ::testing::Test {
 protected:
  void TearDown() override { fnd::SetCurrentLocaleForTesting(std::nullopt); }

  void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      APMPRuntime runtime;
      script_test::Evaluate(runtime, R"((Var "log") (Assign "log" (CreateArray))
          (DefineFunction "record" (Quote "a" "b" "c")
            (SetProperty (Get "log") 0 (CreateArray (Get "a") (Get "b") (Get "c")))
            (Return "<f>")))");
      EXPECT_EQ(script_test::CallMethod(runtime, c.receiver, c.method, c.arguments), c.expected)
          << c.receiver << "." << c.method << "(" << c.arguments << ")";
    }
  }
};

TEST_F(StringMethodsTest, CharAtAndHasOwnProperty) {
  Check({
      {R"("abc")", "charAt", "1", "'b'"},
      {R"("abc")", "charAt", "-1", "''"},
      {R"("abc")", "charAt", "3", "''"},
      {R"("abc")", "charAt", "inf", "''"},
      {R"("abc")", "charAt", "", "'a'"},
      {R"("abc")", "charAt", "nan", "'a'"},
      {R"("abc")", "charAt", "1.9", "'b'"},
      {R"("abc")", "charAt", "1 2", "error 9"},
      {R"("abc")", "hasOwnProperty", "2", "true"},
      {R"("abc")", "hasOwnProperty", "3", "false"},
      {R"("abc")", "hasOwnProperty", R"("1")", "true"},
      {R"("abc")", "hasOwnProperty", R"("01")", "true"},
      {R"("abc")", "hasOwnProperty", "1.5", "false"},
      {R"("abc")", "hasOwnProperty", R"("x")", "false"},
      {R"("abc")", "hasOwnProperty", R"("length")", "true"},
      {R"("abc")", "hasOwnProperty", "", "error 9"},
      {R"("abc")", "hasOwnProperty", "(Break)", "error 5"},
  });
}

TEST_F(StringMethodsTest, PlainSearchesNeverFindTheEmptyText) {
  Check({
      {R"("abc")", "indexOf", R"("")", "-1"},
      {R"("abc")", "lastIndexOf", R"("")", "-1"},
      {R"("abcabc")", "indexOf", R"("c" 3)", "5"},
      {R"("abcabc")", "indexOf", R"("c" -5)", "2"},
      {R"("abcabc")", "indexOf", R"("c" inf)", "-1"},
      {R"("abcabc")", "lastIndexOf", R"("a" 2)", "0"},
      {R"("abcabc")", "lastIndexOf", R"("a")", "3"},
      {R"("abcabc")", "lastIndexOf", R"("a" nan)", "3"},
      {R"("abcabc")", "lastIndexOf", R"("a" -1)", "0"},
      {R"("abcabc")", "lastIndexOf", R"("bc" 4)", "4"},
      {R"("abcabc")", "lastIndexOf", R"("bc" 3)", "1"},
      {R"("a undefined")", "indexOf", "", "2"},
      // Canonically equivalent sequences match: a decomposed e-acute finds the precomposed one.
      {"\"caf\xC3\xA9\"", "indexOf", "\"e\xCC\x81\"", "3"},
      {R"("abc")", "indexOf", R"("a" 0 1)", "error 9"},
  });
}

TEST_F(StringMethodsTest, MatchAndSearchTakePatternStrings) {
  Check({
      {R"("a1b22")", "match", R"("[0-9]+")", "['1']"},
      {R"("a1b22")", "match", R"x("([a-z])([0-9])")x", "['a1']"},
      {R"("abc")", "match", R"("x")", "null"},
      {R"("abc")", "match", "", "['']"},
      {R"("abc")", "match", R"("")", "['']"},
      {R"("ABC")", "match", R"("b")", "null"},
      {R"("a\nb")", "match", R"("^b")", "null"},
      {R"("abc")", "match", R"("(")", "error NSCocoaErrorDomain 2048"},
      {R"("abc")", "search", R"("c")", "2"},
      {R"("abc")", "search", R"("")", "0"},
      {R"("abc")", "search", R"("z")", "-1"},
      {R"("xundefined")", "search", "", "1"},
      {R"("abc")", "search", R"("[")", "error NSCocoaErrorDomain 2048"},
      {R"("abc")", "search", R"("a" "b")", "error 9"},
  });
}

TEST_F(StringMethodsTest, PathologicalPatternsFailWithTheWorkLimitError) {
  // "(a+)+$" against a long run of "a" followed by "b" backtracks exponentially.
  std::string subject = "\"" + std::string(40, 'a') + "b\"";
  Check({
      {subject.c_str(), "search", R"("(a+)+$")", "error org.unicode.icu 66322"},
  });
}

TEST_F(StringMethodsTest, ReplaceSubstitutesTheFirstPlainOccurrence) {
  Check({
      {R"("a.b.c")", "replace", R"("." "-")", "'a-b.c'"},
      {R"("abc")", "replace", R"("" "x")", "'xabc'"},
      {R"("abc")", "replace", R"("b")", "'aundefinedc'"},
      {R"("abc")", "replace", R"("b" "$&")", "'a$&c'"},
      {R"("abc")", "replace", R"("z" (Break))", "'abc'"},
      {R"("abc")", "replace", R"("b" 1)", "'a1c'"},
      {R"("abc")", "replace", R"("b" (Get "record"))", "'a<f>c'"},
      {R"("abc")", "replace", R"("b" (Break))", "error 5"},
      {R"("abc")", "replace", R"("a" "b" "c")", "error 9"},
  });
  // The function is called once with the search text, the index and the whole text.
  APMPRuntime runtime;
  script_test::Evaluate(runtime, R"((Var "calls") (Assign "calls" (CreateArray))
      (DefineFunction "f" (Quote "s" "i" "t")
        (SetProperty (Get "calls") (GetProperty (Get "calls") "length")
          (CreateArray (Get "s") (Get "i") (Get "t")))
        (Return (Get "i"))))");
  EXPECT_EQ(script_test::CallMethod(runtime, R"("abc")", "replace", R"("b" (Get "f"))"), "'a1c'");
  EXPECT_EQ(script_test::Show(script_test::Evaluate(runtime, R"((Get "calls"))")),
            "[['b',1,'abc']]");
}

TEST_F(StringMethodsTest, SliceAndSubstringClampTheirBounds) {
  Check({
      {R"("abc")", "slice", "-2", "'bc'"},
      {R"("abc")", "slice", "2 1", "''"},
      {R"("abc")", "slice", "", "'abc'"},
      {R"("abc")", "slice", "-inf 2", "'ab'"},
      {R"("abc")", "slice", "1 -1", "'b'"},
      {R"("abc")", "slice", "0 inf", "'abc'"},
      {R"("abc")", "slice", "1 2 3", "error 9"},
      {R"("abc")", "substring", "2 0", "'ab'"},
      {R"("abc")", "substring", "0 inf", "'abc'"},
      {R"("abc")", "substring", "-5 2", "'ab'"},
      {R"("abc")", "substring", "1", "'bc'"},
      {R"("abc")", "substring", "nan 1", "'a'"},
      {R"("abc")", "substring", "(Break)", "error 4"},
  });
}

TEST_F(StringMethodsTest, SplitAtEveryOccurrenceUpToTheLimit) {
  Check({
      {R"("a,b,,c")", "split", R"(",")", "['a','b','','c']"},
      {R"(",a,")", "split", R"(",")", "['','a','']"},
      {R"("a,b")", "split", R"("," 1)", "['a']"},
      {R"("abc")", "split", R"("")", "['a','b','c']"},
      {R"("abc")", "split", R"("" 2)", "['a','b']"},
      {R"("abc")", "split", R"("," 0)", "[]"},
      {R"("abc")", "split", R"("," -1)", "['abc']"},
      {R"("abc")", "split", "", "['abc']"},
      {R"("")", "split", R"("")", "['']"},
      {R"("")", "split", "(Break)", "['']"},
      {R"("aundefinedb")", "split", "(Undefined)", "['a','b']"},
      {R"("a--b")", "split", R"("--")", "['a','b']"},
      {R"("a,b")", "split", R"("," 1 2)", "error 9"},
  });
}

TEST_F(StringMethodsTest, CaseMappingTrimAndConcat) {
  Check({
      {"\"stra\xC3\x9F"
       "e\"",
       "toUpperCase", "", "'STRASSE'"},
      {R"("ÀB")", "toLowerCase", "", "'àb'"},
      {R"("abc")", "toUpperCase", "1", "error 9"},
      {R"("abc")", "toString", "", "'abc'"},
      {R"("abc")", "toString", "1", "error 9"},
      {"\"\t x \n\"", "trim", "", "'x'"},
      // No-break space, ideographic space and next line are trimmed too.
      {"\"\xC2\xA0\xE3\x80\x80x y\xC2\x85\"", "trim", "", "'x y'"},
      {R"("a")", "concat", R"(1 (Null) (CreateArray 2 3))", "'a1null2,3'"},
      {R"("a")", "concat", "", "'a'"},
      {R"("a")", "concat", "(Break)", "error 5"},
      {R"("abc")", "foo", "", "error 17"},
  });
}

TEST_F(StringMethodsTest, LocaleCaseMappingUsesTheCurrentLocale) {
  fnd::SetCurrentLocaleForTesting("tr_TR");
  Check({
      {R"("i")", "toLocaleUpperCase", "", "'\xC4\xB0'"},
      {R"("I")", "toLocaleLowerCase", "", "'\xC4\xB1'"},
      {R"("i")", "toUpperCase", "", "'I'"},
  });
  fnd::SetCurrentLocaleForTesting("en_US");
  Check({
      {R"("i")", "toLocaleUpperCase", "", "'I'"},
  });
}

TEST_F(StringMethodsTest, IndexesCountUTF16Units) {
  // U+1F600 takes two code units.
  Check({
      {"\"\xF0\x9F\x98\x80x\"", "indexOf", R"("x")", "2"},
      {"\"\xF0\x9F\x98\x80x\"", "charAt", "2", "'x'"},
      {"\"\xF0\x9F\x98\x80x\"", "slice", "2", "'x'"},
      {"\"\xF0\x9F\x98\x80x\"", "search", R"("x")", "2"},
      {"\"\xF0\x9F\x98\x80x\"", "hasOwnProperty", "2", "true"},
  });
}

TEST_F(StringMethodsTest, ApplyReachesTheStringMethods) {
  EXPECT_EQ(script_test::Run(R"((Apply "a,b" "split" (CreateArray ",")))"), "['a','b']");
  EXPECT_EQ(script_test::Run(R"((Apply "abc" "toUpperCase" (CreateArray 1)))"), "error 9");
  // A hostile loop of scans over a long string stops at the instruction limit.
  APMPRuntime runtime;
  EXPECT_EQ(script_test::Run(runtime, R"((Var "s" "n") (Assign "s" "x") (Assign "n" 0)
      (While (LessThan (Get "n") 20) (Assign "n" (Add (Get "n") 1)) false
        (Quote (Assign "s" (Add (Get "s") (Get "s")))))
      (While true (Undefined) false (Quote (Apply (Get "s") "indexOf" (CreateArray "y")))))"),
            "error 18");
}

}  // namespace

#include "analytics/script/runtime_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analytics/script/array_value.h"
#include "analytics/script/function_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/scope.h"
#include "analytics/script/script_test_support.h"
#include "platform/foundation/text.h"

namespace {

using script_test::Show;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

APMPValueRef Num(double value) { return APMPNumberValue::numberWithDouble(value); }
APMPValueRef Str(const std::string& text) { return APMPStringValue::stringWithUTF8(text); }
APMPValueRef Bool(bool value) { return APMPBooleanValue::booleanValueWithBool(value); }
const APMPValueRef& Hole() { return APMPArrayValue::emptyValue(); }

std::shared_ptr<APMPArrayValue> Array(APMPValueList elements) {
  return std::make_shared<APMPArrayValue>(std::move(elements));
}

std::string Text(const APMPValueRef& value, APMPError* error) {
  return fnd::FromUTF16(value->stringValueOrError(error));
}

TEST(NumberToStringTest, FollowsTheFormatterRules) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {kNaN, "NaN"},
      {kInf, "Infinity"},
      {-kInf, "-Infinity"},
      {0.0, "0"},
      {-0.0, "0"},
      {1, "1"},
      {-42, "-42"},
      {1.1, "1.1000000000000001"},
      {0.5, "0.5"},
      {1234567, "1234567"},
      {123.456, "123.456"},
      {1e20, "100000000000000000000"},
      {1e21, "1e+21"},
      {-1.5e22, "-1.5e+22"},
      {1e-6, "0.00000099999999999999995"},
      {1e-7, "1e-7"},
      {2.5e-8, "2.5e-8"},
      {0.1, "0.10000000000000001"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fnd::FromUTF16(APMPNumberToString(c.value)), c.text) << c.value;
  }
}

TEST(StringToNumberTest, ScansTheWholeTrimmedText) {
  struct Case {
    std::u16string text;
    double value;  // NaN expected when isnan.
  } cases[] = {
      {u" 12 ", 12},
      {u"\t\n12\n", 12},
      {u"", 0},
      {u"   ", 0},
      {u"12abc", kNaN},
      {u"Infinity", kInf},
      {u"-Infinity", -kInf},
      {u"NaN", kNaN},
      {u"infinity", kNaN},
      {u"-1.5e3", -1500},
      {u"+4", 4},
      {u".5", 0.5},
      {u"5.", 5},
      {u"1e", kNaN},
      {u"0x10", kNaN},
      {u"1e400", kInf},
      {u"\u00a012\u2003", 12},  // Unicode spaces are trimmed too.
      {u"\uff11", kNaN},        // Only ASCII digits.
  };
  for (const auto& c : cases) {
    double value = APMPStringToNumber(c.text);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(value)) << fnd::FromUTF16(c.text);
    } else {
      EXPECT_EQ(value, c.value) << fnd::FromUTF16(c.text);
    }
  }
}

TEST(RuntimeValueTest, ConversionsOfThePlainValues) {
  struct Case {
    APMPValueRef value;
    const char* string;
    double number;
    bool boolean;
  } cases[] = {
      {APMPUndefined(), "undefined", kNaN, false},
      {APMPNull(), "null", 0, false},
      {Bool(true), "true", 1, true},
      {Bool(false), "false", 0, false},
      {Num(0), "0", 0, false},
      {Num(-0.0), "0", 0, false},
      {Num(kNaN), "NaN", kNaN, false},
      {Num(2), "2", 2, true},
      {Str(""), "", 0, false},
      {Str("0"), "0", 0, true},
      {Str("x"), "x", kNaN, true},
      {std::make_shared<APMPMapValue>(), "[object Object]", kNaN, true},
      {Array({Num(1), APMPUndefined(), APMPNull(), Num(2)}), "1,,,2", kNaN, true},
      {Array({}), "", 0, true},
      {Array({Str(" 7 ")}), " 7 ", 7, true},
      {std::make_shared<APMPFunctionValue>(u"f"), "f", kNaN, true},
  };
  for (const auto& c : cases) {
    APMPError error;
    EXPECT_EQ(Text(c.value, &error), c.string);
    double number = c.value->doubleValueOrError(&error);
    if (std::isnan(c.number)) {
      EXPECT_TRUE(std::isnan(number)) << c.string;
    } else {
      EXPECT_EQ(number, c.number) << c.string;
    }
    EXPECT_EQ(c.value->booleanValueOrError(&error), c.boolean) << c.string;
    EXPECT_FALSE(error) << c.string;
  }
}

TEST(RuntimeValueTest, ValuesWithoutConversionsFail) {
  APMPValueRef values[] = {
      Hole(),
      std::make_shared<APMPStatementValue>(u"3", APMPValueList{}),
      APMPControlValue::breakValue(),
      APMPControlValue::returnValueWithData(Num(1)),
  };
  for (const auto& value : values) {
    APMPError error;
    EXPECT_EQ(value->stringValueOrError(&error), u"");
    EXPECT_TRUE(APMPErrorHasCode(error, 5)) << Show(value);
    error.reset();
    EXPECT_TRUE(std::isnan(value->doubleValueOrError(&error)));
    EXPECT_TRUE(APMPErrorHasCode(error, 4)) << Show(value);
    error.reset();
    EXPECT_FALSE(value->booleanValueOrError(&error));
    EXPECT_TRUE(APMPErrorHasCode(error, 3)) << Show(value);
    EXPECT_TRUE(error->userInfo().empty());
  }
  // An array containing such a value cannot be joined either.
  APMPError error;
  EXPECT_EQ(Array({Num(1), APMPControlValue::breakValue()})->stringValueOrError(&error), u"");
  EXPECT_TRUE(APMPErrorHasCode(error, 5));
}

TEST(RuntimeValueTest, MethodCallsOnPlainValues) {
  struct Case {
    APMPValueRef receiver;
    const char* method;
    const char* outcome;
  } cases[] = {
      {Num(1.5), "toString", "'1.5'"},     {Bool(true), "toString", "'true'"},
      {Num(1), "valueOf", "error 17"},     {APMPUndefined(), "toString", "error 7"},
      {APMPNull(), "anything", "error 7"}, {APMPControlValue::breakValue(), "toString", "error 5"},
  };
  for (const auto& c : cases) {
    APMPError error;
    auto scope = APMPScope::create();
    APMPValueRef result = c.receiver->applyWithName(fnd::ToUTF16(c.method), {}, scope, &error);
    EXPECT_EQ(script_test::Outcome(result, error), c.outcome) << Show(c.receiver) << c.method;
  }
}

TEST(RuntimeValueTest, EqualityAndStrictEquality) {
  auto map1 = std::make_shared<APMPMapValue>();
  map1->setValue(Num(1), u"a");
  auto map2 = std::make_shared<APMPMapValue>();
  map2->setValue(Num(1), u"a");
  auto map3 = std::make_shared<APMPMapValue>();
  map3->setValue(Num(2), u"a");
  auto f = std::make_shared<APMPFunctionValue>(u"f");
  auto alsoF = std::make_shared<APMPFunctionValue>(u"f");
  auto anonymous1 = std::make_shared<APMPFunctionValue>(u"");
  auto anonymous2 = std::make_shared<APMPFunctionValue>(u"");
  struct Case {
    APMPValueRef a, b;
    bool equal, strict;
  } cases[] = {
      {Num(kNaN), Num(kNaN), true, false},
      {Num(0), Num(-0.0), true, true},
      {Num(1), Bool(true), false, false},
      {Bool(true), Bool(true), true, true},
      {Str("a"), Str("a"), true, true},
      {Str("1"), Num(1), false, false},
      {APMPNull(), APMPNull(), true, true},
      {APMPUndefined(), std::make_shared<APMPUndefinedValue>(), true, false},
      {APMPNull(), APMPUndefined(), false, false},
      {map1, map2, true, false},
      {map1, map3, false, false},
      {map1, map1, true, true},
      {Array({Num(1), Str("x")}), Array({Num(1), Str("x")}), true, false},
      {Array({Num(1)}), Array({Num(1), Num(2)}), false, false},
      {f, alsoF, true, false},
      {anonymous1, anonymous2, false, false},
      {APMPControlValue::returnValueWithData(Num(1)), APMPControlValue::returnValueWithData(Num(1)),
       true, false},
      {APMPControlValue::breakValue(), APMPControlValue::continueValue(), false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a->isEqualToRuntimeValue(*c.b), c.equal) << Show(c.a) << " " << Show(c.b);
    APMPError error;
    EXPECT_EQ(APMPStrictEqualityCompare(c.a, c.b, &error), c.strict)
        << Show(c.a) << " " << Show(c.b);
    EXPECT_FALSE(error);
  }
}

TEST(RuntimeValueTest, EqualityOfCyclicContainersEnds) {
  auto a = std::make_shared<APMPMapValue>();
  auto b = std::make_shared<APMPMapValue>();
  a->setValue(a, u"self");
  b->setValue(b, u"self");
  EXPECT_FALSE(a->isEqualToRuntimeValue(*b));  // Gives up at the nesting limit.
  EXPECT_TRUE(a->isEqualToRuntimeValue(*a));
  a->mutablePropertyMap().clear();
  b->mutablePropertyMap().clear();
}

TEST(RuntimeValueTest, ValueTests) {
  struct Case {
    APMPValueRef value;
    bool zeroOrPositiveInteger, objectOrString;
  } cases[] = {
      {Num(0), true, false},
      {Num(3), true, false},
      {Num(-1), false, false},
      {Num(1.5), false, false},
      {Num(kInf), false, false},
      {Str("2"), true, true},
      {Str(" 2 "), true, true},
      {Str("x"), false, true},
      {Bool(true), false, false},
      {APMPNull(), false, false},
      {Array({}), false, true},
      {std::make_shared<APMPMapValue>(), false, true},
      {std::make_shared<APMPFunctionValue>(u"f"), false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMPIsZeroOrPositiveInteger(c.value), c.zeroOrPositiveInteger) << Show(c.value);
    EXPECT_EQ(APMPIsNonNullObjectOrString(c.value), c.objectOrString) << Show(c.value);
  }
}

TEST(ArrayValueTest, IndexesLengthAndNamedProperties) {
  auto array = Array({});
  APMPError error;
  array->setValue(Str("x"), Num(5), &error);
  EXPECT_EQ(Show(array), "[<hole>,<hole>,<hole>,<hole>,<hole>,'x']");
  EXPECT_EQ(Show(array->valueForProperty(Str("length"), &error)), "6");
  EXPECT_EQ(Show(array->valueForProperty(Num(2), &error)), "undefined");
  EXPECT_EQ(Show(array->valueForProperty(Num(9), &error)), "undefined");
  EXPECT_FALSE(array->hasProperty(Num(2), &error));
  EXPECT_TRUE(array->hasProperty(Str("5"), &error));

  array->setValue(Num(1), Str("p"), &error);
  array->setValue(Num(2), Num(1.5), &error);  // Not an integer: a named property "1.5".
  EXPECT_TRUE(array->hasProperty(Str("p"), &error));
  EXPECT_EQ(Show(array->valueForProperty(Str("1.5"), &error)), "2");
  std::string names;
  for (const auto& name : array->allPropertyNames()) names += Show(name) + " ";
  EXPECT_EQ(names, "'p' '1.5' '5' ");

  array->setValue(Num(2), Str("length"), &error);
  EXPECT_EQ(Show(array), "[<hole>,<hole>]");
  array->setValue(Num(-1), Str("length"), &error);
  EXPECT_TRUE(APMPErrorHasCode(error, 11));
  error.reset();
  array->setValue(Num(1.5), Str("length"), &error);
  EXPECT_TRUE(APMPErrorHasCode(error, 11));
  error.reset();
  EXPECT_EQ(array->count(), 2u);

  array->setValue(Num(7), Num(0), &error);
  array->removeValueForProperty(Num(0), &error);
  EXPECT_EQ(array->count(), 2u);
  EXPECT_FALSE(array->hasProperty(Num(0), &error));
  array->removeValueForProperty(Str("p"), &error);
  EXPECT_FALSE(array->hasProperty(Str("p"), &error));
  EXPECT_FALSE(error);
  EXPECT_EQ(Show(Array({Hole(), Num(1)})->allElements()[0]), "undefined");
}

TEST(ArrayValueTest, HugeIndexesAndLengthsAreRefused) {
  auto array = Array({Num(1)});
  APMPError error;
  array->setValue(Num(1), Num(1e9), &error);
  EXPECT_TRUE(APMPErrorHasCode(error, APMPErrorCodeResourceLimit));
  error.reset();
  array->setValue(Num(1e300), Str("length"), &error);
  EXPECT_TRUE(APMPErrorHasCode(error, 11));
  error.reset();
  EXPECT_EQ(Show(array->valueForProperty(Num(1e300), &error)), "undefined");
  EXPECT_EQ(array->count(), 1u);
  EXPECT_FALSE(array->setLength(APMPMaximumArrayLength + 1));
  APMPValueList many(APMPMaximumArrayLength, Num(0));
  array->appendElements(many, &error);
  EXPECT_TRUE(APMPErrorHasCode(error, APMPErrorCodeResourceLimit));
  EXPECT_EQ(array->count(), 1u);
}

TEST(ArrayValueTest, JoinsWithSeparatorsAndSurvivesCycles) {
  APMPError error;
  auto array = Array({Num(1), Hole(), APMPNull(), Str("a")});
  EXPECT_EQ(array->stringValueWithSeparator(u"-", &error), u"1---a");
  auto nested = Array({Num(1), Array({Num(2), Num(3)})});
  EXPECT_EQ(nested->stringValueWithSeparator(u";", &error), u"1;2,3");

  auto cyclic = Array({Num(1)});
  APMPError ignored;
  cyclic->appendElements({cyclic}, &ignored);
  EXPECT_EQ(cyclic->stringValueOrError(&error), u"1,");
  EXPECT_FALSE(error);
  cyclic->sweep();  // Break the cycle for the test's own memory.

  auto deep = Array({Num(1)});
  for (int i = 0; i < APMPMaximumNestingDepth + 5; ++i) deep = Array({deep});
  deep->stringValueOrError(&error);
  EXPECT_TRUE(APMPErrorHasCode(error, APMPErrorCodeResourceLimit));
}

TEST(ArrayValueTest, RangesSplicesAndSearches) {
  APMPError error;
  auto array = Array({Num(1), Num(2), Num(3), Num(4)});
  EXPECT_EQ(Show(array->subarrayWithRange(1, 2)), "[2,3]");
  EXPECT_EQ(Show(array->subarrayWithRange(-5, 2)), "[1,2]");
  EXPECT_EQ(Show(array->subarrayWithRange(3, 100)), "[4]");
  EXPECT_EQ(Show(array->subarrayWithRange(9, 1)), "[]");

  APMPValueList removed = array->spliceFrom(1, 2, {Str("a"), Str("b"), Str("c")}, &error);
  EXPECT_EQ(Show(Array(removed)), "[2,3]");
  EXPECT_EQ(Show(array), "[1,'a','b','c',4]");
  removed = array->spliceFrom(10, 5, {Num(5)}, &error);
  EXPECT_TRUE(removed.empty());
  EXPECT_EQ(Show(array), "[1,'a','b','c',4,5]");

  array->concat(Array({Hole(), Num(6)}), &error);
  array->concat(Str("z"), &error);
  EXPECT_EQ(Show(array), "[1,'a','b','c',4,5,<hole>,6,'z']");
  array->concat(array, &error);  // Itself: its elements as they were.
  EXPECT_EQ(array->count(), 18u);
  array->concat(APMPControlValue::breakValue(), &error);
  EXPECT_TRUE(APMPErrorHasCode(error, 10));
  error.reset();

  auto search = Array({Num(1), Str("1"), Hole(), Num(1), Num(kNaN)});
  EXPECT_EQ(search->indexOfValue(Str("1"), 0, &error), 1);
  EXPECT_EQ(search->indexOfValue(Num(1), 1, &error), 3);
  EXPECT_EQ(search->indexOfValue(Num(kNaN), 0, &error), -1);
  EXPECT_EQ(search->indexOfValue(APMPUndefined(), 0, &error), -1);  // Holes never match.
  EXPECT_EQ(search->lastIndexOfValue(Num(1), 10, &error), 3);
  EXPECT_EQ(search->lastIndexOfValue(Num(1), 2, &error), 0);
  EXPECT_EQ(search->lastIndexOfValue(Num(1), -1, &error), -1);

  auto ends = Array({Hole(), Num(1), Num(2)});
  EXPECT_EQ(Show(ends->removeFirstElement()), "undefined");
  EXPECT_EQ(Show(ends->removeLastElement()), "2");
  EXPECT_EQ(ends->prependElements({Num(0)}, &error), 2u);
  EXPECT_EQ(ends->appendElements({Num(9), Num(8)}, &error), 4u);
  ends->reverse();
  EXPECT_EQ(Show(ends), "[8,9,1,0]");
  EXPECT_EQ(Show(Array({})->removeFirstElement()), "undefined");
  EXPECT_FALSE(error);
}

TEST(ArrayValueTest, SortsHolesAndUndefinedLast) {
  APMPError error;
  auto scope = APMPScope::create();
  auto array = Array({Num(10), Hole(), APMPUndefined(), Num(9), Num(1)});
  array->sortUsingFunctionValue(nullptr, scope, &error);
  EXPECT_EQ(Show(array), "[1,10,9,undefined,<hole>]");

  // "é" precomposed and decomposed compare equal; the sort keeps their order.
  auto texts = Array({Str("b"), Str("\xc3\xa9"), Str("e\xcc\x81"), Str("B"), Str("a")});
  texts->sortUsingFunctionValue(nullptr, scope, &error);
  EXPECT_EQ(Show(texts), "['B','a','b','\xc3\xa9','e\xcc\x81']");

  auto broken = Array({Num(2), APMPControlValue::breakValue(), Num(1)});
  broken->sortUsingFunctionValue(nullptr, scope, &error);
  EXPECT_TRUE(APMPErrorHasCode(error, 5));
  EXPECT_EQ(broken->count(), 3u);
}

TEST(MapValueTest, PropertiesAndMethodCalls) {
  auto scope = APMPScope::create();
  auto map = std::make_shared<APMPMapValue>();
  map->setValue(Num(1), u"a");
  map->setValue(Num(2), u"b");
  map->setValue(Num(3), u"a");
  EXPECT_EQ(Show(map), "{a:3,b:2}");
  EXPECT_EQ(Show(map->valueForProperty(u"zz")), "undefined");
  struct Case {
    const char* method;
    APMPValueList arguments;
    const char* outcome;
  } cases[] = {
      {"hasOwnProperty", {Str("a")}, "true"},
      {"hasOwnProperty", {Str("c")}, "false"},
      {"hasOwnProperty", {}, "error 9"},
      {"hasOwnProperty", {Str("a"), Str("b")}, "error 9"},
      {"toString", {}, "'[object Object]'"},
      {"a", {}, "error 17"},  // A property that is no function.
      {"nothing", {}, "error 17"},
  };
  for (const auto& c : cases) {
    APMPError error;
    APMPValueRef result = map->applyWithName(fnd::ToUTF16(c.method), c.arguments, scope, &error);
    EXPECT_EQ(script_test::Outcome(result, error), c.outcome) << c.method;
  }
  map->removeValueForProperty(u"a");
  EXPECT_EQ(Show(map), "{b:2}");
}

}  // namespace

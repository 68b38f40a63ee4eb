#include "platform/flutter/channel_arguments.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/foundation/test_home.h"

namespace flutter {
namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

TEST(ChannelArgumentsTest, ReadsMapsByKeyAndKeepsTheFirstProblem) {
  fnd::ScopedTestHome home;
  struct Case {
    const char* what;
    Value arguments;
    std::function<void(ChannelArguments&)> read;
    const char* problem;  // nullptr: no problem.
  };
  const Case cases[] = {
      {"null reads as an empty map", Value(),
       [](ChannelArguments& a) {
         EXPECT_FALSE(a.string("s"));
         EXPECT_FALSE(a.boolean("b"));
         EXPECT_EQ(a.integerValue("n"), 0);
         EXPECT_TRUE(a.dictionaries("l").empty());
       },
       nullptr},
      {"values of the right kind", Dictionary{{"s", "t"}, {"b", 1.5}, {"n", "12abc"}},
       [](ChannelArguments& a) {
         EXPECT_EQ(a.string("s"), "t");
         EXPECT_TRUE(a.boolean("b"));
         EXPECT_EQ(a.integerValue("n", /*text=*/true), 12);
       },
       nullptr},
      {"a list where a map is read", Value(Array{1}), [](ChannelArguments& a) { a.any("k"); },
       "Invalid arguments for m: the arguments must be a map."},
      {"a list that is never read", Value(Array{1}), [](ChannelArguments&) {}, nullptr},
      {"the first problem wins", Dictionary{{"s", 1}, {"b", "x"}},
       [](ChannelArguments& a) {
         a.string("s");
         a.boolean("b");
       },
       "Invalid arguments for m: \"s\" must be a string."},
      {"a whole number that must be there", Dictionary{{"n", 0.5}},
       [](ChannelArguments& a) { a.integer("n"); },
       "Invalid arguments for m: \"n\" must be an integer."},
      {"list elements that are not maps", Dictionary{{"l", Array{Dictionary{}, 3}}},
       [](ChannelArguments& a) { EXPECT_EQ(a.dictionaries("l").size(), 1u); },
       "Invalid arguments for m: every element of \"l\" must be a map."},
      {"a nested map shares the problem", Dictionary{{"l", Array{Dictionary{{"line", true}}}}},
       [](ChannelArguments& a) {
         for (const Dictionary& frame : a.dictionaries("l")) {
           a.nested(Value(frame)).string("line");
         }
       },
       "Invalid arguments for m: \"line\" must be a string."},
  };
  for (const Case& c : cases) {
    ChannelArguments args = ChannelArguments::ofMap("m", c.arguments);
    c.read(args);
    EXPECT_EQ(args.ok(), c.problem == nullptr) << c.what;
    if (c.problem) {
      EXPECT_EQ(args.message(), c.problem) << c.what;
    }
  }
}

TEST(ChannelArgumentsTest, ReadsListsByPositionAndNamesArguments) {
  fnd::ScopedTestHome home;
  ChannelArguments named = ChannelArguments::ofList("m", Value(Array{7}), {"appName"});
  EXPECT_EQ(named.requiredString(0), "");
  EXPECT_EQ(named.message(), "Invalid arguments for m: \"appName\" must be a string.");

  ChannelArguments plain = ChannelArguments::ofList("m", Value(Array{true, 2, 2.5}));
  EXPECT_TRUE(plain.boolean(0, /*integersOnly=*/true));
  EXPECT_TRUE(plain.boolean(1, /*integersOnly=*/true));
  EXPECT_FALSE(plain.string(9));  // Past the end reads as null.
  EXPECT_TRUE(plain.ok());
  plain.boolean(2, /*integersOnly=*/true);
  EXPECT_EQ(plain.message(), "Invalid arguments for m: argument 2 must be a boolean.");

  ChannelArguments notAList = ChannelArguments::ofList("m", Value(Dictionary{}));
  notAList.any(0);
  EXPECT_EQ(notAList.message(),
            "Invalid arguments for m: the message must be a list of arguments.");
}

TEST(ChannelArgumentsTest, RefusesWithTheBridgesCodeAndDetails) {
  fnd::ScopedTestHome home;
  ChannelArguments args = ChannelArguments::ofMap("m", Dictionary{{"k", 1}});
  Value answer;
  FlutterResult result = [&](const Value& v) { answer = v; };
  EXPECT_FALSE(args.refused(result, "invalid-arguments"));
  EXPECT_TRUE(answer.isNull());
  args.string("k");
  EXPECT_TRUE(args.refused(result, "invalid-argument", Dictionary{{"a", 1}}));
  auto error = FlutterError::fromValue(answer);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), "invalid-argument");
  EXPECT_EQ(error->message(), "Invalid arguments for m: \"k\" must be a string.");
  EXPECT_EQ(error->details(), Value(Dictionary{{"a", 1}}));
}

TEST(ChannelArgumentsTest, TextIntegerValueReadsTheLeadingNumber) {
  fnd::ScopedTestHome home;
  struct Case {
    const char* text;
    int64_t value;
  } cases[] = {{"12abc", 12},
               {"  -7", -7},
               {"+3", 3},
               {"abc", 0},
               {"", 0},
               {"99999999999999999999", INT64_MAX},
               {"-99999999999999999999", INT64_MIN}};
  for (const Case& c : cases) EXPECT_EQ(TextIntegerValue(c.text), c.value) << c.text;
}

TEST(MethodTableTest, FindsByExactName) {
  fnd::ScopedTestHome home;
  MethodTable<int> table{{"a#one", 1}, {"a#two", 2}};
  ASSERT_NE(table.find("a#two"), nullptr);
  EXPECT_EQ(*table.find("a#two"), 2);
  EXPECT_EQ(table.find("A#two"), nullptr);
  EXPECT_EQ(table.find(""), nullptr);
}

}  // namespace
}  // namespace flutter

#include "plugins/cloud_virelda/virelda_pigeon_parser.h"

#include <gtest/gtest.h>

#include "platform/foundation/test_home.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

TEST(VireldaPigeonParserTest, EnumerationChecks) {
  struct Case {
    int64_t value;
    bool source, behavior, listen, changeType;
  } cases[] = {
      {0, true, true, true, true},      {1, true, true, true, true},
      {2, true, true, false, true},     {3, false, false, false, false},
      {-1, false, false, false, false},
  };
  for (const auto& c : cases) {
    VireldaException e;
    EXPECT_EQ(VireldaPigeonParser::parseSource(c.value, &e).has_value(), c.source) << c.value;
    EXPECT_EQ(VireldaPigeonParser::parseServerTimestampBehavior(c.value, &e).has_value(),
              c.behavior)
        << c.value;
    EXPECT_EQ(VireldaPigeonParser::parseListenSource(c.value, &e).has_value(), c.listen) << c.value;
    EXPECT_EQ(VireldaPigeonParser::toPigeonDocumentChangeType(c.value, &e).has_value(),
              c.changeType)
        << c.value;
  }
  VireldaException e;
  VireldaPigeonParser::parseListenSource(2, &e);
  EXPECT_EQ(e.name, "Invalid ListenSource");
  EXPECT_EQ(e.reason, "This ListenSource Behavior is not supported by the SDK");
  VireldaPigeonParser::parseSource(3, &e);
  EXPECT_EQ(e.name, "Invalid Source");
  VireldaPigeonParser::parseServerTimestampBehavior(3, &e);
  EXPECT_EQ(e.name, "Invalid Server Timestamp Behavior");
  VireldaPigeonParser::toPigeonDocumentChangeType(3, &e);
  EXPECT_EQ(e.name, "InvalidDocumentChangeType");
}

TEST(VireldaPigeonParserTest, ChangeIndexes) {
  struct Case {
    uint64_t sdk;
    int64_t dart;
  } cases[] = {{static_cast<uint64_t>(INT64_MAX), -1},
               {4294967295ULL, -1},
               {UINT64_MAX, -1},
               {0, 0},
               {7, 7}};
  for (const auto& c : cases) EXPECT_EQ(VireldaPigeonParser::toPigeonIndex(c.sdk), c.dart) << c.sdk;
}

TEST(VireldaPigeonParserTest, FilterTrees) {
  fnd::ScopedTestHome home;
  Value n(std::shared_ptr<fnd::Record>(DEVFieldPath::initWithFields({"n"})));
  auto leaf = [&](const char* op) {
    return Dictionary{{"fieldPath", n}, {"op", op}, {"value", 1}};
  };
  VireldaException e;
  auto tree = VireldaPigeonParser::filterFromJson(
      Dictionary{{"op", "AND"},
                 {"queries",
                  Array{leaf("=="),
                        Dictionary{{"op", "OR"}, {"queries", Array{leaf("<"), leaf("not-in")}}}}}},
      &e);
  ASSERT_NE(tree, nullptr);
  EXPECT_FALSE(tree->isOr());
  ASSERT_EQ(tree->filters().size(), 2u);
  EXPECT_TRUE(tree->filters()[1]->isOr());
  EXPECT_EQ(tree->filters()[1]->filters()[1]->op(), "not-in");

  // Operators are compared exactly, at both levels.
  for (const char* op : {"AND", "==x", "ARRAY-CONTAINS", "not_in"}) {
    e = {};
    EXPECT_EQ(VireldaPigeonParser::filterFromJson(leaf(op), &e), nullptr) << op;
    EXPECT_EQ(e.name, "InvalidOperator") << op;
    EXPECT_EQ(e.reason, "Invalid operator") << op;
  }
  e = {};
  EXPECT_EQ(VireldaPigeonParser::filterFromJson(
                Dictionary{{"op", "and"}, {"queries", Array{leaf("==")}}}, &e),
            nullptr);
  EXPECT_EQ(e.name, "InvalidOperator");
}

TEST(VireldaPigeonParserTest, MergeFieldPaths) {
  auto paths = VireldaPigeonParser::parseFieldPath(Array{Array{"a", "b"}, Array{"c"}});
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0]->canonicalString(), "a.b");
  EXPECT_EQ(paths[1]->canonicalString(), "c");
}

}  // namespace

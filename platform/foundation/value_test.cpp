#include "platform/foundation/value.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/error.h"

namespace fnd {
namespace {

TEST(ValueTest, KindsAreStrict) {
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value("1"), Value(1));
  EXPECT_EQ(Value(), Value(nullptr));
  EXPECT_EQ(Value::Int32(7), Value::Int64(7));  // Width is not part of equality...
  EXPECT_EQ(Value::Int32(7).hash(), Value::Int64(7).hash());
  EXPECT_FALSE(Value::Int32(7).isInt64());  // ...but it is remembered.
  EXPECT_TRUE(Value::Int64(7).isInt64());
  EXPECT_FALSE(Value(int64_t{5}).isInt64());
  EXPECT_TRUE(Value(int64_t{1} << 40).isInt64());
  EXPECT_TRUE(Value(uint32_t{0xffffffff}).isInt64());
  EXPECT_EQ(Value(std::nan("")), Value(std::nan("")));
  EXPECT_EQ(Value(0.0), Value(-0.0));
  EXPECT_EQ(Value(0.0).hash(), Value(-0.0).hash());
}

TEST(ValueTest, StringsOfEveryLengthBehaveAlike) {
  // Short strings are held in place and long ones shared; nothing a caller sees may differ.
  for (size_t length : {0, 1, 14, 15, 16, 17, 64}) {
    SCOPED_TRACE(length);
    const std::string text(length, 'x');
    const Value fromString{std::string(text)};
    const Value fromView{std::string_view(text)};
    const Value fromChars{text.c_str()};
    for (const Value* v : {&fromString, &fromView, &fromChars}) {
      EXPECT_TRUE(v->isString());
      EXPECT_EQ(v->kind(), Value::Kind::kString);
      EXPECT_EQ(v->asString(), text);
      ASSERT_NE(v->string(), nullptr);
      EXPECT_EQ(*v->string(), text);
      EXPECT_EQ(*v, fromString);
      EXPECT_EQ(v->hash(), fromString.hash());
      EXPECT_EQ(v->description(), "\"" + text + "\"");
    }
    Value copy = fromString;
    Value moved = std::move(copy);
    EXPECT_EQ(moved, fromString);
    EXPECT_NE(fromString, Value(Data(text.begin(), text.end())));
    EXPECT_NE(fromString, Value(text + "y"));
    // Keys of either length find their entries, in a small and in an indexed dictionary.
    for (size_t entries : {3, 40}) {
      Dictionary d;
      for (size_t i = 0; i < entries; ++i) d.set(Value(text + std::to_string(i)), Value(i));
      EXPECT_TRUE(d.set(fromString, "here"));
      EXPECT_FALSE(d.set(Value(std::string(text)), "again"));
      EXPECT_EQ(d.get(fromView), Value("again"));
      EXPECT_EQ(d.size(), entries + 1);
    }
  }
}

TEST(ValueTest, DictionaryKeepsOrderAndComparesUnordered) {
  Dictionary a{{"b", 1}, {"a", 2}, {Value(3), "three"}, {Value(Array{1, 2}), true}};
  Dictionary b{{Value(Array{1, 2}), true}, {"a", 2}, {Value(3), "three"}, {"b", 1}};
  EXPECT_EQ(a, b);
  EXPECT_EQ(Value(a).hash(), Value(b).hash());
  EXPECT_EQ(a.keys().front(), Value("b"));
  EXPECT_EQ(a.get(Value(Array{1, 2})), Value(true));
  EXPECT_FALSE(a.set("b", 9));
  EXPECT_EQ(a.keys().front(), Value("b"));
  EXPECT_EQ(a.get("b"), Value(9));
  EXPECT_NE(a, b);
  EXPECT_TRUE(a.erase("b"));
  EXPECT_EQ(a.size(), 3u);
  EXPECT_EQ(a.keys().front(), Value("a"));
}

TEST(ValueTest, LargeDictionaryUsesIndexConsistently) {
  Dictionary d;
  for (int i = 0; i < 100; ++i) d.set(i, i * 2);
  for (int i = 0; i < 100; i += 7) EXPECT_EQ(d.get(i), Value(i * 2));
  EXPECT_TRUE(d.erase(50));
  EXPECT_FALSE(d.contains(50));
  EXPECT_EQ(d.get(99), Value(198));
  Dictionary copy = d;
  EXPECT_EQ(copy.get(98), Value(196));
  EXPECT_EQ(copy, d);
}

TEST(ValueTest, DictionaryAgreesWithALinearModelThroughGrowthReserveAndErase) {
  // Keys that collide by equality across kinds of storage: Int32/Int64 of one number, 0.0/-0.0.
  auto key = [](uint32_t n) -> Value {
    switch (n % 5) {
      case 0:
        return Value::Int32(static_cast<int32_t>(n % 97));
      case 1:
        return Value::Int64(n % 97);
      case 2:
        return Value("k" + std::to_string(n % 89));
      case 3:
        return Value((n % 2) ? 0.0 : -0.0);
      default:
        return Value(Array{Value(static_cast<int>(n % 13))});
    }
  };
  std::vector<std::pair<Value, Value>> model;
  auto modelFind = [&](const Value& k) {
    for (auto& e : model) {
      if (e.first == k) return &e.second;
    }
    return static_cast<Value*>(nullptr);
  };
  Dictionary d;
  uint32_t state = 12345;
  auto next = [&] { return state = state * 1103515245u + 12345u; };
  for (int step = 0; step < 4000; ++step) {
    const uint32_t op = next() % 10;
    const Value k = key(next() >> 8);
    if (op < 6) {
      const bool added = !modelFind(k);
      if (added)
        model.emplace_back(k, step);
      else
        *modelFind(k) = Value(step);
      EXPECT_EQ(d.set(k, step), added);
    } else if (op < 8) {
      const bool present = modelFind(k) != nullptr;
      for (auto it = model.begin(); it != model.end(); ++it) {
        if (it->first == k) {
          model.erase(it);
          break;
        }
      }
      EXPECT_EQ(d.erase(k), present);
    } else if (op == 8) {
      d.reserve(model.size() + next() % 40);
    } else {
      d = Dictionary(d);  // Copies rebuild the index.
    }
    const Value probe = key(next() >> 8);
    const Value* found = d.find(probe);
    const Value* expected = modelFind(probe);
    ASSERT_EQ(found == nullptr, expected == nullptr) << step;
    if (found) {
      EXPECT_EQ(*found, *expected) << step;
    }
    ASSERT_EQ(d.size(), model.size());
    if (step % 97 == 0) {
      for (size_t i = 0; i < model.size(); ++i) {
        EXPECT_EQ(d.entries()[i].first, model[i].first);
        EXPECT_EQ(d.entries()[i].second, model[i].second);
      }
    }
  }
}

TEST(ValueTest, DictionaryFromEntriesMatchesSettingThemInOrder) {
  // Entries with repeated keys, including keys equal across storage (Int32/Int64 of a number,
  // 0.0/-0.0, short and long text), below and above the size where the index starts.
  auto key = [](size_t n, size_t distinct) -> Value {
    const size_t k = n % distinct;
    switch (k % 4) {
      case 0:
        return (n / distinct) % 2 ? Value::Int64(static_cast<int64_t>(k))
                                  : Value::Int32(static_cast<int32_t>(k));
      case 1:
        return Value("key-" + std::to_string(k));
      case 2:
        return Value(std::string(20, 'a') + std::to_string(k));
      default:
        return k == 3 ? Value((n / distinct) % 2 ? 0.0 : -0.0) : Value(static_cast<double>(k));
    }
  };
  struct Case {
    size_t entries;
    size_t distinct;
  };
  for (const Case c : {Case{0, 1}, Case{5, 5}, Case{9, 4}, Case{15, 15}, Case{16, 16}, Case{40, 17},
                       Case{1000, 1000}, Case{1000, 300}}) {
    SCOPED_TRACE(testing::Message() << c.entries << " entries, " << c.distinct << " keys");
    std::vector<Dictionary::Entry> entries;
    Dictionary expected;
    for (size_t i = 0; i < c.entries; ++i) {
      entries.emplace_back(key(i, c.distinct), Value(i));
      expected.set(key(i, c.distinct), Value(i));
    }
    Dictionary built(std::move(entries));
    ASSERT_EQ(built.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(built.entries()[i].first, expected.entries()[i].first) << i;
      EXPECT_EQ(built.entries()[i].second, expected.entries()[i].second) << i;
      EXPECT_EQ(built.get(expected.entries()[i].first), expected.entries()[i].second) << i;
    }
    // The index it built keeps working as the dictionary changes.
    EXPECT_TRUE(built.set("new", 1));
    EXPECT_FALSE(built.set("new", 2));
    EXPECT_EQ(built.get("new"), Value(2));
    if (!expected.empty()) {
      const Value first = expected.entries().front().first;
      EXPECT_TRUE(built.erase(first));
      EXPECT_FALSE(built.contains(first));
    }
  }
}

TEST(ValueTest, CopiesShareUntilWritten) {
  Value a(Array{1, 2, 3});
  Value b = a;
  b.mutableArray()->push_back(4);
  EXPECT_EQ(a.array()->size(), 3u);
  EXPECT_EQ(b.array()->size(), 4u);
}

struct Point : Record {
  int x = 0;
  explicit Point(int x) : x(x) {}
  std::string typeName() const override { return "Point"; }
  bool isEqual(const Record& o) const override {
    auto p = dynamic_cast<const Point*>(&o);
    return p && p->x == x;
  }
  size_t hash() const override { return std::hash<int>()(x); }
};

TEST(ValueTest, RecordsAndDescription) {
  Value p(std::make_shared<Point>(3));
  EXPECT_EQ(p, Value(std::make_shared<Point>(3)));
  EXPECT_EQ(p.recordAs<Point>()->x, 3);
  Dictionary d{{"k", Array{1, Value::Int64(2), 1.5, "s", Data{0xab}, Value()}}};
  d.set(p, std::vector<int32_t>{1, 2});
  EXPECT_EQ(Value(d).description(),
            R"({"k": [1, 2L, 1.5, "s", <ab>, null], <Point>: int32[1, 2]})");
}

TEST(ErrorTest, DescriptionDefaultsLikeThePlatform) {
  Error e("Dom", 3);
  EXPECT_EQ(e.localizedDescription(), "The operation couldn\u2019t be completed. (Dom error 3.)");
  EXPECT_EQ(Error::withDescription("Dom", 3, "Bad").localizedDescription(), "Bad");
  Error out;
  EXPECT_FALSE(SetError(&out, e));
  EXPECT_EQ(out, e);
  EXPECT_FALSE(SetError(nullptr, e));
}

}  // namespace
}  // namespace fnd

#include "plugins/zudiroru_core/pigeon_record.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/test_home.h"
#include "plugins/zudiroru_core/pigeon_binding.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

enum Color : int64_t { kRed = 0, kBlue = 2 };

class Inner : public zudiroru::PigeonRecordOf<Inner, 130> {
 public:
  static std::shared_ptr<Inner> makeWithName(std::optional<std::string> name) {
    return make(std::move(name));
  }
  static constexpr auto fields() { return std::make_tuple(&Inner::name); }
  std::string typeName() const override { return "Inner"; }
  std::optional<std::string> name;
};

class Outer : public zudiroru::PigeonRecordOf<Outer, 131> {
 public:
  static constexpr auto fields() {
    return std::make_tuple(&Outer::color, &Outer::flag, zudiroru::PigeonWide(&Outer::size),
                           &Outer::count, &Outer::box, &Outer::inner, &Outer::inners, &Outer::tags);
  }
  std::string typeName() const override { return "Outer"; }
  Color color = kRed;
  std::optional<bool> flag;
  std::optional<int64_t> size;
  std::optional<int64_t> count;
  std::optional<zudiroru::PigeonEnumBox<Color>> box;
  std::shared_ptr<Inner> inner;
  std::optional<std::vector<std::shared_ptr<Inner>>> inners;
  std::vector<std::string> tags;
};

std::shared_ptr<const flutter::FlutterStandardMessageCodec> Codec() {
  static const auto* codec = new std::shared_ptr<const flutter::FlutterStandardMessageCodec>(
      zudiroru::PigeonCodec({zudiroru::PigeonType::of<Inner>(Inner::kType),
                             zudiroru::PigeonType::of<Outer>(Outer::kType)}));
  return *codec;
}

TEST(PigeonRecordTest, FieldsTravelByTheirTypes) {
  fnd::ScopedTestHome home;
  auto outer = std::make_shared<Outer>();
  outer->color = kBlue;
  outer->flag = true;
  outer->size = 5;
  outer->count = 5;
  outer->box = zudiroru::PigeonEnumBox<Color>(kBlue);
  outer->inner = Inner::makeWithName("a");
  outer->inners = std::vector<std::shared_ptr<Inner>>{Inner::makeWithName(std::nullopt)};
  outer->tags = {"t"};
  // The nested message goes as a plain list, the list of messages with type bytes; the wide
  // member and the enumerations as 64-bit integers, the plain count as a 32-bit one.
  EXPECT_EQ(outer->toList(),
            (Array{Value::Int64(2), true, Value::Int64(5), 5, Value::Int64(2), Value(Array{"a"}),
                   Value(Array{Value(std::shared_ptr<fnd::Record>(Inner::makeWithName({})))}),
                   Value(Array{"t"})}));
  auto bytes = Codec()->encode(Value(std::shared_ptr<fnd::Record>(Inner::makeWithName("a"))));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, (fnd::Data{130, 12, 1, 7, 1, 'a'}));

  auto back = Codec()->decode(*Codec()->encode(Value(std::shared_ptr<fnd::Record>(outer))));
  ASSERT_TRUE(back);
  auto decoded = back->recordAs<Outer>();
  ASSERT_NE(decoded, nullptr);
  EXPECT_TRUE(decoded->isEqual(*outer));
  EXPECT_EQ(decoded->inner->name, "a");
}

TEST(PigeonRecordTest, NullAndShortListsReadAsAbsentAndWrongKindsReject) {
  fnd::ScopedTestHome home;
  auto empty = Outer::fromList(Array{});
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->color, kRed);
  EXPECT_FALSE(empty->flag);
  EXPECT_EQ(empty->inner, nullptr);
  EXPECT_TRUE(empty->tags.empty());
  EXPECT_EQ(Outer::nullableFromList(Value()), nullptr);

  struct Case {
    const char* what;
    Array list;
  } cases[] = {
      {"a color that is text", Array{"blue"}},
      {"a flag that is a double", Array{Value(), 0.5}},
      {"a count that is text", Array{Value(), Value(), Value(), "5"}},
      {"an inner that is a number", Array{Value(), Value(), Value(), Value(), Value(), 3}},
      {"an inner whose name is a number",
       Array{Value(), Value(), Value(), Value(), Value(), Value(Array{4})}},
      {"inners holding a map",
       Array{Value(), Value(), Value(), Value(), Value(), Value(), Value(Array{Dictionary{}})}},
      {"a tag that is a number",
       Array{Value(), Value(), Value(), Value(), Value(), Value(), Value(), Value(Array{1})}},
  };
  for (const Case& c : cases) EXPECT_EQ(Outer::fromList(c.list), nullptr) << c.what;
}

// A host interface with one method of each shape the binder reads.
class Api {
 public:
  using Done = std::function<void(const std::string& outcome)>;
  virtual ~Api() = default;
  void describe(std::shared_ptr<Inner> inner, std::optional<std::string> text, bool flag,
                int64_t number, Color color, Done done) {
    done((inner ? inner->name.value_or("-") : "null") + "," + text.value_or("null") + "," +
         (flag ? "yes" : "no") + "," + std::to_string(number) + "," + std::to_string(color));
  }
};

struct Adapter {
  template <typename Completion>
  static Completion make(const std::function<void(std::string)>& reply) {
    return [reply](const std::string& outcome) { reply(outcome); };
  }
};

TEST(PigeonBindTest, ReadsEachArgumentByItsParameterType) {
  fnd::ScopedTestHome home;
  auto handler = zudiroru::PigeonBind<Adapter, std::function<void(std::string)>>(&Api::describe);
  Api api;
  struct Case {
    Array message;
    const char* outcome;  // nullptr: refused.
    const char* problem;
  } cases[] = {
      {Array{Value(std::shared_ptr<fnd::Record>(Inner::makeWithName("in"))), "t", true, 7, 2},
       "in,t,yes,7,2", nullptr},
      {Array{}, "null,null,no,0,0", nullptr},
      {Array{"not a record"}, nullptr, "argument 0 must be a Inner"},
      {Array{Value(), 3}, nullptr, "argument 1 must be a string"},
      {Array{Value(), Value(), 1.5}, nullptr, "argument 2 must be a boolean"},
      {Array{Value(), Value(), Value(), "7"}, nullptr, "argument 3 must be a number"},
  };
  for (const Case& c : cases) {
    std::optional<std::string> outcome;
    auto args = flutter::ChannelArguments::ofList("describe", Value(c.message));
    handler(args, api, [&](std::string o) { outcome = o; });
    if (c.outcome) {
      EXPECT_EQ(outcome, c.outcome);
      EXPECT_TRUE(args.ok());
    } else {
      EXPECT_FALSE(outcome) << c.problem;
      EXPECT_EQ(args.message(), std::string("Invalid arguments for describe: ") + c.problem + ".");
    }
  }
}

}  // namespace

#include "analytics/script/event_editing.h"

#include <gtest/gtest.h>

#include "analytics/script/editing_callback_handler.h"
#include "analytics/script/editing_error.h"
#include "analytics/script/event_context.h"
#include "analytics/script/runtime.h"
#include "analytics/script/scope.h"
#include "analytics/script/script_test_support.h"

namespace {

using script_test::Entity;

std::shared_ptr<APMPBProgram> MakeProgram(
    const std::string& statements,
    const std::vector<std::pair<std::string, std::string>>& activities = {}) {
  auto program = APMPBProgram::initWithMessageInfo(nullptr);
  fnd::Array entities;
  for (const auto& entity : script_test::Program(statements)) {
    entities.emplace_back(std::shared_ptr<fnd::Record>(entity));
  }
  NANOSetArray(program.get(), APMPBProgram::kEntities, &entities);
  if (!activities.empty()) {
    auto list = APMPBOgtActivities::initWithMessageInfo(nullptr);
    fnd::Array items;
    for (const auto& [name, data] : activities) {
      auto activity = APMPBOgtActivity::initWithMessageInfo(nullptr);
      NANOSetString(activity.get(), APMPBOgtActivity::kName, fnd::Value(name));
      fnd::Array dataEntities;
      for (const auto& entity : script_test::Program(data)) {
        dataEntities.emplace_back(std::shared_ptr<fnd::Record>(entity));
      }
      NANOSetArray(activity.get(), APMPBOgtActivity::kEntities, &dataEntities);
      items.emplace_back(std::shared_ptr<fnd::Record>(activity));
    }
    NANOSetArray(list.get(), APMPBOgtActivities::kActivities, &items);
    NANOSetMessage(program.get(), APMPBProgram::kActivities, list.get());
  }
  return program;
}

// Declares "reg" (registerCallback) and "log" (the event logger).
const char* kPrelude =
    "(Var \"reg\") (Assign \"reg\" (@require \"internal.registerCallback\")) "
    "(Var \"log\") (Assign \"log\" (@require \"internal.eventLogger\")) ";

// A callback of the given type whose body is `body` (the event is "e").
std::string Callback(const std::string& type, const std::string& body,
                     const std::string& priority = "", const std::string& name = "cb") {
  std::string options = "(CreateObject \"type\" \"" + type + "\"" +
                        (priority.empty() ? "" : " \"priority\" " + priority) + ")";
  return "(@reg 0 (Fn \"" + name + "\" (CreateArray \"e\") " + body + ") " + options + ") ";
}

std::string Call(const std::string& method, const std::string& arguments) {
  return "(Apply (Get \"e\") \"" + method + "\" (CreateArray " + arguments + "))";
}

APMPEvent InputEvent() {
  fnd::Dictionary parameters;
  parameters.set(fnd::Value("count"), fnd::Value(int64_t{2}));
  parameters.set(fnd::Value("price"), fnd::Value(1.5));
  parameters.set(fnd::Value("label"), fnd::Value("a"));
  parameters.set(fnd::Value("_x"), fnd::Value(int64_t{1}));
  return APMPEvent("ev", 100, parameters);
}

std::string ErrorText(const fnd::Error& error) {
  return error.domain() == APMPEErrorDomain ? "editing " + std::to_string(error.code())
                                            : "runtime " + std::to_string(error.code());
}

struct Handled {
  bool result = false;
  std::string error;
  std::string name;
  fnd::Dictionary parameters;
  bool hasEdits = false;
  size_t created = 0;
};

Handled Handle(APMPEventEditing& editing, const APMPEvent& event = InputEvent()) {
  Handled handled;
  fnd::Error error;
  handled.result = editing.handleEvent(event, &error);
  if (!error.domain().empty()) handled.error = ErrorText(error);
  handled.name = editing.eventContext().outputEvent().name();
  handled.parameters = editing.eventContext().outputEvent().parameters();
  handled.hasEdits = editing.hasEdits();
  handled.created = editing.eventContext().eventsToLog().size();
  return handled;
}

std::unique_ptr<APMPEventEditing> Load(const std::string& program) {
  auto editing = std::make_unique<APMPEventEditing>();
  fnd::Error error;
  EXPECT_TRUE(editing->loadProgram(*MakeProgram(std::string(kPrelude) + program), &error))
      << error.description() << " in " << program;
  return editing;
}

TEST(EventEditingTest, CallbackResultsDecideWhetherEditsStand) {
  struct Case {
    const char* returned;
    bool keeps;
  } cases[] = {
      {"", false},
      {"(Return 0)", true},
      {"(Return 1)", true},
      {"(Return 2)", false},
      {"(Return -1)", false},
      {"(Return \"1\")", false},
      {"(Return 4294967298)", false},
      {"(Return 7.9)", true},
  };
  for (const auto& c : cases) {
    auto editing = Load(Callback("edit", Call("setEventName", "\"renamed\"") + " " + c.returned));
    Handled handled = Handle(*editing);
    EXPECT_EQ(handled.error, "") << c.returned;
    EXPECT_EQ(handled.name, c.keeps ? "renamed" : "ev") << c.returned;
    EXPECT_EQ(handled.hasEdits, c.keeps) << c.returned;
    EXPECT_EQ(handled.result, c.keeps) << c.returned;
    EXPECT_EQ(editing->eventContext().inputEvent().name(), "ev");
  }
}

TEST(EventEditingTest, PrioritiesOrderTheCallbacks) {
  auto editing = Load(Callback("edit", Call("setEventName", "\"p5a\"") + " (Return 0)", "5", "a") +
                      Callback("edit", Call("setEventName", "\"p5b\"") + " (Return 0)", "5", "b") +
                      Callback("edit", Call("setEventName", "\"p1\"") + " (Return 0)", "1", "c") +
                      Callback("create", "1", "", "d"));
  std::string keys;
  for (const auto& [key, callback] : editing->callbackHandler().editCallbacks()) {
    keys += std::to_string(key) + ":" + fnd::FromUTF16(callback->functionName()) + " ";
  }
  EXPECT_EQ(keys, "1:c 5:a 6:b ");
  EXPECT_EQ(editing->callbackHandler().createCallbacks().begin()->first, 1000);
  EXPECT_EQ(Handle(*editing).name, "p5b");  // 1, then 5, then 6.
}

TEST(EventEditingTest, NoCallbacksNoEdits) {
  auto editing = Load("");
  Handled handled = Handle(*editing);
  EXPECT_FALSE(handled.result);
  EXPECT_FALSE(handled.hasEdits);
  EXPECT_EQ(handled.created, 0u);
  EXPECT_EQ(handled.error, "");
}

TEST(EventEditingTest, CreatedEvents) {
  auto editing = Load(Callback(
      "create", "(@log \"made\" 1.9 (CreateObject \"a\" 1 \"count\" 3.7 \"gone\" (Null)))"));
  Handled handled = Handle(*editing);
  EXPECT_TRUE(handled.result);
  EXPECT_FALSE(handled.hasEdits);
  ASSERT_EQ(handled.created, 1u);
  const APMPEvent& made = editing->eventContext().eventsToLog()[0];
  EXPECT_EQ(made.name(), "made");
  EXPECT_EQ(made.timestamp(), 1);
  EXPECT_EQ(made.parameters().get(fnd::Value("a")), fnd::Value(1.0));
  // Normalised against the input event, whose "count" is an integer.
  EXPECT_EQ(made.parameters().get(fnd::Value("count")), fnd::Value::Int64(3));
  EXPECT_FALSE(made.hasParameterName("gone"));
  // The next event starts with an empty list.
  fnd::Error error;
  editing->handleEvent(InputEvent(), &error);
  EXPECT_EQ(editing->eventContext().eventsToLog().size(), 1u);
}

TEST(EventEditingTest, DiscardedEditsKeepCreatedEvents) {
  auto editing = Load(Callback(
      "edit", Call("setEventName", "\"x\"") + " (@log \"made\" 5 (CreateObject)) (Return 2)"));
  Handled handled = Handle(*editing);
  EXPECT_TRUE(handled.result);
  EXPECT_EQ(handled.name, "ev");
  EXPECT_FALSE(handled.hasEdits);
  EXPECT_EQ(handled.created, 1u);
}

TEST(EventEditingTest, AFailingCallbackRestoresTheEventAndStops) {
  auto editing = Load(Callback("edit", Call("setEventName", "\"first\"") + " (Return 0)", "1") +
                      Callback("edit", Call("setEventName", "\"second\"") + " (Get 5)", "2") +
                      Callback("edit", Call("setEventName", "\"third\"") + " (Return 0)", "3") +
                      Callback("create", "(@log \"never\" 1 (CreateObject))"));
  Handled handled = Handle(*editing);
  EXPECT_FALSE(handled.result);
  EXPECT_EQ(handled.error, "runtime 10");
  EXPECT_EQ(handled.name, "first");
  EXPECT_EQ(handled.created, 0u);
}

TEST(EventEditingTest, EventFunctions) {
  struct Case {
    std::string body;
    std::string outcome;   // The error, or the output event's name.
    fnd::Value parameter;  // The "p" parameter afterwards (null: absent).
  } cases[] = {
      {Call("setParamValue", "\"count\" 3.7"), "", fnd::Value::Int64(3)},
      {Call("setParamValue", "\"price\" 3"), "", fnd::Value(3.0)},
      {Call("setParamValue", "\"label\" 12"), "", fnd::Value("12")},
      {Call("setParamValue", "\"label\" 1.5"), "", fnd::Value("1.5")},
      {Call("setParamValue", "\"_x\" 9"), "", fnd::Value(int64_t{1})},
      {Call("setParamValue", "\"_err\" 9.9"), "", fnd::Value::Int64(9)},
      {Call("setParamValue", "\"new\" 4"), "", fnd::Value(4.0)},
      {Call("setParamValue", "\"new\" \"42\""), "", fnd::Value(42.0)},
      {Call("setParamValue", "\"label\" \"42\""), "", fnd::Value("42")},
      {Call("setParamValue", "\"new\" \"text\""), "", fnd::Value("text")},
      {Call("setParamValue", "\"label\" (Undefined)"), "", fnd::Value("")},
      {Call("setParamValue", "\"label\" (Null)"), "", fnd::Value()},
      {Call("setParamValue", "\"new\" (CreateArray (CreateObject \"k\" 1))"), "",
       fnd::Value(fnd::Array{fnd::Value(fnd::Dictionary{{fnd::Value("k"), fnd::Value(1.0)}})})},
      {Call("setParamValue", "\"new\" (Break)"), "runtime 5", fnd::Value()},
      {Call("setParamValue", "\"new\""), "runtime 9", fnd::Value()},
      {Call("setEventName", "(Null)"), "runtime 10", fnd::Value()},
      {Call("setEventName", "(Undefined)"), "runtime 10", fnd::Value()},
      {Call("setEventName", "5"), "5", fnd::Value()},
      {Call("getEventName", "1"), "runtime 9", fnd::Value()},
      {Call("setEventName", Call("getEventName", "")), "ev", fnd::Value()},
      {Call("setEventName", Call("getParamValue", "\"label\"")), "a", fnd::Value()},
      {Call("setEventName", Call("getParamValue", "\"none\"")), "runtime 10", fnd::Value()},
      {Call("setEventName", Call("getTimestamp", "")), "100", fnd::Value()},
      {Call("setEventName", "(GetProperty " + Call("getParams", "") + " \"price\")"), "1.5",
       fnd::Value()},
      {Call("nothing", ""), "runtime 17", fnd::Value()},
      {Call("hasOwnProperty", "\"getParams\""), "ev", fnd::Value()},
      {"(@log \"e\" 1 5)", "runtime 10", fnd::Value()},
      {"(@log \"e\" 1)", "runtime 9", fnd::Value()},
      {"(@log (Break) (Get 1) 5)", "runtime 10", fnd::Value()},  // Arguments are evaluated first.
      {"(@log (Break) 1 5)", "runtime 5", fnd::Value()},
  };
  const char* names[] = {"count", "price", "label", "label", "_x",    "_err", "new",
                         "new",   "label", "new",   "label", "label", "new"};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    auto editing = Load(Callback("edit", c.body + " (Return 0)"));
    Handled handled = Handle(*editing);
    if (c.outcome.rfind("runtime", 0) == 0) {
      EXPECT_EQ(handled.error, c.outcome) << c.body;
      continue;
    }
    EXPECT_EQ(handled.error, "") << c.body;
    if (!c.outcome.empty()) {
      EXPECT_EQ(handled.name, c.outcome) << c.body;
    }
    if (i < std::size(names)) {
      const fnd::Value* stored = handled.parameters.find(fnd::Value(names[i]));
      if (c.parameter.isNull()) {
        EXPECT_EQ(stored, nullptr) << c.body;
      } else {
        ASSERT_NE(stored, nullptr) << c.body;
        EXPECT_EQ(*stored, c.parameter) << c.body;
        EXPECT_EQ(stored->isInt64() || stored->isInt(), c.parameter.isInt()) << c.body;
      }
    }
  }
}

TEST(EventEditingTest, RemovingAParameterIsAnEdit) {
  auto editing = Load(Callback("edit", Call("setParamValue", "\"label\" (Null)") + " (Return 0)"));
  Handled handled = Handle(*editing);
  EXPECT_TRUE(handled.hasEdits);
  EXPECT_FALSE(handled.parameters.contains(fnd::Value("label")));
}

TEST(EventEditingTest, RegistrationErrors) {
  struct Case {
    std::string program;
    const char* error;
  } cases[] = {
      {"(@reg 0 (Fn \"f\" (CreateArray)) (CreateObject))", "editing 2"},
      {"(@reg 0 (Fn \"f\" (CreateArray)) (CreateObject \"type\" \"other\"))", "editing 3"},
      {"(@reg 0 5 (CreateObject \"type\" \"edit\"))", "runtime 10"},
      {"(@reg 0 (Fn \"f\" (CreateArray)) 5)", "runtime 10"},
      {"(@reg 0 (Fn \"f\" (CreateArray)))", "runtime 9"},
      {"(@reg 0 (Fn \"f\" (CreateArray)) (CreateObject \"type\" (Break)))", "runtime 5"},
      {"1 (Return 2)", "editing 5"},
      {"(Break)", "editing 5"},
      {"(Get 1)", "runtime 10"},
  };
  for (const auto& c : cases) {
    APMPEventEditing editing;
    fnd::Error error;
    EXPECT_FALSE(editing.loadProgram(*MakeProgram(std::string(kPrelude) + c.program), &error))
        << c.program;
    EXPECT_EQ(ErrorText(error), c.error) << c.program;
  }
}

TEST(EventEditingTest, ActivitiesRegisterRules) {
  // "rule" registers an edit callback that renames the event to the rule's "to".
  std::string program =
      "(DefineFunction \"rule\" (CreateArray \"r\") (@reg 0 (Fn \"cb\" (CreateArray \"e\") " +
      Call("setEventName", "(GetProperty (Get \"r\") \"to\")") +
      " (Return 0)) (CreateObject \"type\" \"edit\" \"priority\" (GetProperty (Get \"r\") "
      "\"p\"))))";
  {
    APMPEventEditing editing;
    fnd::Error error;
    ASSERT_TRUE(editing.loadProgram(
        *MakeProgram(std::string(kPrelude) + program,
                     {{"rule",
                       "(CreateObject \"to\" \"one\" \"p\" 2) (CreateObject \"to\" "
                       "\"two\" \"p\" 1)"}}),
        &error))
        << error.description();
    EXPECT_EQ(editing.callbackHandler().editCallbacks().size(), 2u);
    EXPECT_EQ(Handle(editing).name, "one");
  }
  struct Case {
    const char* name;
    const char* data;
    const char* error;
  } cases[] = {
      {"rule", "5", "editing 6"},
      {"nothing", "(CreateObject)", "editing 7"},
      {"reg", "(CreateObject)", "runtime 9"},
      {"rule", "(CreateObject \"to\" \"x\") (Get 1)", "runtime 10"},
  };
  for (const auto& c : cases) {
    APMPEventEditing editing;
    fnd::Error error;
    EXPECT_FALSE(editing.loadProgram(
        *MakeProgram(std::string(kPrelude) + program, {{c.name, c.data}}), &error))
        << c.data;
    EXPECT_EQ(ErrorText(error), c.error) << c.data;
  }
}

TEST(EventEditingTest, EachEventHasItsOwnScopeAndBudget) {
  auto editing =
      Load("(Var \"seen\") (Assign \"seen\" (CreateArray)) " +
           Callback("edit",
                    "(Var \"local\") (If (Typeof (Get \"local\")) (SetProperty (Get \"seen\") 0 "
                    "(Typeof (Get \"local\")))) (Assign \"local\" 1) (Return 0)"));
  Handle(*editing);
  Handle(*editing);
  EXPECT_EQ(script_test::Show(editing->runtime().globalScope()->valueForName(u"seen")),
            "['undefined']");
  EXPECT_LT(editing->runtime().getInstructionCount(), 100);
}

TEST(EventEditingTest, CallbacksSurviveCollections) {
  auto editing =
      Load(Callback("edit", "(Var \"x\") (Assign \"x\" (CreateObject \"n\" \"kept\")) (Return 0)"));
  for (int i = 0; i < 3; ++i) {
    editing->runtime().collectGarbage();
    EXPECT_EQ(Handle(*editing).error, "");
  }
  auto function = editing->callbackHandler().editCallbacks().begin()->second;
  EXPECT_EQ(function->statements().size(), 3u);  // Not swept.
}

TEST(EventEditingTest, ACallbacksClosureDataSurvivesCollections) {
  // The callback is made in a block inside a call of "setup": its defining scope is the block's,
  // and the rule map lives one scope further up, in the call's scope.
  auto editing = Load(
      "(DefineFunction \"setup\" (CreateArray) "
      "(Var \"rules\") (Assign \"rules\" (CreateObject \"name\" \"fromClosure\")) "
      "(Block " +
      Callback("edit",
               Call("setEventName", "(GetProperty (Get \"rules\") \"name\")") + " (Return 0)") +
      ")) (@setup)");
  for (int i = 0; i < 3; ++i) {
    editing->runtime().collectGarbage();
    Handled handled = Handle(*editing);
    EXPECT_EQ(handled.error, "");
    EXPECT_EQ(handled.name, "fromClosure");
  }
}

TEST(EventEditingTest, HostileProgramsGetErrors) {
  // An endless loop in a callback stops at the instruction limit; the next event has a fresh
  // budget and fails the same way instead of hanging.
  auto editing = Load(Callback("edit", "(While true (Undefined) false (Quote 1))"));
  for (int i = 0; i < 2; ++i) {
    Handled handled = Handle(*editing);
    EXPECT_FALSE(handled.result);
    EXPECT_EQ(handled.error, "runtime 18");
  }
  // Endless recursion stops at the nesting limit.
  auto recursive =
      Load("(DefineFunction \"f\" (CreateArray) (Return (@f))) " + Callback("edit", "(@f)"));
  EXPECT_EQ(Handle(*recursive).error, "runtime 19");
  // A program tree nested too deeply does not load.
  std::string deep = "1";
  for (int i = 0; i < 300; ++i) deep = "(Block " + deep + ")";
  APMPEventEditing nested;
  fnd::Error error;
  EXPECT_FALSE(nested.loadProgram(*MakeProgram(deep), &error));
  EXPECT_EQ(ErrorText(error), "runtime 19");
}

TEST(EventEditingTest, ProgramsSurviveTheWire) {
  // As delivered: encoded inside the configuration, decoded, loaded, then run on events.
  auto built = MakeProgram(
      std::string(kPrelude) +
          "(DefineFunction \"rule\" (CreateArray \"r\") (@reg 0 (Fn \"cb\" (CreateArray \"e\") " +
          Call("setParamValue", "\"tag\" (GetProperty (Get \"r\") \"tag\")") +
          " (Return 0)) (CreateObject \"type\" \"edit\")))",
      {{"rule", "(CreateObject \"tag\" \"wired\")"}});
  std::optional<fnd::Data> bytes = built->protoBuffer();
  ASSERT_TRUE(bytes);
  auto decoded = APMPBProgram::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded);
  APMPEventEditing editing;
  fnd::Error error;
  ASSERT_TRUE(editing.loadProgram(*decoded, &error)) << error.description();
  Handled handled = Handle(editing);
  EXPECT_TRUE(handled.result);
  EXPECT_EQ(handled.parameters.get(fnd::Value("tag")), fnd::Value("wired"));
}

TEST(EditingCallbackHandlerTest, AtMostAThousandCallbacks) {
  APMPEditingCallbackHandler handler;
  auto callback = std::make_shared<APMPFunctionValue>(u"f");
  APMPError error;
  for (int i = 0; i < APMPEMaxRules; ++i) {
    ASSERT_TRUE(handler.registerWithPriority(i % 2 ? 7 : INT32_MAX, callback,
                                             i % 3 ? u"edit" : u"create", &error));
  }
  EXPECT_FALSE(handler.registerWithPriority(1, callback, u"edit", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), APMPEErrorDomain);
  EXPECT_EQ(error->code(), 4);
  // Taken keys continue above the highest one, without overflow.
  EXPECT_GT(handler.editCallbacks().rbegin()->first, int64_t{INT32_MAX});
}

TEST(EventTest, Equality) {
  fnd::Dictionary base;
  base.set(fnd::Value("i"), fnd::Value(int64_t{1}));
  base.set(fnd::Value("d"), fnd::Value(1.5));
  base.set(fnd::Value("l"),
           fnd::Value(fnd::Array{fnd::Value(fnd::Dictionary{{fnd::Value("k"), fnd::Value(1)}})}));
  APMPEvent event("e", 10, base);
  auto with = [&](const char* key, fnd::Value value) {
    fnd::Dictionary changed = base;
    changed.set(fnd::Value(key), std::move(value));
    return APMPEvent("e", 10, changed);
  };
  fnd::Dictionary fewer = base;
  fewer.erase(fnd::Value("d"));
  struct Case {
    const char* what;
    APMPEvent other;
    bool equal;
  } cases[] = {
      {"same", APMPEvent("e", 10, base), true},
      {"timestamp within epsilon", APMPEvent("e", 10 + 1e-17, base), true},
      {"timestamp", APMPEvent("e", 10.001, base), false},
      {"name", APMPEvent("f", 10, base), false},
      {"integer as double", with("i", fnd::Value(1.0)), false},
      {"double as integer", with("d", fnd::Value(int64_t{1})), false},
      {"nested number kind",
       with("l", fnd::Value(
                     fnd::Array{fnd::Value(fnd::Dictionary{{fnd::Value("k"), fnd::Value(1.0)}})})),
       true},
      {"nested value", with("l", fnd::Value(fnd::Array{})), false},
      {"missing parameter", APMPEvent("e", 10, fewer), false},
      {"extra parameter", with("z", fnd::Value("x")), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(event.isEqualToEvent(c.other), c.equal) << c.what;
    EXPECT_EQ(c.other.isEqualToEvent(event), c.equal) << c.what;
  }
}

TEST(EventTest, NormalizedParameter) {
  fnd::Value integer(int64_t{2});
  fnd::Value floating(1.5);
  fnd::Value text("a");
  fnd::Value list(fnd::Array{});
  struct Case {
    const char* name;
    const fnd::Value* current;
    fnd::Value value;
    fnd::Value stored;
  } cases[] = {
      {"n", &integer, fnd::Value(3.7), fnd::Value::Int64(3)},
      {"n", &integer, fnd::Value(-3.7), fnd::Value::Int64(-3)},
      {"", &integer, fnd::Value(3.7), fnd::Value::Int64(3)},
      {"_n", &integer, fnd::Value(3.7), integer},
      {"_syn", nullptr, fnd::Value(3.7), fnd::Value::Int64(3)},
      {"_el", &floating, fnd::Value(1e300), fnd::Value::Int64(INT64_MAX)},
      {"n", &floating, fnd::Value(3.0), fnd::Value(3.0)},
      {"n", &text, fnd::Value(3.0), fnd::Value("3")},
      {"n", &text, fnd::Value(0.1), fnd::Value("0.1")},
      {"n", &list, fnd::Value(3.0), fnd::Value(3.0)},
      {"n", nullptr, fnd::Value(3.0), fnd::Value(3.0)},
      {"n", &integer, fnd::Value("x"), fnd::Value("x")},
  };
  for (const auto& c : cases) {
    fnd::Value stored = APMPNormalizedParameter(c.name, c.current, c.value);
    EXPECT_EQ(stored, c.stored) << c.name << " " << c.value.description();
  }
}

}  // namespace

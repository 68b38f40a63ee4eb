// Programs that a hostile or broken server could deliver, each sent as real wire bytes (the
// program message encoded, decoded and loaded) and run on events: one step of each must be
// charged by the work it does, repeating it must end with the limit's error within the budget and
// the memory caps, and the next event must run normally.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analytics/script/editing_callback_handler.h"
#include "analytics/script/editing_error.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/event_context.h"
#include "analytics/script/event_editing.h"
#include "analytics/script/memory_account.h"
#include "analytics/script/runtime.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/scope.h"
#include "analytics/script/script_test_support.h"

namespace {

// The program message of top-level statements in the test notation, through the wire.
std::shared_ptr<APMPBProgram> WireProgram(const std::string& statements) {
  auto program = APMPBProgram::initWithMessageInfo(nullptr);
  fnd::Array entities;
  for (const auto& entity : script_test::Program(statements)) {
    entities.emplace_back(std::shared_ptr<fnd::Record>(entity));
  }
  NANOSetArray(program.get(), APMPBProgram::kEntities, &entities);
  std::optional<fnd::Data> bytes = program->protoBuffer();
  if (!bytes) return nullptr;
  return APMPBProgram::initWithBuffer(*bytes);
}

// Statements that make `name` a string of 2^doublings copies of `unit`.
std::string Doubled(const std::string& name, const std::string& unit, int doublings) {
  return "(Var \"" + name + "\") (Assign \"" + name + "\" \"" + unit +
         "\") (Var \"i\") (Assign \"i\" 0) (While (LessThan (Get \"i\") " +
         std::to_string(doublings) +
         ") (Assign \"i\" (Add (Get \"i\") 1)) false (Quote (Assign \"" + name + "\" (Add (Get \"" +
         name + "\") (Get \"" + name + "\")))))";
}

std::string EventCall(const std::string& method, const std::string& arguments) {
  return "(Apply (Get \"e\") \"" + method + "\" (CreateArray " + arguments + "))";
}

// One edit callback: on the event "once" it runs `step` once, on "hostile" it repeats `step`
// forever; on every event it then renames the event to "normal" and keeps the edit.
std::string HostileProgram(const std::string& setup, const std::string& step) {
  return "(Var \"reg\") (Assign \"reg\" (@require \"internal.registerCallback\")) "
         "(Var \"log\") (Assign \"log\" (@require \"internal.eventLogger\")) " +
         setup +
         " (@reg 0 (Fn \"cb\" (CreateArray \"e\") "
         "(Var \"n\") (Assign \"n\" " +
         EventCall("getEventName", "") +
         ") "
         "(If (IdentityEquals (Get \"n\") \"once\") (Quote " +
         step +
         ")) "
         "(If (IdentityEquals (Get \"n\") \"hostile\") (Quote (While true 0 false (Quote " +
         step + ")))) " + EventCall("setEventName", "\"normal\"") +
         " (Return 0)) (CreateObject \"type\" \"edit\"))";
}

struct Outcome {
  std::string error;  // "", "runtime N" or "editing N".
  std::string name;
  int32_t instructions = 0;
};

Outcome HandleNamed(APMPEventEditing& editing, const std::string& name) {
  fnd::Error error;
  editing.handleEvent(APMPEvent(name, 100, fnd::Dictionary()), &error);
  Outcome outcome;
  if (!error.domain().empty()) {
    outcome.error = (error.domain() == APMPEErrorDomain ? "editing " : "runtime ") +
                    std::to_string(error.code());
  }
  outcome.name = editing.eventContext().outputEvent().name();
  outcome.instructions = editing.runtime().getInstructionCount();
  return outcome;
}

std::unique_ptr<APMPEventEditing> Load(const std::string& program) {
  auto editing = std::make_unique<APMPEventEditing>();
  auto wire = WireProgram(program);
  EXPECT_TRUE(wire);
  if (!wire) return editing;
  fnd::Error error;
  EXPECT_TRUE(editing->loadProgram(*wire, &error)) << error.description();
  return editing;
}

const std::string kArray = "(Var \"a\") (Assign \"a\" (CreateArray)) ";
const std::string kLongArray = kArray + "(SetProperty (Get \"a\") \"length\" 262144) ";

TEST(HostileProgramsTest, EveryStepIsChargedAndEveryLoopEndsAtALimit) {
  struct Case {
    const char* what;
    std::string setup;
    std::string step;
    int32_t leastCharge;       // Instructions that one step must cost at least.
    std::string onceError;     // The error of one step ("" when it succeeds).
    std::string hostileError;  // The error of the repeated step.
  };
  const std::string kSort =
      Doubled("big", "x", 12) +
      " (Assign \"big\" (Apply (Get \"big\") \"split\" (CreateArray \"\"))) "
      "(Var \"refs\") (Assign \"refs\" (CreateArray)) (Var \"k\") (Assign \"k\" 0) "
      "(While (LessThan (Get \"k\") 64) (Assign \"k\" (Add (Get \"k\") 1)) false "
      "(Quote (Apply (Get \"refs\") \"push\" (CreateArray (Get \"big\")))))";
  const std::string kDag =
      kArray +
      "(Var \"k\") (Assign \"k\" 0) (While (LessThan (Get \"k\") 40) (Assign \"k\" (Add (Get "
      "\"k\") 1)) false (Quote (Assign \"a\" (CreateArray (Get \"a\") (Get \"a\")))))";
  const Case cases[] = {
      // A million holes written by one instruction are charged per element.
      {"array length", kArray,
       "(SetProperty (Get \"a\") \"length\" 1048576) (SetProperty (Get \"a\") \"length\" 0)",
       1 << 16, "", "runtime 18"},
      {"high index", kArray,
       "(SetProperty (Get \"a\") 1048575 1) (SetProperty (Get \"a\") \"length\" 0)", 1 << 16, "",
       "runtime 18"},
      // Searches read the elements in place and charge all they search.
      {"indexOf", kLongArray, "(Apply (Get \"a\") \"indexOf\" (CreateArray 5))", 1 << 14, "",
       "runtime 18"},
      {"lastIndexOf", kLongArray, "(Apply (Get \"a\") \"lastIndexOf\" (CreateArray 5))", 1 << 14,
       "", "runtime 18"},
      // 64 references to one array of 4096 texts: each element's join is charged.
      {"sort", kSort, "(Apply (Get \"refs\") \"sort\" (CreateArray))", 40000, "", "runtime 18"},
      // Host conversions are charged by the units they convert.
      {"setParamValue", Doubled("s", "x", 19), EventCall("setParamValue", "\"p\" (Get \"s\")"),
       8192, "", "runtime 18"},
      {"setEventName", Doubled("s", "x", 19), EventCall("setEventName", "(Get \"s\")"), 8192, "",
       "runtime 18"},
      {"logEvent", Doubled("s", "x", 19), "(@log \"c\" 1 (CreateObject \"p\" (Get \"s\")))", 8192,
       "", "runtime 18"},
      // A DAG of 40 levels stands for 2^41 values: the conversion stops at its cap, charged as it
      // goes.
      {"host DAG", kDag, EventCall("setParamValue", "\"p\" (Get \"a\")"), 1 << 12, "runtime 19",
       "runtime 19"},
      // Backtracking is charged by the steps the engine takes.
      {"regex", Doubled("t", "a", 4) + " (Assign \"t\" (Add (Get \"t\") \"aaaaaaaa\"))",
       "(Apply (Get \"t\") \"match\" (CreateArray \"(a|aa)*b\"))", 1000, "", "runtime 18"},
      // A plain search in text that is not in NFD.
      {"search in composed text", Doubled("t", "\xC3\xA9", 16),
       "(Apply (Get \"t\") \"indexOf\" (CreateArray \"\xC3\xA9x\"))", 4096, "", "runtime 18"},
      // Joining two 2^23-unit texts copies 2^24 units.
      {"concatenation", Doubled("s", "x", 23),
       "(Var \"t\") (Assign \"t\" (Add (Get \"s\") (Get \"s\")))", 1 << 16, "", "runtime 18"},
      // Distinct megabyte texts kept by one event: the memory cap ends it.
      // (The texts are kept in the callback's own scope, gone after the event.)
      {"memory per event", Doubled("s", "x", 19),
       "(If (IdentityEquals (Typeof (Get \"kept\")) \"undefined\") (Quote (Var \"kept\") "
       "(Assign \"kept\" (CreateArray)))) "
       "(Apply (Get \"kept\") \"push\" (CreateArray (Add (Get \"s\") \"y\")))",
       2048, "", "runtime 18"},
      // Created events are capped per input event.
      {"created events", "", "(@log \"c\" 1 (CreateObject \"p\" 1))", 1, "", "runtime 18"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto editing = Load(HostileProgram(c.setup, c.step));
    const APMPMemoryAccount& memory = *editing->runtime().memoryAccount();

    Outcome once = HandleNamed(*editing, "once");
    EXPECT_EQ(once.error, c.onceError);
    EXPECT_GE(once.instructions, c.leastCharge);

    Outcome hostile = HandleNamed(*editing, "hostile");
    EXPECT_EQ(hostile.error, c.hostileError);
    EXPECT_LE(hostile.instructions, APMPInstructionCountHardLimit);
    // What one instruction may allocate lies within a few of the largest strings.
    EXPECT_LE(memory.peakBytes() - memory.liveBytes(),
              APMPMaximumEventMemory + (int64_t{96} << 20));

    Outcome next = HandleNamed(*editing, "next");
    EXPECT_EQ(next.error, "");
    EXPECT_EQ(next.name, "normal");
    EXPECT_LT(next.instructions, 100);
  }
}

TEST(HostileProgramsTest, WhatAProgramKeepsAcrossEventsIsBounded) {
  // Every event keeps twelve more distinct megabyte texts in a global.
  auto editing = Load(HostileProgram(
      Doubled("s", "x", 19) + " (Var \"kept\") (Assign \"kept\" (CreateArray))",
      "(Var \"j\") (Assign \"j\" 0) (While (LessThan (Get \"j\") 12) (Assign \"j\" (Add (Get "
      "\"j\") 1)) false (Quote (Apply (Get \"kept\") \"push\" (CreateArray (Add (Get \"s\") (Get "
      "\"j\"))))))"));
  const APMPMemoryAccount& memory = *editing->runtime().memoryAccount();
  std::vector<std::string> errors;
  for (int i = 0; i < 4; ++i) errors.push_back(HandleNamed(*editing, "once").error);
  // 12 MB kept after the first event, 24 MB after the second: the third passes the bound.
  EXPECT_EQ(errors, (std::vector<std::string>{"", "", "runtime 18", "runtime 18"}));
  // The program was given up and its memory freed.
  EXPECT_LT(memory.liveBytes(), int64_t{1} << 20);
  EXPECT_EQ(HandleNamed(*editing, "next").error, "runtime 18");
}

TEST(HostileProgramsTest, LoadingIsChargedByTheTreeItConverts) {
  // A quoted tree is never evaluated: the instructions after the load are its conversion's.
  std::string tree = "1";
  for (int depth = 0; depth < 90; ++depth) {
    std::string siblings;
    for (int i = 0; i < 100; ++i) siblings += " 1";
    tree = "(Quote" + siblings + " " + tree + ")";
  }
  auto wire = WireProgram(tree);
  ASSERT_TRUE(wire);
  APMPEventEditing editing;
  fnd::Error error;
  ASSERT_TRUE(editing.loadProgram(*wire, &error)) << error.description();
  // 9,091 entries at 16 per instruction, and one evaluation.
  EXPECT_GE(editing.runtime().getInstructionCount(), 9091 / 16);
}

}  // namespace

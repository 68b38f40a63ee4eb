// APMPEventEditing: runs a server-delivered program on every event the engine logs, before the
// event is stored. The server settings build one per measurement configuration that carries a
// program, install the host modules and load the program; the event pipeline then hands it each
// event and reads back the edited event (when hasEdits()) and the created events.
//
// The facade owns its runtime, the editing context and the callback handler. Every event gets
// its own instruction budget and its own run scope; callbacks and top-level declarations last
// as long as the facade.
//
// Thread safety: none; used on the engine's worker queue only, one event at a time.
#pragma once

#include <memory>
#include <string>

#include "analytics/script/dynamic_provider.h"
#include "analytics/script/event.h"
#include "analytics/script/runtime_value.h"
#include "platform/foundation/error.h"

class APMPBOgtActivity;
class APMPBProgram;
class APMPEditingCallbackHandler;
class APMPEventContext;
class APMPMapValue;
class APMPRuntime;

class APMPEventEditing {
 public:
  // With a runtime of its own.
  APMPEventEditing();
  // Over `runtime`: adds the callback handler as a collector root and installs the creators of
  // "internal.registerCallback" and "internal.eventLogger".
  explicit APMPEventEditing(std::unique_ptr<APMPRuntime> runtime);
  ~APMPEventEditing();
  APMPEventEditing(const APMPEventEditing&) = delete;
  APMPEventEditing& operator=(const APMPEventEditing&) = delete;

  // Installs or replaces a module creator of the runtime.
  void setModuleCreator(APMPModuleCreator creator, const std::string& name);

  // Runs the program's top-level statements in the global scope, then loads each activity in
  // order. Fails with the first error: a runtime error, editing code 5 when the statements ended
  // in a control value, or an activity's error (activities loaded before it stay registered). A
  // collection runs after a successful load. `error` may be null.
  bool loadProgram(const APMPBProgram& program, fnd::Error* error = nullptr);
  // Runs each data entry of the activity alone; each must give a map (editing code 6), which is
  // handed to registerRuleWithName() with the activity's name.
  bool loadActivityData(const APMPBOgtActivity& activity, fnd::Error* error = nullptr);
  // Calls the function of that name (found from a new run scope) with the rule; editing code 7
  // when the name holds no function. The function's result is ignored.
  bool registerRuleWithName(const std::string& name, const std::shared_ptr<APMPMapValue>& rule,
                            fnd::Error* error = nullptr);

  // Resets the context with `event`, resets the instruction count, runs the callbacks in a new
  // run scope and collects garbage. False when an error was reported (then *error is set);
  // otherwise true when the event was edited or events were created.
  //
  // Limits: the event's values may hold APMPMaximumEventMemory bytes and it may create
  // APMPMaximumCreatedEvents events (code 18 past either). When, after the collection, the
  // program keeps more than APMPMaximumRuntimeMemory bytes alive, the event fails with code 18
  // and the program is given up: its callbacks and globals are dropped and every later event
  // fails with code 18 at once.
  bool handleEvent(const APMPEvent& event, fnd::Error* error = nullptr);

  // The output event differs from the input event (APMPEvent::isEqualToEvent()).
  bool hasEdits() const;
  // At least one event was created.
  bool hasCreatedEvents() const;
  // outputEvent() and eventsToLog() of the last handled event.
  const APMPEventContext& eventContext() const { return *eventContext_; }

  APMPRuntime& runtime() const { return *runtime_; }
  const APMPEditingCallbackHandler& callbackHandler() const { return *callbackHandler_; }

 private:
  std::unique_ptr<APMPRuntime> runtime_;
  std::shared_ptr<APMPEventContext> eventContext_;
  std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
  bool gaveUp_ = false;  // The program outgrew APMPMaximumRuntimeMemory.
};

// APMPEditingCallbackHandler: the callbacks that a program registers through
// "internal.registerCallback", by type and priority, and how they run on each event.
//
// "edit" callbacks run first, in ascending priority. Each sees the edited event as the callbacks
// before it left it; its edits stand only when it returns a number other than
// APMPECallbackError (2), and are discarded when it returns 2 or no number at all. "create"
// callbacks run next, in ascending priority; their results are ignored. A registration whose
// priority is taken in its map gets the highest key of that map plus one.
//
// The handler is a collector root of its runtime: it marks every registered callback.
//
// Thread safety: none; used on the engine's worker queue only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "analytics/script/function_value.h"
#include "analytics/script/runtime_value.h"

class APMPEventContext;

// The most callbacks, edit and create together, that one program may register.
inline constexpr int32_t APMPEMaxRules = 1000;
// Callback results.
inline constexpr int32_t APMPECallbackError = 2;
inline constexpr int32_t APMPECallbackUnknown = -1;
// The priority of a callback registered without one.
inline constexpr int32_t APMPEDefaultPriority = 1000;
// Callback types.
inline constexpr std::u16string_view APMPECallbackTypeEdit = u"edit";
inline constexpr std::u16string_view APMPECallbackTypeCreate = u"create";

class APMPEditingCallbackHandler final : public APMPMarkable {
 public:
  APMPEditingCallbackHandler() = default;
  ~APMPEditingCallbackHandler() override;

  // Fails with editing code 4 when APMPEMaxRules callbacks are registered, and with code 3 for a
  // type other than "edit" and "create".
  bool registerWithPriority(int32_t priority, std::shared_ptr<APMPFunctionValue> callback,
                            const std::u16string& ruleType, APMPError* error);

  // Runs the edit callbacks, then the create callbacks, each with one event object over
  // `context` as its argument, in `scope`. An edit callback that fails has its edits undone and
  // ends the run with its error; a failing create callback ends the run with its error (events
  // created before stay).
  bool triggerCallbacksWithScope(const APMPScopeRef& scope,
                                 const std::shared_ptr<APMPEventContext>& context,
                                 APMPError* error);

  // Calls one callback with the event object: 2 when the call failed (the error is stored),
  // the number's APMPToInt32 when it returned a number, else -1.
  static int32_t invokeCallbackWithScope(const APMPScopeRef& scope,
                                         const std::shared_ptr<APMPFunctionValue>& callback,
                                         const APMPValueRef& eventHandler, APMPError* error);

  // Registered callbacks by key, ascending.
  const std::map<int64_t, std::shared_ptr<APMPFunctionValue>>& editCallbacks() const {
    return editCallbackMap_;
  }
  const std::map<int64_t, std::shared_ptr<APMPFunctionValue>>& createCallbacks() const {
    return createCallbackMap_;
  }
  // Drops every callback.
  void removeAllCallbacks();

  void mark(APMPMarker& marker) override;

 private:
  static void addCallback(std::shared_ptr<APMPFunctionValue> callback,
                          std::map<int64_t, std::shared_ptr<APMPFunctionValue>>& map,
                          int64_t priority);

  // Keys are 64-bit so that "highest plus one" cannot overflow.
  std::map<int64_t, std::shared_ptr<APMPFunctionValue>> editCallbackMap_;
  std::map<int64_t, std::shared_ptr<APMPFunctionValue>> createCallbackMap_;
};

// The script side of event editing: the event object that every callback receives, the
// "internal.eventLogger" function that creates events, and the "internal.registerCallback"
// function through which programs register callbacks.
//
// Thread safety: none; used on the engine's worker queue only.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "analytics/script/function_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/runtime_value.h"

class APMPEventContext;
class APMPEditingCallbackHandler;

// Function names of the event object.
inline constexpr std::u16string_view APMPEEventNativeCommandGetEventName = u"getEventName";
inline constexpr std::u16string_view APMPEEventNativeCommandGetParameter = u"getParamValue";
inline constexpr std::u16string_view APMPEEventNativeCommandGetParameters = u"getParams";
inline constexpr std::u16string_view APMPEEventNativeCommandGetTimestamp = u"getTimestamp";
inline constexpr std::u16string_view APMPEEventNativeCommandSetEventName = u"setEventName";
inline constexpr std::u16string_view APMPEEventNativeCommandSetParameter = u"setParamValue";

// Option names of registerCallback.
inline constexpr std::u16string_view APMPERegisterCallbackTypeOption = u"type";
inline constexpr std::u16string_view APMPERegisterCallbackPriorityOption = u"priority";

// The event object: a map whose six functions read and change the context's output event (the
// input event is never changed). Their arguments are evaluated first; a wrong count fails with
// 9. Other names behave as on a map.
//   getEventName()            the output event's name
//   getParamValue(name)       the parameter in script form; null when absent
//   getParams()               a new map of every parameter in script form
//   getTimestamp()            the timestamp as a number
//   setEventName(name)        undefined or null fail with 10; else renames, returns the name
//   setParamValue(name, v)    stores v in Foundation form through setParameter() (null
//                             removes); returns v
class APMPEventNativeFunctions final : public APMPMapValue {
 public:
  using Handler = APMPValueRef (*)(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPEventContext& context, APMPError* error);

  explicit APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> context);
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopeRef& scope, APMPError* error) override;

 private:
  const std::shared_ptr<APMPEventContext> eventContext_;
};

// logEvent(name, timestamp, parameters): exactly three arguments (9), evaluated; the name's
// string form, the timestamp's number made a whole number of seconds, and a map (10) whose
// properties in Foundation form (null ones left out) become the parameters of a created event.
// Returns undefined.
class APMPEventLogger final : public APMPFunctionValue {
 public:
  explicit APMPEventLogger(std::shared_ptr<APMPEventContext> context);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;

 private:
  const std::shared_ptr<APMPEventContext> eventContext_;
};

// registerCallback(anything, callback, options): exactly three arguments (9), evaluated; a
// function and a map (10); the map's "type" (editing code 2 when absent) and "priority" (a
// 32-bit integer, 1000 when absent). Registers with the handler, passing its errors on. Returns
// undefined. The handler is not owned, so that no callback can keep it alive through this
// function; once it is gone the call does nothing.
class APMPRegisterCallbackNativeFunctionValue final : public APMPFunctionValue {
 public:
  explicit APMPRegisterCallbackNativeFunctionValue(
      std::weak_ptr<APMPEditingCallbackHandler> handler);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;

 private:
  const std::weak_ptr<APMPEditingCallbackHandler> callbackHandler_;
};

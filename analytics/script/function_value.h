// APMPFunctionValue: a script function (a name, parameter names, statements and the scope it was
// defined in, which gives closures) with named properties. Native functions of host modules and
// of event editing subclass it, override invokeWithArguments() and have no parameters, no
// statements and a fresh parentless defining scope.
//
// Thread safety: none; used by the script's thread only.
#pragma once

#include <cstddef>
#include <string>
#include <typeinfo>
#include <vector>

#include "analytics/script/memory_account.h"
#include "analytics/script/property_holder.h"
#include "analytics/script/runtime_value.h"

class APMPFunctionValue : public APMPRuntimeValue, public APMPPropertyHolder {
 public:
  static constexpr Kind kKind = Kind::kFunction;
  // A script function. Programs make them through
  // APMPObjectManager::functionValueWithFunctionName() so that the collector tracks them.
  APMPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                    APMPValueList statements, APMPScopeRef definingScope);
  // A native function: no parameters, no statements, a fresh parentless defining scope.
  explicit APMPFunctionValue(std::u16string functionName);
  ~APMPFunctionValue() override;

  const std::u16string& functionName() const { return functionName_; }
  const std::vector<std::u16string>& parameterNames() const { return parameters_; }
  const APMPValueList& statements() const { return statements_; }
  const APMPScopeRef& definingScope() const { return definingScope_; }

  // Evaluates the argument nodes in `scope` (APMPEvaluateArguments), then calls
  // invokeWithEvaluatedArguments(). Native functions override this.
  virtual APMPValueRef invokeWithArguments(const APMPValueList& arguments,
                                           const APMPScopeRef& scope, APMPError* error);
  // Runs the body in a child scope of the defining scope whose parameters hold the arguments
  // (undefined when missing, extra ones dropped). A return value yields its data; any other
  // result (break and continue included) is returned as it is.
  APMPValueRef invokeWithEvaluatedArguments(const APMPValueList& arguments, APMPError* error);
  // The same for a caller that keeps a reference to this function for the whole call, with the
  // arguments where they are (`count` pointers at `arguments`).
  APMPValueRef callWithEvaluatedArguments(const APMPValueRef* const* arguments, size_t count,
                                          APMPError* error);
  // True for a plain script function, whose invokeWithArguments() is this class's own.
  bool isScriptFunction() const { return typeid(*this) == typeid(APMPFunctionValue); }

  // Its name, NaN, true.
  std::u16string stringValueOrError(APMPError* error) const override;
  double doubleValueOrError(APMPError* error) const override;
  bool booleanValueOrError(APMPError* error) const override;
  // The property-call rule of APMPPropertyHolder, else the base.
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopeRef& scope, APMPError* error) override;

  void mark(APMPMarker& marker) override;
  void sweep() override;

 protected:
  // The same object, or a non-empty name equal to the other's.
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;

 private:
  const std::u16string functionName_;
  std::vector<std::u16string> parameters_;
  APMPValueList statements_;
  APMPScopeRef definingScope_;
  // Scopes of ended calls that nothing else kept, each holding only the parameter names, for the
  // next calls (a loop or a recursion makes one scope per level instead of one per call). Their
  // parent is definingScope_.
  std::vector<APMPScopeRef> spareScopes_;
  static constexpr size_t kMaximumSpareScopes = 8;
  // The most scopes kept at once, charged to the memory account as small maps of the parameters
  // (the count only grows, up to kMaximumSpareScopes, until a sweep drops them).
  size_t sparePeak_ = 0;
  APMPMemoryTicket spareTicket_;
};

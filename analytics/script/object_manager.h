// APMPObjectManager: the collector of the scripting runtime. Map, array and function values made
// by programs are created through its factory methods and tracked by weak reference; roots
// (normally the runtime's scopes) are weak references too. collectGarbage() marks everything
// reachable from the roots and then sweeps the tracked values: an unmarked container drops its
// contents, which breaks reference cycles so that shared ownership frees the memory. A container
// swept this way must never be used again by live code; the roots guarantee that for everything
// reachable from the runtime's scopes.
//
// Marking walks the graph with an explicit work list, so deep or cyclic structures cannot
// exhaust the stack. When the manager is destroyed it sweeps every tracked value that is still
// alive without marking, so that cycles left behind by its programs are freed with it.
//
// Collection runs only when asked for, never during evaluation.
//
// Thread safety: none; one runtime, its scopes and its values belong to one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analytics/script/runtime_value.h"

class APMPMapValue;
class APMPArrayValue;
class APMPFunctionValue;
struct APMPRange;

// The work list of one marking pass. Objects push what they keep alive; the manager drains it.
class APMPMarker {
 public:
  // `epoch` must differ from every earlier pass (see APMPObjectManager).
  explicit APMPMarker(uint64_t epoch) : epoch_(epoch) {}
  void markValue(const APMPValueRef& value);
  void markScope(const APMPScopeRef& scope);
  void markObject(APMPMarkable* object);
  // Marks until nothing is left.
  void drain();

 private:
  uint64_t epoch_;
  std::vector<APMPMarkable*> pending_;
};

class APMPObjectManager {
 public:
  APMPObjectManager() = default;
  ~APMPObjectManager();
  APMPObjectManager(const APMPObjectManager&) = delete;
  APMPObjectManager& operator=(const APMPObjectManager&) = delete;

  // Factories: each makes a value, tracks it with the manager of `scope` (when the chain has one;
  // otherwise the value is untracked) and returns it.
  static std::shared_ptr<APMPFunctionValue> functionValueWithFunctionName(
      std::u16string functionName, std::vector<std::u16string> parameterNames,
      APMPValueList statements, const APMPScopeRef& definingScope);
  static std::shared_ptr<APMPMapValue> mapValueWithScope(const APMPScopeRef& scope);
  static std::shared_ptr<APMPArrayValue> arrayValueWithScope(const APMPScopeRef& scope);
  static std::shared_ptr<APMPArrayValue> arrayValueWithArray(APMPValueList elements,
                                                             const APMPScopeRef& scope);
  static std::shared_ptr<APMPArrayValue> subarrayWithArray(const APMPArrayValue& array,
                                                           int64_t location, int64_t length,
                                                           const APMPScopeRef& scope);

  // Null is ignored.
  void addRoot(const std::shared_ptr<APMPMarkable>& root);
  void addObject(const std::shared_ptr<APMPRuntimeValue>& object);

  // Mark from the roots, then sweep the tracked values.
  void collectGarbage();

  // The live roots and tracked values.
  std::vector<std::shared_ptr<APMPMarkable>> roots() const;
  std::vector<std::shared_ptr<APMPRuntimeValue>> trackedObjects() const;

 private:
  std::vector<std::weak_ptr<APMPMarkable>> roots_;
  std::vector<std::weak_ptr<APMPRuntimeValue>> objects_;
};

// APMPScope: a frame of variables chained to a parent. Declarations go to one scope; reads look
// up the chain; an assignment updates the nearest scope that holds the name, else declares it
// here. The runtime's root scope carries the object manager that every scope below finds.
//
// Scopes are always owned by shared pointers (function values keep their defining scope alive),
// so they are made with create() or createChildScope().
//
// Thread safety: none; used by the script's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "analytics/script/property_map.h"
#include "analytics/script/runtime_value.h"

class APMPObjectManager;

class APMPScope final : public APMPMarkable, public std::enable_shared_from_this<APMPScope> {
 public:
  // A new scope with the given parent (null for a root).
  static APMPScopeRef create(APMPScopeRef parentScope = nullptr);
  APMPScopeRef createChildScope();
  ~APMPScope() override;
  APMPScope(const APMPScope&) = delete;
  APMPScope& operator=(const APMPScope&) = delete;

  const APMPScopeRef& parentScope() const { return parentScope_; }

  // This scope, then each parent in turn.
  bool hasName(const std::u16string& name) const;
  // The value from the nearest scope that holds the name, or undefined.
  APMPValueRef valueForName(const std::u16string& name) const;
  // Declares or overwrites the name in this scope only (a name immutable here keeps its value).
  // Nothing happens when this scope is immutable.
  void addValue(APMPValueRef value, const std::u16string& name);
  // Like addValue(), then the name is immutable here.
  void addImmutableValue(APMPValueRef value, const std::u16string& name);
  // Nothing when this scope is immutable. Otherwise writes here when this scope holds the name,
  // else in the nearest parent that holds it (by the same rule), else declares it here.
  void setValue(APMPValueRef value, const std::u16string& name);
  void makeImmutable() { contents_.makeImmutable(); }
  bool isImmutable() const { return contents_.isImmutable(); }

  // This scope's own variables.
  const APMPPropertyMap& contents() const { return contents_; }

  // This scope's manager, else the parent's; null when the chain has none. The manager is not
  // owned: its owner (the runtime) outlives the evaluations that use it.
  APMPObjectManager* objectManager() const;
  void setObjectManager(APMPObjectManager* manager) { objectManager_ = manager; }

  // Marks the values of this scope's own variables (not the parent's).
  void mark(APMPMarker& marker) override;

 private:
  explicit APMPScope(APMPScopeRef parentScope) : parentScope_(std::move(parentScope)) {}
  friend class APMPMarker;

  APMPScopeRef parentScope_;
  APMPPropertyMap contents_;
  APMPObjectManager* objectManager_ = nullptr;
  uint64_t markEpoch_ = 0;  // The collection pass that last marked this scope.
};

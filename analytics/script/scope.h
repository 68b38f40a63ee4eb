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
#include <vector>

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
  // The value from the nearest scope that holds the name, in place, or null.
  const APMPValueRef* find(const std::u16string& name) const {
    for (const APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
      if (const APMPValueRef* value = scope->contents_.lookup(name)) return value;
    }
    return nullptr;
  }
  // Declares or overwrites the name in this scope only (a name immutable here keeps its value).
  // Nothing happens when this scope is immutable.
  void addValue(APMPValueRef value, const std::u16string& name);
  // Declares each of `names` here, the i-th with the i-th of the `count` values or undefined
  // beyond them (a call's parameters).
  void declareParameters(const std::vector<std::u16string>& names,
                         const APMPValueRef* const* values, size_t count);
  // A call's scope when its call has ended, to be used for the next call of the same function:
  // true, with every value dropped, when the scope holds just the parameters `names` (a few, in
  // order, writable) and the caller's reference is its only one (no closure or child scope
  // kept it); false, with nothing changed, otherwise.
  static bool DropParametersForReuse(const APMPScopeRef& scope,
                                     const std::vector<std::u16string>& names) {
    return scope.use_count() == 1 && !scope->hasInstructionCounter_ &&
           scope->contents_.dropValuesIfHolding(names);
  }
  // The parameters of a scope that DropParametersForReuse() emptied, as declareParameters()
  // declares them.
  void refillParameters(const APMPValueRef* const* values, size_t count) {
    contents_.refillValues(values, count);
  }
  // Like addValue(), then the name is immutable here.
  void addImmutableValue(APMPValueRef value, const std::u16string& name);
  // Nothing when this scope is immutable. Otherwise writes here when this scope holds the name,
  // else in the nearest parent that holds it (by the same rule), else declares it here.
  void setValue(APMPValueRef value, const std::u16string& name);
  // hasName() then setValue() in one walk: false, with nothing written, when no scope of the
  // chain holds the name.
  bool assignIfDeclared(APMPValueRef value, const std::u16string& name);
  void makeImmutable() { contents_.makeImmutable(); }
  // Drops every variable of this scope, immutable ones included.
  void removeAllValues() { contents_.clear(); }
  bool isImmutable() const { return contents_.isImmutable(); }

  // This scope's own variables.
  const APMPPropertyMap& contents() const { return contents_; }

  // This scope's manager, else the parent's; null when the chain has none or its manager is gone.
  // The scope does not own the manager (the runtime does).
  std::shared_ptr<APMPObjectManager> objectManager() const;
  void setObjectManager(const std::shared_ptr<APMPObjectManager>& manager) {
    objectManager_ = manager;
  }

  // The instruction counter of the runtime (evaluator.h). The runtime's root scope keeps it for
  // every scope below, in a field that no script can name, so a program cannot reset its own
  // count. enableInstructionCounter() gives this scope one (starting at 0);
  // instructionCounterScope() is the nearest scope of the chain that has one, or null.
  void enableInstructionCounter() { hasInstructionCounter_ = true; }
  APMPScope* instructionCounterScope() {
    return counterScope_ ? counterScope_ : findInstructionCounterScope();
  }
  int32_t instructionCount() const { return instructionCount_; }
  void setInstructionCount(int32_t count) { instructionCount_ = count; }

  // Marks the values of this scope's own variables and the chain of parent scopes.
  void mark(APMPMarker& marker) override;

 private:
  struct Token {};

 public:
  // For create() only (the token is private).
  APMPScope(Token, APMPScopeRef parentScope) : parentScope_(std::move(parentScope)) {
    // A child counts where its parent does (a call's scope counts from its first evaluation).
    if (parentScope_) {
      counterScope_ =
          parentScope_->hasInstructionCounter_ ? parentScope_.get() : parentScope_->counterScope_;
    }
  }

 private:
  friend class APMPMarker;

  APMPScope* findInstructionCounterScope();

  APMPScopeRef parentScope_;
  APMPPropertyMap contents_;
  std::weak_ptr<APMPObjectManager> objectManager_;
  uint64_t markEpoch_ = 0;  // The collection pass that last marked this scope.
  bool hasInstructionCounter_ = false;
  int32_t instructionCount_ = 0;
  APMPScope* counterScope_ = nullptr;  // Found by instructionCounterScope(); an ancestor or this.
};

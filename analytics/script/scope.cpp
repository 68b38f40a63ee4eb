#include "analytics/script/scope.h"

#include "analytics/script/object_manager.h"
#include "analytics/script/release_queue.h"

APMPScopeRef APMPScope::create(APMPScopeRef parentScope) {
  return APMPScopeRef(new APMPScope(std::move(parentScope)));
}

APMPScopeRef APMPScope::createChildScope() { return create(shared_from_this()); }

APMPScope::~APMPScope() {
  contents_.clear();
  APMPReleaseLater(std::move(parentScope_));
}

bool APMPScope::hasName(const std::u16string& name) const {
  for (const APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
    if (scope->contents_.hasName(name)) return true;
  }
  return false;
}

APMPValueRef APMPScope::valueForName(const std::u16string& name) const {
  for (const APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
    if (scope->contents_.hasName(name)) return scope->contents_.valueForName(name);
  }
  return APMPUndefined();
}

void APMPScope::addValue(APMPValueRef value, const std::u16string& name) {
  if (contents_.isImmutable()) return;
  contents_.setValue(std::move(value), name);
}

void APMPScope::addImmutableValue(APMPValueRef value, const std::u16string& name) {
  if (contents_.isImmutable()) return;
  contents_.setImmutableValue(std::move(value), name);
}

void APMPScope::setValue(APMPValueRef value, const std::u16string& name) {
  if (contents_.isImmutable()) return;
  // The nearest scope that holds the name takes the write, each under its own guard; a chain
  // without the name declares it here. Walked in a loop so that long chains cannot recurse.
  APMPScope* scope = this;
  while (scope) {
    if (scope->contents_.hasName(name)) {
      scope->contents_.setValue(std::move(value), name);
      return;
    }
    APMPScope* parent = scope->parentScope_.get();
    if (parent && parent->contents_.isImmutable() && parent->hasName(name)) return;
    if (!parent || !parent->hasName(name)) break;
    scope = parent;
  }
  contents_.setValue(std::move(value), name);
}

std::shared_ptr<APMPObjectManager> APMPScope::objectManager() const {
  for (const APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
    if (!scope->objectManager_.expired()) return scope->objectManager_.lock();
  }
  return nullptr;
}

APMPScope* APMPScope::instructionCounterScope() {
  for (APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
    if (scope->hasInstructionCounter_) return scope;
  }
  return nullptr;
}

void APMPScope::mark(APMPMarker& marker) {
  for (const auto& entry : contents_.entries()) marker.markValue(entry.second);
  // What a closure reads lives in every scope up its chain (a block or loop iteration inside a
  // call inside another call), so the whole chain stays marked while this scope is reachable.
  marker.markScope(parentScope_);
}

#include "analytics/script/scope.h"

#include "analytics/script/object_manager.h"
#include "analytics/script/pool_allocator.h"
#include "analytics/script/release_queue.h"

APMPScopeRef APMPScope::create(APMPScopeRef parentScope) {
  // One allocation for the scope and its reference count, from the thread's pool (a call makes
  // and drops one).
  return std::allocate_shared<APMPScope>(APMPPoolAllocator<APMPScope>(), Token(),
                                         std::move(parentScope));
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
  const APMPValueRef* value = find(name);
  return value ? *value : APMPUndefined();
}

void APMPScope::addValue(APMPValueRef value, const std::u16string& name) {
  if (contents_.isImmutable()) return;
  contents_.setValue(std::move(value), name);
}

void APMPScope::declareParameters(const std::vector<std::u16string>& names,
                                  const APMPValueRef* const* values, size_t count) {
  if (contents_.isImmutable()) return;
  contents_.setValues(names, values, count);
}

void APMPScope::addImmutableValue(APMPValueRef value, const std::u16string& name) {
  if (contents_.isImmutable()) return;
  contents_.setImmutableValue(std::move(value), name);
}

void APMPScope::setValue(APMPValueRef value, const std::u16string& name) {
  if (contents_.isImmutable()) return;
  // The nearest scope that holds the name takes the write, under its own guard (an immutable
  // scope or name keeps its value); a chain without the name declares it here. One walk up the
  // chain, in a loop so that long chains cannot recurse.
  for (APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
    if (scope->contents_.assignIfPresent(std::move(value), name, true)) return;
  }
  contents_.setValue(std::move(value), name);
}

bool APMPScope::assignIfDeclared(APMPValueRef value, const std::u16string& name) {
  // One search per scope: the holder of the name takes the write under its own guard.
  const bool write = !contents_.isImmutable();
  for (APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
    if (scope->contents_.assignIfPresent(std::move(value), name, write)) return true;
  }
  return false;
}

std::shared_ptr<APMPObjectManager> APMPScope::objectManager() const {
  for (const APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
    if (!scope->objectManager_.expired()) return scope->objectManager_.lock();
  }
  return nullptr;
}

APMPScope* APMPScope::findInstructionCounterScope() {
  for (APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
    // An ancestor stays alive as long as this scope (the parent chain holds it), so it is kept.
    if (scope->hasInstructionCounter_) return counterScope_ = scope;
    if (scope->counterScope_) return counterScope_ = scope->counterScope_;
  }
  return nullptr;
}

void APMPScope::mark(APMPMarker& marker) {
  for (const auto& entry : contents_.entries()) marker.markValue(entry.second);
  // What a closure reads lives in every scope up its chain (a block or loop iteration inside a
  // call inside another call), so the whole chain stays marked while this scope is reachable.
  marker.markScope(parentScope_);
}

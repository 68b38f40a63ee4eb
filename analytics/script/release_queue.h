// Releases the last reference of script objects without recursion. A long chain of containers,
// scopes or statements (an array nested a million times, a closure chain) would otherwise be
// destroyed by destructors calling destructors until the stack runs out. Destructors of such
// objects hand their children to APMPReleaseLater(); the outermost call destroys them one after
// another.
//
// Thread safety: each thread has its own queue.
#pragma once

#include <memory>
#include <utility>

// Drops `object`. When this was its last reference, the object is destroyed now or, when a
// release is already running on this thread, right after the current destruction.
void APMPReleaseLater(std::shared_ptr<void> object);

// Drops every element of a container of shared pointers through APMPReleaseLater().
template <typename Container>
void APMPReleaseAllLater(Container& container) {
  for (auto& item : container) APMPReleaseLater(std::move(item));
  container.clear();
}

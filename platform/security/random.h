// Cryptographically secure random bytes from libcrypto's generator, and a scoped override
// through which a test makes them deterministic or makes them fail.
//
// Thread safety: RandomBytes, RandomFill and SecRandomCopyBytes may be called from any thread,
// also while an override is installed or removed. The source an override installs may be called
// from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace security {

// Fills `count` bytes at `bytes`. Returns false (filling *error when non-null) on failure.
using RandomSource = std::function<bool(uint8_t* bytes, size_t count, fnd::Error* error)>;

// Fills `count` bytes at `bytes` from the current source (the override, or libcrypto's
// generator). On failure fails with kErrorRandomFailed; the buffer's content is then undefined.
[[nodiscard]] bool RandomFill(void* bytes, size_t count, fnd::Error* error = nullptr);

// Replaces *out with `count` random bytes. On failure *out is empty.
[[nodiscard]] bool RandomBytes(size_t count, fnd::Data* out, fnd::Error* error = nullptr);

// The Security framework's shape of RandomFill. `rnd` names a generator; only the default one
// (kSecRandomDefault, null) exists. Returns errSecSuccess, or -1 when no bytes could be drawn.
struct SecRandomGenerator;
using SecRandomRef = const SecRandomGenerator*;
inline constexpr SecRandomRef kSecRandomDefault = nullptr;
inline constexpr int errSecSuccess = 0;
int SecRandomCopyBytes(SecRandomRef rnd, size_t count, void* bytes);

// While alive, every random draw in the process comes from the given source instead of
// libcrypto. Overrides nest: destroying one restores the source that was current when it was
// made, so they must be destroyed in reverse order of construction (as scoped objects are).
// Meant for tests; production code never installs one.
class ScopedRandomOverride {
 public:
  explicit ScopedRandomOverride(RandomSource source);
  // Supplies the bytes of `pattern` in order and starts over at its end, across draws: with
  // pattern {1, 2, 3}, drawing 2 bytes and then 4 gives {1, 2} and {3, 1, 2, 3}. An empty
  // pattern makes every draw fail.
  explicit ScopedRandomOverride(fnd::Data pattern);
  ~ScopedRandomOverride();

  ScopedRandomOverride(const ScopedRandomOverride&) = delete;
  ScopedRandomOverride& operator=(const ScopedRandomOverride&) = delete;

 private:
  // Constant after construction: the source to restore.
  std::shared_ptr<const RandomSource> previous_;
};

}  // namespace security

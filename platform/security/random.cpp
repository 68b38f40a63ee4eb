#include "platform/security/random.h"

#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <utility>

#include "platform/security/errors.h"
#include "platform/security/openssl_init.h"

namespace security {
namespace {

// The installed override; null when libcrypto's generator is in use.
struct OverrideSlot {
  std::mutex mutex;
  std::shared_ptr<const RandomSource> source;  // GUARDED_BY(mutex)
};

OverrideSlot& Slot() {
  static OverrideSlot slot;
  return slot;
}

std::shared_ptr<const RandomSource> CurrentOverride() {
  OverrideSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.source;
}

bool SystemRandom(uint8_t* bytes, size_t count, fnd::Error* error) {
  while (count > 0) {
    int chunk = static_cast<int>(std::min<size_t>(count, INT_MAX));
    EnsureOpenSSLInitialized();
    if (RAND_bytes(bytes, chunk) != 1) {
      return fnd::SetError(error, OpenSSLError(kErrorRandomFailed, "Drawing random bytes"));
    }
    bytes += chunk;
    count -= static_cast<size_t>(chunk);
  }
  return true;
}

}  // namespace

bool RandomFill(void* bytes, size_t count, fnd::Error* error) {
  if (count == 0) return true;
  uint8_t* buffer = static_cast<uint8_t*>(bytes);
  std::shared_ptr<const RandomSource> source = CurrentOverride();
  if (!source) return SystemRandom(buffer, count, error);
  fnd::Error sourceError;
  if ((*source)(buffer, count, &sourceError)) return true;
  if (sourceError.domain().empty()) {
    sourceError = SecurityError(kErrorRandomFailed, "The random source failed");
  }
  return fnd::SetError(error, std::move(sourceError));
}

bool RandomBytes(size_t count, fnd::Data* out, fnd::Error* error) {
  fnd::Data bytes(count);
  if (!RandomFill(bytes.data(), count, error)) {
    out->clear();
    return false;
  }
  *out = std::move(bytes);
  return true;
}

int SecRandomCopyBytes(SecRandomRef rnd, size_t count, void* bytes) {
  if (rnd != kSecRandomDefault) return -1;
  return RandomFill(bytes, count) ? errSecSuccess : -1;
}

ScopedRandomOverride::ScopedRandomOverride(RandomSource source) {
  auto installed = std::make_shared<const RandomSource>(std::move(source));
  OverrideSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  previous_ = std::exchange(slot.source, std::move(installed));
}

ScopedRandomOverride::ScopedRandomOverride(fnd::Data pattern)
    : ScopedRandomOverride(
          [pattern = std::move(pattern), mutex = std::make_shared<std::mutex>(),
           next = std::make_shared<size_t>(0)](uint8_t* bytes, size_t count, fnd::Error* error) {
            if (pattern.empty()) {
              return fnd::SetError(
                  error, SecurityError(kErrorRandomFailed, "The random source has no bytes"));
            }
            std::lock_guard<std::mutex> lock(*mutex);
            for (size_t i = 0; i < count; ++i) {
              bytes[i] = pattern[*next];
              *next = (*next + 1) % pattern.size();
            }
            return true;
          }) {}

ScopedRandomOverride::~ScopedRandomOverride() {
  OverrideSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.source = std::move(previous_);
}

}  // namespace security

// Message digests (MD5, SHA-1, SHA-256, SHA-384) over libcrypto, in one-shot and incremental
// form, plus the CommonCrypto-shaped entry points the system calls by name.
//
// MD5 and SHA-1 are here for fingerprints and for checking hashes that others made; they are not
// to be used where collision resistance matters.
//
// Thread safety: the free functions may be called from any thread. A DigestContext is not
// thread-safe; use one per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace security {

enum class DigestAlgorithm { kMD5, kSHA1, kSHA256, kSHA384 };

// Digest lengths in bytes, under the names the system uses.
inline constexpr size_t CC_MD5_DIGEST_LENGTH = 16;
inline constexpr size_t CC_SHA1_DIGEST_LENGTH = 20;
inline constexpr size_t CC_SHA256_DIGEST_LENGTH = 32;
inline constexpr size_t CC_SHA384_DIGEST_LENGTH = 48;

// The digest length of `algorithm` in bytes.
size_t DigestLength(DigestAlgorithm algorithm);
// "MD5", "SHA-1", "SHA-256" or "SHA-384".
const char* DigestName(DigestAlgorithm algorithm);

// Computes the digest of `bytes` into *out (replacing its content). Returns false and fills
// *error only when libcrypto cannot compute it (for example when its configuration disables
// the algorithm); *out is then empty.
[[nodiscard]] bool Digest(DigestAlgorithm algorithm, std::span<const uint8_t> bytes, fnd::Data* out,
                          fnd::Error* error = nullptr);

// One-shot digests. Each returns DigestLength(algorithm) bytes, or empty data in the failure
// case described above.
fnd::Data Digest(DigestAlgorithm algorithm, std::span<const uint8_t> bytes);
fnd::Data Digest(DigestAlgorithm algorithm, std::string_view text);
inline fnd::Data MD5(std::span<const uint8_t> b) { return Digest(DigestAlgorithm::kMD5, b); }
inline fnd::Data MD5(std::string_view s) { return Digest(DigestAlgorithm::kMD5, s); }
inline fnd::Data SHA1(std::span<const uint8_t> b) { return Digest(DigestAlgorithm::kSHA1, b); }
inline fnd::Data SHA1(std::string_view s) { return Digest(DigestAlgorithm::kSHA1, s); }
inline fnd::Data SHA256(std::span<const uint8_t> b) { return Digest(DigestAlgorithm::kSHA256, b); }
inline fnd::Data SHA256(std::string_view s) { return Digest(DigestAlgorithm::kSHA256, s); }
inline fnd::Data SHA384(std::span<const uint8_t> b) { return Digest(DigestAlgorithm::kSHA384, b); }
inline fnd::Data SHA384(std::string_view s) { return Digest(DigestAlgorithm::kSHA384, s); }

// CommonCrypto's shape: digests `len` bytes at `data` into `md`, which must hold the
// algorithm's digest length, and returns `md`. `data` may be null when `len` is 0. In the
// failure case above `md` is zero-filled and null is returned.
unsigned char* CC_MD5(const void* data, uint32_t len, unsigned char* md);
unsigned char* CC_SHA1(const void* data, uint32_t len, unsigned char* md);
unsigned char* CC_SHA256(const void* data, uint32_t len, unsigned char* md);
unsigned char* CC_SHA384(const void* data, uint32_t len, unsigned char* md);

// An incremental digest: update() any number of times, then finish() once. After finish() the
// context is reset and may be used for a new message.
class DigestContext {
 public:
  explicit DigestContext(DigestAlgorithm algorithm);
  ~DigestContext();
  DigestContext(const DigestContext&) = delete;
  DigestContext& operator=(const DigestContext&) = delete;

  DigestAlgorithm algorithm() const { return algorithm_; }

  void update(std::span<const uint8_t> bytes);
  void update(std::string_view text);

  // The digest of everything passed to update() since construction or the last finish().
  // Returns false and fills *error when libcrypto failed at any step; the context is reset
  // either way.
  [[nodiscard]] bool finish(fnd::Data* out, fnd::Error* error = nullptr);

 private:
  struct State;

  // Constant after construction.
  const DigestAlgorithm algorithm_;
  // The libcrypto context, and the first failure since the last reset.
  std::unique_ptr<State> state_;
};

}  // namespace security

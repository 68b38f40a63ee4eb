#include "platform/security/openssl_init.h"

#include <openssl/crypto.h>

#include <mutex>

namespace security {

void EnsureOpenSSLInitialized() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The first initialisation decides whether libcrypto registers its atexit handler.
    (void)OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  });
}

namespace {
// Runs while the library's static objects are set up, before any thread exists.
[[maybe_unused]] const bool kInitializedAtLoad = (EnsureOpenSSLInitialized(), true);
}  // namespace

}  // namespace security

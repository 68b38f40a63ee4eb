// Initialises libcrypto once for the process, without the exit-time clean-up it would otherwise
// register. Worker threads (log queues, timers) may still draw random bytes or hash while the
// process exits; libcrypto's own atexit clean-up would free its global state under them.
//
// Every entry point of this library that reaches libcrypto calls it first; so must any other
// library that initialises OpenSSL (libcurl, for one) before it does so.
//
// Thread safety: may be called from any thread, any number of times.
#pragma once

namespace security {

void EnsureOpenSSLInitialized();

}  // namespace security

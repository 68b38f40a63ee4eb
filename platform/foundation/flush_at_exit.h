// FlushAtExit: work that must reach the disk or the console before the process ends. Shared
// instances (the preference domains, the analytics monitor, persisted configuration) are never
// destroyed, since threads still running at exit must not find them gone, so nothing would write
// their pending changes. A registered flush runs instead:
//   - at normal process exit (exit() or a return from main);
//   - when the application announces that it terminates (appkit's Application::terminate(), before
//     anything may end the process with _exit());
//   - when a test's home folder is about to be removed (test_home.h), so nothing lands after it.
// Flushes run newest registration first, so that what a later object logs while flushing still
// reaches a monitor registered before it. A flush may run more than once; each run writes what is
// pending then.
//
// Thread safety: register and run from any thread. RunFlushes() runs the flushes on the calling
// thread without holding the registry's lock, so a flush may register or log freely.
#pragma once

#include <functional>
#include <memory>

namespace fnd {

// Runs `flush` at every flush point (see above) until `owner` has been destroyed. `flush` must not
// call exit(); an exception it throws is swallowed (an exit handler may not throw).
void FlushAtExit(std::weak_ptr<const void> owner, std::function<void()> flush);

// Runs every registered flush of a live owner now, newest first.
void RunFlushes();

}  // namespace fnd

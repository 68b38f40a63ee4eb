// ZIVFlushAtExit: work that must reach the disk or the console before the process ends. The
// shared instances of the engine are never destroyed (threads still running at exit must not find
// them gone), so nothing would write their pending changes; a registered flush runs instead at
// normal process exit (exit() or a return from main), newest registration first, so that what a
// later object logs while flushing still reaches the monitor registered before it.
//
// Thread safety: register from any thread. The flushes run on the exiting thread.
#pragma once

#include <functional>
#include <memory>

// Runs `flush` at exit unless `owner` has been destroyed by then. `flush` must not call exit().
void ZIVFlushAtExit(std::weak_ptr<const void> owner, std::function<void()> flush);

// Runs every registered flush now, as the exit handler does (for tests).
void ZIVRunExitFlushes();

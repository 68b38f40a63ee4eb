// The log of the Virelda bridge: one line on standard error per message. Tests capture the lines
// instead by installing a sink.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <functional>
#include <string>

// Writes one line of the bridge's log.
void FLTVireldaLog(const std::string& line);

// Test support: receives every line instead of standard error; an empty function restores it.
void FLTVireldaSetLogSink(std::function<void(const std::string& line)> sink);

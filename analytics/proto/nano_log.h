// The console of the message layer. Codecs and field accessors report each failure as one line
// ("<ERROR> ..." from the codecs, "<Nano/Failure> ..." and "ProtocolBuffer message ..." from the
// accessors) on standard output. Tests replace the sink to read those lines.
//
// Thread safety: lines may be written from any thread; each line reaches the sink whole.
// Replacing the sink is meant for tests and takes effect for lines written after it returns.
#pragma once

#include <functional>
#include <string>

// Receives one line without its trailing newline.
using NanoLogSink = std::function<void(const std::string& line)>;

// Installs `sink` (an empty function restores standard output) and returns the previous sink.
NanoLogSink SetNanoLogSink(NanoLogSink sink);

// Formats one line like printf and hands it to the sink. A trailing newline in the format is
// dropped: every line ends with exactly one newline on standard output.
void NanoLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

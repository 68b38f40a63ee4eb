// Internal to platform/foundation: a reader of binary property lists ("bplist00"), written with
// bounds checks on every offset and reference because libplist's own reader aborts the process
// on some malformed files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace fnd {

// True when the data starts with the binary property-list header.
bool IsBinaryPropertyList(std::string_view data);

// Parses a whole binary property list. Nesting deeper than `maxDepth`, reference cycles, bad
// offsets, truncated objects, non-string dictionary keys and unknown object kinds give nullopt and
// a short reason. An object referenced from several places is parsed once and shared.
std::optional<Value> ParseBinaryPropertyList(std::string_view data, int maxDepth,
                                             std::string* reason);

}  // namespace fnd

// Property lists over libplist: conversion between fnd::Value and XML or binary plist data and
// files, like the platform's property-list serialisation.
//
// A property list holds dictionaries with string keys, arrays, strings, integers, reals,
// booleans, dates and data. Dictionary key order is kept on writing. Reading maps plist integers
// to Value integers (an unsigned value above INT64_MAX reads as its 64-bit two's complement),
// reals to doubles, dates to fnd::Date, and keyed-archive UIDs to {"CF$UID": n}. Dates are kept
// to the microsecond in binary plists and to the second in XML (the XML format's precision); a
// date must lie between 1933 and 2069 (plist dates are 32-bit seconds from 2001).
//
// Errors (domain kCocoaErrorDomain, codes below): a value that a plist cannot hold (null, a
// non-string key, a record, a typed array, a date out of range, a string holding NUL or
// invalid UTF-8) on writing;
// data that is not a property list (corrupt, truncated, empty, too deep) on reading. Bad input
// never aborts the process.
//
// Thread safety: all functions are reentrant.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace fnd {

enum class PropertyListFormat { kXML, kBinary };

class PropertyList {
 public:
  // Error codes, in kCocoaErrorDomain like the platform's.
  static constexpr int64_t kReadCorruptError = 3840;   // Not a property list.
  static constexpr int64_t kWriteInvalidError = 3851;  // A value a plist cannot hold.
  static constexpr int64_t kFileReadNoSuchFileError = 260;
  static constexpr int64_t kFileReadUnknownError = 256;
  static constexpr int64_t kFileWriteUnknownError = 512;

  // Deepest nesting of arrays and dictionaries accepted on reading and writing.
  static constexpr int kMaxDepth = 512;

  // True when the value can be written as a property list; otherwise false and the error names
  // the first offending value by its key path.
  static bool IsValid(const Value& value, Error* error = nullptr);

  // Parses XML or binary plist data (detected by its header). `format` receives which it was.
  static std::optional<Value> FromData(std::string_view data, Error* error = nullptr,
                                       PropertyListFormat* format = nullptr);
  static std::optional<Value> FromData(const Data& data, Error* error = nullptr,
                                       PropertyListFormat* format = nullptr);
  // Reads a whole file and parses it. A missing file gives kFileReadNoSuchFileError.
  static std::optional<Value> ReadFile(const std::string& path, Error* error = nullptr,
                                       PropertyListFormat* format = nullptr);

  // Serialises the value; nullopt and an error when IsValid() fails.
  static std::optional<Data> ToData(const Value& value,
                                    PropertyListFormat format = PropertyListFormat::kXML,
                                    Error* error = nullptr);
  // Serialises and writes atomically: a temporary file in the same folder, flushed, then renamed
  // over the target, so readers see the old or the new file, never a part. The file gets `mode`
  // (0600 for private files, 0644 for preferences). The folder must exist.
  static bool WriteFile(const Value& value, const std::string& path,
                        PropertyListFormat format = PropertyListFormat::kXML, mode_t mode = 0644,
                        Error* error = nullptr);
};

}  // namespace fnd

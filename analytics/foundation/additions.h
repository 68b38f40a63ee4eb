// Small helpers the engine adds to bytes, dictionaries and strings: MD5 fingerprints, URL query
// texts, a bit-string test and UTF-32 lengths.
//
// Thread safety: every function is pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

// The 16-byte MD5 digest of the bytes.
fnd::Data ziv_MD5Data(const fnd::Data& data);
// The last min(8, size) bytes read as one big-endian unsigned integer; 0 for no bytes.
uint64_t ziv_64LeastSignificantBits(const fnd::Data& data);
// ziv_64LeastSignificantBits of the MD5 digest.
uint64_t ziv_64LSBMD5(const fnd::Data& data);

// "key=value" pairs of the URL-encoded keys and values (ZIVNetworkURLEncode), in the
// dictionary's order, joined with "&"; "" for an empty dictionary.
std::string ziv_queryString(const fnd::Dictionary& dictionary);
// Parses a URL query: pieces split on "&" (empty ones skipped) and at their first "=", name and
// value unescaped with ziv_stringByUnescapingFromURLArgument (a failed unescape gives ""); a
// piece without "=" has the value "". When a name repeats, the first occurrence wins. Keys and
// values are strings.
fnd::Dictionary ziv_dictionaryWithHttpArgumentsString(const std::string& string);
// The value's text ("%@": a string as it is, a number in decimal) percent-encoded outside the
// URL-query character set (letters, digits and "!$&'()*+,-./:;=?@_~" stay as they are).
std::string ZIVNetworkURLEncode(const fnd::Value& object);

// The MD5 of the string's UTF-8 bytes as 32 lower-case hexadecimal digits; nullopt when the
// string is not valid UTF-8.
std::optional<std::string> ziv_MD5String(const std::string& string);
// Every "+" becomes a space, then percent escapes are decoded; nullopt when an escape is
// malformed or the decoded bytes are not valid UTF-8.
std::optional<std::string> ziv_stringByUnescapingFromURLArgument(const std::string& string);
// True when 0 <= index < the string's length (UTF-16 units) and the character there is "1".
bool isBitEnabledAtIndex(const std::string& string, int64_t index);
// The number of UTF-32 units (code points) of the string.
size_t ziv_UTF32Length(const std::string& string);
// Copies the string as UTF-32 little-endian into `buffer`, as many whole units as fit in
// `maxBytes`. Returns the number of bytes written.
size_t ziv_getUTF32Bytes(const std::string& string, void* buffer, size_t maxBytes);

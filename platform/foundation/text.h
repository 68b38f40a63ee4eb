// Text helpers over ICU for UTF-8 strings: lengths and substrings in UTF-16 units or code points,
// UTF-8 validation and conversion, case mapping, character classes, trimming and comparison.
//
// Every function takes UTF-8. Invalid UTF-8 is never an error here: each ill-formed sequence is
// read as one U+FFFD REPLACEMENT CHARACTER (one UTF-16 unit, one code point), so lengths and
// substrings agree with each other on any input. Use IsValidUTF8() to reject such input first.
// Texts longer than 2^31 - 1 bytes are cut at that length (ICU counts in 32 bits).
//
// Thread safety: all functions are pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

namespace fnd {

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool IsValidUTF8(std::string_view text);

// The number of UTF-16 code units: a character outside the Basic Multilingual Plane counts 2.
size_t UTF16Length(std::string_view text);
// The number of Unicode code points (UTF-32 units).
size_t CodePointLength(std::string_view text);

// UTF-8 to UTF-16 and UTF-32; ill-formed input becomes U+FFFD as described above.
std::u16string ToUTF16(std::string_view text);
std::u32string ToUTF32(std::string_view text);
// UTF-16 to UTF-8. A lone surrogate becomes U+FFFD.
std::string FromUTF16(std::u16string_view text);
// UTF-32 to UTF-8. A surrogate or a value above U+10FFFF becomes U+FFFD.
std::string FromUTF32(std::u32string_view text);

// The text from UTF-16 unit `start`, at most `length` units long (both clamped to the text).
// A code point is never split: a start that falls inside a surrogate pair moves forward past the
// pair, and an end that falls inside one moves back before it, so the result may be one unit
// shorter at either end than asked for.
std::string SubstringUTF16(std::string_view text, size_t start, size_t length = std::string::npos);
// The text from code point `start`, at most `length` code points long (clamped to the text).
std::string SubstringCodePoints(std::string_view text, size_t start,
                                size_t length = std::string::npos);

// Full Unicode case mapping (one character may become several, "ß" upper-cases to "SS").
// `locale` is an ICU locale id such as "tr" or "en_US"; empty means no locale rules.
std::string ToUpper(std::string_view text, std::string_view locale = {});
std::string ToLower(std::string_view text, std::string_view locale = {});
// Full Unicode case folding, for comparisons that ignore case.
std::string FoldCase(std::string_view text);

// Character classes of one code point, as the platform's character sets define them.
enum class CharacterClass {
  kLetter,                // General category L* (letters, without combining marks).
  kLetterOrMark,          // L* and M*: the platform's letter set with its non-base marks.
  kDecimalDigit,          // Nd.
  kAlphanumeric,          // L*, M* and N*.
  kWhitespace,            // Zs and U+0009 TAB.
  kWhitespaceAndNewline,  // Z*, U+0009 to U+000D and U+0085.
  kNameCharacter,         // kLetter, kDecimalDigit and "_".
};
bool IsInClass(char32_t codePoint, CharacterClass cls);
// True when every code point of the text is in the class. True for the empty text.
bool ConsistsOnlyOf(std::string_view text, CharacterClass cls);
// The text without leading and trailing code points of the class.
std::string Trim(std::string_view text, CharacterClass cls = CharacterClass::kWhitespaceAndNewline);

// Ordering like the platform's default string compare: canonically equivalent texts are equal
// ("é" precomposed equals "e" + combining acute), otherwise UTF-16 code unit order; no locale,
// case-sensitive. Returns -1, 0 or 1.
int CanonicalCompare(std::string_view a, std::string_view b);
// The same over UTF-16 code units, in code-unit order; a lone surrogate stays itself (distinct
// from every other unit), where the UTF-8 form would turn it into U+FFFD.
int CanonicalCompare(std::u16string_view a, std::u16string_view b);
bool CanonicalEquals(std::string_view a, std::string_view b);
// Like CanonicalCompare after full case folding of both texts. Returns -1, 0 or 1.
int CaseInsensitiveCompare(std::string_view a, std::string_view b);

// Plain-text search like the platform's string search, over UTF-16 code units.
struct FindOptions {
  bool caseInsensitive = false;  // Full case folding on both sides.
  bool literal = false;          // Code units compared exactly, no canonical equivalence.
  bool backwards = false;        // The last occurrence instead of the first.
  bool anchored = false;         // Only at the start (or, backwards, at the end) of the range.
};
// The UTF-16 range [location, length) of `needle` in the part of `haystack` that starts at unit
// `from` and is at most `length` units long (both clamped). By default canonically equivalent
// sequences match each other ("e" + U+0301 finds "é"), and a match never starts on a combining
// mark nor ends before one, so "e" is not found inside "é". An empty needle is never found.
// Returns {kNotFound, 0} when there is no match; kNotFound is static_cast<size_t>(-1).
struct TextRange {
  static constexpr size_t kNotFound = static_cast<size_t>(-1);
  size_t location = kNotFound;
  size_t length = 0;
  bool found() const { return location != kNotFound; }
  bool operator==(const TextRange&) const = default;
};
TextRange FindString(std::u16string_view haystack, std::u16string_view needle,
                     FindOptions options = {}, size_t from = 0, size_t length = std::string::npos);
TextRange FindString(std::string_view haystack, std::string_view needle, FindOptions options = {},
                     size_t from = 0, size_t length = std::string::npos);
bool HasPrefix(std::string_view text, std::string_view prefix, bool caseInsensitive = false);
bool HasSuffix(std::string_view text, std::string_view suffix, bool caseInsensitive = false);

// Unicode normalisation forms C (composed) and D (decomposed).
std::string NormalizeNFC(std::string_view text);
std::string NormalizeNFD(std::string_view text);
// True when the UTF-16 text is already in NFD (all ASCII text is).
bool IsNFD(std::u16string_view text);
// NFD over UTF-16 code units; lone surrogates are kept as they are.
std::u16string NormalizeNFD(std::u16string_view text);

// Numbers as en_US text, with grouping separators. nullopt when the value is not finite or ICU
// fails.
// The exact binary value of `value` rounded half-up to at most 17 significant digits, in plain
// notation: 1.1 gives "1.1000000000000001", 1234.5 gives "1,234.5".
std::optional<std::string> FormatDecimal17(double value);
// `value` in scientific notation with the fewest digits that read back as the same double,
// rounded half-up: 1e-7 gives "1E-7", -1.5e21 gives "-1.5E21".
std::optional<std::string> FormatScientificShortest(double value);

}  // namespace fnd

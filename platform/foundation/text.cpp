#include "platform/foundation/text.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/numberformatter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace fnd {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// ICU counts in 32-bit lengths; text past 2 GiB is cut there.
int32_t ClampedLength(size_t size) {
  return size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(size);
}

// Calls f(codePoint) for each code point; an ill-formed sequence (its maximal subpart) is one
// U+FFFD, the same policy ICU's UTF-8 conversion uses.
template <typename F>
void ForEachCodePoint(std::string_view text, F&& f) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t n = ClampedLength(text.size());
  int32_t i = 0;
  while (i < n) {
    UChar32 c;
    U8_NEXT(s, i, n, c);
    if (c < 0) c = kReplacementCharacter;
    if (!f(static_cast<char32_t>(c))) return;
  }
}

void AppendUTF8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacementCharacter;
  uint8_t buf[4];
  int32_t len = 0;
  UBool error = false;
  U8_APPEND(buf, len, 4, static_cast<UChar32>(c), error);
  (void)error;  // Cannot fail: c is a valid scalar value and the buffer holds 4 bytes.
  out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(len));
}

icu::UnicodeString ToUnicode(std::string_view text) {
  // Larger texts than 2 GiB are not text this program handles; ICU lengths are 32-bit.
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), ClampedLength(text.size())));
}

std::string ToUTF8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

icu::UnicodeString Normalize(const icu::UnicodeString& s, bool composed) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* n = composed ? icu::Normalizer2::getNFCInstance(status)
                                       : icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status) || n == nullptr) return s;
  icu::UnicodeString out = n->normalize(s, status);
  return U_SUCCESS(status) ? out : s;
}

int Sign(int8_t c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

}  // namespace

bool IsValidUTF8(std::string_view text) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t n = ClampedLength(text.size());
  if (text.size() > static_cast<size_t>(INT32_MAX)) return false;
  int32_t i = 0;
  while (i < n) {
    UChar32 c;
    U8_NEXT(s, i, n, c);
    if (c < 0) return false;
  }
  return true;
}

size_t UTF16Length(std::string_view text) {
  size_t n = 0;
  ForEachCodePoint(text, [&](char32_t c) {
    n += c > 0xFFFF ? 2 : 1;
    return true;
  });
  return n;
}

size_t CodePointLength(std::string_view text) {
  size_t n = 0;
  ForEachCodePoint(text, [&](char32_t) {
    ++n;
    return true;
  });
  return n;
}

std::u16string ToUTF16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  ForEachCodePoint(text, [&](char32_t c) {
    if (c > 0xFFFF) {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    return true;
  });
  return out;
}

std::u32string ToUTF32(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  ForEachCodePoint(text, [&](char32_t c) {
    out.push_back(c);
    return true;
  });
  return out;
}

std::string FromUTF16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (U16_IS_LEAD(c) && i + 1 < text.size() && U16_IS_TRAIL(text[i + 1])) {
      c = U16_GET_SUPPLEMENTARY(c, text[i + 1]);
      ++i;
    }
    AppendUTF8(out, c);  // A lone surrogate becomes U+FFFD there.
  }
  return out;
}

std::string FromUTF32(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) AppendUTF8(out, c);
  return out;
}

std::string SubstringUTF16(std::string_view text, size_t start, size_t length) {
  const size_t end = length > SIZE_MAX - start ? SIZE_MAX : start + length;
  std::string out;
  size_t unit = 0;
  ForEachCodePoint(text, [&](char32_t c) {
    const size_t width = c > 0xFFFF ? 2 : 1;
    if (unit >= end || unit + width > end) return false;
    if (unit >= start) AppendUTF8(out, c);
    unit += width;
    return true;
  });
  return out;
}

std::string SubstringCodePoints(std::string_view text, size_t start, size_t length) {
  const size_t end = length > SIZE_MAX - start ? SIZE_MAX : start + length;
  std::string out;
  size_t index = 0;
  ForEachCodePoint(text, [&](char32_t c) {
    if (index >= end) return false;
    if (index >= start) AppendUTF8(out, c);
    ++index;
    return true;
  });
  return out;
}

std::string ToUpper(std::string_view text, std::string_view locale) {
  icu::UnicodeString s = ToUnicode(text);
  if (locale.empty()) {
    s.toUpper(icu::Locale::getRoot());
  } else {
    s.toUpper(icu::Locale(std::string(locale).c_str()));
  }
  return ToUTF8(s);
}

std::string ToLower(std::string_view text, std::string_view locale) {
  icu::UnicodeString s = ToUnicode(text);
  if (locale.empty()) {
    s.toLower(icu::Locale::getRoot());
  } else {
    s.toLower(icu::Locale(std::string(locale).c_str()));
  }
  return ToUTF8(s);
}

std::string FoldCase(std::string_view text) {
  icu::UnicodeString s = ToUnicode(text);
  s.foldCase(U_FOLD_CASE_DEFAULT);
  return ToUTF8(s);
}

bool IsInClass(char32_t codePoint, CharacterClass cls) {
  const UChar32 c = static_cast<UChar32>(codePoint);
  if (codePoint > 0x10FFFF) return false;
  const uint32_t mask = U_GET_GC_MASK(c);
  switch (cls) {
    case CharacterClass::kLetter:
      return (mask & U_GC_L_MASK) != 0;
    case CharacterClass::kLetterOrMark:
      return (mask & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
    case CharacterClass::kDecimalDigit:
      return (mask & U_GC_ND_MASK) != 0;
    case CharacterClass::kAlphanumeric:
      return (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
    case CharacterClass::kWhitespace:
      return (mask & U_GC_ZS_MASK) != 0 || c == 0x09;
    case CharacterClass::kWhitespaceAndNewline:
      return (mask & U_GC_Z_MASK) != 0 || (c >= 0x09 && c <= 0x0D) || c == 0x85;
    case CharacterClass::kNameCharacter:
      return (mask & (U_GC_L_MASK | U_GC_ND_MASK)) != 0 || c == '_';
  }
  return false;
}

bool ConsistsOnlyOf(std::string_view text, CharacterClass cls) {
  if (cls == CharacterClass::kNameCharacter) {
    // Names are checked for every event parameter and are mostly ASCII, where the class is the
    // letters, the digits and "_"; the first other byte hands the rest to the general walk.
    size_t ascii = 0;
    for (; ascii < text.size(); ++ascii) {
      const unsigned char c = static_cast<unsigned char>(text[ascii]);
      if (c >= 0x80) break;
      const bool in =
          (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
      if (!in) return false;
    }
    text.remove_prefix(ascii);
  }
  bool all = true;
  ForEachCodePoint(text, [&](char32_t c) {
    all = IsInClass(c, cls);
    return all;
  });
  return all;
}

std::string Trim(std::string_view text, CharacterClass cls) {
  std::u32string cps = ToUTF32(text);
  size_t b = 0, e = cps.size();
  while (b < e && IsInClass(cps[b], cls)) ++b;
  while (e > b && IsInClass(cps[e - 1], cls)) --e;
  return FromUTF32(std::u32string_view(cps).substr(b, e - b));
}

int CanonicalCompare(std::string_view a, std::string_view b) {
  if (a == b) return 0;
  icu::UnicodeString x = Normalize(ToUnicode(a), false);
  icu::UnicodeString y = Normalize(ToUnicode(b), false);
  return Sign(x.compare(y));
}

int CanonicalCompare(std::u16string_view a, std::u16string_view b) {
  if (a == b) return 0;
  const icu::UnicodeString x(false, a.data(), static_cast<int32_t>(a.size()));
  const icu::UnicodeString y(false, b.data(), static_cast<int32_t>(b.size()));
  return Sign(Normalize(x, false).compare(Normalize(y, false)));
}

bool CanonicalEquals(std::string_view a, std::string_view b) { return CanonicalCompare(a, b) == 0; }

int CaseInsensitiveCompare(std::string_view a, std::string_view b) {
  auto key = [](std::string_view t) {
    icu::UnicodeString s = Normalize(ToUnicode(t), false);
    s.foldCase(U_FOLD_CASE_DEFAULT);
    return Normalize(s, false);
  };
  return Sign(key(a).compare(key(b)));
}

namespace {

// The comparison key of a stretch of text: NFD, then (when asked) case folded and NFD again.
icu::UnicodeString SearchKey(const icu::UnicodeString& s, bool caseInsensitive) {
  icu::UnicodeString key = Normalize(s, false);
  if (caseInsensitive) {
    key.foldCase(U_FOLD_CASE_DEFAULT);
    key = Normalize(key, false);
  }
  return key;
}

bool IsCombining(UChar32 c) { return u_getCombiningClass(c) != 0; }

bool IsNFD(const icu::UnicodeString& s) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* n = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status) || n == nullptr) return false;
  const bool normalized = n->isNormalized(s, status);
  return U_SUCCESS(status) && normalized;
}

}  // namespace

TextRange FindString(std::u16string_view haystack, std::u16string_view needle, FindOptions options,
                     size_t from, size_t length) {
  const size_t total = haystack.size();
  if (needle.empty() || from > total) return {};
  const size_t end = length > total - from ? total : from + length;
  const icu::UnicodeString hay(haystack.data(), static_cast<int32_t>(haystack.size()));
  const int32_t rangeStart = static_cast<int32_t>(from);
  const int32_t rangeEnd = static_cast<int32_t>(end);

  if (options.literal && !options.caseInsensitive) {
    const std::u16string_view window = haystack.substr(from, end - from);
    size_t at = options.backwards ? window.rfind(needle) : window.find(needle);
    if (at == std::u16string_view::npos) return {};
    if (options.anchored && at != (options.backwards ? window.size() - needle.size() : 0)) {
      return {};
    }
    return {from + at, needle.size()};
  }

  // Text already in NFD (as all ASCII text is) needs no normalising: canonical equivalence is then
  // code-unit equality, with the combining-mark rule at both ends.
  const icu::UnicodeString needleText(needle.data(), static_cast<int32_t>(needle.size()));
  if (!options.caseInsensitive && IsNFD(hay) && IsNFD(needleText)) {
    const std::u16string_view window = haystack.substr(from, end - from);
    const bool needleStartsWithMark = IsCombining(needleText.char32At(0));
    auto acceptable = [&](size_t at) {
      const int32_t b = static_cast<int32_t>(from + at);
      const int32_t e = b + static_cast<int32_t>(needle.size());
      if (IsCombining(hay.char32At(b)) && !needleStartsWithMark) return false;
      return !(e < rangeEnd && IsCombining(hay.char32At(e)));
    };
    if (!options.backwards) {
      for (size_t at = window.find(needle); at != std::u16string_view::npos;
           at = window.find(needle, at + 1)) {
        if (options.anchored && at != 0) break;
        if (acceptable(at)) return {from + at, needle.size()};
      }
      return {};
    }
    for (size_t at = window.rfind(needle); at != std::u16string_view::npos;
         at = at == 0 ? std::u16string_view::npos : window.rfind(needle, at - 1)) {
      if (options.anchored && at + needle.size() != window.size()) break;
      if (acceptable(at)) return {from + at, needle.size()};
    }
    return {};
  }

  // Canonical search in text that is not in NFD. The NFD of a stretch is as long as the sum of
  // the full decompositions of its code points (reordering only permutes them), so each start
  // has at most one end whose stretch can equal the needle's NFD: the one where those lengths add
  // up to the needle's. The lengths are summed once for the whole range, and a stretch is
  // normalised only where its length fits and its first decomposed code point is the needle's
  // (when that is a starter, which reordering never moves), instead of at every position.
  if (!options.caseInsensitive && !options.literal) {
    const icu::UnicodeString wanted =
        Normalize(icu::UnicodeString(needle.data(), static_cast<int32_t>(needle.size())), false);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_SUCCESS(status) && nfd != nullptr) {
      const UChar32 first = wanted.char32At(0);
      const bool firstIsStarter = !IsCombining(first);
      std::vector<int32_t> starts;   // Code point starts in the range, then rangeEnd.
      std::vector<int64_t> lengths;  // lengths[i]: decomposed units before starts[i].
      std::vector<UChar32> heads;    // First decomposed code point of the code point at starts[i].
      icu::UnicodeString decomposition;
      int64_t total = 0;
      for (int32_t b = rangeStart; b < rangeEnd; b = hay.moveIndex32(b, 1)) {
        const UChar32 c = hay.char32At(b);
        starts.push_back(b);
        lengths.push_back(total);
        if (c >= 0xC0 && nfd->getDecomposition(c, decomposition)) {  // Nothing below decomposes.
          total += decomposition.length();
          heads.push_back(decomposition.char32At(0));
        } else {
          total += U16_LENGTH(c);
          heads.push_back(c);
        }
      }
      starts.push_back(rangeEnd);
      lengths.push_back(total);
      const size_t count = heads.size();
      // The end of the stretch from code point i whose decomposition is as long as the needle's,
      // as an index into starts, or -1.
      auto matchFrom = [&](size_t i) -> int32_t {
        const int32_t b = starts[i];
        if (firstIsStarter && (heads[i] != first || IsCombining(hay.char32At(b)))) return -1;
        // Every code point adds at least one unit, so the end lies within |wanted| code points.
        const int64_t target = lengths[i] + wanted.length();
        size_t j = i + 1;
        while (j < lengths.size() && lengths[j] < target) ++j;
        if (j == lengths.size() || lengths[j] != target) return -1;
        const int32_t e = starts[j];
        if (Normalize(icu::UnicodeString(hay, b, e - b), false) != wanted) return -1;
        if (e < rangeEnd && IsCombining(hay.char32At(e))) return -1;
        return e;
      };
      if (!options.backwards) {
        for (size_t i = 0; i < count; ++i) {
          if (int32_t e = matchFrom(i); e >= 0) {
            return {static_cast<size_t>(starts[i]), static_cast<size_t>(e - starts[i])};
          }
          if (options.anchored) break;
        }
        return {};
      }
      for (size_t i = count; i-- > 0;) {
        if (int32_t e = matchFrom(i); e >= 0) {
          if (options.anchored && e != rangeEnd) continue;
          return {static_cast<size_t>(starts[i]), static_cast<size_t>(e - starts[i])};
        }
      }
      return {};
    }
  }

  const icu::UnicodeString key =
      SearchKey(icu::UnicodeString(needle.data(), static_cast<int32_t>(needle.size())),
                options.caseInsensitive);
  // Literal but case-insensitive: fold only, no normalisation.
  auto keyOf = [&](int32_t b, int32_t e) {
    icu::UnicodeString part(hay, b, e - b);
    if (options.literal) {
      part.foldCase(U_FOLD_CASE_DEFAULT);
      return part;
    }
    return SearchKey(part, options.caseInsensitive);
  };
  const icu::UnicodeString literalKey = [&] {
    icu::UnicodeString k(needle.data(), static_cast<int32_t>(needle.size()));
    k.foldCase(U_FOLD_CASE_DEFAULT);
    return k;
  }();
  const icu::UnicodeString& wanted = options.literal ? literalKey : key;
  const bool checkMarks = !options.literal;

  // Tries every start; for each, grows the end one code point at a time while the key of the
  // stretch can still equal the needle's key.
  auto matchAt = [&](int32_t b) -> int32_t {
    if (checkMarks && IsCombining(hay.char32At(b)) && !IsCombining(wanted.char32At(0))) {
      return -1;
    }
    for (int32_t e = hay.moveIndex32(b, 1); e <= rangeEnd; e = hay.moveIndex32(e, 1)) {
      icu::UnicodeString k = keyOf(b, e);
      if (k == wanted) {
        if (checkMarks && e < rangeEnd && IsCombining(hay.char32At(e))) return -1;
        return e;
      }
      // Appending text never shortens the key, so once longer than the needle's it cannot match.
      if (k.length() > wanted.length()) return -1;
      if (e == rangeEnd) break;
    }
    return -1;
  };

  if (!options.backwards) {
    for (int32_t b = rangeStart; b < rangeEnd; b = hay.moveIndex32(b, 1)) {
      if (int32_t e = matchAt(b); e >= 0) {
        return {static_cast<size_t>(b), static_cast<size_t>(e - b)};
      }
      if (options.anchored) break;
    }
    return {};
  }
  for (int32_t b = rangeEnd; b > rangeStart;) {
    b = hay.moveIndex32(b, -1);
    if (b < rangeStart) break;
    if (int32_t e = matchAt(b); e >= 0) {
      if (options.anchored && e != rangeEnd) continue;
      return {static_cast<size_t>(b), static_cast<size_t>(e - b)};
    }
  }
  return {};
}

TextRange FindString(std::string_view haystack, std::string_view needle, FindOptions options,
                     size_t from, size_t length) {
  return FindString(std::u16string_view(ToUTF16(haystack)), std::u16string_view(ToUTF16(needle)),
                    options, from, length);
}

bool HasPrefix(std::string_view text, std::string_view prefix, bool caseInsensitive) {
  FindOptions o;
  o.caseInsensitive = caseInsensitive;
  o.anchored = true;
  return FindString(text, prefix, o).found();
}

bool HasSuffix(std::string_view text, std::string_view suffix, bool caseInsensitive) {
  FindOptions o;
  o.caseInsensitive = caseInsensitive;
  o.anchored = true;
  o.backwards = true;
  return FindString(text, suffix, o).found();
}

std::string NormalizeNFC(std::string_view text) { return ToUTF8(Normalize(ToUnicode(text), true)); }

std::string NormalizeNFD(std::string_view text) {
  return ToUTF8(Normalize(ToUnicode(text), false));
}

bool IsNFD(std::u16string_view text) {
  return IsNFD(icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size())));
}

std::u16string NormalizeNFD(std::u16string_view text) {
  const icu::UnicodeString input(false, text.data(), static_cast<int32_t>(text.size()));
  const icu::UnicodeString output = Normalize(input, false);
  return std::u16string(output.getBuffer(), static_cast<size_t>(output.length()));
}

// ---- Numbers as text.

namespace {

const icu::number::LocalizedNumberFormatter& Decimal17Formatter() {
  static const icu::number::LocalizedNumberFormatter formatter =
      icu::number::NumberFormatter::withLocale(icu::Locale("en_US"))
          .precision(icu::number::Precision::minMaxSignificantDigits(1, 17))
          .roundingMode(UNUM_ROUND_HALFUP);
  return formatter;
}

const icu::number::LocalizedNumberFormatter& ScientificShortestFormatter() {
  static const icu::number::LocalizedNumberFormatter formatter =
      icu::number::NumberFormatter::withLocale(icu::Locale("en_US"))
          .notation(icu::number::Notation::scientific())
          .precision(icu::number::Precision::unlimited())
          .roundingMode(UNUM_ROUND_HALFUP);
  return formatter;
}

// The exact decimal value of a finite double (glibc prints every digit exactly), so that the
// formatter rounds the true value half-up rather than the shortest text that reads back.
std::string ExactDecimal(double value) {
  char buffer[800];
  int length = std::snprintf(buffer, sizeof buffer, "%.767e", value);
  if (length < 0 || static_cast<size_t>(length) >= sizeof buffer) return std::to_string(value);
  return std::string(buffer, static_cast<size_t>(length));
}

std::optional<std::string> FormattedText(const icu::number::FormattedNumber& formatted,
                                         UErrorCode& status) {
  icu::UnicodeString text = formatted.toString(status);
  if (U_FAILURE(status)) return std::nullopt;
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace

std::optional<std::string> FormatDecimal17(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  return FormattedText(Decimal17Formatter().formatDecimal(ExactDecimal(value), status), status);
}

std::optional<std::string> FormatScientificShortest(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  return FormattedText(ScientificShortestFormatter().formatDouble(value, status), status);
}

}  // namespace fnd

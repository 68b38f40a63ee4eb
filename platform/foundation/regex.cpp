#include "platform/foundation/regex.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cctype>

#include "platform/foundation/icu_error.h"
#include "platform/foundation/text.h"

namespace fnd {

namespace {

constexpr int64_t kRegexPatternInvalidCode = 2048;  // The platform's formatting error.

// ICU counts in 32-bit lengths; subjects past 2 GiB are cut there.
int32_t ClampedLength(size_t size) {
  return size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(size);
}

uint32_t ToICUFlags(uint32_t options) {
  uint32_t flags = 0;
  if (options & Regex::kCaseInsensitive) flags |= UREGEX_CASE_INSENSITIVE;
  if (options & Regex::kAllowCommentsAndWhitespace) flags |= UREGEX_COMMENTS;
  if (options & Regex::kIgnoreMetacharacters) flags |= UREGEX_LITERAL;
  if (options & Regex::kDotMatchesLineSeparators) flags |= UREGEX_DOTALL;
  if (options & Regex::kAnchorsMatchLines) flags |= UREGEX_MULTILINE;
  if (options & Regex::kUseUnixLineSeparators) flags |= UREGEX_UNIX_LINES;
  if (options & Regex::kUseUnicodeWordBoundaries) flags |= UREGEX_UWORD;
  return flags;
}

icu::UnicodeString FromUTF8(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), ClampedLength(s.size())));
}

icu::UnicodeString FromUTF16View(std::u16string_view s) {
  return icu::UnicodeString(s.data(), ClampedLength(s.size()));
}

std::string ToUTF8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

}  // namespace

struct Regex::Compiled {
  std::string pattern;
  uint32_t options = 0;
  std::unique_ptr<icu::RegexPattern> icu;
};

Regex::~Regex() = default;

std::optional<Regex> Regex::Compile(std::string_view pattern, uint32_t options, Error* error) {
  auto compiled = std::make_shared<Compiled>();
  compiled->pattern = std::string(pattern);
  compiled->options = options;
  UParseError parse{};
  UErrorCode status = U_ZERO_ERROR;
  compiled->icu.reset(
      icu::RegexPattern::compile(FromUTF8(pattern), ToICUFlags(options), parse, status));
  if (U_FAILURE(status) || !compiled->icu) {
    Error underlying = ErrorFromICU(status, "compile regular expression");
    Dictionary info;
    info.set("NSInvalidValue", std::string(pattern));
    info.set(kLocalizedDescriptionKey,
             "The value \u201c" + std::string(pattern) + "\u201d is invalid.");
    info.set(kUnderlyingErrorKey,
             underlying.localizedDescription() + " at offset " + std::to_string(parse.offset));
    SetError(error, Error(kCocoaErrorDomain, kRegexPatternInvalidCode, std::move(info)));
    return std::nullopt;
  }
  return Regex(std::move(compiled));
}

const std::string& Regex::pattern() const { return compiled_->pattern; }
uint32_t Regex::options() const { return compiled_->options; }

size_t Regex::numberOfCaptureGroups() const {
  // The count is on the matcher; a throwaway one over the empty text answers it.
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> m(compiled_->icu->matcher(status));
  if (U_FAILURE(status) || !m) return 0;
  return static_cast<size_t>(m->groupCount());
}

namespace {

// Runs `body` with a matcher over `input` set up with the time limit. The matcher keeps a
// reference to the input, so the input must outlive it (it does: both live in the caller).
std::unique_ptr<icu::RegexMatcher> MakeMatcher(const icu::RegexPattern& pattern,
                                               const icu::UnicodeString& input, int32_t limit,
                                               Error* error) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> m(pattern.matcher(input, status));
  if (U_SUCCESS(status) && m) m->setTimeLimit(limit, status);
  if (U_FAILURE(status) || !m) {
    SetError(error, ErrorFromICU(status, "create regular-expression matcher"));
    return nullptr;
  }
  return m;
}

RegexMatch CurrentMatch(icu::RegexMatcher& m) {
  RegexMatch match;
  UErrorCode status = U_ZERO_ERROR;
  const int32_t groups = m.groupCount();
  for (int32_t g = 0; g <= groups; ++g) {
    int32_t start = m.start(g, status);
    int32_t end = m.end(g, status);
    if (U_FAILURE(status) || start < 0) {
      status = U_ZERO_ERROR;
      match.groups.push_back(Range{});
      match.texts.emplace_back();
      continue;
    }
    match.groups.push_back(Range{static_cast<size_t>(start), static_cast<size_t>(end - start)});
    match.texts.push_back(ToUTF8(m.group(g, status)));
  }
  return match;
}

std::optional<RegexMatch> First(const icu::RegexPattern& pattern, const icu::UnicodeString& input,
                                size_t from, int32_t limit, Error* error) {
  if (from > static_cast<size_t>(input.length())) return std::nullopt;
  auto m = MakeMatcher(pattern, input, limit, error);
  if (!m) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  bool found = m->find(static_cast<int64_t>(from), status);
  if (U_FAILURE(status)) {
    SetError(error, ErrorFromICU(status, "match regular expression"));
    return std::nullopt;
  }
  if (!found) return std::nullopt;
  return CurrentMatch(*m);
}

UBool U_CALLCONV ProgressCallback(const void* context, int32_t steps) {
  return (*static_cast<const Regex::Progress*>(context))(steps) ? 1 : 0;
}

std::optional<std::vector<RegexMatch>> All(const icu::RegexPattern& pattern,
                                           const icu::UnicodeString& input, int32_t limit,
                                           Error* error) {
  auto m = MakeMatcher(pattern, input, limit, error);
  if (!m) return std::nullopt;
  std::vector<RegexMatch> out;
  UErrorCode status = U_ZERO_ERROR;
  while (m->find(status) && U_SUCCESS(status)) out.push_back(CurrentMatch(*m));
  if (U_FAILURE(status)) {
    SetError(error, ErrorFromICU(status, "match regular expression"));
    return std::nullopt;
  }
  return out;
}

}  // namespace

std::optional<RegexMatch> Regex::firstMatch(std::string_view text, size_t from,
                                            Error* error) const {
  return First(*compiled_->icu, FromUTF8(text), from, timeLimit_, error);
}

std::optional<RegexMatch> Regex::firstMatch(std::u16string_view text, size_t from,
                                            Error* error) const {
  return First(*compiled_->icu, FromUTF16View(text), from, timeLimit_, error);
}

std::optional<RegexMatch> Regex::firstMatch(std::u16string_view text, size_t from, Error* error,
                                            const Progress& progress) const {
  // A read-only alias of the caller's units: no copy of a long subject.
  const icu::UnicodeString input(false, text.data(), ClampedLength(text.size()));
  if (from > static_cast<size_t>(input.length())) return std::nullopt;
  auto m = MakeMatcher(*compiled_->icu, input, timeLimit_, error);
  if (!m) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  if (progress) m->setMatchCallback(ProgressCallback, &progress, status);
  bool found = U_SUCCESS(status) && m->find(static_cast<int64_t>(from), status);
  if (U_FAILURE(status)) {
    SetError(error, ErrorFromICU(status, "match regular expression"));
    return std::nullopt;
  }
  if (!found) return std::nullopt;
  return CurrentMatch(*m);
}

bool Regex::search(std::string_view text, Error* error) const {
  return firstMatch(text, 0, error).has_value();
}

bool Regex::matches(std::string_view text, Error* error) const {
  icu::UnicodeString input = FromUTF8(text);
  auto m = MakeMatcher(*compiled_->icu, input, timeLimit_, error);
  if (!m) return false;
  UErrorCode status = U_ZERO_ERROR;
  bool whole = m->matches(status);
  if (U_FAILURE(status)) return SetError(error, ErrorFromICU(status, "match regular expression"));
  return whole;
}

std::optional<std::vector<RegexMatch>> Regex::allMatches(std::string_view text,
                                                         Error* error) const {
  return All(*compiled_->icu, FromUTF8(text), timeLimit_, error);
}

std::optional<std::vector<RegexMatch>> Regex::allMatches(std::u16string_view text,
                                                         Error* error) const {
  return All(*compiled_->icu, FromUTF16View(text), timeLimit_, error);
}

namespace {

// ICU's own replaceAll() drops a time-out and answers the text unchanged, so the loop is ours.
std::optional<std::string> Replace(const icu::RegexPattern& pattern, std::string_view text,
                                   std::string_view replacement, bool all, int32_t limit,
                                   Error* error) {
  icu::UnicodeString input = FromUTF8(text);
  const icu::UnicodeString templ = FromUTF8(replacement);
  auto m = MakeMatcher(pattern, input, limit, error);
  if (!m) return std::nullopt;
  icu::UnicodeString out;
  UErrorCode status = U_ZERO_ERROR;
  while (m->find(status) && U_SUCCESS(status)) {
    m->appendReplacement(out, templ, status);
    if (U_FAILURE(status) || !all) break;
  }
  if (U_SUCCESS(status)) m->appendTail(out);
  if (U_FAILURE(status)) {
    SetError(error, ErrorFromICU(status, "replace with regular expression"));
    return std::nullopt;
  }
  return ToUTF8(out);
}

}  // namespace

std::optional<std::string> Regex::replaceAll(std::string_view text, std::string_view replacement,
                                             Error* error) const {
  return Replace(*compiled_->icu, text, replacement, true, timeLimit_, error);
}

std::optional<std::string> Regex::replaceFirst(std::string_view text, std::string_view replacement,
                                               Error* error) const {
  return Replace(*compiled_->icu, text, replacement, false, timeLimit_, error);
}

std::string Regex::EscapedTemplate(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '$') out += '\\';
    out += c;
  }
  return out;
}

std::string Regex::EscapedPattern(std::string_view text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    // A backslash before any ASCII character that is not a letter or digit quotes it.
    if (u < 0x80 && !std::isalnum(u) && u > 0x20) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace fnd

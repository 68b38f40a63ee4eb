// Regular expressions with ICU syntax, like the platform's regular-expression class.
//
// Subjects are UTF-8 (or UTF-16 for callers that already work in code units). All ranges are
// counted in UTF-16 code units of the subject, as the platform counts them.
//
// Every match runs under a work limit (ICU's time limit, in ICU "steps" of roughly a few
// milliseconds each), so a hostile pattern such as "(a+)+$" against a long subject fails with an
// error (domain kICUErrorDomain, code U_REGEX_TIME_OUT) instead of hanging.
//
// Thread safety: a compiled Regex is immutable and may be used from several threads at once; each
// call makes its own matcher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"

namespace fnd {

// The domain of errors reported by ICU; the code is ICU's UErrorCode.
inline constexpr const char* kICUErrorDomain = "org.unicode.icu";

// A range of UTF-16 units. An optional capture group that took no part has location kNotFound.
struct Range {
  static constexpr size_t kNotFound = static_cast<size_t>(-1);
  size_t location = kNotFound;
  size_t length = 0;
  bool found() const { return location != kNotFound; }
  size_t end() const { return location + length; }
  bool operator==(const Range&) const = default;
};

struct RegexMatch {
  // groups[0] is the whole match, groups[i] capture group i.
  std::vector<Range> groups;
  // The text of each group (empty for a group that took no part), UTF-8.
  std::vector<std::string> texts;
  Range range() const { return groups.empty() ? Range{} : groups[0]; }
};

class Regex {
 public:
  // Compile options; combine with |.
  enum Options : uint32_t {
    kNone = 0,
    kCaseInsensitive = 1 << 0,
    kAllowCommentsAndWhitespace = 1 << 1,
    kIgnoreMetacharacters = 1 << 2,  // The pattern is literal text.
    kDotMatchesLineSeparators = 1 << 3,
    kAnchorsMatchLines = 1 << 4,  // "^" and "$" match at line starts and ends.
    kUseUnixLineSeparators = 1 << 5,
    kUseUnicodeWordBoundaries = 1 << 6,
  };

  // The default work limit of each match call, in ICU steps.
  static constexpr int32_t kDefaultTimeLimit = 2000;

  // Compiles the pattern. A pattern that does not compile gives nullopt and an error in the
  // platform's form: domain kCocoaErrorDomain, code 2048, user info {"NSInvalidValue": pattern,
  // description "The value “PATTERN” is invalid.", kUnderlyingErrorKey: ICU's error text}.
  static std::optional<Regex> Compile(std::string_view pattern, uint32_t options = kNone,
                                      Error* error = nullptr);

  const std::string& pattern() const;
  uint32_t options() const;
  size_t numberOfCaptureGroups() const;

  // Work limit of each later call on this object (0 = no limit; use only for trusted patterns).
  void setTimeLimit(int32_t steps) { timeLimit_ = steps; }
  int32_t timeLimit() const { return timeLimit_; }

  // The first match at or after UTF-16 unit `from`. nullopt when there is none, or on a time-out
  // (then *error is filled; with error == nullptr a time-out is indistinguishable from no match).
  std::optional<RegexMatch> firstMatch(std::string_view text, size_t from = 0,
                                       Error* error = nullptr) const;
  std::optional<RegexMatch> firstMatch(std::u16string_view text, size_t from = 0,
                                       Error* error = nullptr) const;
  // Called by a running match about once per ICU step with the steps taken so far (a step is a
  // fixed number of the engine's operations, so the count measures the work done). Answering
  // false stops the match, which then fails with U_REGEX_STOPPED_BY_CALLER.
  using Progress = std::function<bool(int64_t steps)>;
  // firstMatch() with `progress` told of the work as it goes; the subject is read in place.
  std::optional<RegexMatch> firstMatch(std::u16string_view text, size_t from, Error* error,
                                       const Progress& progress) const;
  // True when the pattern matches somewhere in the text.
  bool search(std::string_view text, Error* error = nullptr) const;
  // True when the pattern matches the whole text.
  bool matches(std::string_view text, Error* error = nullptr) const;
  // Every non-overlapping match, in order. On a time-out: nullopt and *error.
  std::optional<std::vector<RegexMatch>> allMatches(std::string_view text,
                                                    Error* error = nullptr) const;
  std::optional<std::vector<RegexMatch>> allMatches(std::u16string_view text,
                                                    Error* error = nullptr) const;
  // Replaces every match with the template, in which "$n" is capture group n and "\\$" a literal
  // "$". A bad template or a time-out gives nullopt and *error.
  std::optional<std::string> replaceAll(std::string_view text, std::string_view replacement,
                                        Error* error = nullptr) const;
  // The same for the first match only.
  std::optional<std::string> replaceFirst(std::string_view text, std::string_view replacement,
                                          Error* error = nullptr) const;

  // A template that stands for the text itself ("$" and "\\" escaped).
  static std::string EscapedTemplate(std::string_view text);
  // A pattern that matches the text literally.
  static std::string EscapedPattern(std::string_view text);

  Regex(const Regex&) = default;
  Regex& operator=(const Regex&) = default;
  Regex(Regex&&) noexcept = default;
  Regex& operator=(Regex&&) noexcept = default;
  ~Regex();

 private:
  struct Compiled;
  explicit Regex(std::shared_ptr<const Compiled> compiled) : compiled_(std::move(compiled)) {}
  std::shared_ptr<const Compiled> compiled_;
  int32_t timeLimit_ = kDefaultTimeLimit;
};

}  // namespace fnd

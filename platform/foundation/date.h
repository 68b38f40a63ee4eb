// Calendar helpers for instants given as seconds since 1970-01-01 00:00:00 UTC (the platform's
// date). Nothing here reads the clock: callers pass the instant (the clock lives in dispatch).
// Instants beyond about three million years from 1970 are clamped; a NaN instant counts as 1970.
//
// Thread safety: free functions are pure; a TimeZone is immutable and may be shared.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

namespace fnd {

inline constexpr double kSecondsPerDay = 86400;

// A time zone by its IANA id ("UTC", "Europe/Berlin"), backed by ICU.
class TimeZone {
 public:
  static TimeZone UTC();
  // The process's zone: $TZ when set, otherwise the system's, as ICU finds it at the first call.
  // A test may replace it with SetLocalForTesting().
  static TimeZone Local();
  // nullopt for an id ICU does not know.
  static std::optional<TimeZone> Named(std::string_view id);
  // Replaces (or, with nullopt, restores) what Local() answers. For tests only.
  static void SetLocalForTesting(std::optional<TimeZone> zone);

  const std::string& identifier() const;
  // The offset from UTC, in seconds, in force at the instant (daylight saving included).
  int32_t secondsFromGMT(double secondsSince1970) const;

 private:
  struct Impl;
  explicit TimeZone(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

// A civil date and time of day.
struct DateComponents {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  double fraction = 0;  // [0, 1)
  bool operator==(const DateComponents&) const = default;
};

// The civil components of an instant in a zone.
DateComponents ComponentsOf(double secondsSince1970, const TimeZone& zone);
// The instant of civil components in a zone. In a gap (spring forward) the offset before the gap
// applies; in an overlap, the first occurrence.
double InstantOf(const DateComponents& components, const TimeZone& zone);

// Days since 1970-01-01 in the zone (negative before it); day boundaries are civil midnights.
int64_t DayNumber(double secondsSince1970, const TimeZone& zone);
// The instant of civil midnight that starts the instant's day in the zone.
double StartOfDay(double secondsSince1970, const TimeZone& zone);
// Seconds elapsed since that midnight.
double SecondsSinceStartOfDay(double secondsSince1970, const TimeZone& zone);
// The instant `days` civil days later (or earlier) at the same wall-clock time.
double AddDays(double secondsSince1970, int64_t days, const TimeZone& zone);

// ISO 8601 / RFC 3339 text in UTC: "2024-03-05T07:08:09Z", or with `fractionalDigits` (0..6)
// digits of fraction: "2024-03-05T07:08:09.123Z".
std::string FormatISO8601(double secondsSince1970, int fractionalDigits = 0);
// The same with the zone's offset: "2024-03-05T08:08:09+01:00" ("Z" when the offset is 0).
std::string FormatISO8601(double secondsSince1970, const TimeZone& zone, int fractionalDigits = 0);
// Parses "YYYY-MM-DDTHH:MM:SS[.fff...](Z|±HH:MM|±HHMM)" and the date alone "YYYY-MM-DD" (UTC
// midnight). A space may stand for "T", "z" for "Z". Anything else gives nullopt and an error.
std::optional<double> ParseISO8601(std::string_view text, Error* error = nullptr);

}  // namespace fnd

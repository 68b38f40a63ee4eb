#include "platform/foundation/date.h"

#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace fnd {

namespace {

constexpr int64_t kSecondsPerDayInt = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp + (mp < 10 ? 3 : -9);
  year = static_cast<int>(y + (m <= 2));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

// Instants further than this from 1970 (about 3 million years) are clamped to it, so that the
// integer arithmetic below never overflows; a NaN counts as 1970.
constexpr double kMaxSeconds = 1e14;

double Clamp(double seconds) {
  if (std::isnan(seconds)) return 0;
  if (seconds > kMaxSeconds) return kMaxSeconds;
  if (seconds < -kMaxSeconds) return -kMaxSeconds;
  return seconds;
}

int64_t FloorDiv(double seconds, int64_t unit) {
  return static_cast<int64_t>(std::floor(Clamp(seconds) / static_cast<double>(unit)));
}

Error ParseError(std::string_view text) {
  return Error::withDescription(
      kCocoaErrorDomain, 2048,
      "The value \u201c" + std::string(text) + "\u201d is not an ISO 8601 date.");
}

std::string FormatWithOffset(double t, int32_t offset, int fractionalDigits) {
  t = Clamp(t);
  if (fractionalDigits < 0) fractionalDigits = 0;
  if (fractionalDigits > 6) fractionalDigits = 6;
  const double local = t + offset;
  const int64_t days = FloorDiv(local, kSecondsPerDayInt);
  double secondsOfDay = local - static_cast<double>(days) * kSecondsPerDayInt;
  // Truncate the fraction to the digits shown, so that 59.9999 never prints as 60.
  const double scale = std::pow(10.0, fractionalDigits);
  const int64_t scaled = static_cast<int64_t>(std::floor(secondsOfDay * scale + 1e-7));
  const int64_t whole = scaled / static_cast<int64_t>(scale);
  const int64_t frac = scaled % static_cast<int64_t>(scale);
  int year, month, day;
  CivilFromDays(days, year, month, day);
  char buf[96];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day,
                        static_cast<int>(whole / 3600), static_cast<int>(whole / 60 % 60),
                        static_cast<int>(whole % 60));
  std::string out(buf, static_cast<size_t>(n));
  if (fractionalDigits > 0) {
    std::snprintf(buf, sizeof buf, ".%0*lld", fractionalDigits, static_cast<long long>(frac));
    out += buf;
  }
  if (offset == 0) {
    out += "Z";
  } else {
    const int32_t a = std::abs(offset);
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", offset < 0 ? '-' : '+', a / 3600, a / 60 % 60);
    out += buf;
  }
  return out;
}

bool ReadDigits(std::string_view s, size_t& i, size_t count, int& out) {
  if (i + count > s.size()) return false;
  int v = 0;
  for (size_t k = 0; k < count; ++k) {
    char c = s[i + k];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  i += count;
  return true;
}

bool Expect(std::string_view s, size_t& i, char c) {
  if (i >= s.size() || s[i] != c) return false;
  ++i;
  return true;
}

std::mutex& LocalMutex() {
  static std::mutex mu;
  return mu;
}
std::optional<TimeZone>& LocalOverride() {
  static std::optional<TimeZone> zone;  // Guarded by LocalMutex().
  return zone;
}

}  // namespace

struct TimeZone::Impl {
  std::string identifier;
  std::unique_ptr<icu::TimeZone> zone;
  mutable std::mutex mu;  // ICU time zones are not documented as safe for concurrent use.
};

TimeZone TimeZone::UTC() {
  static const TimeZone* utc = [] {
    auto impl = std::make_shared<Impl>();
    impl->identifier = "UTC";
    impl->zone.reset(icu::TimeZone::getGMT()->clone());
    return new TimeZone(std::move(impl));
  }();
  return *utc;
}

TimeZone TimeZone::Local() {
  {
    std::lock_guard<std::mutex> lock(LocalMutex());
    if (LocalOverride()) return *LocalOverride();
  }
  static const TimeZone* local = [] {
    auto impl = std::make_shared<Impl>();
    impl->zone.reset(icu::TimeZone::createDefault());
    icu::UnicodeString id;
    impl->zone->getID(id);
    id.toUTF8String(impl->identifier);
    return new TimeZone(std::move(impl));
  }();
  return *local;
}

std::optional<TimeZone> TimeZone::Named(std::string_view id) {
  icu::UnicodeString uid =
      icu::UnicodeString::fromUTF8(icu::StringPiece(id.data(), static_cast<int32_t>(id.size())));
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(uid));
  // ICU answers an unknown id with its "Etc/Unknown" zone.
  if (!zone || *zone == icu::TimeZone::getUnknown()) return std::nullopt;
  auto impl = std::make_shared<Impl>();
  impl->identifier = std::string(id);
  impl->zone = std::move(zone);
  return TimeZone(std::move(impl));
}

void TimeZone::SetLocalForTesting(std::optional<TimeZone> zone) {
  std::lock_guard<std::mutex> lock(LocalMutex());
  LocalOverride() = std::move(zone);
}

const std::string& TimeZone::identifier() const { return impl_->identifier; }

int32_t TimeZone::secondsFromGMT(double secondsSince1970) const {
  if (!std::isfinite(secondsSince1970)) return 0;
  std::lock_guard<std::mutex> lock(impl_->mu);
  int32_t raw = 0, dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  impl_->zone->getOffset(secondsSince1970 * 1000.0, false, raw, dst, status);
  if (U_FAILURE(status)) return 0;
  return (raw + dst) / 1000;
}

DateComponents ComponentsOf(double t, const TimeZone& zone) {
  t = Clamp(t);
  DateComponents c;
  const double local = t + zone.secondsFromGMT(t);
  const int64_t days = FloorDiv(local, kSecondsPerDayInt);
  const double secondsOfDay = local - static_cast<double>(days) * kSecondsPerDayInt;
  const int64_t whole = static_cast<int64_t>(std::floor(secondsOfDay));
  CivilFromDays(days, c.year, c.month, c.day);
  c.hour = static_cast<int>(whole / 3600);
  c.minute = static_cast<int>(whole / 60 % 60);
  c.second = static_cast<int>(whole % 60);
  c.fraction = secondsOfDay - static_cast<double>(whole);
  return c;
}

double InstantOf(const DateComponents& c, const TimeZone& zone) {
  // Normalise the month so that AddDays-style arithmetic on components stays valid.
  int64_t y = c.year + (c.month - 1) / 12;
  int64_t m = (c.month - 1) % 12;
  if (m < 0) {
    m += 12;
    --y;
  }
  const double local =
      static_cast<double>(DaysFromCivil(y, m + 1, 1) + c.day - 1) * kSecondsPerDayInt +
      c.hour * 3600.0 + c.minute * 60.0 + c.second + c.fraction;
  // At most one transition lies within a day of any instant: try the offsets on either side.
  const int32_t before = zone.secondsFromGMT(local - kSecondsPerDayInt);
  const int32_t after = zone.secondsFromGMT(local + kSecondsPerDayInt);
  std::optional<double> best;
  for (int32_t o : {before, after}) {
    const double t = local - o;
    if (zone.secondsFromGMT(t) == o && (!best || t < *best)) best = t;
  }
  return best ? *best : local - before;  // In a gap, the offset before it applies.
}

int64_t DayNumber(double t, const TimeZone& zone) {
  t = Clamp(t);
  return FloorDiv(t + zone.secondsFromGMT(t), kSecondsPerDayInt);
}

double StartOfDay(double t, const TimeZone& zone) {
  t = Clamp(t);
  DateComponents c = ComponentsOf(t, zone);
  c.hour = c.minute = c.second = 0;
  c.fraction = 0;
  return InstantOf(c, zone);
}

double SecondsSinceStartOfDay(double t, const TimeZone& zone) { return t - StartOfDay(t, zone); }

double AddDays(double t, int64_t days, const TimeZone& zone) {
  DateComponents c = ComponentsOf(t, zone);
  const int64_t maxDays = static_cast<int64_t>(kMaxSeconds / kSecondsPerDayInt);
  days = std::clamp<int64_t>(days, -2 * maxDays, 2 * maxDays);
  int64_t target = DaysFromCivil(c.year, c.month, c.day) + days;
  CivilFromDays(target, c.year, c.month, c.day);
  return InstantOf(c, zone);
}

std::string FormatISO8601(double t, int fractionalDigits) {
  return FormatWithOffset(t, 0, fractionalDigits);
}

std::string FormatISO8601(double t, const TimeZone& zone, int fractionalDigits) {
  return FormatWithOffset(t, zone.secondsFromGMT(t), fractionalDigits);
}

std::optional<double> ParseISO8601(std::string_view s, Error* error) {
  auto fail = [&]() -> std::optional<double> {
    SetError(error, ParseError(s));
    return std::nullopt;
  };
  size_t i = 0;
  int year, month, day;
  if (!ReadDigits(s, i, 4, year) || !Expect(s, i, '-') || !ReadDigits(s, i, 2, month) ||
      !Expect(s, i, '-') || !ReadDigits(s, i, 2, day)) {
    return fail();
  }
  if (month < 1 || month > 12 || day < 1) return fail();
  static constexpr int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDaysInMonth[month - 1] || (month == 2 && day == 29 && !leap)) return fail();
  const double dayStart = static_cast<double>(DaysFromCivil(year, month, day)) * kSecondsPerDayInt;
  if (i == s.size()) return dayStart;
  if (s[i] != 'T' && s[i] != 't' && s[i] != ' ') return fail();
  ++i;
  int hour, minute, second;
  if (!ReadDigits(s, i, 2, hour) || !Expect(s, i, ':') || !ReadDigits(s, i, 2, minute) ||
      !Expect(s, i, ':') || !ReadDigits(s, i, 2, second)) {
    return fail();
  }
  if (hour > 23 || minute > 59 || second > 60) return fail();  // 60: a leap second.
  double fraction = 0;
  if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
    ++i;
    double scale = 0.1;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      fraction += (s[i] - '0') * scale;
      scale /= 10;
      ++i;
      ++digits;
    }
    if (digits == 0) return fail();
  }
  if (i >= s.size()) return fail();  // The zone is required with a time.
  int offset = 0;
  if (s[i] == 'Z' || s[i] == 'z') {
    ++i;
  } else if (s[i] == '+' || s[i] == '-') {
    const int sign = s[i] == '-' ? -1 : 1;
    ++i;
    int oh, om;
    if (!ReadDigits(s, i, 2, oh)) return fail();
    if (i < s.size() && s[i] == ':') ++i;
    if (!ReadDigits(s, i, 2, om) || oh > 23 || om > 59) return fail();
    offset = sign * (oh * 3600 + om * 60);
  } else {
    return fail();
  }
  if (i != s.size()) return fail();
  return dayStart + hour * 3600.0 + minute * 60.0 + second + fraction - offset;
}

}  // namespace fnd

#include "platform/foundation/date.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/foundation/test_home.h"

namespace fnd {
namespace {

// 2024-03-05T07:08:09Z.
constexpr double kInstant = 1709622489;

TimeZone Berlin() { return *TimeZone::Named("Europe/Berlin"); }

TEST(DateTest, FormatsISO8601) {
  EXPECT_EQ(FormatISO8601(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(FormatISO8601(kInstant), "2024-03-05T07:08:09Z");
  EXPECT_EQ(FormatISO8601(kInstant + 0.1239, 3), "2024-03-05T07:08:09.123Z");
  EXPECT_EQ(FormatISO8601(59.9999, 3), "1970-01-01T00:00:59.999Z");  // Truncated, never 60.
  EXPECT_EQ(FormatISO8601(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(FormatISO8601(kInstant, Berlin()), "2024-03-05T08:08:09+01:00");
  EXPECT_EQ(FormatISO8601(kInstant, *TimeZone::Named("America/St_Johns")),
            "2024-03-05T03:38:09-03:30");
  EXPECT_EQ(FormatISO8601(kInstant, TimeZone::UTC()), "2024-03-05T07:08:09Z");
}

TEST(DateTest, ParsesISO8601) {
  struct Case {
    const char* text;
    double expected;
  };
  const Case cases[] = {
      {"2024-03-05T07:08:09Z", kInstant},
      {"2024-03-05t07:08:09z", kInstant},
      {"2024-03-05 07:08:09Z", kInstant},
      {"2024-03-05T08:08:09+01:00", kInstant},
      {"2024-03-05T03:38:09-0330", kInstant},
      {"2024-03-05T07:08:09.5Z", kInstant + 0.5},
      {"2024-03-05", 1709596800},
      {"2024-02-29", 1709164800},
  };
  for (const auto& c : cases) {
    auto t = ParseISO8601(c.text);
    ASSERT_TRUE(t) << c.text;
    EXPECT_DOUBLE_EQ(*t, c.expected) << c.text;
  }
  for (const char* bad : {"", "2024", "2024-13-01", "2023-02-29", "2024-04-31",
                          "2024-03-05T07:08:09", "2024-03-05T24:00:00Z", "2024-03-05T07:08Z",
                          "2024-03-05T07:08:09.Z", "2024-03-05T07:08:09Zjunk", "x024-03-05"}) {
    Error error;
    EXPECT_FALSE(ParseISO8601(bad, &error)) << bad;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << bad;
  }
  EXPECT_EQ(ParseISO8601(FormatISO8601(kInstant, Berlin())), kInstant);
}

TEST(DateTest, NamedZonesAndOverride) {
  EXPECT_FALSE(TimeZone::Named("Nowhere/Atlantis"));
  EXPECT_EQ(Berlin().identifier(), "Europe/Berlin");
  EXPECT_EQ(Berlin().secondsFromGMT(kInstant), 3600);
  EXPECT_EQ(Berlin().secondsFromGMT(1720000000), 7200);  // Summer time.
  {
    TimeZone::SetLocalForTesting(Berlin());
    ScopedRestore restoreZone([] { TimeZone::SetLocalForTesting(std::nullopt); });
    EXPECT_EQ(TimeZone::Local().identifier(), "Europe/Berlin");
  }
  EXPECT_FALSE(TimeZone::Local().identifier().empty());
}

TEST(DateTest, DayArithmetic) {
  const TimeZone utc = TimeZone::UTC();
  EXPECT_EQ(DayNumber(0, utc), 0);
  EXPECT_EQ(DayNumber(-1, utc), -1);
  EXPECT_EQ(DayNumber(kInstant, utc), 19787);
  EXPECT_EQ(StartOfDay(kInstant, utc), 1709596800);
  EXPECT_EQ(SecondsSinceStartOfDay(kInstant, utc), 7 * 3600 + 8 * 60 + 9);
  // 2024-03-05T23:30Z is already the 6th in Berlin.
  const double lateEvening = 1709596800 + 23.5 * 3600;
  EXPECT_EQ(DayNumber(lateEvening, utc), 19787);
  EXPECT_EQ(DayNumber(lateEvening, Berlin()), 19788);
  EXPECT_EQ(StartOfDay(lateEvening, Berlin()), 1709679600);  // 2024-03-05T23:00Z.
  EXPECT_EQ(SecondsSinceStartOfDay(lateEvening, Berlin()), 1800);
}

TEST(DateTest, DaylightSavingDaysAreNot24Hours) {
  const TimeZone berlin = Berlin();
  // 2024-03-31: clocks go from 02:00 to 03:00 in Berlin; the day has 23 hours.
  const double noonBefore = *ParseISO8601("2024-03-30T12:00:00+01:00");
  const double noonAfter = AddDays(noonBefore, 1, berlin);
  EXPECT_EQ(FormatISO8601(noonAfter, berlin), "2024-03-31T12:00:00+02:00");
  EXPECT_EQ(noonAfter - noonBefore, 23 * 3600);
  EXPECT_EQ(AddDays(noonAfter, -1, berlin), noonBefore);
  // A wall time inside the gap takes the offset from before the gap.
  DateComponents gap{2024, 3, 31, 2, 30, 0, 0};
  EXPECT_EQ(FormatISO8601(InstantOf(gap, berlin), berlin), "2024-03-31T03:30:00+02:00");
  // In the repeated hour of 2024-10-27 the first occurrence wins.
  DateComponents overlap{2024, 10, 27, 2, 30, 0, 0};
  EXPECT_EQ(FormatISO8601(InstantOf(overlap, berlin), berlin), "2024-10-27T02:30:00+02:00");
  EXPECT_EQ(ComponentsOf(InstantOf(overlap, berlin), berlin), overlap);
  // Month ends and leap years.
  EXPECT_EQ(FormatISO8601(AddDays(*ParseISO8601("2024-02-28T10:00:00Z"), 2, TimeZone::UTC())),
            "2024-03-01T10:00:00Z");
}

TEST(DateTest, NonFiniteAndHugeInstantsAreClamped) {
  const double bad[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e300};
  for (double t : bad) {
    EXPECT_FALSE(FormatISO8601(t, Berlin(), 3).empty());
    (void)DayNumber(t, TimeZone::UTC());
    (void)StartOfDay(t, Berlin());
    (void)AddDays(t, INT64_MAX, Berlin());
    (void)ComponentsOf(t, TimeZone::UTC());
  }
  EXPECT_EQ(FormatISO8601(std::nan("")), "1970-01-01T00:00:00Z");
}

}  // namespace
}  // namespace fnd

#include "link/calendar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "link_blocks.h"

namespace {

TEST(CalendarTest, SecondsMatchTheUsualCountAndRoundTrip) {
    for (int year : {1901, 1969, 1970, 1972, 1999, 2000, 2004, 2026, 2100, 2400}) {
        for (int month : {1, 2, 3, 12}) {
            struct tm t {};
            t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = month == 2 ? 28 : 31;
            t.tm_hour = 13, t.tm_min = 5, t.tm_sec = 7;
            EXPECT_EQ(calendar_to_seconds(year, month, t.tm_mday, 13, 5, 7), double(timegm(&t)))
                << year << "-" << month;
            // Back again across the ends of 4-, 100- and 400-year cycles.
            if (year < 1970) continue;
            CalendarTime c;
            ASSERT_TRUE(calendar_from_seconds(calendar_to_seconds(year, month, t.tm_mday, 23, 59, 58) + 0.25, &c));
            EXPECT_EQ(std::vector<int>({c.year, c.month, c.day, c.hour, c.minute}),
                      std::vector<int>({year, month, t.tm_mday, 23, 59}));
            EXPECT_FLOAT_EQ(c.second, 58.25f);
        }
    }
    EXPECT_EQ(calendar_to_seconds(2024, 2, 29, 0, 0, 0), 1709164800.0);
    EXPECT_EQ(calendar_to_seconds(2026, 0, 1, 0, 0, 0), calendar_to_seconds(2026, 1, 1, 0, 0, 0));
    EXPECT_EQ(calendar_to_seconds(2026, 13, 1, 0, 0, 0), calendar_to_seconds(2026, 12, 1, 0, 0, 0));
    CalendarTime c;
    for (double no_time : {std::nan(""), 1e300, -1e12}) EXPECT_FALSE(calendar_from_seconds(no_time, &c));
}

TEST(CalendarTest, DayOfYear) {
    const struct {
        int day, year, month, day_of_month;
    } cases[] = {{60, 2024, 2, 29}, {60, 2026, 3, 1}, {366, 2024, 12, 31}, {366, 2026, 0, 0}, {0, 2026, 0, 0}};
    for (const auto& c : cases) {
        int m = -1, d = -1;
        EXPECT_EQ(day_of_year_to_date(c.day, c.year, &m, &d), c.month != 0);
        EXPECT_EQ(m * 100 + d, c.month * 100 + c.day_of_month) << c.day << "/" << c.year;
    }
}

TEST(CalendarTest, BlockTimeRoundsHundredthsAboveFifty) {
    const double base = calendar_to_seconds(2004, 5, 17, 13, 5, 7);
    for (auto [hundredths, rounded] : {std::pair{0, 0}, {50, 0}, {51, 1}, {99, 1}})
        EXPECT_EQ(block_time(link_blocks::sample_block(1, 0, 0, hundredths).data()), base + rounded)
            << hundredths;
}

}  // namespace

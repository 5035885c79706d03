#include "common/calendar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "link/block_format.h"

namespace {

TEST(CalendarTest, SecondsMatchTheUsualCountFrom1901) {
    for (int year : {1901, 1969, 1970, 1999, 2000, 2004, 2026, 2100, 2400}) {
        for (int month : {1, 2, 3, 12}) {
            struct tm t {};
            t.tm_year = year - 1900;
            t.tm_mon = month - 1;
            t.tm_mday = month == 2 ? 28 : 31;
            t.tm_hour = 13;
            t.tm_min = 5;
            t.tm_sec = 7;
            EXPECT_EQ(calendar_to_seconds(year, month, t.tm_mday, 13, 5, 7),
                      static_cast<double>(timegm(&t)))
                << year << "-" << month;
        }
    }
    EXPECT_EQ(calendar_to_seconds(2024, 2, 29, 0, 0, 0), 1709164800.0);
    EXPECT_EQ(calendar_to_seconds(2024, 3, 1, 0, 0, 0), 1709251200.0);
}

TEST(CalendarTest, MonthOutsideTheTableIsClamped) {
    EXPECT_EQ(calendar_to_seconds(2026, 0, 1, 0, 0, 0), calendar_to_seconds(2026, 1, 1, 0, 0, 0));
    EXPECT_EQ(calendar_to_seconds(2026, 13, 1, 0, 0, 0), calendar_to_seconds(2026, 12, 1, 0, 0, 0));
}

TEST(CalendarTest, DayOfYear) {
    int m = -1, d = -1;
    EXPECT_TRUE(day_of_year_to_date(60, 2024, &m, &d));
    EXPECT_EQ(m, 2);
    EXPECT_EQ(d, 29);
    EXPECT_TRUE(day_of_year_to_date(60, 2026, &m, &d));
    EXPECT_EQ(m, 3);
    EXPECT_EQ(d, 1);
    EXPECT_TRUE(day_of_year_to_date(366, 2024, &m, &d));
    EXPECT_EQ(m, 12);
    EXPECT_EQ(d, 31);
    EXPECT_FALSE(day_of_year_to_date(366, 2026, &m, &d));
    EXPECT_EQ(m, 0);
    EXPECT_EQ(d, 0);
    EXPECT_FALSE(day_of_year_to_date(0, 2026, &m, &d));
}

TEST(CalendarTest, FromSecondsRoundTripsAcrossCycleEnds) {
    // Last days of 4-, 100- and 400-year cycles and ordinary dates.
    const int dates[][3] = {{1970, 1, 1},  {1972, 12, 31}, {1999, 12, 31}, {2000, 12, 31},
                            {2000, 2, 29}, {2100, 3, 1},   {2026, 12, 7},  {2400, 12, 31}};
    for (const auto& date : dates) {
        double t = calendar_to_seconds(date[0], date[1], date[2], 23, 59, 58) + 0.25;
        CalendarTime c;
        ASSERT_TRUE(calendar_from_seconds(t, &c));
        EXPECT_EQ(c.year, date[0]);
        EXPECT_EQ(c.month, date[1]);
        EXPECT_EQ(c.day, date[2]);
        EXPECT_EQ(c.hour, 23);
        EXPECT_EQ(c.minute, 59);
        EXPECT_FLOAT_EQ(c.second, 58.25f);
    }
}

TEST(CalendarTest, FromSecondsRefusesWhatIsNoTime) {
    CalendarTime c;
    EXPECT_FALSE(calendar_from_seconds(std::nan(""), &c));
    EXPECT_FALSE(calendar_from_seconds(1e300, &c));
    EXPECT_FALSE(calendar_from_seconds(-1e12, &c));
}

TEST(CalendarTest, BlockTimeRoundsHundredthsAboveFifty) {
    using namespace block_format;
    uint8_t block[kHeaderSize] = {};
    write_u16(block + kYear, 2004);
    block[kMonth] = 5;
    block[kDay] = 17;
    block[kHour] = 13;
    block[kMinute] = 5;
    block[kSecond] = 7;
    const double base = calendar_to_seconds(2004, 5, 17, 13, 5, 7);
    block[kHundredths] = 50;
    EXPECT_EQ(block_time(block), base);
    block[kHundredths] = 51;
    EXPECT_EQ(block_time(block), base + 1);
    block[kHundredths] = 99;
    EXPECT_EQ(block_time(block), base + 1);
}

}  // namespace

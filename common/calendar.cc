// Calendar arithmetic of the station's clock; no time zones anywhere.
#include "common/calendar.h"

#include <cmath>

namespace {

constexpr int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

}  // namespace

bool is_leap_year(long long year) { return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0); }

double calendar_to_seconds(int year, int month, int day, int hour, int minute, int second) {
    long long y = static_cast<long long>(year) - 1970;
    long long leap_days = (y + 1) / 4 - (y + 69) / 100 + (y + 369) / 400;
    int m = month < 1 ? 1 : (month > 12 ? 12 : month);
    long long day_number = kDaysBefore[m - 1] + day;
    if (is_leap_year(year) && m > 2) day_number += 1;
    return (365.0 * static_cast<double>(y) + static_cast<double>(leap_days) +
            static_cast<double>(day_number) - 1.0) *
               86400.0 +
           hour * 3600.0 + minute * 60.0 + second;
}

bool day_of_year_to_date(int day_of_year, int year, int* month, int* day) {
    *month = 0;
    *day = 0;
    if (day_of_year < 1) return false;
    int lengths[12] = {31, is_leap_year(year) ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int value = day_of_year;
    for (int m = 1; m <= 12; ++m) {
        int remembered = value;
        value -= lengths[m - 1];
        if (value <= 0) {
            *month = m;
            *day = remembered;
            return true;
        }
    }
    return false;
}

bool calendar_from_seconds(double t, CalendarTime* out) {
    *out = CalendarTime{0, 0, 0, 0, 0, 0.0f, 0};
    if (!std::isfinite(t) || std::fabs(t) > 1e15) return false;
    double since_year_one = t + 62135596800.0;
    if (since_year_one < 0) return false;
    double whole = std::floor(since_year_one);
    double fraction = since_year_one - whole;
    auto seconds = static_cast<long long>(whole);
    long long days = seconds / 86400;
    long long second_of_day = seconds % 86400;
    long long cycles400 = days / 146097;
    days %= 146097;
    long long cycles100 = days / 36524;
    if (cycles100 == 4) cycles100 = 3;  // last day of a 400-year cycle
    days -= cycles100 * 36524;
    long long cycles4 = days / 1461;
    days %= 1461;
    long long years = days / 365;
    if (years == 4) years = 3;  // last day of a 4-year cycle
    days -= years * 365;
    long long year = 1 + 400 * cycles400 + 100 * cycles100 + 4 * cycles4 + years;
    if (year > 2000000000) return false;
    out->year = static_cast<int>(year);
    out->hour = static_cast<int>(second_of_day / 3600);
    out->minute = static_cast<int>(second_of_day % 3600 / 60);
    out->second = static_cast<float>(static_cast<double>(second_of_day % 60) + fraction);
    out->day_of_year = static_cast<int>(days) + 1;
    return day_of_year_to_date(static_cast<int>(days) + 1, out->year, &out->month, &out->day);
}

// The one UTC calendar: the station's clock, the ring files and the
// Mini-SEED headers all count in it; no time zones anywhere.
#pragma once

// Seconds since 1970-01-01 00:00:00 for a calendar time (no range checks on
// the fields beyond the month, which is clamped into 1..12 for the table).
double calendar_to_seconds(int year, int month, int day, int hour, int minute, int second);

// Month and day for a 1-based day of the year; false (0, 0) when out of range.
bool day_of_year_to_date(int day_of_year, int year, int* month, int* day);

bool is_leap_year(long long year);

struct CalendarTime {
    int year, month, day, hour, minute;
    float second;     // with its fraction
    int day_of_year;  // 1-based
};
// UTC calendar fields of seconds since 1970 (proleptic Gregorian).
bool calendar_from_seconds(double t, CalendarTime* out);

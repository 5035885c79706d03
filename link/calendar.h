// Time conversions of the station's clock, treated as UTC everywhere.
#pragma once

#include <cstdint>

// Seconds since 1970-01-01 00:00:00 for a calendar time (no range checks on
// the fields beyond the month, which is clamped into 1..12 for the table).
double calendar_to_seconds(int year, int month, int day, int hour, int minute, int second);

// Month and day for a 1-based day of the year; false (0, 0) when out of range.
bool day_of_year_to_date(int day_of_year, int year, int* month, int* day);

struct CalendarTime {
    int year, month, day, hour, minute;
    float second;  // with its fraction
};
// UTC calendar fields of seconds since 1970 (proleptic Gregorian).
bool calendar_from_seconds(double t, CalendarTime* out);

// Time of a sample block's first sample: whole seconds, hundredths above 50 round up.
double block_time(const uint8_t* block);

// The record builder: samples of one channel into finished Mini-SEED records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "seed/record_layout.h"

// Encodes sampleCount samples, the first at startTime, into 512-byte records
// at `out` (flushBufferBytes(sampleCount) bytes); returns how many it wrote.
// A null network leaves the network field blank, as LISS clients know it.
unsigned buildRecords(const char* network, const char* station, const char* channel,
                      double sampleRate, double startTime, const int32_t* samples, int sampleCount,
                      uint8_t* out);

// Fills Record_start_time from seconds since 1970 (UTC, millisecond resolution).
void setHeaderTime(SeedFixedHeader& header, double time);

struct SplitTime {
    int year;
    int dayOfYear;  // 1-based
    int hour;
    int minute;
    int second;
    int millisecond;
};

// Breaks seconds since 1970 into UTC calendar fields; the millisecond is
// rounded to nearest, a half rounding up, and 1000 carries into the second.
SplitTime splitEpochSeconds(double time);

// Output buffer size of one flush of n samples, in bytes.
size_t flushBufferBytes(int sampleCount);

// Steim-2 encoder: a run of samples into consecutive Mini-SEED data records.
// Pure encoding; every call stands alone (difference chain and carried time
// fraction start afresh).
#pragma once

#include <cstdint>

#include "seed/record_layout.h"

// Encodes count samples into records of recordLength bytes written back to
// back into out, which the caller zero-fills and sizes for at least one
// record per 103 samples, rounded up. The template (host order) gives the
// sequence number, codes, start time and rate; the blockettes are placed at
// byte 48 of every record. Returns the number of records written; no
// failure path.
unsigned steim2Compress(const int32_t* samples, int count, const SeedFixedHeader& header,
                        int recordLength, uint8_t* out, int blocketteCount, int blocketteLength,
                        const uint8_t* blockettes);

// Nominal rate in samples per second by the SEED factor/multiplier rule;
// 1.0 when either is zero.
double sampleRateOf(int16_t factor, int16_t multiplier);

// Moves a host-order working header on by its Number_of_samples at the given
// rate: start time (carrying the sub-tick fraction in timeFraction, across
// midnight and year end) and sequence number.
void advanceRecordHeader(SeedFixedHeader& header, double sampleRate, double& timeFraction);

// Sets the fixed values of each record's header and converts the headers
// (and the blockette type at byte 48) to big-endian.
void finishRecordHeaders(uint8_t* out, int recordLength, unsigned recordCount);

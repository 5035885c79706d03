// Steim-2 encoder: a run of samples into 64-byte frames, and those into
// consecutive Mini-SEED data records. Pure encoding; every call stands alone
// (difference chain and carried time fraction start afresh).
#pragma once

#include <cstddef>
#include <cstdint>

#include "seed/record_layout.h"

// Called as each block of frames closes: its samples and the frames they use.
using Steim2BlockDone = void (*)(void* context, int samples, int frames);

// Encodes samples into blocks of at most framesPerBlock big-endian frames,
// block k at out + k * blockStride, X0 and Xn in words 1 and 2 of its first
// frame; the caller zero-fills them, as only filled words are written.
// Stops when the samples end or maxBlocks blocks are full; returns the
// samples encoded. The one encoder of every record format.
int steim2EncodeFrames(const int32_t* samples, int count, int framesPerBlock, uint8_t* out,
                       size_t blockStride, int maxBlocks, Steim2BlockDone done, void* context);

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

// One pass of the recorder: events to the index, trimming, then one turn per
// roster channel that joins its queued blocks into pieces of whole seconds
// and hands them to the ring-file writer. Recorder thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/station_context.h"

inline constexpr int kBlocksPerTurn = 250;
inline constexpr size_t kBlockBufferSize = 30000;

// Holds roster_lock, so that the roster is not replaced during the pass.
void make_pass(const StationContext& station);

// Writes every block queued for the roster's channels, event-only ones
// included, a turn after another; the caller holds roster_lock. The stop
// uses it, so nothing queued is lost.
void write_queued_blocks(const StationContext& station);

// Before the roster is replaced (the decoder's hook, under roster_lock):
// writes what is queued, then forgets the files, so that every channel of
// the new roster starts new ones.
void retire_roster(const StationContext& station);

// One channel turn for roster entry k (part of make_pass); `write_all`
// serves event-only channels without an event too (the flush request).
void channel_turn(const StationContext& station, int k, bool write_all);

// Copies the block's n samples into the piece buffer at the position its
// start time gives; samples outside the `capacity` bytes are logged and left out.
void place_samples(size_t capacity, double piece_start, uint8_t* piece, double block_start,
                   const uint8_t* block, double r, int n);

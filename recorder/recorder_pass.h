// One pass of the recorder: events to the index, trimming, then one turn per
// roster channel that joins its queued blocks into pieces of whole seconds
// and hands them to the ring-file writer. Recorder thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/station_context.h"
#include "link/channel_table.h"

inline constexpr int kBlocksPerTurn = 250;
inline constexpr size_t kBlockBufferSize = 30000;

// Takes up the newest roster first (see take_up_new_rosters), then works
// under the roster it holds for the whole pass.
void make_pass(const StationContext& station);

// Writes every block queued for the roster's channels, event-only ones
// included, a turn after another. The stop uses it, so nothing queued is lost.
void write_queued_blocks(const StationContext& station);

// For each roster published after the one the recorder holds, in order:
// writes what is queued under the held one, drops the rest of its blocks,
// forgets the files, so that every channel of the next one starts new
// ones, and says "Состав каналов станции изменился" when both were
// announced ones. Blocks of the next roster wait in their rings.
void take_up_new_rosters(const StationContext& station);

// One channel turn for the roster's entry k (part of make_pass), on the
// blocks queued under that roster; `write_all` serves event-only channels
// without an event too (the flush request). Returns the blocks it took.
int channel_turn(const StationContext& station, const Roster& roster, size_t k, bool write_all);

// Copies the block's n samples into the piece buffer at the position its
// start time gives; samples outside the `capacity` bytes are logged and left out.
void place_samples(size_t capacity, double piece_start, uint8_t* piece, double block_start,
                   const uint8_t* block, double r, int n);

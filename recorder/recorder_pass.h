// One pass of the recorder: events to the index, trimming, then one turn per
// roster channel that joins its queued blocks into pieces of whole seconds
// and hands them to the ring-file writer. Recorder thread only.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kBlocksPerTurn = 250;
inline constexpr size_t kBlockBufferSize = 30000;

void make_pass();

// One channel turn for roster entry k (part of make_pass).
void channel_turn(int k);

// Copies the block's n samples into the piece buffer at the position its
// start time gives; samples outside the `capacity` bytes are logged and left out.
void place_samples(size_t capacity, double piece_start, uint8_t* piece, double block_start,
                   const uint8_t* block, double r, int n);

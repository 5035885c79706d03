// Per-channel queues of received sample blocks, between the decoder
// (NetBIOS completion thread) and the recorder thread, one ring per wire
// channel number. The rings are private to this file; every operation takes
// the queue's lock for its whole run. A full ring drops its oldest block, so
// at most 1099 blocks are queued after any operation. Each block carries the
// version of the roster it arrived under, so that the recorder writes it
// under that roster (link/channel_table.h); the take operations leave blocks
// of a newer version where they are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/status_report.h"

struct DecodedBlock;

inline constexpr int kBlockRingSize = 1100;

// Both set to zero for every channel at start-up.
void reset_slot_queue(int channel);
int reset_slot_marks(int channel);

// Notes the block's event mark and time.
void mark_slot(int channel, int event_marked, double block_time);

inline constexpr uint64_t kAnyVersion = UINT64_MAX;

// What the status view shows of a channel's ring.
struct SlotState {
    int32_t queued_blocks;
    int32_t event_marked;
    double last_block_time;  // 0 before the first block
};
SlotState slot_state(int channel);

// The most blocks queued on any continuous (not event-only) channel of the
// current roster.
int fullest_continuous_ring();

// Queues an owned copy of `length` bytes; 1 when queued. A block whose
// lengths do not add up is refused with a log line; an allocation failure
// leaves the ring as it was (message on stderr and "Ошибка выделения памяти"
// in the log).
int put_block(int channel, const uint8_t* block, int length, uint64_t version = 0);

// The recorder's sink for a decoded block: queues it, marks the slot and
// enters its event; false when the ring refused it (nothing else happens).
bool queue_decoded_block(const DecodedBlock& block, const StatusReport& status);

// Blocks queued for the channel; 0 for a channel outside 0..255.
int queued_block_count(int channel);

// 1 when a queued block of the channel, of a version up to `up_to`,
// carries a non-zero event type.
int has_event_block(int channel, uint64_t up_to = kAnyVersion);

// Moves the oldest block into `destination` (header length + data length
// bytes). A block longer than `capacity` is dropped with a log line and 0 is
// returned. 0 also for an empty ring, a channel outside 0..255, or an oldest
// block of a version after `up_to`.
int take_block(int channel, uint8_t* destination, size_t capacity, uint64_t up_to = kAnyVersion);

// Blocks of the channel refused or pushed out of a full ring so far (every
// block freed unwritten counts); 0 outside 0..255.
uint64_t dropped_blocks(int channel);

// Frees the oldest block, of a version up to `up_to`; 0 when there is none.
int drop_block(int channel, uint64_t up_to = kAnyVersion);

// Frees every queued block of a version up to `up_to`; returns 0.
int drain_channel(int channel, uint64_t up_to = kAnyVersion);

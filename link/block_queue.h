// Per-channel queues of received sample blocks, between the decoder
// (NetBIOS completion thread) and the recorder thread, one ring per wire
// channel number. The rings are private to this file; every operation takes
// the queue's lock for its whole run. A full ring drops its oldest block, so
// at most 1099 blocks are queued after any operation.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kBlockRingSize = 1100;

// Both set to zero for every channel at start-up.
void reset_slot_queue(int channel);
int reset_slot_marks(int channel);

// The decoder notes each channel's kind from the roster and, per block, the
// block's event mark and time.
void set_slot_event_only(int channel, int event_only);
void mark_slot(int channel, int event_marked, double block_time);

// What the status view shows of a channel's ring.
struct SlotState {
    int32_t queued_blocks;
    int32_t event_marked;
    int32_t event_only;
    double last_block_time;  // 0 before the first block
};
SlotState slot_state(int channel);

// The most blocks queued on any continuous (not event-only) channel.
int fullest_continuous_ring();

// Queues an owned copy of `length` bytes; 1 when queued. A block whose
// lengths do not add up is refused with a log line; an allocation failure
// leaves the ring as it was (message on stderr and "Ошибка выделения памяти"
// in the log).
int put_block(int channel, const uint8_t* block, int length);

// Blocks queued for the channel; 0 for a channel outside 0..255.
int queued_block_count(int channel);

// 1 when a queued block of the channel carries a non-zero event type.
int has_event_block(int channel);

// Moves the oldest block into `destination` (header length + data length
// bytes). A block longer than `capacity` is dropped with a log line and 0 is
// returned. 0 also for an empty ring or a channel outside 0..255.
int take_block(int channel, uint8_t* destination, size_t capacity);

// Blocks of the channel refused or pushed out of a full ring so far (every
// block freed unwritten counts); 0 outside 0..255.
uint64_t dropped_blocks(int channel);

// Frees the oldest block; 0 when the ring is empty.
int drop_block(int channel);

// Frees every queued block; returns 0.
int drain_channel(int channel);

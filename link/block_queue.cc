// Per-channel block rings. Every operation holds queue_lock for its whole
// run, copies and allocations included; put_block re-enters it to trim.
#include "link/block_queue.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/oplog.h"
#include "link/block_format.h"

namespace {

constexpr int kSlotCount = 256;  // one per wire channel number

struct ChannelSlot {
    int32_t queued_blocks;
    int32_t event_marked;
    int32_t event_only;
    double last_block_time;
    uint8_t* block_ring[kBlockRingSize];
    int32_t read_index;
    int32_t write_index;
};

ChannelSlot channel_table[kSlotCount];
// Re-entrant, like a critical section: put_block trims a full ring inside itself.
std::recursive_mutex queue_lock;

bool valid_channel(int channel) { return channel >= 0 && channel < kSlotCount; }

// Frees the oldest block; the caller holds queue_lock.
void pop_oldest(ChannelSlot& slot) {
    std::free(slot.block_ring[slot.read_index]);
    slot.block_ring[slot.read_index] = nullptr;
    slot.queued_blocks -= 1;
    slot.read_index += 1;
    if (slot.read_index == kBlockRingSize) slot.read_index = 0;
}

// Blocks refused or pushed out of a full ring, for monitoring.
std::atomic<uint64_t> dropped[kSlotCount];

}  // namespace

uint64_t dropped_blocks(int channel) {
    return valid_channel(channel) ? dropped[channel].load(std::memory_order_relaxed) : 0;
}

int put_block(int channel, const uint8_t* block, int length) {
    if (!valid_channel(channel) || block == nullptr) return 0;
    // A take copies as many bytes as the header says, so the two must agree.
    if (length < block_format::kHeaderSize || block_format::block_length(block) != length) {
        write_log_linef("Блок канала %d длиной %d байт не принят", channel, length);
        dropped[channel].fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    auto* copy = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length)));
    if (copy == nullptr) {
        // The ring stays as it was; the decoder goes on with the next block.
        std::fprintf(stderr, "Ошибка выделения памяти\n");
        write_log_line("Ошибка выделения памяти");
        return 0;
    }
    std::memcpy(copy, block, static_cast<size_t>(length));
    ChannelSlot& slot = channel_table[channel];
    slot.block_ring[slot.write_index] = copy;
    slot.write_index += 1;
    slot.queued_blocks += 1;
    if (slot.write_index == kBlockRingSize) slot.write_index = 0;
    if (slot.queued_blocks == kBlockRingSize) drop_block(channel);
    return 1;
}

int queued_block_count(int channel) {
    if (!valid_channel(channel)) return 0;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    return channel_table[channel].queued_blocks;
}

int has_event_block(int channel) {
    if (!valid_channel(channel)) return 0;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    const ChannelSlot& slot = channel_table[channel];
    int position = slot.read_index;
    for (int i = 0; i < slot.queued_blocks; ++i) {
        const uint8_t* block = slot.block_ring[position];
        if (block && block[block_format::kEventType] != 0) return 1;
        position = position + 1 == kBlockRingSize ? 0 : position + 1;
    }
    return 0;
}

int take_block(int channel, uint8_t* destination, size_t capacity) {
    if (!valid_channel(channel)) return 0;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    ChannelSlot& slot = channel_table[channel];
    if (slot.queued_blocks == 0) return 0;
    const uint8_t* block = slot.block_ring[slot.read_index];
    // put_block only queues whole sample blocks, so the header is there.
    size_t length = static_cast<size_t>(block_format::block_length(block));
    int taken = 0;
    if (destination != nullptr && length <= capacity) {
        std::memcpy(destination, block, length);
        taken = 1;
    } else {
        write_log_linef("Блок канала %d длиной %zu байт больше буфера (%zu) и пропущен", channel,
                        length, capacity);
    }
    pop_oldest(slot);
    return taken;
}

int drop_block(int channel) {
    if (!valid_channel(channel)) return 0;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    ChannelSlot& slot = channel_table[channel];
    if (slot.queued_blocks == 0) return 0;
    pop_oldest(slot);
    dropped[channel].fetch_add(1, std::memory_order_relaxed);
    return 1;
}

int drain_channel(int channel) {
    if (!valid_channel(channel)) return 0;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    while (drop_block(channel) != 0) {
    }
    return 0;
}

void reset_slot_queue(int channel) {
    if (!valid_channel(channel)) return;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    ChannelSlot& slot = channel_table[channel];
    slot.read_index = 0;
    slot.write_index = 0;
    slot.queued_blocks = 0;
}

int reset_slot_marks(int channel) {
    if (!valid_channel(channel)) return 1;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    ChannelSlot& slot = channel_table[channel];
    slot.read_index = 0;
    slot.write_index = 0;
    slot.event_marked = 0;
    return 1;
}

void set_slot_event_only(int channel, int event_only) {
    if (!valid_channel(channel)) return;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    channel_table[channel].event_only = event_only;
}

void mark_slot(int channel, int event_marked, double block_time) {
    if (!valid_channel(channel)) return;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    channel_table[channel].event_marked = event_marked;
    channel_table[channel].last_block_time = block_time;
}

SlotState slot_state(int channel) {
    if (!valid_channel(channel)) return SlotState{0, 0, 0, 0.0};
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    const ChannelSlot& slot = channel_table[channel];
    return SlotState{slot.queued_blocks, slot.event_marked, slot.event_only, slot.last_block_time};
}

int fullest_continuous_ring() {
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    int most = 0;
    for (const ChannelSlot& slot : channel_table)
        if (slot.event_only == 0 && slot.queued_blocks > most) most = slot.queued_blocks;
    return most;
}

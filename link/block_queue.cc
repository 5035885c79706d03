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
#include "link/channel_table.h"
#include "link/decoder.h"

namespace {

constexpr int kSlotCount = 256;  // one per wire channel number

struct ChannelSlot {
    int32_t queued_blocks;
    int32_t event_marked;
    double last_block_time;
    uint8_t* block_ring[kBlockRingSize];
    uint64_t versions[kBlockRingSize];  // each block's roster version
    int32_t read_index;
    int32_t write_index;
};

ChannelSlot channel_table[kSlotCount];
// Re-entrant, like a critical section: put_block trims a full ring inside itself.
std::recursive_mutex queue_lock;

bool valid_channel(int channel) { return channel >= 0 && channel < kSlotCount; }

// The oldest block, when there is one of a version up to `up_to`; queue_lock held.
const uint8_t* oldest(const ChannelSlot& slot, uint64_t up_to) {
    if (slot.queued_blocks == 0 || slot.versions[slot.read_index] > up_to) return nullptr;
    return slot.block_ring[slot.read_index];
}

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

int put_block(int channel, const uint8_t* block, int length, uint64_t version) {
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
    slot.versions[slot.write_index] = version;
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

bool queue_decoded_block(const DecodedBlock& b, const StatusReport& status) {
    // What the ring refuses is not sent on either: no record without its file.
    if (!put_block(b.channel, b.bytes, b.length, b.roster_version)) return false;
    mark_slot(b.channel, b.event_type != 0 ? 1 : 0, b.time);
    if (b.event_type != 0) {
        record_event(b.event_type, b.event_time);
        status.event_seen();
    }
    return true;
}

int has_event_block(int channel, uint64_t up_to) {
    if (!valid_channel(channel)) return 0;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    const ChannelSlot& slot = channel_table[channel];
    int position = slot.read_index;
    for (int i = 0; i < slot.queued_blocks; ++i) {
        const uint8_t* block = slot.block_ring[position];
        if (slot.versions[position] > up_to) break;
        if (block && block[block_format::kEventType] != 0) return 1;
        position = position + 1 == kBlockRingSize ? 0 : position + 1;
    }
    return 0;
}

int take_block(int channel, uint8_t* destination, size_t capacity, uint64_t up_to) {
    if (!valid_channel(channel)) return 0;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    ChannelSlot& slot = channel_table[channel];
    const uint8_t* block = oldest(slot, up_to);
    if (block == nullptr) return 0;
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

int drop_block(int channel, uint64_t up_to) {
    if (!valid_channel(channel)) return 0;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    ChannelSlot& slot = channel_table[channel];
    if (oldest(slot, up_to) == nullptr) return 0;
    pop_oldest(slot);
    dropped[channel].fetch_add(1, std::memory_order_relaxed);
    return 1;
}

int drain_channel(int channel, uint64_t up_to) {
    if (!valid_channel(channel)) return 0;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    while (drop_block(channel, up_to) != 0) {
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

void mark_slot(int channel, int event_marked, double block_time) {
    if (!valid_channel(channel)) return;
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    channel_table[channel].event_marked = event_marked;
    channel_table[channel].last_block_time = block_time;
}

SlotState slot_state(int channel) {
    if (!valid_channel(channel)) return SlotState{0, 0, 0.0};
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    const ChannelSlot& slot = channel_table[channel];
    return SlotState{slot.queued_blocks, slot.event_marked, slot.last_block_time};
}

int fullest_continuous_ring() {
    const std::shared_ptr<const Roster> roster = current_roster();
    std::lock_guard<std::recursive_mutex> lock(queue_lock);
    int most = 0;
    for (int c = 0; c < kSlotCount; ++c) {
        const RosterEntry* entry = roster->find(c);
        const int queued = channel_table[c].queued_blocks;
        if ((entry == nullptr || entry->event_only == 0) && queued > most) most = queued;
    }
    return most;
}

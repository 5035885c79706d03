// Channel table, channel roster and event table: the per-channel state that
// the station link, the recorder and the status view share.
//
// Threads: the NetBIOS completion thread builds the roster and writes
// event_marked and last_block_time; the recorder thread writes the roster's
// file fields; the user-interface thread reads. queue_lock guards the block
// rings and the roster fields the status view shows; event_lock guards the
// event table, which the completion fills and the recorder stores.
#pragma once

#include <cstdint>
#include <mutex>

inline constexpr int kChannelCount = 256;
inline constexpr int kBlockRingSize = 1100;  // BLOCK_RING_SIZE
inline constexpr int kEventTableSize = 100;
inline constexpr int kChannelNameSize = 15;  // 14 characters and the NUL
inline constexpr int kFileNameSize = 4096;

struct ChannelSlot {
    int32_t queued_blocks;
    int32_t event_marked;
    int32_t event_only;
    uint8_t* block_ring[kBlockRingSize];
    int32_t read_index;
    int32_t write_index;
};

struct RosterEntry {
    int32_t channel;
    char name[kChannelNameSize];
    double sample_rate;
    int32_t gain;
    char file_name[kFileNameSize];
    double file_start_time;
    double file_duration;
    double last_block_time;
    int32_t queued_blocks;
    int32_t event_only;
    int32_t event_marked;
};

struct EventEntry {
    int32_t event_time;
    int16_t event_type;
    int32_t stored;    // inserted, or given up after repeated failures
    int32_t attempts;  // failed inserts while the connection was up
};

extern ChannelSlot channel_table[kChannelCount];
extern RosterEntry channel_roster[kChannelCount];
extern int32_t roster_count;
extern int32_t roster_pending;
// Roster position of each wire channel number, -1 when it is not announced.
extern int16_t roster_index[kChannelCount];
// Held by the recorder for each pass and by the decoder while it replaces
// the roster, so that no pass sees a roster half replaced.
extern std::mutex roster_lock;
// Set by the recorder: writes every block queued for the current roster.
// The decoder calls it, holding roster_lock, before it replaces the roster.
extern void (*write_queued_blocks_hook)();
extern EventEntry event_table[kEventTableSize];

// Re-entrant, like a critical section: put_block trims a full ring inside itself.
extern std::recursive_mutex queue_lock;
// Guards event_table: the decoder enters events while the recorder stores them.
extern std::mutex event_lock;

void reset_slot_queue(int channel);
int reset_slot_marks(int channel);

// Enters one event; a second event at the same second is ignored, a full
// table replaces its oldest entry (lowest index among equal times).
void record_event(int16_t event_type, int32_t event_time);

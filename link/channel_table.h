// The announced roster and the event table, written by the NetBIOS
// completion thread (the decoder) and read by the recorder, the SEED side and
// the status view. The block rings are the block queue's own
// (link/block_queue.h) and the ring files the recorder's.
#pragma once

#include <cstdint>
#include <mutex>

inline constexpr int kChannelCount = 256;
inline constexpr int kEventTableSize = 100;
inline constexpr int kChannelNameSize = 15;  // 14 characters and the NUL

// One channel as the station announced it; written once per announcement.
struct RosterEntry {
    int32_t channel;  // wire channel number
    char name[kChannelNameSize];
    double sample_rate;  // whole samples per second, as announced
    int32_t gain;
    int32_t event_only;
};

struct EventEntry {
    int32_t event_time;
    int16_t event_type;
    int32_t stored;    // inserted, or given up after repeated failures
    int32_t attempts;  // failed inserts while the connection was up
};

extern RosterEntry channel_roster[kChannelCount];
extern int32_t roster_count;
extern int32_t roster_pending;
// Roster position of each wire channel number, -1 when it is not announced.
extern int16_t roster_index[kChannelCount];
// Held by the recorder for each pass and by the decoder while it replaces
// the roster, so that no pass sees a roster half replaced.
extern std::mutex roster_lock;
// Held by the decoder while it replaces the roster and by the status view
// while it reads it; the recorder's passes hold roster_lock instead.
extern std::mutex roster_view_lock;
// Set by the recorder: writes every block queued for the current roster and
// closes its files. The decoder calls it, holding roster_lock, before it
// replaces the roster.
extern void (*retire_roster_hook)();
extern EventEntry event_table[kEventTableSize];

// Guards event_table: the decoder enters events while the recorder stores them.
extern std::mutex event_lock;

// Enters one event; a second event at the same second is ignored, a full
// table replaces its oldest entry (lowest index among equal times).
void record_event(int16_t event_type, int32_t event_time);

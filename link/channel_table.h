// The announced roster and the event table. The decoder (NetBIOS completion
// thread) publishes each roster as an immutable snapshot; every reader takes
// one snapshot and keeps it for as long as it works with it. The block rings
// are the block queue's own (link/block_queue.h), the ring files the recorder's.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

inline constexpr int kChannelCount = 256;  // wire channel numbers 0..255
inline constexpr int kEventTableSize = 100;
inline constexpr int kChannelNameSize = 15;  // 14 characters and the NUL

// One channel as the station announced it.
struct RosterEntry {
    int32_t channel;  // wire channel number
    char name[kChannelNameSize];
    double sample_rate;  // whole samples per second, as announced
    int32_t gain;
    int32_t event_only;
};

// One announcement's channels. A wire number announced twice belongs to its
// first entry: that one gets the channel's blocks, files and samples.
struct Roster {
    uint64_t version = 0;    // grows with every published roster
    bool announced = false;  // false until the station's first announcement
    std::vector<RosterEntry> entries;
    int16_t first[kChannelCount];  // entry of each wire number, -1 when none

    // The channel's entry; null when the number is not announced.
    const RosterEntry* find(int channel) const {
        return channel >= 0 && channel < kChannelCount && first[channel] >= 0
                   ? &entries[static_cast<size_t>(first[channel])]
                   : nullptr;
    }
    // True for the entry that owns its wire number (the first of a pair).
    bool owns(size_t k) const { return find(entries[k].channel) == &entries[k]; }
};

// The roster in force; never null (an unannounced, empty one at start).
std::shared_ptr<const Roster> current_roster();
// The unannounced roster of the start, version 0, for the one reader that
// walks every roster from there on (the recorder); null to any later caller.
std::shared_ptr<const Roster> take_first_roster();
// Publishes `entries` as the next version and returns it.
std::shared_ptr<const Roster> publish_roster(std::vector<RosterEntry> entries,
                                             bool announced = true);
// The roster published right after `roster`, null while it is the newest.
// A holder of an old roster can so walk every later one in order.
std::shared_ptr<const Roster> next_roster(const Roster& roster);

struct EventEntry {
    int32_t event_time;
    int16_t event_type;
    int32_t stored;    // inserted, or given up after repeated failures
    int32_t attempts;  // failed inserts while the connection was up
};

// Enters one event; a second event at the same second is ignored, a full
// table replaces its oldest entry (lowest index among equal times).
void record_event(int16_t event_type, int32_t event_time);
// The event table's kEventTableSize entries; read or change them only while
// holding lock_event_table(): the decoder enters events while the recorder
// stores them.
EventEntry* event_entries();
std::unique_lock<std::mutex> lock_event_table();
// Empties the event table (tests, fuzzing).
void clear_event_table();

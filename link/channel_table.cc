// The roster and the event table. Static storage, zero at program start.
#include "link/channel_table.h"

RosterEntry channel_roster[kChannelCount];
int32_t roster_count = 0;
int32_t roster_pending = 1;
int16_t roster_index[kChannelCount];
namespace {
const bool roster_index_cleared = [] {
    for (int16_t& k : roster_index) k = -1;
    return true;
}();
}  // namespace
std::mutex roster_lock;
std::mutex roster_view_lock;
void (*retire_roster_hook)() = nullptr;
EventEntry event_table[kEventTableSize];
std::mutex event_lock;

void record_event(int16_t event_type, int32_t event_time) {
    std::lock_guard<std::mutex> lock(event_lock);
    // One entry per second, whatever the type.
    for (const EventEntry& entry : event_table)
        if (entry.event_type != 0 && entry.event_time == event_time) return;
    int target = -1;
    for (int i = 0; i < kEventTableSize; ++i) {
        if (event_table[i].event_type == 0) {
            target = i;
            break;
        }
    }
    if (target < 0) {
        // Full: the oldest goes, stored or not; the lowest index among equals.
        target = 0;
        for (int i = 1; i < kEventTableSize; ++i)
            if (event_table[i].event_time < event_table[target].event_time) target = i;
    }
    event_table[target].event_type = event_type;
    event_table[target].event_time = event_time;
    event_table[target].stored = 0;
    event_table[target].attempts = 0;
}

// STUB (spine helper replaces)
#include "link/channel_table.h"
ChannelSlot channel_table[kChannelCount];
RosterEntry channel_roster[kChannelCount];
int32_t roster_count = 0;
int32_t roster_pending = 1;
EventEntry event_table[kEventTableSize];
std::recursive_mutex queue_lock;
void reset_slot_queue(int) {}
int reset_slot_marks(int) { return 1; }
void record_event(int16_t, int32_t) {}

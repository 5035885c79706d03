// STUB (spine helper replaces)
#include "link/block_queue.h"
void put_block(int, const uint8_t*, int) {}
int has_event_block(int) { return 0; }
int take_block(int, uint8_t*, size_t) { return 0; }
int drop_block(int) { return 0; }
int drain_channel(int) { return 0; }

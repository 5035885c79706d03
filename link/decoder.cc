// STUB (station-link helper replaces)
#include "link/decoder.h"
void decode_message(uint8_t*, int) {}

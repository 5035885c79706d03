// STUB (SEED helper replaces)
#include "seed/stream_registry.h"
StreamRegistry streamRegistry;
int StreamRegistry::findOrAddStation(const char*) { return 0; }
int StreamRegistry::findOrAddChannel(int, const char*, double) { return 0; }
int StreamRegistry::channelCount(int) const { return 0; }
void StreamRegistry::attachPipe(RecordPipe*) {}
void StreamRegistry::appendBlock(const char*, const char*, double, double, int, const uint8_t*) {}

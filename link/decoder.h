// Walks one received message block by block (NetBIOS completion thread).
#pragma once

#include <cstdint>

#include "common/station_context.h"

void decode_message(const StationContext& station, uint8_t* message, int length);

// Where the samples of an announced channel's block go once the ring queue
// has taken the block (the SEED service; main wires it, none by default).
using SampleSink = void (*)(const char* channel, double sample_rate, double time, int samples,
                            const uint8_t* data);
void set_sample_sink(SampleSink sink);

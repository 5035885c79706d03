// The SEED service: its record pipe, its LISS server thread, and the
// samples the decoder hands it for the selected channels.
#pragma once

#include <cstdint>

#include "common/station_context.h"
#include "seed/stream_registry.h"

// The service's streams; start-up registers the station and the selected
// channels in them before the service starts.
StreamRegistry& seed_streams();

// Creates the record pipe (60,000 bytes), and when the LISS port is
// positive attaches it to the streams and starts the LISS server. The
// context must outlive the service.
void start_seed_service(const StationContext& context);
// At the end of the process: closes the LISS client and port, and waits
// for the server's thread.
void stop_seed_service();

// A block's samples: appended to the channel's stream when the channel is
// selected (every channel when the selection is empty; a name selected
// twice is appended twice). Nothing before the service starts.
void seed_take_samples(const char* channel, double sample_rate, double time, int samples,
                       const uint8_t* data);

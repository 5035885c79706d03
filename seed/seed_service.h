// The SEED service: its record pipe, its LISS server thread, and the
// samples the decoder hands it for the selected channels.
#pragma once

#include <cstdint>

// Creates the record pipe (60,000 bytes), and when the LISS port is
// positive attaches it to streamRegistry and starts the LISS server.
void start_seed_service();
// At the end of the process: closes the LISS client and port, and waits
// for the server's thread.
void stop_seed_service();

// A block's samples: appended to the channel's stream when the channel is
// selected (every channel when the selection is empty; a name selected
// twice is appended twice).
void seed_take_samples(const char* channel, double sample_rate, double time, int samples,
                       const uint8_t* data);

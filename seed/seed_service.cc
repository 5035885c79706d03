#include "seed/seed_service.h"

#include <strings.h>

#include <atomic>
#include <string>

#include "common/app_state.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"

namespace {
LissServer liss_server;
}

void start_seed_service() {
    static std::atomic<bool> started{false};
    if (started.exchange(true)) return;
    // Never freed: the decoder may still hand records to it while the
    // process ends.
    static RecordPipe* const pipe = new RecordPipe(60000);
    if (config.liss_port > 0) {
        streamRegistry.attachPipe(pipe);
        liss_server.start(pipe, config.liss_port);
    }
}

void stop_seed_service() {
    liss_server.stop();
}

void seed_take_samples(const char* channel, double sample_rate, double time, int samples,
                       const uint8_t* data) {
    if (selected_channels.empty()) {
        streamRegistry.appendBlock(station_name, channel, sample_rate, time, samples, data);
        return;
    }
    for (const std::string& name : selected_channels)
        if (strcasecmp(name.c_str(), channel) == 0)
            streamRegistry.appendBlock(station_name, channel, sample_rate, time, samples, data);
}

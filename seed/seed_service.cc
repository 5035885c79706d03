#include "seed/seed_service.h"

#include <strings.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/app_state.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"

namespace {
std::thread liss_thread;
}

void start_seed_service() {
    static std::atomic<bool> started{false};
    if (started.exchange(true)) return;
    // Never freed: the decoder may still hand records to it while the
    // process ends.
    static RecordPipe* const pipe = new RecordPipe(60000);
    if (config.liss_port > 0) {
        streamRegistry.attachPipe(pipe);
        liss_thread = std::thread(lissServerThread, pipe, LissTimings{});
    }
}

void stop_seed_service() {
    lissRequestStop();
    if (liss_thread.joinable()) liss_thread.join();
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

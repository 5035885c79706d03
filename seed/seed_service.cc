#include "seed/seed_service.h"

#include <strings.h>

#include <atomic>
#include <string>

#include "seed/liss_server.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"

namespace {
LissServer liss_server;
std::atomic<const StationContext*> station{nullptr};
}  // namespace

StreamRegistry& seed_streams() {
    static StreamRegistry streams;
    return streams;
}

void start_seed_service(const StationContext& context) {
    station.store(&context);
    static std::atomic<bool> started{false};
    if (started.exchange(true)) return;
    // Never freed: the decoder may still hand records to it while the
    // process ends.
    static RecordPipe* const pipe = new RecordPipe(60000);
    if (context.config.liss_port > 0) {
        seed_streams().attachPipe(pipe);
        liss_server.start(pipe, context.config.liss_port, {}, &context.metrics.liss_clients);
    }
}

void stop_seed_service() {
    liss_server.stop();
}

void seed_take_samples(const char* channel, double sample_rate, double time, int samples,
                       const uint8_t* data) {
    const StationContext* context = station.load();
    if (context == nullptr) return;
    const char* name = context->station_name;
    if (context->selected_channels.empty()) {
        seed_streams().appendBlock(name, channel, sample_rate, time, samples, data);
        return;
    }
    for (const std::string& selected : context->selected_channels)
        if (strcasecmp(selected.c_str(), channel) == 0)
            seed_streams().appendBlock(name, channel, sample_rate, time, samples, data);
}

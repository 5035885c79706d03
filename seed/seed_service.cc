#include "seed/seed_service.h"

#include <atomic>
#include <thread>

#include "seed/liss_server.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"
#include "shell/app_state.h"

void start_seed_service() {
    static std::atomic<bool> started{false};
    if (started.exchange(true)) return;
    // Nothing waits for the LISS thread at shut-down, so the pipe is never
    // freed: it must outlive both of its users.
    static RecordPipe* const pipe = new RecordPipe(60000);
    if (config.liss_port > 0) {
        streamRegistry.attachPipe(pipe);
        std::thread(lissServerThread, pipe, LissTimings{}).detach();
    }
}

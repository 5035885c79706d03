// The recorder thread: waits in 5-second ticks, makes a pass every flush
// interval (or sooner), and ends the program with the stop command once
// the run flag has been cleared.
#include "recorder/recorder_thread.h"

#include <chrono>
#include <thread>

#include "common/app_state.h"
#include "common/commands.h"
#include "common/oplog.h"
#include "link/block_queue.h"
#include "platform/ui.h"
#include "recorder/file_index.h"
#include "recorder/recorder_pass.h"

namespace {

constexpr auto kWaitTick = std::chrono::milliseconds(5000);
constexpr auto kStopDelay = std::chrono::milliseconds(1000);
constexpr int kEarlyWriteThreshold = 880;

bool continuous_ring_filling() { return fullest_continuous_ring() > kEarlyWriteThreshold; }

// Ends the program: the main window's stop command, waited for.
void send_stop() {
    run_flag.store(1);
    ui_send_command(kStopCommandId);
}

std::thread recorder;
// The station the recorder serves; set before its thread starts.
const StationContext* station = nullptr;

void recorder_main() {
    write_log_line("START");

    while (run_flag.load() != 0) {
        for (int round = 0; round < station->config.flush_rounds; ++round) {
            std::this_thread::sleep_for(kWaitTick);
            if (flush_request.load() != 0) break;
            if (continuous_ring_filling()) break;
            if (run_flag.load() == 0) break;
        }
        if (run_flag.load() == 0) break;
        make_pass(*station);
        flush_request.store(0);
    }
    // What is queued is written before the stop, not thrown away.
    flush_request.store(1);
    make_pass(*station);
    write_queued_blocks(*station);
    flush_request.store(0);

    std::this_thread::sleep_for(kStopDelay);
    // The database thread still sees the cleared run flag and gives up.
    wait_database_thread();
    send_stop();
}

}  // namespace

void start_recorder_thread(const StationContext& context) {
    station = &context;
    recorder = std::thread(recorder_main);
}

void join_recorder_thread() {
    if (recorder.joinable()) recorder.join();
}

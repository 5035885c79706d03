// The recorder thread: waits in 5-second ticks, makes a pass every flush
// interval (or sooner), and ends the program with the stop command once
// the run flag has been cleared. The tick is a wait on the stop token, which
// the command that clears the run flag requests, so the stop begins at once.
#include "recorder/recorder_thread.h"

#include <chrono>
#include <memory>
#include <thread>

#include "common/app_state.h"
#include "common/commands.h"
#include "common/oplog.h"
#include "common/stop_token.h"
#include "link/block_queue.h"
#include "platform/ui.h"
#include "recorder/file_index.h"
#include "recorder/recorder_pass.h"

namespace {

constexpr auto kWaitTick = std::chrono::milliseconds(5000);
constexpr auto kStopDelay = std::chrono::milliseconds(1000);  // the orderly stop's pause
constexpr int kEarlyWriteThreshold = 880;

bool continuous_ring_filling() { return fullest_continuous_ring() > kEarlyWriteThreshold; }

// Ends the program: the main window's stop command, waited for.
void send_stop() {
    run_flag.store(1);
    ui_send_command(kStopCommandId);
}

std::thread recorder;
std::unique_ptr<StopToken> recorder_stop;

bool stopping(const StopToken& stop) { return run_flag.load() == 0 || stop.requested(); }

void recorder_main(const StationContext* station, const StopToken* stop) {
    write_log_line("START");

    while (!stopping(*stop)) {
        for (int round = 0; round < station->config.flush_rounds; ++round) {
            stop->wait_for(kWaitTick);
            if (flush_request.load() != 0) break;
            if (continuous_ring_filling()) break;
            if (stopping(*stop)) break;
        }
        if (stopping(*stop)) break;
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
    stop_database_thread();
    send_stop();
}

}  // namespace

void start_recorder_thread(const StationContext& station) {
    recorder_stop = std::make_unique<StopToken>();
    recorder = std::thread(recorder_main, &station, recorder_stop.get());
}

void request_recorder_stop() {
    if (recorder_stop) recorder_stop->request();
}

void stop_recorder_thread() {
    request_recorder_stop();
    if (recorder.joinable()) recorder.join();
}

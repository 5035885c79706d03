// Entry of the disk loop server: start-up in its fixed order, the message
// loop of the user-interface thread, then the NetBIOS side taken down.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/app_state.h"
#include "common/descriptor.h"
#include "common/metrics.h"
#include "common/oplog.h"
#include "common/station_context.h"
#include "fdsn/ring_source.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "link/decoder.h"
#include "link/session.h"
#ifdef VELDRUM_TEST_HOOKS
#include "link/session_testing.h"
#endif
#include "live/live_feed.h"
#include "live/record_ring.h"
#include "live/seedlink_server.h"
#include "platform/profile.h"
#include "platform/ui.h"
#include "recorder/file_index.h"
#include "recorder/recorder_thread.h"
#include "seed/seed_service.h"
#include "seed/stream_registry.h"
#include "shell/config.h"
#include "shell/main_window.h"
#include "shell/status_dialog.h"
#include "shell/status_server.h"

namespace {

constexpr const char* kCaption = "Сервер дисковой петли";

// A message box without owner: the text on stderr, then the caller's exit code.
int message_box(const char* caption, const char* text, int exit_code) {
    if (caption[0] != '\0' && std::string(caption) != " ")
        std::fprintf(stderr, "%s: %s\n", caption, text);
    else
        std::fprintf(stderr, "%s\n", text);
    return exit_code & 0xFF;
}

// What would otherwise fail silently later: said once at start, on stderr
// and in the log; the server runs regardless.
void startup_warning(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    write_log_line(text.c_str());
}

void report_unusable_settings(const Config& config) {
    if (!writable_directory(config.data_dir))
        startup_warning(std::string("Каталог данных недоступен: ") + config.data_dir);
    if (config.liss_port > 65535)
        startup_warning("Неверное значение SPORT: " + std::to_string(config.liss_port));
}

// Built before any thread starts and handed to every service; at file scope
// for the block sink, a plain function.
StationContext station;

// Each decoded block: queued for the recorder, counted, then the samples of
// an announced channel to the LISS side and to the live feed.
void take_block(const DecodedBlock& b) {
    if (!queue_decoded_block(b, station.status)) return;
    ChannelMetrics& counted = channel_metrics(station.metrics, b.channel);
    bump(counted.samples_received, static_cast<uint64_t>(b.sample_count));
    if (b.entry == nullptr) return;
    note_block(counted, b.time, b.sample_count, b.rate);
    seed_take_samples(b.entry->name, b.rate, b.time, b.sample_count, b.samples);
    live_take_samples(b.entry->name, b.rate, b.time, b.sample_count, b.samples);
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the blocked signals.
    ui_install_stop_signals();

    if (argc < 2) return message_box(" ", kUsageText, -1);

    std::string error;
    if (!set_station_name(station, argv[1], &error))
        return message_box(kCaption, error.c_str(), -1);
    StreamRegistry& streams = seed_streams();
    streams.findOrAddStation(station.station_name);

    parse_command_line(station, argc, argv, streams);
    read_port_and_channels(station, kVeldrumIni, streams);
    read_data_dir(station.config, kvr_ini_path().c_str());
    read_startup_keys(station, kVeldrumIni);
    // Before anything that may write to the log, so that no line is lost.
    log_init(kVeldrumIni);
    report_unusable_settings(station.config);
#ifdef VELDRUM_TEST_HOOKS
    // Tests see a silent station dropped in seconds rather than minutes.
    if (const char* units = std::getenv("VELDRUM_TEST_RECEIVE_TIMEOUT"))
        set_receive_timeout_for_test(static_cast<UCHAR>(std::atoi(units)));
#endif

    if (!netbios_reset(station)) return message_box(kCaption, "Ошибка инициализации Netbios", -2);
    if ((add_client_name() & 0xFF) == 255)
        return message_box(kCaption, "Ошибка выделения имени в системе Netbios", -1);

    run_flag.store(1);
    for (int c = 0; c < kChannelCount; ++c) reset_slot_queue(c);
    for (int c = 0; c < kChannelCount; ++c) reset_slot_marks(c);

    // Before the threads that report: the dialog shows what they say.
    dialog_take_status_reports(station);
    start_seed_service(station);
    start_live_feed(station);  // says in the log why when it cannot
    start_seedlink_server(live_ring(), station, &live_ring3());
    set_block_sink(take_block);
    start_recorder_thread(station);

    ui_set_command_handler(main_window_command);
    ui_set_tick_handler(main_window_tick);
    // Restores the column widths saved by the last stop.
    dialog_create(kVeldrumIni);
    start_status_server(station, kVeldrumIni);

    start_database_thread(station);
    start_session();

    // Ends with the stop command, which the recorder thread sends once it has
    // made its final pass and the database thread has ended.
    int exit_code = ui_run_message_loop();
    // Everything started is stopped, in reverse, and joined before main
    // returns, so that no thread touches what the process's exit destroys.
    // The session first: no sample reaches a service that has stopped.
    delete_client_name();
    close_session();
    stop_status_server();
    close_index_connections();  // the FDSN services' own, idle once the server stopped
    stop_recorder_thread();
    stop_seedlink_server();
    stop_live_feed();
    stop_seed_service();
    ui_remove_stop_signals();
    for (int c = 0; c < kChannelCount; ++c) drain_channel(c);
    return exit_code;
}

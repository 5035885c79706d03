// The status page in real headless Chromium, driven by playwright-core
// (tests/browser/status_page.js). This binary owns the program's state: it
// serves the page from the real status server on a loopback port and plays
// the station link, the recorder and the UI thread's timer at each step the
// script asks for, then checks what the page's commands changed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>

#include "common/calendar.h"
#include "link/channel_table.h"
#include "common/app_state.h"
#include "shell/main_window.h"
#include "shell/status_dialog.h"
#include "shell/status_server.h"
#include "tests/browser/node_script.h"

namespace {

void add_channel(const char* name, double rate) {
    RosterEntry& e = channel_roster[roster_count++];
    std::snprintf(e.name, sizeof e.name, "%s", name);
    e.sample_rate = rate;
}

// One step of the script: plays the program's side; "" means done well.
std::string play(const std::string& step) {
    if (step == "announce") {
        add_channel("SHZ", 20.0);
        add_channel("SHN", 20.0);
        add_channel("<b>x", 100.0);
        dialog_rebuild_channel_list();
        dialog_set_station_icon(true);
        dialog_set_db_icon(true);
        dialog_tick();
    } else if (step == "blocks") {
        RosterEntry& e = channel_roster[1];
        e.queued_blocks = 7;
        e.last_block_time = calendar_to_seconds(2026, 12, 6, 12, 5, 9) + 0.75;
        e.event_marked = 1;
        std::snprintf(e.file_name, sizeof e.file_name,
                      "/var/lib/veldrum/data/12/120509-06122026-SHN.ABC");
        dialog_tick();
        event_countdown.store(10);  // what the decoder does for a marked block
        event_active.store(1);
    } else if (step == "tick") {
        dialog_tick();
    } else if (step == "unmark") {
        channel_roster[1].event_marked = 0;
        dialog_tick();
    } else if (step == "check-flush") {
        if (flush_request.load() != 1) return "flush_request is not set";
        if (dialog_snapshot()->flush_enabled) return "button 7 is still enabled";
    } else if (step == "pass-start") {
        flush_request.store(0);
        dialog_enable_flush_button();
    } else if (step == "station-lost") {
        dialog_set_error_text("<i>Код ошибки Netbios: 24");
        dialog_set_station_icon(false);
    } else if (step == "db-lost") {
        dialog_set_db_icon(false);
    } else if (step == "station-back") {
        dialog_set_station_icon(true);
    } else if (step == "check-widths") {
        int w[kColumnCount];
        dialog_column_widths(w);
        if (w[0] <= kDefaultColumnWidth + 30) return "column 0 did not grow: " + format_saved_widths(w);
        for (int i = 1; i < kColumnCount; ++i) {
            if (w[i] != kDefaultColumnWidth) return "other columns changed: " + format_saved_widths(w);
        }
    } else if (step == "check-stop") {
        // The click's POST is still on its way; give it time to arrive.
        for (int i = 0; i < 100 && run_flag.load() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (run_flag.load() != 0) return "run flag still set";
    } else if (step != "done") {
        return "unknown step " + step;
    }
    return "";
}

TEST(BrowserTest, StatusPageInHeadlessChromium) {
    std::string missing = node_script::missing();
    if (!missing.empty()) GTEST_SKIP() << missing;

    std::memset(channel_roster, 0, sizeof channel_roster);
    roster_count = 0;
    std::strcpy(station_name, "ABC");
    run_flag.store(1);
    flush_request.store(0);
    dialog_reset_for_test();
    dialog_create(nullptr);
    StatusServerOptions options;
    options.post_command = main_window_command;  // as the UI thread would run it
    options.port = 0;
    int port = status_server_start(options);
    ASSERT_GT(port, 0);

    std::string url = "http://127.0.0.1:" + std::to_string(port);
    std::string shots = VELDRUM_BINARY_DIR;
    node_script::Outcome run = node_script::run("status_page.js", {url, shots}, play);
    status_server_stop();
    EXPECT_EQ(run.failure, "");
    EXPECT_TRUE(run.done) << "the script ended early (see [browser] lines)";
    EXPECT_TRUE(run.exited_ok);
    EXPECT_TRUE(node_script::exists(shots + "/status_page.png"));
    dialog_reset_for_test();
    roster_count = 0;
}

}  // namespace

// The status page in real headless Chromium, driven by playwright-core
// (tests/browser/status_page.js). This binary owns the program's state: it
// serves the page from the real status server on a loopback port and plays
// the station link, the recorder and the UI thread's timer at each step the
// script asks for, then checks what the page's commands changed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>

#include "link/calendar.h"
#include "link/channel_table.h"
#include "platform/status_server.h"
#include "shell/app_state.h"
#include "shell/status_dialog.h"

extern char** environ;

namespace {

bool exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

std::string node_modules() {
    const char* env = std::getenv("VELDRUM_NODE_MODULES");
    if (env != nullptr && env[0] != '\0') return env;
    std::string in_build = std::string(VELDRUM_BINARY_DIR) + "/node/node_modules";
    std::string in_tree = std::string(VELDRUM_SOURCE_DIR) + "/tests/browser/node_modules";
    return exists(in_build + "/playwright-core") || !exists(in_tree) ? in_build : in_tree;
}

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
    const char* chromium = std::getenv("CHROMIUM");
    std::string browser = chromium != nullptr ? chromium : "/usr/bin/chromium";
    if (!exists(browser)) GTEST_SKIP() << "no " << browser << " (apt-get install chromium)";
    if (!exists(node_modules() + "/playwright-core")) {
        GTEST_SKIP() << "no playwright-core in " << node_modules()
                     << " (npm install --prefix " << VELDRUM_BINARY_DIR
                     << "/node playwright-core@1.65.1)";
    }

    std::memset(channel_roster, 0, sizeof channel_roster);
    roster_count = 0;
    std::strcpy(station_name, "ABC");
    run_flag.store(1);
    flush_request.store(0);
    dialog_reset_for_test();
    dialog_create(nullptr);
    StatusServerOptions options;
    options.port = 0;
    int port = status_server_start(options);
    ASSERT_GT(port, 0);

    int to_node[2], from_node[2];
    ASSERT_EQ(::pipe2(to_node, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(from_node, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_node[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_node[1], 1);
    std::string script = std::string(VELDRUM_SOURCE_DIR) + "/tests/browser/status_page.js";
    std::string url = "http://127.0.0.1:" + std::to_string(port);
    std::string shots = VELDRUM_BINARY_DIR;
    ::setenv("NODE_PATH", node_modules().c_str(), 1);
    ::setenv("CHROMIUM", browser.c_str(), 1);
    char* argv[] = {const_cast<char*>("node"), script.data(), url.data(), shots.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "node", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_node[0]);
    ::close(from_node[1]);
    ASSERT_EQ(rc, 0) << "cannot start node";

    FILE* in = ::fdopen(from_node[0], "r");
    FILE* out = ::fdopen(to_node[1], "w");
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    char line[512];
    bool done = false;
    std::string failure;
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.rfind("step ", 0) != 0) {
            failure = "script: " + text;
            break;
        }
        std::string step = text.substr(5);
        std::string why = play(step);
        std::fprintf(out, "%s\n", why.empty() ? "ok" : ("fail " + why).c_str());
        std::fflush(out);
        if (!why.empty()) failure = step + ": " + why;
        if (step == "done") done = true;
    }
    std::fclose(out);
    std::fclose(in);
    int status = 0;
    ::waitpid(pid, &status, 0);
    status_server_stop();
    EXPECT_EQ(failure, "");
    EXPECT_TRUE(done) << "the script ended early (see [browser] lines)";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(exists(shots + "/status_page.png"));
    dialog_reset_for_test();
    roster_count = 0;
}

}  // namespace

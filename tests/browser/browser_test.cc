// The status page in real headless Chromium, driven by playwright-core
// (tests/browser/page.js): once served by the status server of this process,
// whose state the test plays step by step, and once by a running veldrum fed
// by stationsim.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <ifaddrs.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "common/app_state.h"
#include "link/calendar.h"
#include "link/channel_table.h"
#include "shell/main_window.h"
#include "shell/status_dialog.h"
#include "shell/status_server.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;

std::string node_modules() {
    const char* given = getenv("VELDRUM_NODE_MODULES");
    return given != nullptr && given[0] != '\0' ? given : VELDRUM_BINARY_DIR "/node/node_modules";
}

#define SKIP_WITHOUT_BROWSER()                                                    \
    if (!exists(getenv("CHROMIUM") ? getenv("CHROMIUM") : "/usr/bin/chromium") || \
        !exists(node_modules() + "/playwright-core"))                             \
    GTEST_SKIP() << "no chromium, or no playwright-core in " << node_modules()    \
                 << " (npm install --prefix " VELDRUM_BINARY_DIR "/node playwright-core@1.65.1)"

// Runs page.js under node; play(step) answers each step it asks for ("" when
// done well, else why not). Returns the first failure, or "" when the script
// reached its "done" step and exited with 0.
std::string run_page(std::vector<std::string> args,
                     const std::function<std::string(const std::string&)>& play) {
    int to_node[2], from_node[2];
    if (pipe2(to_node, O_CLOEXEC) != 0 || pipe2(from_node, O_CLOEXEC) != 0) return "no pipe";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, to_node[0], 0);
    posix_spawn_file_actions_adddup2(&fa, from_node[1], 1);
    args.insert(args.begin(), {"node", VELDRUM_SOURCE_DIR "/tests/browser/page.js"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    setenv("NODE_PATH", node_modules().c_str(), 1);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "node", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(to_node[0]);
    close(from_node[1]);
    FILE* in = fdopen(from_node[0], "r");
    FILE* out = fdopen(to_node[1], "w");
    std::string failure = rc != 0 ? "cannot start node" : "", step;
    char line[512];
    while (failure.empty() && step != "done" && fgets(line, sizeof line, in) != nullptr) {
        const std::string text(line, strcspn(line, "\r\n"));
        step = text.rfind("step ", 0) == 0 ? text.substr(5) : "";
        const std::string why = step.empty() ? "script: " + text : play(step);
        fprintf(out, "%s\n", why.empty() ? "ok" : ("fail " + why).c_str());
        fflush(out);
        if (!why.empty()) failure = step + ": " + why;
    }
    fclose(out);
    fclose(in);
    int status = 0;
    if (rc == 0) waitpid(pid, &status, 0);
    if (failure.empty() && step != "done") failure = "the script ended early (see [browser] lines)";
    if (failure.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        failure = "node failed";
    return failure;
}

// Blocks of channel 1 as the page shows them beside name and rate: the one
// place this test writes those roster fields. The block time, 0.75 s into
// its second, shows that second.
void show(int marked) {
    RosterEntry& e = channel_roster[1];
    e.queued_blocks = 7;
    e.last_block_time = calendar_to_seconds(2026, 12, 6, 12, 5, 9) + 0.75;
    e.event_marked = marked;
    snprintf(e.file_name, sizeof e.file_name, "/var/lib/veldrum/data/12/120509-06122026-SHN.ABC");
}

// The page against this process's own status server and dialog, the test
// playing the station link, the recorder and the user-interface thread's timer.
TEST(BrowserTest, StatusPageInHeadlessChromium) {
    SKIP_WITHOUT_BROWSER();
    roster_count = 0;
    strcpy(station_name, "ABC");
    run_flag.store(1);
    flush_request.store(0);
    dialog_reset_for_test();
    dialog_create(nullptr);
    StatusServerOptions options;
    options.post_command = main_window_command;  // as the UI thread would run it
    options.port = 0;
    const int port = status_server_start(options);
    ASSERT_GT(port, 0);
    const std::string failure = run_page(
        {"fixture", "http://127.0.0.1:" + std::to_string(port), VELDRUM_BINARY_DIR},
        [](const std::string& step) -> std::string {
            if (step == "announce") {
                for (const auto& [name, rate] : std::vector<std::pair<const char*, double>>{
                         {"SHZ", 20.0}, {"SHN", 20.0}, {"<b>x", 100.0}}) {
                    RosterEntry& e = channel_roster[roster_count++] = RosterEntry{};
                    snprintf(e.name, sizeof e.name, "%s", name);
                    e.sample_rate = rate;
                }
                dialog_rebuild_channel_list();
                dialog_set_station_icon(true);
                dialog_set_db_icon(true);
            } else if (step == "blocks") {
                show(1);
                dialog_tick();
                event_countdown.store(10);  // what the decoder does for a marked block
                event_active.store(1);
            } else if (step == "unmark") {
                show(0);
            } else if (step == "check-flush") {
                if (flush_request.load() != 1) return "flush_request is not set";
                if (dialog_snapshot()->flush_enabled) return "button 7 is still enabled";
            } else if (step == "pass-start") {
                flush_request.store(0);
                dialog_enable_flush_button();
            } else if (step == "lost" || step == "station-back") {
                if (step == "lost") dialog_set_error_text("<i>Код ошибки Netbios: 24");
                if (step == "lost") dialog_set_db_icon(false);
                dialog_set_station_icon(step != "lost");
            } else if (step == "check-widths") {
                int w[kColumnCount];
                dialog_column_widths(w);
                if (w[0] <= kDefaultColumnWidth + 30 ||
                    std::count(w, w + kColumnCount, kDefaultColumnWidth) != kColumnCount - 1)
                    return "only column 0 should have grown: " + format_saved_widths(w);
            } else if (step == "check-stop") {
                // The click's POST is still on its way; give it time to arrive.
                if (!wait_until([] { return run_flag.load() == 0; }, 10000))
                    return "run flag still set";
            } else if (step != "tick" && step != "done") {
                return "unknown step " + step;
            }
            if (step == "announce" || step == "unmark" || step == "tick") dialog_tick();
            return "";
        });
    status_server_stop();
    dialog_reset_for_test();
    roster_count = 0;
    EXPECT_EQ(failure, "");
}

TEST(BrowserSystem, StatusPageOfTheRunningServer) {
    SKIP_WITHOUT_BROWSER();
    Station s('W');
    const int port = free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(port);
    s.start_veldrum({"FLUSH=600"});  // only "Сброс буферов" makes a pass
    ASSERT_TRUE(s.wait_log("#START#", 20000)) << s.log();
    const std::vector<std::string> sim = {"--channels", "SHZ:20:0,SHN:100:0", "--realtime"};
    const std::string failure = run_page(
        {"system", "http://127.0.0.1:" + std::to_string(port), s.name, VELDRUM_BINARY_DIR},
        [&](const std::string& step) -> std::string {
            if (step == "start-sim" || step == "start-sim-quiet") {
                std::vector<std::string> o = sim;
                if (step == "start-sim") o.insert(o.end(), {"--event-every", "1"});
                s.start_sim(o);
                if (!s.wait_log("#Станция подключена#", 40000, step == "start-sim" ? 1 : 2))
                    return "no connection in the log";
            } else if (step == "check-refused") {
                const auto r = httplib::Client("127.0.0.1", port)
                                   .Post("/api/stop", {{"Origin", "http://evil.example"}}, "{}",
                                         "application/json");
                if (!r || r->status != 403) return "a POST naming another origin was not refused";
                sleep(2);
                if (s.server.pid <= 0 || waitpid(s.server.pid, nullptr, WNOHANG) != 0)
                    return "veldrum ended";
                if (s.log_count("#STOP#") != 0) return "STOP in the log";
            } else if (step == "check-pass") {
                std::string seen;
                for (int i = 0; i < 100 && seen.empty(); ++i, usleep(100000))
                    for (const RingFile& f : s.files()) seen += " " + f.channel;
                if (count(seen, " SHZ") == 0 || count(seen, " SHN") == 0)
                    return "ring files after the pass:" + seen;
            } else if (step == "stop-sim") {
                s.stop_sim();
                if (!s.wait_log("#Станция отключена#", 20000)) return "no loss in the log";
            } else if (step == "check-exit") {
                const int code = s.server.wait(40000);
                if (code != 0) return "exit code " + std::to_string(code) + "\n" + s.server.text();
                if (s.log_count("#STOP#") != 1) return "no STOP in the log";
                const std::string ini = read_file(s.dir + "/VELDRUM.INI");
                if (count(ini, "[-LISTBOX-]") == 0 || count(ini, "Width=") == 0)
                    return "no saved column widths";
            } else if (step != "done") {
                return "unknown step " + step;
            }
            return "";
        });
    EXPECT_EQ(failure, "") << s.log();
}

// An IPv4 address of this machine other than loopback, or "".
std::string outside_address() {
    ifaddrs* list = nullptr;
    std::string found;
    for (ifaddrs* a = getifaddrs(&list) == 0 ? list : nullptr; a != nullptr && found.empty();
         a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        const in_addr ip = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr;
        if ((ntohl(ip.s_addr) >> 24) != 127) found = inet_ntoa(ip);
    }
    freeifaddrs(list);
    return found;
}

// Off loopback the page's commands need the key of VELDRUM.INI: without it,
// or with a wrong one, they change nothing; with it they work.
TEST(BrowserSystem, CommandsOffLoopbackNeedTheToken) {
    const std::string host = outside_address();
    if (host.empty()) GTEST_SKIP() << "no address besides loopback";
    Station s('K');
    const int port = free_port();
    s.veldrum_keys["HTTP"] = host + ":" + std::to_string(port);
    s.veldrum_keys["HTTPTOKEN"] = "s3cret-key";
    s.start_veldrum({"FLUSH=600"});
    ASSERT_TRUE(s.wait_log("#START#", 20000)) << s.log();
    httplib::Client c(host, port);
    const std::string origin = "http://" + host + ":" + std::to_string(port);
    ASSERT_TRUE(wait_until([&] { return c.Get("/api/status") != nullptr; }, 10000)) << origin;
    auto post = [&](const char* path, const char* token) {
        const auto r = c.Post(path, {{"Origin", origin}, {"X-VelDrum-Token", token}}, "{}",
                              "application/json");
        return r ? r->status : 0;
    };
    for (const char* token : {"", "s3cret-kez"})
        for (const char* path : {"/api/stop", "/api/flush"})
            EXPECT_EQ(post(path, token), 401) << path << " '" << token << "'";
    const auto status = c.Get("/api/status");
    ASSERT_TRUE(status);
    const auto json = nlohmann::json::parse(status->body, nullptr, false);
    EXPECT_TRUE(json.value("flush_enabled", false) && !json.value("stopping", true))
        << status->body;
    EXPECT_EQ(s.log_count("#STOP#"), 0u);
    EXPECT_EQ(post("/api/stop", "s3cret-key"), 200);
    EXPECT_EQ(s.server.wait(40000), 0) << s.server.text();
    EXPECT_EQ(s.log_count("#STOP#"), 1u) << s.log();
}

}  // namespace

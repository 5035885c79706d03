// The status page of the real program in headless Chromium, driven by
// playwright-core (tests/browser/page.js): veldrum fed by stationsim on
// loopback. The script checks the page; this binary plays the steps it asks
// for and checks what the program left behind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <ifaddrs.h>

#include <nlohmann/json.hpp>

#include "shell/status_dialog.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;

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

// The second channel's name is one that markup would show as "<": the page
// must show it as it is.
TEST(BrowserSystem, StatusPageOfTheRunningServer) {
    const char* modules = getenv("VELDRUM_NODE_MODULES");
    setenv("NODE_PATH", modules ? modules : VELDRUM_BINARY_DIR "/node/node_modules", 1);
    if (!exists(getenv("CHROMIUM") ? getenv("CHROMIUM") : "/usr/bin/chromium") ||
        !exists(std::string(getenv("NODE_PATH")) + "/playwright-core"))
        GTEST_SKIP() << "no chromium, or no playwright-core in " << getenv("NODE_PATH")
                     << " (npm install --prefix " VELDRUM_BINARY_DIR
                        "/node playwright-core@1.65.1)";
    Station s('W');
    const int port = free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(port);
    s.start_veldrum({"FLUSH=600"});  // only "Сброс буферов" makes a pass
    ASSERT_TRUE(s.wait_log("#START#", 20000)) << s.log();
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    auto play = [&](const std::string& step) -> std::string {
        if (step == "start-sim" || step == "start-sim-quiet") {
            std::vector<std::string> o = {"--channels", "SHZ:20:0,&lt;:100:0", "--realtime"};
            if (step == "start-sim") o.insert(o.end(), {"--event-every", "1"});
            s.start_sim(o);
            if (!s.wait_log("#Станция подключена#", 40000, step == "start-sim" ? 1 : 2))
                return "no connection in the log";
        } else if (step == "check-refused") {
            const auto r = httplib::Client(url).Post(
                "/api/stop", {{"Origin", "http://evil.example"}}, "{}", "application/json");
            if (!r || r->status != 403) return "a POST naming another origin was not refused";
            sleep(2);
            if (waitpid(s.server.pid, nullptr, WNOHANG) != 0) return "veldrum ended";
            if (s.log_count("#STOP#") != 0) return "STOP in the log";
        } else if (step == "check-pass") {
            std::string seen;
            for (int i = 0; i < 100 && seen.empty(); ++i, usleep(100000))
                for (const RingFile& f : s.files()) seen += " " + f.channel;
            if (count(seen, " SHZ") == 0 || count(seen, " &lt;") == 0)
                return "ring files after the pass:" + seen;
        } else if (step == "stop-sim") {
            s.stop_sim();
            if (!s.wait_log("#Станция отключена#", 20000)) return "no loss in the log";
        } else if (step == "check-exit") {
            const int code = s.server.wait(40000);
            if (code != 0) return "exit code " + std::to_string(code) + "\n" + s.server.text();
            if (s.log_count("#STOP#") != 1) return "no STOP in the log";
            const std::string ini = read_file(s.dir + "/VELDRUM.INI");
            const size_t at = ini.find("Width=", ini.find("[-LISTBOX-]"));
            if (at == std::string::npos || atoi(ini.c_str() + at + 6) <= kDefaultColumnWidth + 30)
                return "the widened first column was not saved:\n" + ini;
        } else if (step != "done") {
            return "unknown step " + step;
        }
        return "";
    };
    EXPECT_EQ(run_page({url, s.name, "&lt;", VELDRUM_BINARY_DIR}, play), "") << s.log();
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
    httplib::Client c(host, port);
    const std::string origin = "http://" + host + ":" + std::to_string(port);
    ASSERT_TRUE(wait_until([&] { return c.Get("/api/status") != nullptr; }, 20000)) << origin;
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

// The status page of the real program: veldrum fed by stationsim on
// loopback, its page in headless Chromium (tests/browser/system_page.js).
// The script checks the page; this binary starts and stops the simulator
// when the script asks and checks what the program left behind.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <httplib.h>
#include <ifaddrs.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tests/browser/node_script.h"
#include "tests/system/system_run.h"

namespace {

using system_run::Station;

bool still_running(const Station& s) {
    int status = 0;
    return s.server.pid > 0 && waitpid(s.server.pid, &status, WNOHANG) == 0;
}

TEST(BrowserSystem, StatusPageOfTheRunningServer) {
    std::string missing = node_script::missing();
    if (!missing.empty()) GTEST_SKIP() << missing;

    Station s('W');
    const int port = system_run::free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(port);
    // A long write interval, so that only "Сброс буферов" makes a pass.
    s.start_veldrum({"FLUSH=600"});
    ASSERT_TRUE(s.wait_log("#START#", 20000)) << s.log();
    const std::vector<std::string> channels = {"--channels", "SHZ:20:0,SHN:100:0", "--realtime"};

    auto play = [&](const std::string& step) -> std::string {
        if (step == "start-sim") {
            // Every second of data carries an event mark.
            std::vector<std::string> o = channels;
            o.insert(o.end(), {"--event-every", "1"});
            s.start_sim(o);
            if (!s.wait_log("#Станция подключена#", 40000)) return "no connection in the log";
        } else if (step == "check-alive") {
            if (!still_running(s)) return "veldrum ended";
            if (s.log_count("#STOP#") != 0) return "STOP in the log";
        } else if (step == "check-pass") {
            for (int i = 0; i < 100 && s.files().empty(); ++i) usleep(100000);
            std::string seen;
            for (const system_run::RingFile& f : s.files()) seen += " " + f.channel;
            if (seen.find(" SHZ") == std::string::npos || seen.find(" SHN") == std::string::npos)
                return "ring files after the pass:" + seen;
        } else if (step == "stop-sim") {
            s.stop_sim();
            if (!s.wait_log("#Станция отключена#", 20000)) return "no loss in the log";
        } else if (step == "start-sim-quiet") {
            s.start_sim(channels);
            if (!s.wait_log("#Станция подключена#", 40000, 2)) return "no second connection in the log";
        } else if (step == "check-exit") {
            const int code = s.server.wait(40000);
            if (code != 0) return "exit code " + std::to_string(code) + "\n" + s.server.text();
            if (s.log_count("#STOP#") != 1) return "no STOP in the log";
            std::string ini = system_run::read_file(s.dir + "/VELDRUM.INI");
            if (ini.find("[-LISTBOX-]") == std::string::npos || ini.find("Width=") == std::string::npos)
                return "no saved column widths";
        } else if (step != "done") {
            return "unknown step " + step;
        }
        return "";
    };
    node_script::Outcome run = node_script::run(
        "system_page.js", {"http://127.0.0.1:" + std::to_string(port), s.name, VELDRUM_BINARY_DIR}, play);
    EXPECT_EQ(run.failure, "") << s.log();
    EXPECT_TRUE(run.done) << "the script ended early (see [browser] lines)\n" << s.log();
    EXPECT_TRUE(run.exited_ok);
    EXPECT_TRUE(node_script::exists(std::string(VELDRUM_BINARY_DIR) + "/browser-system.png"));
}

// An IPv4 address of this machine other than loopback, or "".
std::string outside_address() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return "";
    std::string found;
    for (ifaddrs* a = list; a != nullptr && found.empty(); a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        const in_addr ip = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr;
        if ((ntohl(ip.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &ip, text, sizeof text) != nullptr) found = text;
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
    const int port = system_run::free_port();
    s.veldrum_keys["HTTP"] = host + ":" + std::to_string(port);
    s.veldrum_keys["HTTPTOKEN"] = "s3cret-key";
    s.start_veldrum({"FLUSH=600"});
    ASSERT_TRUE(s.wait_log("#START#", 20000)) << s.log();

    httplib::Client c(host, port);
    c.set_connection_timeout(5);
    c.set_read_timeout(10);
    const std::string origin = "http://" + host + ":" + std::to_string(port);
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        httplib::Result r = c.Get("/api/status");
        up = r && r->status == 200;
        if (!up) usleep(100000);
    }
    ASSERT_TRUE(up) << "no status page on " << origin;

    const httplib::Headers none = {{"Origin", origin}};
    const httplib::Headers wrong = {{"Origin", origin}, {"X-VelDrum-Token", "s3cret-kez"}};
    for (const httplib::Headers* h : {&none, &wrong}) {
        for (const char* path : {"/api/stop", "/api/flush"}) {
            httplib::Result r = c.Post(path, *h, "{}", "application/json");
            ASSERT_TRUE(r) << path;
            EXPECT_EQ(r->status, 401) << path;
        }
    }
    httplib::Result st = c.Get("/api/status");
    ASSERT_TRUE(st);
    const auto json = nlohmann::json::parse(st->body, nullptr, false);
    EXPECT_EQ(json.value("flush_enabled", false), true) << st->body;
    EXPECT_EQ(json.value("stopping", true), false) << st->body;
    EXPECT_TRUE(still_running(s));
    EXPECT_EQ(s.log_count("#STOP#"), 0u);

    const httplib::Headers right = {{"Origin", origin}, {"X-VelDrum-Token", "s3cret-key"}};
    httplib::Result r = c.Post("/api/stop", right, "{}", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(s.server.wait(40000), 0) << s.server.text();
    EXPECT_EQ(s.log_count("#STOP#"), 1u) << s.log();
}

}  // namespace

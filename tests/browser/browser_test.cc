// The status page of the real program: in headless Chromium, driven by
// playwright-core, and off loopback with its key.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <ifaddrs.h>

#include <nlohmann/json.hpp>

#include "shell/status_dialog.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;

// The page of veldrum fed by stationsim, in tests/browser/page.js; this
// binary checks what the program left behind.
TEST(BrowserSystem, StatusPageOfTheRunningServer) {
    const char* modules = getenv("VELDRUM_NODE_MODULES");
    const std::string node_path = modules ? modules : VELDRUM_BINARY_DIR "/node/node_modules";
    if (!exists(getenv("CHROMIUM") ? getenv("CHROMIUM") : "/usr/bin/chromium") ||
        !exists(node_path + "/playwright-core"))
        GTEST_SKIP() << "no chromium, or no playwright-core in " << node_path
                     << " (npm install --prefix " VELDRUM_BINARY_DIR
                        "/node playwright-core@1.65.1)";
    Station s('W');
    const std::string url = "http://127.0.0.1:" + std::to_string(free_port());
    s.veldrum_keys["HTTP"] = url.substr(7);
    s.veldrum_keys["SEEDLINK"] = std::to_string(free_port());  // the seismograms' feed
    s.start_veldrum({"FLUSH=600"});  // only "Сброс буферов" makes a pass
    ASSERT_TRUE(s.wait_log("#START#", 20000)) << s.log();
    // A script naming another origin is refused before the page comes.
    ASSERT_TRUE(
        wait_until([&] { return httplib::Client(url).Get("/api/status") != nullptr; }, 10000));
    const auto r = httplib::Client(url).Post("/api/stop", {{"Origin", "http://evil.example"}}, "{}",
                                             "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    Child node = spawn({"/usr/bin/env", "NODE_PATH=" + node_path, "node",
                        VELDRUM_SOURCE_DIR "/tests/browser/page.js", url, s.name, bin("stationsim"),
                        std::to_string(s.sim_port), VELDRUM_BINARY_DIR},
                       s.dir, s.dir + "/node.out");
    EXPECT_EQ(node.wait(300000), 0) << node.text() << s.log();
    // The page's stop ended the program, which saved the widened first column.
    EXPECT_EQ(s.server.wait(40000), 0) << s.server.text();
    EXPECT_EQ(s.log_count("#STOP#"), 1u) << s.log();
    const std::string ini = read_file(s.dir + "/VELDRUM.INI");
    const size_t at = ini.find("Width=", ini.find("[-LISTBOX-]"));
    EXPECT_TRUE(at != std::string::npos && atoi(ini.c_str() + at + 6) > kDefaultColumnWidth + 30)
        << ini;
}

// /metrics through the Prometheus client's parser (tests/browser/scrape.py),
// and /api/health following the station away and back.
TEST(MonitoringSystem, MetricsParseAndHealthFollowsTheStation) {
    if (!exists("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    Station s('M');
    const int port = free_port();
    s.veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(port);
    const std::vector<std::string> sim = {"--channels", "SHZ:20:0,SHN:50:0", "--realtime"};
    s.start_sim(sim);
    s.start_veldrum({"FLUSH=5"});
    httplib::Client c("127.0.0.1", port);
    auto health = [&] {
        const auto r = c.Get("/api/health");
        return r ? r->status : 0;
    };
    ASSERT_TRUE(wait_until([&] { return health() == 200; }, 30000)) << s.log();
    Child py = spawn({"/usr/bin/python3", VELDRUM_SOURCE_DIR "/tests/browser/scrape.py",
                      "http://127.0.0.1:" + std::to_string(port)},
                     s.dir, s.dir + "/scrape.out");
    EXPECT_EQ(py.wait(60000), 0) << py.text();
    s.stop_sim();
    EXPECT_TRUE(wait_until([&] { return health() == 503; }, 30000)) << s.log();
    s.start_sim(sim);
    EXPECT_TRUE(wait_until([&] { return health() == 200; }, 30000)) << s.log();
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

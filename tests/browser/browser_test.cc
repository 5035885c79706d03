// The status page of the real program in headless Chromium, and its key.
#include <gtest/gtest.h>
#include <httplib.h>

#include "shell/status_dialog.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;

// The page itself is driven by tests/browser/page.js.
TEST(BrowserSystem, StatusPageOfTheRunningServer) {
    const char* modules = getenv("VELDRUM_NODE_MODULES");
    const std::string node_path = modules ? modules : VELDRUM_BINARY_DIR "/node/node_modules";
    if (!exists(getenv("CHROMIUM") ? getenv("CHROMIUM") : "/usr/bin/chromium") ||
        !exists(node_path + "/playwright-core"))
        GTEST_SKIP() << "no chromium, or no playwright-core@1.65.1 in " << node_path;
    Station s('W');
    const std::string url = "http://127.0.0.1:" + std::to_string(free_port());
    s.veldrum_keys["HTTP"] = url.substr(7);
    s.veldrum_keys["SEEDLINK"] = std::to_string(free_port());  // the seismograms' feed
    s.start_veldrum({"FLUSH=600"});  // only "Сброс буферов" makes a pass
    ASSERT_TRUE(s.wait_log("#START#", 20000)) << s.log();
    ASSERT_TRUE(
        wait_until([&] { return httplib::Client(url).Get("/api/status") != nullptr; }, 10000));
    Child node = spawn({"/usr/bin/env", "NODE_PATH=" + node_path, "node",
                        VELDRUM_SOURCE_DIR "/tests/browser/page.js", url, s.name, bin("stationsim"),
                        std::to_string(s.sim_port), VELDRUM_BINARY_DIR},  // screenshots go there
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
    s.sim.stop(5000);
    EXPECT_TRUE(wait_until([&] { return health() == 503; }, 30000)) << s.log();
    s.start_sim(sim);
    EXPECT_TRUE(wait_until([&] { return health() == 200; }, 30000)) << s.log();
}

}  // namespace

// The status page of the real program in headless Chromium, with its
// health and metrics.
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

}  // namespace

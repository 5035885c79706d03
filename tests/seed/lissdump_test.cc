// lissdump against the real server thread: it accepts our records and
// reports a damaged one.
#ifdef LISSDUMP_PATH
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <thread>

#include "liss_client.h"
#include "mseed_check.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"
#include "shell/app_state.h"

namespace {

using namespace std::chrono_literals;

struct ToolRun {
    int status = -1;
    std::string output;
};

ToolRun lissdump(int port, const std::string& args) {
    const std::string cmd =
        std::string(LISSDUMP_PATH) + " 127.0.0.1 " + std::to_string(port) + " " + args;
    ToolRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

using liss_client::free_port;

TEST(Lissdump, ChecksRecordsFromTheServer) {
    RecordPipe pipe(60000);
    config.liss_port = free_port();
    run_flag = 1;
    std::thread server([&] { lissServerThread(&pipe, {20ms, 20ms, 1ms, 5000ms}); });

    std::vector<int32_t> v;
    for (int i = 0; i < 3000; ++i) v.push_back(30000 + (i * 7919) % 301);
    const auto records = encode(v, make_template("ABC", "SHZ", 100, 1, 1.1e9));
    for (const auto& r : records) pipe.put(r.data(), 512);
    ToolRun good =
        lissdump(config.liss_port, "--summary --count " + std::to_string(records.size()));
    EXPECT_EQ(good.status, 0) << good.output;
    EXPECT_NE(good.output.find("ABC.SHZ records=" + std::to_string(records.size()) +
                               " samples=3000 gaps=0 problems=0"),
              std::string::npos)
        << good.output;

    // The first lissdump's connection is noticed only when a send fails, so
    // the damaged pair goes to a fresh server.
    run_flag = 0;
    server.join();
    run_flag = 1;
    config.liss_port = free_port();
    server = std::thread([&] { lissServerThread(&pipe, {20ms, 20ms, 1ms, 5000ms}); });
    auto bad = records.at(1);
    bad[kSeedXnOffset + 3] ^= 0x10;
    pipe.put(records.at(0).data(), 512);
    pipe.put(bad.data(), 512);
    ToolRun damaged = lissdump(config.liss_port, "--count 2");
    EXPECT_EQ(damaged.status, 1) << damaged.output;
    EXPECT_NE(damaged.output.find("PROBLEM"), std::string::npos) << damaged.output;

    run_flag = 0;
    server.join();
    run_flag = 1;
}

}  // namespace
#endif

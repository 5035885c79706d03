// lissdump reading record streams from a loopback peer: records the server's
// pipe dropped by design are reported as drops with exit 0, damaged ones
// make exit 1.
#ifdef LISSDUMP_PATH
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <thread>

#include "liss_client.h"
#include "mseed_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

// lissdump --summary reading the records from a loopback peer that then
// closes: its exit status and output.
std::pair<int, std::string> lissdump(const std::vector<Bytes>& records) {
    const int listener = liss_client::listen_loopback();
    std::thread peer([&] {
        if (!liss_client::readable_within(listener, 10000)) return;
        const int c = accept(listener, nullptr, nullptr);
        for (const Bytes& r : records) send(c, r.data(), r.size(), MSG_NOSIGNAL);
        close(c);
    });
    const std::string cmd = std::string(LISSDUMP_PATH) + " 127.0.0.1 " +
                            std::to_string(liss_client::local_port(listener)) + " --summary";
    std::pair<int, std::string> run{-1, ""};
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) run.second.append(buf, n);
        const int st = pclose(p);
        run.first = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    peer.join();
    close(listener);
    return run;
}

TEST(Lissdump, TellsDesignedDropsFromDamage) {
    std::vector<int32_t> v;
    for (int i = 0; i < 3000; ++i) v.push_back(30000 + (i * 7919) % 301);
    const auto A = encode(v, make_template("ABC", "SHZ", 100, 1, 1.1e9));
    // A later flush with other samples: its records count from 000011 again.
    const auto B = encode({v.rbegin(), v.rend()}, make_template("ABC", "SHZ", 100, 1, 1.1e9 + 60));
    ASSERT_GE(A.size(), 5u);

    Bytes stamped = A[1], xn = A[1], count = A[1], cut = A[1];
    stamped[26] += 1;  // Record_start_time's second: a second late, samples chained
    xn[kSeedXnOffset + 3] ^= 0x10;
    count[31] += 1;  // Number_of_samples, low byte
    cut.resize(300);
    const struct {
        const char* what;
        std::vector<Bytes> records;
        int status;
        std::string expect;
    } cases[] = {
        {"a whole flush", A, 0,
         "ABC.SHZ records=" + std::to_string(A.size()) + " samples=3000 gaps=0 drops=0 problems=0"},
        {"joined inside a flush", {A[2], A[3]}, 0, "drops=1 problems=0"},
        {"a jump in the numbers", {A[0], A[1], A[3], A[4]}, 0, "drops=1 problems=0"},
        // A whole flush's worth lost: the numbers line up, the chain breaks.
        {"numbers lined up", {A[0], A[1], A[2], B[3]}, 0, "drops=1 problems=0"},
        {"a new flush after a gap", {A[0], A[1], B[0]}, 0, "gaps=1 drops=0 problems=0"},
        {"time not following on", {A[0], stamped}, 1, "discontinuous"},
        {"bad Steim-2 frames", {A[0], xn}, 1, " Xn"},
        {"sample count", {A[0], count}, 1, "record 2: PROBLEM: undecodable"},
        {"record cut short", {A[0], cut}, 1, "the stream ended inside it"},
    };
    for (const auto& c : cases) {
        const auto [status, output] = lissdump(c.records);
        EXPECT_EQ(status, c.status) << c.what << "\n" << output;
        EXPECT_NE(output.find(c.expect), std::string::npos) << c.what << "\n" << output;
    }
}

}  // namespace
#endif

// The record pipe, the LISS server that sends what it holds, and
// lissdump reading record streams, all on loopback.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <thread>

#include "common/app_state.h"
#include "liss_client.h"
#include "log_capture.h"
#include "mseed_check.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

std::string cp(const char* utf8) { return utf8_to_cp1251(utf8); }

TEST(RecordPipe, KeepsTheNewestThatFitInOrder) {
    LogCapture log;
    RecordPipe pipe(60000);
    // Each record takes 516 bytes: 93 fit, then each drops the oldest; the
    // pipe's own buffer wraps many times.
    uint8_t r[512] = {};
    for (int i = 0; i < 400; ++i) r[0] = static_cast<uint8_t>(i), pipe.put(r, 512);
    EXPECT_EQ(pipe.queuedBytes(), 93 * 516);
    for (int i = 400 - 93; i < 400; ++i) ASSERT_TRUE(pipe.take(r, 512) == 512 && r[0] == i % 256);
    // Exactly at the limit of 48000 bytes, with one record queued or alone:
    // kept; one more byte: refused.
    const Bytes large(47996, 7);
    pipe.put(r, 512);
    pipe.put(large.data(), 47480);
    EXPECT_EQ(pipe.queuedBytes(), 48000);
    EXPECT_EQ(pipe.take(r, 10) + pipe.take(nullptr, 47480), 10);  // cut to the buffer, or thrown away
    for (int more : {0, 1}) pipe.put(large.data(), 47996 + more);
    EXPECT_EQ(pipe.queuedBytes(), 48000);
    EXPECT_TRUE(log.has("Размер блока данных больше размера буфера. Блок не передан."));
    pipe.put(nullptr, 512), pipe.put(r, -5);
    EXPECT_EQ(pipe.take(nullptr, 512) + pipe.queuedBytes(), 0);  // taken and thrown away
}

// The test's own threads sleep in poll meanwhile, so the process's time is the server's.
std::chrono::nanoseconds thread_cpu() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// A client is let go when no record comes for the no-data limit, and when it
// stops reading and cannot take a record within that limit, without the
// server spending CPU on it; the next client is then served.
TEST(LissServer, QuietAndStalledClientsAreDropped) {
    LogCapture log;
    RecordPipe pipe(60000);
    LissServer server;
    run_flag = 1;
    const int port = liss_client::free_port();
    ASSERT_EQ(server.start(&pipe, port, {20ms, 1ms, 1500ms}), 1);
    int fds[3];  // quiet, stalled, next
    fds[0] = liss_client::connect_to(port);
    // Nothing queued: after the (shortened) limit the server closes.
    uint8_t b[512] = {};
    ASSERT_TRUE(liss_client::readable_within(fds[0], 20000));
    EXPECT_EQ(recv(fds[0], b, 1, 0), 0);
    // More records than the stalled client's buffers hold.
    for (int i = 0; i < 93; ++i) pipe.put(b, 512);
    fds[1] = liss_client::connect_to(port, 2048);
    ASSERT_TRUE(liss_client::readable_within(fds[1], 10000));
    std::this_thread::sleep_for(300ms);  // until its buffers are full
    const auto before = thread_cpu();
    fds[2] = liss_client::connect_to(port);
    // Served only once the stalled client has been dropped.
    ASSERT_TRUE(liss_client::read_exact(fds[2], b, 1, 30000));
    // A send loop that spins would use the whole 1.5 s limit.
    EXPECT_LT(thread_cpu() - before, 300ms) << "CPU while blocked on a full socket";
    auto connected = [](int fd) {
        return "127.0.0.1:" + std::to_string(liss_client::local_port(fd)) + " connected";
    };
    server.stop();  // with the third client connected: it is closed with the log line
    const std::string text = log.text(), gone = cp("#Разрыв в передаче данных в формате SEED#");
    size_t at = 0;
    for (const std::string& line :
         {connected(fds[0]), cp("#Нет данных от станции.#"), gone, connected(fds[1]),
          cp("#Ошибка при передаче данных в формате SEED#"), gone, connected(fds[2]), gone}) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << text;
    }
    for (int fd : fds) close(fd);
}

#ifdef LISSDUMP_PATH
// lissdump --summary reading the records from a loopback peer that then
// closes: its exit status and output.
std::pair<int, std::string> lissdump(const std::vector<Bytes>& records) {
    const int listener = liss_client::connect_to(0);
    std::thread peer([&] {
        if (!liss_client::readable_within(listener, 10000)) return;
        const int fd = accept(listener, nullptr, nullptr);
        for (const Bytes& r : records) send(fd, r.data(), r.size(), MSG_NOSIGNAL);
        close(fd);
    });
    const std::string cmd = std::string(LISSDUMP_PATH) + " 127.0.0.1 " +
                            std::to_string(liss_client::local_port(listener)) + " --summary";
    std::pair<int, std::string> run{-1, ""};
    char buf[4096];
    FILE* p = popen(cmd.c_str(), "r");
    for (size_t n = 1; p != nullptr && n > 0; run.second.append(buf, n)) n = fread(buf, 1, sizeof buf, p);
    if (const int status = p != nullptr ? pclose(p) : -1; WIFEXITED(status)) run.first = WEXITSTATUS(status);
    peer.join();
    close(listener);
    return run;
}

// Records the server's pipe dropped by design are reported as drops with
// exit 0, damaged ones make exit 1.
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
        std::vector<Bytes> records;
        int status;
        std::string expect;
    } cases[] = {
        {A, 0,
         "ABC.SHZ records=" + std::to_string(A.size()) + " samples=3000 gaps=0 drops=0 problems=0"},
        {{A[2], A[3]}, 0, "drops=1 problems=0"},              // joined inside a flush
        {{A[0], A[1], A[3], A[4]}, 0, "drops=1 problems=0"},  // a jump in the numbers
        // A whole flush's worth lost: the numbers line up, the chain breaks.
        {{A[0], A[1], A[2], B[3]}, 0, "drops=1 problems=0"},
        {{A[0], A[1], B[0]}, 0, "gaps=1 drops=0 problems=0"},  // a new flush after a gap
        {{A[0], stamped}, 1, "discontinuous"},
        {{A[0], xn}, 1, " Xn"},
        {{A[0], count}, 1, "record 2: PROBLEM: undecodable"},
        {{A[0], cut}, 1, "the stream ended inside it"},
    };
    for (const auto& c : cases) {
        const auto [status, output] = lissdump(c.records);
        EXPECT_EQ(status, c.status) << c.expect << "\n" << output;
        EXPECT_NE(output.find(c.expect), std::string::npos) << output;
    }
}
#endif

}  // namespace

// The LISS server thread on loopback: backlog, order, one client at a time,
// and a client that stops reading, which must be dropped without the server
// spending CPU on it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "liss_client.h"
#include "log_capture.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"
#include "shell/app_state.h"

namespace {

using namespace std::chrono_literals;

using liss_client::connect_to;
using liss_client::free_port;
using liss_client::read_exact;
using liss_client::readable_within;

std::vector<uint8_t> record(int seq) {
    std::vector<uint8_t> r(512, static_cast<uint8_t>(seq));
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06d", seq % 1000000);
    std::memcpy(r.data(), digits, 6);
    return r;
}

int seq_of(const uint8_t* r) { return std::stoi(std::string(reinterpret_cast<const char*>(r), 6)); }

// CPU time (clock ticks) that one thread of this process has used.
long thread_ticks(long tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = s.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < s.size()) {
        const size_t next = s.find(' ', pos);
        fields.push_back(s.substr(pos, next - pos));
        if (next == std::string::npos) break;
        pos = next + 1;
    }
    // After the name: state is field 3, utime 14, stime 15 (1-based).
    return std::stol(fields.at(11)) + std::stol(fields.at(12));
}

struct Server {
    RecordPipe pipe{60000};
    std::thread thread;
    std::atomic<long> tid{0};
    int port = 0;
    int result = -2;
    explicit Server(LissTimings tm = {20ms, 20ms, 1ms, 1500ms}) {
        port = free_port();
        config.liss_port = port;
        run_flag = 1;
        thread = std::thread([this, tm] {
            tid = static_cast<long>(syscall(SYS_gettid));
            result = lissServerThread(&pipe, tm);
        });
    }
    ~Server() {
        run_flag = 0;
        thread.join();
        run_flag = 1;
    }
};

TEST(LissServer, PortZeroAndPortInUse) {
    RecordPipe pipe(60000);
    run_flag = 1;
    config.liss_port = 0;
    EXPECT_EQ(lissServerThread(&pipe, {}), -1);

    const int port = free_port();
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    config.liss_port = port;
    EXPECT_EQ(lissServerThread(&pipe, {}), 0);  // at once, no message
    close(holder);
}

TEST(LissServer, BacklogFirstThenNewRecordsAndOneClientAtATime) {
    Server server;
    for (int i = 1; i <= 100; ++i) server.pipe.put(record(i).data(), 512);  // 1..7 dropped

    int first = connect_to(server.port);
    ASSERT_GE(first, 0);
    std::vector<uint8_t> buf(512);
    for (int expect = 8; expect <= 100; ++expect) {
        ASSERT_TRUE(read_exact(first, buf.data(), 512)) << expect;
        ASSERT_EQ(seq_of(buf.data()), expect);
        ASSERT_EQ(buf[511], static_cast<uint8_t>(expect));
    }
    server.pipe.put(record(101).data(), 512);
    ASSERT_TRUE(read_exact(first, buf.data(), 512));
    EXPECT_EQ(seq_of(buf.data()), 101);

    // A second client is connected by the kernel but not served meanwhile.
    int second = connect_to(server.port);
    ASSERT_GE(second, 0);
    server.pipe.put(record(102).data(), 512);
    ASSERT_TRUE(read_exact(first, buf.data(), 512));
    EXPECT_EQ(seq_of(buf.data()), 102);
    EXPECT_FALSE(readable_within(second, 100));

    // The first client goes away; the server notices on a failed send or at
    // the no-data limit, then serves the second one with whole records.
    close(first);
    int seq = 103;
    uint8_t got[512];
    bool served = false;
    for (int round = 0; round < 400 && !served; ++round) {
        server.pipe.put(record(seq++).data(), 512);
        served = readable_within(second, 25);
    }
    ASSERT_TRUE(served);
    ASSERT_TRUE(read_exact(second, got, 512));
    int last = seq_of(got);
    EXPECT_GT(last, 102);
    for (int i = 0; i < 3; ++i) {
        server.pipe.put(record(seq++).data(), 512);
        ASSERT_TRUE(read_exact(second, got, 512));
        EXPECT_EQ(seq_of(got), last + 1);
        last = seq_of(got);
    }
    close(second);
}

TEST(LissServer, QuietClientIsDroppedAtTheNoDataLimit) {
    LogCapture log;
    Server server;
    int client = connect_to(server.port);
    ASSERT_GE(client, 0);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(client, reinterpret_cast<sockaddr*>(&me), &len);
    // Nothing queued: after the (shortened) limit the server closes.
    uint8_t b;
    pollfd pf{client, POLLIN, 0};
    ASSERT_GT(poll(&pf, 1, 20000), 0);
    EXPECT_EQ(recv(client, &b, 1, 0), 0);
    close(client);
    EXPECT_TRUE(log.has(("127.0.0.1:" + std::to_string(ntohs(me.sin_port)) + " connected").c_str()))
        << log.text();
    EXPECT_TRUE(log.has("Нет данных от станции."));
    for (int i = 0; i < 200 && !log.has("Разрыв в передаче данных в формате SEED"); ++i)
        std::this_thread::sleep_for(10ms);  // the line follows the close
    EXPECT_TRUE(log.has("Разрыв в передаче данных в формате SEED"));
}

TEST(LissServer, ClientThatStopsReadingIsDroppedWithoutSpinning) {
    Server server;
    struct Feeder {
        std::atomic<bool> feeding{true};
        std::thread thread;
        ~Feeder() {
            feeding = false;
            if (thread.joinable()) thread.join();
        }
    } feeder;
    feeder.thread = std::thread([&] {
        int seq = 1;
        while (feeder.feeding) {
            server.pipe.put(record(seq++).data(), 512);
            std::this_thread::sleep_for(1ms);
        }
    });
    int stalled = connect_to(server.port, 2048);
    ASSERT_GE(stalled, 0);
    // Wait until the server has filled the stalled client's buffers.
    ASSERT_TRUE(readable_within(stalled, 10000));
    std::this_thread::sleep_for(300ms);
    while (server.tid == 0) std::this_thread::yield();
    const long before = thread_ticks(server.tid);

    int next = connect_to(server.port);
    ASSERT_GE(next, 0);
    // Served only once the stalled client has been dropped.
    ASSERT_TRUE(readable_within(next, 30000));
    const long spent = thread_ticks(server.tid) - before;
    // A send loop that spins would use the whole 1.5 s limit (about 150 ticks).
    EXPECT_LT(spent, 30) << "server thread CPU ticks while blocked on a full socket";

    close(stalled);
    close(next);
}

}  // namespace

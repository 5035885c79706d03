// The LISS server thread on loopback: backlog, order, one client at a time,
// and a client that stops reading, which must be dropped without the server
// spending CPU on it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "liss_client.h"
#include "log_capture.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"
#include "common/app_state.h"

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

// Log lines in this order, each after the one before.
bool logged_in_order(const LogCapture& log, std::initializer_list<std::string> lines) {
    const std::string text = log.text();
    size_t at = 0;
    for (const auto& line : lines) {
        at = text.find(utf8_to_cp1251(line.c_str()), at);
        if (at == std::string::npos) return false;
    }
    return true;
}

std::string connected(int fd) {
    return "127.0.0.1:" + std::to_string(liss_client::local_port(fd)) + " connected";
}

struct Server {
    RecordPipe pipe{60000};
    std::thread thread;
    int port = 0;
    int result = -2;
    explicit Server(LissTimings tm = {20ms, 20ms, 1ms, 1500ms}) {
        port = free_port();
        config.liss_port = port;
        run_flag = 1;
        thread = std::thread([this, tm] { result = lissServerThread(&pipe, tm); });
    }
    std::chrono::nanoseconds cpu() {
        clockid_t id;
        timespec t{};
        pthread_getcpuclockid(thread.native_handle(), &id);
        clock_gettime(id, &t);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
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

// A client is let go when no record comes for the no-data limit, and when it
// stops reading and cannot take a record within that limit, without the
// server spending CPU on it; the next client is then served.
TEST(LissServer, QuietAndStalledClientsAreDropped) {
    LogCapture log;
    Server server;
    int quiet = connect_to(server.port);
    ASSERT_GE(quiet, 0);
    // Nothing queued: after the (shortened) limit the server closes.
    uint8_t b;
    ASSERT_TRUE(readable_within(quiet, 20000));
    EXPECT_EQ(recv(quiet, &b, 1, 0), 0);

    // More records than the stalled client's buffers hold.
    for (int i = 1; i <= 93; ++i) server.pipe.put(record(i).data(), 512);
    int stalled = connect_to(server.port, 2048);
    ASSERT_GE(stalled, 0);
    // Wait until the server has filled the stalled client's buffers.
    ASSERT_TRUE(readable_within(stalled, 10000));
    std::this_thread::sleep_for(300ms);
    const auto before = server.cpu();

    int next = connect_to(server.port);
    ASSERT_GE(next, 0);
    // Served only once the stalled client has been dropped.
    ASSERT_TRUE(read_exact(next, &b, 1, 30000));
    // A send loop that spins would use the whole 1.5 s limit.
    EXPECT_LT(server.cpu() - before, 300ms) << "server thread CPU while blocked on a full socket";
    EXPECT_TRUE(logged_in_order(
        log,
        {connected(quiet), "#Нет данных от станции.#", "#Разрыв в передаче данных в формате SEED#",
         connected(stalled), "#Ошибка при передаче данных в формате SEED#",
         "#Разрыв в передаче данных в формате SEED#", connected(next)}))
        << log.text();
    close(quiet);
    close(stalled);
    close(next);
}

}  // namespace

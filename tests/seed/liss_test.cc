// The record pipe over a real pipe, the LISS server thread that sends what
// it holds, and lissdump reading record streams, all on loopback.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/app_state.h"
#include "liss_client.h"
#include "log_capture.h"
#include "mseed_check.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"

namespace {

using namespace std::chrono_literals;
using liss_client::connect_to;
using liss_client::readable_within;
using Bytes = std::vector<uint8_t>;

// A record of `length` bytes filled with its id's low byte, the id first.
std::vector<uint8_t> record(int id, int length = 512) {
    std::vector<uint8_t> r(static_cast<size_t>(length), static_cast<uint8_t>(id));
    std::memcpy(r.data(), &id, sizeof id);
    return r;
}

// Takes one record; its id, or -1 when the take is short or the ends differ.
int take_id(RecordPipe& pipe, int length = 512) {
    std::vector<uint8_t> buf(static_cast<size_t>(length));
    int id = -1;
    if (pipe.take(buf.data(), length) == length) std::memcpy(&id, buf.data(), sizeof id);
    return buf.back() == static_cast<uint8_t>(id) ? id : -1;
}

TEST(RecordPipe, KeepsTheNewestThatFitInOrderAndRefusesTheRest) {
    LogCapture log;
    RecordPipe pipe(60000);
    // Each record takes 516 bytes; 93 fit, the 94th drops the oldest.
    for (int i = 0; i < 94; ++i) pipe.put(record(i).data(), 512);
    EXPECT_EQ(pipe.queuedBytes(), 93 * 516);
    pipe.put(record(1000, 48000).data(), 48000);
    EXPECT_EQ(pipe.queuedBytes(), 93 * 516);  // refused, the queue kept
    EXPECT_TRUE(log.has("Размер блока данных больше размера буфера. Блок не передан."));
    for (int expect = 1; expect <= 93; ++expect) ASSERT_EQ(take_id(pipe), expect);
    // Puts run ahead of takes by a varying margin, so the pipe's own buffer
    // wraps many times with the queue partly full.
    for (int round = 0, put = 0, taken = 0; round < 400; ++round) {
        for (int k = 0; k < round % 7 + 1; ++k, ++put) pipe.put(record(put).data(), 512);
        for (int k = 0; k < (round + 3) % 7 + 1 && taken < put; ++k, ++taken)
            ASSERT_EQ(take_id(pipe), taken);
        ASSERT_EQ(pipe.queuedBytes(), (put - taken) * 516);
    }
    // Exactly at the limit: accepted, and the record before it dropped.
    const auto one = record(1);
    pipe.put(one.data(), 512);
    pipe.put(record(3, 47996).data(), 47996);
    EXPECT_EQ(pipe.queuedBytes(), 48000);
    EXPECT_EQ(take_id(pipe, 47996), 3);
    pipe.put(nullptr, 512);
    for (int length : {0, -5}) pipe.put(one.data(), length);
    EXPECT_EQ(pipe.queuedBytes(), 0);
    pipe.put(one.data(), 512);
    EXPECT_EQ(pipe.take(nullptr, 512), 0);  // taken and thrown away
    EXPECT_EQ(pipe.queuedBytes(), 0);
}

std::chrono::nanoseconds thread_cpu(std::thread& t) {
    clockid_t id;
    timespec ts{};
    pthread_getcpuclockid(t.native_handle(), &id);
    clock_gettime(id, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

std::string connected(int fd) {
    return "127.0.0.1:" + std::to_string(liss_client::local_port(fd)) + " connected";
}

// A client is let go when no record comes for the no-data limit, and when it
// stops reading and cannot take a record within that limit, without the
// server spending CPU on it; the next client is then served.
TEST(LissServer, QuietAndStalledClientsAreDropped) {
    LogCapture log;
    RecordPipe pipe(60000);
    const int taken = liss_client::listen_loopback();
    config.liss_port = liss_client::local_port(taken);
    close(taken);
    run_flag = 1;
    std::thread server([&] { lissServerThread(&pipe, {20ms, 20ms, 1ms, 1500ms}); });
    struct Stop {
        std::thread& t;
        ~Stop() { run_flag = 0, t.join(), run_flag = 1; }
    } stop{server};
    const int quiet = connect_to(config.liss_port);
    ASSERT_GE(quiet, 0);
    // Nothing queued: after the (shortened) limit the server closes.
    uint8_t b;
    ASSERT_TRUE(readable_within(quiet, 20000));
    EXPECT_EQ(recv(quiet, &b, 1, 0), 0);

    // More records than the stalled client's buffers hold.
    for (int i = 1; i <= 93; ++i) pipe.put(record(i).data(), 512);
    const int stalled = connect_to(config.liss_port, 2048);
    ASSERT_GE(stalled, 0);
    // Wait until the server has filled the stalled client's buffers.
    ASSERT_TRUE(readable_within(stalled, 10000));
    std::this_thread::sleep_for(300ms);
    const auto before = thread_cpu(server);
    const int next = connect_to(config.liss_port);
    ASSERT_GE(next, 0);
    // Served only once the stalled client has been dropped.
    ASSERT_TRUE(liss_client::read_exact(next, &b, 1, 30000));
    // A send loop that spins would use the whole 1.5 s limit.
    EXPECT_LT(thread_cpu(server) - before, 300ms) << "CPU while blocked on a full socket";
    const std::string text = log.text();
    size_t at = 0;
    for (const std::string& line :
         {connected(quiet), std::string("#Нет данных от станции.#"),
          std::string("#Разрыв в передаче данных в формате SEED#"), connected(stalled),
          std::string("#Ошибка при передаче данных в формате SEED#"),
          std::string("#Разрыв в передаче данных в формате SEED#"), connected(next)}) {
        at = text.find(utf8_to_cp1251(line.c_str()), at);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << text;
    }
    for (int fd : {quiet, stalled, next}) close(fd);
}

#ifdef LISSDUMP_PATH
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
        // lissdump --summary reading the records from a loopback peer that then closes.
        const int listener = liss_client::listen_loopback();
        std::thread peer([&] {
            if (!liss_client::readable_within(listener, 10000)) return;
            const int fd = accept(listener, nullptr, nullptr);
            for (const Bytes& r : c.records) send(fd, r.data(), r.size(), MSG_NOSIGNAL);
            close(fd);
        });
        const std::string cmd = std::string(LISSDUMP_PATH) + " 127.0.0.1 " +
                                std::to_string(liss_client::local_port(listener)) + " --summary";
        std::string output;
        FILE* p = popen(cmd.c_str(), "r");
        char buf[4096];
        for (size_t n = 1; p != nullptr && n > 0;) {
            n = fread(buf, 1, sizeof buf, p);
            output.append(buf, n);
        }
        const int status = p != nullptr ? pclose(p) : -1;
        peer.join();
        close(listener);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status) << c.expect << "\n"
                                                                          << output;
        EXPECT_NE(output.find(c.expect), std::string::npos) << output;
    }
}
#endif

}  // namespace

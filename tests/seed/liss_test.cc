// The LISS server thread on loopback: ports it cannot serve, and clients it
// must let go, without spending CPU on one that stops reading.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/app_state.h"
#include "liss_client.h"
#include "log_capture.h"
#include "seed/liss_server.h"
#include "seed/record_pipe.h"

namespace {

using namespace std::chrono_literals;
using liss_client::connect_to;
using liss_client::readable_within;

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

TEST(LissServer, PortZeroAndPortInUse) {
    LogCapture log;
    RecordPipe pipe(60000);
    run_flag = 1;
    config.liss_port = 0;
    EXPECT_EQ(lissServerThread(&pipe, {}), -1);
    const int holder = liss_client::listen_loopback();
    config.liss_port = liss_client::local_port(holder);
    EXPECT_EQ(lissServerThread(&pipe, {}), 0);  // at once
    EXPECT_TRUE(log.has(("Сервер LISS: нет доступа к порту " + std::to_string(config.liss_port)).c_str()));
    close(holder);
}

// A client is let go when no record comes for the no-data limit, and when it
// stops reading and cannot take a record within that limit, without the
// server spending CPU on it; the next client is then served.
TEST(LissServer, QuietAndStalledClientsAreDropped) {
    LogCapture log;
    RecordPipe pipe(60000);
    config.liss_port = liss_client::free_port();
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
    const std::vector<uint8_t> record(512, 0x5A);
    for (int i = 1; i <= 93; ++i) pipe.put(record.data(), 512);
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
    EXPECT_LT(thread_cpu(server) - before, 300ms) << "server thread CPU while blocked on a full socket";
    std::string text = log.text();
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

}  // namespace

#include "seed/liss_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "common/app_state.h"
#include "common/descriptor.h"
#include "common/metrics.h"
#include "common/oplog.h"
#include "seed/record.h"
#include "seed/record_pipe.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSendBufferBytes = 8192;

std::atomic<bool> stopRequested{false};

bool running() { return run_flag.load() != 0 && !stopRequested.load(); }

void serve_client(int fd, RecordPipe* pipe, const LissTimings& tm) {
    unsigned char record[kSeedRecordLength];
    Clock::time_point lastSent = Clock::now();
    while (running()) {
        if (pipe->queuedBytes() < kSeedRecordLength) {
            if (Clock::now() - lastSent > tm.noDataLimit) {
                write_log_line("Нет данных от станции.");
                return;
            }
            std::this_thread::sleep_for(tm.idlePoll);
            continue;
        }
        pipe->take(record, kSeedRecordLength);
        // A client that cannot take the record within the no-data limit is
        // dropped like one whose send failed, and the record is lost with it,
        // as the pipe loses records while nobody reads; the pipe's writer
        // never waits for us.
        if (sendAll(fd, record, sizeof record, tm.noDataLimit, tm.idlePoll) < 0) {
            write_log_line("Ошибка при передаче данных в формате SEED");
            return;
        }
        lastSent = Clock::now();
        std::this_thread::sleep_for(tm.recordPause);
    }
}

}  // namespace

void lissRequestStop() { stopRequested.store(true); }

long sendAll(int fd, const unsigned char* buffer, size_t length, std::chrono::milliseconds limit,
             std::chrono::milliseconds pollSlice) {
    const Clock::time_point deadline = Clock::now() + limit;
    size_t done = 0;
    while (done < length) {
        const ssize_t k = send(fd, buffer + done, length - done, MSG_NOSIGNAL);
        if (k >= 0) {
            done += static_cast<size_t>(k);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        // A client that stops reading is waited for, not spun on, and only
        // for as long as the no-data limit.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !running()) return -1;
        struct pollfd p {
            fd, POLLOUT, 0
        };
        const auto slice = left < pollSlice ? left : pollSlice;
        poll(&p, 1, static_cast<int>(slice.count() > 0 ? slice.count() : 1));
    }
    return static_cast<long>(length);
}

int lissServerThread(RecordPipe* pipe, LissTimings tm) {
    const int port = config.liss_port;
    if (port <= 0 || port > 65535 || pipe == nullptr) return -1;

    Descriptor listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener.fd < 0) return 0;
    const int one = 1;
    // Lets a restarted server take the port while old connections linger.
    setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listener.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener.fd, 1) != 0) {
        // Nothing else would tell the operator why no client can connect.
        std::fprintf(stderr, "Сервер LISS: нет доступа к порту %d\n", port);
        write_log_linef("Сервер LISS: нет доступа к порту %d", port);
        return 0;
    }

    while (running()) {
        std::this_thread::sleep_for(tm.acceptPoll);
        struct sockaddr_in peer {};
        socklen_t len = sizeof peer;
        Descriptor client(accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &len,
                                  SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (client.fd < 0) continue;
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        write_log_linef("%s:%d connected", ip, ntohs(peer.sin_port));
        const int size = kSendBufferBytes;
        if (setsockopt(client.fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0)
            write_log_line("Ошибка setsockopt");
        metrics.liss_clients.store(1);
        serve_client(client.fd, pipe, tm);
        metrics.liss_clients.store(0);
        close(client.fd);
        client.fd = -1;
        write_log_line("Разрыв в передаче данных в формате SEED");
    }
    return 0;
}

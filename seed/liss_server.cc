#include "seed/liss_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/app_state.h"
#include "common/descriptor.h"
#include "common/oplog.h"
#include "common/stop_token.h"
#include "seed/record.h"
#include "seed/record_pipe.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSendBufferBytes = 8192;

bool running(const StopToken& stop) { return run_flag.load() != 0 && !stop.requested(); }

}  // namespace

long sendAll(int fd, const unsigned char* buffer, size_t length, std::chrono::milliseconds limit,
             const StopToken& stop) {
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
        if (left.count() <= 0 || !running(stop)) return -1;
        pollfd p[2] = {{fd, POLLOUT, 0}, {stop.fd(), POLLIN, 0}};
        poll(p, 2, static_cast<int>(left.count() > 0 ? left.count() : 1));
    }
    return static_cast<long>(length);
}

int LissServer::start(RecordPipe* pipe, int port, LissTimings timings,
                      std::atomic<int32_t>* clients) {
    if (port <= 0 || port > 65535 || pipe == nullptr) return -1;
    pipe_ = pipe;
    timings_ = timings;
    clients_ = clients;
    ListenerOptions options;
    options.host = "0.0.0.0";
    options.port = port;
    options.backlog = 1;
    options.on_accept = [this](Accepted client) { serve(std::move(client)); };
    if (!listener_.start(std::move(options))) {
        // Nothing else would tell the operator why no client can connect.
        std::fprintf(stderr, "Сервер LISS: нет доступа к порту %d\n", port);
        write_log_linef("Сервер LISS: нет доступа к порту %d", port);
        return 0;
    }
    return 1;
}

void LissServer::serve(Accepted client) {
    Descriptor fd(client.fd);
    const StopToken& stop = listener_.stop_token();
    write_log_linef("%s:%d connected", client.peer.address.c_str(), client.peer.port);
    const int size = kSendBufferBytes;
    if (setsockopt(fd.fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0)
        write_log_line("Ошибка setsockopt");
    if (clients_ != nullptr) clients_->store(1);
    unsigned char record[kSeedRecordLength];
    Clock::time_point lastSent = Clock::now();
    while (running(stop)) {
        if (pipe_->queuedBytes() < kSeedRecordLength) {
            if (Clock::now() - lastSent > timings_.noDataLimit) {
                write_log_line("Нет данных от станции.");
                break;
            }
            stop.wait_for(timings_.idlePoll);
            continue;
        }
        pipe_->take(record, kSeedRecordLength);
        // A client that cannot take the record within the no-data limit is
        // dropped like one whose send failed, and the record is lost with it,
        // as the pipe loses records while nobody reads; the pipe's writer
        // never waits for us.
        if (sendAll(fd.fd, record, sizeof record, timings_.noDataLimit, stop) < 0) {
            write_log_line("Ошибка при передаче данных в формате SEED");
            break;
        }
        lastSent = Clock::now();
        stop.wait_for(timings_.recordPause);
    }
    if (clients_ != nullptr) clients_->store(0);
    close(fd.fd);
    fd.fd = -1;
    write_log_line("Разрыв в передаче данных в формате SEED");
}

// A LISS client on loopback for tests of the server thread: a free port,
// connecting while the server may not listen yet, and reading whole records
// with a hang guard.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace liss_client {

// A TCP port on loopback that nobody listens on just now.
inline int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// One attempt; rcvbuf > 0 shrinks the receive buffer first. -1 on failure.
inline int connect_once(int port, int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Retries while the server has not started listening yet.
inline int connect_to(int port, int rcvbuf = 0, int timeoutMs = 5000) {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        int fd = connect_once(port, rcvbuf);
        if (fd >= 0) return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

inline int local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Reads exactly n bytes; false when the peer closes or nothing comes within
// the guard time (a hang guard only).
inline bool read_exact(int fd, uint8_t* p, size_t n, int guardMs = 10000) {
    while (n > 0) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, guardMs) <= 0) return false;
        const ssize_t k = recv(fd, p, n, 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

inline bool readable_within(int fd, int ms) {
    pollfd pf{fd, POLLIN, 0};
    return poll(&pf, 1, ms) > 0;
}

}  // namespace liss_client

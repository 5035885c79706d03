// A client on loopback for tests of the LISS server and peers of lissdump:
// connecting while the server may not listen yet, and reading whole records
// with a hang guard.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace liss_client {

inline sockaddr_in loopback(int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

inline int local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A socket listening on a free loopback port.
inline int listen_loopback() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    listen(fd, 4);
    return fd;
}

// Retries while the server is not listening yet; rcvbuf > 0 shrinks the
// receive buffer first. -1 on failure.
inline int connect_to(int port, int rcvbuf = 0, int timeoutMs = 5000) {
    for (int waited = 0; waited <= timeoutMs; waited += 10, usleep(10000)) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        const sockaddr_in a = loopback(port);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
        close(fd);
    }
    return -1;
}

inline bool readable_within(int fd, int ms) {
    pollfd pf{fd, POLLIN, 0};
    return poll(&pf, 1, ms) > 0;
}

// Exactly n bytes; false when the peer closes or nothing comes within the
// guard time (a hang guard only).
inline bool read_exact(int fd, uint8_t* p, size_t n, int guardMs = 10000) {
    while (n > 0) {
        const ssize_t k = readable_within(fd, guardMs) ? recv(fd, p, n, 0) : 0;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

}  // namespace liss_client

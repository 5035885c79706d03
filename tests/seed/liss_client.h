// A client on loopback for tests of the LISS server and peers of lissdump:
// a free port, connecting while the server may not listen yet, and reading
// whole records with a hang guard.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace liss_client {

inline int local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Retries while nobody listens there yet; rcvbuf > 0 shrinks the receive
// buffer first. With port 0 the socket listens on a free port instead. -1 on
// failure.
inline int connect_to(int port, int rcvbuf = 0, int timeoutMs = 5000) {
    for (int waited = 0; waited <= timeoutMs; waited += 10, usleep(10000)) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        auto* at = reinterpret_cast<sockaddr*>(&a);
        if (port == 0 ? bind(fd, at, sizeof a) == 0 && listen(fd, 4) == 0
                      : connect(fd, at, sizeof a) == 0)
            return fd;
        close(fd);
    }
    return -1;
}

// A client from a chosen loopback address (any of 127.0.0.0/8); flags go to
// socket() (a non-blocking connect is left under way). -1 on failure.
inline int connect_from(const char* source, int port, int flags = 0, int rcvbuf = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in from{AF_INET, 0, {}, {}};
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    inet_pton(AF_INET, source, &from.sin_addr);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 ||
                     errno == EINPROGRESS);
    return ok ? fd : (close(fd), -1);
}

// A loopback port that nobody listens on just now.
inline int free_port() {
    const int fd = connect_to(0), port = local_port(fd);
    close(fd);
    return port;
}

inline bool readable_within(int fd, int ms) {
    pollfd pf{fd, POLLIN, 0};
    return poll(&pf, 1, ms) > 0;
}

// Exactly n bytes; false when the peer closes or nothing comes within the
// guard time (a hang guard only).
inline bool read_exact(int fd, uint8_t* p, size_t n, int guardMs = 10000) {
    for (ssize_t k = 1; n > 0; p += k, n -= static_cast<size_t>(k))
        if ((k = readable_within(fd, guardMs) ? recv(fd, p, n, 0) : 0) <= 0) return false;
    return true;
}

}  // namespace liss_client

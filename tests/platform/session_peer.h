// Helpers for tests that play the far end of a NetBIOS session on loopback.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <vector>

#include "platform/netbios_wire.h"

namespace session_peer {

// Reads exactly n bytes; false on end of stream or 10 s without data.
inline bool read_exact(int fd, uint8_t* out, size_t n) {
    pollfd pfd{fd, POLLIN, 0};
    for (ssize_t k = 0; n > 0; out += k, n -= size_t(k))
        if (poll(&pfd, 1, 10000) <= 0 || (k = recv(fd, out, n, 0)) <= 0) return false;
    return true;
}

// A session-service packet: 4-byte header and body.
inline std::vector<uint8_t> packet(uint8_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out(4);
    netbios_wire::write_header(out.data(), type, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline bool send_all(int fd, const std::vector<uint8_t>& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

}  // namespace session_peer

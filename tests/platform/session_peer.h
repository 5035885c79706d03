// Helpers for tests that play the far end of a NetBIOS session on loopback.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/netbios_wire.h"

namespace session_peer {

// Reads exactly n bytes; false on end of stream or 10 s without data.
inline bool read_exact(int fd, uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0) return false;
        ssize_t k = recv(fd, out + got, n - got, 0);
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
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
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

}  // namespace session_peer

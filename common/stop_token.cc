#include "common/stop_token.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>

StopToken::StopToken() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopToken::~StopToken() {
    if (fd_ >= 0) close(fd_);
}

void StopToken::request() {
    requested_.store(true, std::memory_order_release);
    const uint64_t one = 1;
    if (fd_ >= 0) {
        ssize_t ignored = write(fd_, &one, sizeof one);
        (void)ignored;
    }
}

bool StopToken::wait_for(std::chrono::milliseconds timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!requested()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        // Without an eventfd (descriptors exhausted) the flag is still read every 50 ms.
        const int ms = fd_ >= 0 ? static_cast<int>(left.count()) : std::min<int>(50, left.count());
        if (poll(fd_ >= 0 ? &p : nullptr, fd_ >= 0 ? 1 : 0, ms) < 0 && errno != EINTR) return requested();
    }
    return true;
}

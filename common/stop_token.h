// The one way a service is told to stop: a flag for loops that look, and an
// eventfd for loops that wait (poll or epoll on fd(), or wait_for). Once
// requested it stays requested: the eventfd is never read, so it stays
// readable for every waiter.
#pragma once

#include <atomic>
#include <chrono>

class StopToken {
public:
    StopToken();
    ~StopToken();
    StopToken(const StopToken&) = delete;
    StopToken& operator=(const StopToken&) = delete;

    void request();
    bool requested() const { return requested_.load(std::memory_order_acquire); }
    // Sleeps until the stop is requested or `timeout` has passed; true when stopped.
    bool wait_for(std::chrono::milliseconds timeout) const;
    // Readable once the stop is requested.
    int fd() const { return fd_; }

private:
    std::atomic<bool> requested_{false};
    int fd_;
};

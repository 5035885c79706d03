// Station state indicator. The change is shown by a short-lived thread so the
// NetBIOS completion thread never waits for the user interface.
#include "link/station_indicator.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "common/oplog.h"

std::atomic<int32_t> station_connected{0};

namespace {

std::atomic<int32_t> shown_state{0};

// A thread handle with a bounded join: the thread marks itself done.
struct IndicatorThread {
    std::thread thread;
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
};

std::mutex indicator_lock;  // guards indicator_thread between callers
// Never destroyed: a completion that outlives the stop's wait may still
// start a thread while the process exits.
std::shared_ptr<IndicatorThread>& indicator_thread = *new std::shared_ptr<IndicatorThread>;

// Shows the state the thread was started for: a loss followed at once by a
// new connection is shown as both, in order.
void show_station_state(std::shared_ptr<IndicatorThread> self, int32_t state,
                        void (*show)(bool connected)) {
    if (state == 1) {
        show(true);
        write_log_line("Станция подключена");
    } else {
        show(false);
        write_log_line("Станция отключена");
    }
    std::lock_guard<std::mutex> g(self->lock);
    self->done = true;
    self->changed.notify_all();
}

// Waits for the thread to end, at most `limit`; a thread that does not end
// in time is left to finish on its own.
void finish(std::shared_ptr<IndicatorThread>& t, std::chrono::milliseconds limit, bool unbounded) {
    if (!t) return;
    bool ended;
    {
        std::unique_lock<std::mutex> g(t->lock);
        if (unbounded)
            t->changed.wait(g, [&] { return t->done; });
        else
            t->changed.wait_for(g, limit, [&] { return t->done; });
        ended = t->done;
    }
    if (ended && t->thread.joinable())
        t->thread.join();
    else if (t->thread.joinable())
        t->thread.detach();
    t.reset();
}

}  // namespace

void update_station_indicator(const StatusReport& status) {
    std::lock_guard<std::mutex> g(indicator_lock);
    const int32_t state = station_connected.load();
    if (shown_state.load() == state) return;
    finish(indicator_thread, std::chrono::milliseconds(60000), false);
    auto t = std::make_shared<IndicatorThread>();
    try {
        t->thread = std::thread(show_station_state, t, state, status.station_state);
    } catch (...) {
        return;  // no thread: the next change tries again
    }
    shown_state.store(state);
    indicator_thread = t;
}

void wait_station_indicator_thread() {
    std::lock_guard<std::mutex> g(indicator_lock);
    finish(indicator_thread, std::chrono::milliseconds(0), true);
}

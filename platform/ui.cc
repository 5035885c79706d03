// Message queue of the user-interface thread.
//
// Signals are read from a signalfd on a thread of their own, so the handler
// side never runs in signal context and may use the queue's lock freely.
#include "platform/ui.h"
#include "platform/ui_testing.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "common/commands.h"
#include "common/stop_token.h"

namespace {

struct Message {
    enum Kind { kCommand, kCall, kQuit } kind;
    int value = 0;
    std::function<void()> call;
    // Set by a send: the sender waits until `done`.
    std::shared_ptr<bool> done;
};

// Never destroyed: the signal thread may still post while the process exits.
struct UiState {
    std::mutex queue_mutex;
    std::condition_variable queue_changed;
    std::deque<Message> queue;
    UiCommandHandler command_handler = nullptr;
    UiTickHandler tick_handler = nullptr;
    std::atomic<UiHangupHandler> hangup_handler{nullptr};
    std::thread::id ui_thread_id;
    bool loop_running = false;
    bool loop_ended = false;  // a send after the loop would wait for ever
    // The thread that turns SIGINT and SIGTERM into the stop menu command,
    // and SIGHUP into a call of the hangup handler on the UI thread.
    std::thread signal_thread;
    StopToken signal_stop;
};
UiState& ui = *new UiState;

void push(Message message) {
    {
        std::lock_guard<std::mutex> lock(ui.queue_mutex);
        ui.queue.push_back(std::move(message));
    }
    ui.queue_changed.notify_all();
}

void dispatch(const Message& message) {
    if (message.kind == Message::kCommand) {
        UiCommandHandler handler;
        {
            std::lock_guard<std::mutex> lock(ui.queue_mutex);
            handler = ui.command_handler;
        }
        if (handler) handler(message.value);
    } else if (message.kind == Message::kCall && message.call) {
        message.call();
    }
}

void send(Message message) {
    if (ui_on_ui_thread()) {
        dispatch(message);
        return;
    }
    auto done = std::make_shared<bool>(false);
    message.done = done;
    std::unique_lock<std::mutex> lock(ui.queue_mutex);
    if (ui.loop_ended) return;
    ui.queue.push_back(std::move(message));
    ui.queue_changed.notify_all();
    ui.queue_changed.wait(lock, [&] { return *done; });
}

}  // namespace

void ui_set_command_handler(UiCommandHandler handler) {
    std::lock_guard<std::mutex> lock(ui.queue_mutex);
    ui.command_handler = handler;
}

void ui_set_tick_handler(UiTickHandler handler) {
    std::lock_guard<std::mutex> lock(ui.queue_mutex);
    ui.tick_handler = handler;
}

void ui_post_command(int id) { push(Message{Message::kCommand, id, nullptr, nullptr}); }
void ui_send_command(int id) { send(Message{Message::kCommand, id, nullptr, nullptr}); }
void ui_post_call(std::function<void()> call) {
    push(Message{Message::kCall, 0, std::move(call), nullptr});
}
void ui_send_call(std::function<void()> call) {
    send(Message{Message::kCall, 0, std::move(call), nullptr});
}
void ui_post_quit(int exit_code) { push(Message{Message::kQuit, exit_code, nullptr, nullptr}); }

bool ui_on_ui_thread() {
    std::lock_guard<std::mutex> lock(ui.queue_mutex);
    return ui.loop_running && std::this_thread::get_id() == ui.ui_thread_id;
}

int ui_run_message_loop() {
    using clock = std::chrono::steady_clock;
    {
        std::lock_guard<std::mutex> lock(ui.queue_mutex);
        ui.ui_thread_id = std::this_thread::get_id();
        ui.loop_running = true;
    }
    auto next_tick = clock::now() + std::chrono::milliseconds(kUiTimerMs);
    int exit_code = 0;
    for (;;) {
        Message message{Message::kCall, 0, nullptr, nullptr};
        bool tick = false;
        UiTickHandler ticker = nullptr;
        {
            std::unique_lock<std::mutex> lock(ui.queue_mutex);
            ui.queue_changed.wait_until(lock, next_tick, [] { return !ui.queue.empty(); });
            if (!ui.queue.empty()) {
                message = std::move(ui.queue.front());
                ui.queue.pop_front();
            } else if (clock::now() >= next_tick) {
                tick = true;
                ticker = ui.tick_handler;
                next_tick = clock::now() + std::chrono::milliseconds(kUiTimerMs);
            } else {
                continue;
            }
        }
        if (tick) {
            if (ticker) ticker();
            continue;
        }
        if (message.kind == Message::kQuit) {
            exit_code = message.value;
            break;
        }
        dispatch(message);
        if (message.done) {
            {
                std::lock_guard<std::mutex> lock(ui.queue_mutex);
                *message.done = true;
            }
            ui.queue_changed.notify_all();
        }
    }
    // Senders still waiting would block for ever: release them unserved.
    std::lock_guard<std::mutex> lock(ui.queue_mutex);
    ui.loop_running = false;
    ui.loop_ended = true;
    for (Message& rest : ui.queue)
        if (rest.done) *rest.done = true;
    ui.queue.clear();
    ui.queue_changed.notify_all();
    return exit_code;
}

void ui_install_stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd >= 0) {
        try {
            ui.signal_thread = std::thread([fd] {
                // Without an eventfd the stop is looked for every 100 ms.
                const int timeout = ui.signal_stop.fd() < 0 ? 100 : -1;
                pollfd p[2] = {{fd, POLLIN, 0}, {ui.signal_stop.fd(), POLLIN, 0}};
                while (!ui.signal_stop.requested()) {
                    if (poll(p, 2, timeout) < 0 && errno != EINTR) break;
                    signalfd_siginfo info;
                    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                        if (info.ssi_signo != SIGHUP) {
                            ui_post_command(kStopMenuCommandId);
                        } else if (UiHangupHandler h = ui.hangup_handler.load()) {
                            ui_post_call(h);
                        }
                    }
                }
                close(fd);
            });
            return;
        } catch (...) {
            close(fd);
        }
    }
    // Blocked with nobody to read them, the signals would be lost: they keep
    // their default action, which ends the process without the stop.
    std::fprintf(stderr, "SIGINT и SIGTERM завершают программу без остановки\n");
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    // A hangup must never end the server.
    signal(SIGHUP, SIG_IGN);
}

void ui_set_hangup_handler(UiHangupHandler handler) { ui.hangup_handler.store(handler); }

void ui_remove_stop_signals() {
    if (!ui.signal_thread.joinable()) return;
    ui.signal_stop.request();
    ui.signal_thread.join();
}

void ui_reset_for_test() {
    std::lock_guard<std::mutex> lock(ui.queue_mutex);
    for (Message& rest : ui.queue)
        if (rest.done) *rest.done = true;
    ui.queue.clear();
    ui.command_handler = nullptr;
    ui.tick_handler = nullptr;
    ui.loop_running = false;
    ui.loop_ended = false;
    ui.queue_changed.notify_all();
}

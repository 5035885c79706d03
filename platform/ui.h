// The user-interface thread: one message queue served by the thread that
// runs ui_run_message_loop. Other threads post to it (returns at once) or
// send (waits until the handler has run). A 3000 ms timer calls the tick
// handler on the same thread. SIGINT and SIGTERM arrive as command 40002,
// SIGHUP as a call of the hangup handler.
#pragma once

#include <functional>

inline constexpr int kUiTimerMs = 3000;

using UiCommandHandler = void (*)(int id);
using UiTickHandler = void (*)();
using UiHangupHandler = void (*)();

// The main window's procedure for command messages.
void ui_set_command_handler(UiCommandHandler handler);
// The timer's handler; nullptr disables it.
void ui_set_tick_handler(UiTickHandler handler);

// Queues a command message; any thread.
void ui_post_command(int id);
// Runs the command on the UI thread and returns after its handler has run.
// Called on the UI thread itself it runs the handler at once.
void ui_send_command(int id);
// The same for any piece of work that must run on the UI thread.
void ui_post_call(std::function<void()> call);
void ui_send_call(std::function<void()> call);
// Queues the quit message; the loop ends when it reaches it.
void ui_post_quit(int exit_code);

// Serves the queue and the timer until the quit message; returns its code.
int ui_run_message_loop();
// True on the thread that runs (or last ran) the message loop.
bool ui_on_ui_thread();

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (and so in every thread it
// starts later) and starts a thread that turns them into command 40002.
// Call before any other thread exists. Says on stderr when it cannot, and
// leaves the signals their default action then.
void ui_install_stop_signals();
// SIGHUP (blocked and read by the same thread, so it never ends the program)
// runs handler on the UI thread; nullptr: SIGHUP is dropped.
void ui_set_hangup_handler(UiHangupHandler handler);
// Ends and joins that thread; later signals stay blocked and are dropped.
void ui_remove_stop_signals();

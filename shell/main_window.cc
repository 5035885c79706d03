// The main window's commands. There is no tray icon here; the status page
// stands in for the window, so "activate" has nothing to bring forward.
#include "shell/main_window.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "common/app_state.h"
#include "common/oplog.h"
#include "link/session.h"
#include "platform/ui.h"
#include "shell/config.h"
#include "shell/status_dialog.h"

namespace {
std::atomic<int> stop_wait_ms{3000};
}

void main_window_command(int id) {
    if (id == kStopCommandId) {
        // Completions stop submitting commands before the session is closed.
        flush_request.store(1);
        closing.store(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(stop_wait_ms.load()));
        write_log_line("STOP");
        dialog_save_column_widths(kVeldrumIni);
        ui_post_quit(0);
    } else if (id == kActivateCommandId) {
        // The status page is always reachable; nothing to bring to the front.
    } else if (id == kStopMenuCommandId) {
        run_flag.store(0);
    } else {
        dialog_command(id);
    }
}

void main_window_tick() { dialog_tick(); }

void set_stop_wait_for_test(int milliseconds) { stop_wait_ms.store(milliseconds); }

// The main window's commands. There is no tray icon here; the status page
// stands in for the window, so "activate" has nothing to bring forward.
#include "shell/main_window.h"

#include <chrono>
#include <thread>

#include "common/app_state.h"
#include "common/oplog.h"
#include "link/session.h"
#include "platform/ui.h"
#include "recorder/recorder_thread.h"
#include "shell/config.h"
#include "shell/status_dialog.h"

namespace {
constexpr auto kStopWait = std::chrono::milliseconds(3000);
}

void main_window_command(int id) {
    if (id == kStopCommandId) {
        // Completions stop submitting commands before the session is closed.
        flush_request.store(1);
        begin_closing_session();
        std::this_thread::sleep_for(kStopWait);
        write_log_line("STOP");
        dialog_save_column_widths(kVeldrumIni);
        ui_post_quit(0);
    } else if (id == kActivateCommandId) {
        // The status page is always reachable; nothing to bring to the front.
    } else if (id == kStopMenuCommandId) {
        run_flag.store(0);
        request_recorder_stop();  // rather than at its next 5-second tick
    } else {
        dialog_command(id);
    }
}

void main_window_tick() { dialog_tick(); }


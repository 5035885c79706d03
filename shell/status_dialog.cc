// Status dialog: the channel list, the event lamp, the error field, the two
// state icons and the flush button, as a model that the status page shows.
//
// Design note. The dialog's state below is touched by the user-interface
// thread (tick, commands, widths) and by the callers of the cross-thread
// entry points (decoder: rebuild; station link: error text; indicator and
// database threads: icons; recorder: the button). Every access runs under
// dialog_mutex, which makes each of those calls synchronous with the UI
// thread's handling, as a sent message would be. Lock order: dialog_mutex,
// then the queue's and the ring files' own locks
// (the refresh); nothing takes them the other way round.
// After each change a fresh immutable snapshot is swapped in under
// snapshot_mutex; readers copy the shared_ptr and never see a half-built one.
#include "shell/status_dialog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/app_state.h"
#include "common/calendar.h"
#include "common/oplog.h"
#include "common/status_report.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "platform/profile.h"
#include "recorder/ring_writer.h"
#include "shell/status_dialog_testing.h"

namespace {

// Event lamp: an event sets the countdown to 10 and the active flag to 1;
// the decoder writes them without the dialog's lock.
std::atomic<uint32_t> event_countdown{0};
std::atomic<int32_t> event_active{0};

struct DialogState {
    bool created = false;
    std::vector<DialogRow> rows;
    int widths[kColumnCount] = {kDefaultColumnWidth, kDefaultColumnWidth, kDefaultColumnWidth,
                                kDefaultColumnWidth, kDefaultColumnWidth};
    int32_t blink_phase = 1;
    int32_t refresh_guard = 0;
    std::string error_text;
    int db_icon = 0;
    int station_icon = 0;
    bool flush_enabled = true;
    bool stop_requested = false;
    uint64_t serial = 0;
    std::string station;  // code page 1251, as the command line gave it
};

// Never destroyed: a late station or database change may still be shown
// while the process exits.
std::mutex dialog_mutex;
DialogState& dialog = *new DialogState;

std::mutex snapshot_mutex;
std::shared_ptr<const StatusSnapshot>& current_snapshot =
    *new std::shared_ptr<const StatusSnapshot>(std::make_shared<StatusSnapshot>());

// Caller holds dialog_mutex.
void publish_locked() {
    auto snap = std::make_shared<StatusSnapshot>();
    snap->station = station_text_to_utf8(dialog.station.c_str(), dialog.station.size());
    snap->title = "[ " + snap->station + " ] - Сервер дисковой петли";
    snap->rows = dialog.rows;
    std::memcpy(snap->widths, dialog.widths, sizeof snap->widths);
    snap->event_active = event_active.load() != 0;
    snap->lamp_lit = snap->event_active && dialog.blink_phase != 0;
    snap->event_countdown = event_countdown.load();
    snap->error_text = dialog.error_text;
    snap->db_icon = dialog.db_icon;
    snap->station_icon = dialog.station_icon;
    snap->flush_enabled = dialog.flush_enabled;
    snap->stopping = dialog.stop_requested || (run_flag.load() == 0 && dialog.created);
    snap->serial = ++dialog.serial;
    std::lock_guard<std::mutex> lock(snapshot_mutex);
    current_snapshot = std::move(snap);
}

// The periodic refresh: sub-items 2 to 4 and the state image of every row.
// Caller holds dialog_mutex.
void refresh_channel_list_locked() {
    const std::shared_ptr<const Roster> roster = current_roster();
    const size_t count = roster->entries.size();
    size_t rows = dialog.rows.size() < count ? dialog.rows.size() : count;
    for (size_t i = 0; i < rows; ++i) {
        const int c = roster->entries[i].channel;
        SlotState slot = slot_state(c);
        RingFileState file = current_ring_file(c);
        // A wire channel announced twice: its blocks and file belong to its
        // first entry only.
        if (!roster->owns(i)) {
            slot.last_block_time = 0;
            slot.event_marked = 0;
            file = RingFileState{};
        }
        DialogRow& row = dialog.rows[i];
        char text[64];
        format_queued_blocks(slot.queued_blocks, text, sizeof text);
        row.queued = text;
        format_block_time(slot.last_block_time, text, sizeof text);
        row.time = text;
        row.file = station_text_to_utf8(file.name, sizeof file.name);
        row.state_image = slot.event_marked != 0 ? 2 : 1;
    }
}

}  // namespace

void format_rate(double sample_rate, char* out, size_t size) {
    if (size == 0) return;
    std::snprintf(out, size, "%3.3f", sample_rate);
}

void format_queued_blocks(int32_t queued, char* out, size_t size) {
    if (size == 0) return;
    std::snprintf(out, size, "%03d", int(queued));
}

void format_block_time(double t, char* out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (!(t > 0)) return;
    CalendarTime ct{};
    if (!calendar_from_seconds(t, &ct)) return;
    std::snprintf(out, size, "%02d:%02d:%02d  %02d/%02d/%04d", ct.hour, ct.minute, int(ct.second),
                  ct.day, ct.month, ct.year);
}

int apply_saved_widths(const char* text, int widths[kColumnCount]) {
    if (text == nullptr || text[0] == '\0') return 0;
    int changed = 0;
    const char* piece = text;
    for (int column = 0; column < kColumnCount; ++column) {
        const char* comma = std::strchr(piece, ',');
        // strtol stops at the comma; "no number" gives 0, which changes nothing.
        long value = std::strtol(piece, nullptr, 10);
        if (value > 0 && value <= 100000) {
            widths[column] = int(value);
            ++changed;
        }
        if (comma == nullptr) break;
        piece = comma + 1;
    }
    return changed;
}

std::string format_saved_widths(const int widths[kColumnCount]) {
    std::string text;
    for (int column = 0; column < kColumnCount; ++column) {
        if (column > 0) text += ',';
        text += std::to_string(widths[column]);
    }
    return text;
}

void dialog_create(const char* ini_file) {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    if (dialog.created) return;
    dialog.created = true;
    for (int& w : dialog.widths) w = kDefaultColumnWidth;
    if (ini_file != nullptr) {
        char saved[128];
        profile_get_string("-LISTBOX-", "Width", "", saved, sizeof saved, ini_file);
        apply_saved_widths(saved, dialog.widths);
    }
    publish_locked();
}

bool dialog_save_column_widths(const char* ini_file) {
    int widths[kColumnCount];
    dialog_column_widths(widths);
    if (profile_write_string("-LISTBOX-", "Width", format_saved_widths(widths).c_str(), ini_file))
        return true;
    // The operator's file stays as it was rather than being replaced by a
    // guess. An unread file named no log either, hence stderr too.
    write_log_linef("Ширина колонок не записана в %s", ini_file);
    std::fprintf(stderr, "Ширина колонок не записана в %s\n", ini_file);
    return false;
}

void dialog_set_column_widths(const int* widths, int count) {
    if (widths == nullptr) return;
    std::lock_guard<std::mutex> lock(dialog_mutex);
    for (int column = 0; column < count && column < kColumnCount; ++column) {
        if (widths[column] > 0 && widths[column] <= 100000) dialog.widths[column] = widths[column];
    }
    publish_locked();
}

void dialog_column_widths(int widths[kColumnCount]) {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    std::memcpy(widths, dialog.widths, sizeof dialog.widths);
}

void dialog_tick() {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    // The countdown and the active flag are also written by the decoder
    // without a lock; a trigger landing on a tick may lose one blink.
    uint32_t countdown = event_countdown.load();
    if (countdown > 0) {
        event_countdown.store(countdown - 1);
    } else {
        event_active.store(0);
    }
    if (dialog.refresh_guard) return;
    dialog.refresh_guard = 1;
    if (event_active.load()) {
        dialog.blink_phase = !dialog.blink_phase;
    } else if (dialog.blink_phase) {
        dialog.blink_phase = 0;
    }
    if (dialog.created) refresh_channel_list_locked();
    dialog.refresh_guard = 0;
    publish_locked();
}

void dialog_command(int id) {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    if (id != kFlushButtonId) return;
    dialog.flush_enabled = false;
    flush_request.store(1);
    publish_locked();
}

void dialog_mark_stopping() {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    dialog.stop_requested = true;
    publish_locked();
}

void dialog_rebuild_channel_list() {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    if (!dialog.created) return;
    const std::shared_ptr<const Roster> roster = current_roster();
    dialog.rows.clear();
    dialog.rows.reserve(roster->entries.size());
    for (const RosterEntry& entry : roster->entries) {
        DialogRow row;
        row.name = station_text_to_utf8(entry.name, sizeof entry.name);
        char text[64];
        format_rate(entry.sample_rate, text, sizeof text);
        row.rate = text;
        row.state_image = 1;
        dialog.rows.push_back(std::move(row));
    }
    publish_locked();
}

void dialog_set_error_text(const char* text) {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    if (!dialog.created) return;
    dialog.error_text = station_text_to_utf8(text, 1024);
    publish_locked();
}

void dialog_set_station_icon(bool connected) {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    if (!dialog.created) return;
    dialog.station_icon = connected ? 113 : 114;
    publish_locked();
}

void dialog_set_db_icon(bool connected) {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    if (!dialog.created) return;
    dialog.db_icon = connected ? 111 : 112;
    publish_locked();
}

void dialog_enable_flush_button() {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    if (!dialog.created) return;
    dialog.flush_enabled = true;
    publish_locked();
}

std::shared_ptr<const StatusSnapshot> dialog_snapshot() {
    std::lock_guard<std::mutex> lock(snapshot_mutex);
    return current_snapshot;
}

void dialog_reset_for_test() {
    std::lock_guard<std::mutex> lock(dialog_mutex);
    dialog = DialogState{};
    event_countdown.store(0);
    event_active.store(0);
    std::lock_guard<std::mutex> snap(snapshot_mutex);
    current_snapshot = std::make_shared<StatusSnapshot>();
}

void dialog_event_seen() {
    event_countdown.store(10);
    event_active.store(1);
}

void dialog_take_status_reports(StationContext& context) {
    {
        std::lock_guard<std::mutex> lock(dialog_mutex);
        dialog.station = context.station_name;
    }
    context.status =
        StatusReport{dialog_set_station_icon,     dialog_set_db_icon, dialog_set_error_text,
                     dialog_rebuild_channel_list, dialog_event_seen,  dialog_enable_flush_button};
}

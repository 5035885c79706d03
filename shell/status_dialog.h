// The status dialog's model, driven from the station link and the recorder.
// Implemented by the status view; every function is safe to call from any
// thread and does nothing harmful while no page is served.
//
// Threads: the dialog's state (rows, widths, lamp, error text, icons, the
// flush button) belongs to the user-interface thread. Other threads reach it
// only through the UI thread's queue: the rebuild by a synchronous send, the
// error text, the icons and the button by posts. After every change the UI
// thread publishes an immutable StatusSnapshot; the HTTP threads only read
// snapshots and post commands.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/commands.h"
#include "common/cp1251.h"
#include "common/station_context.h"

// Event lamp: an event sets the countdown to 10 and the active flag to 1.
void dialog_event_seen();

// Makes the dialog the view of the station's status reports and shows its
// name (main, at start-up, before the threads that report).
void dialog_take_status_reports(StationContext& context);

// Rebuild the channel list from the roster (decoder thread, synchronous).
void dialog_rebuild_channel_list();
// Error field (control 1053): keeps the last text.
void dialog_set_error_text(const char* text);
// Station icon (control 1056): 113 connected, 114 not connected.
void dialog_set_station_icon(bool connected);
// Database icon (control 1055): 111 connected, 112 not connected.
void dialog_set_db_icon(bool connected);
// Re-enables button 7 "Сброс буферов" (recorder, at the start of each pass).
void dialog_enable_flush_button();

inline constexpr int kColumnCount = 5;

// One row of the channel list, already formatted as shown.
struct DialogRow {
    std::string name;     // column 0, UTF-8
    std::string rate;     // column 1, "%3.3f"
    std::string queued;   // column 2, "%03d"
    std::string time;     // column 3, empty while no block has come
    std::string file;     // column 4
    int state_image = 1;  // 1 no event, 2 event mark
};

// What the page shows; published whole by the UI thread, never changed after.
struct StatusSnapshot {
    std::string station;
    std::string title;  // "[ %s ] - Сервер дисковой петли"
    std::vector<DialogRow> rows;
    int widths[kColumnCount] = {};
    bool event_active = false;
    bool lamp_lit = false;  // bitmap 105 when set, 104 otherwise
    uint32_t event_countdown = 0;
    std::string error_text;
    int db_icon = 0;       // 0 until first set, then 111 or 112
    int station_icon = 0;  // 0 until first set, then 113 or 114
    bool flush_enabled = true;
    bool stopping = false;  // stop chosen, waiting for the recorder
    uint64_t serial = 0;    // grows with every publication
};

// UI thread: creates the dialog: columns at their default widths, then the
// widths saved in ini_file ([-LISTBOX-] Width; null: none). The dialog then
// exists and the cross-thread calls above take effect. Safe to call again.
void dialog_create(const char* ini_file);
// Stop command: writes the five widths to ini_file [-LISTBOX-] Width; when
// the profile layer declines, logs one line (and says so on stderr).
bool dialog_save_column_widths(const char* ini_file);
// UI thread: the 3-second timer tick (countdown, blink phase, refresh).
void dialog_tick();
// UI thread: a command of the dialog's own controls (7 flush).
void dialog_command(int id);
// "Завершить работу" was chosen: the page says so until the process ends
// (the recorder sets the run flag back before its stop command).
void dialog_mark_stopping();
// UI thread: widths from the page's column resizing; values <= 0 are ignored.
void dialog_set_column_widths(const int* widths, int count);
// Current widths of the five columns (UI thread; the stop command saves them).
void dialog_column_widths(int widths[kColumnCount]);
// Any thread: the latest snapshot; never null.
std::shared_ptr<const StatusSnapshot> dialog_snapshot();

// Formatting of the list's cells; out is always NUL-terminated.
void format_rate(double sample_rate, char* out, size_t size);
void format_queued_blocks(int32_t queued, char* out, size_t size);
// "%02d:%02d:%02d  %02d/%02d/%04d", or empty text when t is not above 0.
void format_block_time(double t, char* out, size_t size);

// Default width of each column: the list's client width divided by 5.
inline constexpr int kListClientWidth = 557;
inline constexpr int kDefaultColumnWidth = kListClientWidth / kColumnCount;

// Applies a saved "Width" text to widths: comma-separated decimal pieces for
// columns 0..4; a piece that is not above 0 leaves its column unchanged; the
// piece without a comma behind it is the last one read. Returns the number
// of columns changed.
int apply_saved_widths(const char* text, int widths[kColumnCount]);
// The text the stop command saves: five decimal widths joined by commas.
std::string format_saved_widths(const int widths[kColumnCount]);

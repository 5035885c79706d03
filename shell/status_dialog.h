// The status dialog's model, driven from the station link and the recorder.
// Implemented by the status view; every function is safe to call from any
// thread and does nothing harmful while no page is served.
#pragma once

#include <atomic>
#include <cstdint>

// Event lamp: the decoder sets the countdown to 10 and the active flag to 1.
extern std::atomic<uint32_t> event_countdown;
extern std::atomic<int32_t> event_active;

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

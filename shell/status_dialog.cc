// STUB (status view replaces)
#include "shell/status_dialog.h"
std::atomic<uint32_t> event_countdown{0};
std::atomic<int32_t> event_active{0};
void dialog_rebuild_channel_list() {}
void dialog_set_error_text(const char*) {}
void dialog_set_station_icon(bool) {}
void dialog_set_db_icon(bool) {}
void dialog_enable_flush_button() {}

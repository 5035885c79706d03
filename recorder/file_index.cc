// STUB (recorder helper replaces)
#include "recorder/file_index.h"
#include "link/station_indicator.h"
std::atomic<uint8_t> db_connected{0};
void start_database_thread() {}
void wait_helper_threads() { wait_station_indicator_thread(); }
void register_file(const char*, const char*, long, long, int, int, int, const char*) {}
void extend_file(const char*, const char*, long, long, int, int, int, const char*) {}
void register_events(const char*, EventEntry*, int) {}
int unregister_file(const char*) { return 0; }
uint64_t ring_size() { return 0; }
bool oldest_files(std::vector<std::string>*) { return false; }

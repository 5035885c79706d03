// File index in the ODBC data source: tables filelist and eventlist.
// The database thread connects; every statement runs on the recorder thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "link/channel_table.h"

extern std::atomic<uint8_t> db_connected;

void start_database_thread();
// Waits for the database thread, then the station indicator thread.
void wait_helper_threads();

void register_file(const char* path, const char* station, long tbegin, long tqty, int sps,
                   int gain, int datatype, const char* channel);
void extend_file(const char* path, const char* station, long tbegin, long tqty, int sps, int gain,
                 int datatype, const char* channel);
void register_events(const char* station, EventEntry* events, int count);
int unregister_file(const char* cpath);
uint64_t ring_size();
bool oldest_files(std::vector<std::string>* paths);

// File index in the ODBC data source: tables filelist and eventlist.
//
// The database thread connects and then ends; every statement runs on the
// recorder thread, each on its own statement handle, freed at once. The
// handles are written by the database thread before it marks the index
// connected, and a reset (not connected, new database thread) happens only
// after the recorder has finished with them, so no lock is needed. While it
// is not connected every operation returns at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/station_context.h"
#include "link/channel_table.h"

// Connects on a thread of its own to the context's data source; the context
// must outlive the index.
void start_database_thread(const StationContext& context);
// Whether the index is connected now (any thread).
bool index_connected();
// Waits for the database thread to end (it ends once connected).
void wait_database_thread();
// For the stop, with the run flag cleared: a thread still retrying looks at
// the flag at once instead of after its pause; then joined.
void stop_database_thread();
// Drops the connection and marks it down. Only when no statement or database
// thread runs (tests, and switching data sources).
void close_database();

// One ring file's row as the writer describes it; path may use "\\" or "/".
struct FileRow {
    const char* path;
    const char* station;
    long tbegin;
    long tqty;
    int sps;
    int gain;
    int datatype;
    const char* channel;
};

// A new file: any row with its cpath is replaced by one row.
void register_file(const FileRow& row);
// A grown file: its tqty is updated, or a whole row registered when missing.
void extend_file(const FileRow& row);
// Stores the events not stored yet. One refused by a live database is tried
// again on the next calls and given up after a few, with a log line; a lost
// connection ends the call and the events wait for the reconnection.
void register_events(const char* station, EventEntry* events, int count);
// The trimming's operations below work on the rows of `station` only.
int unregister_file(const char* cpath, const char* station);
// The index's measure of the station's ring in bytes (0 on failure).
uint64_t ring_size(const char* station);
// Up to 10 cpath values of the station's rows, oldest tbegin first; false
// when the query failed.
bool oldest_files(const char* station, std::vector<std::string>* paths);

// Copies `text` into `out` with every single quote doubled; 0 when it does not fit.
int quote_sql(const char* text, char* out, size_t size);
// Statement texts as sent (values already quoted); each returns 0 when the
// text does not fit `size`.
int format_register_delete(char* out, size_t size, const char* path);
int format_register_insert(char* out, size_t size, const char* station, long tbegin, long tqty,
                           int sps, int gain, const char* path, const char* channel, int datatype);
int format_extend_count(char* out, size_t size, const char* path);
int format_extend_update(char* out, size_t size, long tqty, const char* path, const char* station,
                         const char* channel);
int format_event_insert(char* out, size_t size, const char* station, long tbegin, int event_type);
int format_unregister(char* out, size_t size, const char* cpath, const char* station);
int format_ring_size(char* out, size_t size, const char* station);
int format_oldest_files(char* out, size_t size, const char* station);

// What the services read: the index's rows of this station's ring files,
// on connections of their own (the recorder's connection belongs to the
// recorder thread), and the samples of the files those rows point at.
//
// Threads: any HTTP thread. The connection pool has its own lock; a
// connection is used by one request at a time and goes back to the pool
// after it, or is dropped when a statement on it failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/app_state.h"
#include "common/descriptor.h"

// One ring file as the index knows it.
struct IndexRow {
    std::string cpath;
    std::string channel;
    int64_t tbegin = 0;  // whole seconds since 1970
    int64_t tqty = 0;    // whole seconds
    int sps = 0;
};

// Rows cover at most this many files per request (a year of 12-hour files
// of 256 channels is about 190,000).
inline constexpr size_t kMaxIndexRows = 200000;

enum class IndexResult { kOk, kTooMany, kUnavailable };

// Rows of `station` (created by this program, tqty > 0) that overlap
// [from, to] in whole seconds, ordered by channel and start.
IndexResult index_rows(const Config& config, const char* station, int64_t from, int64_t to,
                       std::vector<IndexRow>* out);
// Closes the pooled connections (shut-down, tests).
void close_index_connections();

// A cpath as the writer makes it: "<hour>/<name>", the hour 0..23 and the
// name of letters (UTF-8 too), digits, blanks, '-', '_' and '.', never "."
// or "..".
bool valid_ring_path(const std::string& cpath);

// Opens a ring file below the data directory, symbolic links refused, and
// checks its header. Returns the number of samples it holds (>= 0) or -1.
int64_t open_ring_file(const char* data_dir, const std::string& cpath, Descriptor* file);
// Reads samples [first, first + n) of an open ring file as unsigned values
// into out; returns how many it read (fewer at the end of the file).
int64_t read_ring_samples(int fd, int64_t first, int64_t n, int32_t* out);

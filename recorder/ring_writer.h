// Ring files: a 512-byte "[KVR2.0]" text header, then the channel's 16-bit
// samples as the station sent them, one file per channel and stretch of
// time, in hour sub-directories "0".."23" of the data directory.
//
// Runs on the recorder thread only. No descriptor stays open between pieces: every piece opens,
// locks (flock, exclusive), writes and closes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/station_context.h"
#include "link/channel_table.h"

inline constexpr int kRingHeaderSize = 512;
inline constexpr int kMaxRingPath = 127;       // full path, data directory included
inline constexpr int kMaxFileSeconds = 43200;  // appending stops past 12 hours
inline constexpr int kRingDataType = 5;        // SHORT samples
inline constexpr int kFileNameSize = 4096;

// The file a channel is being written to; empty name when none. Kept per
// wire channel number.
struct RingFileState {
    char name[kFileNameSize];  // relative to the data directory
    double start_time;
    double duration;
    // What the writer left there: the file's size and identity. A file that
    // differs was cut, grown or replaced by someone else, and its samples no
    // longer sit at the times its header gives them.
    int64_t bytes;
    uint64_t device, inode;
};

// A copy of the channel's current file (the status view shows its name).
RingFileState current_ring_file(int channel);

// Forgets every channel's current file: the next piece of each starts a new
// one. For a new roster, whose entries are other channels.
void forget_ring_files();

// Fills `out` (512 bytes, zeroed first) with the header lines, CR LF each.
// `gain_field` is what line 8 shows: the gain exponent, or 1 without USEGAIN.
void format_ring_header(char* out, double t, int32_t duration, double sample_rate, int gain_field,
                        const char* station, const char* channel, unsigned amin, unsigned amax);

// Relative name "<hour>/<hhmmss>-<ddmmyyyy>-<channel>.<station>" of a file
// starting at t. Returns 1, or 0 when it does not fit `size`.
int format_ring_name(char* out, size_t size, double t, const char* channel, const char* station);

// Writes D whole seconds of `channel` from `piece` (capacity bytes) into the
// channel's current file or a new one, and registers it in the
// index. A piece longer than the buffer is cut to the whole seconds it holds.
// A current file that is gone (trimmed) is followed by a new one; one whose
// size or identity is no longer the writer's is left with its row as it is,
// logged, and followed by a new one too.
// No result; failures are logged and leave the file, its row and the
// channel's current file as they were before the piece.
void write_piece(const StationContext& station, const RosterEntry& channel, const uint8_t* piece,
                 size_t capacity, double t, int32_t duration);

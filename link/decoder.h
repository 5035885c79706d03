// Walks one received message block by block (NetBIOS completion thread).
#pragma once

#include <cstdint>

#include "common/status_report.h"

struct RosterEntry;

// Errors and roster changes go to `status`.
void decode_message(const StatusReport& status, uint8_t* message, int length);

// One sample block as decoded, valid only during the sink's call: the
// pointers are into the receive buffer and the roster snapshot.
struct DecodedBlock {
    int channel;                // wire channel number, 0..255
    const RosterEntry* entry;   // the channel's roster entry; null when not announced
    uint64_t roster_version;    // of the roster the block arrived under
    double time;                // first sample (block_time)
    double rate;                // the entry's whole rate; 0 when not announced
    const uint8_t* samples;     // unsigned 16-bit words (common/samples.h)
    int sample_count;
    int16_t event_type;         // sign-extended; 0 without an event
    int32_t event_time;         // whole seconds, kept within 32 bits
    const uint8_t* bytes;       // the whole block, header included, as the ring keeps it
    int length;
};

// Where every whole sample block of a valid channel goes (main wires the
// block queue, the SEED service, the live feed and the counters; none by
// default).
using BlockSink = void (*)(const DecodedBlock& block);
void set_block_sink(BlockSink sink);

#include "recorder/recorder_pass.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/app_state.h"
#include "common/calendar.h"
#include "common/oplog.h"
#include "common/station_context.h"
#include "link/block_format.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "recorder/file_index.h"
#include "recorder/ring_trim.h"
#include "recorder/ring_writer.h"

namespace {

// Channels whose unusable rate has been logged already: one line per channel.
bool rate_refusal_logged[kChannelCount];

// Zero-filled piece buffer, freed at the end of the turn.
struct PieceBuffer {
    uint8_t* data = nullptr;
    ~PieceBuffer() { free(data); }
};

int samples_in(const uint8_t* block) {
    // Samples start at byte 64; never read past the block buffer.
    int n = block_format::sample_count(block);
    int room = static_cast<int>((kBlockBufferSize - block_format::kHeaderSize) / 2);
    return n < room ? n : room;
}

// A rate below one sample per second gives no piece buffer and no time step.
bool refuse_rate(int k, const RosterEntry& entry, double r) {
    if (r >= 1) return false;
    if (!rate_refusal_logged[k]) {
        rate_refusal_logged[k] = true;
        write_log_linef("Канал %s: частота %f, запись невозможна", entry.name, entry.sample_rate);
    }
    // Its blocks can never be written; drop what this turn would have taken,
    // so the ring does not keep ending the wait phase early.
    for (int i = 0; i < kBlocksPerTurn && drop_block(entry.channel); ++i) {
    }
    return true;
}

void report_allocation_failure() {
    fprintf(stderr, "Ошибка выделения памяти\n");
    write_log_line("Ошибка выделения памяти");
}

}  // namespace

void place_samples(size_t capacity, double piece_start, uint8_t* piece, double block_start,
                   const uint8_t* block, double r, int n) {
    double position = std::trunc((block_start - piece_start) * r);
    if (!(position > -1e15 && position < 1e15)) position = -1;  // NaN or absurd: nowhere
    int64_t offset = static_cast<int64_t>(position);
    const uint8_t* samples = block + block_format::kHeaderSize;
    for (int i = 0; i < n; ++i) {
        int64_t at = offset + i;
        if (at < 0 || 2 * at + 1 >= static_cast<int64_t>(capacity)) {
            write_log_line("Выход за пределы буфера");
            continue;
        }
        piece[2 * at] = samples[2 * i];
        piece[2 * at + 1] = samples[2 * i + 1];
    }
}

void channel_turn(const StationContext& station, int k, bool write_all) {
    const RosterEntry& entry = channel_roster[k];
    const double r = entry.sample_rate;  // whole, as the decoder stored it
    int c = entry.channel;
    if (c < 0 || c >= kChannelCount) return;
    bool served = write_all || entry.event_only == 0 || has_event_block(c) == 1;
    if (!served) return;
    if (!(r >= 1 && r < 1e12)) {
        refuse_rate(k, entry, r >= 1 ? 0 : r);
        return;
    }
    static uint8_t block[kBlockBufferSize];
    if (take_block(c, block, sizeof block) == 0) return;

    size_t capacity = static_cast<size_t>(std::trunc(502 * r));
    PieceBuffer piece;
    piece.data = static_cast<uint8_t*>(calloc(capacity, 1));
    if (piece.data == nullptr) {
        report_allocation_failure();
        return;  // the rest of this channel waits for the next pass
    }
    double piece_start = block_time(block);
    int n = samples_in(block);
    int64_t total = n;
    place_samples(capacity, piece_start, piece.data, piece_start, block, r, n);
    double expected = piece_start + n / r;
    int taken = 1;
    while (taken < kBlocksPerTurn && take_block(c, block, sizeof block) == 1) {
        ++taken;
        double t = block_time(block);
        n = samples_in(block);
        double gap = t - expected;
        if (gap < 0 || gap > 1.1 / r || 2 * (total + n) > static_cast<int64_t>(capacity)) {
            write_piece(station, entry, k, piece.data, capacity, piece_start,
                        static_cast<int32_t>(total / r));
            piece_start = t;
            total = 0;
        }
        total += n;
        place_samples(capacity, piece_start, piece.data, t, block, r, n);
        expected = t + n / r;
    }
    write_piece(station, entry, k, piece.data, capacity, piece_start,
                static_cast<int32_t>(total / r));
}

void make_pass(const StationContext& station) {
    std::lock_guard<std::mutex> passes(roster_lock);
    station.status.pass_started();
    register_events(station.station_name, event_table, kEventTableSize);
    trim_ring(station);
    const bool write_all = flush_request.load() != 0;
    for (int k = 0; k < roster_count && k < kChannelCount; ++k) channel_turn(station, k, write_all);
}

void write_queued_blocks(const StationContext& station) {
    for (int k = 0; k < roster_count && k < kChannelCount; ++k) {
        const int c = channel_roster[k].channel;
        if (c < 0 || c >= kChannelCount) continue;
        // A turn takes at most kBlocksPerTurn blocks; a full ring needs a few.
        for (int turn = 0; turn <= kBlockRingSize / kBlocksPerTurn; ++turn) {
            if (queued_block_count(c) == 0) break;
            channel_turn(station, k, true);
        }
    }
}

void retire_roster(const StationContext& station) {
    write_queued_blocks(station);
    forget_ring_files();
}

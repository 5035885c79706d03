#include "recorder/recorder_pass.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/app_state.h"
#include "common/calendar.h"
#include "common/gap_rules.h"
#include "common/oplog.h"
#include "common/station_context.h"
#include "link/block_format.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "recorder/file_index.h"
#include "recorder/ring_trim.h"
#include "recorder/ring_writer.h"

namespace {

// Channels whose unusable rate has been logged already: one line per wire
// channel number.
bool rate_refusal_logged[kChannelCount];

// The roster the recorder works under; later ones are taken up at a pass.
// Taken at start-up, before any announcement can be published.
std::shared_ptr<const Roster> held = take_first_roster();

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
int refuse_rate(const RosterEntry& entry, uint64_t version) {
    if (!rate_refusal_logged[entry.channel]) {
        rate_refusal_logged[entry.channel] = true;
        write_log_linef("Канал %s: частота %f, запись невозможна", entry.name, entry.sample_rate);
    }
    // Its blocks can never be written; drop what this turn would have taken,
    // so the ring does not keep ending the wait phase early.
    int dropped = 0;
    while (dropped < kBlocksPerTurn && drop_block(entry.channel, version)) ++dropped;
    return dropped;
}

void write_all_queued(const StationContext& station, const Roster& roster) {
    for (size_t k = 0; k < roster.entries.size(); ++k) {
        // A turn takes at most kBlocksPerTurn blocks; a full ring needs a few.
        for (int turn = 0; turn <= kBlockRingSize / kBlocksPerTurn; ++turn)
            if (channel_turn(station, roster, k, true) == 0) break;
    }
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

int channel_turn(const StationContext& station, const Roster& roster, size_t k, bool write_all) {
    if (k >= roster.entries.size() || !roster.owns(k)) return 0;
    const RosterEntry& entry = roster.entries[k];
    const double r = entry.sample_rate;  // whole, as the decoder stored it
    const int c = entry.channel;
    const uint64_t v = roster.version;
    bool served = write_all || entry.event_only == 0 || has_event_block(c, v) == 1;
    if (!served) return 0;
    if (!(r >= 1 && r < 1e12)) return refuse_rate(entry, v);
    static uint8_t block[kBlockBufferSize];
    if (take_block(c, block, sizeof block, v) == 0) return 0;

    size_t capacity = static_cast<size_t>(std::trunc(502 * r));
    PieceBuffer piece;
    piece.data = static_cast<uint8_t*>(calloc(capacity, 1));
    if (piece.data == nullptr) {
        report_allocation_failure();
        return 1;  // the rest of this channel waits for the next pass
    }
    double piece_start = block_time(block);
    int n = samples_in(block);
    int64_t total = n;
    place_samples(capacity, piece_start, piece.data, piece_start, block, r, n);
    double expected = piece_start + n / r;
    int taken = 1;
    while (taken < kBlocksPerTurn && take_block(c, block, sizeof block, v) == 1) {
        ++taken;
        double t = block_time(block);
        n = samples_in(block);
        double gap = t - expected;
        if (!gap_rules::recorder_continues(gap, r) ||
            2 * (total + n) > static_cast<int64_t>(capacity)) {
            write_piece(station, entry, piece.data, capacity, piece_start,
                        static_cast<int32_t>(total / r));
            piece_start = t;
            total = 0;
        }
        total += n;
        place_samples(capacity, piece_start, piece.data, t, block, r, n);
        expected = t + n / r;
    }
    write_piece(station, entry, piece.data, capacity, piece_start, static_cast<int32_t>(total / r));
    return taken;
}

void take_up_new_rosters(const StationContext& station) {
    while (std::shared_ptr<const Roster> next = next_roster(*held)) {
        write_all_queued(station, *held);
        // What no entry took (unannounced channels) goes with its roster.
        for (int c = 0; c < kChannelCount; ++c) drain_channel(c, held->version);
        forget_ring_files();
        if (held->announced && next->announced) write_log_line("Состав каналов станции изменился");
        held = next;
    }
}

void make_pass(const StationContext& station) {
    take_up_new_rosters(station);
    const Roster& roster = *held;
    station.status.pass_started();
    register_events(station.station_name, event_entries(), kEventTableSize);
    trim_ring(station);
    const bool write_all = flush_request.load() != 0;
    for (size_t k = 0; k < roster.entries.size(); ++k) channel_turn(station, roster, k, write_all);
}

void write_queued_blocks(const StationContext& station) {
    take_up_new_rosters(station);
    write_all_queued(station, *held);
}

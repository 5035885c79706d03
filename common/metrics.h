// Figures for monitoring (/metrics), counted where things happen. Relaxed
// atomics: a scrape may see one figure a step ahead of another, never a
// torn one.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int kMetricChannels = 256;  // by wire channel number

struct ChannelMetrics {
    std::atomic<uint64_t> samples_received{0};
    std::atomic<uint64_t> seconds_written{0};  // into ring files
    std::atomic<double> last_sample_time{0};   // seconds since 1970; 0 before the first
    std::atomic<uint64_t> gaps{0};             // blocks that did not follow the one before
    std::atomic<uint64_t> gaps_today{0};       // the same, since UTC midnight
    std::atomic<int64_t> gap_day{0};           // the UTC day gaps_today counts
};

// Notes a block of `samples` at `rate` starting at `time` on channel m:
// counts a gap when it does not start where the previous block ended
// (gap_rules::service_continues), and moves the last sample time on. One writer.
void note_block(ChannelMetrics& m, double time, int samples, double rate);

// Gaps of channel m on the UTC day of `now` (seconds since 1970).
uint64_t gaps_on_day_of(const ChannelMetrics& m, double now);

struct Metrics {
    ChannelMetrics channels[kMetricChannels];
    std::atomic<uint64_t> ring_bytes{0};  // the index's measure of the ring, last pass
    std::atomic<uint64_t> statements_failed{0};
    std::atomic<uint64_t> rows_written{0};  // file rows inserted or extended, events stored
    std::atomic<int32_t> liss_clients{0};
};

inline void bump(std::atomic<uint64_t>& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
}

// The counters of wire channel c, or a spare for a number out of range.
ChannelMetrics& channel_metrics(Metrics& metrics, int c);

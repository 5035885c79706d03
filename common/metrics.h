// Figures for monitoring (/metrics), counted where things happen. Relaxed
// atomics: a scrape may see one figure a step ahead of another, never a
// torn one.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int kMetricChannels = 256;  // by wire channel number

struct ChannelMetrics {
    std::atomic<uint64_t> samples_received{0};
    std::atomic<uint64_t> blocks_dropped{0};   // refused, or pushed out of a full ring
    std::atomic<uint64_t> seconds_written{0};  // into ring files
    std::atomic<double> last_sample_time{0};   // seconds since 1970; 0 before the first
};

struct Metrics {
    ChannelMetrics channels[kMetricChannels];
    std::atomic<uint64_t> ring_bytes{0};  // the index's measure of the ring, last pass
    std::atomic<uint64_t> statements_failed{0};
    std::atomic<uint64_t> rows_written{0};  // file rows inserted or extended, events stored
    std::atomic<int32_t> liss_clients{0};
};

extern Metrics metrics;

inline void bump(std::atomic<uint64_t>& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
}

// The counters of wire channel c, or a spare for a number out of range.
ChannelMetrics& channel_metrics(int c);

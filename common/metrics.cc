#include "common/metrics.h"

#include <cmath>

#include "common/gap_rules.h"

void note_block(ChannelMetrics& m, double time, int samples, double rate) {
    if (!(rate > 0) || samples <= 0) return;
    const double last = m.last_sample_time.load(std::memory_order_relaxed);
    const double expected = last + 1.0 / rate;
    if (last > 0 && !gap_rules::service_continues(time - expected, rate)) {
        bump(m.gaps);
        const int64_t day = static_cast<int64_t>(std::floor(time / 86400.0));
        if (m.gap_day.exchange(day, std::memory_order_relaxed) != day)
            m.gaps_today.store(0, std::memory_order_relaxed);
        bump(m.gaps_today);
    }
    m.last_sample_time.store(time + (samples - 1) / rate, std::memory_order_relaxed);
}

uint64_t gaps_on_day_of(const ChannelMetrics& m, double now) {
    const int64_t day = static_cast<int64_t>(std::floor(now / 86400.0));
    return m.gap_day.load(std::memory_order_relaxed) == day
               ? m.gaps_today.load(std::memory_order_relaxed)
               : 0;
}

ChannelMetrics& channel_metrics(Metrics& metrics, int c) {
    static ChannelMetrics spare;
    return c >= 0 && c < kMetricChannels ? metrics.channels[c] : spare;
}

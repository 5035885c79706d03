#include "common/metrics.h"

Metrics metrics;

ChannelMetrics& channel_metrics(int c) {
    static ChannelMetrics spare;
    return c >= 0 && c < kMetricChannels ? metrics.channels[c] : spare;
}

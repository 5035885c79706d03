// What monitoring systems read: /metrics in the Prometheus text format and
// /api/health for a service manager's or an orchestrator's probe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/station_context.h"

// The exposition text (version 0.0.4) of every figure, now.
std::string metrics_text(const StationContext& station);

// True while the station is connected and the index reachable; `json` gets
// a short report of both either way, and of the SeedLink feed when it is
// configured ("degraded" while it is off).
bool health_report(const Config& config, std::string* json);

struct ChannelHealth {
    std::string name;     // the roster's name, UTF-8
    double latency;       // seconds since the last sample; NaN before the first
    uint64_t gaps_today;  // gaps since UTC midnight
};

// The roster's channels in roster order, with their figures now.
std::vector<ChannelHealth> channel_health(const StationContext& station);

// Station state indicator: icon and log line at every change of station_connected.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/status_report.h"

extern std::atomic<int32_t> station_connected;

void update_station_indicator(const StatusReport& status);
// Waits for the last indicator thread (main, at the stop).
void wait_station_indicator_thread();

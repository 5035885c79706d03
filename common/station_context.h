// What every service of one station is started with: built once by main
// before any thread starts, read-only afterwards but for the counters.
#pragma once

#include <string>
#include <vector>

#include "common/app_state.h"
#include "common/metrics.h"
#include "common/status_report.h"

struct StationContext {
    char station_name[kStationNameSize] = "";
    // From the command line and the INI files.
    Config config;
    // Channel names from SCH= or INI SCH, in order, repeats kept; empty: every channel.
    std::vector<std::string> selected_channels;
    // Counted where things happen, through a context every reader holds const.
    mutable Metrics metrics;
    // main wires in the status dialog before the threads start.
    StatusReport status;
};

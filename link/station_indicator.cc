// Station state indicator. The change is shown on the completion thread
// itself: setting the icon only publishes the dialog's snapshot under a short
// lock and the log line is one write, so nothing here waits for the user
// interface, and the lines come in the order of the changes.
#include "link/station_indicator.h"

#include <atomic>
#include <cstdint>

#include "common/oplog.h"
#include "common/status_report.h"

namespace {

// Written by the completion thread; read by the status page and /metrics.
// Nothing is shown at start, which reads as "not connected".
std::atomic<int32_t> connected_state{0};

}  // namespace

void update_station_indicator(const StatusReport& status, bool connected) {
    const int32_t state = connected ? 1 : 0;
    if (connected_state.exchange(state) == state) return;
    status.station_state(connected);
    write_log_line(connected ? "Станция подключена" : "Станция отключена");
}

bool station_connected() { return connected_state.load() == 1; }

// Station state indicator: icon and log line at every change of the
// station's state.
#pragma once

#include "common/status_report.h"

// Records the session's state after a completion and shows it when it
// changed: the icon on `status` and "Станция подключена" or "Станция отключена".
// Called by the completion thread only.
void update_station_indicator(const StatusReport& status, bool connected);
// The state the last completion left.
bool station_connected();

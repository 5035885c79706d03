// Station state indicator: icon and log line at every change of the
// station's state.
#pragma once

// Records the session's state after a completion and shows it when it
// changed: the icon and "Станция подключена" or "Станция отключена".
// Called by the completion thread only.
void update_station_indicator(bool connected);
// The state the last completion left.
bool station_connected();

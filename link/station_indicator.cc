// STUB (station-link helper replaces)
#include "link/station_indicator.h"
std::atomic<int32_t> station_connected{0};
void update_station_indicator() {}
void wait_station_indicator_thread() {}

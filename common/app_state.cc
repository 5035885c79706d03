#include "common/app_state.h"

char station_name[kStationNameSize];
std::atomic<int32_t> run_flag{0};
std::atomic<int32_t> flush_request{0};
Config config;
std::vector<std::string> selected_channels;

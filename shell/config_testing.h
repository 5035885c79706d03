// For tests and fuzzers only: the configuration as at process start.
#pragma once

#include "common/app_state.h"

inline void reset_config_for_test() {
    config = Config{};
    selected_channels.clear();
    station_name[0] = '\0';
}

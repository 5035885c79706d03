#include "common/app_state.h"

std::atomic<int32_t> run_flag{0};
std::atomic<int32_t> flush_request{0};

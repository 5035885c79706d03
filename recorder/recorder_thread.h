// The recorder thread: passes every flush interval, stop handling.
#pragma once

#include "common/station_context.h"

// The context must outlive the thread.
void start_recorder_thread(const StationContext& context);
// Waits for the recorder thread, which ends once its stop command is handled.
void join_recorder_thread();

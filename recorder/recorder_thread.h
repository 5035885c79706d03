// The recorder thread: passes every flush interval, stop handling.
#pragma once

#include "common/station_context.h"

// The context must outlive the thread.
void start_recorder_thread(const StationContext& station);
// With the run flag cleared: wakes the thread's wait, so it makes the final
// pass and sends the stop command at once rather than at its next tick.
void request_recorder_stop();
// Requests the stop and waits for the thread, which ends once its stop
// command is handled.
void stop_recorder_thread();

// The recorder thread: passes every flush interval, stop handling.
#pragma once

void start_recorder_thread();
// Waits for the recorder thread, which ends once its stop command is handled.
void join_recorder_thread();

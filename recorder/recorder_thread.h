// The recorder thread: passes every flush interval, stop handling.
#pragma once

void start_recorder_thread();

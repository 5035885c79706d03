// What only tests change in the operation log.
#pragma once

#include <ctime>

// A clock in place of the system's UTC time (nullptr: the system's).
void log_set_clock_for_test(time_t (*clock)());
// The log back in its state at process start.
void log_reset_for_test();

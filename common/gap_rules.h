// When a block continues the samples before it, for each road that asks.
// `lateness` is the block's start minus where the samples before it end
// (negative when it starts earlier), `rate` in samples per second.
#pragma once

#include <cmath>

namespace gap_rules {

// Ring files: a block that starts early (an overlap or a repeat) or more
// than 1.1 sample intervals late starts a new piece.
inline bool recorder_continues(double lateness, double rate) {
    return !(lateness < 0 || lateness > 1.1 / rate);
}

// LISS records: up to one whole sample interval either way still continues.
inline bool liss_continues(double lateness, double rate) {
    return !(std::fabs(lateness) > 1.0 / rate);
}

// Our own services (monitoring counters, live feed): half a sample
// interval either way.
inline bool service_continues(double lateness, double rate) {
    return !(std::fabs(lateness) > 0.5 / rate);
}

}  // namespace gap_rules

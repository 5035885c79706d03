// The simulator's deterministic signal: a test that knows the seed, the
// channel index and the sample's position since the start regenerates
// every sample that stationsim sent.
#pragma once

#include <cmath>
#include <cstdint>

namespace stationsim {

// Sample i (counted from the simulator's start time) of channel index c.
inline uint16_t signal_sample(uint32_t seed, int c, int64_t i) {
    uint64_t x = (static_cast<uint64_t>(seed) << 32) ^ (static_cast<uint64_t>(c) << 48) ^
                 static_cast<uint64_t>(i);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    const double wave = 3000.0 * std::sin(static_cast<double>(i) * 0.05 * (c + 1));
    const int noise = static_cast<int>(x % 201) - 100;
    return static_cast<uint16_t>(32768 + static_cast<int>(wave) + noise);
}

// Sample i of channel c with --pattern: a cycle of 100 values that opens
// with both ends of the range and the values either side of 32,768, then
// climbs from 0 in steps of 712; channel c runs c samples ahead.
inline uint16_t pattern_sample(int c, int64_t i) {
    constexpr uint16_t kOpening[] = {32768, 32767, 0, 65535, 1, 65534, 32769, 32799};
    constexpr int64_t kOpened = sizeof kOpening / sizeof kOpening[0];
    const int64_t k = (i + c) % 100;
    return k < kOpened ? kOpening[k] : static_cast<uint16_t>((k - kOpened) * 712);
}

}  // namespace stationsim

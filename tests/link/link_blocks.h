// Station blocks for the link's tests: sample blocks stamped 2004-05-17
// 13:05:07 with an event time of 13:05:09.
#pragma once

#include <vector>

#include "link/block_format.h"

namespace link_blocks {

using namespace block_format;
using Bytes = std::vector<uint8_t>;

// Samples first, first + 1, ...
inline Bytes sample_block(int channel, int samples, int first = 1000, int hundredths = 0,
                          int event_type = 0) {
    Bytes b(kHeaderSize + 2 * samples, 0);
    write_u16(b.data() + kType, kSampleBlock);
    write_u16(b.data() + kHeaderLength, kHeaderSize);
    write_u16(b.data() + kDataLength, static_cast<uint16_t>(2 * samples));
    write_u16(b.data() + kChannel, static_cast<uint16_t>(channel));
    for (auto [at, second] : {std::pair{kMinute, 7}, std::pair{kEventMinute, 9}}) {
        b[at] = 5;
        b[at + kTimeHour] = 13;
        b[at + kTimeSecond] = static_cast<uint8_t>(second);
        write_u16(b.data() + at + kTimeYear, 2004);
        b[at + kTimeMonth] = 5;
        b[at + kTimeDay] = 17;
    }
    b[kHundredths] = static_cast<uint8_t>(hundredths);
    b[kEventType] = static_cast<uint8_t>(event_type);
    for (int i = 0; i < samples; ++i)
        write_u16(b.data() + kHeaderSize + 2 * i, static_cast<uint16_t>(first + i));
    return b;
}

inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace link_blocks

// Station blocks for the link's and the recorder's tests, stamped 2004-05-17 13:05:07 unless
// told otherwise.
#pragma once

#include <ctime>
#include <vector>

#include "link/block_format.h"

namespace link_blocks {

using namespace block_format;
using Bytes = std::vector<uint8_t>;

// Samples first, first + 1, ... at t, the event time 2 s later.
inline Bytes sample_block(int channel, int samples, int first = 1000, int hundredths = 0,
                          int event_type = 0, time_t t = 1084799107) {
    Bytes b(kHeaderSize + 2 * samples, 0);
    write_u16(b.data() + kType, kSampleBlock);
    write_u16(b.data() + kHeaderLength, kHeaderSize);
    write_u16(b.data() + kDataLength, static_cast<uint16_t>(2 * samples));
    write_u16(b.data() + kChannel, static_cast<uint16_t>(channel));
    for (auto [at, when] : {std::pair{kMinute, t}, std::pair{kEventMinute, t + 2}}) {
        struct tm tm {};
        gmtime_r(&when, &tm);
        b[at] = uint8_t(tm.tm_min), b[at + kTimeHour] = uint8_t(tm.tm_hour);
        b[at + kTimeSecond] = uint8_t(tm.tm_sec), b[at + kTimeDay] = uint8_t(tm.tm_mday);
        b[at + kTimeMonth] = uint8_t(tm.tm_mon + 1);
        write_u16(b.data() + at + kTimeYear, uint16_t(tm.tm_year + 1900));
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

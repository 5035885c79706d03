#include "link/block_format.h"

#include "common/calendar.h"

double block_time(const uint8_t* block) {
    using namespace block_format;
    double t = calendar_to_seconds(read_i16(block + kYear), static_cast<int8_t>(block[kMonth]),
                                   static_cast<int8_t>(block[kDay]), block[kHour], block[kMinute],
                                   block[kSecond]);
    if (block[kHundredths] > 50) t += 1.0;
    return t;
}

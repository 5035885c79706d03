#include "seed/record.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/calendar.h"
#include "seed/steim2.h"

SplitTime splitEpochSeconds(double time) {
    double whole = std::trunc(time);
    long ms = static_cast<long>(std::floor((time - whole) * 1000.0 + 0.5));
    if (ms >= 1000) {
        whole += 1.0;
        ms = 0;
    }
    if (ms < 0) {  // times before 1970: keep the fields in range
        whole -= 1.0;
        ms += 1000;
    }
    // Whole seconds as a 32-bit count, as the station's clock keeps them.
    CalendarTime c{};
    calendar_from_seconds(static_cast<int32_t>(static_cast<int64_t>(whole)), &c);
    return SplitTime{
        c.year, c.day_of_year, c.hour, c.minute, static_cast<int>(c.second), static_cast<int>(ms)};
}

void setHeaderTime(SeedFixedHeader& h, double time) {
    const SplitTime s = splitEpochSeconds(time);
    h.year = static_cast<uint16_t>(s.year);
    h.day = static_cast<uint16_t>(s.dayOfYear);
    h.hours = static_cast<uint8_t>(s.hour);
    h.minutes = static_cast<uint8_t>(s.minute);
    h.seconds = static_cast<uint8_t>(s.second);
    h.fract = static_cast<uint16_t>(s.millisecond * 10);
}

size_t flushBufferBytes(int n) {
    if (2 * static_cast<long long>(n) >= kSeedRecordLength) return 3u * 4u * static_cast<size_t>(n);
    return 512u * 4u;
}

namespace {

// Longer names are cut to their field so they never run into the next one.
void copy_code(char* field, int width, const char* name) {
    if (name == nullptr) return;
    const size_t n = strnlen(name, static_cast<size_t>(width));
    std::memcpy(field, name, n);
}

}  // namespace

unsigned buildRecords(const char* network, const char* station, const char* channel,
                      double sampleRate, double startTime, const int32_t* samples, int sampleCount,
                      uint8_t* out) {
    SeedFixedHeader h{};
    std::memcpy(&h, "000011D", 7);
    double rate = sampleRate;  // whole, as announced
    if (!(rate >= -32768.0 && rate <= 32767.0)) rate = 0.0;
    h.Sample_rate_factor = static_cast<int16_t>(rate);
    h.Sample_rate_multiplier = 1;
    setHeaderTime(h, startTime);
    std::memset(h.Station_identifier_code, ' ', sizeof h.Station_identifier_code);
    std::memset(h.Channel_identifier, ' ', sizeof h.Channel_identifier);
    std::memset(h.Location_identifier, ' ', sizeof h.Location_identifier);
    copy_code(h.Station_identifier_code, kSeedStationLength, station);
    copy_code(h.Channel_identifier, kSeedChannelLength, channel);

    Blockette1000 b{1000, 0, 11, 1, 9, 0};
    uint8_t blockette[sizeof b];
    std::memcpy(blockette, &b, sizeof b);
    const unsigned records = steim2Compress(samples, sampleCount, h, kSeedRecordLength, out, 1,
                                            sizeof blockette, blockette);
    // The encoder leaves the network blank, as the LISS clients know it.
    for (unsigned r = 0; network != nullptr && r < records; ++r)
        copy_code(reinterpret_cast<char*>(out) + size_t{r} * kSeedRecordLength +
                      offsetof(SeedFixedHeader, Reserved_bytes_B),
                  sizeof h.Reserved_bytes_B, network);
    return records;
}

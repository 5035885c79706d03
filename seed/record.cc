#include "seed/record.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "seed/record_pipe.h"
#include "seed/steim2.h"
#include "seed/stream_registry.h"

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
    const time_t t = static_cast<time_t>(static_cast<int32_t>(static_cast<int64_t>(whole)));
    struct tm tm {};
    gmtime_r(&t, &tm);
    return SplitTime{tm.tm_year + 1900, tm.tm_yday + 1, tm.tm_hour,
                     tm.tm_min,         tm.tm_sec,      static_cast<int>(ms)};
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

void flushStream(StreamRegistry& registry, int station, int channel) {
    if (!registry.outputEnabled || registry.pipe == nullptr) return;
    StationStreams* st = registry.station(station);
    if (st == nullptr) return;
    ChannelStream* s = st->channel(channel);
    if (s == nullptr || s->sampleCount <= 0) return;

    const size_t bytes = flushBufferBytes(s->sampleCount);
    uint8_t* out = static_cast<uint8_t*>(std::calloc(bytes, 1));
    if (out == nullptr) return;

    SeedFixedHeader h{};
    std::memcpy(&h, "000011D", 7);
    double rate = std::trunc(s->sampleRate);
    if (!(rate >= -32768.0 && rate <= 32767.0)) rate = 0.0;
    h.Sample_rate_factor = static_cast<int16_t>(rate);
    h.Sample_rate_multiplier = 1;
    setHeaderTime(h, s->startTime);
    std::memset(h.Station_identifier_code, ' ', sizeof h.Station_identifier_code);
    std::memset(h.Channel_identifier, ' ', sizeof h.Channel_identifier);
    std::memset(h.Location_identifier, ' ', sizeof h.Location_identifier);
    copy_code(h.Station_identifier_code, kSeedStationLength, st->name.c_str());
    copy_code(h.Channel_identifier, kSeedChannelLength, s->name.c_str());

    Blockette1000 b{1000, 0, 11, 1, 9, 0};
    uint8_t blockette[sizeof b];
    std::memcpy(blockette, &b, sizeof b);

    const unsigned records = steim2Compress(s->samples, s->sampleCount, h, kSeedRecordLength, out,
                                            1, sizeof blockette, blockette);
    for (unsigned i = 0; i < records; ++i)
        registry.pipe->put(out + static_cast<size_t>(i) * kSeedRecordLength, kSeedRecordLength);
    std::free(out);
    s->startTime = 0.0;
    s->duration = 0.0;
    s->sampleCount = 0;
}

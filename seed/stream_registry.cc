#include "seed/stream_registry.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/gap_rules.h"
#include "common/samples.h"
#include "seed/record.h"
#include "seed/record_pipe.h"

namespace {

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void restart(ChannelStream& s, double t, double chunkDuration, int n, const uint8_t* samples) {
    s.sampleCount = n;
    s.duration = chunkDuration;
    s.startTime = t;
    widen_samples(samples, static_cast<size_t>(n), s.samples);
}

}  // namespace

OwnedString::~OwnedString() { delete[] text; }

void OwnedString::assign(const char* s) {
    char* copy = nullptr;
    if (s != nullptr && *s != '\0') {
        const size_t n = std::strlen(s);
        copy = new char[n + 1];
        std::memcpy(copy, s, n + 1);
    }
    delete[] text;
    text = copy;
}

bool OwnedString::equalsIgnoreCase(const char* s) const {
    const char* a = c_str();
    const char* b = s != nullptr ? s : "";
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (lower_ascii(*a) != lower_ascii(*b)) return false;
    return *a == *b;
}

int StreamRegistry::findOrAddStation(const char* name) {
    for (int i = 0; i < stations.size(); ++i)
        if (stations.at(i)->name.equalsIgnoreCase(name)) return i;
    auto* st = new StationStreams;
    st->name = name;
    return stations.append(st);
}

int StreamRegistry::findOrAddChannel(int station, const char* name, double sampleRate) {
    StationStreams* st = stations.at(station);
    if (st == nullptr) return -1;
    for (int i = 0; i < st->channels.size(); ++i)
        if (st->channels.at(i)->name.equalsIgnoreCase(name)) return i;
    auto* ch = new ChannelStream;
    ch->name = name;
    ch->sampleRate = sampleRate;
    return st->channels.append(ch);
}

int StreamRegistry::channelCount(int station) const {
    StationStreams* st = stations.at(station);
    return st != nullptr ? st->channels.size() : 0;
}

void StreamRegistry::attachPipe(RecordPipe* p) {
    pipe = p;
    outputEnabled = true;
}

void StreamRegistry::appendBlock(const char* station, const char* channel, double sampleRate,
                                 double blockTime, int sampleCount, const uint8_t* samples) {
    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate) || sampleCount <= 0 || samples == nullptr)
        return;
    for (int o = 0; o < sampleCount; o += kChunkSamples) {
        const int n = sampleCount - o < kChunkSamples ? sampleCount - o : kChunkSamples;
        appendChunk(station, channel, sampleRate, blockTime + o / sampleRate, n,
                    samples + 2 * static_cast<size_t>(o));
    }
}

void StreamRegistry::appendChunk(const char* station, const char* channel, double r, double t,
                                 int n, const uint8_t* samples) {
    if (!(r > 0.0) || !std::isfinite(r) || n <= 0 || n > kChunkSamples || samples == nullptr)
        return;
    const int st = findOrAddStation(station);
    const int ch = findOrAddChannel(st, channel, r);
    ChannelStream* s = this->station(st)->channel(ch);
    if (s->sampleRate != r) s->sampleRate = r;
    const double period = 1.0 / r;
    const double chunkDuration = n * period;
    if (!gap_rules::liss_continues(t - (s->startTime + s->duration), r)) {
        if (s->sampleCount > 0) flushStream(*this, st, ch);
        restart(*s, t, chunkDuration, n, samples);
    } else if (s->sampleCount + n <= kContinuationLimit && s->sampleRate > kSlowRate) {
        widen_samples(samples, static_cast<size_t>(n), s->samples + s->sampleCount);
        s->sampleCount += n;
        s->duration += chunkDuration;
    } else {
        flushStream(*this, st, ch);
        restart(*s, t, chunkDuration, n, samples);
    }
}

void flushStream(StreamRegistry& registry, int station, int channel) {
    if (!registry.outputEnabled || registry.pipe == nullptr) return;
    StationStreams* st = registry.station(station);
    if (st == nullptr) return;
    ChannelStream* s = st->channel(channel);
    if (s == nullptr || s->sampleCount <= 0) return;

    const size_t bytes = flushBufferBytes(s->sampleCount);
    uint8_t* out = static_cast<uint8_t*>(std::calloc(bytes, 1));
    if (out == nullptr) return;
    const unsigned records = buildRecords(nullptr, st->name.c_str(), s->name.c_str(), s->sampleRate,
                                          s->startTime, s->samples, s->sampleCount, out);
    for (unsigned i = 0; i < records; ++i)
        registry.pipe->put(out + static_cast<size_t>(i) * kSeedRecordLength, kSeedRecordLength);
    std::free(out);
    s->startTime = 0.0;
    s->duration = 0.0;
    s->sampleCount = 0;
}

#include "seed/steim2.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "common/calendar.h"

namespace {

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void swap16_at(uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void swap32_at(uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    put_be32(p, v);
}

// Classes 5 and 6 are symmetric ranges: -512 is class 6, -16384 class 7.
int difference_class(int32_t d) {
    if (d >= -8 && d <= 7) return 1;
    if (d >= -16 && d <= 15) return 2;
    if (d >= -32 && d <= 31) return 3;
    if (d >= -128 && d <= 127) return 4;
    if (d >= -511 && d <= 511) return 5;
    if (d >= -16383 && d <= 16383) return 6;
    return 7;
}

struct Encoder {
    uint8_t* out;
    int recordLength;
    int framesPerRecord;
    const uint8_t* blockettes;
    int blocketteCount;
    int blocketteLength;

    bool firstSample = true;
    int32_t x0 = 0;
    int32_t previousSample = 0;
    int32_t group[7] = {};
    int m = 0;
    int t = 0;
    uint32_t codeWord = 0;
    int frameIndex = 1;
    int wordIndex = 3;
    unsigned recordCount = 0;
    size_t recordOffset = 0;  // bytes
    double sampleRate = 1.0;
    double timeFraction = 0.0;
    SeedFixedHeader header{};

    uint8_t* word_at(int frame, int word) {
        return out + recordOffset + static_cast<size_t>(frame) * kSeedFrameLength + word * 4;
    }

    void reset_counts() {
        header.Number_of_samples = 0;
        header.Number_of_blockettes_follow = static_cast<uint8_t>(blocketteCount);
        header.First_blockette = blocketteCount > 0 ? kSeedFirstBlockette : 0;
        header.Beginning_of_data = static_cast<uint16_t>(frameIndex * kSeedFrameLength);
    }

    void close_record() {
        put_be32(out + recordOffset + kSeedX0Offset, static_cast<uint32_t>(x0));
        put_be32(out + recordOffset + kSeedXnOffset, static_cast<uint32_t>(previousSample));
        firstSample = true;
        std::memcpy(out + recordOffset, &header, sizeof header);
        if (blocketteLength > 0 && blockettes != nullptr)
            std::memcpy(out + recordOffset + kSeedFirstBlockette, blockettes,
                        static_cast<size_t>(blocketteLength));
        ++recordCount;
        recordOffset = static_cast<size_t>(recordCount) * recordLength;
        frameIndex = 1;
        wordIndex = 3;
        codeWord = 0;
        advanceRecordHeader(header, sampleRate, timeFraction);
        reset_counts();
    }

    void place_word(uint32_t code, uint32_t word) {
        codeWord |= code << (2 * (15 - wordIndex));
        put_be32(word_at(frameIndex, wordIndex), word);
        if (++wordIndex < 16) return;
        put_be32(word_at(frameIndex, 0), codeWord);
        wordIndex = 1;
        ++frameIndex;
        codeWord = 0;
        if (frameIndex >= framesPerRecord) close_record();
    }

    // A short group goes out in the coarser class that carries exactly m
    // differences, so every word is filled.
    void emit_group() {
        // Index m - 1: bits per difference, the dnib bits and the word's code.
        struct GroupClass {
            int bits;
            uint32_t dnib;
            uint32_t code;
        };
        static constexpr GroupClass kClasses[7] = {
            {30, 0x40000000u, 2},  // dnib 01: 1 x 30 bits
            {15, 0x80000000u, 2},  // dnib 10: 2 x 15 bits
            {10, 0xC0000000u, 2},  // dnib 11: 3 x 10 bits
            {8, 0x00000000u, 1},   // 4 x 8 bits, no dnib
            {6, 0x00000000u, 3},   // dnib 00: 5 x 6 bits
            {5, 0x40000000u, 3},   // dnib 01: 6 x 5 bits
            {4, 0x80000000u, 3},   // dnib 10: 7 x 4 bits
        };
        const GroupClass& c = kClasses[m >= 1 && m <= 7 ? m - 1 : 0];
        const uint32_t mask = (1u << c.bits) - 1u;
        uint32_t word = c.dnib;
        for (int i = 0; i < m; ++i)
            word |= (static_cast<uint32_t>(group[i]) & mask) << (c.bits * (m - 1 - i));
        header.Number_of_samples = static_cast<uint16_t>(header.Number_of_samples + m);
        m = 0;
        t = 0;
        place_word(c.code, word);
    }
};

}  // namespace

double sampleRateOf(int16_t f, int16_t m) {
    if (f > 0 && m > 0) return static_cast<double>(f) * m;
    if (f > 0 && m < 0) return -static_cast<double>(f) / m;
    if (f < 0 && m > 0) return -static_cast<double>(m) / f;
    if (f < 0 && m < 0) return 1.0 / (static_cast<double>(f) * m);
    return 1.0;
}

void advanceRecordHeader(SeedFixedHeader& h, double sampleRate, double& timeFraction) {
    const double x = h.Number_of_samples * 10000.0 / sampleRate + timeFraction;
    const long long whole = static_cast<long long>(x);
    timeFraction = x - static_cast<double>(whole);
    long long s = whole / 10000;
    const long long r = whole - s * 10000;
    const long long u = r + h.fract;
    h.fract = static_cast<uint16_t>(u % 10000);
    s += u / 10000;

    long long sec = h.seconds + s;
    h.seconds = static_cast<uint8_t>(sec % 60);
    long long min = h.minutes + sec / 60;
    h.minutes = static_cast<uint8_t>(min % 60);
    long long hour = h.hours + min / 60;
    h.hours = static_cast<uint8_t>(hour % 24);
    long long day = h.day + hour / 24;
    int year = h.year;
    while (day > (is_leap_year(year) ? 366 : 365)) {
        day -= is_leap_year(year) ? 366 : 365;
        ++year;
    }
    h.day = static_cast<uint16_t>(day);
    h.year = static_cast<uint16_t>(year);

    // Six characters read as "%6d" (blanks before the digits), plus one,
    // written back as "%06d"; done by hand, this runs once per record.
    int seq = 0;
    int pos = 0;
    while (pos < 6 && h.SequenceNumber[pos] == ' ') ++pos;
    bool negative = false;
    if (pos < 6 && (h.SequenceNumber[pos] == '-' || h.SequenceNumber[pos] == '+'))
        negative = h.SequenceNumber[pos++] == '-';
    for (; pos < 6 && h.SequenceNumber[pos] >= '0' && h.SequenceNumber[pos] <= '9'; ++pos)
        seq = seq * 10 + (h.SequenceNumber[pos] - '0');
    if (negative) seq = -seq;
    int next = seq + 1;
    if (next < 0 || next > 999999) {
        char text[16];
        std::snprintf(text, sizeof text, "%06d", next % 1000000);
        std::memcpy(h.SequenceNumber, text, 6);
        return;
    }
    for (int k = 5; k >= 0; --k) {
        h.SequenceNumber[k] = static_cast<char>('0' + next % 10);
        next /= 10;
    }
}

void finishRecordHeaders(uint8_t* out, int recordLength, unsigned recordCount) {
    for (unsigned i = 0; i < recordCount; ++i) {
        uint8_t* r = out + static_cast<size_t>(i) * recordLength;
        SeedFixedHeader h;
        std::memcpy(&h, r, sizeof h);
        h.Beginning_of_data = kSeedBeginningOfData;
        h.First_blockette = kSeedFirstBlockette;
        h.Number_of_blockettes_follow = 1;
        std::memcpy(r, &h, sizeof h);
        for (size_t off :
             {offsetof(SeedFixedHeader, year), offsetof(SeedFixedHeader, day),
              offsetof(SeedFixedHeader, fract), offsetof(SeedFixedHeader, Number_of_samples),
              offsetof(SeedFixedHeader, Sample_rate_factor),
              offsetof(SeedFixedHeader, Sample_rate_multiplier),
              offsetof(SeedFixedHeader, Beginning_of_data),
              offsetof(SeedFixedHeader, First_blockette), size_t{48}})
            swap16_at(r + off);
        swap32_at(r + offsetof(SeedFixedHeader, Time_correction));
    }
}

unsigned steim2Compress(const int32_t* samples, int count, const SeedFixedHeader& tmpl,
                        int recordLength, uint8_t* out, int blocketteCount, int blocketteLength,
                        const uint8_t* blockettes) {
    if (samples == nullptr || out == nullptr || count <= 0 || recordLength < 2 * kSeedFrameLength)
        return 0;
    Encoder e{out,        recordLength,   recordLength / kSeedFrameLength,
              blockettes, blocketteCount, blocketteLength};
    e.sampleRate = sampleRateOf(tmpl.Sample_rate_factor, tmpl.Sample_rate_multiplier);
    e.header = tmpl;
    e.header.Data_header_indicator = 'D';
    e.header.Reserved_bytes_A = ' ';
    e.header.Reserved_bytes_B[0] = ' ';
    e.header.Reserved_bytes_B[1] = ' ';
    e.reset_counts();

    // The difference chain is fixed by the samples (the first difference is
    // the first sample), so each word takes the longest run of differences
    // that still fits the word of its widest class: the greedy grouping,
    // without stepping back over the sample that does not fit.
    int i = 0;
    while (i < count) {
        if (e.firstSample) {
            e.x0 = samples[i];
            e.firstSample = false;
        }
        if (i + 7 <= count) {
            // Quiet signals: seven 4-bit differences make most words.
            uint32_t word = 0x80000000u;  // dnib 10
            bool small = true;
            int32_t prev = i > 0 ? samples[i - 1] : 0;
            for (int j = 0; j < 7; ++j) {
                const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(samples[i + j]) -
                                                       static_cast<uint32_t>(prev));
                prev = samples[i + j];
                if (static_cast<uint32_t>(d + 8) >= 16u) {
                    small = false;
                    break;
                }
                word |= (static_cast<uint32_t>(d) & 0xFu) << (4 * (6 - j));
            }
            if (small) {
                i += 7;
                e.previousSample = samples[i - 1];
                e.header.Number_of_samples = static_cast<uint16_t>(e.header.Number_of_samples + 7);
                e.place_word(3, word);
                continue;
            }
        }
        int t = 0;
        int m = 0;
        while (i + m < count && m < 7) {
            const int j = i + m;
            const int32_t d =
                static_cast<int32_t>(static_cast<uint32_t>(samples[j]) -
                                     static_cast<uint32_t>(j > 0 ? samples[j - 1] : 0));
            const int k = difference_class(d);
            const int wider = k > t ? k : t;
            if (m > 0 && (k > 6 || m >= 8 - wider)) break;
            e.group[m++] = d;
            t = wider;
            if (m >= 8 - t) break;
        }
        e.m = m;
        i += m;
        e.previousSample = samples[i - 1];
        e.emit_group();
    }
    if (e.m > 0) e.emit_group();
    if (e.header.Number_of_samples != 0) {
        put_be32(e.word_at(e.frameIndex, 0), e.codeWord);
        e.close_record();
    }
    finishRecordHeaders(out, recordLength, e.recordCount);
    return e.recordCount;
}

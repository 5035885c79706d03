#include "seed/steim2.h"

#include <bit>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "common/calendar.h"

namespace {

void put_be32(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
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

// The state of one run of blocks: the current frame's words go to
// word_at(frameIndex, wordIndex), and a block closes when its frames are
// full or the samples end.
struct FrameEncoder {
    uint8_t* out;
    size_t blockStride;
    int framesPerBlock;
    int maxBlocks;
    Steim2BlockDone done;
    void* context;

    bool firstSample = true;
    int32_t x0 = 0;
    int32_t previousSample = 0;
    uint32_t codeWord = 0;
    int frameIndex = 0;
    int wordIndex = 3;  // words 1 and 2 of a block's first frame are X0 and Xn
    int blocks = 0;
    int blockSamples = 0;
    size_t blockOffset = 0;  // bytes

    uint8_t* word_at(int frame, int word) {
        return out + blockOffset + static_cast<size_t>(frame) * kSeedFrameLength + word * 4;
    }

    void close_block() {
        put_be32(out + blockOffset + 4, static_cast<uint32_t>(x0));
        put_be32(out + blockOffset + 8, static_cast<uint32_t>(previousSample));
        const int frames = frameIndex + (wordIndex > 1 ? 1 : 0);
        if (done != nullptr) done(context, blockSamples, frames);
        firstSample = true;
        ++blocks;
        blockOffset = static_cast<size_t>(blocks) * blockStride;
        blockSamples = 0;
        frameIndex = 0;
        wordIndex = 3;
        codeWord = 0;
    }

    // The frame's sixteenth word is placed: its code word goes in word 0.
    void close_frame() {
        put_be32(word_at(frameIndex, 0), codeWord);
        wordIndex = 1;
        ++frameIndex;
        codeWord = 0;
        if (frameIndex >= framesPerBlock) close_block();
    }
};

// A miniSEED 2 record's header and blockettes, written as its frames close.
struct RecordHeaders {
    uint8_t* out;
    int recordLength;
    const uint8_t* blockettes;
    int blocketteLength;
    unsigned recordCount = 0;
    double sampleRate = 1.0;
    double timeFraction = 0.0;
    SeedFixedHeader header{};
};

void record_done(void* context, int samples, int) {
    auto& r = *static_cast<RecordHeaders*>(context);
    uint8_t* record = r.out + static_cast<size_t>(r.recordCount) * r.recordLength;
    r.header.Number_of_samples = static_cast<uint16_t>(samples);
    std::memcpy(record, &r.header, sizeof r.header);
    if (r.blocketteLength > 0 && r.blockettes != nullptr)
        std::memcpy(record + kSeedFirstBlockette, r.blockettes,
                    static_cast<size_t>(r.blocketteLength));
    ++r.recordCount;
    advanceRecordHeader(r.header, r.sampleRate, r.timeFraction);
}

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

namespace {

// Each word takes the longest run of differences that still fits the word
// of its widest class: with c = 8 - class, a run of L fits when every one
// of its differences has c >= L. The caps are computed ahead for a window
// of samples, so that choosing a word is a prefix minimum, not a search.
constexpr int kWindow = 512;

// Cap of each difference: 8 minus its class (1..7); past the samples, 0.
// Also the differences cut to bytes (saturated), for words of seven 4-bit ones.
// Returns whether every cap is 7: differences of quiet and constant signals.
bool difference_caps(const int32_t* samples, int from, int n, int32_t* diffs, uint8_t* caps,
                     int8_t* bytes) {
    int j = 0;
#ifdef __SSE2__
    // On differences saturated to 16 bits (the classes above 6 stay above
    // 6), a signed compare of d + lo - 2^15 against (width - 1) - 2^15 is
    // the unsigned range test lo <= d < lo + width, one per class bound.
    const auto bound = [](int lo) { return _mm_set1_epi16(static_cast<int16_t>(lo - 32768)); };
    const __m128i bias[6] = {bound(8), bound(16), bound(32), bound(128), bound(511), bound(16383)};
    const __m128i limit[6] = {bound(15),  bound(31),   bound(63),
                              bound(255), bound(1022), bound(32766)};
    const __m128i seven = _mm_set1_epi16(7);
    __m128i below_seven = _mm_setzero_si128();  // caps are at most 7: AND, then compare
    if (from == 0 && n > 0) {                   // the first difference is the first sample
        diffs[0] = samples[0];
        caps[0] = static_cast<uint8_t>(8 - difference_class(samples[0]));
        bytes[0] = static_cast<int8_t>(samples[0] < -128  ? -128
                                       : samples[0] > 127 ? 127
                                                          : samples[0]);
        j = 1;
    }
    for (; j + 16 <= n; j += 16) {
        const int32_t* s = samples + from + j;
        __m128i d[4];
        for (int q = 0; q < 4; ++q) {
            d[q] = _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * q)),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * q - 1)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(diffs + j + 4 * q), d[q]);
        }
        const __m128i h0 = _mm_packs_epi32(d[0], d[1]);
        const __m128i h1 = _mm_packs_epi32(d[2], d[3]);
        const __m128i wide0 = _mm_cmpgt_epi16(_mm_add_epi16(h0, bias[0]), limit[0]);
        const __m128i wide1 = _mm_cmpgt_epi16(_mm_add_epi16(h1, bias[0]), limit[0]);
        __m128i c0 = _mm_add_epi16(seven, wide0);
        __m128i c1 = _mm_add_epi16(seven, wide1);
        // Quiet signals: all sixteen fit 4 bits, and the other bounds need
        // no test.
        if (_mm_movemask_epi8(_mm_or_si128(wide0, wide1)) != 0) {
#pragma GCC unroll 5
            for (int k = 1; k < 6; ++k) {
                c0 = _mm_add_epi16(c0, _mm_cmpgt_epi16(_mm_add_epi16(h0, bias[k]), limit[k]));
                c1 = _mm_add_epi16(c1, _mm_cmpgt_epi16(_mm_add_epi16(h1, bias[k]), limit[k]));
            }
            below_seven = _mm_or_si128(below_seven, _mm_xor_si128(_mm_and_si128(c0, c1), seven));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(caps + j), _mm_packus_epi16(c0, c1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + j), _mm_packs_epi16(h0, h1));
    }
#endif
    const int j_scalar = j;
    for (; j < n; ++j) {
        const int i = from + j;
        const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(samples[i]) -
                                               static_cast<uint32_t>(i > 0 ? samples[i - 1] : 0));
        diffs[j] = d;
        caps[j] = static_cast<uint8_t>(8 - difference_class(d));
        bytes[j] = static_cast<int8_t>(d < -128 ? -128 : d > 127 ? 127 : d);
    }
    bool all_seven = true;
#ifdef __SSE2__
    all_seven = _mm_movemask_epi8(_mm_cmpeq_epi8(below_seven, _mm_setzero_si128())) == 0xFFFF;
#endif
    for (int k = j_scalar; k < n; ++k) all_seven = all_seven && caps[k] == 7;
    if (from == 0 && n > 0) all_seven = all_seven && caps[0] == 7;
    std::memset(caps + n, 0, 32);
    std::memset(bytes + n, 0, 16);
    std::memset(diffs + n, 0, 8 * sizeof *diffs);
    return all_seven;
}

// Length of the word that starts at caps: the largest L (1..7) with every
// one of the first L caps at least L.
inline int run_length(const uint8_t* caps) {
#ifdef __SSE2__
    __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(caps));
    // Prefix minimum over the bytes; the shifted-in bytes are 0xFF.
    v = _mm_min_epu8(v, _mm_or_si128(_mm_slli_epi64(v, 8), _mm_cvtsi32_si128(0xFF)));
    v = _mm_min_epu8(v, _mm_or_si128(_mm_slli_epi64(v, 16), _mm_cvtsi32_si128(0xFFFF)));
    v = _mm_min_epu8(v, _mm_or_si128(_mm_slli_epi64(v, 32), _mm_cvtsi32_si128(-1)));
    const __m128i lengths = _mm_setr_epi8(1, 2, 3, 4, 5, 6, 7, -1, 0, 0, 0, 0, 0, 0, 0, 0);
    const int fits = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, lengths), v)) & 0x7F;
    // The lengths that fit are 1..L: the lowest clear bit is bit L.
    return __builtin_ctz(~static_cast<unsigned>(fits));
#else
    int low = caps[0];
    int length = 1;
    for (int l = 2; l <= 7; ++l) {
        low = caps[l - 1] < low ? caps[l - 1] : low;
        if (low < l) break;
        length = l;
    }
    return length;
#endif
}

// Word layout by run length L (index L - 1): bits per difference, dnib
// bits, code; the run goes out in the class that carries exactly L.
struct WordClass {
    uint32_t dnib;
    uint32_t code;
    uint32_t mask[7];   // per position: the difference's bits, 0 past L
    uint32_t scale[7];  // per position: 2 to the power of its shift
};

constexpr WordClass make_class(int length, int bits, uint32_t dnib, uint32_t code) {
    WordClass w{dnib, code, {}, {}};
    for (int j = 0; j < length; ++j) {
        w.mask[j] = bits == 32 ? ~0u : (1u << bits) - 1u;
        w.scale[j] = 1u << (bits * (length - 1 - j));
    }
    return w;
}

constexpr WordClass kWordClasses[7] = {
    make_class(1, 30, 0x40000000u, 2),  // dnib 01: 1 x 30 bits
    make_class(2, 15, 0x80000000u, 2),  // dnib 10: 2 x 15 bits
    make_class(3, 10, 0xC0000000u, 2),  // dnib 11: 3 x 10 bits
    make_class(4, 8, 0x00000000u, 1),   // 4 x 8 bits, no dnib
    make_class(5, 6, 0x00000000u, 3),   // dnib 00: 5 x 6 bits
    make_class(6, 5, 0x40000000u, 3),   // dnib 01: 6 x 5 bits
    make_class(7, 4, 0x80000000u, 3),   // dnib 10: 7 x 4 bits
};

// Word length at every position p < n of the window: the choice of a word
// depends only on the caps from p on, so it is made for all positions at
// once, and the walk from word to word is a single load and add.
void run_lengths(const uint8_t* caps, int n, uint8_t* lengths) {
    int p = 0;
#ifdef __SSE2__
    for (; p < n; p += 16) {
        __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(caps + p));
        __m128i count = _mm_setzero_si128();
#pragma GCC unroll 7
        for (int l = 1; l <= 7; ++l) {
            if (l > 1)
                low = _mm_min_epu8(
                    low, _mm_loadu_si128(reinterpret_cast<const __m128i*>(caps + p + l - 1)));
            const __m128i want = _mm_set1_epi8(static_cast<char>(l));
            // Lengths that fit are 1..L, so counting them gives L.
            count = _mm_sub_epi8(count, _mm_cmpeq_epi8(_mm_max_epu8(low, want), low));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lengths + p), count);
    }
#endif
    for (; p < n; ++p) lengths[p] = static_cast<uint8_t>(run_length(caps + p));
}

// Seven 4-bit differences (bytes b0..b6, little-endian in x) as one word,
// b0 in the highest nibble after the dnib: the nibbles are gathered pairwise.
inline uint32_t seven_nibbles(uint64_t x) {
    uint64_t y = __builtin_bswap64(x & 0x000F0F0F0F0F0F0Full);  // b0 in the top byte
    y = (y | (y >> 4)) & 0x00FF00FF00FF00FFull;
    y = (y | (y >> 8)) & 0x0000FFFF0000FFFFull;
    y = (y | (y >> 16)) & 0xFFFFFFFFull;
    return 0x80000000u | static_cast<uint32_t>(y >> 4);  // dnib 10
}

}  // namespace

int steim2EncodeFrames(const int32_t* samples, int count, int framesPerBlock, uint8_t* out,
                       size_t blockStride, int maxBlocks, Steim2BlockDone done, void* context) {
    if (samples == nullptr || out == nullptr || count <= 0 || framesPerBlock < 1 || maxBlocks < 1)
        return 0;
    FrameEncoder e{out, blockStride, framesPerBlock, maxBlocks, done, context};
    // The window's differences and caps, with room for a run that starts
    // at its last position (7 more) and the zero caps after the samples.
    int32_t diffs[kWindow + 16];
    uint8_t caps[kWindow + 48];
    int8_t bytes[kWindow + 32];
    uint8_t lengths[kWindow + 16];
    int i = 0;
    while (i < count) {
        const int n = count - i < kWindow + 7 ? count - i : kWindow + 7;
        // A full window of caps 7 (quiet signals) is all seven-difference
        // words: no lengths to compute.
        const bool sevens = difference_caps(samples, i, n, diffs, caps, bytes) && n == kWindow + 7;
        const int stop = i + (n < kWindow ? n : kWindow);
        if (!sevens) run_lengths(caps, stop - i, lengths);
        int j = 0;
        while (i < stop) {
            if (e.firstSample) {
                e.x0 = samples[i];
                e.firstSample = false;
            }
            // The rest of the current frame in locals: stores through `out`
            // would otherwise make the compiler reload the encoder's state.
            uint8_t* frame = e.word_at(e.frameIndex, 0);
            int w = e.wordIndex;
            // Codes shift in from the right; word 15's lands in bits 1-0.
            uint32_t codes = e.codeWord >> (2 * (16 - w));
            int added = 0;
            while (w < 16 && i < stop) {
                const int length = sevens ? 7 : lengths[j];
                const int32_t* d = diffs + j;
                auto bits = [d](int k, int width) {
                    return static_cast<uint32_t>(d[k]) & ((1u << width) - 1u);
                };
                uint32_t code = 3;
                uint32_t word;
                // Wide differences come in runs of 1 to 3 whose lengths vary
                // from word to word: packed without a branch on the length.
                // The longer runs of quieter signals repeat their length, so
                // a jump on it is well predicted.
                if (length <= 3) {
                    const WordClass& c = kWordClasses[length - 1];
                    code = 2;
                    word = c.dnib | (static_cast<uint32_t>(d[0]) & c.mask[0]) * c.scale[0] |
                           (static_cast<uint32_t>(d[1]) & c.mask[1]) * c.scale[1] |
                           (static_cast<uint32_t>(d[2]) & c.mask[2]) * c.scale[2];
                } else {
                    switch (length) {
                        case 7: {
                            uint64_t x;  // quiet signals: seven 4-bit differences
                            std::memcpy(&x, bytes + j, 8);
                            word = seven_nibbles(x);
                            break;
                        }
                        case 6:  // dnib 01: six 5-bit differences
                            word = 0x40000000u | bits(0, 5) << 25 | bits(1, 5) << 20 |
                                   bits(2, 5) << 15 | bits(3, 5) << 10 | bits(4, 5) << 5 |
                                   bits(5, 5);
                            break;
                        case 4: {
                            uint32_t x;  // four 8-bit differences, in order
                            std::memcpy(&x, bytes + j, 4);
                            word = __builtin_bswap32(x);
                            code = 1;
                            break;
                        }
                        default:  // 5, dnib 00: five 6-bit differences
                            word = bits(0, 6) << 24 | bits(1, 6) << 18 | bits(2, 6) << 12 |
                                   bits(3, 6) << 6 | bits(4, 6);
                            break;
                    }
                }
                codes = (codes << 2) | code;
                put_be32(frame + 4 * w, word);
                ++w;
                i += length;
                j += length;
                added += length;
            }
            e.previousSample = samples[i - 1];
            e.blockSamples += added;
            e.codeWord = w < 16 ? codes << (2 * (16 - w)) : codes;
            e.wordIndex = w;
            if (w == 16) {
                e.close_frame();
                if (e.blocks >= e.maxBlocks) return i;
            }
        }
    }
    if (e.blockSamples != 0) {
        if (e.wordIndex > 1) put_be32(e.word_at(e.frameIndex, 0), e.codeWord);
        e.close_block();
    }
    return i;
}

unsigned steim2Compress(const int32_t* samples, int count, const SeedFixedHeader& tmpl,
                        int recordLength, uint8_t* out, int, int blocketteLength,
                        const uint8_t* blockettes) {
    if (samples == nullptr || out == nullptr || count <= 0 || recordLength < 2 * kSeedFrameLength)
        return 0;
    RecordHeaders r{out, recordLength, blockettes, blocketteLength};
    r.sampleRate = sampleRateOf(tmpl.Sample_rate_factor, tmpl.Sample_rate_multiplier);
    r.header = tmpl;
    r.header.Data_header_indicator = 'D';
    r.header.Reserved_bytes_A = ' ';
    r.header.Reserved_bytes_B[0] = ' ';
    r.header.Reserved_bytes_B[1] = ' ';
    // Frame 0 holds the header and blockettes (their counts and offsets are
    // set when the headers are finished); the data frames follow it.
    steim2EncodeFrames(samples, count, recordLength / kSeedFrameLength - 1,
                       out + kSeedBeginningOfData, static_cast<size_t>(recordLength), INT_MAX,
                       record_done, &r);
    finishRecordHeaders(out, recordLength, r.recordCount);
    return r.recordCount;
}

// The encoder's records read back by libmseed: samples, integrity, headers,
// and the exact words of the format for the cases where they are fixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <random>

#include "mseed_check.h"

namespace {

double epoch(int y, int mon, int d, int h, int mi, int s) {
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<double>(timegm(&tm));
}

uint32_t word_at(const std::vector<uint8_t>& r, int frame, int word) {
    return static_cast<uint32_t>(be32_at(&r[frame * 64 + word * 4]));
}

// Decodes every record and checks samples, X0/Xn, sequence numbers, start
// times and codes against the input.
void expect_round_trip(const std::vector<int32_t>& in, double rate = 100.0) {
    const double start = epoch(2004, 5, 17, 13, 5, 7) + 0.25;
    const auto h = make_template("ABC", "SHZ", static_cast<int16_t>(rate), 1, start);
    const auto records = encode(in, h);
    ASSERT_EQ(records.empty(), in.empty());
    std::vector<int32_t> out;
    for (size_t i = 0; i < records.size(); ++i) {
        const Decoded d = mseed_decode(records[i].data());
        ASSERT_TRUE(d.ok) << "record " << i;
        EXPECT_EQ(d.diagnostics, "") << "record " << i;
        EXPECT_EQ(d.encoding, DE_STEIM2);
        EXPECT_EQ(d.reclen, 512);
        EXPECT_EQ(d.station, "ABC");
        EXPECT_EQ(d.channel, "SHZ");
        EXPECT_EQ(d.location, "");
        EXPECT_EQ(d.sequence, static_cast<int>(11 + i));
        EXPECT_DOUBLE_EQ(d.rate, rate);
        ASSERT_FALSE(d.samples.empty());
        EXPECT_EQ(be32_at(&records[i][kSeedX0Offset]), d.samples.front());
        EXPECT_EQ(be32_at(&records[i][kSeedXnOffset]), d.samples.back());
        // Start = first sample time, within one header tick of the exact value.
        const double expected = start + static_cast<double>(out.size()) / rate;
        EXPECT_NEAR(static_cast<double>(d.start) / HPTMODULUS, expected, 1.01e-4) << "record " << i;
        EXPECT_LE(d.samples.size(), 721u);
        if (i + 1 < records.size()) {
            EXPECT_GE(d.samples.size(), 103u);
        }
        out.insert(out.end(), d.samples.begin(), d.samples.end());
    }
    EXPECT_EQ(out, in);
}

const int32_t kClassLimit[8] = {0, 7, 15, 31, 127, 511, 16383, (1 << 29) - 1};

std::vector<int32_t> random_walk(int n, int cls, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> step(-kClassLimit[cls], kClassLimit[cls]);
    std::vector<int32_t> v(static_cast<size_t>(n));
    int64_t x = 0;
    for (auto& s : v) {
        int32_t d = step(rng);
        // Keep class-7 walks inside 32 bits and every difference inside 30.
        if (x + d > (1 << 28) || x + d < -(1 << 28)) d = -d;
        x += d;
        s = static_cast<int32_t>(x);
    }
    return v;
}

TEST(Steim2RoundTrip, RandomWalksOfEveryClass) {
    for (int cls = 1; cls <= 7; ++cls)
        for (int n : {1, 2, 3, 6, 7, 8, 50, 103, 104, 720, 721, 722, 1000, 2048}) {
            SCOPED_TRACE("class " + std::to_string(cls) + " n " + std::to_string(n));
            expect_round_trip(random_walk(n, cls, static_cast<uint32_t>(cls * 7919 + n)));
        }
}

TEST(Steim2RoundTrip, MixedClassesAndLongRuns) {
    std::mt19937 rng(42);
    std::vector<int32_t> v;
    int32_t x = 30000;
    for (int i = 0; i < 100000; ++i) {
        const int cls = 1 + static_cast<int>(rng() % 6);
        std::uniform_int_distribution<int32_t> step(-kClassLimit[cls], kClassLimit[cls]);
        x = std::clamp(x + step(rng), 0, 65535);
        v.push_back(x);
    }
    expect_round_trip(v, 20.0);
}

TEST(Steim2RoundTrip, ConstantAndFullScaleSignals) {
    expect_round_trip(std::vector<int32_t>(5000, 0));
    expect_round_trip(std::vector<int32_t>(5000, 1000));
    expect_round_trip(std::vector<int32_t>(5000, 65535));
    std::vector<int32_t> alt;
    for (int i = 0; i < 3001; ++i) alt.push_back(i % 2 ? 65535 : 0);
    expect_round_trip(alt);
    // Boundary differences of every class, in one run.
    std::vector<int32_t> edges;
    int32_t x = 0;
    for (int rep = 0; rep < 50; ++rep)
        for (int32_t d : {7, -8, 15, -16, 31, -32, 127, -128, 511, -511, -512, 16383, -16383,
                          -16384, 16384, 0, 1})
            edges.push_back(x += d);
    expect_round_trip(edges);
}

TEST(Steim2RoundTrip, SlowAndFractionalRates) {
    // factor 1, multiplier -10: 0.1 samples per second.
    const auto h = make_template("ABC", "LHZ", 1, -10, epoch(2010, 1, 1, 0, 0, 0));
    const auto records = encode(random_walk(2000, 4, 9), h);
    ASSERT_GT(records.size(), 2u);
    const Decoded a = mseed_decode(records[0].data());
    const Decoded b = mseed_decode(records[1].data());
    EXPECT_DOUBLE_EQ(a.rate, 0.1);
    EXPECT_EQ(b.start - a.start, static_cast<hptime_t>(a.samples.size()) * 10 * HPTMODULUS);
}

TEST(Steim2Layout, ZeroSamplesWriteNothing) {
    std::vector<uint8_t> out(512, 0xAB);
    const auto h = make_template("ABC", "SHZ", 100, 1, 0);
    const auto b = blockette1000();
    int32_t dummy = 0;
    EXPECT_EQ(steim2Compress(&dummy, 0, h, 512, out.data(), 1, 8, b.data()), 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(512, 0xAB));
}

TEST(Steim2Layout, WordValues) {
    const auto h = make_template("ABC", "SHZ", 100, 1, 0);
    // The first difference is the first sample: 1000 then zeros.
    auto r = encode(std::vector<int32_t>(20, 1000), h).at(0);
    EXPECT_EQ(word_at(r, 1, 3), 0x81F40000u);  // 2 x 15 bits: 1000, 0
    EXPECT_EQ(word_at(r, 1, 4), 0x80000000u);  // 7 x 4 bits of zeros
    // Differences 1, -1, 2, 0, 3, -4, 7 make one 7 x 4-bit word.
    r = encode({1, 0, 2, 2, 5, 1, 8}, h).at(0);
    EXPECT_EQ(word_at(r, 1, 3), 0x81F203C7u);
    EXPECT_EQ(word_at(r, 1, 0), 3u << 24);
    // 3, 3, 3 cut off by 200: one 3 x 10-bit word, then 200 alone.
    r = encode({3, 6, 9, 209}, h).at(0);
    EXPECT_EQ(word_at(r, 1, 3), 0xC0300C03u);
    EXPECT_EQ(word_at(r, 1, 4), 0x40000000u | 200u);
    EXPECT_EQ(word_at(r, 1, 0), (2u << 24) | (2u << 22));
    EXPECT_EQ(be32_at(&r[kSeedX0Offset]), 3);
    EXPECT_EQ(be32_at(&r[kSeedXnOffset]), 209);
    // The rest of the frame and every later frame stay zero.
    for (int i = 5 * 4 + 64; i < 512; ++i) ASSERT_EQ(r[i], 0) << i;
}

TEST(Steim2Layout, ClassBoundaries) {
    const auto h = make_template("ABC", "SHZ", 100, 1, 0);
    // -512 is class 6: (0, -512) fill a 2 x 15 word, the last 0 goes alone.
    auto r = encode({0, -512, -512}, h).at(0);
    EXPECT_EQ(word_at(r, 1, 3), 0x80000000u | (static_cast<uint32_t>(-512) & 0x7FFF));
    EXPECT_EQ(word_at(r, 1, 4), 0x40000000u);
    // 511 is class 5: three differences in one 3 x 10 word.
    r = encode({0, 511, 511}, h).at(0);
    EXPECT_EQ(word_at(r, 1, 3), 0xC0000000u | (511u << 10));
    // -16384 is class 7 and joins nothing.
    r = encode({0, -16384}, h).at(0);
    EXPECT_EQ(word_at(r, 1, 3), 0x40000000u);
    EXPECT_EQ(word_at(r, 1, 4), 0x40000000u | (static_cast<uint32_t>(-16384) & 0x3FFFFFFF));
    // 16383 is class 6.
    r = encode({0, 16383}, h).at(0);
    EXPECT_EQ(word_at(r, 1, 3), 0x80000000u | 16383u);
}

TEST(Steim2Layout, ExactlyOneFullRecord) {
    const auto h = make_template("ABC", "SHZ", 100, 1, 0);
    const auto v = random_walk(721, 1, 5);
    std::vector<int32_t> small = v;
    small[0] = 3;  // the first difference must be class 1 as well
    for (size_t i = 1; i < small.size(); ++i) small[i] = small[i - 1] + ((i * 5) % 15) - 7;
    const auto records = encode(small, h);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(word_at(records[0], 1, 0), 0x03FFFFFFu);
    for (int f = 2; f < 8; ++f) EXPECT_EQ(word_at(records[0], f, 0), 0x3FFFFFFFu);
    const Decoded d = mseed_decode(records[0].data());
    EXPECT_EQ(d.samples, small);
    EXPECT_EQ(d.diagnostics, "");
}

TEST(Steim2Layout, FinishedHeaderBytes) {
    const auto h = make_template("ABC", "SHZ", 100, 1, epoch(2004, 5, 17, 13, 5, 7));
    const auto r = encode(std::vector<int32_t>(10, 5), h).at(0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data()), 20), "000011D ABC    SHZ  ");
    EXPECT_EQ(r[20], 2004 >> 8);
    EXPECT_EQ(r[21], 2004 & 0xFF);
    EXPECT_EQ(r[30], 0);
    EXPECT_EQ(r[31], 10);  // Number_of_samples, big-endian
    EXPECT_EQ(r[39], 1);
    EXPECT_EQ(r[44] * 256 + r[45], 64);
    EXPECT_EQ(r[46] * 256 + r[47], 48);
    EXPECT_EQ(r[48] * 256 + r[49], 1000);
    EXPECT_EQ(r[52], 11);
    EXPECT_EQ(r[53], 1);
    EXPECT_EQ(r[54], 9);
}

SeedFixedHeader at(int year, int day, int h, int m, int s, int fract, int samples) {
    SeedFixedHeader x{};
    std::memcpy(x.SequenceNumber, "000011", 6);
    x.year = static_cast<uint16_t>(year);
    x.day = static_cast<uint16_t>(day);
    x.hours = static_cast<uint8_t>(h);
    x.minutes = static_cast<uint8_t>(m);
    x.seconds = static_cast<uint8_t>(s);
    x.fract = static_cast<uint16_t>(fract);
    x.Number_of_samples = static_cast<uint16_t>(samples);
    return x;
}

TEST(AdvanceRecordHeader, MidnightAndYearEnds) {
    double frac = 0;
    auto h = at(2003, 365, 23, 59, 59, 9990, 20);  // common year: day 365 is the last
    advanceRecordHeader(h, 20.0, frac);
    EXPECT_EQ(h.year, 2004);
    EXPECT_EQ(h.day, 1);
    EXPECT_EQ(h.hours, 0);
    EXPECT_EQ(h.seconds, 0);
    EXPECT_EQ(h.fract, 9990);
    EXPECT_EQ(std::string(h.SequenceNumber, 6), "000012");

    h = at(2004, 365, 23, 59, 59, 0, 100);  // leap year: day 366 follows
    advanceRecordHeader(h, 100.0, frac);
    EXPECT_EQ(h.year, 2004);
    EXPECT_EQ(h.day, 366);
    h.Number_of_samples = 100;
    h.hours = 23;
    h.minutes = 59;
    h.seconds = 59;
    advanceRecordHeader(h, 100.0, frac);
    EXPECT_EQ(h.year, 2005);
    EXPECT_EQ(h.day, 1);

    h = at(2000, 366, 23, 0, 0, 0, 7200);  // 2000 is a leap year (divisible by 400)
    advanceRecordHeader(h, 1.0, frac);
    EXPECT_EQ(h.year, 2001);
    EXPECT_EQ(h.day, 1);
    EXPECT_EQ(h.hours, 1);
}

TEST(AdvanceRecordHeader, CarriesSubTickFractions) {
    double frac = 0;
    auto h = at(2010, 10, 0, 0, 0, 0, 1);
    for (int i = 0; i < 3; ++i) {
        h.Number_of_samples = 1;
        advanceRecordHeader(h, 3.0, frac);  // 3333.33 ticks each
    }
    EXPECT_EQ(h.seconds, 1);
    EXPECT_EQ(h.fract, 0);
    EXPECT_EQ(std::string(h.SequenceNumber, 6), "000014");
}

TEST(SampleRate, SeedRule) {
    EXPECT_DOUBLE_EQ(sampleRateOf(20, 1), 20.0);
    EXPECT_DOUBLE_EQ(sampleRateOf(1, -10), 0.1);
    EXPECT_DOUBLE_EQ(sampleRateOf(0, 1), 1.0);
    EXPECT_DOUBLE_EQ(sampleRateOf(5, 0), 1.0);
    EXPECT_DOUBLE_EQ(sampleRateOf(-10, 1), 0.1);
    EXPECT_DOUBLE_EQ(sampleRateOf(-2, -5), 0.1);
}

TEST(HeaderTime, MillisecondRounding) {
    const double noon = epoch(2004, 5, 17, 12, 0, 1);
    SplitTime s = splitEpochSeconds(noon + 0.9996);
    EXPECT_EQ(s.second, 2);
    EXPECT_EQ(s.millisecond, 0);
    EXPECT_EQ(s.dayOfYear, 138);
    s = splitEpochSeconds(noon + 0.0625);  // 62.5 ms: a half rounds up
    EXPECT_EQ(s.millisecond, 63);
    SeedFixedHeader h{};
    setHeaderTime(h, epoch(2003, 12, 31, 23, 59, 59) + 0.25);
    EXPECT_EQ(h.year, 2003);
    EXPECT_EQ(h.day, 365);
    EXPECT_EQ(h.hours, 23);
    EXPECT_EQ(h.fract, 2500);
}

}  // namespace

namespace {

// Guards the checks above: a wrong Xn must show up in libmseed's diagnostics.
TEST(Steim2Layout, IntegrityCheckIsLive) {
    const auto h = make_template("ABC", "SHZ", 100, 1, 0);
    auto r = encode(random_walk(300, 3, 1), h).at(0);
    r[kSeedXnOffset + 3] ^= 1;
    EXPECT_NE(mseed_decode(r.data()).diagnostics, "");
}

// The encoder's output is pinned byte for byte: LISS clients and stored
// records rely on it, and a faster encoder must not change a bit. The hash
// covers runs of every length class and mix, long and short, taken from
// the encoder as it was before it was made fast.
TEST(Steim2Layout, OutputPinnedByteForByte) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a over records and counts
    for (int kind = 0; kind < 7; ++kind) {
        for (uint32_t seed = 0; seed < 40; ++seed) {
            std::mt19937 rng(1234 + kind + seed * 13);
            const int n = seed < 20 ? static_cast<int>(seed) * 37 + 1
                                    : static_cast<int>((seed * 7919) % 5000) + 1;
            std::vector<int32_t> run(static_cast<size_t>(n));
            int32_t x = 32768;
            for (int i = 0; i < n; ++i) {
                // Kinds: quiet, seismic, noisy walks; full scale; constant;
                // any 32-bit value; a walk of a random class at every step.
                const int k = static_cast<int>(rng() % 8);
                const int32_t steps[7] = {
                    static_cast<int32_t>(rng() % 9) - 4,
                    static_cast<int32_t>(rng() % 121) - 60,
                    static_cast<int32_t>(rng() % 4001) - 2000,
                    0,
                    0,
                    0,
                    k == 7
                        ? static_cast<int32_t>(rng())
                        : static_cast<int32_t>(rng() % (1u << (2 + 2 * k))) - (1 << (1 + 2 * k))};
                if (kind == 3) {
                    x = i % 2 * 65535;
                } else if (kind == 5) {
                    x = static_cast<int32_t>(rng());
                } else {
                    x += steps[kind];
                }
                run[static_cast<size_t>(i)] = kind >= 5 ? x : std::clamp(x, 0, 65535);
            }
            const auto h = make_template("ABC", "SHZ", 100, 1, 1.1e9 + seed * 0.37);
            std::vector<uint8_t> out(static_cast<size_t>((n + 102) / 103 + 1) * 512, 0);
            const uint8_t blockette[8] = {0x03, 0xE8, 0, 0, 11, 1, 9, 0};
            const unsigned records =
                steim2Compress(run.data(), n, h, 512, out.data(), 1, 8, blockette);
            for (uint8_t b : out) hash = (hash ^ b) * 1099511628211ull;
            hash = (hash ^ records) * 1099511628211ull;
        }
    }
    EXPECT_EQ(hash, 0xfe3bb1985bb7554dull);
}

}  // namespace

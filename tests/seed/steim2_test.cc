// The encoder's records read back by libmseed: samples, integrity, headers,
// and its output pinned byte for byte. miniSEED 3 records of the same runs:
// every field read back, the CRC by its bit-at-a-time definition, the frames
// by libmseed 2 behind a miniSEED 2 header.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>

#include "common/calendar.h"
#include "mseed_check.h"
#include "seed/mseed3.h"

namespace {

using Ints = std::vector<int>;

const double kStart = calendar_to_seconds(2004, 5, 17, 13, 5, 7) + 0.25;

uint32_t le(const std::vector<uint8_t>& r, size_t at, int bytes) {
    uint32_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) v = v << 8 | r[at + size_t(k)];
    return v;
}

uint32_t crc_bitwise(const uint8_t* p, size_t n) {
    uint32_t c = ~0u;
    for (; n-- > 0; ++p) {
        c ^= *p;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
    }
    return ~c;
}

// The samples as miniSEED 3 records of at most max_bytes, read back; libmseed
// checks each record's last sample against Xn.
std::vector<int32_t> mseed3_round_trip(const std::vector<int32_t>& in, double rate, double start,
                                       size_t max_bytes = 512) {
    const std::string sid = "FDSN:XX_TEST__S_H_Z";
    const size_t data_at = 40 + sid.size();
    const size_t frames = (std::min(max_bytes, kMseed3MaxRecord) - data_at) / 64;
    std::vector<int32_t> out;
    for (size_t at = 0; at < in.size();) {
        const double t = start + double(at) / rate;
        std::vector<uint8_t> r = {0xEE};  // appended after what is there
        const int n =
            append_mseed3_record(sid, rate, t, in.data() + at, int(in.size() - at), max_bytes, r);
        r.erase(r.begin());
        // Full records but the last.
        EXPECT_TRUE(n > 0 && (r.size() == data_at + frames * 64 || at + size_t(n) == in.size()));
        if (n <= 0) break;
        at += size_t(n);
        EXPECT_EQ(mseed3_record_length(r.data(), 40), r.size());
        // "MS", version 3, no flags, Steim-2, publication 2 (quality D), no extra headers.
        EXPECT_EQ(std::vector<uint32_t>({r[0], r[1], r[2], r[3], r[15], le(r, 24, 4), r[32], r[33],
                                         le(r, 34, 2), le(r, 36, 4) % 64}),
                  std::vector<uint32_t>(
                      {'M', 'S', 3, 0, 11, uint32_t(n), 2, uint32_t(sid.size()), 0, 0}));
        EXPECT_EQ(std::string(r.begin() + 40, r.begin() + long(data_at)), sid);
        EXPECT_EQ(std::bit_cast<double>(le(r, 16, 4) | uint64_t(le(r, 20, 4)) << 32), rate);
        // The start to the millisecond, by libmseed's calendar.
        EXPECT_EQ(ms_time2hptime(int(le(r, 8, 2)), int(le(r, 10, 2)), r[12], r[13], r[14],
                                 int(le(r, 4, 4) / 1000)),
                  std::llround(t * 1000) * 1000);
        const uint32_t crc = le(r, 28, 4);
        std::fill(r.begin() + 28, r.begin() + 32, 0);
        EXPECT_EQ(crc, crc_bitwise(r.data(), r.size()));

        std::vector<uint8_t> wrapper(size_t{1} << 15, 0);
        SeedFixedHeader h = make_template("ABC", "SHZ", 100, 1, 1.1e9);
        h.Number_of_samples = uint16_t(n);
        const Blockette1000 b{1000, 0, 11, 1, 15, 0};
        std::memcpy(wrapper.data(), &h, sizeof h);
        std::memcpy(wrapper.data() + kSeedFirstBlockette, &b, sizeof b);
        std::copy(r.begin() + long(data_at), r.end(), wrapper.begin() + kSeedBeginningOfData);
        finishRecordHeaders(wrapper.data(), int(wrapper.size()), 1);
        const Decoded d = mseed_decode(wrapper.data(), int(wrapper.size()));
        EXPECT_EQ(d.diagnostics, "");
        out.insert(out.end(), d.samples.begin(), d.samples.end());
    }
    return out;
}

// Decodes every record and checks samples (libmseed starts from X0 and
// checks Xn), sequence numbers, start times and codes against the input;
// returns the number of records.
size_t expect_round_trip(const std::vector<int32_t>& in, int16_t factor = 100,
                         int16_t multiplier = 1, double start = kStart) {
    const double rate = multiplier > 0 ? factor * multiplier : -double(factor) / multiplier;
    const auto records = encode(in, make_template("ABC", "SHZ", factor, multiplier, start));
    std::vector<int32_t> out;
    for (size_t i = 0; i < records.size(); ++i) {
        const Decoded d = mseed_decode(records[i].data());
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_TRUE(d.ok && d.encoding == DE_STEIM2 && d.reclen == 512 && d.rate == rate);
        EXPECT_EQ(d.diagnostics + d.station + "." + d.channel + "." + std::to_string(d.sequence),
                  "ABC.SHZ." + std::to_string(11 + i));
        if (d.samples.empty()) break;
        // Within one header tick of the first sample's exact time.
        EXPECT_NEAR(double(d.start) / HPTMODULUS, start + out.size() / rate, 1.01e-4);
        EXPECT_LE(d.samples.size(), 721u);
        EXPECT_TRUE(i + 1 == records.size() || d.samples.size() >= 103u);
        out.insert(out.end(), d.samples.begin(), d.samples.end());
    }
    EXPECT_EQ(out, in);
    EXPECT_EQ(mseed3_round_trip(in, rate, start), in);
    return records.size();
}

// Largest difference of each class: 4, 5, 6, 8, 10, 15 and 30 bits; class 0
// mixes classes 1 to 6 inside 16 bits.
std::vector<int32_t> random_walk(int n, int cls, uint32_t seed) {
    const int32_t limit[8] = {0, 7, 15, 31, 127, 511, 16383, (1 << 29) - 1};
    std::mt19937 rng(seed);
    std::vector<int32_t> v;
    for (int64_t x = 0; static_cast<int>(v.size()) < n; v.push_back(static_cast<int32_t>(x))) {
        const int c = cls > 0 ? cls : 1 + static_cast<int>(rng() % 6);
        int64_t d = std::uniform_int_distribution<int32_t>(-limit[c], limit[c])(rng);
        if (cls == 0) d = std::clamp<int64_t>(x + d, 0, 65535) - x;
        x += x + d > (1 << 28) || x + d < -(1 << 28) ? -d : d;  // inside 32 bits
    }
    return v;
}

TEST(Steim2RoundTrip, SignalsOfEveryClassLengthAndRate) {
    for (int cls = 1; cls <= 7; ++cls)
        for (int n : {1, 2, 3, 6, 7, 8, 50, 103, 104, 720, 721, 722, 1000, 2048}) {
            SCOPED_TRACE("class " + std::to_string(cls) + " n " + std::to_string(n));
            const size_t records = expect_round_trip(random_walk(n, cls, cls * 7919 + n));
            EXPECT_TRUE(cls > 1 || records == (n + 720) / 721u);  // 4-bit words fill records
        }
    EXPECT_EQ(expect_round_trip({}), 0u);
    expect_round_trip(random_walk(100000, 0, 42), 20);
    expect_round_trip(random_walk(2000, 4, 9), 1, -10);  // 0.1 samples per second
    expect_round_trip(std::vector<int32_t>(5000, 65535));
    std::vector<int32_t> edges;
    int32_t x = 0;
    for (int rep = 0; rep < 50; ++rep)
        for (int32_t d : {7, -8, 15, -16, 31, -32, 127, -128, 511, -511, -512, 16383, -16383,
                          -16384, 16384, 0, 1})
            edges.push_back(x += d);
    expect_round_trip(edges);
    // Records that begin in the next year, after a common, a leap and a
    // 400th year; at 3 sps a third of a tick is carried to the next record.
    const struct {
        double start;
        int n;
        int16_t factor;
    } year_ends[] = {
        {calendar_to_seconds(2003, 12, 31, 23, 59, 59) + 0.25, 3000, 20},
        {calendar_to_seconds(2004, 12, 31, 23, 59, 0), 20000, 100},
        {calendar_to_seconds(2000, 12, 31, 23, 0, 0), 7200, 1},
        {kStart, 5000, 3},
    };
    for (const auto& y : year_ends)
        expect_round_trip(random_walk(y.n, 4, uint32_t(y.n)), y.factor, 1, y.start);
}

TEST(Mseed3Record, RefusalsLengthsCrcAndSourceIdentifiers) {
    const std::vector<int32_t> s(40000, -7);
    const std::string sid = "FDSN:XX_A__B_H_Z", long_sid(256, 'X');
    std::vector<uint8_t> r;
    // No samples, no rate, a NaN rate, no room for a frame, too long an identifier.
    EXPECT_EQ(append_mseed3_record(sid, 100, 0, s.data(), 0, 4096, r) +
                  append_mseed3_record(sid, 0, 0, s.data(), 3, 4096, r) +
                  append_mseed3_record(sid, NAN, 0, s.data(), 3, 4096, r) +
                  append_mseed3_record(sid, 100, 0, s.data(), 3, 40 + 16 + 63, r) +
                  append_mseed3_record(long_sid, 100, 0, s.data(), 3, 4096, r),
              0);
    EXPECT_TRUE(r.empty());
    // A long constant run, at most the largest record at a time.
    EXPECT_EQ(mseed3_round_trip(s, 0.1, kStart, 1 << 20), s);
    ASSERT_EQ(append_mseed3_record(sid, 100, 0, s.data(), 40000, 1 << 20, r), 255 * 15 * 7 - 14);
    EXPECT_EQ(mseed3_record_length(r.data(), 40), r.size());
    // A short header, version 2, a data length past the largest record.
    EXPECT_EQ(mseed3_record_length(r.data(), 39), 0u);
    r[2] = 2;
    EXPECT_EQ(mseed3_record_length(r.data(), 40), 0u);
    r[2] = 3, r[38] = 1;
    EXPECT_EQ(mseed3_record_length(r.data(), 40), 0u);

    const uint8_t check[] = "123456789";
    EXPECT_EQ(crc32c(check, 9), 0xE3069283u);

    const char* ids[][5] = {{"XX", "STA", "", "SHZ", "FDSN:XX_STA__S_H_Z"},
                            {"XX ", "AB   ", "  ", "BHN", "FDSN:XX_AB__B_H_N"},
                            {"IU", "ANMO", "00", "LH1", "FDSN:IU_ANMO_00_L_H_1"},
                            {nullptr, "STA", nullptr, "HZ", "FDSN:_STA___HZ_"}};
    for (const auto& i : ids) EXPECT_EQ(fdsn_source_id(i[0], i[1], i[2], i[3]), i[4]);
}

TEST(RecordHeader, TimesRoundToTheMillisecondAndBuffersHoldTheWorstCase) {
    const double noon = calendar_to_seconds(2004, 5, 17, 12, 0, 1);
    const SplitTime s = splitEpochSeconds(noon + 0.9996);
    EXPECT_EQ(
        Ints({s.dayOfYear, s.second, s.millisecond, splitEpochSeconds(noon + 0.0625).millisecond}),
        Ints({138, 2, 0, 63}));  // a half rounds up
    // Room for the worst case: a 30-bit word per sample, 103 words a record.
    for (int n : {1, 255, 256, 2048, 100000})
        EXPECT_GE(flushBufferBytes(n), (n + 102) / 103 * 512u);
}

// The encoder's output is pinned byte for byte (LISS clients and stored
// records rely on it): runs of every class mix and length, hashed, the hash
// taken from the encoder before it was made fast.
TEST(Steim2Layout, OutputPinnedByteForByte) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a over records and counts
    for (int kind = 0; kind < 7; ++kind)
        for (uint32_t seed = 0; seed < 40; ++seed) {
            std::mt19937 rng(1234 + kind + seed * 13);
            const int n = seed < 20 ? int(seed) * 37 + 1 : int((seed * 7919) % 5000) + 1;
            std::vector<int32_t> run(static_cast<size_t>(n));
            int32_t x = 32768;
            for (int i = 0; i < n; ++i) {
                // Quiet, seismic, noisy walks; full scale; constant; any 32-bit
                // value; a walk of a random class at every step.
                const int k = int(rng() % 8);
                const int32_t steps[7] = {
                    int32_t(rng() % 9) - 4,
                    int32_t(rng() % 121) - 60,
                    int32_t(rng() % 4001) - 2000,
                    0,
                    0,
                    0,
                    k == 7 ? int32_t(rng())
                           : int32_t(rng() % (1u << (2 + 2 * k))) - (1 << (1 + 2 * k))};
                // A 32-bit walk wraps around, as the encoder's differences do.
                x = kind == 3   ? i % 2 * 65535
                    : kind == 5 ? int32_t(rng())
                                : int32_t(uint32_t(x) + uint32_t(steps[kind]));
                run[size_t(i)] = kind >= 5 ? x : std::clamp(x, 0, 65535);
            }
            const auto h = make_template("ABC", "SHZ", 100, 1, 1.1e9 + seed * 0.37);
            std::vector<uint8_t> out(size_t((n + 102) / 103 + 1) * 512, 0);
            const uint8_t blockette[8] = {0x03, 0xE8, 0, 0, 11, 1, 9, 0};
            const unsigned records =
                steim2Compress(run.data(), n, h, 512, out.data(), 1, 8, blockette);
            for (uint8_t b : out) hash = (hash ^ b) * 1099511628211ull;
            hash = (hash ^ records) * 1099511628211ull;
        }
    EXPECT_EQ(hash, 0xfe3bb1985bb7554dull);
}

}  // namespace

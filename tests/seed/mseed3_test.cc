// miniSEED 3 records read back field by field, with a bitwise CRC-32C and
// the Steim-2 frames decoded by libmseed 2 inside a miniSEED 2 wrapper.
#include "seed/mseed3.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "common/calendar.h"
#include "mseed_check.h"

namespace {

uint32_t le(const std::vector<uint8_t>& r, size_t at, int bytes) {
    uint32_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) v = v << 8 | r[at + size_t(k)];
    return v;
}

// The textbook bit-at-a-time CRC-32C.
uint32_t crc_bitwise(const uint8_t* p, size_t n) {
    uint32_t c = ~0u;
    while (n-- > 0) {
        c ^= *p++;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
    }
    return ~c;
}

// The record's frames behind a miniSEED 2 header of the next power-of-two
// length, decoded by libmseed (which checks the last sample against Xn).
Decoded decode_frames(const std::vector<uint8_t>& r, size_t data_at, int samples) {
    int exponent = 7;
    while ((size_t{1} << exponent) < 64 + r.size() - data_at) ++exponent;
    std::vector<uint8_t> wrapper(size_t{1} << exponent, 0);
    SeedFixedHeader h = make_template("ABC", "SHZ", 100, 1, 1.1e9);
    h.Number_of_samples = uint16_t(samples);
    std::memcpy(wrapper.data(), &h, sizeof h);
    const Blockette1000 b{1000, 0, 11, 1, uint8_t(exponent), 0};
    std::memcpy(wrapper.data() + kSeedFirstBlockette, &b, sizeof b);
    std::copy(r.begin() + long(data_at), r.end(), wrapper.begin() + kSeedBeginningOfData);
    finishRecordHeaders(wrapper.data(), int(wrapper.size()), 1);
    return mseed_decode(wrapper.data(), int(wrapper.size()));
}

std::vector<int32_t> walk(int n, int32_t step, int32_t from, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> v;
    for (int64_t x = from; int(v.size()) < n; v.push_back(int32_t(x))) {
        const int64_t d = std::uniform_int_distribution<int32_t>(-step, step)(rng);
        x += std::abs(x + d) > (1 << 30) ? -d : d;  // inside 32 bits
    }
    return v;
}

std::vector<int32_t> alternate(int n, int32_t a, int32_t b) {
    std::vector<int32_t> v;
    for (int i = 0; i < n; ++i) v.push_back(i % 2 ? b : a);
    return v;
}

TEST(Mseed3Record, FieldsCrcAndSamplesReadBackIndependently) {
    const double t0 = calendar_to_seconds(2024, 12, 31, 23, 59, 58) + 0.1234;
    const struct {
        const char* name;
        std::vector<int32_t> samples;
        double rate;
        size_t max_bytes;
        int most_records;  // a bound that catches records left half empty
    } cases[] = {
        {"quiet", walk(5000, 4, 32768, 1), 100, 4096, 1},
        {"seismic", walk(3000, 60, 32768, 2), 200, 4096, 1},
        {"16-bit extremes", alternate(700, 0, 65535), 100, 1024, 4},
        {"signed 16-bit extremes", alternate(300, -32768, 32767), 20, 2048, 1},
        {"30-bit jumps", walk(400, (1 << 29) - 1, 0, 3), 1, 512, 4},
        {"constant, cut at the largest record", std::vector<int32_t>(40000, -7), 0.1, 1 << 20, 2},
        {"one frame a record", walk(500, 7, 0, 4), 100, 40 + 19 + 127, 7},
        {"one sample", {123456}, 100, 4096, 1},
    };
    const std::string sid = "FDSN:XX_TEST__S_H_Z";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int32_t> decoded;
        int records = 0;
        for (size_t at = 0; at < c.samples.size(); ++records) {
            const double start = t0 + double(at) / c.rate;
            std::vector<uint8_t> r = {0xEE};  // appended after what is there
            const int taken = append_mseed3_record(sid, c.rate, start, c.samples.data() + at,
                                                   int(c.samples.size() - at), c.max_bytes, r);
            ASSERT_GT(taken, 0);
            r.erase(r.begin());
            const size_t data_at = 40 + sid.size();
            const uint32_t data_length = le(r, 36, 4);
            ASSERT_EQ(r.size(), data_at + data_length);
            EXPECT_LE(r.size(), std::min(c.max_bytes, kMseed3MaxRecord));
            EXPECT_EQ(data_length % 64, 0u);
            EXPECT_EQ(mseed3_record_length(r.data(), 40), r.size());
            // "MS", version 3, no flags, Steim-2, publication 1, no extra headers.
            EXPECT_EQ(
                std::vector<uint32_t>({r[0], r[1], r[2], r[3], r[15], r[32], r[33], le(r, 34, 2)}),
                std::vector<uint32_t>({'M', 'S', 3, 0, 11, 1, uint32_t(sid.size()), 0}));
            EXPECT_EQ(std::string(r.begin() + 40, r.begin() + long(data_at)), sid);
            EXPECT_EQ(std::bit_cast<double>(uint64_t(le(r, 16, 4)) | uint64_t(le(r, 20, 4)) << 32),
                      c.rate);
            EXPECT_EQ(le(r, 24, 4), uint32_t(taken));
            // The start, to the millisecond, by libmseed's calendar.
            const uint32_t ns = le(r, 4, 4);
            EXPECT_EQ(ns % 1000000, 0u);
            const hptime_t t = ms_time2hptime(int(le(r, 8, 2)), int(le(r, 10, 2)), r[12], r[13],
                                              r[14], int(ns / 1000));
            EXPECT_EQ(t / 1000, std::llround(start * 1000));
            const uint32_t crc = le(r, 28, 4);
            std::fill(r.begin() + 28, r.begin() + 32, 0);
            EXPECT_EQ(crc, crc_bitwise(r.data(), r.size()));
            const Decoded d = decode_frames(r, data_at, taken);
            EXPECT_EQ(d.diagnostics, "");
            EXPECT_EQ(d.samples.size(), size_t(taken));
            decoded.insert(decoded.end(), d.samples.begin(), d.samples.end());
            at += size_t(taken);
        }
        EXPECT_EQ(decoded, c.samples);
        EXPECT_LE(records, c.most_records);
    }
}

TEST(Mseed3Record, RefusesWhatItCannotWriteAndReadsOnlyVersion3) {
    const std::vector<int32_t> s = {1, 2, 3};
    const struct {
        const char* name;
        std::string sid;
        double rate;
        int count;
        size_t max_bytes;
    } refused[] = {
        {"no samples", "FDSN:XX_A__B_H_Z", 100, 0, 4096},
        {"no rate", "FDSN:XX_A__B_H_Z", 0, 3, 4096},
        {"NaN rate", "FDSN:XX_A__B_H_Z", std::nan(""), 3, 4096},
        {"no room for a frame", "FDSN:XX_A__B_H_Z", 100, 3, 40 + 16 + 63},
        {"identifier too long", std::string(256, 'X'), 100, 3, 4096},
    };
    for (const auto& c : refused) {
        std::vector<uint8_t> out = {1, 2};
        EXPECT_EQ(append_mseed3_record(c.sid, c.rate, 0, s.data(), c.count, c.max_bytes, out), 0)
            << c.name;
        EXPECT_EQ(out, std::vector<uint8_t>({1, 2})) << c.name;
    }
    std::vector<uint8_t> r;
    ASSERT_EQ(append_mseed3_record("FDSN:XX_A__B_H_Z", 100, 0, s.data(), 3, 4096, r), 3);
    EXPECT_EQ(mseed3_record_length(r.data(), 39), 0u);
    r[2] = 2;
    EXPECT_EQ(mseed3_record_length(r.data(), r.size()), 0u);
    r[2] = 3;
    r[38] = 1;  // a data length past the largest record
    EXPECT_EQ(mseed3_record_length(r.data(), r.size()), 0u);

    const uint8_t check[] = "123456789";
    EXPECT_EQ(crc32c(check, 9), 0xE3069283u);
    std::vector<uint8_t> odd(1000);
    for (size_t n : {0, 1, 7, 8, 9, 63, 1000}) {
        for (size_t k = 0; k < n; ++k) odd[k] = uint8_t(k * 131 + n);
        EXPECT_EQ(crc32c(odd.data(), n), crc_bitwise(odd.data(), n)) << n;
    }
}

TEST(Mseed3Record, SourceIdentifiers) {
    const struct {
        const char *net, *sta, *loc, *cha, *want;
    } ids[] = {
        {"XX", "STA", "", "SHZ", "FDSN:XX_STA__S_H_Z"},
        {"XX ", "AB   ", "  ", "BHN", "FDSN:XX_AB__B_H_N"},
        {"IU", "ANMO", "00", "LH1", "FDSN:IU_ANMO_00_L_H_1"},
        {nullptr, "STA", nullptr, "HZ", "FDSN:_STA___HZ_"},
    };
    for (const auto& i : ids) EXPECT_EQ(fdsn_source_id(i.net, i.sta, i.loc, i.cha), i.want);
}

}  // namespace

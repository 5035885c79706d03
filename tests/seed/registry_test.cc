// The stream registry with a real record pipe attached: chunking, gathering,
// gaps, slow channels, and the records that come out, read by libmseed.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "mseed_check.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"

namespace {

static_assert(std::endian::native == std::endian::little);  // words as the station sends them

std::vector<uint16_t> ramp(int n, int from = 0) {
    std::vector<uint16_t> v;
    for (int i = from; i < from + n; ++i) v.push_back(static_cast<uint16_t>(i * 37));
    return v;
}

struct StreamRegistryTest : ::testing::Test {
    StreamRegistry reg;
    RecordPipe pipe{60000};
    std::vector<Decoded> records;
    void SetUp() override { reg.attachPipe(&pipe); }
    ChannelStream* stream(const char* ch) {
        return reg.station(0)->channel(reg.findOrAddChannel(reg.findOrAddStation("ABC"), ch, 0.0));
    }
    void block(const char* ch, double rate, double t, const std::vector<uint16_t>& v,
               const char* station = "ABC") {
        reg.appendBlock(station, ch, rate, t, static_cast<int>(v.size()),
                        reinterpret_cast<const uint8_t*>(v.data()));
    }
    // The samples of the records queued since the last call, in order.
    std::vector<int32_t> drain() {
        std::vector<int32_t> samples;
        for (uint8_t r[512]; pipe.take(r, 512) == 512;) {
            records.push_back(mseed_decode(r));
            EXPECT_EQ(records.back().diagnostics, "");
            samples.insert(samples.end(), records.back().samples.begin(),
                           records.back().samples.end());
        }
        return samples;
    }
};

TEST_F(StreamRegistryTest, LongBlockBecomesChunksOf2048) {
    const auto v = ramp(5000);
    block("SHZ", 100.0, 1000.0, v);
    // Chunks 2048, 2048, 904: each of the first two goes out when the next
    // would pass the continuation limit; the last stays gathered.
    EXPECT_EQ(drain(), std::vector<int32_t>(v.begin(), v.begin() + 4096));
    EXPECT_EQ(stream("SHZ")->sampleCount, 904);
    EXPECT_DOUBLE_EQ(stream("SHZ")->startTime, 1000.0 + 40.96);
    // Each flush starts its sequence at 11; the second one 20.48 s later.
    std::vector<hptime_t> flush_starts;
    for (const Decoded& d : records)
        if (d.sequence == 11) flush_starts.push_back(d.start);
    EXPECT_EQ(flush_starts, (std::vector<hptime_t>{1000000000, 1020480000}));
}

TEST_F(StreamRegistryTest, GapsAndOverlapsFlushOneIntervalDoesNot) {
    // 4 sps: the period 0.25 s is exact, so "exactly one interval" is exact.
    block("SHZ", 4.0, 1000.0, ramp(4));
    block("SHZ", 4.0, 1001.25, ramp(4, 4));  // one interval late: continuous
    EXPECT_EQ(stream("SHZ")->sampleCount, 8);
    EXPECT_EQ(pipe.queuedBytes(), 0);
    block("SHZ", 4.0, 1002.25 + 0.26, ramp(4, 8));  // further: a gap
    EXPECT_EQ(drain().size(), 8u);
    EXPECT_EQ(stream("SHZ")->sampleCount, 4);
    block("SHZ", 4.0, 1000.0, ramp(4, 12));  // overlap: earlier than the end
    EXPECT_EQ(drain().size(), 4u);
    EXPECT_DOUBLE_EQ(stream("SHZ")->startTime, 1000.0);
}

TEST_F(StreamRegistryTest, SlowChannelsBadRatesAndLongNames) {
    block("LHZ", 1.0, 100.0, ramp(10));  // 1 sps: out one block late
    EXPECT_EQ(pipe.queuedBytes(), 0);
    block("LHZ", 1.0, 110.0, ramp(10, 10));
    const auto first = ramp(10);
    EXPECT_EQ(drain(), std::vector<int32_t>(first.begin(), first.end()));
    EXPECT_DOUBLE_EQ(records.at(0).rate, 1.0);

    stream("BHZ");  // registered before its rate is known
    for (double bad : {0.0, -5.0, std::nan("")}) block("BHZ", bad, 100.0, ramp(10));
    EXPECT_EQ(std::vector<double>({stream("BHZ")->sampleRate, double(stream("BHZ")->sampleCount)}),
              std::vector<double>({0, 0}));
    block("BHZ", 20.0, 100.0, ramp(10));
    reg.appendBlock("ABC", "BHZ", 20.0, 100.5, 5, nullptr);
    reg.appendBlock("ABC", "BHZ", 20.0, 100.5, -1, reinterpret_cast<const uint8_t*>(&first[0]));
    EXPECT_EQ(std::vector<double>({stream("BHZ")->sampleRate, double(stream("BHZ")->sampleCount)}),
              std::vector<double>({20, 10}));

    // Long names are cut to their fields; the location stays blank; below
    // 1 sps the rate factor is 0.
    for (double t : {200.0, 300.0}) block("BHZX", 12.5, t, ramp(3), "LONGNAME");
    for (double t : {100.0, 106.0}) block("Z", 0.5, t, ramp(3), "A");
    uint8_t r[512];
    for (const char* head : {"000011D LONGN  BHZ  \x00\x0c", "000011D A      Z    \x00\x00"}) {
        ASSERT_EQ(pipe.take(r, 512), 512);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(r), 20) + char(r[32]) + char(r[33]),
                  std::string(head, 22));
    }
    EXPECT_EQ(mseed_decode(r).samples, (std::vector<int32_t>{0, 37, 74}));
}

}  // namespace

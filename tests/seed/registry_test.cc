// The stream registry with a real record pipe attached: chunking, gathering,
// gaps, slow channels, and the records that come out, read by libmseed.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "mseed_check.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"

namespace {

std::vector<uint16_t> ramp(int n, int from = 0) {
    std::vector<uint16_t> v;
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint16_t>((from + i) * 37));
    return v;
}

struct StreamRegistryTest : ::testing::Test {
    StreamRegistry reg;
    RecordPipe pipe{60000};
    void SetUp() override { reg.attachPipe(&pipe); }
    ChannelStream* stream(const char* ch) {
        const int st = reg.findOrAddStation("ABC");
        return reg.station(st)->channel(reg.findOrAddChannel(st, ch, 0.0));
    }
    // Little-endian words, as they come from the station.
    static_assert(std::endian::native == std::endian::little);
    void block(const char* ch, double rate, double t, const std::vector<uint16_t>& v) {
        reg.appendBlock("ABC", ch, rate, t, static_cast<int>(v.size()),
                        reinterpret_cast<const uint8_t*>(v.data()));
    }
    // Every record queued so far, decoded; their samples one after another.
    std::vector<Decoded> records;
    std::vector<int32_t> drain() {
        std::vector<int32_t> samples;
        uint8_t r[512];
        while (pipe.take(r, 512) == 512) {
            records.push_back(mseed_decode(r));
            EXPECT_TRUE(records.back().ok);
            EXPECT_EQ(records.back().diagnostics, "");
            samples.insert(samples.end(), records.back().samples.begin(), records.back().samples.end());
        }
        return samples;
    }
};

TEST(StreamRegistryNames, LookupsIgnoreCase) {
    StreamRegistry reg;
    EXPECT_EQ(reg.findOrAddStation("abc"), 0);
    EXPECT_EQ(reg.findOrAddStation("ABC"), 0);
    EXPECT_EQ(reg.findOrAddStation("XYZ"), 1);
    EXPECT_EQ(reg.findOrAddChannel(0, "shz", 0.0), 0);
    EXPECT_EQ(reg.findOrAddChannel(0, "SHZ", 50.0), 0);
    EXPECT_EQ(reg.station(0)->channel(0)->sampleRate, 0.0);  // an existing stream is unchanged
    for (int i = 1; i < 100; ++i)
        EXPECT_EQ(reg.findOrAddChannel(0, ("C" + std::to_string(i)).c_str(), 0.0), i);
    EXPECT_EQ(reg.channelCount(0), 100);
    EXPECT_EQ(reg.station(0)->channel(100), nullptr);
    for (int bad : {-1, 7}) {
        EXPECT_EQ(reg.channelCount(bad), 0);
        EXPECT_EQ(reg.findOrAddChannel(bad, "SHZ", 0.0), -1);
    }
    OwnedString s("Abc");
    s = s;
    EXPECT_TRUE(s.equalsIgnoreCase("aBC"));
    EXPECT_FALSE(s.equalsIgnoreCase("abcd"));
    EXPECT_FALSE(s.equalsIgnoreCase(nullptr));
}

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
    EXPECT_EQ(flush_starts, (std::vector<hptime_t>{hptime_t{1000} * HPTMODULUS, hptime_t{102048} * HPTMODULUS / 100}));
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

TEST_F(StreamRegistryTest, SlowChannelGoesOutOneBlockLateAndBadRatesAreSkipped) {
    block("LHZ", 1.0, 100.0, ramp(10));
    EXPECT_EQ(pipe.queuedBytes(), 0);
    block("LHZ", 1.0, 110.0, ramp(10, 10));
    const std::vector<uint16_t> first = ramp(10);
    EXPECT_EQ(drain(), std::vector<int32_t>(first.begin(), first.end()));
    EXPECT_DOUBLE_EQ(records.at(0).rate, 1.0);

    stream("BHZ");  // registered before its rate is known
    for (double bad : {0.0, -5.0, std::nan("")}) block("BHZ", bad, 100.0, ramp(10));
    EXPECT_EQ(stream("BHZ")->sampleCount, 0);
    EXPECT_EQ(stream("BHZ")->sampleRate, 0.0);
    block("BHZ", 20.0, 100.0, ramp(10));
    EXPECT_EQ(stream("BHZ")->sampleRate, 20.0);
    reg.appendBlock("ABC", "BHZ", 20.0, 100.5, 5, nullptr);
    const uint16_t one = 1;
    reg.appendBlock("ABC", "BHZ", 20.0, 100.5, -1, reinterpret_cast<const uint8_t*>(&one));
    EXPECT_EQ(stream("BHZ")->sampleCount, 10);
}

TEST_F(StreamRegistryTest, HeaderCodesAndRates) {
    // Long names are cut to their fields; the location stays blank.
    const std::vector<uint16_t> v = ramp(3);
    const auto* bytes = reinterpret_cast<const uint8_t*>(v.data());
    for (double t : {200.0, 300.0}) reg.appendBlock("LONGNAME", "BHZX", 12.5, t, 3, bytes);
    for (double t : {100.0, 106.0}) reg.appendBlock("A", "Z", 0.5, t, 3, bytes);
    uint8_t r[512];
    ASSERT_EQ(pipe.take(r, 512), 512);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r), 20), "000011D LONGN  BHZ  ");
    // Rate factor (truncated) and multiplier, year, sample count, one
    // blockette, data at 64, blockette 1000 at 48: Steim-2, big-endian, 512.
    const std::pair<int, int> be16[] = {{32, 12}, {34, 1}, {20, 1970}, {30, 3}, {44, 64}, {46, 48}, {48, 1000}};
    for (auto [at, value] : be16) EXPECT_EQ(r[at] * 256 + r[at + 1], value) << at;
    EXPECT_EQ(std::vector<int>({r[39], r[52], r[53], r[54]}), std::vector<int>({1, 11, 1, 9}));
    ASSERT_EQ(pipe.take(r, 512), 512);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r), 20), "000011D A      Z    ");
    EXPECT_EQ(r[32] * 256 + r[33], 0);  // below 1 sps: factor 0
    EXPECT_EQ(mseed_decode(r).samples, (std::vector<int32_t>{0, 37, 74}));
}

TEST(StreamRegistryNoPipe, StreamKeepsOnlyItsLatestStretch) {
    StreamRegistry reg;
    const std::vector<uint16_t> v = ramp(10);
    for (double t : {100.0, 110.0})
        reg.appendBlock("LONGNAME", "SHZ", 1.0, t, 10, reinterpret_cast<const uint8_t*>(v.data()));
    ChannelStream* s = reg.station(0)->channel(0);
    EXPECT_EQ(s->sampleCount, 10);
    EXPECT_DOUBLE_EQ(s->startTime, 110.0);
    flushStream(reg, 0, 0);
    flushStream(reg, 5, 5);  // bad indices are ignored
    EXPECT_EQ(s->sampleCount, 10);
}

}  // namespace

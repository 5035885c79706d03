// The stream registry with a real record pipe attached: chunking, gathering,
// gaps, slow channels, and the records that come out, read by libmseed.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "mseed_check.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"

namespace {

std::vector<uint8_t> words(const std::vector<uint16_t>& v) {
    std::vector<uint8_t> b;
    for (uint16_t w : v) {
        b.push_back(static_cast<uint8_t>(w & 0xFF));
        b.push_back(static_cast<uint8_t>(w >> 8));
    }
    return b;
}

std::vector<uint16_t> ramp(int n, int from = 0) {
    std::vector<uint16_t> v;
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint16_t>((from + i * 37) % 65536));
    return v;
}

struct Flushes {
    std::vector<Decoded> records;
    std::vector<int32_t> samples;
};

Flushes drain(RecordPipe& pipe) {
    Flushes f;
    uint8_t r[512];
    while (pipe.take(r, 512) == 512) {
        f.records.push_back(mseed_decode(r));
        EXPECT_TRUE(f.records.back().ok);
        EXPECT_EQ(f.records.back().diagnostics, "");
        f.samples.insert(f.samples.end(), f.records.back().samples.begin(),
                         f.records.back().samples.end());
    }
    return f;
}

std::vector<int32_t> widened(const std::vector<uint16_t>& v) { return {v.begin(), v.end()}; }

struct Fixture : ::testing::Test {
    std::unique_ptr<StreamRegistry> reg = std::make_unique<StreamRegistry>();
    RecordPipe pipe{60000};
    void SetUp() override { reg->attachPipe(&pipe); }
    ChannelStream* stream(const char* ch) {
        const int st = reg->findOrAddStation("ABC");
        return reg->station(st)->channel(reg->findOrAddChannel(st, ch, 0.0));
    }
    void block(const char* ch, double rate, double t, const std::vector<uint16_t>& v) {
        const auto b = words(v);
        reg->appendBlock("ABC", ch, rate, t, static_cast<int>(v.size()), b.data());
    }
};

TEST(StreamRegistryNames, CaseInsensitiveLookupsAndGrowth) {
    StreamRegistry reg;
    EXPECT_EQ(reg.findOrAddStation("abc"), 0);
    EXPECT_EQ(reg.findOrAddStation("ABC"), 0);
    EXPECT_EQ(reg.findOrAddStation("XYZ"), 1);
    EXPECT_EQ(reg.findOrAddChannel(0, "shz", 0.0), 0);
    EXPECT_EQ(reg.findOrAddChannel(0, "SHZ", 50.0), 0);
    EXPECT_EQ(reg.station(0)->channel(0)->sampleRate, 0.0);  // an existing stream is unchanged
    EXPECT_EQ(reg.findOrAddChannel(0, "SHN", 0.0), 1);
    EXPECT_EQ(reg.channelCount(0), 2);
    EXPECT_EQ(reg.channelCount(1), 0);
    EXPECT_EQ(reg.channelCount(7), 0);
    EXPECT_EQ(reg.findOrAddChannel(7, "SHZ", 0.0), -1);
    EXPECT_EQ(reg.findOrAddChannel(-1, "SHZ", 0.0), -1);

    OwnedArray<int> a;
    std::vector<int> caps;
    for (int i = 0; i < 100; ++i) {
        a.append(new int(i));
        if (caps.empty() || caps.back() != a.capacity()) caps.push_back(a.capacity());
    }
    EXPECT_EQ(caps, (std::vector<int>{4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 45, 50, 56, 63, 70, 78,
                                      87, 97, 109}));

    OwnedString s("Abc");
    OwnedString t(s);
    s = s;
    EXPECT_STREQ(s.c_str(), "Abc");
    t = "other";
    EXPECT_STREQ(s.c_str(), "Abc");
    EXPECT_TRUE(s.equalsIgnoreCase("aBC"));
    EXPECT_FALSE(s.equalsIgnoreCase("abcd"));
    EXPECT_FALSE(s.equalsIgnoreCase(nullptr));
}

TEST_F(Fixture, LongBlockBecomesChunksOf2048) {
    const auto v = ramp(5000);
    block("SHZ", 100.0, 1000.0, v);
    // Chunks 2048, 2048, 904: each of the first two goes out when the next
    // would pass the continuation limit; the last stays gathered.
    const Flushes f = drain(pipe);
    EXPECT_EQ(f.samples, widened(std::vector<uint16_t>(v.begin(), v.begin() + 4096)));
    ChannelStream* s = stream("SHZ");
    EXPECT_EQ(s->sampleCount, 904);
    EXPECT_DOUBLE_EQ(s->startTime, 1000.0 + 4096 / 100.0);
    // Each flush starts its sequence at 11; the second one 20.48 s later.
    int flushStarts = 0;
    for (const Decoded& d : f.records) {
        if (d.sequence != 11) continue;
        ++flushStarts;
        if (flushStarts == 2) {
            EXPECT_EQ(d.start, static_cast<hptime_t>(std::llround((1000.0 + 20.48) * HPTMODULUS)));
        }
    }
    EXPECT_EQ(flushStarts, 2);
}

TEST_F(Fixture, NineteenBlocksGatherThenTheTwentiethFlushes) {
    std::vector<uint16_t> all;
    for (int i = 0; i < 19; ++i) {
        const auto v = ramp(100, i * 100);
        all.insert(all.end(), v.begin(), v.end());
        block("SHZ", 100.0, 5000.0 + i, v);
    }
    EXPECT_EQ(pipe.queuedBytes(), 0);
    EXPECT_EQ(stream("SHZ")->sampleCount, 1900);
    block("SHZ", 100.0, 5019.0, ramp(100, 1900));
    const Flushes f = drain(pipe);
    EXPECT_EQ(f.samples, widened(all));
    EXPECT_EQ(f.records.front().start, 5000 * (hptime_t)HPTMODULUS);
    EXPECT_EQ(f.records.front().station, "ABC");
    EXPECT_EQ(f.records.front().channel, "SHZ");
    EXPECT_DOUBLE_EQ(f.records.front().rate, 100.0);
    EXPECT_EQ(stream("SHZ")->sampleCount, 100);
    EXPECT_DOUBLE_EQ(stream("SHZ")->startTime, 5019.0);
}

TEST_F(Fixture, GapsAndOverlapsFlushOneIntervalDoesNot) {
    // 4 sps: the period 0.25 s is exact, so "exactly one interval" is exact.
    block("SHZ", 4.0, 1000.0, ramp(4));
    block("SHZ", 4.0, 1001.25, ramp(4, 4));  // one interval late: continuous
    EXPECT_EQ(stream("SHZ")->sampleCount, 8);
    EXPECT_EQ(pipe.queuedBytes(), 0);
    block("SHZ", 4.0, 1002.25 + 0.26, ramp(4, 8));  // further: a gap
    EXPECT_EQ(drain(pipe).samples.size(), 8u);
    EXPECT_EQ(stream("SHZ")->sampleCount, 4);
    block("SHZ", 4.0, 1000.0, ramp(4, 12));  // overlap: earlier than the end
    EXPECT_EQ(drain(pipe).samples.size(), 4u);
    EXPECT_DOUBLE_EQ(stream("SHZ")->startTime, 1000.0);
}

TEST_F(Fixture, SlowChannelGoesOutOneBlockLate) {
    const auto first = ramp(10);
    block("LHZ", 1.0, 100.0, first);
    EXPECT_EQ(pipe.queuedBytes(), 0);
    block("LHZ", 1.0, 110.0, ramp(10, 10));
    const Flushes f = drain(pipe);
    EXPECT_EQ(f.samples, widened(first));
    EXPECT_DOUBLE_EQ(f.records.at(0).rate, 1.0);
}

TEST_F(Fixture, PreRegisteredRateIsReplacedAndBadRatesSkipped) {
    const int st = reg->findOrAddStation("ABC");
    reg->findOrAddChannel(st, "BHZ", 0.0);
    block("BHZ", 0.0, 100.0, ramp(10));
    block("BHZ", -5.0, 100.0, ramp(10));
    block("BHZ", NAN, 100.0, ramp(10));
    EXPECT_EQ(stream("BHZ")->sampleCount, 0);
    EXPECT_EQ(stream("BHZ")->sampleRate, 0.0);
    block("BHZ", 20.0, 100.0, ramp(10));
    EXPECT_EQ(stream("BHZ")->sampleRate, 20.0);
    EXPECT_EQ(stream("BHZ")->sampleCount, 10);
    reg->appendBlock("ABC", "BHZ", 20.0, 100.5, 5, nullptr);
    reg->appendBlock("ABC", "BHZ", 20.0, 100.5, -1, words(ramp(1)).data());
    EXPECT_EQ(stream("BHZ")->sampleCount, 10);
}

TEST_F(Fixture, SamplesWidenUnsigned) {
    block("SHZ", 50.0, 10.0, {0xFFFF, 0x8000, 0x0000, 0x7FFF});
    ChannelStream* s = stream("SHZ");
    EXPECT_EQ(s->samples[0], 65535);
    EXPECT_EQ(s->samples[1], 32768);
    EXPECT_EQ(s->samples[3], 32767);
}

TEST_F(Fixture, HeaderCodesAndRates) {
    // Long names are cut to their fields; the location stays blank.
    reg->appendBlock("LONGNAME", "BHZX", 12.5, 200.0, 3, words({1, 2, 3}).data());
    reg->appendBlock("LONGNAME", "BHZX", 12.5, 300.0, 3, words({1, 2, 3}).data());
    reg->appendBlock("A", "Z", 0.5, 100.0, 3, words({4, 5, 6}).data());
    reg->appendBlock("A", "Z", 0.5, 106.0, 3, words({4, 5, 6}).data());
    uint8_t r[512];
    ASSERT_EQ(pipe.take(r, 512), 512);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r), 20), "000011D LONGN  BHZ  ");
    EXPECT_EQ(r[32] * 256 + r[33], 12);  // factor: the rate truncated
    EXPECT_EQ(r[34] * 256 + r[35], 1);
    ASSERT_EQ(pipe.take(r, 512), 512);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r), 20), "000011D A      Z    ");
    EXPECT_EQ(r[32] * 256 + r[33], 0);  // below 1 sps: factor 0
    EXPECT_EQ(mseed_decode(r).samples, (std::vector<int32_t>{4, 5, 6}));
}

TEST(StreamRegistryNoPipe, StreamKeepsOnlyItsLatestStretch) {
    StreamRegistry reg;
    const auto a = words(ramp(10));
    reg.appendBlock("ABC", "SHZ", 1.0, 100.0, 10, a.data());
    reg.appendBlock("ABC", "SHZ", 1.0, 110.0, 10, a.data());
    ChannelStream* s = reg.station(0)->channel(0);
    EXPECT_EQ(s->sampleCount, 10);
    EXPECT_DOUBLE_EQ(s->startTime, 110.0);
    flushStream(reg, 0, 0);
    EXPECT_EQ(s->sampleCount, 10);
    flushStream(reg, 5, 5);  // bad indices are ignored
}

TEST(FlushBuffer, SizeRule) {
    EXPECT_EQ(flushBufferBytes(255), 2048u);
    EXPECT_EQ(flushBufferBytes(256), 3072u);
    EXPECT_EQ(flushBufferBytes(2048), 3u * 4u * 2048u);
}

}  // namespace

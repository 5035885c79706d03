// The stream registry with a real record pipe attached: chunking, gaps,
// slow channels and header codes, the records read back by libmseed.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "mseed_check.h"
#include "seed/record_pipe.h"
#include "seed/stream_registry.h"

namespace {

static_assert(std::endian::native == std::endian::little);  // words as the station sends them

struct StreamRegistryTest : ::testing::Test {
    StreamRegistry reg;
    RecordPipe pipe{60000};
    std::vector<Decoded> records;
    void SetUp() override { reg.attachPipe(&pipe); }
    // Appends n samples from * 37 on; returns the samples gathered after it.
    int block(const char* ch, double rate, double t, int n, int from = 0, const char* st = "ABC") {
        std::vector<uint16_t> v;
        for (int i = from; i < from + n; ++i) v.push_back(static_cast<uint16_t>(i * 37));
        reg.appendBlock(st, ch, rate, t, n, reinterpret_cast<const uint8_t*>(v.data()));
        const int s = reg.findOrAddStation(st);
        return reg.station(s)->channel(reg.findOrAddChannel(s, ch, 0))->sampleCount;
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
    static std::vector<int32_t> ramp(int n) {
        std::vector<int32_t> v(n);
        for (int i = 0; i < n; ++i) v[i] = i * 37 % 65536;
        return v;
    }
};

TEST_F(StreamRegistryTest, ChunksGapsOverlapsSlowChannelsBadRatesAndLongNames) {
    // Chunks 2048, 2048, 904: each of the first two goes out when the next
    // would pass the continuation limit; the last stays gathered.
    EXPECT_EQ(block("SHZ", 100.0, 1000.0, 5000), 904);
    EXPECT_EQ(drain(), ramp(4096));
    // Each flush starts its sequence at 11; the second one 20.48 s later.
    std::vector<hptime_t> flush_starts;
    for (const Decoded& d : records)
        if (d.sequence == 11) flush_starts.push_back(d.start);
    EXPECT_EQ(flush_starts, (std::vector<hptime_t>{1000000000, 1020480000}));
    // 4 sps: the period 0.25 s is exact, so "exactly one interval" is exact.
    // One interval late: continuous; a little later: a gap; earlier: overlap.
    EXPECT_EQ(std::vector<int>({block("EHZ", 4.0, 1000.0, 4), block("EHZ", 4.0, 1001.25, 4),
                                pipe.queuedBytes(), block("EHZ", 4.0, 1002.26, 4), int(drain().size()),
                                block("EHZ", 4.0, 1000.0, 4), int(drain().size())}),
              std::vector<int>({4, 8, 0, 4, 8, 4, 4}));
    // Slow channels, bad rates and long names.
    EXPECT_EQ(block("LHZ", 1.0, 100.0, 10) + pipe.queuedBytes(), 10);  // 1 sps: out one block late
    block("LHZ", 1.0, 110.0, 10, 10);
    EXPECT_EQ(drain(), ramp(10));
    EXPECT_DOUBLE_EQ(records.back().rate, 1.0);
    for (double bad : {0.0, -5.0, std::nan("")}) EXPECT_EQ(block("BHZ", bad, 100.0, 10), 0);
    EXPECT_EQ(block("BHZ", 20.0, 100.0, 10) + block("BHZ", 20.0, 100.5, -1), 20);
    // Long names are cut to their fields; the location stays blank; below
    // 1 sps the rate factor is 0.
    for (double t : {200.0, 300.0}) block("BHZX", 12.5, t, 3, 0, "LONGNAME");
    for (double t : {100.0, 106.0}) block("Z", 0.5, t, 3, 0, "A");
    uint8_t r[512];
    for (const char* head : {"000011D LONGN  BHZ  \x00\x0c", "000011D A      Z    \x00\x00"}) {
        ASSERT_EQ(pipe.take(r, 512), 512);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(r), 20) + char(r[32]) + char(r[33]),
                  std::string(head, 22));
    }
    EXPECT_EQ(mseed_decode(r).samples, ramp(3));
}

}  // namespace

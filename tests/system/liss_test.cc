// The SEED service end to end: stationsim feeds veldrum, and a LISS client on
// loopback receives the selected channels as Mini-SEED records, decoded with
// libmseed and compared sample by sample with the simulator's signal.
#include <cmath>

#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;
using std::to_string;

TEST(LissSystem, SelectedChannelsArriveWholeAndInOrder) {
    constexpr long long kStart = 1700000000;  // the simulator's first sample
    constexpr long long kFlush = 1900;        // samples a 100 or 50 sps stream goes out in
    Station s('Q');
    const int port = free_port();
    // From the station's INI section this time, with ';' and a blank between.
    s.station_keys = {{"LANA", "0"}, {"SPORT", to_string(port)}, {"SCH", "SHN; BHZ"}};
    s.start_veldrum();
    const int client = liss_client::connect_to(port, 0, 30000);
    ASSERT_TRUE(s.wait_log("127.0.0.1:" + to_string(liss_client::local_port(client)) + " connected",
                           20000));
    s.start_sim({"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0,BHZ:50:0", "--fast", "--start",
                 to_string(kStart), "--seconds", "60", "--once"});
    struct Stream {  // signal index, rate, the sample after the last received, its sequence
        int index, rate;
        long long end = 0;
        int sequence = 0;
    };
    std::map<std::string, Stream> streams = {{"SHN", {1, 100}}, {"BHZ", {3, 50}}};
    // Of 60 seconds, SHN goes out in three flushes of 19 s and BHZ in one of
    // 38 s; the rest stays gathered. Each record begins where the one before
    // ended, with sequence number 000011 exactly where a flush begins.
    while (streams["SHN"].end < 3 * kFlush || streams["BHZ"].end < kFlush) {
        uint8_t rec[kSeedRecordLength];
        ASSERT_TRUE(liss_client::read_exact(client, rec, sizeof rec, 30000)) << s.log();
        const Decoded d = mseed_decode(rec);
        ASSERT_TRUE(d.ok && d.diagnostics.empty() && streams.count(d.channel))
            << d.channel << " " << d.diagnostics;
        Stream& c = streams[d.channel];
        const hptime_t offset = d.start - kStart * HPTMODULUS;
        const long long first = std::llround(double(offset) * c.rate / HPTMODULUS);
        size_t differ = d.samples.empty();
        for (size_t i = 0; i < d.samples.size(); ++i)
            differ += d.samples[i] != stationsim::signal_sample(1, c.index, first + i);
        EXPECT_EQ(std::make_tuple(d.reclen, d.encoding, d.station, d.rate,
                                  first * HPTMODULUS / c.rate, first, d.sequence, differ),
                  std::make_tuple(512, DE_STEIM2, s.name, double(c.rate), offset, c.end,
                                  first % kFlush == 0 ? 11 : c.sequence + 1, 0u))
            << d.channel << ": length, encoding, station, rate, start, first sample, sequence, "
            << "samples that differ";
        c.end = first + d.samples.size(), c.sequence = d.sequence;
    }
    EXPECT_FALSE(liss_client::readable_within(client, 1500)) << "beyond the flushed samples";
    close(client);
    EXPECT_EQ(std::make_pair(streams["SHN"].end, streams["BHZ"].end),
              std::make_pair(3 * kFlush, kFlush));
}

}  // namespace

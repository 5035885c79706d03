// The SEED service end to end: stationsim feeds veldrum, and LISS clients on
// loopback receive the selected channels as Mini-SEED records, decoded with
// libmseed and compared sample by sample with the simulator's signal.
#include <cmath>

#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;
using std::to_string;

constexpr long long kStart = 1700000000;  // the simulator's first sample
constexpr long long kFlush = 1900;        // samples a 100 or 50 sps stream goes out in
using Selected = std::map<std::string, std::pair<int, int>>;  // channel -> index, rate

// The records of each channel as received, with their first sample counted
// from kStart; and the sample after the last one received.
struct Received {
    Decoded d;
    long long first = 0;
    long long end() const { return first + d.samples.size(); }
};
using Stretches = std::map<std::string, std::vector<Received>>;
long long end_of(Stretches& got, const std::string& c) {
    return got[c].empty() ? 0 : got[c].back().end();
}

// Reads one record of a selected channel and places it in the signal.
bool receive(int fd, const std::string& station, const Selected& selected, Stretches& into) {
    uint8_t rec[kSeedRecordLength];
    Received r;
    if (!liss_client::read_exact(fd, rec, sizeof rec, 30000)) return false;
    r.d = mseed_decode(rec);
    EXPECT_TRUE(r.d.ok && r.d.diagnostics.empty()) << r.d.diagnostics;
    EXPECT_EQ(std::tie(r.d.reclen, r.d.encoding, r.d.station),
              std::make_tuple(512, DE_STEIM2, station));
    const int rate = selected.count(r.d.channel) ? selected.at(r.d.channel).second : 0;
    const hptime_t offset = r.d.start - kStart * HPTMODULUS;
    EXPECT_EQ(r.d.rate, rate) << "rate of " << r.d.channel << ", 0 if unselected";
    r.first = rate ? std::llround(double(offset) * rate / HPTMODULUS) : 0;
    EXPECT_EQ(r.first * HPTMODULUS / std::max(rate, 1), offset) << "start between two samples";
    into[r.d.channel].push_back(r);
    return rate > 0;
}

// Each channel's records carry the simulator's samples for their place, each
// beginning where the one before ended, with sequence number 000011 exactly
// where a flush begins and counting on within it.
void check_stretches(Stretches& got, const Selected& selected) {
    for (const auto& [name, ch] : selected) {
        const std::vector<Received>& recs = got[name];
        for (size_t k = 0; k < recs.size(); ++k) {
            const Received &r = recs[k], &before = recs[k > 0 ? k - 1 : 0];
            size_t differ = r.d.samples.empty();
            for (size_t i = 0; i < r.d.samples.size(); ++i)
                differ += r.d.samples[i] != stationsim::signal_sample(1, ch.first, r.first + i);
            EXPECT_EQ(std::make_tuple(r.first, r.d.sequence, differ),
                      std::make_tuple(k > 0 ? before.end() : r.first,
                                      r.first % kFlush == 0 ? 11
                                      : k > 0               ? before.d.sequence + 1
                                                            : r.d.sequence,
                                      0u))
                << name << " record " << k << ": first sample, sequence, samples that differ";
        }
    }
}

TEST(LissSystem, SelectedChannelsArriveWholeAndInOrder) {
    Station s('Q');
    const int port = free_port();
    // From the station's INI section this time, with ';' and a blank between.
    s.station_keys = {{"LANA", "0"}, {"SPORT", to_string(port)}, {"SCH", "SHN; BHZ"}};
    const Selected selected = {{"SHN", {1, 100}}, {"BHZ", {3, 50}}};
    s.start_veldrum();
    const int client = liss_client::connect_to(port, 0, 30000);
    ASSERT_TRUE(s.wait_log("127.0.0.1:" + to_string(liss_client::local_port(client)) + " connected",
                           20000));
    s.start_sim({"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0,BHZ:50:0", "--fast", "--start",
                 to_string(kStart), "--seconds", "60", "--once"});
    // Of 60 seconds, SHN goes out in three flushes of 19 s and BHZ in one of
    // 38 s; what follows stays gathered until more data comes.
    Stretches got;
    while (end_of(got, "SHN") < 3 * kFlush || end_of(got, "BHZ") < kFlush)
        ASSERT_TRUE(receive(client, s.name, selected, got)) << s.log();
    EXPECT_FALSE(liss_client::readable_within(client, 1500)) << "beyond the flushed samples";
    close(client);
    check_stretches(got, selected);
    EXPECT_EQ(std::make_tuple(got["SHN"][0].first, got["BHZ"][0].first, end_of(got, "SHN"),
                              end_of(got, "BHZ")),
              std::make_tuple(0, 0, 3 * kFlush, kFlush));
}

}  // namespace

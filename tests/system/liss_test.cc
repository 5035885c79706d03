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

// Bytes that the server's end of the connection to client_port holds unsent
// or unacknowledged; -1 when there is no such connection.
long send_queue(int server_port, int client_port) {
    std::ifstream in("/proc/net/tcp");
    unsigned local = 0, remote = 0;
    unsigned long tx = 0;
    for (std::string line; std::getline(in, line);)
        if (sscanf(line.c_str(), " %*d: %*x:%x %*x:%x %*x %lx", &local, &remote, &tx) == 3 &&
            int(local) == server_port && int(remote) == client_port)
            return long(tx);
    return -1;
}

long cpu_ticks(pid_t pid) {  // utime + stime so far
    const std::string s = read_file("/proc/" + to_string(pid) + "/stat");
    long utime = -1, stime = -1;
    sscanf(s.c_str() + s.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
           &utime, &stime);
    return utime + stime;
}

// Records built while nobody listens wait in the pipe, the newest 93 of them;
// the first client gets them oldest first, a second client waits until the
// first is gone, and a first client that stops reading costs the server no
// CPU while it holds it.
TEST(LissSystem, BacklogGoesToOneClientAtATime) {
    Station s('W');
    const int port = free_port();
    s.start_veldrum({"SPORT=" + to_string(port), "SCH=SHZ,SHE"});
    const Selected selected = {{"SHZ", {0, 100}}, {"SHE", {2, 100}}};
    s.start_sim({"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0", "--fast", "--start",
                 to_string(kStart), "--seconds", "200", "--once"});
    ASSERT_TRUE(s.wait_sim("seconds sent", 60000)) << s.sim.text();
    ASSERT_TRUE(s.wait_log("#Станция отключена#", 30000)) << s.log();
    // The first client reads nothing, with a small receive buffer, so the
    // server soon has a full socket in front of it.
    const int first = liss_client::connect_to(port, 2048, 30000),
              first_port = liss_client::local_port(first);
    ASSERT_TRUE(s.wait_log("127.0.0.1:" + to_string(first_port) + " connected", 20000)) << s.log();
    const int second = liss_client::connect_to(port, 0, 10000);
    // Stalled once the server's send queue stops growing over four looks.
    long queue = -1;
    int steady = 0;
    for (int i = 0; i < 120 && steady < 4; ++i, usleep(500000)) {
        const long now = send_queue(port, first_port);
        steady = now > 0 && now == queue ? steady + 1 : 0;
        queue = now;
    }
    ASSERT_EQ(steady, 4) << "the server never filled the stalled client's socket";
    const long before = cpu_ticks(s.server.pid);
    EXPECT_FALSE(liss_client::readable_within(second, 5000)) << "served beside the first";
    // A server spinning on the full socket would use most of the 5 s.
    EXPECT_LT(cpu_ticks(s.server.pid) - before, sysconf(_SC_CLK_TCK)) << before;
    EXPECT_EQ(send_queue(port, first_port), queue) << "the stalled client was let go";

    // The first client reads the oldest records and goes away; the second is
    // served once a send to the first has failed. A record in flight to the
    // first is lost; the rest follow on to the newest of the ten flushes.
    Stretches from[2];
    for (int k = 0; k < 10; ++k) ASSERT_TRUE(receive(first, s.name, selected, from[0]));
    close(first);
    int records = 10;
    for (; end_of(from[1], "SHZ") < 10 * kFlush || end_of(from[1], "SHE") < 10 * kFlush; ++records)
        ASSERT_TRUE(receive(second, s.name, selected, from[1])) << s.log();
    EXPECT_LE(records, 93);
    // The oldest records were dropped from the pipe: the first client's
    // backlog starts after the start of the data in some channel.
    bool dropped = false;
    for (const auto& [name, ch] : selected) {
        EXPECT_EQ(end_of(from[1], name), 10 * kFlush) << name;
        EXPECT_GE(from[1][name][0].first, end_of(from[0], name)) << name;
        dropped = dropped || (!from[0][name].empty() && from[0][name][0].first > 0);
    }
    EXPECT_TRUE(dropped) << "all records fitted in the pipe; the test needs more data";
    check_stretches(from[0], selected);
    check_stretches(from[1], selected);
    const std::string log = s.log();
    size_t at = log.find("127.0.0.1:" + to_string(first_port) + " connected");
    for (const std::string& next :
         {std::string("#Ошибка при передаче данных в формате SEED#"),
          std::string("#Разрыв в передаче данных в формате SEED#"),
          "127.0.0.1:" + to_string(liss_client::local_port(second)) + " connected"})
        EXPECT_NE(at = log.find(next, at), std::string::npos) << next << "\n" << log;
    close(second);
}

}  // namespace

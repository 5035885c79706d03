// The SEED service end to end: stationsim feeds veldrum, and LISS clients on
// loopback receive the selected channels as Mini-SEED records, decoded with
// libmseed and compared sample by sample with the simulator's signal.
#include <cmath>

#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;

constexpr long long kStart = 1700000000;  // the simulator's first sample
constexpr long long kFlush = 1900;        // samples a 100 or 50 sps stream goes out in
using Selected = std::map<std::string, std::pair<int, int>>;  // channel -> index, rate

struct Fd {
    int fd;
    ~Fd() { close(fd); }
};

// A record as received, with its first sample counted from kStart.
struct Received {
    Decoded d;
    long long first = 0;
    long long end() const { return first + d.samples.size(); }
};
using Stretches = std::map<std::string, std::vector<Received>>;  // by channel

long long end_of(Stretches& got, const std::string& channel) {
    return got[channel].empty() ? 0 : got[channel].back().end();
}

// Reads one record of a selected channel and places it in the signal.
bool receive(int fd, const std::string& station, const Selected& selected, Received* r) {
    uint8_t rec[kSeedRecordLength];
    if (!liss_client::read_exact(fd, rec, sizeof rec, 30000)) return false;
    r->d = mseed_decode(rec);
    EXPECT_TRUE(r->d.ok && r->d.diagnostics.empty()) << r->d.diagnostics;
    EXPECT_EQ(std::tie(r->d.reclen, r->d.encoding, r->d.station),
              std::make_tuple(512, DE_STEIM2, station));
    EXPECT_TRUE(selected.count(r->d.channel)) << "unselected " << r->d.channel;
    if (!selected.count(r->d.channel)) return false;
    const int rate = selected.at(r->d.channel).second;
    const hptime_t offset = r->d.start - kStart * HPTMODULUS;
    r->first = std::llround(double(offset) * rate / HPTMODULUS);
    EXPECT_EQ(r->d.rate, rate);
    EXPECT_EQ(r->first * HPTMODULUS / rate, offset) << "start between two samples";
    return true;
}

// The records of one channel in the order received carry the simulator's
// samples for their place, each beginning where the one before ended, with
// sequence number 000011 exactly where a flush begins, counting on within it.
void check_stretch(const std::vector<Received>& recs, int index, const std::string& name) {
    for (size_t k = 0; k < recs.size(); ++k) {
        const Received& r = recs[k];
        const Received& before = recs[k > 0 ? k - 1 : 0];
        EXPECT_EQ(r.first, k > 0 ? before.end() : r.first) << name << " record " << k;
        EXPECT_EQ(r.d.sequence, r.first % kFlush == 0 ? 11 : k > 0 ? before.d.sequence + 1 : r.d.sequence)
            << name << " record " << k;
        EXPECT_FALSE(r.d.samples.empty());
        for (size_t i = 0; i < r.d.samples.size(); ++i)
            if (r.d.samples[i] != stationsim::signal_sample(1, index, r.first + i)) {
                ADD_FAILURE() << name << " differs at sample " << r.first + i;
                break;
            }
    }
}

TEST(LissSystem, SelectedChannelsArriveWholeAndInOrder) {
    Station s('Q');
    const int port = free_port();
    // From the station's INI section this time, with ';' and a blank between.
    s.station_keys["SPORT"] = std::to_string(port);
    s.station_keys["SCH"] = "SHN; BHZ";
    const Selected selected = {{"SHN", {1, 100}}, {"BHZ", {3, 50}}};
    s.start_veldrum();
    Fd client{liss_client::connect_to(port, 0, 30000)};
    ASSERT_GE(client.fd, 0) << s.log();
    ASSERT_TRUE(s.wait_log(
        "127.0.0.1:" + std::to_string(liss_client::local_port(client.fd)) + " connected", 20000));
    s.start_sim({"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0,BHZ:50:0", "--fast", "--start",
                 std::to_string(kStart), "--seconds", "60", "--once"});
    // Of 60 seconds, SHN goes out in three flushes of 19 s and BHZ in one of
    // 38 s; what follows stays gathered until more data comes.
    const std::map<std::string, long long> expected_end = {{"SHN", 3 * kFlush}, {"BHZ", kFlush}};
    Stretches got;
    for (Received r; end_of(got, "SHN") < 3 * kFlush || end_of(got, "BHZ") < kFlush;) {
        ASSERT_TRUE(receive(client.fd, s.name, selected, &r)) << s.log();
        got[r.d.channel].push_back(r);
    }
    EXPECT_FALSE(liss_client::readable_within(client.fd, 1500)) << "beyond the flushed samples";
    for (const auto& [name, ch] : selected) {
        EXPECT_EQ(got[name].front().first, 0) << name;
        EXPECT_EQ(end_of(got, name), expected_end.at(name)) << name;
        check_stretch(got[name], ch.first, name);
    }
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
    const std::string s = read_file("/proc/" + std::to_string(pid) + "/stat");
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
    s.start_veldrum({"SPORT=" + std::to_string(port), "SCH=SHZ,SHE"});
    const Selected selected = {{"SHZ", {0, 100}}, {"SHE", {2, 100}}};
    s.start_sim({"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0", "--fast", "--start",
                 std::to_string(kStart), "--seconds", "200", "--once"});
    ASSERT_TRUE(s.wait_sim("seconds sent", 60000)) << s.sim.text();
    ASSERT_TRUE(s.wait_log("#Станция отключена#", 30000)) << s.log();
    // Ten flushes per channel were built; the seconds after them stay gathered.
    const long long newest_end = 10 * kFlush;

    // The first client reads nothing, with a small receive buffer, so the
    // server soon has a full socket in front of it.
    Fd first{liss_client::connect_to(port, 2048, 30000)}, second{-1};
    ASSERT_GE(first.fd, 0);
    const std::string first_name = "127.0.0.1:" + std::to_string(liss_client::local_port(first.fd));
    ASSERT_TRUE(s.wait_log(first_name + " connected", 20000)) << s.log();
    second.fd = liss_client::connect_to(port, 0, 10000);
    ASSERT_GE(second.fd, 0);
    const int first_port = liss_client::local_port(first.fd);
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
    ASSERT_GE(before, 0);
    EXPECT_FALSE(liss_client::readable_within(second.fd, 5000)) << "served beside the first";
    // A server spinning on the full socket would use most of the 5 s.
    EXPECT_LT(cpu_ticks(s.server.pid) - before, sysconf(_SC_CLK_TCK));
    EXPECT_EQ(send_queue(port, first_port), queue) << "the stalled client was let go";

    // The first client reads the oldest records and goes away; the second is
    // served once a send to the first has failed. A record in flight to the
    // first is lost; the rest follow on to the newest.
    Stretches from[2];
    Received r;
    for (int k = 0; k < 10; ++k) {
        ASSERT_TRUE(receive(first.fd, s.name, selected, &r));
        from[0][r.d.channel].push_back(r);
    }
    close(first.fd);
    first.fd = -1;
    size_t records = 10;
    while (end_of(from[1], "SHZ") < newest_end || end_of(from[1], "SHE") < newest_end) {
        ASSERT_TRUE(receive(second.fd, s.name, selected, &r)) << s.log();
        from[1][r.d.channel].push_back(r);
        ++records;
    }
    EXPECT_LE(records, 93u);
    // The oldest records were dropped from the pipe: the first client's
    // backlog starts after the start of the data in some channel.
    bool dropped = false;
    for (const auto& [name, ch] : selected) {
        check_stretch(from[0][name], ch.first, name);
        check_stretch(from[1][name], ch.first, name);
        EXPECT_EQ(end_of(from[1], name), newest_end);
        if (from[0][name].empty()) continue;
        dropped = dropped || from[0][name].front().first > 0;
        EXPECT_GE(from[1][name].front().first, from[0][name].back().end()) << name;
    }
    EXPECT_TRUE(dropped) << "all records fitted in the pipe; the test needs more data";
    const std::string log = s.log();
    size_t at = log.find(first_name + " connected");
    for (const std::string& next : std::vector<std::string>{"#Ошибка при передаче данных в формате SEED#", "#Разрыв в передаче данных в формате SEED#",
          "127.0.0.1:" + std::to_string(liss_client::local_port(second.fd)) + " connected"}) {
        at = log.find(next, at);
        EXPECT_NE(at, std::string::npos) << next << "\n" << log;
    }
}

}  // namespace

// The SEED service end to end: stationsim feeds veldrum, and LISS clients on
// loopback receive the selected channels as Mini-SEED records, decoded with
// libmseed and compared sample by sample with the simulator's signal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/seed/liss_client.h"
#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"
#include "tools/stationsim/signal.h"

namespace {

using system_run::Station;

constexpr long long kStart = 1700000000;  // the simulator's first sample
constexpr uint32_t kSeed = 1;             // stationsim's default signal seed
// A stream of 100 or 50 samples per second goes out in flushes of 1900.
constexpr long long kFlushSamples = 1900;

struct SimChannel {
    int index;  // position in the simulator's channel list
    int rate;
};

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// One whole record; false when the peer closes or nothing comes within the
// guard time.
bool read_record(int fd, uint8_t* rec, int guard_ms) {
    return liss_client::read_exact(fd, rec, kSeedRecordLength, guard_ms);
}

// A record as a client received it, with the position of its first sample
// counted from the simulator's start.
struct Received {
    Decoded d;
    long long first = 0;
};

// Decodes one record of a selected channel and places it in the signal.
Received place(const uint8_t* rec, const std::string& station,
               const std::map<std::string, SimChannel>& selected) {
    Received r;
    r.d = mseed_decode(rec);
    EXPECT_TRUE(r.d.ok) << r.d.diagnostics;
    EXPECT_EQ(r.d.diagnostics, "");
    EXPECT_EQ(r.d.reclen, 512);
    EXPECT_EQ(r.d.encoding, DE_STEIM2);
    EXPECT_EQ(r.d.station, station);
    EXPECT_TRUE(selected.count(r.d.channel)) << "unselected channel " << r.d.channel;
    if (!selected.count(r.d.channel)) return r;
    const int rate = selected.at(r.d.channel).rate;
    EXPECT_EQ(r.d.rate, rate);
    const hptime_t offset = r.d.start - kStart * HPTMODULUS;
    r.first = std::llround(static_cast<double>(offset) * rate / HPTMODULUS);
    EXPECT_EQ(r.first * HPTMODULUS / rate, offset) << "start between two samples";
    return r;
}

// The records of one channel in the order received: each carries the
// simulator's samples for its place, begins where the one before ended (no
// sample repeated or missing), and its sequence number is 000011 exactly
// where a flush begins and counts on within it. Returns the sample after
// the last one.
long long check_stretch(const std::vector<Received>& recs, const SimChannel& ch,
                        const std::string& name) {
    long long next = recs.empty() ? 0 : recs.front().first;
    int last_seq = 0;
    for (size_t k = 0; k < recs.size(); ++k) {
        const Received& r = recs[k];
        EXPECT_EQ(r.first, next) << name << " record " << k;
        if (r.first % kFlushSamples == 0) {
            EXPECT_EQ(r.d.sequence, 11) << name << " record " << k;
        } else if (k > 0) {
            EXPECT_EQ(r.d.sequence, last_seq + 1) << name << " record " << k;
        }
        EXPECT_FALSE(r.d.samples.empty());
        for (size_t i = 0; i < r.d.samples.size(); ++i) {
            const int expect =
                stationsim::signal_sample(kSeed, ch.index, r.first + static_cast<long long>(i));
            if (r.d.samples[i] != expect) {
                ADD_FAILURE() << name << " sample " << r.first + static_cast<long long>(i) << ": "
                              << r.d.samples[i] << " != " << expect;
                break;
            }
        }
        last_seq = r.d.sequence;
        next = r.first + static_cast<long long>(r.d.samples.size());
    }
    return next;
}

// Bytes that the server's end of the connection to client_port holds unsent
// or unacknowledged; -1 when there is no such connection.
long server_send_queue(int server_port, int client_port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        unsigned local = 0, remote = 0;
        unsigned long tx = 0;
        if (std::sscanf(line.c_str(), " %*d: %*x:%x %*x:%x %*x %lx", &local, &remote, &tx) == 3 &&
            static_cast<int>(local) == server_port && static_cast<int>(remote) == client_port)
            return static_cast<long>(tx);
    }
    return -1;
}

TEST(LissSystem, SelectedChannelsArriveWholeAndInOrder) {
    Station s('Q');
    const int port = system_run::free_port();
    // From the station's INI section this time, with ';' and a blank between.
    s.station_keys["SPORT"] = std::to_string(port);
    s.station_keys["SCH"] = "SHN; BHZ";
    const std::map<std::string, SimChannel> selected = {{"SHN", {1, 100}}, {"BHZ", {3, 50}}};
    s.start_veldrum();
    Fd client(liss_client::connect_to(port, 0, 30000));
    ASSERT_GE(client.fd, 0) << s.log();
    ASSERT_TRUE(s.wait_log(
        "127.0.0.1:" + std::to_string(liss_client::local_port(client.fd)) + " connected", 20000))
        << s.log();
    s.start_sim({"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0,BHZ:50:0", "--fast", "--start",
                 std::to_string(kStart), "--seconds", "60", "--once"});

    // Of 60 seconds, SHN goes out in three flushes of 19 s and BHZ in one
    // of 38 s; what follows stays gathered until more data comes.
    const std::map<std::string, long long> expected_end = {{"SHN", 3 * kFlushSamples},
                                                           {"BHZ", kFlushSamples}};
    std::map<std::string, std::vector<Received>> got;
    std::map<std::string, long long> end;
    uint8_t rec[kSeedRecordLength];
    while (end["SHN"] < expected_end.at("SHN") || end["BHZ"] < expected_end.at("BHZ")) {
        ASSERT_TRUE(read_record(client.fd, rec, 30000))
            << "SHN to " << end["SHN"] << ", BHZ to " << end["BHZ"] << "\n"
            << s.log();
        Received r = place(rec, s.name, selected);
        if (!selected.count(r.d.channel)) return;
        end[r.d.channel] = r.first + static_cast<long long>(r.d.samples.size());
        got[r.d.channel].push_back(std::move(r));
    }
    EXPECT_FALSE(read_record(client.fd, rec, 1500)) << "a record beyond the flushed samples";

    for (const auto& [name, ch] : selected) {
        ASSERT_FALSE(got[name].empty()) << name;
        EXPECT_EQ(got[name].front().first, 0) << name;
        EXPECT_EQ(got[name].front().d.sequence, 11) << name;
        EXPECT_EQ(check_stretch(got[name], ch, name), expected_end.at(name)) << name;
    }
}

// Records built while nobody listens wait in the pipe, the newest 93 of them;
// the first client gets them oldest first, a second client waits until the
// first is gone, and a first client that stops reading costs the server no
// CPU while it holds it.
TEST(LissSystem, BacklogGoesToOneClientAtATime) {
    Station s('W');
    const int port = system_run::free_port();
    s.start_veldrum({"SPORT=" + std::to_string(port), "SCH=SHZ,SHE"});
    const std::map<std::string, SimChannel> selected = {{"SHZ", {0, 100}}, {"SHE", {2, 100}}};
    s.start_sim({"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0", "--fast", "--start",
                 std::to_string(kStart), "--seconds", "200", "--once"});
    ASSERT_TRUE(s.wait_sim("seconds sent", 60000)) << s.sim.text();
    ASSERT_TRUE(s.wait_log("#Станция отключена#", 30000)) << s.log();
    // Ten flushes of 1900 samples per channel were built, the last ending
    // at sample 19000; the seconds after it stay gathered.
    const long long newest_end = 10 * kFlushSamples;

    // The first client reads nothing, with a small receive buffer, so the
    // server soon has a full socket in front of it.
    Fd first(liss_client::connect_to(port, 2048, 30000));
    ASSERT_GE(first.fd, 0);
    const int first_port = liss_client::local_port(first.fd);
    ASSERT_TRUE(s.wait_log("127.0.0.1:" + std::to_string(first_port) + " connected", 20000))
        << s.log();
    Fd second(liss_client::connect_to(port, 0, 10000));
    ASSERT_GE(second.fd, 0);
    const int second_port = liss_client::local_port(second.fd);

    // Stalled once the server's send queue stops growing across ten record
    // pauses.
    long queue = -1;
    int steady = 0;
    for (int waited = 0; waited < 60000 && steady < 4; waited += 500) {
        usleep(500000);
        const long now = server_send_queue(port, first_port);
        steady = now > 0 && now == queue ? steady + 1 : 0;
        queue = now;
    }
    ASSERT_EQ(steady, 4) << "the server never filled the stalled client's socket";

    const long before = system_run::cpu_ticks(s.server.pid);
    pollfd p{second.fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 5000), 0) << "the second client was served beside the first";
    const long spent = system_run::cpu_ticks(s.server.pid) - before;
    ASSERT_GE(before, 0);
    // A server spinning on the full socket would use most of the 5 s.
    EXPECT_LT(spent, sysconf(_SC_CLK_TCK)) << "veldrum CPU ticks over a 5 s stall";
    EXPECT_EQ(server_send_queue(port, first_port), queue) << "the stalled client was let go";

    // The first client then reads the oldest records and goes away.
    std::map<std::string, std::vector<Received>> from_first, from_second;
    uint8_t rec[kSeedRecordLength];
    size_t first_count = 0, second_count = 0;
    for (; first_count < 10; ++first_count) {
        ASSERT_TRUE(read_record(first.fd, rec, 10000));
        Received r = place(rec, s.name, selected);
        if (!selected.count(r.d.channel)) return;
        from_first[r.d.channel].push_back(std::move(r));
    }
    first.reset();

    // The second is served once a send to the first has failed. A record in
    // flight to the first is lost; the rest follow on to the newest.
    std::map<std::string, long long> end;
    while (end["SHZ"] < newest_end || end["SHE"] < newest_end) {
        ASSERT_TRUE(read_record(second.fd, rec, 30000))
            << "SHZ to " << end["SHZ"] << ", SHE to " << end["SHE"] << "\n"
            << s.log();
        ++second_count;
        Received r = place(rec, s.name, selected);
        if (!selected.count(r.d.channel)) return;
        end[r.d.channel] = r.first + static_cast<long long>(r.d.samples.size());
        from_second[r.d.channel].push_back(std::move(r));
    }
    EXPECT_EQ(end["SHZ"], newest_end);
    EXPECT_EQ(end["SHE"], newest_end);
    EXPECT_LE(first_count + second_count, 93u);

    // The oldest records were dropped from the pipe: the first client's
    // backlog starts after the start of the data in some channel.
    bool dropped = false;
    for (const auto& [name, ch] : selected) {
        const long long first_end = check_stretch(from_first[name], ch, name);
        if (!from_first[name].empty()) {
            dropped = dropped || from_first[name].front().first > 0;
            ASSERT_FALSE(from_second[name].empty()) << name;
            EXPECT_GE(from_second[name].front().first, first_end) << name;
        }
        check_stretch(from_second[name], ch, name);
    }
    EXPECT_TRUE(dropped) << "all records fitted in the pipe; the test needs more data";

    const std::string log = s.log();
    const size_t a = log.find("127.0.0.1:" + std::to_string(first_port) + " connected");
    const size_t failed = log.find("#Ошибка при передаче данных в формате SEED#", a);
    const size_t gone = log.find("#Разрыв в передаче данных в формате SEED#", failed);
    const size_t b = log.find("127.0.0.1:" + std::to_string(second_port) + " connected", gone);
    EXPECT_NE(a, std::string::npos) << log;
    EXPECT_NE(failed, std::string::npos) << log;
    EXPECT_NE(gone, std::string::npos) << log;
    EXPECT_NE(b, std::string::npos) << log;
}

}  // namespace

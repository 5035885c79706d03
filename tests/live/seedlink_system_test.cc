// The SeedLink server as its clients see it: veldrum fed by stationsim,
// raw clients of both protocol versions read byte for byte and decoded with
// libmseed, seisplotjs's WebSocket clients in Node, and hostile peers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>

#include <functional>
#include <memory>
#include <set>

#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"
#include "tools/stationsim/signal.h"

namespace {

using namespace system_run;

constexpr uint32_t kSeed = 7;
const std::vector<std::string> kChannels = {"SHZ", "BHN", "BHE"};
constexpr double kRates[] = {100, 20, 20};

// A TCP connection to the SeedLink port from a chosen loopback address.
class Peer {
  public:
    explicit Peer(int port, const std::string& from = "127.0.0.1", int receive_buffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &a.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Peer() { close(fd_); }
    bool ok() const { return ok_; }
    void send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // n bytes, or fewer when the server closes or the time runs out.
    std::string read(size_t n, int timeout_ms = 10000) {
        std::string got;
        char buffer[4096];
        while (got.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0) break;
            const ssize_t k = recv(fd_, buffer, std::min(sizeof buffer, n - got.size()), 0);
            if (k <= 0) break;
            got.append(buffer, static_cast<size_t>(k));
        }
        return got;
    }
    std::string line(int timeout_ms = 10000) {
        std::string got;
        while (got.size() < 512 && (got.size() < 2 || got.compare(got.size() - 2, 2, "\r\n") != 0)) {
            const std::string c = read(1, timeout_ms);
            if (c.empty()) break;
            got += c;
        }
        return got;
    }
    // True when the server closes the connection within the time.
    bool closed_by_server(int timeout_ms = 10000) {
        for (char c; ;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0) return false;
            const ssize_t k = recv(fd_, &c, 1, 0);
            if (k <= 0) return true;
        }
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
};

// The body of GET /api/status on the page's port.
std::string status_json(int port) {
    Peer p(port);
    p.send("GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    const std::string reply = p.read(1 << 20, 5000);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

struct Packet {
    uint64_t sequence = 0;
    std::string station;  // 4.0 only
    std::string record;
};

// One data packet; false at END, a close or a time-out (`end` says END).
bool next_packet(Peer& p, int version, Packet* out, bool* end = nullptr, int timeout_ms = 10000) {
    std::string head = p.read(3, timeout_ms);
    if (end != nullptr) *end = head == "END";
    if (head.size() < 3 || head == "END") return false;
    if (version == 3) {
        head += p.read(5);
        if (head.size() != 8 || head.compare(0, 2, "SL") != 0) return false;
        out->sequence = std::stoull(head.substr(2), nullptr, 16);
    } else {
        head += p.read(14);
        if (head.size() != 17 || head.compare(0, 3, "SE2") != 0) return false;
        uint64_t length = 0, sequence = 0;
        for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<uint8_t>(head[4 + i]);
        for (int i = 7; i >= 0; --i) sequence = sequence << 8 | static_cast<uint8_t>(head[8 + i]);
        if (head[3] != 'D' || length != 512) return false;
        out->sequence = sequence;
        out->station = p.read(static_cast<uint8_t>(head[16]));
    }
    out->record = p.read(512);
    return out->record.size() == 512;
}

std::string hello_lines(const std::string& station_id) {
    return "SeedLink v4.0 (VelDrum/1.0) :: SLPROTO:4.0 SLPROTO:3.1 CAP EXTREPLY NSWILDCARD BATCH WS:13\r\n"
           "VelDrum station " + station_id + "\r\n";
}

// HELLO, then each command answered OK, except those that start the data.
void handshake(Peer& p, const std::string& station_id, const std::vector<std::string>& commands) {
    p.send("HELLO\r\n");
    ASSERT_EQ(p.read(hello_lines(station_id).size()), hello_lines(station_id));
    // 3.1 without STATION: DATA, FETCH or TIME itself starts the transfer.
    bool uni = true;
    for (const std::string& c : commands) uni = uni && c.rfind("STATION", 0) != 0 && c.rfind("SLPROTO", 0) != 0;
    for (const std::string& c : commands) {
        p.send(c + "\r\n");
        const bool starts = c == "END" || c == "ENDFETCH" ||
                            (uni && (c.rfind("DATA", 0) == 0 || c.rfind("FETCH", 0) == 0 || c.rfind("TIME", 0) == 0));
        if (!starts) { ASSERT_EQ(p.line(), "OK\r\n") << c; }
    }
}

struct Checked {
    std::string channel;
    double start = 0, end = 0;
};

// Decodes the record and compares every sample with the simulator's.
Checked expect_signal(const std::string& record, double sim_start) {
    const Decoded d = mseed_decode(reinterpret_cast<const uint8_t*>(record.data()));
    EXPECT_TRUE(d.ok && d.diagnostics.empty()) << d.diagnostics;
    Checked out{d.channel, d.start / 1e6, 0};
    const auto c = std::find(kChannels.begin(), kChannels.end(), d.channel) - kChannels.begin();
    if (c == static_cast<long>(kChannels.size())) {
        ADD_FAILURE() << "channel " << d.channel;
        return out;
    }
    out.end = out.start + d.samples.size() / kRates[c];
    const long long first = std::llround((out.start - sim_start) * kRates[c]);
    for (size_t k = 0; k < d.samples.size(); ++k) {
        const auto expected = static_cast<int16_t>(stationsim::signal_sample(kSeed, static_cast<int>(c), first + static_cast<long long>(k)));
        if (d.samples[k] != expected) {
            ADD_FAILURE() << d.channel << " sample " << first + static_cast<long long>(k) << ": " << d.samples[k]
                          << " != " << expected;
            break;
        }
    }
    return out;
}

// A UTC time as 3.1 ("%Y,%m,%d,%H,%M,%S") or 4.0 ("%Y-%m-%dT%H:%M:%SZ") writes it.
std::string utc(double t, const char* format) {
    const time_t s = static_cast<time_t>(t);
    tm u{};
    gmtime_r(&s, &u);
    char text[40];
    strftime(text, sizeof text, format, &u);
    return text;
}
const char* const kV3Time = "%Y,%m,%d,%H,%M,%S";
const char* const kV4Time = "%Y-%m-%dT%H:%M:%SZ";

class SeedLinkTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        station = new Station('L');
        port = free_port();
        sim_start = static_cast<double>(time(nullptr) - 3600);
        station->program = "veldrum-test";
        station->veldrum_keys = {{"SEEDLINK", std::to_string(port)}, {"SLRINGMB", "1"},
                                 {"SLLATENCY", "0.5"}, {"NETWORK", "ZZ"}};
        http_port = free_port();
        station->veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(http_port);
        station->start_sim({"--channels", "SHZ:100:0,BHN:20:0,BHE:20:0", "--fast", "--speed", "20", "--start",
                            std::to_string(static_cast<long long>(sim_start)), "--seed", std::to_string(kSeed)});
        station->start_veldrum({"FLUSH=5"});
        wait_for_records(40);
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(station->stop_veldrum(), 0);
        delete station;
        station = nullptr;
    }
    // Until the ring holds at least n records (the feed and the server run).
    static void wait_for_records(uint64_t n) {
        for (int i = 0; i < 300; ++i) {
            Peer p(port);
            p.send("SLPROTO 4.0\r\nSTATION *\r\nDATA ALL\r\nEND\r\n");
            Packet last;
            uint64_t got = 0;
            if (p.read(12, 2000) == "OK\r\nOK\r\nOK\r\n")
                while (got < n && next_packet(p, 4, &last, nullptr, 500)) ++got;
            if (got >= n) return;
            usleep(100000);
        }
        FAIL() << "no records from the SeedLink port";
    }
    static std::string id() { return "ZZ_" + station->name; }

    static Station* station;
    static int port, http_port;
    static double sim_start;
};

Station* SeedLinkTest::station = nullptr;
int SeedLinkTest::port = 0;
int SeedLinkTest::http_port = 0;
double SeedLinkTest::sim_start = 0;

TEST_F(SeedLinkTest, BothVersionsByteForByteWithWildcards) {
    const std::string sta = station->name;
    struct Case {
        int version;
        std::vector<std::string> commands;
        std::set<std::string> channels;
    } cases[] = {
        {3, {"STATION " + sta + " ZZ", "SELECT BH?.D", "DATA 000001", "END"}, {"BHN", "BHE"}},
        {3, {"STATION " + sta.substr(0, 1) + "* Z?", "SELECT ??SHZ", "DATA 000001", "END"}, {"SHZ"}},
        // Uni-station: DATA itself starts the transfer.
        {3, {"SELECT !SHZ", "DATA 000001"}, {"BHN", "BHE"}},
        {4, {"SLPROTO 4.0", "STATION ZZ_*", "SELECT *_B_H_?", "DATA 1", "END"}, {"BHN", "BHE"}},
        {4, {"SLPROTO 4.0", "STATION *", "SELECT *_S_H_Z.2D", "DATA ALL", "END"}, {"SHZ"}},
        {4, {"SLPROTO 4.0", "STATION " + id(), "SELECT *", "SELECT !*_B_H_N", "DATA", "END"}, {"SHZ", "BHE"}},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& command : c.commands) trace += command + "; ";
        SCOPED_TRACE(trace);
        Peer p(port);
        handshake(p, id(), c.commands);
        std::set<std::string> seen;
        uint64_t previous = 0;
        for (int i = 0; i < 30; ++i) {
            Packet k;
            ASSERT_TRUE(next_packet(p, c.version, &k)) << "packet " << i;
            EXPECT_GT(k.sequence, previous);
            previous = k.sequence;
            if (c.version == 4) { EXPECT_EQ(k.station, id()); }
            const Checked r = expect_signal(k.record, sim_start);
            EXPECT_TRUE(c.channels.count(r.channel)) << r.channel;
            seen.insert(r.channel);
        }
        EXPECT_EQ(seen, c.channels);
    }
}

TEST_F(SeedLinkTest, ResumesWithoutGapOrDuplicateAcrossDisconnectAndRestart) {
    for (const bool restart : {false, true})
        for (const int version : {3, 4}) {
            SCOPED_TRACE(std::string(restart ? "restart, " : "reconnect, ") + "version " + std::to_string(version));
            std::vector<Packet> got;
            auto collect = [&](const std::vector<std::string>& commands, int count) {
                Peer p(port);
                handshake(p, id(), commands);
                for (int i = 0; i < count; ++i) {
                    Packet k;
                    ASSERT_TRUE(next_packet(p, version, &k));
                    got.push_back(k);
                }
            };
            const std::string from = version == 4 ? "DATA ALL" : "DATA 000001";
            collect(version == 4 ? std::vector<std::string>{"SLPROTO 4.0", "STATION *", from, "END"}
                                 : std::vector<std::string>{"STATION * ZZ", from, "END"},
                    25);
            if (restart) {
                ASSERT_EQ(station->stop_veldrum(), 0);
                station->start_veldrum({"FLUSH=5"});
                wait_for_records(1);
            }
            const uint64_t resume = got.back().sequence + 1;
            char hex[16];
            std::snprintf(hex, sizeof hex, "%06llX", static_cast<unsigned long long>(resume & 0xFFFFFF));
            collect(version == 4 ? std::vector<std::string>{"SLPROTO 4.0", "STATION *", "DATA " + std::to_string(resume), "END"}
                                 : std::vector<std::string>{"STATION * ZZ", std::string("DATA ") + hex, "END"},
                    25);
            // Every record, one after the other, and each channel's time runs on.
            std::map<std::string, double> channel_end;
            for (size_t i = 1; i < got.size(); ++i) {
                EXPECT_EQ(got[i].sequence, got[i - 1].sequence + 1) << "packet " << i;
                const Checked r = expect_signal(got[i].record, sim_start);
                if (channel_end.count(r.channel)) { EXPECT_NEAR(r.start, channel_end[r.channel], 0.001) << r.channel; }
                channel_end[r.channel] = r.end;
            }
        }
}

TEST_F(SeedLinkTest, TimeWindowsEndWithEnd) {
    wait_for_records(120);
    const double t1 = sim_start + 30, t2 = sim_start + 50;
    const std::string sta = station->name;
    struct Case {
        int version;
        std::vector<std::string> commands;
    } cases[] = {
        {4, {"SLPROTO 4.0", "STATION " + id(), "DATA ALL " + utc(t1, kV4Time) + " " + utc(t2, kV4Time), "END"}},
        {4, {"SLPROTO 4.0", "STATION " + id(), "DATA ALL " + utc(t1, kV4Time), "ENDFETCH"}},
        {3, {"STATION " + sta + " ZZ", "TIME " + utc(t1, kV3Time) + " " + utc(t2, kV3Time), "END"}},
        {3, {"TIME " + utc(t1, kV3Time) + " " + utc(t2, kV3Time)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commands[c.commands.size() > 1 ? c.commands.size() - 2 : 0]);
        const bool window = c.commands.back() != "ENDFETCH";
        Peer p(port);
        handshake(p, id(), c.commands);
        std::map<std::string, std::pair<double, double>> span;  // channel -> first start, last end
        Packet k;
        bool end = false;
        int packets = 0;
        while (next_packet(p, c.version, &k, &end)) {
            const Checked r = expect_signal(k.record, sim_start);
            if (window) { EXPECT_TRUE(r.end > t1 && r.start < t2) << r.channel << " " << r.start; }
            if (!span.count(r.channel)) span[r.channel] = {r.start, r.start};
            if (window) { EXPECT_NEAR(r.start, span[r.channel].second, 0.001) << r.channel; }
            span[r.channel].second = r.end;
            ++packets;
        }
        EXPECT_TRUE(end) << "after " << packets << " packets";
        EXPECT_EQ(span.size(), 3u);
        for (const auto& [channel, s] : span) {
            EXPECT_LE(s.first, t1) << channel;
            EXPECT_GE(s.second, t2) << channel;
        }
    }
}

TEST_F(SeedLinkTest, FiftyClientsAtOnce) {
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 50; ++i) {
        // Spread over addresses: one address may hold only a share of the slots.
        peers.push_back(std::make_unique<Peer>(port, "127.0.1." + std::to_string(1 + i / 10)));
        ASSERT_TRUE(peers.back()->ok());
        handshake(*peers.back(), id(), {"SLPROTO 4.0", "STATION *", "DATA ALL", "END"});
    }
    std::vector<std::vector<uint64_t>> sequences(peers.size());
    for (int round = 0; round < 20; ++round)
        for (size_t i = 0; i < peers.size(); ++i) {
            Packet k;
            ASSERT_TRUE(next_packet(*peers[i], 4, &k)) << "client " << i;
            sequences[i].push_back(k.sequence);
        }
    for (size_t i = 1; i < peers.size(); ++i) EXPECT_EQ(sequences[i], sequences[0]) << "client " << i;
    // The status page lists every one of them.
    size_t listed = 0;
    for (int i = 0; i < 50 && listed != peers.size(); ++i, usleep(100000)) {
        const std::string status = status_json(http_port);
        listed = 0;
        for (size_t at = status.find("\"protocol\":\"SeedLink 4.0 TCP\""); at != std::string::npos;
             at = status.find("\"protocol\":\"SeedLink 4.0 TCP\"", at + 1))
            ++listed;
    }
    EXPECT_EQ(listed, peers.size());
}

TEST_F(SeedLinkTest, SeisplotjsClientsOverWebSocket) {
    const char* given = std::getenv("VELDRUM_NODE_MODULES");
    const std::string modules = given != nullptr && given[0] != '\0' ? std::string(given)
                                                                      : std::string(VELDRUM_BINARY_DIR) + "/node/node_modules";
    if (!exists(modules + "/seisplotjs/package.json"))
        GTEST_SKIP() << "no seisplotjs (npm install --prefix build/node seisplotjs@3.2.2)";
    const std::string sta = station->name;
    struct Case {
        std::string version;
        std::vector<std::string> commands;
    } cases[] = {
        {"3", {"STATION " + sta + " ZZ", "SELECT SHZ.D", "DATA 000001"}},
        {"4", {"STATION " + id(), "SELECT *_S_H_Z", "DATA 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("seisplotjs SeedLink " + c.version);
        std::string command = "node --experimental-websocket --no-warnings '" + std::string(VELDRUM_SOURCE_DIR) +
                              "/tests/live/seedlink_clients.mjs' '" + modules + "' ws://127.0.0.1:" +
                              std::to_string(port) + "/ " + c.version + " 15";
        for (const std::string& a : c.commands) command += " '" + a + "'";
        FILE* out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        char line[65536];
        int records = 0;
        bool done = false;
        while (fgets(line, sizeof line, out) != nullptr) {
            const std::string text(line);
            if (text.rfind("done", 0) == 0) done = true;
            if (text.rfind("error", 0) == 0) ADD_FAILURE() << text;
            if (text[0] != '{') continue;
            ++records;
            EXPECT_NE(text.find("\"channel\":\"SHZ\""), std::string::npos) << text.substr(0, 120);
            const double start = std::atof(text.c_str() + text.find("\"start\":") + 8) / 1000.0;
            const long long first = std::llround((start - sim_start) * kRates[0]);
            const char* p = text.c_str() + text.find("\"samples\":[") + 11;
            for (long long i = first; *p != ']' && *p != '\0'; ++i) {
                char* next = nullptr;
                const long v = std::strtol(p, &next, 10);
                if (v != static_cast<int16_t>(stationsim::signal_sample(kSeed, 0, i))) {
                    ADD_FAILURE() << "sample " << i << " is " << v;
                    break;
                }
                p = *next == ',' ? next + 1 : next;
            }
        }
        EXPECT_EQ(pclose(out), 0);
        EXPECT_TRUE(done);
        EXPECT_EQ(records, 15);
    }
}

TEST_F(SeedLinkTest, InfoInBothVersions) {
    {
        Peer p(port);
        p.send("SLPROTO 4.0\r\nINFO STREAMS\r\nINFO NOSUCH\r\n");
        ASSERT_EQ(p.line(), "OK\r\n");
        for (const char* expected : {"SEJI", "SEJE"}) {
            const std::string head = p.read(17);
            ASSERT_EQ(head.substr(0, 4), expected);
            uint32_t length = 0;
            for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<uint8_t>(head[4 + i]);
            const std::string json = p.read(length);
            if (head[3] == 'I') {
                EXPECT_NE(json.find("\"id\":\"" + id() + "\""), std::string::npos) << json;
                for (const char* stream : {"\"_S_H_Z\"", "\"_B_H_N\"", "\"_B_H_E\""})
                    EXPECT_NE(json.find(stream), std::string::npos) << json;
            } else {
                EXPECT_NE(json.find("\"code\":\"ARGUMENTS\""), std::string::npos) << json;
            }
        }
    }
    Peer p(port);
    p.send("INFO STREAMS\r\n");
    std::string xml;
    for (bool last = false; !last;) {
        const std::string packet = p.read(520);
        ASSERT_EQ(packet.size(), 520u);
        ASSERT_EQ(packet.substr(0, 6), "SLINFO");
        last = packet[7] == ' ';
        const Decoded d = mseed_decode(reinterpret_cast<const uint8_t*>(packet.data() + 8));
        EXPECT_TRUE(d.ok) << d.diagnostics;
        const int count = static_cast<uint8_t>(packet[8 + 30]) << 8 | static_cast<uint8_t>(packet[8 + 31]);
        xml += packet.substr(8 + 56, static_cast<size_t>(count));
    }
    for (const std::string& part : {"<station name=\"" + station->name + "\" network=\"ZZ\"",
                                    std::string("seedname=\"SHZ\""), std::string("</seedlink>")})
        EXPECT_NE(xml.find(part), std::string::npos) << xml;
}

// A WebSocket upgrade on a raw peer; true when the server switched.
bool upgrade(Peer& p, const std::string& protocol) {
    p.send("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Protocol: " + protocol + "\r\n\r\n");
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 1000) {
        const std::string c = p.read(1);
        if (c.empty()) break;
        head += c;
    }
    return head.rfind("HTTP/1.1 101", 0) == 0 && head.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") != std::string::npos &&
           head.find("Sec-WebSocket-Protocol: " + protocol) != std::string::npos;
}

TEST_F(SeedLinkTest, HostilePeersLeaveTheOthersServed) {
    Peer good(port, "127.0.0.9");
    handshake(good, id(), {"SLPROTO 4.0", "STATION *", "DATA", "END"});
    std::vector<std::unique_ptr<Peer>> kept;  // connections left hanging to the end
    struct Case {
        const char* name;
        std::function<void()> act;
        const char* log;  // what the operation log must say
    } cases[] = {
        {"overlong command",
         [&] {
             Peer p(port);
             p.send(std::string(300, 'A'));
             EXPECT_TRUE(p.closed_by_server());
         },
         "слишком длинная команда"},
        {"binary garbage",
         [&] {
             Peer p(port);
             p.send(std::string("HELLO\r\n\x00\xff\x13\x80garbage\r\n", 20));
             EXPECT_TRUE(p.closed_by_server());
         },
         "недопустимые байты в команде"},
        {"frame that claims 2^40 bytes",
         [&] {
             Peer p(port);
             ASSERT_TRUE(upgrade(p, "SeedLink4.0"));
             p.send(std::string("\x81\xFF\x00\x00\x01\x00\x00\x00\x00\x00\x01\x02\x03\x04", 14));
             EXPECT_TRUE(p.closed_by_server());
         },
         "неверный кадр WebSocket"},
        {"unmasked frame",
         [&] {
             Peer p(port);
             ASSERT_TRUE(upgrade(p, "SeedLink3.1"));
             p.send("\x81\x05HELLO");
             EXPECT_TRUE(p.closed_by_server());
         },
         "кадр клиента без маски"},
        {"upgrade without a SeedLink subprotocol",
         [&] {
             Peer p(port);
             EXPECT_FALSE(upgrade(p, "chat"));
             EXPECT_TRUE(p.closed_by_server());
         },
         "запрос WebSocket отклонён"},
        {"frame that stops short, and half-open handshakes",
         [&] {
             kept.push_back(std::make_unique<Peer>(port));
             ASSERT_TRUE(upgrade(*kept.back(), "SeedLink4.0"));
             kept.back()->send(std::string("\x81\xE4\x01\x02\x03\x04" "0123456789", 16));
             for (int i = 0; i < 5; ++i) {
                 kept.push_back(std::make_unique<Peer>(port, "127.0.0.3"));
                 kept.back()->send("HEL");
             }
         },
         "подключён"},
        {"1000 connections in a burst",
         [&] {
             std::vector<int> fds;
             for (int i = 0; i < 1000; ++i) {
                 const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
                 sockaddr_in a{};
                 a.sin_family = AF_INET;
                 a.sin_addr.s_addr = htonl(0x7F000200u + static_cast<uint32_t>(i % 50) + 1);
                 bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
                 a.sin_port = htons(static_cast<uint16_t>(port));
                 a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                 connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
                 fds.push_back(fd);
             }
             usleep(500000);
             for (int fd : fds) close(fd);
         },
         "(SLCLIENTS), отказано"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.act();
        EXPECT_TRUE(station->wait_log(c.log, 10000)) << c.log;
        // The client that behaves is still served, packet after packet.
        Packet k;
        uint64_t previous = 0;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(next_packet(good, 4, &k));
            if (previous != 0) { EXPECT_EQ(k.sequence, previous + 1); }
            previous = k.sequence;
        }
    }
    Peer fresh(port, "127.0.0.4");
    fresh.send("HELLO\r\n");
    EXPECT_EQ(fresh.read(hello_lines(id()).size()), hello_lines(id()));
    EXPECT_EQ(kill(station->server.pid, 0), 0);
}

// A client that stops reading falls behind in the ring and is dropped;
// the one that reads goes on without a gap.
TEST(SeedLinkStall, ClientThatStopsReadingIsDroppedAlone) {
    Station st('M');
    const int port = free_port();
    st.program = "veldrum-test";
    st.veldrum_keys = {{"SEEDLINK", std::to_string(port)}, {"SLRINGMB", "1"}, {"HTTP", "0"}};
    st.start_sim({"--many", "40:100", "--fast", "--speed", "20"});
    st.start_veldrum();
    std::unique_ptr<Peer> stalled;
    for (int i = 0; i < 100 && !stalled; ++i) {
        usleep(100000);
        auto p = std::make_unique<Peer>(port, "127.0.0.5", 4096);
        if (p->ok()) stalled = std::move(p);
    }
    ASSERT_TRUE(stalled);
    stalled->send("SLPROTO 4.0\r\nSTATION *\r\nDATA\r\nEND\r\n");
    auto reader_peer = std::make_unique<Peer>(port, "127.0.0.6");
    Peer& reader = *reader_peer;
    reader.send("SLPROTO 4.0\r\nSTATION *\r\nDATA\r\nEND\r\n");
    ASSERT_EQ(reader.read(12), "OK\r\nOK\r\nOK\r\n");
    uint64_t previous = 0, packets = 0;
    const std::string line = "отстал и отключён";
    for (int i = 0; i < 200000 && (i % 200 != 0 || st.log_count(line) == 0); ++i) {
        Packet k;
        ASSERT_TRUE(next_packet(reader, 4, &k));
        if (previous != 0) { ASSERT_EQ(k.sequence, previous + 1); }
        previous = k.sequence;
        ++packets;
    }
    EXPECT_EQ(st.log_count(line), 1u) << "after " << packets << " packets";
    reader_peer.reset();
    EXPECT_TRUE(stalled->closed_by_server());
    EXPECT_EQ(st.stop_veldrum(), 0);
}

}  // namespace

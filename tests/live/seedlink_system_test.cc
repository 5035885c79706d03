// The SeedLink server as its clients see it: veldrum fed by stationsim,
// raw clients of both protocol versions read byte for byte and decoded with
// libmseed, and hostile peers (seisplotjs's clients: tests/system/roads_test.cc).
#include <httplib.h>

#include <list>

#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;

constexpr uint32_t kSeed = 7;
const std::string kChannels = "SHZBHNBHE";  // the simulator's channels 0, 1, 2

// A TCP connection to the SeedLink port from a chosen loopback address.
struct Peer {
    int fd;
    bool ok = false, eof = false;
    explicit Peer(int port, const std::string& from = "127.0.0.1", int rcvbuf = 0, int flags = 0)
        : fd(liss_client::connect_from(from.c_str(), port, flags, rcvbuf)), ok(fd >= 0) {}
    ~Peer() { close(fd); }
    void send(const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    std::string read(size_t n, int timeout_ms = 10000) {  // fewer at a close or time-out
        std::string got;
        char buffer[4096];
        while (got.size() < n) {
            const ssize_t k = liss_client::readable_within(fd, timeout_ms)
                                  ? recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0) : -1;
            eof = k == 0;
            if (k <= 0) break;
            got.append(buffer, static_cast<size_t>(k));
        }
        return got;
    }
    std::string until(const std::string& end) {  // up to and with `end`
        std::string got;
        for (std::string c = " "; !c.empty() && got.size() < 2000 && !got.ends_with(end);) got += c = read(1);
        return got;
    }
    bool closed_by_server() { while (!read(4096).empty()) {} return eof; }
};

struct Packet { uint64_t sequence = 0; std::string station, record; };  // station: 4.0 only

uint64_t little_endian(const std::string& bytes) {
    uint64_t v = 0;
    std::memcpy(&v, bytes.data(), std::min<size_t>(bytes.size(), 8));
    return le64toh(v);
}

// One data packet; false at END, a close or a time-out (`end` says END).
bool next_packet(Peer& p, int version, Packet* out, bool* end = nullptr, int timeout_ms = 10000) {
    std::string head = p.read(3, timeout_ms);
    if (end != nullptr) *end = head == "END";
    if (head.size() < 3 || head == "END") return false;
    head += p.read(version == 3 ? 5 : 14);
    if (version == 3) {
        if (head.size() != 8 || !head.starts_with("SL")) return false;
        out->sequence = std::stoull(head.substr(2), nullptr, 16);
    } else {
        if (head.size() != 17 || !head.starts_with("SE2D") || little_endian(head.substr(4, 4)) != 512) return false;
        out->sequence = little_endian(head.substr(8, 8));
        out->station = p.read(static_cast<uint8_t>(head[16]));
    }
    out->record = p.read(512);
    return out->record.size() == 512;
}

// HELLO, the commands each answered OK, then the one that starts the data.
void start(Peer& p, const std::string& id, const std::vector<std::string>& commands, const std::string& starter) {
    std::string all = "HELLO\r\n";
    for (const std::string& c : commands) all += c + "\r\n";
    p.send(all + (starter.empty() ? "" : starter + "\r\n"));
    EXPECT_EQ(p.until("\r\n"), "SeedLink v4.0 (VelDrum/1.0) :: SLPROTO:4.0 SLPROTO:3.1 CAP EXTREPLY NSWILDCARD BATCH WS:13\r\n");
    EXPECT_EQ(p.until("\r\n"), "VelDrum station " + id + "\r\n");
    for (const std::string& c : commands) EXPECT_EQ(p.until("\r\n"), "OK\r\n") << c;
}

// Records hold the simulator's samples and overlap [t1, t2), sequences rise, and
// (gapless) each channel runs on seamlessly. Returns channel -> {first start, last end}.
std::map<std::string, std::pair<double, double>> expect_runs(const std::vector<Packet>& got, double sim_start,
                                                             double t1 = 0, double t2 = 1e18, bool gapless = true) {
    std::map<std::string, std::pair<double, double>> span;
    for (size_t i = 0; i < got.size(); ++i) {
        if (i > 0) { EXPECT_GT(got[i].sequence, got[i - 1].sequence); }
        const Decoded d = mseed_decode(reinterpret_cast<const uint8_t*>(got[i].record.data()));
        const size_t c = kChannels.find(d.channel) / 3;
        EXPECT_TRUE(d.ok && d.diagnostics.empty() && c < 3 && d.rate > 0) << d.channel << d.diagnostics;
        const double start = d.start / 1e6, end = start + d.samples.size() / d.rate;
        const long long first = std::llround((start - sim_start) * d.rate);
        std::vector<int32_t> want;
        for (long long k = 0; k < (long long)d.samples.size() && c < 3; ++k)
            want.push_back(stationsim::signal_sample(kSeed, int(c), first + k));
        EXPECT_EQ(d.samples, want) << d.channel << " from sample " << first;
        EXPECT_TRUE(end > t1 && start < t2) << d.channel << " " << start;
        const auto [at, fresh] = span.try_emplace(d.channel, start, start);
        if (gapless) { EXPECT_NEAR(start, at->second.second, 0.001) << d.channel; }
        at->second.second = end;
    }
    return span;
}

// The body of a GET on the loopback HTTP port; "" when there is none.
std::string http_get(int port, const std::string& path) {
    const auto r = httplib::Client("127.0.0.1", port).Get(path);
    return r ? r->body : "";
}

// A UTC time as 3.1 (v3 true) or 4.0 writes it.
std::string utc(double t, bool v3) {
    const time_t s = static_cast<time_t>(t);
    char text[40];
    strftime(text, sizeof text, v3 ? "%Y,%m,%d,%H,%M,%S" : "%Y-%m-%dT%H:%M:%SZ", gmtime(&s));
    return text;
}

class SeedLinkTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        station = new Station('L');
        port = free_port();
        http_port = free_port();
        sim_start = static_cast<double>(time(nullptr) - 3600);
        station->program = "veldrum-test";
        station->veldrum_keys = {{"SEEDLINK", std::to_string(port)}, {"SLRINGMB", "1"}, {"SLLATENCY", "0.5"},
                                 {"NETWORK", "ZZ"}, {"HTTP", "127.0.0.1:" + std::to_string(http_port)}};
        station->start_sim({"--channels", "SHZ:100:0,BHN:20:0,BHE:20:0", "--fast", "--speed", "20", "--start",
                            std::to_string(static_cast<long long>(sim_start)), "--seed", std::to_string(kSeed)});
        station->start_veldrum({"FLUSH=5"});
        wait_for_records(40);
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(station->stop_veldrum(), 0);  // a clean exit, whatever the peers did
        delete station;
    }
    // Until the ring holds at least n records (the feed and the server run).
    static void wait_for_records(uint64_t n) {
        ASSERT_TRUE(wait_until([n] {
            Peer p(port);
            p.send("SLPROTO 4.0\r\nSTATION *\r\nDATA ALL\r\nEND\r\n");
            Packet last;
            uint64_t got = 0;
            if (p.read(12, 2000) == "OK\r\nOK\r\nOK\r\n")
                while (got < n && next_packet(p, 4, &last, nullptr, 500)) ++got;
            return got >= n;
        }, 60000)) << "fewer than " << n << " records on the SeedLink port";
    }
    static std::string id() { return "ZZ_" + station->name; }

    static inline Station* station = nullptr;
    static inline int port = 0, http_port = 0;
    static inline double sim_start = 0;
};

// Each client reads, goes away and comes back for the record after its last one (some across a
// restart of veldrum): every selected record comes once. Time windows end with END.
TEST_F(SeedLinkTest, BothVersionsByteForByteWithWildcardsResumingWithoutGapOrDuplicateAndWindows) {
    const std::string sta = station->name;
    // data: the first DATA; 3.1 without STATION starts with it.
    struct Case { int version; std::vector<std::string> commands; std::string data; std::set<std::string> channels; bool restart; };
    const Case cases[] = {
        {3, {"STATION " + sta + " ZZ", "SELECT BH?.D"}, "DATA 000001", {"BHN", "BHE"}, false},
        {3, {"STATION " + sta.substr(0, 1) + "* Z?", "SELECT ??SHZ"}, "DATA 000001", {"SHZ"}, false},
        {3, {"SELECT !SHZ"}, "DATA 000001", {"BHN", "BHE"}, false},
        {3, {"STATION * ZZ"}, "DATA 000001", {"SHZ", "BHN", "BHE"}, true},
        {4, {"SLPROTO 4.0", "STATION ZZ_*", "SELECT *_B_H_?"}, "DATA 1", {"BHN", "BHE"}, false},
        {4, {"SLPROTO 4.0", "STATION *", "SELECT *_S_H_Z.2D"}, "DATA ALL", {"SHZ"}, false},
        {4, {"SLPROTO 4.0", "STATION " + id(), "SELECT *", "SELECT !*_B_H_N"}, "DATA", {"SHZ", "BHE"}, false},
        {4, {"SLPROTO 4.0", "STATION *"}, "DATA ALL", {"SHZ", "BHN", "BHE"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commands.back() + (c.restart ? ", restart" : ""));
        const bool uni = c.commands[0].starts_with("SELECT");
        std::vector<Packet> got;
        for (std::string data = c.data; got.size() < 40;) {
            Peer p(port);
            std::vector<std::string> commands = c.commands;
            if (!uni) commands.push_back(data);
            start(p, id(), commands, uni ? data : "END");
            for (int i = 0; i < 20; ++i) {
                ASSERT_TRUE(next_packet(p, c.version, &got.emplace_back())) << "packet " << got.size();
                if (c.version == 4) { EXPECT_EQ(got.back().station, id()); }
            }
            char text[24];
            std::snprintf(text, sizeof text, c.version == 3 ? "DATA %06llX" : "DATA %llu",
                          static_cast<unsigned long long>(got.back().sequence + 1));
            data = text;
            if (c.restart && got.size() == 20) {
                ASSERT_EQ(station->stop_veldrum(), 0);
                station->start_veldrum({"FLUSH=5"});
                wait_for_records(1);
            }
        }
        std::set<std::string> seen;
        for (const auto& [channel, span] : expect_runs(got, sim_start)) seen.insert(channel);
        EXPECT_EQ(seen, c.channels);
        if (c.channels.size() == 3) { EXPECT_EQ(got.back().sequence - got.front().sequence, 39u); }
    }

    wait_for_records(120);
    const double t1 = sim_start + 30, t2 = sim_start + 50;
    const std::string v3_window = "TIME " + utc(t1, true) + " " + utc(t2, true);
    struct Span { int version; std::vector<std::string> commands; std::string starter; double until; };
    const Span windows[] = {
        {4, {"SLPROTO 4.0", "STATION " + id(), "DATA ALL " + utc(t1, false) + " " + utc(t2, false)}, "END", t2},
        {4, {"SLPROTO 4.0", "STATION " + id(), "DATA ALL " + utc(t1, false)}, "ENDFETCH", 1e18},
        {3, {"STATION " + station->name + " ZZ", v3_window}, "END", t2},
        {3, {}, v3_window, t2},
    };
    for (const Span& c : windows) {
        SCOPED_TRACE(c.commands.empty() ? c.starter : c.commands.back() + " " + c.starter);
        Peer p(port);
        start(p, id(), c.commands, c.starter);
        std::vector<Packet> got(1);
        bool end = false;
        while (next_packet(p, c.version, &got.back(), &end)) got.emplace_back();
        got.pop_back();
        EXPECT_TRUE(end);
        // Up to the live end the feed may have paused (a restart of veldrum).
        const auto spans = expect_runs(got, sim_start, t1, c.until, c.until == t2);
        EXPECT_EQ(spans.size(), 3u);
        for (const auto& [channel, s] : spans) { EXPECT_TRUE(s.first <= t1 && s.second >= t2) << channel; }
    }
}

TEST_F(SeedLinkTest, FiftyClientsAtOnceAllOnTheStatusPageAndInfo) {
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 50; ++i) {
        // Spread over addresses: one address may hold only a share of the slots.
        peers.push_back(std::make_unique<Peer>(port, "127.0.1." + std::to_string(1 + i / 10)));
        start(*peers.back(), id(), {"SLPROTO 4.0", "STATION *", "DATA ALL"}, "END");
    }
    for (int round = 0; round < 20; ++round) {  // each gets the same packets
        std::vector<Packet> k(peers.size());
        for (size_t i = 0; i < peers.size(); ++i) {
            ASSERT_TRUE(next_packet(*peers[i], 4, &k[i])) << "client " << i;
            EXPECT_TRUE(k[i].sequence == k[0].sequence && k[i].record == k[0].record) << "client " << i;
        }
    }
    EXPECT_TRUE(wait_until([&] { return count(http_get(http_port, "/api/status"), "\"SeedLink 4.0 TCP\"") == 50; }, 5000));
    // INFO of both versions beside them.
    Peer v4(port);
    v4.send("SLPROTO 4.0\r\nINFO STREAMS\r\n");
    ASSERT_EQ(v4.until("\r\n"), "OK\r\n");
    const std::string head = v4.read(17);
    ASSERT_TRUE(head.starts_with("SEJI")) << head;
    const std::string json = v4.read(little_endian(head.substr(4, 4)));
    EXPECT_NE(json.find("\"id\":\"" + id() + "\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"_B_H_N\""), std::string::npos) << json;
    // 3.1: XML in the text of miniSEED records, "SLINFO *" until the last.
    Peer v3(port);
    v3.send("INFO STREAMS\r\n");
    std::string xml;
    for (std::string packet = "SLINFO *"; packet[7] == '*';) {
        packet = v3.read(520);
        ASSERT_TRUE(packet.size() == 520 && packet.starts_with("SLINFO")) << packet.substr(0, 8);
        EXPECT_TRUE(mseed_decode(reinterpret_cast<const uint8_t*>(packet.data() + 8)).ok);
        xml += packet.substr(8 + 56, static_cast<uint8_t>(packet[8 + 30]) << 8 | static_cast<uint8_t>(packet[8 + 31]));
    }
    for (const std::string& part : {"<station name=\"" + station->name + "\" network=\"ZZ\"", std::string("</seedlink>")})
        EXPECT_NE(xml.find(part), std::string::npos) << xml;
}

// Never both formats in one connection (seisplotjs reads miniSEED 3: tests/system/roads_test.cc);
// INFO tells of both.
TEST_F(SeedLinkTest, Mseed3NeverMixedAndInfoOfBothFormats) {
    Peer mixed(port), v4(port);
    const std::string refusal = "OK\r\nOK\r\nERROR ARGUMENTS miniSEED 2 and 3 cannot be mixed in one connection\r\n";
    mixed.send("SLPROTO 4.0\r\nSTATION *\r\nSELECT *.2D *:3\r\n");
    EXPECT_EQ(mixed.read(refusal.size()), refusal);
    v4.send("SLPROTO 4.0\r\nINFO STREAMS * *.3D\r\n");
    const std::string head = v4.read(21);
    ASSERT_TRUE(head.starts_with("OK\r\nSEJI")) << head;
    const std::string json = v4.read(little_endian(head.substr(8, 4)));
    for (const char* part : {"\"3\":{\"mimetype\":\"application/vnd.fdsn.mseed3\"", "\"id\":\"_B_H_N\",\"format\":\"3\"",
                             "\"format_seq\":{\"2\":{\"start_seq\":"})
        EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
}

// A WebSocket upgrade on a raw peer; true when the server switched.
bool upgrade(Peer& p, const std::string& protocol) {
    p.send("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
           "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: " + protocol + "\r\n\r\n");
    const std::string head = p.until("\r\n\r\n");
    return head.starts_with("HTTP/1.1 101") && head.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") != std::string::npos &&
           head.find("Sec-WebSocket-Protocol: " + protocol) != std::string::npos;
}

TEST_F(SeedLinkTest, HostilePeersLeaveTheOthersServed) {
    Peer good(port, "127.0.0.9");
    start(good, id(), {"SLPROTO 4.0", "STATION *", "DATA"}, "END");
    // The log names each fault; the client that behaves reads on without a gap.
    auto others_served = [&](const char* log) {
        EXPECT_TRUE(station->wait_log(log, 10000)) << log;
        Packet k[3];
        for (Packet& one : k) ASSERT_TRUE(next_packet(good, 4, &one)) << log;
        EXPECT_TRUE(k[1].sequence == k[0].sequence + 1 && k[2].sequence == k[1].sequence + 1) << log;
    };
    // A broken frame is answered with a close of status 1002 (protocol error).
    const std::string close_1002 = "\x88\x02\x03\xEA";
    auto closed_after = [&](const std::string& protocol, const std::string& bytes, const char* log,
                            const std::string& last = "") {
        Peer p(port);
        if (!protocol.empty()) { EXPECT_EQ(upgrade(p, protocol), protocol != "chat"); }
        p.send(bytes);
        std::string got;
        for (std::string more; !(more = p.read(4096)).empty();) got += more;
        EXPECT_TRUE(p.eof && got.ends_with(last)) << log;
        others_served(log);
    };
    closed_after("", std::string(300, 'A'), "слишком длинная команда");
    closed_after("", std::string("HELLO\r\n\x00\xff\x13\x80garbage\r\n", 20), "недопустимые байты в команде");
    // A frame that claims 2^40 bytes.
    closed_after("SeedLink4.0", std::string("\x81\xFF\0\0\x01\0\0\0\0\0\x01\x02\x03\x04", 14), "неверный кадр WebSocket",
                 close_1002);
    closed_after("SeedLink3.1", "\x81\x05HELLO", "кадр клиента без маски", close_1002);
    closed_after("SeedLink4.0", "\x88\x81\x01\x02\x03\x04\x07", "кадр закрытия с одним байтом", close_1002);
    closed_after("chat", "", "запрос WebSocket отклонён");
    // Left hanging to the end: a frame that stops short, half-open handshakes.
    std::vector<std::unique_ptr<Peer>> kept;
    ASSERT_TRUE(upgrade(*kept.emplace_back(std::make_unique<Peer>(port)), "SeedLink4.0"));
    kept.back()->send(std::string("\x81\xE4\x01\x02\x03\x04" "0123456789", 16));
    for (int i = 0; i < 5; ++i) kept.emplace_back(std::make_unique<Peer>(port, "127.0.0.3"))->send("HEL");
    others_served("подключён");
    {  // a burst of connections, held for a moment
        std::list<Peer> burst;
        for (int i = 0; i < 1000; ++i) burst.emplace_back(port, "127.0.2." + std::to_string(1 + i % 50), 0, SOCK_NONBLOCK);
        usleep(500000);
    }
    others_served("(SLCLIENTS), отказано");
    Peer fresh(port, "127.0.0.4");
    start(fresh, id(), {}, "");
}

// A client that stops reading falls behind in the ring and is dropped; the one that reads goes
// on without a gap, while miniSEED 3's ring, which cannot be used, turned off only itself. Then
// the miniSEED 2 ring file the program cannot use (a directory in its place): one line says so,
// recording and LISS go on, and every report says SeedLink is off.
TEST(SeedLinkStore, StalledClientIsDroppedAloneAndUnusableRingTurnsSeedLinkOffAlone) {
    Station st('M');
    const int port = free_port(), liss = free_port(), http = free_port();
    st.program = "veldrum-test";
    st.veldrum_keys = {{"SEEDLINK", std::to_string(port)}, {"SLRINGMB", "1"},
                       {"HTTP", "127.0.0.1:" + std::to_string(http)}};
    st.station_keys = {{"LANA", "0"}, {"SPORT", std::to_string(liss)}, {"SCH", "C00"}};
    st.start_sim({"--many", "40:100", "--fast", "--speed", "20"});
    const std::string ring3 = st.data_dir + "/seedlink3.ring";
    ASSERT_EQ(mkdir(ring3.c_str(), 0755), 0);
    st.start_veldrum();
    std::unique_ptr<Peer> stalled;
    ASSERT_TRUE(wait_until([&] { return (stalled = std::make_unique<Peer>(port, "127.0.0.5", 4096))->ok; }, 10000));
    auto reader = std::make_unique<Peer>(port, "127.0.0.6");
    for (Peer* p : {stalled.get(), reader.get()}) p->send("SLPROTO 4.0\r\nSTATION *\r\nDATA\r\nEND\r\n");
    ASSERT_EQ(reader->read(12), "OK\r\nOK\r\nOK\r\n");
    const std::string line = "отстал и отключён";
    Packet k[2];
    for (int i = 0; i < 200000 && (i % 200 != 0 || st.log_count(line) == 0); ++i) {
        ASSERT_TRUE(next_packet(*reader, 4, &k[i % 2])) << "packet " << i;
        if (i > 0) { ASSERT_EQ(k[i % 2].sequence, k[(i + 1) % 2].sequence + 1); }
    }
    EXPECT_EQ(st.log_count(line), 1u);
    EXPECT_EQ(st.log_count("Кольцо записей miniSEED 3: файл '" + ring3 +
                           "' не открывается (на его месте каталог), miniSEED 3 в SeedLink выключен"), 1u);
    Peer refused(port);
    refused.send("SLPROTO 4.0\r\nSTATION *\r\nSELECT *:3\r\n");
    const std::string refusal = "OK\r\nOK\r\nERROR UNSUPPORTED miniSEED 3 is not available\r\n";
    EXPECT_EQ(refused.read(refusal.size()), refusal);
    reader.reset();
    EXPECT_TRUE(stalled->closed_by_server());
    EXPECT_EQ(st.stop_veldrum(), 0);

    const std::string ring = st.data_dir + "/seedlink.ring";
    ASSERT_TRUE(std::filesystem::remove(ring) && mkdir(ring.c_str(), 0755) == 0);
    auto recorded = [&] {  // samples in the newest file of the last channel
        const auto f = st.files();
        return f.empty() ? 0 : f.back().samples.size();
    };
    const size_t before = recorded();
    st.start_veldrum({"FLUSH=5"});
    const int client = liss_client::connect_to(liss, 0, 30000);
    uint8_t record[512];
    ASSERT_TRUE(liss_client::read_exact(client, record, sizeof record, 30000)) << st.log();
    close(client);
    EXPECT_TRUE(wait_until([&] { return recorded() > before; }, 30000)) << st.log();
    EXPECT_EQ(st.log_count("Кольцо записей SeedLink: файл '" + ring +
                           "' не открывается (на его месте каталог), SeedLink выключен"), 1u)
        << st.log();
    EXPECT_FALSE(Peer(port).ok);
    for (const auto& [path, off] : {std::pair{"/api/status", "\"seedlink_failed\":true"}, {"/api/status", "\"seedlink_port\":0,"},
                                    {"/metrics", "\nveldrum_seedlink_up 0\n"}, {"/api/health", "\"seedlink\":\"off\""}})
        EXPECT_NE(http_get(http, path).find(off), std::string::npos) << path << " " << off;
    EXPECT_EQ(st.stop_veldrum(), 0);
}

}  // namespace

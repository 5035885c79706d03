// One run of the whole program read on every live road. stationsim sends
// its pattern (values from 0 to 65,535); LISS gives the selected channels
// whole and in order (libmseed), and LISS and SeedLink 4.0 (miniSEED 2 and
// 3) and 3.1 over WebSocket (seisplotjs in Node) give back SHZ's values
// exactly as sent, unsigned, as does the ring file's range. FDSN dataselect
// has its own test.
#include <cmath>

#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"

namespace {

using namespace system_run;
using std::to_string;

// SHZ's values as a road gave them, by position in the simulator's run.
using Values = std::map<long long, long long>;

// Reads the lines "format sequence channel start_ms samples..." of a
// seisplotjs client; returns what it did not expect: another format or
// channel, a value given twice. `last` gets the last sequence number.
std::string read_client(FILE* out, long long start, Values* values, int format,
                        unsigned long long* last = nullptr) {
    std::string errors;
    for (char line[65536]; out != nullptr && fgets(line, sizeof line, out) != nullptr;) {
        std::istringstream in(line);
        std::string channel;
        int f = 0;
        unsigned long long sequence = 0;
        double ms = 0;
        if (!(in >> f >> sequence >> channel >> ms) || channel != "SHZ" || f != format)
            errors += std::string(line).substr(0, 80) + "\n";
        if (last != nullptr) *last = sequence;
        long long at = std::llround((ms / 1000 - double(start)) * 100);
        for (long long v; in >> v; ++at)
            if (!values->emplace(at, v).second) errors += "twice: " + to_string(at) + "\n";
    }
    return out == nullptr || pclose(out) != 0 ? errors + "the client failed" : errors;
}

TEST(SystemRoads, LissSendsSelectedChannelsWholeAndEveryRoadTheSentValues) {
    const long long start = time(nullptr) - 3600;  // the simulator's first sample
    constexpr long long kFlush = 1900;             // samples a 100 or 50 sps stream goes out in
    Station s('Q');
    const int liss = free_port(), seedlink = free_port();
    s.veldrum_keys["SEEDLINK"] = to_string(seedlink);
    // From the station's INI section this time, with ';' and a blank between.
    s.station_keys = {{"LANA", "0"}, {"SPORT", to_string(liss)}, {"SCH", "SHZ; BHZ"}};
    s.start_veldrum({"FLUSH=5"});
    const int client = liss_client::connect_to(liss, 0, 30000);
    ASSERT_TRUE(
        s.wait_log("127.0.0.1:" + to_string(liss_client::local_port(client)) + " connected", 20000))
        << s.log() << s.server.text();
    s.start_sim({"--channels", "SHZ:100:0,SHN:100:0,SHE:100:0,BHZ:50:0", "--pattern", "--fast",
                 "--start", to_string(start), "--seconds", "60", "--once"});
    struct Stream {  // pattern index, rate, the sample after the last received, its sequence
        int index, rate;
        long long end = 0;
        int sequence = 0;
    };
    std::map<std::string, Stream> streams = {{"SHZ", {0, 100}}, {"BHZ", {3, 50}}};
    std::map<std::string, Values> roads;
    // Of 60 seconds, SHZ goes out in three flushes of 19 s and BHZ in one of
    // 38 s; the rest stays gathered. Each record begins where the one before
    // ended, with sequence number 000011 exactly where a flush begins.
    while (streams["SHZ"].end < 3 * kFlush || streams["BHZ"].end < kFlush) {
        uint8_t rec[kSeedRecordLength];
        ASSERT_TRUE(liss_client::read_exact(client, rec, sizeof rec, 30000)) << s.log();
        const Decoded d = mseed_decode(rec);
        ASSERT_TRUE(d.ok && d.diagnostics.empty() && streams.count(d.channel))
            << d.channel << " " << d.diagnostics;
        Stream& c = streams[d.channel];
        const hptime_t offset = d.start - start * HPTMODULUS;
        const long long first = std::llround(double(offset) * c.rate / HPTMODULUS);
        size_t differ = d.samples.empty();
        for (size_t i = 0; i < d.samples.size(); ++i)
            differ += d.samples[i] != stationsim::pattern_sample(c.index, first + i);
        EXPECT_EQ(std::make_tuple(d.reclen, d.encoding, d.station, d.rate,
                                  first * HPTMODULUS / c.rate, first, d.sequence, differ),
                  std::make_tuple(512, DE_STEIM2, s.name, double(c.rate), offset, c.end,
                                  first % kFlush == 0 ? 11 : c.sequence + 1, 0u))
            << d.channel << ": length, encoding, station, rate, start, first sample, sequence, "
            << "samples that differ";
        c.end = first + d.samples.size(), c.sequence = d.sequence;
        for (size_t i = 0; d.channel == "SHZ" && i < d.samples.size(); ++i)
            roads["LISS"].emplace(first + i, d.samples[i]);
    }
    EXPECT_FALSE(liss_client::readable_within(client, 1500)) << "beyond the flushed samples";
    close(client);
    EXPECT_EQ(std::make_pair(streams["SHZ"].end, streams["BHZ"].end),
              std::make_pair(3 * kFlush, kFlush));

    ASSERT_TRUE(wait_until(
        [&] { return s.number("select sum(tqty)" + s.own() + " and ch='SHZ'") >= 60; }, 60000));
    for (const RingFile& f : s.files())  // each SHZ file's first piece holds a whole cycle
        EXPECT_TRUE(f.channel != "SHZ" || f.header.find("Amin=0.0\r\nAmax=65535.0\r\n") < 512)
            << f.header;
    const char* given = std::getenv("VELDRUM_NODE_MODULES");
    const std::string modules = given && *given ? given : VELDRUM_BINARY_DIR "/node/node_modules";
    const bool node = exists(modules + "/seisplotjs/package.json");
    const std::string js = "node --experimental-websocket --no-warnings " VELDRUM_SOURCE_DIR
                           "/tests/system/seisplotjs_clients.mjs '" +
                           modules + "' ";
    const std::string ws = "ws://127.0.0.1:" + to_string(seedlink) + "/ 5 ";
    // At once, each with its own format: miniSEED 3 one record a block.
    const std::tuple<std::string, int, std::string> clients[] = {
        {"SeedLink 4.0", 2, ws + "4 'STATION XX_" + s.name + "' 'SELECT *_S_H_Z' 'DATA 1'"},
        {"SeedLink 4.0 miniSEED 3", 3, ws + "4 'STATION XX_" + s.name + "' 'SELECT *_S_H_Z.3D' 'DATA 1'"},
        {"SeedLink 3.1", 2, ws + "3 'STATION " + s.name + " XX' 'SELECT SHZ.D' 'DATA 000001'"},
    };
    std::vector<FILE*> outs;
    for (const auto& [road, format, args] : clients)
        if (node) outs.push_back(popen((js + args).c_str(), "r"));
    unsigned long long last = 0;
    for (size_t i = 0; i < outs.size(); ++i) {
        const auto& [road, format, args] = clients[i];
        EXPECT_EQ(read_client(outs[i], start, &roads[road], format, format == 3 ? &last : nullptr), "") << road;
    }
    // The miniSEED 3 client comes back after a restart for the record after its last one.
    if (node) {
        ASSERT_EQ(s.stop_veldrum(), 0);
        s.start_veldrum();
        const int port = liss_client::connect_to(seedlink, 0, 20000);
        ASSERT_TRUE(port >= 0 && close(port) == 0);
        const std::string resume = ws + "4 'STATION *' 'SELECT *_S_H_Z.3D' 'DATA " + to_string(last + 1) + "'";
        EXPECT_EQ(read_client(popen((js + resume).c_str(), "r"), start, &roads[std::get<0>(clients[1])], 3), "");
    }

    // Every road from the cycle's first sample on, each value as sent once.
    for (const auto& [road, values] : roads) {
        size_t differ = 0;
        for (const auto& [at, v] : values) differ += v != stationsim::pattern_sample(0, at);
        EXPECT_TRUE(differ == 0 && values.size() >= 100 && values.begin()->first == 0 &&
                    values.rbegin()->first == (long long)values.size() - 1)
            << road << ": " << differ << " of " << values.size() << " values differ from the sent";
    }
    if (!node) GTEST_SKIP() << "no seisplotjs in " << modules << ": SeedLink unread";
}

}  // namespace

// The FDSN services: the request parser on its own, then veldrum fed by
// stationsim and asked by seisplotjs (the field's client, in Node), by
// libmseed-decoded raw requests and by hostile ones.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fdsn/dataselect.h"
#include "fdsn/fdsn_request.h"
#include "shell/address_allow.h"
#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"
#include "tools/stationsim/signal.h"

namespace {

using system_run::Station;

// --- the parser -----------------------------------------------------------

TEST(FdsnRequest, Times) {
    struct Case {
        const char* text;
        bool ok;
        FdsnTime micros;
    };
    const Case cases[] = {
        {"2026-03-01", true, 1772323200000000},
        {"2026-03-01T23:57:30", true, 1772409450000000},
        {"2026-03-01T23:57:30.5Z", true, 1772409450500000},
        {"2026-03-01T23:57:30.123456", true, 1772409450123456},
        {"2026-03-01T23:57:30.1234567", true, 1772409450123456},  // beyond microseconds: cut
        {"2026-060T23:57:30", true, 1772409450000000},            // ordinal day
        {"2024-02-29", true, 1709164800000000},
        {"1969-12-31T23:59:59", true, -1000000},
        {"2023-02-29", false, 0},
        {"2026-13-01", false, 0},
        {"2026-03-01T24:00:00", false, 0},
        {"2026-03-01T23:60", false, 0},
        {"2026-03-01 23:57:30", false, 0},
        {"2026-03-01T23:57:30.", false, 0},
        {"2026-03-01T23:57:30.1234567891", false, 0},
        {"2026-367", false, 0},
        {"now", false, 0},
        {"", false, 0},
        {"2026-03-01T23:57:30+03:00", false, 0},
    };
    for (const Case& c : cases) {
        FdsnTime t = 0;
        EXPECT_EQ(parse_fdsn_time(c.text, &t), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(t, c.micros) << c.text;
            FdsnTime back = 0;
            ASSERT_TRUE(parse_fdsn_time(format_fdsn_time(t), &back));
            EXPECT_EQ(back, t) << format_fdsn_time(t);
        }
    }
}

TEST(FdsnRequest, CodesAndParameters) {
    struct Case {
        FdsnService service;
        std::vector<std::pair<std::string, std::string>> params;
        const char* error;  // "" when the request is good
    };
    const std::string stars(5000, '*');
    std::string many;
    for (int i = 0; i < 40; ++i) many += "S?Z,";
    const Case cases[] = {
        {FdsnService::kDataselect, {{"net", "XY"}, {"cha", "SH?,BH*"}, {"loc", "--"}}, ""},
        {FdsnService::kDataselect, {{"network", "XY"}, {"nodata", "404"}, {"", ""}}, ""},
        {FdsnService::kDataselect, {{"cha", "../x"}}, "channel codes hold"},
        {FdsnService::kDataselect, {{"sta", "A/B"}}, "station codes hold"},
        {FdsnService::kDataselect, {{"cha", stars}}, "too long"},
        {FdsnService::kDataselect, {{"cha", many}}, "too many channel codes"},
        {FdsnService::kDataselect, {{"cha", "SHZ,,SHN"}}, "empty channel code"},
        {FdsnService::kDataselect,
         {{"start", "2026-03-02"}, {"end", "2026-03-01"}},
         "start time after"},
        {FdsnService::kDataselect, {{"starttime", "yesterday"}}, "bad start time"},
        {FdsnService::kDataselect, {{"net", "XY"}, {"network", "XY"}}, "given twice"},
        {FdsnService::kDataselect, {{"level", "channel"}}, "unknown parameter"},
        {FdsnService::kDataselect, {{"format", "sac"}}, "only miniseed"},
        {FdsnService::kDataselect, {{"nodata", "500"}}, "204 or 404"},
        {FdsnService::kDataselect, {{"quality", "X"}}, "D, R, Q, M or B"},
        {FdsnService::kDataselect, {{"minimumlength", "-1"}}, "at least 0"},
        {FdsnService::kAvailability, {{"merge", "quality,samplerate"}, {"format", "geocsv"}}, ""},
        {FdsnService::kAvailability, {{"merge", "everything"}}, "bad value for merge"},
        {FdsnService::kAvailability, {{"orderby", "random"}}, "bad value for orderby"},
        {FdsnService::kAvailability, {{"limit", "0"}}, "whole number"},
        {FdsnService::kStation, {{"level", "channel"}, {"minlat", "-91"}}, "latitude from"},
        {FdsnService::kStation, {{"level", "everything"}}, "bad value for level"},
        {FdsnService::kStation, {{"endafter", "2026-03-01T00:00:00Z"}, {"format", "text"}}, ""},
    };
    for (const Case& c : cases) {
        FdsnRequest r;
        std::string error;
        const bool ok = parse_fdsn_get(c.service, c.params, &r, &error);
        EXPECT_EQ(ok, c.error[0] == '\0') << error;
        if (!ok) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }

    FdsnRequest r;
    std::string error;
    ASSERT_TRUE(parse_fdsn_get(FdsnService::kDataselect, {{"cha", "S?Z,b*"}, {"loc", "--,00"}}, &r,
                               &error));
    const Selection& s = r.selections.at(0);
    EXPECT_TRUE(s.cha.matches("SHZ") && s.cha.matches("BHN") && s.cha.matches("shz"));
    EXPECT_FALSE(s.cha.matches("SHN") || s.cha.matches("HHZ"));
    EXPECT_TRUE(s.loc.matches("") && s.loc.matches("00") && !s.loc.matches("10"));
    EXPECT_TRUE(s.net.matches("XX") && s.sta.matches("ANYTHING"));
}

TEST(FdsnRequest, PostBodies) {
    struct Case {
        const char* body;
        size_t selections;  // 0: refused
        const char* error;
    };
    const std::string too_many = [] {
        std::string b;
        for (size_t i = 0; i <= kMaxSelections; ++i) b += "XY STA -- SHZ 2026-03-01 2026-03-02\n";
        return b;
    }();
    const Case cases[] = {
        {"quality=D\r\nminimumlength=0\n\nXY FQ7KZ -- SHZ 2026-03-01T00:00:00 2026-03-01T01:00:00\n"
         "# a comment\nXY * * SH? 2026-03-01T00:00:00.5 2026-03-01T00:00:01\n",
         2, ""},
        {"", 0, "no selection lines"},
        {"XY FQ7KZ -- SHZ 2026-03-01\n", 0, "NET STA LOC CHA START END"},
        {"XY FQ7KZ -- SHZ 2026-03-02 2026-03-01\n", 0, "line 1: start time after"},
        {"XY FQ7KZ -- SHZ 2026-03-01 2026-03-02\nquality=D\n", 0, "come before"},
        {"net=XY\n", 0, "belongs in a selection line"},
        {"XY .. -- SHZ 2026-03-01 2026-03-02\n", 0, "station codes hold"},
        {too_many.c_str(), 0, "too many selection lines"},
    };
    for (const Case& c : cases) {
        FdsnRequest r;
        std::string error;
        const bool ok = parse_fdsn_post(FdsnService::kDataselect, c.body, &r, &error);
        EXPECT_EQ(ok, c.selections > 0) << error;
        if (ok) {
            EXPECT_EQ(r.selections.size(), c.selections);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(HttpAllow, RangesAndLoopback) {
    std::vector<AddressRange> ranges;
    std::string bad;
    ASSERT_TRUE(parse_address_ranges("10.1.0.0/16, 192.0.2.7;2001:db8::/32", &ranges, &bad));
    const std::pair<const char*, bool> cases[] = {
        {"10.1.200.3", true}, {"10.2.0.1", false},   {"192.0.2.7", true},
        {"192.0.2.8", false}, {"2001:db8::5", true}, {"2001:db9::5", false},
        {"127.0.0.1", true},  {"::1", true},         {"not an address", false},
    };
    for (const auto& [address, allowed] : cases)
        EXPECT_EQ(address_allowed(ranges, address), allowed) << address;
    EXPECT_TRUE(address_allowed({}, "203.0.113.9"));  // no list: everyone
    for (const char* wrong : {"10.0.0.0/33", "10.0.0/8", "host.example", "::/129", "1.2.3.4/"})
        EXPECT_FALSE(parse_address_ranges(wrong, &ranges, &bad)) << wrong;
}

// --- the running system -------------------------------------------------

// The ring: three 100-second runs of stationsim, one veldrum each (a new
// veldrum starts a new file), then a gap of 100 s and 60 s more. S is
// 23:57:30 UTC, so the files lie in hour directories 23 and 0 and the
// second one holds midnight.
constexpr long long kS = 1772409450;  // 2026-03-01T23:57:30Z
constexpr int kRate = 100;
const char* const kChannels[] = {"SHZ", "SHN", "SHE"};  // stationsim's default, in order
struct SimRun {
    long long start, seconds;
};
constexpr SimRun kRuns[] = {{kS, 100}, {kS + 100, 100}, {kS + 200, 100}, {kS + 400, 60}};

struct Reply {
    int status = 0;
    std::string head, body;
};

// One request on loopback; the body of a chunked reply is unchunked.
Reply http(int port, const std::string& method, const std::string& target,
           const std::string& body = "") {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
        body;
    std::string raw;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            raw.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    Reply r;
    const size_t end = raw.find("\r\n\r\n");
    if (raw.size() < 12 || end == std::string::npos) return r;
    r.status = std::atoi(raw.c_str() + 9);
    r.head = raw.substr(0, end);
    std::string rest = raw.substr(end + 4);
    if (r.head.find("Transfer-Encoding: chunked") == std::string::npos) {
        r.body = rest;
        return r;
    }
    for (size_t at = 0; at < rest.size();) {
        const size_t line = rest.find("\r\n", at);
        if (line == std::string::npos) break;
        const size_t n = std::strtoul(rest.c_str() + at, nullptr, 16);
        if (n == 0) break;
        r.body += rest.substr(line + 2, n);
        at = line + 2 + n + 2;
    }
    return r;
}

// The sample the simulator sent at time t (seconds), or -1 outside the runs.
long expected_sample(int channel, double t) {
    for (const SimRun& run : kRuns) {
        const double offset = (t - static_cast<double>(run.start)) * kRate;
        const long long i = std::llround(offset);
        if (std::fabs(offset - static_cast<double>(i)) < 1e-3 && i >= 0 && i < run.seconds * kRate)
            return stationsim::signal_sample(1, channel, i);
    }
    return -1;
}

int channel_index(const std::string& code) {
    for (int c = 0; c < 3; ++c)
        if (code == kChannels[c]) return c;
    return -1;
}

class FdsnSystem : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        station = new Station('F');
        // The central index of the test run, when there is one (PostgreSQL).
        if (!system_run::postgres_dsn().empty()) station->dsn = system_run::postgres_dsn();
        port = system_run::free_port();
        station->veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(port);
        station->veldrum_keys["NETWORK"] = "XY";
        station->veldrum_keys["LATITUDE"] = "55.75";
        station->veldrum_keys["LONGITUDE"] = "37.625";
        station->veldrum_keys["ELEVATION"] = "150";
        station->veldrum_keys["HTTPALLOW"] = "192.0.2.0/24";
        for (size_t k = 0; k < std::size(kRuns); ++k) {
            const SimRun& run = kRuns[k];
            station->start_sim({"--fast", "--once", "--start", std::to_string(run.start),
                                "--seconds", std::to_string(run.seconds)});
            if (k < 3)
                station->start_veldrum({"FLUSH=5"});  // the last run: same veldrum, after a gap
            long long want = 0;
            for (size_t j = 0; j <= k; ++j) want += kRuns[j].seconds;
            ready = ready && wait_seconds_indexed(want) && station->sim.wait(10000) == 0;
            if (k < 2) station->stop_veldrum();
        }
    }
    static void TearDownTestSuite() {
        delete station;
        station = nullptr;
    }

    // Until the index holds `seconds` of every channel (passes every 5 s).
    static bool wait_seconds_indexed(long long seconds) {
        for (int i = 0; i < 600; ++i) {
            const auto rows = station->rows(
                "select count(*) from (select ch from filelist where sta='" + station->name +
                "' group by ch having sum(tqty)=" + std::to_string(seconds) + ") t");
            if (!rows.empty() && rows[0] == "3") return true;
            usleep(100000);
        }
        return false;
    }

    static Station* station;
    static int port;
    static bool ready;
};

Station* FdsnSystem::station = nullptr;
int FdsnSystem::port = 0;
bool FdsnSystem::ready = true;

std::string window(const std::string& channel, double from, double to) {
    auto t = [](double s) {
        return format_fdsn_time(static_cast<FdsnTime>(std::llround(s * 1e6)));
    };
    return "net=XY&cha=" + channel + "&start=" + t(kS + from) + "&end=" + t(kS + to);
}

// Every segment's samples equal the signal, and the first and last are the
// first and last samples of the signal inside [from, to].
void expect_exact(const nlohmann::json& segments, const std::string& name, double from, double to) {
    for (const auto& seg : segments) {
        const int c = channel_index(seg["channel"]);
        ASSERT_GE(c, 0) << name;
        EXPECT_EQ(seg["network"], "XY");
        EXPECT_EQ(seg["location"], "");
        EXPECT_EQ(seg["rate"].get<double>(), kRate);
        const double start = seg["start"].get<double>() / 1000;
        const auto& samples = seg["samples"];
        size_t wrong = 0;
        for (size_t i = 0; i < samples.size(); ++i)
            wrong += samples[i].get<long>() != expected_sample(c, start + double(i) / kRate);
        EXPECT_EQ(wrong, 0u) << name << " " << seg["channel"] << " from " << start;
        const double end = start + double(samples.size() - 1) / kRate;
        // Exact to the sample: one more sample either side falls outside.
        EXPECT_TRUE(start >= kS + from - 1e-6 && (start - 1.0 / kRate < kS + from - 1e-6 ||
                                                  expected_sample(c, start - 1.0 / kRate) < 0))
            << name;
        EXPECT_TRUE(end <= kS + to + 1e-6 && (end + 1.0 / kRate > kS + to + 1e-6 ||
                                              expected_sample(c, end + 1.0 / kRate) < 0))
            << name;
    }
}

TEST_F(FdsnSystem, SeisplotjsReadsTheRing) {
    ASSERT_TRUE(ready) << station->sim.text();
    const char* given = std::getenv("VELDRUM_NODE_MODULES");
    const std::string modules = given && *given ? given : VELDRUM_BINARY_DIR "/node/node_modules";
    if (!system_run::exists(modules + "/seisplotjs/package.json") ||
        !system_run::exists(modules + "/@xmldom/xmldom/package.json"))
        GTEST_SKIP() << "npm install --prefix build/node seisplotjs@3.2.2 @xmldom/xmldom@0.9.12";
    const std::string out = station->dir + "/clients.json";
    const std::string command = "NODE_PATH='" + modules + "' node '" VELDRUM_SOURCE_DIR
                                "/tests/fdsn/fdsn_clients.mjs' " + std::to_string(port) + " XY " +
                                station->name + " " + std::to_string(kS) + " '" + out + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const nlohmann::json r = nlohmann::json::parse(system_run::read_file(out), nullptr, false);
    ASSERT_TRUE(r.is_object());

    struct Window {
        const char* name;
        size_t segments;  // runs of contiguous samples the client got
        size_t samples;   // in all
    };
    const Window windows[] = {
        {"files_and_midnight", 1, 14599},  // 50.01 .. 195.99: two file boundaries, midnight
        {"across_gap", 2, 950 + 1026},     // 290.5 .. 299.99, then 400.00 .. 410.25
        {"inside_gap", 0, 0},
        {"wildcard", 3, 3 * 299},  // 10.01 .. 12.99 on three channels
        {"exact_ends", 1, 101},    // both ends on a sample: both sent
    };
    for (const Window& w : windows) {
        const auto& got = r["windows"][w.name];
        size_t samples = 0;
        for (const auto& seg : got["segments"]) samples += seg["samples"].size();
        EXPECT_EQ(got["segments"].size(), w.segments) << w.name;
        EXPECT_EQ(samples, w.samples) << w.name;
        expect_exact(got["segments"], w.name, got["from"].get<double>() - kS,
                     got["to"].get<double>() - kS);
    }
    // POST: two selections, one across the first file boundary.
    ASSERT_EQ(r["post"].size(), 2u);
    for (const auto& seg : r["post"]) {
        const bool z = seg["channel"] == "SHZ";
        expect_exact(nlohmann::json::array({seg}), "post", z ? 99.5 : 401, z ? 101.5 : 402);
        EXPECT_EQ(seg["samples"].size(), z ? 201u : 101u);
    }

    // Availability: contiguous files are one span; the gap splits them.
    const auto& query = r["availability"]["query"];
    ASSERT_EQ(query.size(), 2u);
    EXPECT_EQ(query[0]["start"], kS * 1000);
    EXPECT_EQ(query[0]["end"], (kS + 300) * 1000 - 10);
    EXPECT_EQ(query[1]["start"], (kS + 400) * 1000);
    EXPECT_EQ(query[1]["end"], (kS + 460) * 1000 - 10);
    ASSERT_EQ(r["availability"]["extent"].size(), 1u);
    EXPECT_EQ(r["availability"]["extent"][0]["end"], (kS + 460) * 1000 - 10);

    const auto& net = r["station"]["networks"];
    ASSERT_EQ(net.size(), 1u);
    EXPECT_EQ(net[0]["code"], "XY");
    const auto& sta = net[0]["stations"].at(0);
    EXPECT_EQ(sta["code"], station->name);
    EXPECT_DOUBLE_EQ(sta["latitude"].get<double>(), 55.75);
    EXPECT_DOUBLE_EQ(sta["longitude"].get<double>(), 37.625);
    ASSERT_EQ(sta["channels"].size(), 3u);
    for (const auto& ch : sta["channels"]) {
        EXPECT_GE(channel_index(ch["code"]), 0);
        EXPECT_EQ(ch["rate"], kRate);
        EXPECT_EQ(ch["start"], kS * 1000);
    }
    EXPECT_EQ(r["station"]["station_level"],
              nlohmann::json::parse("[[\"" + station->name + "\"]]"));
}

// The records themselves, read by libmseed: 512 bytes, blockette 1000,
// Steim-2, the network code, a blank location, samples of the signal.
TEST_F(FdsnSystem, RecordsAsLibmseedReadsThem) {
    ASSERT_TRUE(ready);
    const Reply r = http(port, "GET", "/fdsnws/dataselect/1/query?" + window("SHZ", 99.995, 100.2));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.head.find("application/vnd.fdsn.mseed"), std::string::npos);
    ASSERT_EQ(r.body.size() % kSeedRecordLength, 0u);
    double t = kS + 100.0;
    int sequence = 1;
    for (size_t at = 0; at < r.body.size(); at += kSeedRecordLength) {
        const Decoded d = mseed_decode(reinterpret_cast<const uint8_t*>(r.body.data() + at));
        ASSERT_TRUE(d.ok) << d.diagnostics;
        EXPECT_EQ(d.diagnostics, "");
        EXPECT_EQ(std::string(r.body.data() + at + 18, 2), "XY");
        EXPECT_EQ(std::string(r.body.data() + at + 13, 2), "  ");  // blank location
        EXPECT_EQ(d.encoding, DE_STEIM2);
        EXPECT_EQ(d.sequence, sequence++);
        EXPECT_NEAR(MS_HPTIME2EPOCH(static_cast<double>(d.start)), t, 1e-6);
        for (size_t i = 0; i < d.samples.size(); ++i, t += 1.0 / kRate)
            ASSERT_EQ(d.samples[i], expected_sample(0, t)) << "at " << t;
    }
    EXPECT_NEAR(t, kS + 100.21, 1e-6);  // 100.00 .. 100.20, the new file's first second
}

TEST_F(FdsnSystem, HostileRequestsGetClearRefusals) {
    ASSERT_TRUE(ready);
    const std::string long_query = "/fdsnws/dataselect/1/query?net=" + std::string(20000, 'X');
    std::string wildcards;
    for (int i = 0; i < 2000; ++i) wildcards += "*?";
    struct Case {
        std::string method, target, body;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"GET", "/fdsnws/dataselect/1/query?" + window("SHZ", 0, 86400 * 40), "", 413, "31 days"},
        {"GET", "/fdsnws/dataselect/1/query?start=1970-01-01&end=2100-01-01", "", 413, "31 days"},
        {"GET", "/fdsnws/dataselect/1/query?net=XY&cha=SHZ", "", 413, "must be given"},
        {"GET", "/fdsnws/dataselect/1/query?start=2026-03-02&end=2026-03-01", "", 400, "after end"},
        {"GET", "/fdsnws/dataselect/1/query?start=2026-02-30&end=2026-03-01", "", 400, "bad start"},
        {"GET", "/fdsnws/dataselect/1/query?start=2026-03-01T25:00&end=x", "", 400, "bad start"},
        {"GET", "/fdsnws/dataselect/1/query?cha=" + wildcards, "", 400, "too long"},
        {"GET", "/fdsnws/dataselect/1/query?" + window("S?Z", 310, 390) + "&nodata=404", "", 404,
         "No data"},
        {"GET", "/fdsnws/dataselect/1/query?sta=..%2F..%2Fetc&start=2026-03-01&end=2026-03-02", "",
         400, "station codes"},
        {"GET", "/fdsnws/dataselect/1/query?cha=%2Fetc%2Fpasswd", "", 400, "channel codes"},
        {"GET", "/fdsnws/dataselect/1/query?loc=%00%00", "", 400, "location codes"},
        {"GET", "/fdsnws/dataselect/1/query?bogus=1", "", 400, "unknown parameter"},
        {"GET", long_query, "", 431, "too large"},
        {"GET", "/fdsnws/station/1/query?level=response", "", 400, "not known"},
        {"GET", "/fdsnws/station/1/query?minlat=abc", "", 400, "latitude"},
        {"GET", "/fdsnws/station/1/query?startbefore=2026-03-01T99", "", 400, "startbefore"},
        {"GET", "/fdsnws/station/1/query?maxradius=1e999", "", 400, "maxradius"},
        {"POST", "/fdsnws/station/1/query", "level=channel\nXY * * * x *\n", 400, "bad start"},
        {"POST", "/fdsnws/station/1/query", "level=channel\nformat=text\nXY * -- SHZ * *\n", 200,
         "|SHZ|"},
        {"GET", "/fdsnws/availability/1/extent?mergegaps=-1", "", 400, "mergegaps"},
        {"GET", "/fdsnws/availability/1/query?limit=-5", "", 400, "limit"},
        {"GET", "/fdsnws/availability/1/query?format=xml", "", 400, "format"},
        {"GET", "/fdsnws/availability/1/query?quality=DD", "", 400, "quality"},
        {"GET", "/fdsnws/dataselect/2/query", "", 404, "No such service"},
        {"POST", "/fdsnws/dataselect/1/query", "XY * -- SHZ 2026-03-01\n", 400, "NET STA LOC CHA"},
        {"POST", "/fdsnws/dataselect/1/query", std::string(10000, '\n') + "\x01\x02", 400,
         "line 10001"},
        {"POST", "/fdsnws/availability/1/query", "merge=all\n", 400, "bad value for merge"},
        // Inside the gap: nothing, as the client asked it to say so.
        {"GET", "/fdsnws/dataselect/1/query?" + window("SHZ", 310, 390) + "&nodata=404", "", 404,
         "No data"},
        {"GET", "/fdsnws/dataselect/1/query?" + window("SHZ", 310, 390), "", 204, ""},
        {"GET", "/fdsnws/dataselect/1/query?" + window("SHZ", 0, 1) + "&quality=R", "", 204, ""},
        {"GET", "/fdsnws/availability/1/query?cha=XYZ&nodata=404", "", 404, "No data"},
        {"GET", "/fdsnws/dataselect/1/version", "", 200, "1."},
        {"GET", "/fdsnws/availability/1/application.wadl", "", 200, "extent"},
    };
    for (const Case& c : cases) {
        const Reply r = http(port, c.method, c.target, c.body);
        EXPECT_EQ(r.status, c.status) << c.target.substr(0, 120) << "\n" << r.body;
        EXPECT_NE(r.body.find(c.says), std::string::npos) << c.target.substr(0, 120) << "\n"
                                                          << r.body;
        if (r.status >= 400) {
            EXPECT_NE(r.head.find("text/plain"), std::string::npos);
        }
    }
    // Still serving after all of it.
    EXPECT_EQ(http(port, "GET", "/fdsnws/dataselect/1/query?" + window("SHZ", 1, 2)).status, 200);
}

// Rows that point out of the data directory (another program may write the
// index) are never followed: not "..", not an absolute path, not a link.
TEST_F(FdsnSystem, IndexRowsNeverLeadOutOfTheDataDirectory) {
    ASSERT_TRUE(ready);
    const std::string secret = station->dir + "/secret";
    std::string ring(512, '\0');
    std::memcpy(ring.data(), "[KVR2.0]", 8);
    ring += std::string(2 * 100 * 60, '\x7f');
    FILE* f = fopen(secret.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(ring.data(), 1, ring.size(), f);
    fclose(f);
    ASSERT_EQ(symlink(secret.c_str(), (station->data_dir + "/0/link-SHX").c_str()), 0);
    ASSERT_EQ(mkdir((station->data_dir + "/1").c_str(), 0755), 0);
    ASSERT_EQ(symlink(station->dir.c_str(), (station->data_dir + "/2").c_str()), 0);
    const char* paths[] = {"0/../../secret", "../secret",      "/etc/passwd", "0/link-SHX",
                           "2/secret",       "1/../../secret", "0/."};
    for (const char* p : paths)
        station->rows(
            "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) values ('" +
            station->name + "', " + std::to_string(kS) + ", 60, 100, 1, '" + p +
            "', 'SHX', 5, 'VELDRUM')");
    const Reply r = http(port, "GET", "/fdsnws/dataselect/1/query?" + window("SHX", 0, 59));
    EXPECT_EQ(r.status, 204) << r.body.size();
    EXPECT_EQ(r.body, "");
}

// The plan behind dataselect: contiguous files make one run, the gap two;
// a request past the sample limit is refused before anything is read.
TEST_F(FdsnSystem, PlanJoinsContiguousFilesAndKeepsTheLimit) {
    ASSERT_TRUE(ready);
    std::vector<IndexRow> rows;
    for (const std::string& line :
         station->rows("select cpath,ch,tbegin,tqty,sps from filelist where ch='SHZ' and sta='" +
                       station->name + "' order by tbegin")) {
        IndexRow row;
        char cpath[256] = "", ch[16] = "";
        long long tbegin = 0, tqty = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%255[^|]|%15[^|]|%lld|%lld|%d", cpath, ch, &tbegin, &tqty,
                         &row.sps),
                  5);
        rows.push_back(IndexRow{cpath, ch, tbegin, tqty, row.sps});
    }
    ASSERT_EQ(rows.size(), 4u);  // three files of 100 s, one of 60 s after the gap
    FdsnRequest request;
    std::string error;
    ASSERT_TRUE(parse_fdsn_get(FdsnService::kDataselect,
                               {{"start", "2026-03-01"}, {"end", "2026-03-03"}}, &request, &error));
    const StationCodes codes{"XY", station->name};
    DataselectPlan plan;
    ASSERT_EQ(plan_dataselect(request, rows, station->data_dir.c_str(), codes, 1000000, &plan),
              PlanResult::kOk);
    ASSERT_EQ(plan.runs.size(), 2u);
    EXPECT_EQ(plan.runs[0].pieces.size(), 3u);
    EXPECT_EQ(plan.runs[0].count, 300 * kRate);
    EXPECT_EQ(plan.runs[0].start_sample, kS * kRate);
    EXPECT_EQ(plan.runs[1].count, 60 * kRate);
    EXPECT_EQ(plan.samples, 360 * kRate);
    EXPECT_EQ(
        plan_dataselect(request, rows, station->data_dir.c_str(), codes, 360 * kRate - 1, &plan),
        PlanResult::kTooLarge);
    ASSERT_TRUE(
        parse_fdsn_get(FdsnService::kDataselect,
                       {{"start", "2026-03-01"}, {"end", "2026-03-03"}, {"longestonly", "true"}},
                       &request, &error));
    ASSERT_EQ(plan_dataselect(request, rows, station->data_dir.c_str(), codes, 1000000, &plan),
              PlanResult::kOk);
    ASSERT_EQ(plan.runs.size(), 1u);
    EXPECT_EQ(plan.runs[0].count, 300 * kRate);
}

}  // namespace

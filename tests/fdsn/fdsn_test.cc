// The FDSN services: the request parser on its own, then veldrum fed by
// stationsim and asked by seisplotjs (in Node), by raw requests read with
// libmseed and by hostile ones.
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "fdsn/dataselect.h"
#include "fdsn/fdsn_request.h"
#include "tests/seed/mseed_check.h"
#include "tests/system/system_run.h"
#include "tools/stationsim/signal.h"

namespace {

using system_run::Station;
constexpr FdsnService kD = FdsnService::kDataselect, kA = FdsnService::kAvailability,
                      kSt = FdsnService::kStation;

TEST(FdsnRequest, Times) {
    const std::pair<const char*, FdsnTime> good[] = {
        {"2026-03-01", 1772323200000000},
        {"2026-03-01T23:57:30", 1772409450000000},
        {"2026-03-01T23:57:30.5Z", 1772409450500000},
        {"2026-03-01T23:57:30.123456", 1772409450123456},
        {"2026-03-01T23:57:30.1234567", 1772409450123456},  // beyond microseconds: cut
        {"2026-060T23:57:30", 1772409450000000},            // ordinal day
        {"2024-02-29", 1709164800000000},
        {"1969-12-31T23:59:59", -1000000},
    };
    FdsnTime t = 0, back = 0;
    for (const auto& [text, micros] : good) {
        ASSERT_TRUE(parse_fdsn_time(text, &t)) << text;
        EXPECT_EQ(t, micros) << text;
        EXPECT_TRUE(parse_fdsn_time(format_fdsn_time(t), &back) && back == t) << text;
    }
    for (const char* bad : {"2023-02-29", "2026-13-01", "2026-03-01T24:00:00", "2026-03-01T23:60",
                            "2026-03-01 23:57:30", "2026-03-01T23:57:30.", "2026-367", "now", "",
                            "2026-03-01T23:57:30.1234567891", "2026-03-01T23:57:30+03:00"})
        EXPECT_FALSE(parse_fdsn_time(bad, &t)) << bad;
}

// Queries, and bodies (they have a line end) as posted.
TEST(FdsnRequest, ParametersAndBodies) {
    std::string many, too_many;
    for (int i = 0; i < 40; ++i) many += "S?Z,";
    for (size_t i = 0; i <= kMaxSelections; ++i)
        too_many += "XY STA -- SHZ 2026-03-01 2026-03-02\n";
    const std::string body =
        "quality=D\r\nminimumlength=0\n\nXY FQ7KZ -- SHZ 2026-03-01T00:00:00 2026-03-01T01:00:00\n"
        "# a comment\nXY * * SH? 2026-03-01T00:00:00.5 2026-03-01T00:00:01\n";
    const struct {
        FdsnService service;
        std::string query;
        const char* error;  // "" when the request is good
    } cases[] = {
        // clang-format off
        {kD, "net=XY&cha=SH?,BH*&loc=--", ""},           {kD, "network=XY&&nodata=404", ""},
        {kD, "cha=../x", "channel codes hold"},           {kD, "sta=A/B", "station codes hold"},
        {kD, "cha=" + std::string(5000, '*'), "too long"}, {kD, "cha=" + many, "too many channel"},
        {kD, "cha=SHZ,,SHN", "empty channel code"},       {kD, "starttime=yesterday", "bad start"},
        {kD, "start=2026-03-02&end=2026-03-01", "start time after"},
        {kD, "net=XY&network=XY", "given twice"},          {kD, "level=channel", "unknown param"},
        {kD, "format=sac", "only miniseed"},               {kD, "nodata=500", "204 or 404"},
        {kD, "quality=X", "D, R, Q, M or B"},              {kD, "minimumlength=-1", "at least 0"},
        {kA, "merge=quality,samplerate&format=geocsv", ""}, {kA, "merge=all", "value for merge"},
        {kA, "orderby=random", "bad value for orderby"},   {kA, "limit=0", "whole number"},
        {kSt, "level=channel&minlat=-91", "latitude from"}, {kSt, "level=every", "value for level"},
        {kSt, "endafter=2026-03-01T00:00:00Z&format=text", ""},
        {kD, body, ""},                                   {kD, "#\n", "no selection lines"},
        {kD, "XY FQ7KZ -- SHZ 2026-03-01\n", "NET STA LOC CHA START END"},
        {kD, "XY FQ7KZ -- SHZ 2026-03-02 2026-03-01\n", "line 1: start time after"},
        {kD, "XY FQ7KZ -- SHZ 2026-03-01 2026-03-02\nquality=D\n", "come before"},
        {kD, "net=XY\n", "belongs in a selection line"},
        {kD, "XY .. -- SHZ 2026-03-01 2026-03-02\n", "station codes hold"},
        {kD, too_many, "too many selection lines"},
        // clang-format on
    };
    FdsnRequest r;
    std::string error;
    for (const auto& c : cases) {
        std::vector<std::pair<std::string, std::string>> params;
        std::istringstream in(c.query);
        for (std::string kv; std::getline(in, kv, '&');)
            params.emplace_back(kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1));
        error.clear();
        const bool ok = c.query.find('\n') != std::string::npos
                            ? parse_fdsn_post(c.service, c.query, &r, &error)
                            : parse_fdsn_get(c.service, params, &r, &error);
        EXPECT_EQ(ok, c.error[0] == '\0') << c.query.substr(0, 100);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    ASSERT_TRUE(parse_fdsn_post(kD, body, &r, &error) && r.selections.size() == 2);
    ASSERT_TRUE(parse_fdsn_get(kD, {{"cha", "S?Z,b*"}, {"loc", "--,00"}}, &r, &error));
    const Selection& s = r.selections.at(0);
    EXPECT_TRUE(s.cha.matches("SHZ") && s.cha.matches("BHN") && s.cha.matches("shz"));
    EXPECT_FALSE(s.cha.matches("SHN") || s.cha.matches("HHZ"));
    EXPECT_TRUE(s.loc.matches("") && s.loc.matches("00") && !s.loc.matches("10"));
    EXPECT_TRUE(s.net.matches("XX") && s.sta.matches("ANYTHING"));
}

// The ring: three 100-second runs of stationsim, one veldrum each (a new
// veldrum starts a new file), then a gap of 100 s and 60 s more. S is
// 23:57:30 UTC, so the files lie in hour directories 23 and 0 and the
// second one holds midnight.
constexpr long long kS = 1772409450;  // 2026-03-01T23:57:30Z
constexpr int kRate = 100;
constexpr long long kRuns[][2] = {{kS, 100}, {kS + 100, 100}, {kS + 200, 100}, {kS + 400, 60}};
const std::string kDs = "/fdsnws/dataselect/1/query?", kSta = "/fdsnws/station/1/query",
                  kAv = "/fdsnws/availability/1/";

// One request on loopback (POST when there is a body), the answer or status -1.
httplib::Response http(int port, const std::string& target, const std::string& body = "",
                       const httplib::Headers& head = {}) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(60), c.set_url_encode(false);
    auto r = body.empty() ? c.Get(target, head) : c.Post(target, head, body, "text/plain");
    return r ? *r : httplib::Response{};
}

// The sample the simulator sent at time t (seconds), or -1 outside the runs.
long expected_sample(int channel, double t) {
    for (const auto& [start, seconds] : kRuns) {
        const double offset = (t - double(start)) * kRate;
        const long long i = std::llround(offset);
        if (std::fabs(offset - double(i)) < 1e-3 && i >= 0 && i < seconds * kRate)
            return stationsim::signal_sample(1, channel, i);
    }
    return -1;
}

int channel_index(const std::string& code) {  // stationsim's channels, in order
    return code == "SHZ" ? 0 : code == "SHN" ? 1 : code == "SHE" ? 2 : -1;
}

std::string window(const std::string& channel, double from, double to) {
    auto t = [](double s) { return format_fdsn_time(FdsnTime(std::llround((kS + s) * 1e6))); };
    return kDs + "net=XY&cha=" + channel + "&start=" + t(from) + "&end=" + t(to);
}

class FdsnSystem : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        station = new Station('F');
        // The central index of the test run, when there is one (PostgreSQL).
        if (const char* pg = getenv("VELDRUM_TEST_PG_DSN"); pg && *pg) station->dsn = pg;
        port = system_run::free_port();
        for (const std::string kv : {"NETWORK=XY", "LATITUDE=55.75", "LONGITUDE=37.625",
                                     "ELEVATION=150", "HTTPALLOW=192.0.2.0/24"})
            station->veldrum_keys[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
        station->veldrum_keys["HTTP"] = "127.0.0.1:" + std::to_string(port);
        long long want = 0;
        for (size_t k = 0; k < std::size(kRuns); ++k) {
            station->start_sim({"--fast", "--once", "--start", std::to_string(kRuns[k][0]),
                                "--seconds", std::to_string(kRuns[k][1])});
            if (k < 3) station->start_veldrum({"FLUSH=5"});  // the last run: same one, after a gap
            want += kRuns[k][1];
            // Until the index holds `want` seconds of every channel.
            const std::string sql =
                "select count(*) from (select ch from filelist where sta='" + station->name +
                "' group by ch having sum(tqty)=" + std::to_string(want) + ") t";
            auto indexed = [&] { return station->rows(sql) == std::vector<std::string>{"3"}; };
            ready =
                ready && system_run::wait_until(indexed, 60000) && station->sim.wait(10000) == 0;
            if (k < 2) station->stop_veldrum();
        }
    }
    static void TearDownTestSuite() { delete station; }

    static inline Station* station = nullptr;
    static inline int port = 0;
    static inline bool ready = true;
};

// Every segment's samples equal the signal, and the first and last are the
// first and last samples of the signal inside [from, to].
void expect_exact(const nlohmann::json& segments, const std::string& name, double from, double to) {
    from += kS, to += kS;
    const double dt = 1.0 / kRate, e = 1e-6;
    for (const auto& seg : segments) {
        const int c = channel_index(seg["channel"]);
        ASSERT_GE(c, 0) << name;
        EXPECT_TRUE(seg["network"] == "XY" && seg["location"] == "" && seg["rate"] == kRate);
        const double start = seg["start"].get<double>() / 1000;
        const auto& samples = seg["samples"];
        size_t wrong = 0;
        for (size_t i = 0; i < samples.size(); ++i)
            wrong += samples[i].get<long>() != expected_sample(c, start + double(i) * dt);
        EXPECT_EQ(wrong, 0u) << name << " " << seg["channel"] << " from " << start;
        const double end = start + double(samples.size() - 1) * dt;
        // Exact to the sample: one more sample either side falls outside.
        EXPECT_TRUE(start >= from - e &&
                    (start - dt < from - e || expected_sample(c, start - dt) < 0))
            << name;
        EXPECT_TRUE(end <= to + e && (end + dt > to + e || expected_sample(c, end + dt) < 0))
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
    const std::string command =
        "NODE_PATH='" + modules + "' node '" VELDRUM_SOURCE_DIR "/tests/fdsn/fdsn_clients.mjs' " +
        std::to_string(port) + " XY " + station->name + " " + std::to_string(kS) + " '" + out + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const nlohmann::json r = nlohmann::json::parse(system_run::read_file(out), nullptr, false);
    ASSERT_TRUE(r.is_object());

    const struct {
        const char* name;
        size_t segments, samples;  // runs of contiguous samples the client got, samples in all
    } windows[] = {
        {"files_and_midnight", 1, 14599},  // 50.01 .. 195.99: two file boundaries, midnight
        {"across_gap", 2, 950 + 1026},     // 290.5 .. 299.99, then 400.00 .. 410.25
        {"inside_gap", 0, 0},
        {"wildcard", 3, 3 * 299},  // 10.01 .. 12.99 on three channels
        {"exact_ends", 1, 101},    // both ends on a sample: both sent
        {"post SHZ", 1, 201},      // 99.5 .. 101.5: across a file boundary
        {"post SHE", 1, 101},
    };
    for (const auto& w : windows) {
        const auto& got = r["windows"][w.name];
        size_t samples = 0;
        for (const auto& seg : got["segments"]) samples += seg["samples"].size();
        EXPECT_EQ(got["segments"].size(), w.segments) << w.name;
        EXPECT_EQ(samples, w.samples) << w.name;
        expect_exact(got["segments"], w.name, got["from"], got["to"]);
    }

    // miniSEED 3: the same segments of the same samples, every CRC right.
    const auto& m3 = r["mseed3"];
    for (const auto& [name, got] : m3["windows"].items())
        EXPECT_EQ(got, r["windows"][name]) << "miniseed3 " << name;
    EXPECT_TRUE(m3["records"] > 4 && m3["bad_crc"] == 0 && m3["largest"] <= 4096)
        << m3["records"] << " " << m3["bad_crc"] << " " << m3["largest"];
    EXPECT_EQ(std::count(m3["types"].begin(), m3["types"].end(), "application/vnd.fdsn.mseed3"),
              4);  // one window holds no data

    // Availability: contiguous files are one span; the gap splits them.
    using J = nlohmann::json;
    const auto ms = [](long long s) { return (kS + s) * 1000; };
    EXPECT_EQ(r["availability"]["query"], J({{ms(0), ms(300) - 10}, {ms(400), ms(460) - 10}}));
    EXPECT_EQ(r["availability"]["extent"], J({{ms(0), ms(460) - 10}}));

    const auto& net = r["networks"];
    ASSERT_EQ(net.size(), 1u);
    EXPECT_EQ(net[0]["code"], "XY");
    const auto& sta = net[0]["stations"].at(0);
    EXPECT_EQ(J({sta["code"], sta["latitude"], sta["longitude"]}),
              J({station->name, 55.75, 37.625}));
    ASSERT_EQ(sta["channels"].size(), 3u);
    for (const auto& ch : sta["channels"])
        EXPECT_TRUE(channel_index(ch["code"]) >= 0 && ch["rate"] == kRate &&
                    ch["start"] == kS * 1000)
            << ch;
    EXPECT_EQ(r["station_level"], J({{station->name}}));
}

// Raw requests: the records as libmseed reads them (512 bytes, blockette
// 1000, Steim-2, the network, a blank location, the signal's samples), then
// hostile requests, which get a clear refusal and leave the server serving,
// hostile index rows, and the plan behind the records.
TEST_F(FdsnSystem, FdsnRawRecordsPlanAndRefusals) {
    ASSERT_TRUE(ready);
    const auto r = http(port, window("SHZ", 99.995, 100.2));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.get_header_value("Content-Type"), "application/vnd.fdsn.mseed");
    ASSERT_EQ(r.body.size() % kSeedRecordLength, 0u);
    double t = kS + 100.0;
    for (size_t at = 0; at < r.body.size(); at += kSeedRecordLength) {
        const Decoded d = mseed_decode(reinterpret_cast<const uint8_t*>(r.body.data() + at));
        ASSERT_TRUE(d.ok && d.diagnostics.empty()) << d.diagnostics;
        EXPECT_EQ(r.body.substr(at + 13, 7), "  SHZXY");  // blank location, channel, network
        EXPECT_EQ(d.encoding, DE_STEIM2);
        EXPECT_EQ(d.sequence, int(at / kSeedRecordLength) + 1);
        EXPECT_NEAR(MS_HPTIME2EPOCH(double(d.start)), t, 1e-6);
        for (size_t i = 0; i < d.samples.size(); ++i, t += 1.0 / kRate)
            ASSERT_EQ(d.samples[i], expected_sample(0, t)) << "at " << t;
    }
    EXPECT_NEAR(t, kS + 100.21, 1e-6);  // 100.00 .. 100.20, the new file's first second

    const struct {
        std::string target, body;  // a body makes it a POST
        int status;
        const char* says;
    } cases[] = {
        // clang-format off
        {window("SHZ", 0, 86400 * 40), "", 413, "31 days"},
        {kDs + "cha=SHZ", "", 413, "must be given"},
        {kDs + "sta=..%2F..%2Fetc&start=2026-03-01&end=2026-03-02", "", 400, "station codes"},
        {kDs + "loc=%00%00", "", 400, "location codes"},
        {kDs + "net=" + std::string(20000, 'X'), "", 431, "too large"},
        {kSta + "?level=response", "", 400, "not known"},
        {kSta + "?minlat=abc", "", 400, "latitude"},
        {kSta + "?startbefore=2026-03-01T99", "", 400, "startbefore"},
        {kSta + "?maxradius=1e999", "", 400, "maxradius"},
        {kSta, "level=channel\nXY * * * x *\n", 400, "bad start"},
        {kSta, "level=channel\nformat=text\nXY * -- SHZ * *\n", 200, "|SHZ|"},
        {kAv + "extent?mergegaps=-1", "", 400, "mergegaps"},
        {kAv + "query?format=xml", "", 400, "format"},
        {kAv + "query", "merge=all\n", 400, "bad value for merge"},
        {kAv + "query?cha=XYZ&nodata=404", "", 404, "No data"},
        {kAv + "query?format=json", "", 200, "\"version\":1.0,\"datasources\":[{\"network\":\"XY\""},
        {kAv + "extent?cha=SHZ&format=json", "", 200,
         "\"location\":\"\",\"channel\":\"SHZ\",\"quality\":\"D\",\"samplerate\":100.0,\"earliest\":\""},
        {"/fdsnws/dataselect/2/query", "", 404, "No such service"},
        {kDs, std::string(10000, '\n') + "\x01\x02", 400, "line 10001"},
        {window("S?Z", 310, 390) + "&nodata=404", "", 404, "No data"},  // inside the gap
        {window("SHZ", 310, 390), "", 204, ""}, {window("SHZ", 0, 1) + "&quality=R", "", 204, ""},
        {"/fdsnws/dataselect/1/version", "", 200, "1."},
        {kAv + "application.wadl", "", 200, "extent"},
        // clang-format on
    };
    for (const auto& c : cases) {
        // As ObsPy asks: it inflates only successful answers, so errors must come as text.
        const httplib::Headers gzip{{"Accept-Encoding", "gzip, deflate"}};
        const auto got = http(port, c.target, c.body, c.status >= 400 ? gzip : httplib::Headers{});
        EXPECT_EQ(got.status, c.status) << c.target.substr(0, 120) << "\n" << got.body;
        EXPECT_NE(got.body.find(c.says), std::string::npos) << c.target.substr(0, 120) << got.body;
        EXPECT_TRUE(got.status < 400 ||
                    (!got.has_header("Content-Encoding") &&
                     got.get_header_value("Content-Type").find("text/plain") == 0));
    }

    // Rows that point out of the data directory (another program may write
    // the index) are never followed: not "..", not an absolute path, not a link.
    const std::string secret = station->dir + "/secret";
    Station::write(secret, "[KVR2.0]" + std::string(504, '\0') + std::string(12000, '\x7f'));
    ASSERT_EQ(symlink(secret.c_str(), (station->data_dir + "/0/link-SHX").c_str()), 0);
    ASSERT_EQ(mkdir((station->data_dir + "/1").c_str(), 0755), 0);
    ASSERT_EQ(symlink(station->dir.c_str(), (station->data_dir + "/2").c_str()), 0);
    for (const char* p : {"0/../../secret", "../secret", "/etc/passwd", "0/link-SHX", "2/secret",
                          "1/../../secret", "0/."})
        station->rows(
            "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,datatype,creater) values ('" +
            station->name + "', " + std::to_string(kS) + ", 60, 100, 1, '" + p +
            "', 'SHX', 5, 'VELDRUM')");
    const auto none = http(port, window("SHX", 0, 59));
    EXPECT_TRUE(none.status == 204 && none.body.empty()) << none.status << " " << none.body.size();

    // The plan behind dataselect: contiguous files make one run, the gap two;
    // a request past the sample limit is refused before anything is read.
    const auto paths = station->rows("select cpath from filelist where ch='SHZ' and sta='" +
                                     station->name + "' order by tbegin");
    ASSERT_EQ(paths.size(), 4u);  // three files of 100 s, one of 60 s after the gap
    std::vector<IndexRow> rows;
    for (size_t k = 0; k < 4; ++k)
        rows.push_back({paths[k], "SHZ", kRuns[k][0], kRuns[k][1], kRate});
    const StationCodes codes{"XY", station->name};
    FdsnRequest request;
    DataselectPlan plan;
    std::string error;
    auto plan_with = [&](const char* longest, long long limit) {
        const std::vector<std::pair<std::string, std::string>> query = {
            {"start", "2026-03-01"}, {"end", "2026-03-03"}, {"longestonly", longest}};
        EXPECT_TRUE(parse_fdsn_get(kD, query, &request, &error));
        return plan_dataselect(request, rows, station->data_dir.c_str(), codes, limit, &plan);
    };
    ASSERT_EQ(plan_with("false", 1000000), PlanResult::kOk);
    ASSERT_EQ(plan.runs.size(), 2u);
    EXPECT_EQ(std::vector<int64_t>({plan.runs[0].count, plan.runs[0].start_sample,
                                    plan.runs[1].count, plan.samples}),
              std::vector<int64_t>({300 * kRate, kS * kRate, 60 * kRate, 360 * kRate}));
    EXPECT_EQ(plan_with("false", 360 * kRate - 1), PlanResult::kTooLarge);
    ASSERT_EQ(plan_with("true", 1000000), PlanResult::kOk);
    EXPECT_TRUE(plan.runs.size() == 1 && plan.runs[0].count == 300 * kRate);
}

}  // namespace
